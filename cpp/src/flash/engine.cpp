// The programming engine: erase, write in 16-byte blocks, read back, compare digests, finish.
#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "kestrix/contracts/cancel.hpp"
#include "kestrix/contracts/errors.hpp"
#include "kestrix/crypto/sha256.hpp"
#include "kestrix/flash/fpga_tool.hpp"
#include "kestrix/flash/image.hpp"
#include "kestrix/wire/protocol.hpp"

namespace kestrix::flash {

std::string_view phaseName(Phase phase) {
  switch (phase) {
    case Phase::kErase:
      return "erase";
    case Phase::kWrite:
      return "write";
    case Phase::kVerify:
      return "verify";
    case Phase::kReload:
      break;
  }
  return "reload";
}

namespace {

using wire::kPageSize;

// The phases of a run as they pass: their times, the observer's events, and where the run stands
// for the message when it is interrupted.
class Phases {
 public:
  explicit Phases(EngineRun* run) : run_(run) {}

  void begin(Phase phase, std::uint64_t total) {
    end();
    phase_ = phase;
    total_ = total;
    done_ = 0;
    started_ = Clock::now();
    running_ = true;
    if (phase == Phase::kErase || phase == Phase::kWrite) changed_flash_ = true;
    if (run_->observer != nullptr) run_->observer->onPhase(phase, total);
  }
  void progress(std::uint64_t done) {
    done_ = done;
    if (run_->observer != nullptr) run_->observer->onProgress(phase_, done, total_);
  }
  void end() {
    if (!running_) return;
    running_ = false;
    run_->seconds[static_cast<std::size_t>(phase_)] +=
        std::chrono::duration<double>(Clock::now() - started_).count();
  }

  std::string interruptedMessage() const {
    if (!changed_flash_)
      return "FPGA read-back interrupted at byte offset " + std::to_string(done_) + " of " +
             std::to_string(total_) + ": nothing was written; the flash is as it was";
    if (phase_ == Phase::kErase)
      return "FPGA update interrupted while the flash is erased: the flash is incomplete; run the "
             "update again";
    if (phase_ == Phase::kReload)
      return "FPGA update interrupted while the device reloads its configuration: the flash "
             "holds the image, but the device may not run it yet; run the update again";
    return std::string("FPGA update interrupted in the ") + std::string(phaseName(phase_)) +
           " phase at byte offset " + std::to_string(done_) + " of " + std::to_string(total_) +
           ": the flash is incomplete; run the update again";
  }

 private:
  using Clock = std::chrono::steady_clock;
  EngineRun* run_;
  Phase phase_ = Phase::kErase;
  std::uint64_t total_ = 0;
  std::uint64_t done_ = 0;
  bool changed_flash_ = false;  // an erase or a write began
  Clock::time_point started_{};
  bool running_ = false;
};

// Records in `run` where a read-back first differs from what was written at `offset`.
void noteDifference(std::string_view read, std::string_view written, std::uint64_t offset,
                    EngineRun* run) {
  if (run->first_difference) return;
  const auto mismatch = std::mismatch(read.begin(), read.end(), written.begin(), written.end());
  if (mismatch.first == read.end() && mismatch.second == written.end()) return;
  run->first_difference = offset + static_cast<std::uint64_t>(mismatch.second - written.begin());
}

// Whether flash bytes read back from `offset` are erased; notes the first that is not in `run`.
bool erased(std::string_view read, std::uint64_t offset, EngineRun* run) {
  const auto first = read.find_first_not_of(wire::kErasedByte);
  if (first == std::string_view::npos) return true;
  if (!run->first_difference) run->first_difference = offset + first;
  return false;
}

}  // namespace

void FpgaTool::report(std::string_view stage, std::uint64_t done, std::uint64_t total) {
  // A callback may replace itself while it runs; keep this one alive until it returns.
  const std::shared_ptr<ProgressCallback> callback = progress_callback();
  if (callback && callback->enabled()) callback->report(stage, done, total);
}

std::string FpgaTool::displayText(std::uint64_t done, std::uint64_t total, double seconds) const {
  const double percent =
      total ? static_cast<double>(done) / static_cast<double>(total) * 100.0 : 0.0;
  char line[160];
  const int n = std::snprintf(
      line, sizeof line, "\rProgress: %.2f%% (%" PRIu64 "/%" PRIu64 " bytes), block time: %.4f sec",
      percent, done, total, seconds);
  return std::string(line, static_cast<std::size_t>(n));
}

double FpgaTool::programBlock(std::string_view block, std::uint64_t offset,
                              std::uint64_t* retries) {
  for (int attempt = 1; attempt <= kMaxProgramAttempts; ++attempt) {
    const double start = host_->wallClock();
    const bool accepted = _fpgaProgram(block);
    const double end = host_->wallClock();
    if (accepted) return end - start;
    if (attempt < kMaxProgramAttempts) ++*retries;
  }
  throw BlockRefusedError("FPGA block at byte offset " + std::to_string(offset) +
                              " refused by the controller " + std::to_string(kMaxProgramAttempts) +
                              " times; update stopped",
                          offset);
}

bool FpgaTool::_fpgaProgramFile(const std::string& image_path, std::int64_t device_type) {
  // Read whole before the erase: an image that cannot be read must not cost the device its
  // configuration, and a file changed while the flash is written cannot change what is written.
  return programImage(readImage(image_path), image_path, device_type);
}

// The per-block display: written at once on a terminal, where each display overwrites the last;
// elsewhere gathered and written every few milliseconds, so a pipe or a Python stream is not
// called once per block. What is written is the same either way.
class DisplayBuffer {
 public:
  static constexpr auto kInterval = std::chrono::milliseconds(50);
  static constexpr std::size_t kMaxHeld = 64 * 1024;

