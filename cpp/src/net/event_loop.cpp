#include "kestrix/net/event_loop.hpp"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "kestrix/contracts/cancel.hpp"
#include "kestrix/net/socket.hpp"

namespace kestrix::net {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kMaxEvents = 64;

// One run(): the client, the handshake that tells the caller it ended, and the caller's request to
// take it off the loop. Lives on the caller's stack: once `done` is set under the mutex the loop
// touches it no more.
struct Slot {
  EventLoop::Client* client = nullptr;
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;
  std::exception_ptr error;
  std::atomic<bool> abandon{false};
  // The loop thread's own: what the socket is registered for, and where the slot is in the list.
  EventLoop::Interest interest = EventLoop::Interest::kDone;
  std::size_t index = 0;
};

std::uint32_t epollEvents(EventLoop::Interest interest) {
  return interest == EventLoop::Interest::kReadWrite ? EPOLLIN | EPOLLOUT : EPOLLIN;
}

}  // namespace

class EventLoop::Worker {
 public:
  Worker() : epoll_(::epoll_create1(EPOLL_CLOEXEC)), wake_(::eventfd(0, EFD_CLOEXEC)) {
    if (!epoll_ || !wake_)
      throw std::system_error(errno, std::generic_category(), "cannot create an event loop");
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = nullptr;  // the wake-up
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, wake_.get(), &event) != 0)
      throw std::system_error(errno, std::generic_category(), "cannot create an event loop");
    thread_ = std::thread([this] { loop(); });
  }
  ~Worker() {
    stop_.store(true);
    poke();
    thread_.join();
  }
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  std::size_t load() const { return load_.load(std::memory_order_relaxed); }

  void submit(Slot* slot) {
    load_.fetch_add(1, std::memory_order_relaxed);
    {
      const std::lock_guard<std::mutex> lock(inbox_mutex_);
      inbox_.push_back(slot);
    }
    poke();
  }

  void poke() {
    const std::uint64_t one = 1;
    // A full counter still wakes the loop; nothing else can fail here.
    [[maybe_unused]] const ssize_t n = ::write(wake_.get(), &one, sizeof one);
  }

 private:
  void loop() {
    epoll_event events[kMaxEvents];
    Clock::time_point next_expiry = Clock::now() + kCancelCheckInterval;
    for (;;) {
      int timeout = -1;
      if (!active_.empty()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(next_expiry - Clock::now());
        timeout = static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, left.count() + 1));
      }
      const int n = ::epoll_wait(epoll_.get(), events, kMaxEvents, timeout);
      if (n < 0 && errno != EINTR) {
        const int err = errno;
        // One exception each: every caller frees its own.
        while (!active_.empty())
          finish(active_.back(), std::make_exception_ptr(std::system_error(
                                     err, std::generic_category(), "event loop wait failed")));
      }
      bool poked = false;
      for (int i = 0; i < n; ++i) {
        auto* slot = static_cast<Slot*>(events[i].data.ptr);
        if (slot == nullptr) {
          poked = true;
          continue;
        }
        const std::uint32_t got = events[i].events;
        // A hang-up or an error is for the read to report.
        const bool readable = (got & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0;
        serve(slot, [&] { return slot->client->ready(readable, (got & EPOLLOUT) != 0); });
      }
      if (poked && takeInbox()) return;
      const Clock::time_point now = Clock::now();
      if (now >= next_expiry) {
        next_expiry = now + kCancelCheckInterval;
        for (std::size_t i = 0; i < active_.size();) {
          Slot* slot = active_[i];
          serve(slot, [&] {
            slot->client->expire(now);
            return slot->interest;
          });
          if (i < active_.size() && active_[i] == slot) ++i;
        }
      }
    }
  }

  // Starts what was handed over and drops what its caller abandoned; true when the loop ends.
  bool takeInbox() {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t r = ::read(wake_.get(), &count, sizeof count);
    std::vector<Slot*> fresh;
    {
      const std::lock_guard<std::mutex> lock(inbox_mutex_);
      fresh.swap(inbox_);
    }
    for (Slot* slot : fresh) {
      slot->index = active_.size();
      active_.push_back(slot);
      serve(slot, [slot] { return slot->client->start(); });
    }
    for (std::size_t i = 0; i < active_.size();) {
      if (active_[i]->abandon.load()) {
        finish(active_[i], nullptr);
      } else {
        ++i;
      }
    }
    return stop_.load() && active_.empty();
  }

  // Runs one call of a slot's client and applies what it waits for next.
  template <typename Call>
  void serve(Slot* slot, Call call) {
    Interest next = Interest::kDone;
    std::exception_ptr error;
    try {
      next = call();
    } catch (...) {
      error = std::current_exception();
    }
    // Handed over outside the handler: the caller then holds the exception's only reference,
    // and it is freed on the caller's thread, not here after the caller went on.
    if (error) return finish(slot, std::move(error));
    if (next == Interest::kDone) return finish(slot, nullptr);
    if (next == slot->interest) return;
    epoll_event event{};
    event.events = epollEvents(next);
    event.data.ptr = slot;
    const int op = slot->interest == Interest::kDone ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
    if (::epoll_ctl(epoll_.get(), op, slot->client->fd(), &event) != 0) {
      return finish(slot, std::make_exception_ptr(std::system_error(
                              errno, std::generic_category(), "cannot watch a device's socket")));
    }
    slot->interest = next;
  }

  void finish(Slot* slot, std::exception_ptr error) {
    if (slot->interest != Interest::kDone)
      ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, slot->client->fd(), nullptr);
    Slot* last = active_.back();
    last->index = slot->index;
    active_[slot->index] = last;
    active_.pop_back();
    load_.fetch_sub(1, std::memory_order_relaxed);
    // Told under the lock: the caller cannot leave (and take the slot with it) before this ends.
    const std::lock_guard<std::mutex> lock(slot->mutex);
    slot->done = true;
    slot->error = std::move(error);
    slot->ended.notify_one();
  }

  UniqueFd epoll_;
  UniqueFd wake_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<std::size_t> load_{0};
  std::mutex inbox_mutex_;
  std::vector<Slot*> inbox_;
  std::vector<Slot*> active_;  // the loop thread's own
};

EventLoop::EventLoop(std::size_t threads) {
  threads = std::max<std::size_t>(1, threads);
  workers_.reserve(threads);
  for (std::size_t i = 0; i < threads; ++i) {
    try {
      workers_.push_back(std::make_unique<Worker>());
    } catch (const std::system_error&) {
      // Fewer threads still serve every client.
      if (workers_.empty()) throw;
      break;
    }
  }
}

EventLoop::~EventLoop() = default;

void EventLoop::run(Client& client, const std::function<void()>& tick) {
  Worker* worker = workers_.front().get();
  for (const auto& candidate : workers_)
    if (candidate->load() < worker->load()) worker = candidate.get();
  Slot slot;
  slot.client = &client;
  worker->submit(&slot);
  std::unique_lock<std::mutex> lock(slot.mutex);
  while (!slot.ended.wait_for(lock, kCancelCheckInterval, [&] { return slot.done; })) {
    lock.unlock();
    try {
      if (tick) tick();
    } catch (...) {
      slot.abandon.store(true);
      worker->poke();
      lock.lock();
      slot.ended.wait(lock, [&] { return slot.done; });
      throw;
    }
    lock.lock();
  }
  if (slot.error) std::rethrow_exception(slot.error);
}

}  // namespace kestrix::net
