// The services the core takes from the process that runs it: logging, standard output, clocks,
// sleeping and the package's version ordering. The product routes them to the real thing (or to
// Python); tests route them to fakes, so nothing in a test sleeps or prints for real.
#pragma once

#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace kestrix {

enum class LogLevel { DEBUG = 10, INFO = 20, WARNING = 30, ERROR = 40 };

// Where messages go: the module's logger ("FPGA").
class Log {
 public:
  virtual ~Log() = default;
  virtual void log(LogLevel level, std::string_view message) = 0;
  // Lets callers skip building messages nobody will see.
  virtual bool logEnabled(LogLevel level) = 0;
};

// Standard output, where the update API's progress display goes.
class Console {
 public:
  virtual ~Console() = default;
  // Writes text; `flush` pushes it out at once (progress displays).
  virtual void writeStdout(std::string_view text, bool flush) = 0;
  // Whether standard output is a terminal (where a display that overwrites itself is written as
  // it comes); asked once per update.
  virtual bool stdoutIsTerminal() = 0;
};

// Clocks (seconds, as floating point) and sleeping.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual double monotonicClock() = 0;
  virtual double wallClock() = 0;
  virtual void sleepSeconds(int seconds) = 0;
};

// Stopping on the host's request, and the host's words for a failure.
class Interruption {
 public:
  virtual ~Interruption() = default;
  // Throws when the host process asks the running operation to stop (an interrupt); the core
  // runs it in every wait and every few milliseconds of work.
  virtual void checkCancelled() = 0;
  // Whether `error` is such a stop (a CancelledError, or the host's own kind of interrupt).
  virtual bool isCancellation(const std::exception& error) = 0;
  // The text of a failure, as the host shows it to users.
  virtual std::string errorText(const std::exception& error) = 0;
};

// The package's version ordering.
class VersionOrder {
 public:
  virtual ~VersionOrder() = default;
  // Is version text `a` lower than `b`? Throws for a text that is not a version.
  virtual bool versionLess(std::string_view a, std::string_view b) = 0;
  // The text form of a version value made from `text`.
  virtual std::string versionText(std::string_view text) = 0;
};

// Everything the core takes from the process that runs it. Every method is pure, so a host that
// passes calls on to another passes each one on or does not compile; HostWithLog is the one such
// host, with a log of its own.
class Host : public Log, public Console, public Clock, public Interruption, public VersionOrder {};

// The host of a plain C++ program: logs to standard output in the format
// "<time> - FPGA [LEVEL] message" at INFO and above, real clocks, real sleep.
// Versions are the core's Version; an interrupt is a CancelledError (nothing else asks to stop).
class ProcessHost : public Host {
 public:
  explicit ProcessHost(LogLevel threshold = LogLevel::INFO) : threshold_(threshold) {}

  void log(LogLevel level, std::string_view message) override;
  bool logEnabled(LogLevel level) override { return level >= threshold_; }
  void writeStdout(std::string_view text, bool flush) override;
  bool stdoutIsTerminal() override;
  double monotonicClock() override;
  double wallClock() override;
  // Sleeps in slices, running the thread's cancellation check between them.
  void sleepSeconds(int seconds) override;
  void checkCancelled() override {}
  bool isCancellation(const std::exception& error) override;
  std::string errorText(const std::exception& error) override { return error.what(); }
  bool versionLess(std::string_view a, std::string_view b) override;
  std::string versionText(std::string_view text) override;

 private:
  LogLevel threshold_;
};

// `base` with `log` in place of its log: the host of an operation whose messages someone else
// reads first (a job that keeps the first error of a check).
class HostWithLog final : public Host {
 public:
  HostWithLog(std::shared_ptr<Host> base, Log& log) : base_(std::move(base)), log_(log) {}

  void log(LogLevel level, std::string_view message) override { log_.log(level, message); }
  bool logEnabled(LogLevel level) override { return log_.logEnabled(level); }
  void writeStdout(std::string_view text, bool flush) override { base_->writeStdout(text, flush); }
  bool stdoutIsTerminal() override { return base_->stdoutIsTerminal(); }
  double monotonicClock() override { return base_->monotonicClock(); }
  double wallClock() override { return base_->wallClock(); }
  void sleepSeconds(int seconds) override { base_->sleepSeconds(seconds); }
  void checkCancelled() override { base_->checkCancelled(); }
  bool isCancellation(const std::exception& e) override { return base_->isCancellation(e); }
  std::string errorText(const std::exception& e) override { return base_->errorText(e); }
  bool versionLess(std::string_view a, std::string_view b) override {
    return base_->versionLess(a, b);
  }
  std::string versionText(std::string_view text) override { return base_->versionText(text); }

 private:
  std::shared_ptr<Host> base_;
  Log& log_;
};

std::string_view levelName(LogLevel level);

// One process-wide default host for C++ callers that do not bring their own.
std::shared_ptr<Host> defaultHost();

}  // namespace kestrix
