#include "kestrix/net/tcp_connection.hpp"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <stdexcept>
#include <utility>

#include "kestrix/contracts/cancel.hpp"
#include "kestrix/contracts/errors.hpp"
#include "kestrix/contracts/text.hpp"
#include "kestrix/wire/protocol.hpp"

namespace kestrix::net {
namespace {

namespace wire = kestrix::wire;

// Errors of socket() that no other address family will cure.
bool outOfResources(int err) {
  return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

// Connects `fd` (non-blocking) before `deadline`; 0 on success, else the errno of the failure
// (ETIMEDOUT when the deadline passed).
int connectBefore(int fd, const addrinfo& ai, const Deadline& deadline) {
  if (::connect(fd, ai.ai_addr, ai.ai_addrlen) == 0) return 0;
  if (errno != EINPROGRESS && errno != EINTR) return errno;
  if (waitFor(fd, POLLOUT, deadline) == WaitResult::kTimedOut) return ETIMEDOUT;
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  return err;
}

}  // namespace

ConnectionFactory tcpConnectionFactory(TcpOptions options) {
  return [options](const std::string& address, int port) -> std::shared_ptr<Connection> {
    return std::make_shared<TcpConnection>(address, port, options);
  };
}

TcpConnection::TcpConnection(std::string address, int port, TcpOptions options)
    : address_(std::move(address)), port_(port), options_(options) {
  // NaN fails both comparisons too.
  if (!(options_.connect_timeout > 0)) {
    throw std::invalid_argument("connect_timeout must be positive");
  }
  if (!(options_.timeout > 0)) throw std::invalid_argument("timeout must be positive");
}

std::string TcpConnection::peer() const {
  return address_ + ":" + std::to_string(port_);
}

bool TcpConnection::isOpen() const {
  const std::lock_guard<std::mutex> lock(fd_mutex_);
  return static_cast<bool>(fd_);
}

bool TcpConnection::initConnection() {
  const std::lock_guard<std::mutex> lock(exchange_);
  if (fd_) return true;
  connect_error_.clear();
  if (port_ < 1 || port_ > 65535) {
    connect_error_ = "port " + std::to_string(port_) + " is out of range";
    return false;
  }

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (const int rc = ::getaddrinfo(address_.c_str(), std::to_string(port_).c_str(), &hints, &found);
      rc != 0) {
    connect_error_ = "name '" + address_ + "' not resolved: " + ::gai_strerror(rc);
    return false;
  }
  const AddrInfoPtr list(found);

  // One deadline for all addresses: connect_timeout bounds the whole attempt.
  const Deadline deadline(options_.connect_timeout);
  for (const addrinfo* ai = list.get(); ai != nullptr; ai = ai->ai_next) {
    UniqueFd fd(
        ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol));
    if (!fd) {
      if (outOfResources(errno)) {
        throw ResourceError("cannot create a socket for " + peer() + ": " + errnoText(errno));
      }
      continue;  // e.g. an IPv6 address on a host without IPv6
    }
    const int err = connectBefore(fd.get(), *ai, deadline);
    if (err == 0) {
      setNoDelay(fd.get());
      setBlocking(fd.get());
      const int millis = Deadline(options_.timeout).pollMillis();
      setSendTimeout(fd.get(), millis);
      setReceiveTimeout(fd.get(), millis);
      receive_timeout_ms_ = millis;
      const std::lock_guard<std::mutex> fd_lock(fd_mutex_);
      fd_ = std::move(fd);
      buffer_.clear();
      return true;
    }
    if (err == ECONNREFUSED) {
      connect_error_ = "connection refused by " + peer();
    } else if (err == ETIMEDOUT) {
      connect_error_ =
          "no answer from " + peer() + " within " + secondsText(options_.connect_timeout) + " s";
    } else {
      connect_error_ = "cannot connect to " + peer() + ": " + errnoText(err);
    }
    if (deadline.pollMillis() == 0) break;
  }
  if (connect_error_.empty()) connect_error_ = "cannot connect to " + peer();
  return false;
}

std::string TcpConnection::connectError() const {
  const std::lock_guard<std::mutex> lock(exchange_);
  return connect_error_;
}

void TcpConnection::closeConnection() {
  {
    // A thread blocked on a reply holds exchange_; shutting the socket down wakes it.
    const std::lock_guard<std::mutex> fd_lock(fd_mutex_);
    if (fd_) ::shutdown(fd_.get(), SHUT_RDWR);
  }
  const std::lock_guard<std::mutex> lock(exchange_);
  closeLocked();
}

void TcpConnection::closeLocked() {
  {
    const std::lock_guard<std::mutex> fd_lock(fd_mutex_);
    fd_.reset();
  }
  buffer_.clear();
}

void TcpConnection::requireOpen(const char* operation) const {
  if (!fd_) {
    throw ConnectionError(std::string(operation) + ": connection to " + peer() + " is not open");
  }
}

void TcpConnection::raise(const std::string& what, bool timed_out) {
  if (timed_out) throw TimeoutError(what);
  throw ConnectionError(what);
}

void TcpConnection::fail(const std::string& what, bool timed_out) {
  closeLocked();
  raise(what, timed_out);
}

std::string TcpConnection::noReplyText() const {
  return "no reply from " + peer() + " within " + secondsText(options_.timeout) + " s";
}

std::string TcpConnection::notTakenText() const {
  return peer() + " did not take the command within " + secondsText(options_.timeout) + " s";
}

std::string TcpConnection::closedText() const {
  return "connection closed by " + peer();
}

std::string TcpConnection::failedText(const char* action, int err) const {
  return std::string(action) + " " + peer() + " failed: " + errnoText(err);
}

void TcpConnection::sendAll(std::string_view bytes, bool read_while_blocked) {
  const Deadline deadline(options_.timeout);
  const int flags = MSG_NOSIGNAL | (read_while_blocked ? MSG_DONTWAIT : 0);
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd_.get(), bytes.data(), bytes.size(), flags);
    if (n >= 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)
      fail(failedText("send to", errno), false);
    try {
      if (errno == EINTR) {
        checkCancellation();
      } else if (read_while_blocked) {
        waitToSendOrReceive(deadline);
      } else if (waitFor(fd_.get(), POLLOUT, deadline) == WaitResult::kTimedOut) {
        fail(notTakenText(), true);
      }
    } catch (const TimeoutError&) {
      throw;
    } catch (...) {
      // Part of the command may have gone out; the rest of the stream cannot be trusted.
      closeLocked();
      throw;
    }
  }
}

