// Stopping a long operation from outside: a token another thread raises, and the check every wait
// and loop of the core runs.
//
// An operation installs its check for the current thread with a CancellationScope; the core's
// waits (socket replies, connects, sleeps) then wake at least every kCancelCheckInterval to run
// it, and on EINTR, and its loops run it every few milliseconds of work. Whatever the check throws
// stops the operation: CancelledError for a token, the host's own error for an interrupt of the
// host process (Ctrl-C in Python).
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

#include "kestrix/contracts/errors.hpp"

namespace kestrix {

inline constexpr std::chrono::milliseconds kCancelCheckInterval{50};

// The operation was cancelled through its token.
class CancelledError : public Error {
 public:
  using Error::Error;
};

// A flag that stops the operations watching it. Copies share one flag; any thread may raise it.
class CancelToken {
 public:
  CancelToken() : flag_(std::make_shared<std::atomic<bool>>(false)) {}

  void cancel() { flag_->store(true, std::memory_order_relaxed); }
  bool cancelled() const { return flag_->load(std::memory_order_relaxed); }
  // Throws CancelledError once the token is raised.
  void throwIfCancelled() const;

 private:
  std::shared_ptr<std::atomic<bool>> flag_;
};

// Installs `check` as this thread's cancellation check while it lives; the check it replaced comes
// back when it goes, so scopes nest. Not copyable.
class CancellationScope {
 public:
  explicit CancellationScope(std::function<void()> check);
  ~CancellationScope();
  CancellationScope(const CancellationScope&) = delete;
  CancellationScope& operator=(const CancellationScope&) = delete;

 private:
  std::function<void()> check_;
  const std::function<void()>* previous_;
};

// Whether this thread has a check installed: waits must then wake up regularly to run it.
bool cancellationWatched();
// Runs this thread's check, if any; throws whatever it throws.
void checkCancellation();

// Runs the check at most every kCancelCheckInterval of a busy loop, so a loop of fast steps costs
// one clock reading per step.
class CancellationPoll {
 public:
  void operator()() {
    const auto now = std::chrono::steady_clock::now();
    if (now < next_) return;
    next_ = now + kCancelCheckInterval;
    checkCancellation();
  }

 private:
  std::chrono::steady_clock::time_point next_{};
};

}  // namespace kestrix
