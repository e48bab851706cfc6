#include "kestrix/sim/server.hpp"

#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <utility>

#include "kestrix/contracts/errors.hpp"
#include "kestrix/net/byte_buffer.hpp"
#include "kestrix/sim/replies.hpp"
#include "kestrix/sim/reply_queue.hpp"

namespace kestrix::sim {
namespace {

using Clock = std::chrono::steady_clock;

// Connections taken from one listener per turn of the loop: a flood of them cannot starve the
// clients already being served.
constexpr int kAcceptBatch = 16;
// How long a listener rests after accept() failed for want of descriptors or memory, rather than
// spin on a listener that stays readable (the other clients are served meanwhile).
constexpr auto kAcceptRetryPause = std::chrono::milliseconds(50);

// How late a timed wait may end when replies are delayed: 1 us, against the default 50 us.
constexpr unsigned long kTimerSlackNanos = 1000;

bool wouldBlock(int err) {
  return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

// The connection failed before it was accepted; the next one may be fine.
bool connectionGone(int err) {
  return err == ECONNABORTED || err == EINTR || err == EPROTO || err == ENETDOWN ||
         err == ENOPROTOOPT || err == EHOSTDOWN || err == ENONET || err == EHOSTUNREACH ||
         err == EOPNOTSUPP || err == ENETUNREACH;
}

// Tells a client beyond the limit that the device is busy, and closes it.
void refuseBusy(net::UniqueFd fd) {
  std::string line;
  Device::refuse(replies::kBusy, line);
  // A fresh socket's send buffer takes one line at once; should it not, the close says enough.
  [[maybe_unused]] const ssize_t sent =
      ::send(fd.get(), line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  ::shutdown(fd.get(), SHUT_WR);
  // Closing a socket with unread bytes resets the connection, which may destroy the line before
  // the client reads it: drop what the client has sent already (a command, typically).
  char sink[1024];
  for (int i = 0; i < 4 && ::recv(fd.get(), sink, sizeof sink, MSG_DONTWAIT) > 0; ++i) {
  }
}

timespec timeoutUntil(Clock::time_point wake, Clock::time_point now) {
  const auto left = std::max(Clock::duration::zero(), wake - now);
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(seconds.count());
  ts.tv_nsec = static_cast<long>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds).count());
  return ts;
}

}  // namespace

struct Server::Served {
  Served(Listener l, Device& d, LinkFaults f, std::function<void()> after)
      : listener(std::move(l)), device(d), faults(f), after_client(std::move(after)) {}

  Listener listener;
  Device& device;
  LinkFaults faults;
  std::function<void()> after_client;
  unsigned clients = 0;
  Clock::time_point resting_until{};  // accepting is paused until then
};

struct Server::Client {
  Client(net::UniqueFd socket, Served& device, std::chrono::microseconds latency,
         Clock::time_point now)
      : fd(std::move(socket)),
        served(device),
        session(device.device, device.faults),
        output(latency),
        last_active(now) {}

  // Reading more only makes sense while the replies so far are being taken.
  bool wantsInput() const {
    return !closing && !input_ended && !session.wantsClose() &&
           output.footprint() < kMaxPendingOutput;
  }
  // Everything this client will ever get has been sent.
  bool finished() const { return output.empty() && (session.wantsClose() || input_ended); }

  net::UniqueFd fd;
  Served& served;
  Session session;
  net::ByteBuffer input;  // received, not yet handled: at most one command's bytes, or capped
  ReplyQueue output;
  Clock::time_point last_active;  // the last byte received or sent
  bool input_ended = false;       // the client has shut down its sending side
  bool closing = false;           // to be closed without further ado
};

Server::Server(const ServerOptions& options) : options_(options) {}

Server::~Server() = default;

void Server::addDevice(Listener listener, Device& device, LinkFaults faults,
                       std::function<void()> after_client) {
  devices_.push_back(
      std::make_unique<Served>(std::move(listener), device, faults, std::move(after_client)));
}

void Server::run(int stop_fd) {
  // The kernel may otherwise let a timed wait run up to 50 us late, a good part of a reply delay
  // of a few hundred microseconds. Only this thread's timers are affected.
  if (options_.latency.count() > 0) ::prctl(PR_SET_TIMERSLACK, kTimerSlackNanos, 0, 0, 0);
  std::vector<pollfd> fds;
  for (;;) {
    Clock::time_point now = Clock::now();
    handleTimers(now);
    closeFinished();

    // The poll set, rebuilt each turn (a few dozen entries): the stop descriptor, every
    // listener, then every client in the order of clients_.
    std::optional<Clock::time_point> wake;
    const auto wakeAt = [&wake](Clock::time_point t) {
      if (!wake || t < *wake) wake = t;
    };
    fds.clear();
    fds.push_back({stop_fd, POLLIN, 0});
    for (const auto& served : devices_) {
      const bool resting = served->resting_until > now;
      if (resting) wakeAt(served->resting_until);
      fds.push_back({served->listener.fd(), static_cast<short>(resting ? 0 : POLLIN), 0});
    }
    for (const auto& client : clients_) {
      short events = 0;
      if (client->wantsInput()) events |= POLLIN;
      if (!client->output.ready().empty()) events |= POLLOUT;
      fds.push_back({client->fd.get(), events, 0});
      if (const auto due = client->output.nextDue()) {
        wakeAt(*due);
      } else if (options_.idle_timeout.count() > 0) {
        wakeAt(client->last_active + options_.idle_timeout);
      }
    }

    // ppoll() rather than poll(): a reply delay may be well under poll()'s millisecond.
    timespec timeout{};
    if (wake) timeout = timeoutUntil(*wake, now);
    const int n = ::ppoll(fds.data(), fds.size(), wake ? &timeout : nullptr, nullptr);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw ConnectionError("poll() failed: " + net::errnoText(errno));
    }
    if (fds[0].revents != 0) {
      closeAll();
      return;
    }
    if (n == 0) continue;

    now = Clock::now();
    // Clients first, and the finished ones closed: one that left frees its place before a
    // newcomer is counted against max_clients. New clients go to the end of clients_, past the
    // entries polled.
    const std::size_t first_client = 1 + devices_.size();
    const std::size_t polled = fds.size() - first_client;
    for (std::size_t i = 0; i < polled; ++i) {
      const short revents = fds[first_client + i].revents;
      if (revents != 0) serviceClient(*clients_[i], revents, now);
    }
    closeFinished();
    for (std::size_t d = 0; d < devices_.size(); ++d) {
      if (fds[1 + d].revents != 0) acceptClients(*devices_[d], now);
    }
  }
}