  DisplayBuffer(Host& host, bool shown)
      : host_(host), shown_(shown), terminal_(shown && host.stdoutIsTerminal()) {}
  ~DisplayBuffer() {
    try {
      flush();
    } catch (...) {
      // What stopped the run matters more than the rest of its display.
    }
  }

  bool shown() const { return shown_; }
  void show(const std::string& text) {
    if (terminal_) {
      host_.writeStdout(text, true);
      return;
    }
    held_ += text;
    const auto now = std::chrono::steady_clock::now();
    if (held_.size() >= kMaxHeld || now >= next_) {
      flush();
      next_ = now + kInterval;
    }
  }
  // The line feed that ends a phase's display.
  void endLine() {
    if (!shown_) return;
    held_ += '\n';
    flush();
  }
  void flush() {
    if (held_.empty()) return;
    std::string text;
    text.swap(held_);
    host_.writeStdout(text, true);
  }

 private:
  Host& host_;
  bool shown_;
  bool terminal_;
  std::string held_;
  std::chrono::steady_clock::time_point next_{};
};

// One run of the engine over one image: the phases, the cancellation poll, the display and the
// transfer window, shared by programming and verifying.
class EngineSession {
 public:
  EngineSession(FpgaTool& tool, std::string_view data, EngineRun* run)
      : tool_(tool),
        data_(data),
        run_(run),
        phases_(run),
        token_(tool.cancel_token()),
        display_(*tool.host_, tool.show_progress()),
        window_(static_cast<std::size_t>(tool.window())) {}

  Phases& phases() { return phases_; }
  EngineRun& run() { return *run_; }
  std::size_t window() const { return window_; }

  // Every block looks at the token (one atomic load); the host is asked every few milliseconds.
  void poll() {
    token_.throwIfCancelled();
    host_poll_();
  }

  // Writes the image one block at a time, each sent again until the controller takes it (within
  // the bounded retries); returns the hex SHA-256 digest of what was written.
  std::string write() {
    const std::uint64_t total = data_.size();
    phases_.begin(Phase::kWrite, total);
    crypto::Sha256 w_hasher;
    std::uint64_t sent = 0;
    for (std::size_t idx = 0; idx < data_.size(); idx += kPageSize) {
      poll();
      const std::string_view block = data_.substr(idx, kPageSize);
      w_hasher.update(block);
      const double seconds = tool_.programBlock(block, sent, &run_->retries);
      sent += block.size();
      blockWritten(sent, total, seconds);
    }
    display_.endLine();
    return w_hasher.hexdigest();
  }

