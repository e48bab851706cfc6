#include "kestrix/flash/command_channel.hpp"

#include <stdexcept>
#include <utility>

#include "kestrix/contracts/errors.hpp"
#include "kestrix/contracts/text.hpp"
#include "kestrix/wire/protocol.hpp"

namespace kestrix::flash {
namespace {

// A raw reply carries 4 leading bytes (the block header "#216" of a page) and a trailing CR LF.
constexpr std::size_t kRawLead = 4;
constexpr std::size_t kRawTrail = 2;

}  // namespace

CommandChannel::CommandChannel(std::shared_ptr<Connection> connection, std::shared_ptr<Host> host)
    : connection_(std::move(connection)), host_(std::move(host)) {
  if (!connection_) throw std::invalid_argument("Either connection or address must be provided");
  if (!host_) throw std::invalid_argument("a command channel needs a host");
}

std::string CommandChannel::exchange(std::string_view command) {
  const CancellationScope watch([this] { checkCancelled(); });
  sent_.fetch_add(1, std::memory_order_relaxed);
  RetType ret = connection_->sendCmd(wire::terminate(command), RspType::RSP_LIST);
  if (ret.data.is_string()) {
    const std::string& text = ret.data.get_ref<const std::string&>();
    requireUtf8(text);
    return text;
  }
  // No payload, or an empty one, reads as the empty reply.
  if (ret.data.is_null()) return {};
  throw ProtocolError("the connection returned a reply that is not text: " + ret.data.dump());
}

Bytes CommandChannel::exchangeRaw(std::string_view command, bool log_reply, std::size_t size) {
  const CancellationScope watch([this] { checkCancelled(); });
  sent_.fetch_add(1, std::memory_order_relaxed);
  return cutFrame(connection_->queryRaw(wire::terminate(command), size), log_reply, false);
}

Bytes CommandChannel::receive(bool log_reply, std::size_t size, bool decode) {
  const CancellationScope watch([this] { checkCancelled(); });
  return cutFrame(connection_->recvRawBytes(size), log_reply, decode);
}

std::string_view CommandChannel::pageOf(std::string_view frame) {
  if (frame.size() <= kRawLead + kRawTrail) return {};
  return frame.substr(kRawLead, frame.size() - kRawLead - kRawTrail);
}

Bytes CommandChannel::cutFrame(Bytes frame, bool log_reply, bool decode) {
  if (decode) {
    requireUtf8(frame);
  } else {
    frame = Bytes(pageOf(frame));
  }
  if (log_reply && host_->logEnabled(LogLevel::DEBUG))
    host_->log(LogLevel::DEBUG, "Received data: " + (decode ? frame : bytesRepr(frame)));
  return frame;
}

std::unique_ptr<CommandChannel::Window> CommandChannel::openWindow() {
  std::unique_ptr<Connection::Pipeline> pipe = connection_->pipeline();
  if (!pipe) return nullptr;
  return std::make_unique<Window>(*this, std::move(pipe));
}

void CommandChannel::Window::run(Connection::Stream& stream) {
  // The channel's view of the stream, which the pipeline may drive from another thread: the
  // count is atomic, and nothing here calls the host.
  class Channelled final : public Connection::Stream {
   public:
    Channelled(Connection::Stream& inner, std::atomic<std::uint64_t>& sent)
        : inner_(inner), sent_(sent) {}
    std::size_t window() const override { return inner_.window(); }
    bool rawFrames() const override { return inner_.rawFrames(); }
    std::size_t maxFrame() const override { return inner_.maxFrame(); }
    bool next(std::string& line) override {
      if (!inner_.next(line)) return false;
      line.append(wire::kLineEnd);
      sent_.fetch_add(1, std::memory_order_relaxed);
      return true;
    }
    void take(std::string_view reply) override {
      inner_.take(inner_.rawFrames() ? pageOf(reply) : reply);
    }
    void report() override { inner_.report(); }

   private:
    Connection::Stream& inner_;
    std::atomic<std::uint64_t>& sent_;
  };
  Channelled channelled(stream, channel_.sent_);
  pipe_->run(channelled);
}

void CommandChannel::setCancelToken(CancelToken token) {
  const std::lock_guard<std::mutex> lock(token_mutex_);
  token_ = std::move(token);
}

CancelToken CommandChannel::cancelToken() const {
  const std::lock_guard<std::mutex> lock(token_mutex_);
  return token_;
}

void CommandChannel::checkCancelled() {
  cancelToken().throwIfCancelled();
  host_->checkCancelled();
}

}  // namespace kestrix::flash
