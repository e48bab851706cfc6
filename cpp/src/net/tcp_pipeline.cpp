// The TCP connection's pipeline: a window of commands written together, replies read as they
// come.
#include <poll.h>

#include <cerrno>
#include <memory>
#include <string>

#include "kestrix/contracts/cancel.hpp"
#include "kestrix/contracts/text.hpp"
#include "kestrix/net/tcp_connection.hpp"
#include "kestrix/wire/reply_frame.hpp"

namespace kestrix::net {

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
  if (ready < 0 && errno != EINTR)
    fail("wait for " + peer() + " failed: " + errnoText(errno), false);
  if (ready <= 0) {
    checkCancellation();
    if (deadline.pollMillis() == 0)
      fail(peer() + " did not take the command within " + secondsText(options_.timeout) + " s",
           true);
    return;
  }
  if ((p.revents & POLLIN) != 0) {
    const ssize_t n = buffer_.recvFrom(fd_.get());
    if (n == 0) fail("connection closed by " + peer(), false);
  }
}

bool TcpConnection::replyBuffered() const {
  return wire::scanReplyFrame(buffer_.view(), wire::FrameLimits{}, 0).status ==
         wire::FrameStatus::kComplete;
}

}  // namespace kestrix::net
