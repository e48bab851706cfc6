// The services the core takes from the process that runs it: logging, standard output, clocks,
// sleeping and the package's version ordering. The product routes them to the real thing (or to
// Python); tests route them to fakes, so nothing in a test sleeps or prints for real.
#pragma once

#include <exception>
#include <memory>
#include <string>
#include <string_view>

namespace kestrix {

enum class LogLevel { DEBUG = 10, INFO = 20, WARNING = 30, ERROR = 40 };

class Host {
 public:
  virtual ~Host() = default;

  // Writes one message to the module's logger ("FPGA").
  virtual void log(LogLevel level, std::string_view message) = 0;
  // Lets callers skip building messages nobody will see.
  virtual bool logEnabled(LogLevel level) { return level >= LogLevel::INFO; }

  // Writes text to standard output; `flush` pushes it out at once (progress displays).
  virtual void writeStdout(std::string_view text, bool flush) = 0;
  // Whether standard output is a terminal (where a display that overwrites itself is written as
  // it comes); asked once per update.
  virtual bool stdoutIsTerminal() { return false; }

  // Seconds, as floating point.
  virtual double monotonicClock() = 0;
  virtual double wallClock() = 0;
  virtual void sleepSeconds(int seconds) = 0;

  // The package's version ordering: is version text `a` lower than `b`? Throws for a text that is
  // not a version.
  virtual bool versionLess(std::string_view a, std::string_view b);
  // The text form of a version value made from `text`.
  virtual std::string versionText(std::string_view text);

  // The text of a failure, as the host shows it to users.
  virtual std::string errorText(const std::exception& error) { return error.what(); }

  // Throws when the host process asks the running operation to stop (an interrupt); the core runs
  // it in every wait and every few milliseconds of work. Does nothing by default.
  virtual void checkCancelled() {}
  // Whether `error` is such a stop (a CancelledError, or the host's own kind of interrupt).
  virtual bool isCancellation(const std::exception& error);
};

// The host of a plain C++ program: logs to standard output in the format
// "<time> - FPGA [LEVEL] message" at INFO and above, real clocks, real sleep.
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

 private:
  LogLevel threshold_;
};

std::string_view levelName(LogLevel level);

// One process-wide default host for C++ callers that do not bring their own.
std::shared_ptr<Host> defaultHost();

}  // namespace kestrix
