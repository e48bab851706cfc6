// Small POSIX socket helpers shared by the device connection and the simulator's server.
#pragma once

#include <netdb.h>

#include <chrono>
#include <memory>
#include <string>

namespace kestrix::net {

// Owns one file descriptor and closes it exactly once. Not copyable; movable.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the descriptor held (if any) and takes `fd`.
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// Owns a getaddrinfo() result list.
struct AddrInfoDeleter {
  void operator()(addrinfo* info) const { ::freeaddrinfo(info); }
};
using AddrInfoPtr = std::unique_ptr<addrinfo, AddrInfoDeleter>;

// A point in time after which a wait gives up. `seconds` may be infinite (never gives up).
class Deadline {
 public:
  // The clock starts at the first wait (the first pollMillis()), not here: a reply that is
  // already buffered is taken without reading the clock, which a windowed transfer would
  // otherwise do once per reply. Only the waits count against `seconds`.
  explicit Deadline(double seconds);
  // Milliseconds left for poll(): -1 when there is no limit, 0 once the deadline has passed.
  int pollMillis() const;
  bool infinite() const { return infinite_; }

 private:
  std::chrono::steady_clock::duration span_{};
  mutable std::chrono::steady_clock::time_point at_;
  mutable bool started_ = false;
  bool infinite_ = false;
};

enum class WaitResult { kReady, kTimedOut };

// `millis` (as poll() takes it, -1 for no limit) cut to kCancelCheckInterval while the thread
// watches for cancellation, so a wait wakes up in time to run the check.
int sliceMillis(int millis);

// Waits until `fd` has any of `events` (POLLIN, POLLOUT) or the deadline passes. Errors and
// hang-ups count as ready: the next read or write reports them. Retries on EINTR. Runs the
// thread's cancellation check on every signal and at least every kCancelCheckInterval.
WaitResult waitFor(int fd, short events, const Deadline& deadline);

void setNonBlocking(int fd);
// Blocking mode, for the exchanges after connecting: a reply is then waited for inside recv()
// itself, one system call instead of a poll() and a recv() per reply.
void setBlocking(int fd);
// How long a blocking recv() (SO_RCVTIMEO) or send() (SO_SNDTIMEO) may wait; -1 for no limit.
void setReceiveTimeout(int fd, int millis);
void setSendTimeout(int fd, int millis);
// Small request/reply exchanges must not wait for Nagle's algorithm.
void setNoDelay(int fd);

// "strerror(err)" in a thread-safe way.
std::string errnoText(int err);

}  // namespace kestrix::net