  // Writes the image with up to window() blocks in flight on `pipe`, replies matched in order.
  // Returns the digest, or nothing at the first refused block: whether a refused block moved the
  // page pointer is the device's business, so the replies still in flight are drained, nothing
  // more is sent, and the caller starts the write again one block at a time.
  std::optional<std::string> writeWindowed(Connection::Pipeline& pipe) {
    const std::uint64_t total = data_.size();
    phases_.begin(Phase::kWrite, total);
    crypto::Sha256 w_hasher;
    std::uint64_t sent = 0;  // acknowledged
    std::uint64_t next = 0;  // the next block to send
    std::size_t in_flight = 0;
    const auto sendNext = [&] {
      pipe.send(wire::terminate(wire::programLine(data_.substr(next, kPageSize))));
      next += std::min<std::uint64_t>(kPageSize, total - next);
      ++in_flight;
    };
    while (next < total && in_flight < window_) sendNext();
    double last = tool_.host_->wallClock();
    while (in_flight > 0) {
      poll();
      const std::string reply = pipe.receiveLine();
      --in_flight;
      const double now = tool_.host_->wallClock();
      if (!wire::programAccepted(reply)) {
        refused_at_ = sent;
        while (in_flight > 0) {
          pipe.receiveLine();
          --in_flight;
        }
        display_.endLine();
        return std::nullopt;
      }
      const std::string_view block = data_.substr(sent, kPageSize);
      w_hasher.update(block);
      sent += block.size();
      blockWritten(sent, total, now - last);
      last = now;
      if (next < total) sendNext();
    }
    display_.endLine();
    return w_hasher.hexdigest();
  }
  std::uint64_t refusedAt() const { return refused_at_; }

  // Reads the flash back from its first page, as many pages as the image has (with up to
  // window() reads in flight when the connection can), and returns the hex SHA-256 digest of
  // exactly the image's length of it ("" when the read-back came up short). Flash reads back
  // whole pages: the erased tail of a partial last page does not count, unless `erased_tail`
  // asks for it and the page after the image to read erased (else "" too).
  std::string readBack(bool erased_tail = false) {
    const std::uint64_t total = data_.size();
    phases_.begin(Phase::kVerify, total);
    crypto::Sha256 r_hasher;
    tool_._fpgaRstPagePtr(wire::kSectionCfg);
    const std::uint64_t image_pages = (total + kPageSize - 1) / kPageSize;
    const std::uint64_t pages = image_pages + (erased_tail ? 1 : 0);
    std::unique_ptr<Connection::Pipeline> pipe;
    if (window_ > 1) pipe = tool_.conn_->pipeline();
    std::uint64_t requested = 0;
    std::uint64_t received = 0;
    const auto request = [&] {
      while (pipe && requested < pages && requested - received < window_) {
        pipe->send(wire::terminate(wire::kRead));
        ++requested;
      }
    };
    std::uint64_t hashed = 0;
    bool tail_erased = true;
    read_ = 0;
    for (; received < pages; ++received) {
      poll();
      request();
      const double block_start = tool_.host_->wallClock();
      const Bytes page_data =
          pipe ? tool_.rawReply(pipe->receiveFrame(kRecvSize), false, false) : tool_._fpgaRead();
      const double block_end = tool_.host_->wallClock();
      const std::uint64_t offset = received * kPageSize;
      if (received == image_pages) {
        // The page after the image; anything but a page means the flash ends with the image.
        if (page_data.size() == kPageSize) tail_erased = erased(page_data, offset, run_);
        continue;
      }
      read_ = offset + kPageSize;
      const std::uint64_t done = std::min(read_, total);
      phases_.progress(done);
      show(done, total, block_end - block_start);
      tool_.report(kStageVerify, done, total);
      const std::uint64_t take = std::min<std::uint64_t>(page_data.size(), total - hashed);
      const std::string_view page = std::string_view(page_data).substr(0, take);
      r_hasher.update(page);
      noteDifference(page, data_.substr(hashed, std::min<std::uint64_t>(kPageSize, total - hashed)),
                     hashed, run_);
      hashed += take;
      if (erased_tail && received + 1 == image_pages)
        tail_erased = erased(std::string_view(page_data).substr(take), hashed, run_);
    }
    pipe.reset();
    display_.endLine();
    const std::string digest = r_hasher.hexdigest();
    tool_.log(LogLevel::DEBUG, "r hash: " + digest);
    return hashed == total && tail_erased ? digest : std::string();
  }

  // Logs where the run stood when `error` stopped it, if it is a cancellation.
  void stopped(const std::exception& error) {
    phases_.end();
    if (!tool_.host_->isCancellation(error)) return;
    run_->interruption = phases_.interruptedMessage();
    tool_.log(LogLevel::ERROR, run_->interruption);
  }

 private:
  void show(std::uint64_t done, std::uint64_t total, double seconds) {
    if (display_.shown()) display_.show(tool_.displayText(done, total, seconds));
  }

