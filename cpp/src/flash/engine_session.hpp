// One run of the engine over one image (internal to the engine): the phases as they pass, the
// cancellation poll, the progress display and report, and the transfer window, shared by
// programming and verifying.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "kestrix/contracts/cancel.hpp"
#include "kestrix/flash/engine.hpp"
#include "kestrix/flash/progress_display.hpp"

namespace kestrix::flash::detail {

// The phases of a run as they pass: their times, the observer's events, and where the run stands
// for the message when it is interrupted.
class Phases {
 public:
  explicit Phases(EngineRun* run) : run_(run) {}

  void begin(Phase phase, std::uint64_t total);
  void progress(std::uint64_t done);
  void end();
  std::string interruptedMessage() const;

 private:
  using Clock = std::chrono::steady_clock;
  EngineRun* run_;
  Phase phase_ = Phase::kErase;
  std::uint64_t total_ = 0;
  std::uint64_t done_ = 0;
  Clock::time_point started_{};
  bool running_ = false;
};

class Session {
 public:
  Session(FpgaCommands& commands, const EngineSettings& settings, std::string_view data,
          EngineRun* run);

  Phases& phases() { return phases_; }
  EngineRun& run() { return *run_; }
  std::size_t window() const { return window_; }

  // Every block looks at the token (one atomic load); the host is asked every few milliseconds.
  void poll();
  // The caller's progress report, when it asks for reports.
  void report(std::string_view stage, std::uint64_t done, std::uint64_t total);

  // Writes the image one block at a time, each sent again until the controller takes it (within
  // the bounded retries). Every block acknowledged: the flash was written with exactly the image.
  void write();
  // Writes the image with up to window() blocks in flight, replies matched in order; progress is
  // reported per batch of replies. Returns false at the first refused block: whether a refused
  // block moved the page pointer is the device's business, so the replies still in flight are
  // drained, nothing more is sent, and the caller starts the write again one block at a time.
  bool writeWindowed(CommandChannel::Window& window);
  std::uint64_t refusedAt() const { return refused_at_; }
  // Reads the flash back from its first page, as many pages as the image has (with up to window()
  // reads in flight when the connection can), and returns the hex SHA-256 digest of exactly the
  // image's length of it ("" when the read-back came up short). Flash reads back whole pages: the
  // erased tail of a partial last page does not count, unless `erased_tail` asks for it and the
  // page after the image to read erased (else "" too).
  std::string readBack(bool erased_tail);

  // Logs where the run stood when `error` stopped it, if it is a cancellation.
  void stopped(const std::exception& error);

 private:
  // The windowed write and the read-back as streams a pipeline runs (possibly on another thread):
  // their replies are taken there, their progress reported and the cancellation polled here.
  class WriteStream;
  class ReadStream;
  class StreamProgress;

  // The wall clock for the display's block times; not asked when nothing is displayed.
  double clock();
  // Sends one block until the controller acknowledges it; returns the acknowledged attempt's
  // duration in seconds.
  double programBlock(std::string_view block, std::uint64_t offset);
  // `done` bytes of the phase `stage` are through, the last block in `seconds`: the run, the
  // display and the caller's report are told.
  void progressed(std::string_view stage, std::uint64_t done, double seconds);

  FpgaCommands& commands_;
  Host& host_;
  const EngineSettings& settings_;
  std::string_view data_;
  EngineRun* run_;
  Phases phases_;
  CancelToken token_;
  CancellationPoll host_poll_;
  ProgressDisplay display_;
  std::size_t window_;
  std::uint64_t refused_at_ = 0;
};

}  // namespace kestrix::flash::detail
