#include "kestrix/sim/stop_signals.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <stdexcept>

namespace kestrix::sim {
namespace {

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
  ::signal(SIGPIPE, SIG_IGN);
}

StopSignals::~StopSignals() {
  ::signal(SIGINT, SIG_DFL);
  ::signal(SIGTERM, SIG_DFL);
  g_stop_write_fd.store(-1);
}

}  // namespace kestrix::sim
