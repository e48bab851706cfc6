#include "kestrix/sim/server.hpp"

#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "kestrix/contracts/errors.hpp"
#include "kestrix/sim/replies.hpp"
#include "server_state.hpp"

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
// Events taken from the kernel per wake-up. Readiness is level-triggered, so sockets beyond these
// are reported again on the next turn.
constexpr int kMaxEvents = 256;
// The latency's tick: this fraction of it, within these bounds. A reply 150 us away may then be
// up to 18 us late, about what the kernel's own wake-up adds on a virtual machine.
constexpr int kTickDivisor = 8;
constexpr std::chrono::microseconds kMinTick{1};
constexpr std::chrono::microseconds kMaxTick{1000};

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

std::chrono::microseconds latencyTick(std::chrono::microseconds latency) {
  if (latency.count() <= 0) return {};
  return std::clamp(latency / kTickDivisor, kMinTick, kMaxTick);
}

Server::Server(const ServerOptions& options)
    : options_(options), tick_(latencyTick(options.latency)) {}

Server::~Server() = default;

void Server::addDevice(Listener listener, Device& device, LinkFaults faults,
                       std::function<void()> after_client) {
  devices_.push_back(
      std::make_unique<Served>(std::move(listener), device, faults, std::move(after_client)));
}

bool Server::watch(int fd, std::uint32_t events, Watch* what) {
  epoll_event event{};
  event.events = events;
  event.data.ptr = what;
  return ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event) == 0;
}

bool Server::rewatch(int fd, std::uint32_t events, Watch* what) {
  epoll_event event{};
  event.events = events;
  event.data.ptr = what;
  return ::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, fd, &event) == 0;
}

void Server::run(int stop_fd) {
  // The kernel may otherwise let a timed wait run up to 50 us late, a good part of a reply delay
  // of a few hundred microseconds. Only this thread's timers are affected.
  if (options_.latency.count() > 0) ::prctl(PR_SET_TIMERSLACK, kTimerSlackNanos, 0, 0, 0);
  epoll_.reset(::epoll_create1(EPOLL_CLOEXEC));
  Watch stop(Watch::Kind::kStop);
  bool watching = epoll_ && watch(stop_fd, EPOLLIN, &stop);
  for (const auto& served : devices_) {
    watching = watching && watch(served->listener.fd(), EPOLLIN, served.get());
  }
  if (!watching) throw ConnectionError("epoll failed: " + net::errnoText(errno));

  epoll_event events[kMaxEvents];
  std::vector<Served*> accepting;
  for (;;) {
    Clock::time_point now = Clock::now();
    handleTimers(now);
    checkIdle(now);
    resumeListeners(now);
    closeFinished();

    // epoll_pwait2() rather than epoll_wait(): a reply delay may be well under a millisecond.
    const Clock::time_point wake = nextWake();
    const bool timed = wake != Clock::time_point::max();
    timespec timeout{};
    if (timed) timeout = timeoutUntil(wake, now);
    const int n =
        ::epoll_pwait2(epoll_.get(), events, kMaxEvents, timed ? &timeout : nullptr, nullptr);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw ConnectionError("epoll_pwait2() failed: " + net::errnoText(errno));
    }

    now = Clock::now();
    accepting.clear();
    for (int i = 0; i < n; ++i) {
      Watch* what = static_cast<Watch*>(events[i].data.ptr);
      if (what->kind == Watch::Kind::kStop) {
        closeAll();
        return;
      }
      if (what->kind == Watch::Kind::kListener) {
        accepting.push_back(static_cast<Served*>(what));
      } else {
        serviceClient(*static_cast<Client*>(what), events[i].events, now);
      }
    }
    // Clients first, and the finished ones closed: one that left frees its place before a
    // newcomer is counted against max_clients.
    closeFinished();
    for (Served* served : accepting) acceptClients(*served, now);
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
      if (rewatch(served.listener.fd(), 0, &served)) resting_.push_back(&served);
      return;
    }
    if (options_.max_clients != 0 && served.clients >= options_.max_clients) {
      refuseBusy(std::move(fd));
      continue;
    }
    net::setNoDelay(fd.get());
    auto client = std::make_unique<Client>(std::move(fd), served, options_.latency, tick_, now);
    // Without the kernel's reports the client could never be served: it is turned away.
    if (!watch(client->fd.get(), EPOLLIN, client.get())) continue;
    client->index = clients_.size();
    clients_.push_back(std::move(client));
    ++served.clients;
    if (options_.idle_timeout.count() > 0) {
      next_idle_check_ = std::min(next_idle_check_, now + options_.idle_timeout);
    }
  }
}