void Server::acceptClients(Served& served, Clock::time_point now) {
  for (int i = 0; i < kAcceptBatch; ++i) {
    net::UniqueFd fd(
        ::accept4(served.listener.fd(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!fd) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      if (connectionGone(errno)) continue;
      served.resting_until = now + kAcceptRetryPause;
      return;
    }
    if (options_.max_clients != 0 && served.clients >= options_.max_clients) {
      refuseBusy(std::move(fd));
      continue;
    }
    net::setNoDelay(fd.get());
    clients_.push_back(std::make_unique<Client>(std::move(fd), served, options_.latency, now));
    ++served.clients;
  }
}

void Server::serviceClient(Client& client, short revents, Clock::time_point now) {
  // An error or a hang-up in both directions: nothing sent to it could arrive any more.
  if ((revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
    client.closing = true;
    return;
  }
  if ((revents & POLLIN) != 0) {
    const ssize_t n = client.input.recvFrom(client.fd.get());
    if (n > 0) {
      client.last_active = now;
    } else if (n == 0) {
      // Half-closed, perhaps: its replies still go out before the connection is closed.
      client.input_ended = true;
    } else if (!wouldBlock(errno)) {
      client.closing = true;
      return;
    }
  }
  pump(client, now);
}

// Handles what has arrived and sends what is ready, again while sending makes room under the cap
// for commands that were left waiting for it. Afterwards either the output is at the cap or the
// input holds no complete command, which is what Client::finished() relies on.
void Server::pump(Client& client, Clock::time_point now) {
  for (;;) {
    const bool capped = feed(client, now);
    send(client, now);
    if (client.closing || !capped || client.output.footprint() >= kMaxPendingOutput) return;
  }
}

// Returns true when it stopped for the cap with bytes left to handle.
bool Server::feed(Client& client, Clock::time_point now) {
  if (client.input.empty() || client.session.wantsClose()) return false;
  const std::size_t held = client.output.footprint();
  if (held >= kMaxPendingOutput) return true;
  std::string& out = client.output.buffer();
  const std::size_t used =
      client.session.feed(client.input.view(), out, out.size() + (kMaxPendingOutput - held));
  client.input.consume(used);
  client.output.seal(now);
  return !client.input.empty() && client.output.footprint() >= kMaxPendingOutput;
}

// One send() of everything ready; what the socket does not take waits for POLLOUT.
void Server::send(Client& client, Clock::time_point now) {
  const std::string_view ready = client.output.ready();
  if (ready.empty()) return;
  const ssize_t n = ::send(client.fd.get(), ready.data(), ready.size(), MSG_NOSIGNAL);
  if (n > 0) {
    client.output.consume(static_cast<std::size_t>(n));
    client.last_active = now;
  } else if (n < 0 && !wouldBlock(errno)) {
    client.closing = true;
  }
}

void Server::handleTimers(Clock::time_point now) {
  for (const auto& entry : clients_) {
    Client& client = *entry;
    if (client.closing) continue;
    if (const auto due = client.output.nextDue()) {
      // Held replies are the server's wait, not the client's idleness.
      if (*due <= now) {
        client.output.release(now);
        client.last_active = now;
        pump(client, now);
      }
    } else if (options_.idle_timeout.count() > 0 &&
               now - client.last_active >= options_.idle_timeout) {
      client.closing = true;
    }
  }
}

void Server::closeFinished() {
  for (std::size_t i = 0; i < clients_.size();) {
    if (!clients_[i]->closing && !clients_[i]->finished()) {
      ++i;
      continue;
    }
    std::unique_ptr<Client> gone = std::move(clients_[i]);
    clients_[i] = std::move(clients_.back());
    clients_.pop_back();
    Served& served = gone->served;
    gone.reset();  // closes the connection before the hook runs
    --served.clients;
    if (served.after_client) served.after_client();
  }
}

void Server::closeAll() {
  for (auto& client : clients_) client->closing = true;
  closeFinished();
}

}  // namespace kestrix::sim
