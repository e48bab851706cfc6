// The replies waiting to go to one client, each batch held back until its due time when the link
// has a latency. No sockets and no clock of its own: the caller says what time it is, so tests
// drive it directly.
//
// Replies are appended to buffer() and then sealed: the bytes appended since the last seal
// become due `delay` after the time given to seal(), the moment their commands were complete.
// Batches are due in the order they were sealed, each counted from its own seal, so replies to
// commands sent back to back overlap their delays rather than add them up. With no delay a seal
// makes the bytes ready at once and the clock is never consulted.
//
// With a `tick`, due times are rounded up to the next multiple of it on the clock's own count: a
// reply is never early and at most one tick late, and the replies of every queue that fall due
// within one tick are due at the same instant, so one wake-up of the server sends them all.
// Batches that fall due at the same instant are one batch.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

namespace kestrix::sim {

class ReplyQueue {
 public:
  using Clock = std::chrono::steady_clock;

  explicit ReplyQueue(std::chrono::microseconds delay = {}, std::chrono::microseconds tick = {})
      : delay_(delay), tick_(tick) {}

  // Where replies are appended. Only appending is allowed; the bytes count once sealed.
  std::string& buffer() { return bytes_; }
  void seal(Clock::time_point now);
  // Makes every batch due at or before `now` ready to send.
  void release(Clock::time_point now);

  // The bytes that may be sent now, oldest first, and dropping the first `n` of them once sent.
  std::string_view ready() const { return std::string_view(bytes_).substr(head_, ready_); }
  void consume(std::size_t n);

  // When the next held batch is due, and when the last one is; nothing when none is held.
  std::optional<Clock::time_point> nextDue() const;
  std::optional<Clock::time_point> lastDue() const;
  bool holding() const { return !held_.empty(); }
  // Nothing left to send, ready or held.
  bool empty() const { return head_ == bytes_.size(); }
  // What this queue keeps for its client: the unsent bytes plus the bookkeeping of each held
  // batch, so that a cap on it bounds the memory however the replies were batched.
  std::size_t footprint() const;

 private:
  struct Batch {
    Clock::time_point due;
    std::size_t size;
  };

  std::chrono::microseconds delay_;
  std::chrono::microseconds tick_;
  std::string bytes_;       // sent bytes before head_, then ready, held and unsealed ones
  std::size_t head_ = 0;    // bytes_[0, head_) have been sent
  std::size_t ready_ = 0;   // bytes after head_ that may be sent now
  std::size_t sealed_ = 0;  // bytes after head_ that are ready or held
  std::deque<Batch> held_;  // the held bytes after the ready ones, in due order
};

}  // namespace kestrix::sim
