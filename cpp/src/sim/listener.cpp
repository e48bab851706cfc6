#include "kestrix/sim/listener.hpp"

#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>
#include <memory>

#include "kestrix/contracts/errors.hpp"

namespace kestrix::sim {
namespace {

// Connections the kernel completes before the event loop accepts them.
constexpr int kBacklog = 64;

}  // namespace

Listener::Listener(const std::string& host, int port) : host_(host) {
  if (port < 0 || port > 65535) {
    throw ConnectionError("port " + std::to_string(port) + " is out of range");
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(host_.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (rc != 0) throw ConnectionError("cannot resolve " + host_ + ": " + ::gai_strerror(rc));
  const net::AddrInfoPtr list(found);

  std::string last_error = "no address";
  for (const addrinfo* ai = list.get(); ai != nullptr; ai = ai->ai_next) {
    net::UniqueFd fd(
        ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol));
    if (!fd) {
      last_error = net::errnoText(errno);
      continue;
    }
    const int one = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd.get(), ai->ai_addr, ai->ai_addrlen) != 0 || ::listen(fd.get(), kBacklog) != 0) {
      last_error = net::errnoText(errno);
      continue;
    }
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&bound), &len) != 0) {
      last_error = net::errnoText(errno);
      continue;
    }
    char service[NI_MAXSERV];
    if (::getnameinfo(reinterpret_cast<sockaddr*>(&bound), len, nullptr, 0, service, sizeof service,
                      NI_NUMERICSERV) != 0) {
      last_error = "cannot read the bound port";
      continue;
    }
    port_ = std::stoi(service);
    fd_ = std::move(fd);
    return;
  }
  throw ConnectionError("cannot listen on " + host_ + ":" + std::to_string(port) + ": " +
                        last_error);
}

}  // namespace kestrix::sim
