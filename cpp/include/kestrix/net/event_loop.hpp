// A few threads that drive the transfers of many connections: each thread waits on its sockets
// with one epoll and serves every one that is ready in the same wake-up, so a fleet of hundreds of
// devices does not need a busy thread per device switching in and out for each batch of replies.
//
// A connection hands its transfer over as a Client and its own thread waits (run()): it wakes only
// to run its tick, every kCancelCheckInterval, and when the transfer ends. A client's calls run on
// one loop thread, one at a time; the loop never calls the host or anything of Python.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

namespace kestrix::net {

class EventLoop {
 public:
  // What a client waits for next.
  enum class Interest { kDone, kRead, kReadWrite };

  // One connection's transfer as the loop drives it. What a call throws ends the transfer, and
  // run() throws it on the caller's thread.
  class Client {
   public:
    virtual ~Client() = default;
    // The connected socket; the client keeps it open while it runs.
    virtual int fd() const = 0;
    // The transfer starts (the first commands go out).
    virtual Interest start() = 0;
    // The socket is readable (or hung up, or in error), or writable.
    virtual Interest ready(bool readable, bool writable) = 0;
    // Called at least every kCancelCheckInterval: throws TimeoutError once the transfer waited
    // longer than it may.
    virtual void expire(std::chrono::steady_clock::time_point now) = 0;
  };

  // Starts `threads` threads (at least 1). Throws std::system_error when none can be started.
  explicit EventLoop(std::size_t threads);
  // Stops and joins the threads; no run() may be in progress.
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // Drives `client` on the loop's least busy thread until it is done, and meanwhile runs `tick`
  // on the calling thread every kCancelCheckInterval. What the client throws is thrown here; what
  // `tick` throws takes the client off the loop (no call of it runs after) and is thrown here.
  void run(Client& client, const std::function<void()>& tick);

 private:
  class Worker;
  std::vector<std::unique_ptr<Worker>> workers_;
};

}  // namespace kestrix::net
