#include "kestrix/sim/reply_queue.hpp"

namespace kestrix::sim {
namespace {

using Clock = ReplyQueue::Clock;

// `t` rounded up to a multiple of `tick` counted from the clock's epoch (unchanged for no tick).
Clock::time_point roundUp(Clock::time_point t, std::chrono::microseconds tick) {
  const Clock::duration step = tick;
  if (step.count() <= 0) return t;
  const Clock::duration past = t.time_since_epoch() % step;
  return past.count() == 0 ? t : t + (step - past);
}

}  // namespace

void ReplyQueue::seal(Clock::time_point now) {
  const std::size_t fresh = bytes_.size() - head_ - sealed_;
  if (fresh == 0) return;
  sealed_ += fresh;
  if (delay_.count() == 0) {
    ready_ += fresh;
    return;
  }
  const Clock::time_point due = roundUp(now + delay_, tick_);
  if (!held_.empty() && held_.back().due == due) {
    held_.back().size += fresh;
  } else {
    held_.push_back(Batch{due, fresh});
  }
}

void ReplyQueue::release(Clock::time_point now) {
  while (!held_.empty() && held_.front().due <= now) {
    ready_ += held_.front().size;
    held_.pop_front();
  }
}

void ReplyQueue::consume(std::size_t n) {
  head_ += n;
  ready_ -= n;
  sealed_ -= n;
  if (head_ == bytes_.size()) {
    bytes_.clear();
    head_ = 0;
  } else if (head_ >= bytes_.size() / 2) {
    // Moving the rest forward once at least as many bytes were sent keeps it linear overall.
    bytes_.erase(0, head_);
    head_ = 0;
  }
}

std::optional<ReplyQueue::Clock::time_point> ReplyQueue::nextDue() const {
  if (held_.empty()) return std::nullopt;
  return held_.front().due;
}

std::optional<ReplyQueue::Clock::time_point> ReplyQueue::lastDue() const {
  if (held_.empty()) return std::nullopt;
  return held_.back().due;
}

std::size_t ReplyQueue::footprint() const {
  return bytes_.size() - head_ + held_.size() * sizeof(Batch);
}

}  // namespace kestrix::sim
