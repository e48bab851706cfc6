// The simulator's TCP server: one or more devices, each on its own listening socket, each serving
// any number of clients at once, one Session per client on that device's one Device.
//
// One thread runs one epoll loop over every listener and every client of every device. Nothing
// else touches the devices, so each command is carried out whole before the next one starts,
// whichever client sent it: commands are atomic by construction, with no lock. Link faults
// (closing, stalling, garbage) belong to each client's session; device faults belong to the
// device and so to all of its clients. A client that leaves in the middle of a command takes the
// half-received command with it; the others never see it.
//
// No client can hold up another:
//   - bytes are read only while the client's unsent replies stay under kMaxPendingOutput; a
//     client that does not take its replies stops being read until it does, and what it has sent
//     is kept only as far as one command may reach (the parser's bounds), so no client grows the
//     server's memory without bound;
//   - a client that neither sends a byte nor takes one for `idle_timeout` is closed (replies
//     still held back by the latency do not count as idle time);
//   - a device with `max_clients` clients answers one more with the single line
//     "ERR busy: another client is connected" and closes it at once.
//
// What a wake-up costs does not grow with the clients served: the kernel reports the sockets that
// are ready, the held replies wait in one queue in due order, and idle clients are looked for
// only when the first of them can have run out of time. Every command that one recv() brings in
// (a client's whole window, say) is answered in one pass, and each client gets at most one send()
// per wake-up. With a latency each reply is sent `latency` after its command was complete,
// independently of the replies before it (see ReplyQueue), never early and at most
// latencyTick(latency) late: the replies of all clients due within one tick go out in one
// wake-up. With none, an exchange costs one wake-up, one recv() and one send().
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kestrix/contracts/connection.hpp"
#include "kestrix/net/socket.hpp"
#include "kestrix/sim/device.hpp"
#include "kestrix/sim/listener.hpp"
#include "kestrix/sim/session.hpp"

namespace kestrix::sim {

// Unsent replies (ready or held back) past which a client is no longer read.
inline constexpr std::size_t kMaxPendingOutput = std::size_t{1} << 20;

// How late a delayed reply may be sent, so that the replies due within it share one wake-up:
// an eighth of the latency, from 1 us to 1 ms.
std::chrono::microseconds latencyTick(std::chrono::microseconds latency);

struct ServerOptions {
  std::string host = "127.0.0.1";
  int port = kDefaultPort;                // of the first device; 0 picks a free port for each
  unsigned max_clients = 0;               // clients served at once per device; 0 for no limit
  std::chrono::seconds idle_timeout{60};  // 0 for none
  std::chrono::microseconds latency{0};   // added to every reply
};

class Server {
 public:
  // Takes the limits of `options`; the address is the listeners' business.
  explicit Server(const ServerOptions& options);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Serves `device` on `listener`, committing `faults` on each of its clients' links.
  // `after_client` runs after each of its clients has been closed (and may throw, which ends
  // run()). `device` must outlive the server.
  void addDevice(Listener listener, Device& device, LinkFaults faults,
                 std::function<void()> after_client = {});

  // Serves every device until `stop_fd` becomes readable, then closes every client (running
  // their after_client) and returns.
  void run(int stop_fd);

 private:
  using Clock = std::chrono::steady_clock;
  struct Watch;
  struct Served;
  struct Client;
  // A client's held replies fall due at `due`.
  struct Timer {
    Clock::time_point due;
    Client* client;
  };

  bool watch(int fd, std::uint32_t events, Watch* what);
  bool rewatch(int fd, std::uint32_t events, Watch* what);
  void acceptClients(Served& served, Clock::time_point now);
  void serviceClient(Client& client, std::uint32_t events, Clock::time_point now);
  void pump(Client& client, Clock::time_point now);
  bool feed(Client& client, Clock::time_point now);
  void send(Client& client, Clock::time_point now);
  void settle(Client& client);
  void handleTimers(Clock::time_point now);
  void checkIdle(Clock::time_point now);
  void resumeListeners(Clock::time_point now);
  Clock::time_point nextWake() const;
  void closeFinished();
  void closeAll();

  ServerOptions options_;
  std::chrono::microseconds tick_;
  net::UniqueFd epoll_;
  std::vector<std::unique_ptr<Served>> devices_;
  std::vector<std::unique_ptr<Client>> clients_;
  // Every client's held replies, in due order: replies are sealed at the loop's current time,
  // which never goes back, with the same latency, so appending keeps the order.
  std::deque<Timer> timers_;
  std::vector<Client*> due_;       // clients whose replies fell due in this wake-up
  std::vector<Client*> settling_;  // clients that may have finished, to be looked at
  std::vector<Served*> resting_;   // listeners not accepting for a while
  Clock::time_point next_idle_check_ = Clock::time_point::max();
};

}  // namespace kestrix::sim