  void blockWritten(std::uint64_t sent, std::uint64_t total, double seconds) {
    run_->bytes_written = sent;
    phases_.progress(sent);
    show(sent, total, seconds);
    tool_.report(kStageWrite, sent, total);
  }

  FpgaTool& tool_;
  std::string_view data_;
  EngineRun* run_;
  Phases phases_;
  CancelToken token_;
  CancellationPoll host_poll_;
  DisplayBuffer display_;
  std::size_t window_;
  std::uint64_t refused_at_ = 0;
  std::uint64_t read_ = 0;  // bytes of read-back received (whole pages)
};

bool FpgaTool::programImage(const Image& image, const std::string& image_path,
                            std::int64_t device_type, EngineRun* run) {
  if (image.bytes.empty()) {
    log(LogLevel::ERROR, "FPGA image holds no data: " + image_path);
    return false;
  }
  EngineRun unobserved;
  const CancellationScope watch([this] { checkCancelled(); });
  EngineSession session(*this, image.bytes, run != nullptr ? run : &unobserved);
  try {
    const double total_start_time = host_->monotonicClock();
    session.phases().begin(Phase::kErase, 0);
    const DeviceProfile& profile = deviceProfile(device_type);
    if (profile.erase_bits) _fpgaErase(*profile.erase_bits);
    _fpgaRstPagePtr(wire::kSectionCfg);
    report(kStageWrite, 0, 0);

    std::string w_digest;
    // A window needs a connection that keeps several commands in flight, and a device whose
    // flash can be erased to start again after a refused block.
    std::unique_ptr<Connection::Pipeline> pipe;
    if (session.window() > 1 && profile.erase_bits) pipe = conn_->pipeline();
    if (pipe) {
      std::optional<std::string> digest = session.writeWindowed(*pipe);
      pipe.reset();
      if (!digest) {
        log(LogLevel::WARNING,
            "FPGA block at byte offset " + std::to_string(session.refusedAt()) +
                " refused inside the transfer window; erasing and writing the image again one "
                "block at a time");
        session.phases().begin(Phase::kErase, 0);
        _fpgaErase(*profile.erase_bits);
        _fpgaRstPagePtr(wire::kSectionCfg);
        report(kStageWrite, 0, 0);
        digest = session.write();
      }
      w_digest = std::move(*digest);
    } else {
      w_digest = session.write();
    }
    log(LogLevel::DEBUG, "w hash: " + w_digest);
    log(LogLevel::INFO, "Verify Data");
    report(kStageVerify, 0, image.bytes.size());
    const bool ret = session.readBack() == w_digest;
    if (ret) {
      log(LogLevel::INFO, "Verify Success");
    } else {
      log(LogLevel::ERROR, "Verify Failed");
    }

    // Sent whatever the verification found, so the device reloads from what is in the flash now,
    // unless the run keeps a flash that did not verify from being loaded.
    session.phases().begin(Phase::kReload, 0);
    if (ret || session.run().reload_unverified) {
      reloadConfiguration(device_type);
    } else {
      _fpgaDone();
    }
    session.phases().end();

    const double total_end_time = host_->monotonicClock();
    char total[64];
    std::snprintf(total, sizeof total, "%.4f", total_end_time - total_start_time);
    log(LogLevel::INFO, std::string("FPGA program file finished. Total time: ") + total + " sec");
    return ret;
  } catch (const std::exception& error) {
    session.stopped(error);
    throw;
  }
}

void FpgaTool::reloadConfiguration(std::int64_t device_type) {
  const DeviceProfile& profile = deviceProfile(device_type);
  _fpgaDone();
  _fpgaRefresh();
  if (profile.reinit_wait_seconds) {
    _fpgaReinit();
    host_->sleepSeconds(*profile.reinit_wait_seconds);
  }
}

bool FpgaTool::verifyFlash(const Image& image, EngineRun* run, bool erased_tail) {
  EngineRun unobserved;
  const CancellationScope watch([this] { checkCancelled(); });
  EngineSession session(*this, image.bytes, run != nullptr ? run : &unobserved);
  try {
    crypto::Sha256 w_hasher;
    w_hasher.update(image.bytes);
    const bool identical = session.readBack(erased_tail) == w_hasher.hexdigest();
    session.phases().end();
    return identical;
  } catch (const std::exception& error) {
    session.stopped(error);
    throw;
  }
}

}  // namespace kestrix::flash
