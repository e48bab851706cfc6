// One listening TCP socket of the simulator: bound, listening and non-blocking from the start, so
// that every device's address is known (and printed) before any of them serves.
#pragma once

#include <string>

#include "kestrix/net/socket.hpp"

namespace kestrix::sim {

class Listener {
 public:
  // Binds `host`:`port` (0 picks a free port) and listens; throws ConnectionError when it cannot.
  Listener(const std::string& host, int port);

  const std::string& host() const { return host_; }
  // The bound port (the one picked when 0 was asked for).
  int port() const { return port_; }
  int fd() const { return fd_.get(); }

 private:
  std::string host_;
  int port_ = 0;
  net::UniqueFd fd_;
};

}  // namespace kestrix::sim
