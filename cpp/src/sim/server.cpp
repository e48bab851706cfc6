#include "kestrix/sim/server.hpp"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <thread>

#include "kestrix/contracts/errors.hpp"
#include "kestrix/net/byte_buffer.hpp"

namespace kestrix::sim {
namespace {

struct AddrInfoDeleter {
  void operator()(addrinfo* info) const { ::freeaddrinfo(info); }
};

constexpr int kBacklog = 16;
constexpr auto kAcceptRetryPause = std::chrono::milliseconds(50);

enum class Ready { kSocket, kStop };

// Waits for `events` on `fd` or for the stop descriptor; the stop wins a tie.
Ready waitOrStop(int fd, short events, int stop_fd) {
  for (;;) {
    pollfd fds[2] = {{fd, events, 0}, {stop_fd, POLLIN, 0}};
    const int n = ::poll(fds, 2, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw ConnectionError("poll() failed: " + net::errnoText(errno));
    }
    if (fds[1].revents != 0) return Ready::kStop;
    if (fds[0].revents != 0) return Ready::kSocket;
  }
}

enum class SendResult { kSent, kClientGone, kStop };

SendResult sendAll(int fd, std::string_view bytes, int stop_fd) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n >= 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (waitOrStop(fd, POLLOUT, stop_fd) == Ready::kStop) return SendResult::kStop;
    } else if (errno != EINTR) {
      return SendResult::kClientGone;
    }
  }
  return SendResult::kSent;
}

// The write end of the pipe the signal handler writes to; -1 while no StopSignals lives.
std::atomic<int> g_stop_write_fd{-1};

extern "C" void onStopSignal(int) {
  const int saved = errno;
  const int fd = g_stop_write_fd.load();
  if (fd >= 0) {
    const char byte = 1;
    // A full pipe already says "stop"; nothing to do about a failed write.
    [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
  }
  errno = saved;
}

}  // namespace

Server::Server(const ServerOptions& options, Device& device, LinkFaults faults)
    : host_(options.host), device_(device), faults_(faults) {
  if (options.port < 0 || options.port > 65535) {
    throw ConnectionError("port " + std::to_string(options.port) + " is out of range");
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(host_.c_str(), std::to_string(options.port).c_str(), &hints, &found);
  if (rc != 0) throw ConnectionError("cannot resolve " + host_ + ": " + ::gai_strerror(rc));
  const std::unique_ptr<addrinfo, AddrInfoDeleter> list(found);

  std::string last_error = "no address";
  for (const addrinfo* ai = list.get(); ai != nullptr; ai = ai->ai_next) {
    net::UniqueFd fd(::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol));
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
    net::setNonBlocking(fd.get());
    listen_fd_ = std::move(fd);
    return;
  }
  throw ConnectionError("cannot listen on " + host_ + ":" + std::to_string(options.port) + ": " +
                        last_error);
}

void Server::run(int stop_fd, const std::function<void()>& after_client) {
  for (;;) {
    if (waitOrStop(listen_fd_.get(), POLLIN, stop_fd) == Ready::kStop) return;
    net::UniqueFd client(
        ::accept4(listen_fd_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!client) {
      // The client gave up already (nothing to do), or descriptors or memory ran short: pause
      // rather than spin on a listener that stays readable.
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ECONNABORTED && errno != EINTR) {
        std::this_thread::sleep_for(kAcceptRetryPause);
      }
      continue;
    }
    net::setNoDelay(client.get());
    const bool stop = serve(client.get(), stop_fd);
    client.reset();
    if (after_client) after_client();
    if (stop) return;
  }
}

bool Server::serve(int client_fd, int stop_fd) {
  Session session(device_, faults_);
  net::ByteBuffer input;
  std::string output;
  while (!session.wantsClose()) {
    if (waitOrStop(client_fd, POLLIN, stop_fd) == Ready::kStop) return true;
    const ssize_t n = input.recvFrom(client_fd);
    if (n == 0) return false;
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      return false;
    }
    input.consume(session.feed(input.view(), output));
    if (output.empty()) continue;
    const SendResult sent = sendAll(client_fd, output, stop_fd);
    output.clear();
    if (sent == SendResult::kStop) return true;
    if (sent == SendResult::kClientGone) return false;
  }
  return false;
}

StopSignals::StopSignals() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    throw std::runtime_error("cannot create the signal pipe: " + net::errnoText(errno));
  }
  read_end_.reset(fds[0]);
  write_end_.reset(fds[1]);
  g_stop_write_fd.store(write_end_.get());
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  // Writes to a vanished client are reported by send(); the process must not die of them.
  ::signal(SIGPIPE, SIG_IGN);
}

StopSignals::~StopSignals() {
  ::signal(SIGINT, SIG_DFL);
  ::signal(SIGTERM, SIG_DFL);
  g_stop_write_fd.store(-1);
}

}  // namespace kestrix::sim