void TcpConnection::armReceiveTimeout(int millis) {
  // A reply's first wait needs no change; a frame that arrives in pieces waits for what is left.
  constexpr int kSlackMillis = 20;
  const bool change = millis < 0 ? receive_timeout_ms_ >= 0
                                 : receive_timeout_ms_ < 0 || millis > receive_timeout_ms_ ||
                                       millis + kSlackMillis < receive_timeout_ms_;
  if (!change) return;
  setReceiveTimeout(fd_.get(), millis);
  receive_timeout_ms_ = millis;
}

void TcpConnection::fill(const Deadline& deadline) {
  for (;;) {
    const int left = deadline.pollMillis();
    if (left == 0) {
      fail(noReplyText(), true);
    }
    armReceiveTimeout(sliceMillis(left));
    const ssize_t n = buffer_.recvFrom(fd_.get());
    if (n > 0) return;
    if (n == 0) fail(closedText(), false);
    // EAGAIN: the receive time-out (or a slice of it) ran out; the deadline above decides.
    if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)
      fail(failedText("receive from", errno), false);
    try {
      checkCancellation();
    } catch (...) {
      // The reply may still come; it must not be taken for the next command's.
      closeLocked();
      throw;
    }
  }
}

std::size_t TcpConnection::frameLength(bool line_only, std::size_t max_length,
                                       const Deadline& deadline) {
  wire::FrameLimits limits;
  limits.max_length = max_length;
  std::size_t resume = 0;
  for (;;) {
    const wire::FrameScan scan = line_only ? wire::scanReplyLine(buffer_.view(), limits, resume)
                                           : wire::scanReplyFrame(buffer_.view(), limits, resume);
    if (scan.status == wire::FrameStatus::kComplete) return scan.length;
    if (scan.status == wire::FrameStatus::kError) refuseFrame(scan, max_length, deadline);
    resume = buffer_.size();
    fill(deadline);
  }
}

