// The TCP connection's pipeline: a window of commands written together, replies read as they
// come; its streams run on the caller's thread or on an event loop.
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <memory>
#include <string>

#include "kestrix/contracts/cancel.hpp"
#include "kestrix/contracts/errors.hpp"
#include "kestrix/contracts/text.hpp"
#include "kestrix/net/tcp_connection.hpp"
#include "kestrix/wire/reply_frame.hpp"

namespace kestrix::net {

// A stream run on an event loop's thread, with the socket used without blocking: the commands the
// window allows are written together, every reply that arrived is taken before the window is
// filled again, and each wait is bounded by the connection's time-out as on the caller's thread.
// The link is left as it is when the transfer fails: the caller closes it.
class TcpConnection::LoopTransfer final : public EventLoop::Client {
 public:
  using Clock = std::chrono::steady_clock;

  LoopTransfer(TcpConnection& conn, Connection::Stream& stream)
      : conn_(conn),
        stream_(stream),
        window_(std::max<std::size_t>(1, stream.window())),
        raw_(stream.rawFrames()),
        limited_(std::isfinite(conn.options_.timeout)) {
    limits_.max_length = raw_ ? stream.maxFrame() : wire::kMaxLineLength;
    if (limited_)
      timeout_ = std::chrono::duration_cast<Clock::duration>(
          std::chrono::duration<double>(conn.options_.timeout));
  }

  int fd() const override { return conn_.fd_.get(); }
  std::uint64_t commands() const { return sent_; }

  EventLoop::Interest start() override {
    refill();
    return send();
  }

  EventLoop::Interest ready(bool readable, bool writable) override {
    if (readable) receive();
    if (writable || held_.size() > held_from_) return send();
    return next();
  }

  void expire(Clock::time_point now) override {
    if (!limited_) return;
    if (held_.size() > held_from_ && now - send_since_ > timeout_)
      raise(conn_.notTakenText(), true);
    if (in_flight_ > 0 && held_.size() == held_from_ && now - wait_since_ > timeout_)
      raise(conn_.noReplyText(), true);
  }

 private:
  void receive() {
    const ssize_t n = conn_.buffer_.recvFrom(fd(), MSG_DONTWAIT);
    if (n == 0) raise(conn_.closedText(), false);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
      raise(conn_.failedText("receive from", errno), false);
    }
    if (takeReplies()) refill();
  }

  // Hands every whole reply in the buffer to the stream; whether there was one.
  bool takeReplies() {
    bool took = false;
    while (in_flight_ > 0) {
      const std::string_view buffered = conn_.buffer_.view();
      const wire::FrameScan scan = raw_ ? wire::scanReplyFrame(buffered, limits_, resume_)
                                        : wire::scanReplyLine(buffered, limits_, resume_);
      if (scan.status == wire::FrameStatus::kNeedMore) {
        resume_ = buffered.size();
        break;
      }
      if (scan.status == wire::FrameStatus::kError)
        throw ProtocolError(conn_.frameFault(scan, limits_.max_length));
      resume_ = 0;
      const std::string_view frame = buffered.substr(0, scan.length);
      if (raw_) {
        stream_.take(frame);
      } else {
        const std::string_view text = lineText(frame);
        requireUtf8(text);
        stream_.take(text);
      }
      conn_.buffer_.consume(scan.length);
      --in_flight_;
      took = true;
    }
    if (took) wait_since_ = Clock::now();
    return took;
  }

  // The commands the window has room for, held to be written together.
  void refill() {
    const bool idle = in_flight_ == 0;
    while (in_flight_ < window_ && stream_.next(line_)) {
      held_.append(line_);
      ++in_flight_;
      ++sent_;
    }
    if (idle && in_flight_ > 0) wait_since_ = Clock::now();
  }

  EventLoop::Interest send() {
    if (held_.size() > held_from_) {
      if (held_from_ == 0) send_since_ = Clock::now();
      while (held_.size() > held_from_) {
        const ssize_t n = ::send(fd(), held_.data() + held_from_, held_.size() - held_from_,
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
          if (errno == EINTR) continue;
          if (errno == EAGAIN || errno == EWOULDBLOCK) return EventLoop::Interest::kReadWrite;
          raise(conn_.failedText("send to", errno), false);
        }
        held_from_ += static_cast<std::size_t>(n);
        send_since_ = Clock::now();
      }
      held_.clear();
      held_from_ = 0;
      // Sent: the replies are waited for from now.
      wait_since_ = Clock::now();
    }
    return next();
  }

