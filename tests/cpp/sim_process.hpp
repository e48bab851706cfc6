// Runs the built simulator (KESTRIX_SIM_BINARY) as a child process for a test: started on a free
// port with the flags given, its port read from the first line it prints (or the ports of its
// devices from their lines, when it serves several), stopped with SIGTERM when the object goes
// (killed if it does not exit in time).
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#ifndef KESTRIX_SIM_BINARY
#error "KESTRIX_SIM_BINARY must name the simulator executable"
#endif

namespace kestrix::testing {

class SimProcess {
 public:
  static constexpr int kStartMillis = 10000;
  static constexpr int kStopMillis = 5000;

  explicit SimProcess(std::vector<std::string> flags = {}) : SimProcess(1, std::move(flags)) {}
  // Serves `devices` devices (--count), each on a free port unless `flags` name a --port.
  SimProcess(int devices, std::vector<std::string> flags) {
    std::vector<std::string> args = {KESTRIX_SIM_BINARY, "--port", "0"};
    if (devices != 1) args.insert(args.end(), {"--count", std::to_string(devices)});
    args.insert(args.end(), flags.begin(), flags.end());
    start(args, devices);
  }
  ~SimProcess() { stop(); }
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  const std::string& host() const { return host_; }
  int port() const { return ports_.front(); }
  // Every device's port, in device order.
  const std::vector<int>& ports() const { return ports_; }
  pid_t pid() const { return pid_; }
  bool running() const { return pid_ > 0; }

  // Sends `sig` and waits for the exit; returns the exit code (128 + signal when killed by one),
  // or -1 when it had already been reaped.
  int stop(int sig = SIGTERM) {
    if (pid_ <= 0) return -1;
    ::kill(pid_, sig);
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStopMillis);
    pid_t done = 0;
    while ((done = ::waitpid(pid_, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (done == 0) {
      ADD_FAILURE() << "kestrix-sim did not stop within " << kStopMillis << " ms; killing it";
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    if (out_fd_ >= 0) ::close(out_fd_);
    out_fd_ = -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
  }

 private:
  void start(const std::vector<std::string>& args, int devices) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      // Child: only async-signal-safe calls from here on.
      ::dup2(fds[1], STDOUT_FILENO);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(fds[1]);
    out_fd_ = fds[0];
    for (int i = 0; i < devices; ++i) {
      const std::string banner = readLine();
      const std::string prefix = "kestrix-sim listening on ";
      if (banner.rfind(prefix, 0) != 0) {
        stop();
        throw std::runtime_error("kestrix-sim did not start: '" + banner + "'");
      }
      const std::string where = banner.substr(prefix.size());
      const auto colon = where.rfind(':');
      host_ = where.substr(0, colon);
      ports_.push_back(std::stoi(where.substr(colon + 1)));
    }
  }

  std::string readLine() {
    std::string line;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartMillis);
    while (line.empty() || line.back() != '\n') {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) break;
      pollfd p{out_fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char c;
      if (::read(out_fd_, &c, 1) != 1) break;
      line += c;
    }
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return line;
  }

  pid_t pid_ = -1;
  int out_fd_ = -1;
  std::string host_;
  std::vector<int> ports_;
};

}  // namespace kestrix::testing
