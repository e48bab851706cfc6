#include "kestrix/contracts/host.hpp"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>

#include "kestrix/contracts/cancel.hpp"
#include "kestrix/contracts/version.hpp"

namespace kestrix {

bool ProcessHost::versionLess(std::string_view a, std::string_view b) {
  return Version(a) < Version(b);
}

std::string ProcessHost::versionText(std::string_view text) {
  return Version(text).str();
}

bool ProcessHost::isCancellation(const std::exception& error) {
  return dynamic_cast<const CancelledError*>(&error) != nullptr;
}

std::string_view levelName(LogLevel level) {
  switch (level) {
    case LogLevel::DEBUG:
      return "DEBUG";
    case LogLevel::INFO:
      return "INFO";
    case LogLevel::WARNING:
      return "WARNING";
    case LogLevel::ERROR:
      return "ERROR";
  }
  return "?";
}

void ProcessHost::log(LogLevel level, std::string_view message) {
  if (!logEnabled(level)) return;
  // Same shape as the Python side's records: "2026-12-07 23:00:45,123 - FPGA [INFO] message".
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  const std::string_view name = levelName(level);
  std::fprintf(stdout, "%s,%03d - FPGA [%.*s] %.*s\n", stamp, static_cast<int>(millis),
               static_cast<int>(name.size()), name.data(), static_cast<int>(message.size()),
               message.data());
  std::fflush(stdout);
}

void ProcessHost::writeStdout(std::string_view text, bool flush) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  if (flush) std::fflush(stdout);
}

bool ProcessHost::stdoutIsTerminal() {
  return ::isatty(STDOUT_FILENO) == 1;
}

double ProcessHost::monotonicClock() {
  using Seconds = std::chrono::duration<double>;
  return std::chrono::duration_cast<Seconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

double ProcessHost::wallClock() {
  using Seconds = std::chrono::duration<double>;
  return std::chrono::duration_cast<Seconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void ProcessHost::sleepSeconds(int seconds) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  for (auto now = std::chrono::steady_clock::now(); now < until;
       now = std::chrono::steady_clock::now()) {
    checkCancellation();
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(until - now, kCancelCheckInterval));
  }
  checkCancellation();
}

std::shared_ptr<Host> defaultHost() {
  static const std::shared_ptr<Host> host = std::make_shared<ProcessHost>();
  return host;
}

}  // namespace kestrix