  EventLoop::Interest next() const {
    if (held_.size() > held_from_) return EventLoop::Interest::kReadWrite;
    return in_flight_ > 0 ? EventLoop::Interest::kRead : EventLoop::Interest::kDone;
  }

  TcpConnection& conn_;
  Connection::Stream& stream_;
  const std::size_t window_;
  const bool raw_;
  const bool limited_;
  Clock::duration timeout_{};
  wire::FrameLimits limits_;
  std::size_t resume_ = 0;
  std::size_t in_flight_ = 0;
  std::uint64_t sent_ = 0;
  std::string line_;
  std::string held_;
  std::size_t held_from_ = 0;  // held_ before it is written
  Clock::time_point wait_since_{};
  Clock::time_point send_since_{};
};

class TcpConnection::TcpPipeline final : public Connection::Pipeline {
 public:
  explicit TcpPipeline(TcpConnection& conn) : conn_(conn), lock_(conn.exchange_) {
    conn_.requireOpen("pipeline");
  }
  ~TcpPipeline() override {
    if (sent_ != received_) conn_.closeLocked();
  }
  // Commands are held and written together: at the next receive, or when they fill kHeld.
  void send(std::string_view line) override {
    conn_.requireOpen("pipeline send");
    held_.append(line);
    ++sent_;
    if (held_.size() >= kHeld) flush();
  }
  std::string receiveLine() override {
    conn_.requireOpen("pipeline receive");
    flush();
    std::string reply = conn_.receiveLine();
    ++received_;
    return reply;
  }
  Bytes receiveFrame(std::size_t size) override {
    conn_.requireOpen("pipeline receive");
    flush();
    Bytes frame = conn_.receiveFrame(size);
    ++received_;
    return frame;
  }
  bool replyReady() override { return conn_.replyBuffered(); }

  void run(Stream& stream) override {
    const std::shared_ptr<EventLoop>& loop = conn_.options_.loop;
    if (!loop || sent_ != received_) return Pipeline::run(stream);
    // A link an earlier failure closed is refused as the other calls refuse it.
    conn_.requireOpen("pipeline");
    LoopTransfer transfer(conn_, stream);
    try {
      loop->run(transfer, [&stream] {
        checkCancellation();
        stream.report();
      });
    } catch (...) {
      // Replies may still be on their way: nothing after them can be trusted.
      conn_.closeLocked();
      throw;
    }
    sent_ += transfer.commands();
    received_ += transfer.commands();
  }

 private:
  static constexpr std::size_t kHeld = 64 * 1024;

  void flush() {
    if (held_.empty()) return;
    // While the device's socket takes no more, its replies are read, so neither side waits for
    // the other with full buffers.
    conn_.sendAll(held_, true);
    held_.clear();
  }

  TcpConnection& conn_;
  std::unique_lock<std::mutex> lock_;
  std::string held_;
  std::uint64_t sent_ = 0;
  std::uint64_t received_ = 0;
};

std::unique_ptr<Connection::Pipeline> TcpConnection::pipeline() {
  return std::make_unique<TcpPipeline>(*this);
}

void TcpConnection::waitToSendOrReceive(const Deadline& deadline) {
  pollfd p{fd_.get(), POLLOUT | POLLIN, 0};
  const int ready = ::poll(&p, 1, sliceMillis(deadline.pollMillis()));
  if (ready < 0 && errno != EINTR) fail(failedText("wait for", errno), false);
  if (ready <= 0) {
    checkCancellation();
    if (deadline.pollMillis() == 0) fail(notTakenText(), true);
    return;
  }
  if ((p.revents & POLLIN) != 0) {
    const ssize_t n = buffer_.recvFrom(fd_.get());
    if (n == 0) fail(closedText(), false);
  }
}

bool TcpConnection::replyBuffered() const {
  return wire::scanReplyFrame(buffer_.view(), wire::FrameLimits{}, 0).status ==
         wire::FrameStatus::kComplete;
}

}  // namespace kestrix::net
