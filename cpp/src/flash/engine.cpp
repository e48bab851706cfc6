// The programming engine: erase, write in 16-byte blocks, read back, compare digests, finish.
#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <string>

#include "kestrix/contracts/cancel.hpp"
#include "kestrix/contracts/errors.hpp"
#include "kestrix/crypto/sha256.hpp"
#include "kestrix/flash/fpga_tool.hpp"
#include "kestrix/flash/image.hpp"
#include "kestrix/flash/protocol.hpp"

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

using protocol::kPageSize;

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

}  // namespace

void FpgaTool::report(std::string_view stage, std::uint64_t done, std::uint64_t total) {
  // A callback may replace itself while it runs; keep this one alive until it returns.
  const std::shared_ptr<ProgressCallback> callback = progress_callback();
  if (callback && callback->enabled()) callback->report(stage, done, total);
}

void FpgaTool::display(std::uint64_t done, std::uint64_t total, double seconds) {
  const double percent =
      total ? static_cast<double>(done) / static_cast<double>(total) * 100.0 : 0.0;
  char line[160];
  const int n = std::snprintf(
      line, sizeof line, "\rProgress: %.2f%% (%" PRIu64 "/%" PRIu64 " bytes), block time: %.4f sec",
      percent, done, total, seconds);
  host_->writeStdout(std::string_view(line, static_cast<std::size_t>(n)), true);
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

// One run of the engine over one image: the phases, the cancellation poll and the display, shared
// by programming and verifying.
class EngineSession {
 public:
  EngineSession(FpgaTool& tool, std::string_view data, EngineRun* run)
      : tool_(tool),
        data_(data),
        run_(run),
        phases_(run),
        token_(tool.cancel_token()),
        show_(tool.show_progress()) {}

  Phases& phases() { return phases_; }

  // Every block looks at the token (one atomic load); the host is asked every few milliseconds.
  void poll() {
    token_.throwIfCancelled();
    host_poll_();
  }

  // Writes the image in blocks; returns the hex SHA-256 digest of what was written.
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
      run_->bytes_written = sent;
      phases_.progress(sent);
      if (show_) tool_.display(sent, total, seconds);
      tool_.report(kStageWrite, sent, total);
    }
    if (show_) tool_.host_->writeStdout("\n", true);
    return w_hasher.hexdigest();
  }

  // Reads the flash back from its first page, as many pages as the image has, and returns the hex
  // SHA-256 digest of exactly the image's length of it ("" when the read-back came up short).
  // Flash reads back whole pages: the erased tail of a partial last page does not count.
  std::string readBack() {
    const std::uint64_t total = data_.size();
    phases_.begin(Phase::kVerify, total);
    crypto::Sha256 r_hasher;
    tool_._fpgaRstPagePtr(protocol::kSectionCfg);
    std::uint64_t hashed = 0;
    for (std::uint64_t read = kPageSize; read < total + kPageSize; read += kPageSize) {
      poll();
      const double block_start = tool_.host_->wallClock();
      const Bytes page_data = tool_._fpgaRead();
      const double block_end = tool_.host_->wallClock();
      const std::uint64_t done = std::min(read, total);
      phases_.progress(done);
      if (show_) tool_.display(done, total, block_end - block_start);
      tool_.report(kStageVerify, done, total);
      const std::uint64_t take = std::min<std::uint64_t>(page_data.size(), total - hashed);
      const std::string_view page = std::string_view(page_data).substr(0, take);
      r_hasher.update(page);
      noteDifference(page, data_.substr(hashed, std::min<std::uint64_t>(kPageSize, total - hashed)),
                     hashed, run_);
      hashed += take;
    }
    if (show_) tool_.host_->writeStdout("\n", true);
    const std::string digest = r_hasher.hexdigest();
    tool_.log(LogLevel::DEBUG, "r hash: " + digest);
    return hashed == total ? digest : std::string();
  }

  // Logs where the run stood when `error` stopped it, if it is a cancellation.
  void stopped(const std::exception& error) {
    phases_.end();
    if (!tool_.host_->isCancellation(error)) return;
    run_->interruption = phases_.interruptedMessage();
    tool_.log(LogLevel::ERROR, run_->interruption);
  }

 private:
  FpgaTool& tool_;
  std::string_view data_;
  EngineRun* run_;
  Phases phases_;
  CancelToken token_;
  CancellationPoll host_poll_;
  bool show_;
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
    _fpgaRstPagePtr(protocol::kSectionCfg);
    report(kStageWrite, 0, 0);

    const std::string w_digest = session.write();
    log(LogLevel::DEBUG, "w hash: " + w_digest);
    log(LogLevel::INFO, "Verify Data");
    report(kStageVerify, 0, image.bytes.size());
    const bool ret = session.readBack() == w_digest;
    if (ret) {
      log(LogLevel::INFO, "Verify Success");
    } else {
      log(LogLevel::ERROR, "Verify Failed");
    }

    // Sent whatever the verification found, so the device reloads from what is in the flash now.
    session.phases().begin(Phase::kReload, 0);
    _fpgaDone();
    _fpgaRefresh();
    if (profile.reinit_wait_seconds) {
      _fpgaReinit();
      host_->sleepSeconds(*profile.reinit_wait_seconds);
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

bool FpgaTool::verifyFlash(const Image& image, EngineRun* run) {
  EngineRun unobserved;
  const CancellationScope watch([this] { checkCancelled(); });
  EngineSession session(*this, image.bytes, run != nullptr ? run : &unobserved);
  try {
    crypto::Sha256 w_hasher;
    w_hasher.update(image.bytes);
    const bool identical = session.readBack() == w_hasher.hexdigest();
    session.phases().end();
    return identical;
  } catch (const std::exception& error) {
    session.stopped(error);
    throw;
  }
}

}  // namespace kestrix::flash
