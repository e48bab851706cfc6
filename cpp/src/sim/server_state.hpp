// What the server keeps per device and per client. Private to the server: server.cpp runs the
// loop over them, server_client.cpp serves one client; nothing else includes it.
#pragma once

#include <sys/epoll.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>

#include "kestrix/net/byte_buffer.hpp"
#include "kestrix/net/socket.hpp"
#include "kestrix/sim/listener.hpp"
#include "kestrix/sim/reply_queue.hpp"
#include "kestrix/sim/server.hpp"
#include "kestrix/sim/session.hpp"

namespace kestrix::sim {

// What an event of the kernel's is about.
struct Server::Watch {
  enum class Kind { kStop, kListener, kClient };
  explicit Watch(Kind k) : kind(k) {}
  Kind kind;
};

struct Server::Served : Watch {
  Served(Listener l, Device& d, LinkFaults f, std::function<void()> after)
      : Watch(Kind::kListener),
        listener(std::move(l)),
        device(d),
        faults(f),
        after_client(std::move(after)) {}

  Listener listener;
  Device& device;
  LinkFaults faults;
  std::function<void()> after_client;
  unsigned clients = 0;
  Clock::time_point resting_until{};  // accepting is paused until then
};

struct Server::Client : Watch {
  Client(net::UniqueFd socket, Served& device, std::chrono::microseconds latency,
         std::chrono::microseconds tick, Clock::time_point now)
      : Watch(Kind::kClient),
        fd(std::move(socket)),
        served(device),
        session(device.device, device.faults),
        output(latency, tick),
        last_active(now) {}

  // Reading more only makes sense while the replies so far are being taken.
  bool wantsInput() const {
    return !closing && !input_ended && !session.wantsClose() &&
           output.footprint() < kMaxPendingOutput;
  }
  // Everything this client will ever get has been sent.
  bool finished() const { return output.empty() && (session.wantsClose() || input_ended); }
  std::uint32_t wantedEvents() const {
    return (wantsInput() ? std::uint32_t{EPOLLIN} : 0u) |
           (output.ready().empty() ? 0u : std::uint32_t{EPOLLOUT});
  }

  net::UniqueFd fd;
  Served& served;
  Session session;
  net::ByteBuffer input;  // received, not yet handled: at most one command's bytes, or capped
  ReplyQueue output;
  Clock::time_point last_active;    // the last byte received or sent
  Clock::time_point timer_due{};    // the latest due time of its replies in timers_
  std::size_t index = 0;            // its place in clients_
  std::uint32_t watched = EPOLLIN;  // the events the kernel reports for it
  bool input_ended = false;         // the client has shut down its sending side
  bool closing = false;             // to be closed without further ado
  bool due = false;                 // in due_
  bool settling = false;            // in settling_
};

}  // namespace kestrix::sim