std::string TcpConnection::frameFault(const wire::FrameScan& scan, std::size_t max_length) const {
  switch (scan.fault) {
    case wire::FrameFault::kLineTooLong:
      return "reply line from " + peer() + " of " + std::to_string(scan.length) +
             " bytes exceeds the limit of " + std::to_string(max_length);
    case wire::FrameFault::kBlockTooLong:
      return "reply block from " + peer() + " of " + std::to_string(scan.length) +
             " bytes exceeds the limit of " + std::to_string(max_length);
    case wire::FrameFault::kMalformedHeader:
      return "malformed block header in reply from " + peer() + ": " +
             bytesRepr(buffer_.view().substr(0, 12));
    case wire::FrameFault::kNoLineEnd:
      return "reply from " + peer() + " runs past " + std::to_string(scan.length) +
             " bytes without a line end";
    case wire::FrameFault::kBadBlockEnd:
    case wire::FrameFault::kNone:
      break;
  }
  return "reply block from " + peer() + " does not end in CR LF";
}

void TcpConnection::refuseFrame(const wire::FrameScan& scan, std::size_t max_length,
                                const Deadline& deadline) {
  const std::string what = frameFault(scan, max_length);
  if (scan.in_step) {
    drain(scan.length, deadline);
  } else {
    // Where this frame really ends is unknown, so nothing after it can be trusted.
    closeLocked();
  }
  throw ProtocolError(what);
}

void TcpConnection::drain(std::size_t n, const Deadline& deadline) {
  while (n > 0) {
    if (buffer_.empty()) fill(deadline);
    const std::size_t k = std::min(n, buffer_.size());
    buffer_.consume(k);
    n -= k;
  }
}

RetType TcpConnection::sendCmd(std::string_view line, RspType rsp_type) {
  // Both reply types are one text line on this link.
  (void)rsp_type;
  const std::lock_guard<std::mutex> lock(exchange_);
  requireOpen("sendCmd");
  if (!line.empty() && line.back() == '\n') {
    sendAll(line);
  } else {
    scratch_.assign(line).append(wire::kLineEnd);
    sendAll(scratch_);
  }
  return RetType(Json(receiveLine()));
}

std::string TcpConnection::receiveLine() {
  const Deadline deadline(options_.timeout);
  const std::size_t n = frameLength(true, wire::kMaxLineLength, deadline);
  std::string reply(lineText(buffer_.view().substr(0, n)));
  buffer_.consume(n);
  requireUtf8(reply);
  return reply;
}

std::string_view TcpConnection::lineText(std::string_view frame) {
  frame.remove_suffix(1);
  if (!frame.empty() && frame.back() == '\r') frame.remove_suffix(1);
  return frame;
}

void TcpConnection::sendRawBytes(std::string_view bytes) {
  const std::lock_guard<std::mutex> lock(exchange_);
  requireOpen("sendRawBytes");
  sendAll(bytes);
}

Bytes TcpConnection::recvRawBytes(std::size_t size) {
  const std::lock_guard<std::mutex> lock(exchange_);
  requireOpen("recvRawBytes");
  return receiveFrame(size);
}

Bytes TcpConnection::queryRaw(std::string_view line, std::size_t size) {
  const std::lock_guard<std::mutex> lock(exchange_);
  requireOpen("queryRaw");
  sendAll(line);
  return receiveFrame(size);
}

Bytes TcpConnection::receiveFrame(std::size_t size) {
  const Deadline deadline(options_.timeout);
  const std::size_t n = frameLength(false, size, deadline);
  Bytes out(buffer_.view().substr(0, n));
  buffer_.consume(n);
  return out;
}

}  // namespace kestrix::net
