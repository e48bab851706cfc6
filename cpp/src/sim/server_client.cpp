// One client of the server: reading what it sends, answering every complete command in one pass,
// sending what is ready in one send(), and what the kernel should report for it next.
#include <sys/epoll.h>
#include <sys/socket.h>

#include <cerrno>

#include "kestrix/sim/server.hpp"
#include "server_state.hpp"

namespace kestrix::sim {
namespace {

bool wouldBlock(int err) {
  return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

}  // namespace

void Server::serviceClient(Client& client, std::uint32_t events, Clock::time_point now) {
  // An error or a hang-up in both directions: nothing sent to it could arrive any more.
  if ((events & (EPOLLERR | EPOLLHUP)) != 0) {
    client.closing = true;
    settle(client);
    return;
  }
  if ((events & EPOLLIN) != 0) {
    const ssize_t n = client.input.recvFrom(client.fd.get());
    if (n > 0) {
      client.last_active = now;
    } else if (n == 0) {
      // Half-closed, perhaps: its replies still go out before the connection is closed.
      client.input_ended = true;
    } else if (!wouldBlock(errno)) {
      client.closing = true;
      settle(client);
      return;
    }
  }
  pump(client, now);
  settle(client);
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

// Every complete command received is answered in this one pass. Returns true when it stopped
// for the cap with bytes left to handle.
bool Server::feed(Client& client, Clock::time_point now) {
  if (client.input.empty() || client.session.wantsClose()) return false;
  const std::size_t held = client.output.footprint();
  if (held >= kMaxPendingOutput) return true;
  std::string& out = client.output.buffer();
  const std::size_t used =
      client.session.feed(client.input.view(), out, out.size() + (kMaxPendingOutput - held));
  client.input.consume(used);
  client.output.seal(now);
  const auto last = client.output.lastDue();
  if (last && *last != client.timer_due) {
    timers_.push_back(Timer{*last, &client});
    client.timer_due = *last;
  }
  return !client.input.empty() && client.output.footprint() >= kMaxPendingOutput;
}

// One send() of everything ready; what the socket does not take waits for EPOLLOUT.
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

// After a client was served: what the kernel should report for it from now on, or, once it is
// done, a note to close it.
void Server::settle(Client& client) {
  if (!client.closing && !client.finished()) {
    const std::uint32_t wanted = client.wantedEvents();
    if (wanted == client.watched) return;
    if (rewatch(client.fd.get(), wanted, &client)) {
      client.watched = wanted;
      return;
    }
    client.closing = true;
  }
  if (!client.settling) {
    client.settling = true;
    settling_.push_back(&client);
  }
}

}  // namespace kestrix::sim
