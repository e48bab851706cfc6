// A bare TCP client for the simulator tests, for the clients that misbehave in ways the package's
// connection never would: staying silent, never reading, sending half a command, half-closing.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kestrix::testing {

class RawClient {
 public:
  using Clock = std::chrono::steady_clock;

  RawClient(const std::string& host, int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw std::runtime_error("socket() failed");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1 ||
        ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      ::close(fd_);
      throw std::runtime_error("cannot connect to " + host + ":" + std::to_string(port));
    }
  }
  ~RawClient() {
    if (fd_ >= 0) ::close(fd_);
  }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  int fd() const { return fd_; }

  void send(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) throw std::runtime_error("send() failed");
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
  }

  // Sends `bytes` over and over for as long as the socket takes them at once, at most `max`
  // bytes in all; returns how many were taken.
  std::size_t sendWhileTaken(std::string_view bytes, std::size_t max) {
    std::size_t total = 0;
    while (total < max) {
      const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n <= 0) {
        if (n < 0 && errno == EINTR) continue;
        // The socket may free room a moment later; give it one short chance.
        pollfd p{fd_, POLLOUT, 0};
        if (::poll(&p, 1, 100) <= 0) break;
        continue;
      }
      total += static_cast<std::size_t>(n);
    }
    return total;
  }

  void shutdownWrite() { ::shutdown(fd_, SHUT_WR); }

  // Reads until `lines` line ends have come, the peer closes or `seconds` pass; returns what came.
  std::string readLines(int lines, double seconds) {
    std::string got;
    const auto deadline = Clock::now() + toDuration(seconds);
    while (std::count(got.begin(), got.end(), '\n') < lines) {
      if (!readSome(got, deadline)) break;
    }
    return got;
  }

  // Reads until the peer closes (end of stream or reset) or `seconds` pass; true when it closed.
  bool readUntilClosed(double seconds, std::string* got = nullptr) {
    std::string sink;
    std::string& into = got != nullptr ? *got : sink;
    const auto deadline = Clock::now() + toDuration(seconds);
    for (;;) {
      if (!readSome(into, deadline)) return closed_;
      if (got == nullptr) sink.clear();
    }
  }

 private:
  static Clock::duration toDuration(double seconds) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  }

  // One read; false once the peer closed or the deadline passed.
  bool readSome(std::string& into, Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) return true;  // re-checks the deadline
    char buf[65536];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n > 0) {
      into.append(buf, static_cast<std::size_t>(n));
      return true;
    }
    if (n < 0 && errno == EINTR) return true;
    closed_ = true;
    return false;
  }

  int fd_ = -1;
  bool closed_ = false;
};

}  // namespace kestrix::testing