// Sends every client's replies that fell due by `now`, one send() per client.
void Server::handleTimers(Clock::time_point now) {
  while (!timers_.empty() && timers_.front().due <= now) {
    Client* client = timers_.front().client;
    timers_.pop_front();
    if (!client->due) {
      client->due = true;
      due_.push_back(client);
    }
  }
  for (Client* client : due_) {
    client->due = false;
    if (client->closing) continue;
    client->output.release(now);
    // Held replies are the server's wait, not the client's idleness.
    client->last_active = now;
    pump(*client, now);
    settle(*client);
  }
  due_.clear();
}

// Closes the clients idle for idle_timeout, looking only once the first of them can have been.
void Server::checkIdle(Clock::time_point now) {
  if (options_.idle_timeout.count() == 0 || now < next_idle_check_) return;
  next_idle_check_ = Clock::time_point::max();
  for (const auto& entry : clients_) {
    Client& client = *entry;
    if (client.closing) continue;
    Clock::time_point deadline = client.last_active + options_.idle_timeout;
    if (client.output.holding()) {
      // Its held replies count as activity once they go out, later than now.
      deadline = now + options_.idle_timeout;
    } else if (deadline <= now) {
      client.closing = true;
      settle(client);
      continue;
    }
    next_idle_check_ = std::min(next_idle_check_, deadline);
  }
}

void Server::resumeListeners(Clock::time_point now) {
  for (std::size_t i = 0; i < resting_.size();) {
    Served* served = resting_[i];
    if (served->resting_until > now) {
      ++i;
      continue;
    }
    // Should the kernel refuse, the listener stays paused and is tried again after a pause.
    if (!rewatch(served->listener.fd(), EPOLLIN, served)) {
      served->resting_until = now + kAcceptRetryPause;
      ++i;
      continue;
    }
    resting_[i] = resting_.back();
    resting_.pop_back();
  }
}

Server::Clock::time_point Server::nextWake() const {
  Clock::time_point wake = next_idle_check_;
  if (!timers_.empty()) wake = std::min(wake, timers_.front().due);
  for (const Served* served : resting_) wake = std::min(wake, served->resting_until);
  return wake;
}

void Server::closeFinished() {
  if (settling_.empty()) return;
  // A hook that throws ends run(): the notes are taken off first.
  std::vector<Client*> settling;
  settling.swap(settling_);
  for (Client* client : settling) {
    client->settling = false;
    if (!client->closing && !client->finished()) continue;
    // Its held replies will never be sent.
    timers_.erase(std::remove_if(timers_.begin(), timers_.end(),
                                 [client](const Timer& t) { return t.client == client; }),
                  timers_.end());
    const std::size_t at = client->index;
    std::unique_ptr<Client> gone = std::move(clients_[at]);
    if (at + 1 != clients_.size()) {
      clients_[at] = std::move(clients_.back());
      clients_[at]->index = at;
    }
    clients_.pop_back();
    Served& served = gone->served;
    gone.reset();  // closes the connection (and so stops its reports) before the hook runs
    --served.clients;
    if (served.after_client) served.after_client();
  }
  settling.clear();
  if (settling_.empty()) settling_.swap(settling);  // keeps the capacity
}

void Server::closeAll() {
  for (auto& client : clients_) {
    client->closing = true;
    settle(*client);
  }
  closeFinished();
}

}  // namespace kestrix::sim
