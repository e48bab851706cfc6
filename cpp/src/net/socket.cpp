#include "kestrix/net/socket.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>

#include "kestrix/contracts/cancel.hpp"
#include "kestrix/contracts/errors.hpp"

namespace kestrix::net {

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);  // close() always releases the descriptor, even on EINTR
  fd_ = fd;
}

Deadline::Deadline(double seconds) {
  using std::chrono::steady_clock;
  // Anything beyond a day is as good as forever and must not overflow the clock's range.
  constexpr double kForever = 24.0 * 3600.0;
  if (!std::isfinite(seconds) || seconds > kForever) {
    infinite_ = true;
    return;
  }
  span_ =
      std::chrono::duration_cast<steady_clock::duration>(std::chrono::duration<double>(seconds));
}

int Deadline::pollMillis() const {
  if (infinite_) return -1;
  const auto now = std::chrono::steady_clock::now();
  if (!started_) {
    at_ = now + span_;
    started_ = true;
  }
  const auto left = at_ - now;
  if (left <= std::chrono::steady_clock::duration::zero()) return 0;
  // Round up: a wait that ends a little early would report a time-out before the deadline.
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return ms > std::numeric_limits<int>::max() ? std::numeric_limits<int>::max()
                                              : static_cast<int>(ms);
}

int sliceMillis(int millis) {
  if (!cancellationWatched()) return millis;
  const int slice = static_cast<int>(kCancelCheckInterval.count());
  return millis < 0 || millis > slice ? slice : millis;
}

WaitResult waitFor(int fd, short events, const Deadline& deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    const int n = ::poll(&p, 1, sliceMillis(deadline.pollMillis()));
    if (n > 0) return WaitResult::kReady;
    if (n < 0 && errno != EINTR) throw ConnectionError("poll() failed: " + errnoText(errno));
    // A slice ran out or a signal came: the operation may have been asked to stop.
    checkCancellation();
    // poll() may wake a hair early; only a passed deadline is a time-out.
    if (n == 0 && deadline.pollMillis() == 0) return WaitResult::kTimedOut;
  }
}

void setNonBlocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
    throw ConnectionError("cannot make socket non-blocking: " + errnoText(errno));
  }
}

void setBlocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
    throw ConnectionError("cannot make socket blocking: " + errnoText(errno));
  }
}

namespace {

void setTimeout(int fd, int option, int millis) {
  timeval tv{};  // zero: no limit
  if (millis >= 0) {
    tv.tv_sec = millis / 1000;
    tv.tv_usec = (millis % 1000) * 1000;
    // Zero would mean "wait forever"; a passed deadline is caught by the caller anyway.
    if (millis == 0) tv.tv_usec = 1;
  }
  if (::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv) != 0) {
    throw ConnectionError("cannot set the socket time-out: " + errnoText(errno));
  }
}

}  // namespace

void setReceiveTimeout(int fd, int millis) {
  setTimeout(fd, SO_RCVTIMEO, millis);
}
void setSendTimeout(int fd, int millis) {
  setTimeout(fd, SO_SNDTIMEO, millis);
}

void setNoDelay(int fd) {
  const int one = 1;
  // Only TCP sockets have the option; failing on another kind is harmless.
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

std::string errnoText(int err) {
  char buf[256];
  // The GNU variant may return a static string instead of filling `buf`.
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
  return ::strerror_r(err, buf, sizeof buf);
#else
  if (::strerror_r(err, buf, sizeof buf) != 0) return "error " + std::to_string(err);
  return buf;
#endif
}

}  // namespace kestrix::net
