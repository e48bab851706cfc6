// The programming engine: erase, write in 16-byte blocks, read back, compare digests, finish.
#include <algorithm>
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
namespace {

using protocol::kPageSize;

// Where an update stands, for the message when it is interrupted.
struct Position {
  const char* phase = "erase";
  std::uint64_t offset = 0;
  std::uint64_t total = 0;
};

std::string interruptedMessage(const Position& at) {
  if (std::string_view(at.phase) == "reload")
    return "FPGA update interrupted while the device reloads its configuration: the flash holds "
           "the image, but the device may not run it yet; run the update again";
  return std::string("FPGA update interrupted in the ") + at.phase + " phase at byte offset " +
         std::to_string(at.offset) + " of " + std::to_string(at.total) +
         ": the flash is incomplete; run the update again";
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

double FpgaTool::programBlock(std::string_view block, std::uint64_t offset) {
  for (int attempt = 1; attempt <= kMaxProgramAttempts; ++attempt) {
    const double start = host_->wallClock();
    const bool accepted = _fpgaProgram(block);
    const double end = host_->wallClock();
    if (accepted) return end - start;
  }
  throw BlockRefusedError("FPGA block at byte offset " + std::to_string(offset) +
                          " refused by the controller " + std::to_string(kMaxProgramAttempts) +
                          " times; update stopped");
}

bool FpgaTool::_fpgaProgramFile(const std::string& image_path, std::int64_t device_type) {
  // Read whole before the erase: an image that cannot be read must not cost the device its
  // configuration, and a file changed while the flash is written cannot change what is written.
  return programImage(readImage(image_path), image_path, device_type);
}

bool FpgaTool::programImage(const Image& image, const std::string& image_path,
                            std::int64_t device_type) {
  if (image.bytes.empty()) {
    log(LogLevel::ERROR, "FPGA image holds no data: " + image_path);
    return false;
  }
  const CancellationScope watch([this] { checkCancelled(); });
  // Every block looks at the token (one atomic load); the host is asked every few milliseconds.
  const CancelToken token = cancel_token();
  CancellationPoll host_poll;
  const auto poll = [&] {
    token.throwIfCancelled();
    host_poll();
  };
  Position at;
  try {
    const std::string_view data = image.bytes;
    const std::uint64_t file_size = data.size();
    at.total = file_size;
    std::uint64_t sent = 0;
    const double total_start_time = host_->monotonicClock();
    crypto::Sha256 w_hasher;

    if (device_type == 28) {
      _fpgaErase(protocol::kEraseDevice28);
    } else if (device_type == 32) {
      _fpgaErase(protocol::kEraseDevice32);
    }
    _fpgaRstPagePtr(protocol::kSectionCfg);
    report(kStageWrite, 0, 0);

    at.phase = "write";
    for (std::size_t idx = 0; idx < data.size(); idx += kPageSize) {
      poll();
      const std::string_view block = data.substr(idx, kPageSize);
      w_hasher.update(block);
      const double seconds = programBlock(block, sent);
      sent += block.size();
      at.offset = sent;
      display(sent, file_size, seconds);
      report(kStageWrite, sent, file_size);
    }
    host_->writeStdout("\n", true);

    const std::string w_digest = w_hasher.hexdigest();
    log(LogLevel::DEBUG, "w hash: " + w_digest);
    log(LogLevel::INFO, "Verify Data");
    report(kStageVerify, 0, sent);

    // Flash reads back whole pages: hash exactly the `sent` bytes that were written, so the erased
    // tail of a partial last page does not count, and a short read-back cannot match.
    at.phase = "verify";
    at.offset = 0;
    crypto::Sha256 r_hasher;
    _fpgaRstPagePtr(protocol::kSectionCfg);
    std::uint64_t hashed = 0;
    for (std::uint64_t read = kPageSize; read < sent + kPageSize; read += kPageSize) {
      poll();
      const double block_start = host_->wallClock();
      const Bytes page_data = _fpgaRead();
      const double block_end = host_->wallClock();
      const std::uint64_t done = std::min(read, sent);
      at.offset = done;
      display(done, sent, block_end - block_start);
      report(kStageVerify, done, sent);
      const std::uint64_t take = std::min<std::uint64_t>(page_data.size(), sent - hashed);
      r_hasher.update(std::string_view(page_data).substr(0, static_cast<std::size_t>(take)));
      hashed += take;
    }
    host_->writeStdout("\n", true);

    const std::string r_digest = r_hasher.hexdigest();
    log(LogLevel::DEBUG, "r hash: " + r_digest);
    const bool ret = hashed == sent && w_digest == r_digest;
    if (ret) {
      log(LogLevel::INFO, "Verify Success");
    } else {
      log(LogLevel::ERROR, "Verify Failed");
    }

    // Sent whatever the verification found, so the device reloads from what is in the flash now.
    at.phase = "reload";
    _fpgaDone();
    _fpgaRefresh();
    if (device_type == 32) {
      _fpgaReinit();
      host_->sleepSeconds(kReinitWaitSeconds);
    }

    const double total_end_time = host_->monotonicClock();
    char total[64];
    std::snprintf(total, sizeof total, "%.4f", total_end_time - total_start_time);
    log(LogLevel::INFO, std::string("FPGA program file finished. Total time: ") + total + " sec");
    return ret;
  } catch (const std::exception& error) {
    if (host_->isCancellation(error)) log(LogLevel::ERROR, interruptedMessage(at));
    throw;
  }
}

}  // namespace kestrix::flash
