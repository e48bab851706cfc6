// The simulator's TCP server: one listening socket, clients served one at a time, each through
// its own Session on the one shared Device. A client that leaves in the middle of a command
// takes the half-received command with it; the next client starts clean.
#pragma once

#include <functional>
#include <string>

#include "kestrix/net/socket.hpp"
#include "kestrix/sim/device.hpp"
#include "kestrix/sim/session.hpp"

namespace kestrix::sim {

struct ServerOptions {
  std::string host = "127.0.0.1";
  int port = 5025;  // 0 picks a free port
};

class Server {
 public:
  // Binds and listens; throws ConnectionError when it cannot.
  Server(const ServerOptions& options, Device& device, LinkFaults faults);

  const std::string& host() const { return host_; }
  // The bound port (the one picked when 0 was asked for).
  int port() const { return port_; }

  // Serves clients until `stop_fd` becomes readable. `after_client` runs after each client.
  void run(int stop_fd, const std::function<void()>& after_client = {});

 private:
  // Returns true when the stop descriptor fired.
  bool serve(int client_fd, int stop_fd);

  std::string host_;
  int port_ = 0;
  Device& device_;
  LinkFaults faults_;
  net::UniqueFd listen_fd_;
};

// Turns SIGINT and SIGTERM into a readable descriptor for as long as it lives (one at a time).
class StopSignals {
 public:
  StopSignals();
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  int fd() const { return read_end_.get(); }

 private:
  net::UniqueFd read_end_;
  net::UniqueFd write_end_;
};

}  // namespace kestrix::sim
