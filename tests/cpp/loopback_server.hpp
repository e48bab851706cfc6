// A scripted loopback server for connection tests: it runs in a thread of the test and serves
// the clients that connect, one after another, with a script of blocking reads and writes.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "kestrix/net/socket.hpp"

namespace kestrix::testing {

using net::UniqueFd;

inline constexpr int kIoMillis =
    5000;  // a scripted server never waits longer than this for its peer

// Blocking helpers for the server side; each gives up (returns false / short) when the client
// goes away or goes silent, so a failing test never hangs the suite.
inline bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Reads up to and including the next LF; "" when the client closed or stayed silent.
inline std::string readLine(int fd) {
  std::string line;
  char c = 0;
  while (c != '\n') {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, kIoMillis) <= 0 || ::recv(fd, &c, 1, 0) != 1) return {};
    line += c;
  }
  return line;
}

// Waits until the client closes its end (or kIoMillis pass); true when it did close.
inline bool waitForClose(int fd) {
  char c;
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, kIoMillis) <= 0) return false;
    const ssize_t n = ::recv(fd, &c, 1, 0);
    if (n <= 0) return true;
  }
}

// Accepts `clients` connections one after another on a loopback port and runs `script` on each.
class LoopbackServer {
 public:
  using Script = std::function<void(int client)>;

  explicit LoopbackServer(Script script, int clients = 1) : script_(std::move(script)) {
    listen_.reset(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(listen_.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::listen(listen_.get(), 4) != 0 ||
        ::getsockname(listen_.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      throw std::runtime_error("loopback server cannot listen");
    }
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this, clients] {
      for (int i = 0; i < clients; ++i) {
        pollfd p{listen_.get(), POLLIN, 0};
        if (::poll(&p, 1, kIoMillis) <= 0) return;
        UniqueFd client(::accept(listen_.get(), nullptr, nullptr));
        if (!client) return;
        ++accepted_;
        script_(client.get());
      }
    });
  }
  ~LoopbackServer() { thread_.join(); }

  int port() const { return port_; }
  int accepted() const { return accepted_; }

 private:
  Script script_;
  UniqueFd listen_;
  int port_ = 0;
  std::atomic<int> accepted_{0};
  std::thread thread_;
};

// A script for a pipeline's test: `rounds` times, reads the four commands "A" to "D" and answers
// with `batch` cut in two after its first 1, 2, ... bytes, the second part a moment later.
inline LoopbackServer::Script splitEverywhere(std::string batch) {
  return [batch = std::move(batch)](int fd) {
    for (std::size_t split = 1; split < batch.size(); ++split) {
      std::string commands;
      for (int i = 0; i < 4; ++i) commands += readLine(fd);
      if (commands != "A\r\nB\r\nC\r\nD\r\n") return;
      writeAll(fd, batch.substr(0, split));
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      writeAll(fd, batch.substr(split));
    }
    waitForClose(fd);
  };
}

}  // namespace kestrix::testing
