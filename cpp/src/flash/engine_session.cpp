#include "engine_session.hpp"

#include <algorithm>
#include <memory>
#include <utility>

#include "kestrix/contracts/errors.hpp"
#include "kestrix/crypto/sha256.hpp"
#include "kestrix/wire/protocol.hpp"

namespace kestrix::flash::detail {
namespace {

using wire::kPageSize;

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

void Phases::begin(Phase phase, std::uint64_t total) {
  end();
  phase_ = phase;
  total_ = total;
  done_ = 0;
  started_ = Clock::now();
  running_ = true;
  if (phase == Phase::kErase || phase == Phase::kWrite) run_->flash_touched = true;
  if (run_->observer != nullptr) run_->observer->onPhase(phase, total);
}

void Phases::progress(std::uint64_t done) {
  done_ = done;
  if (run_->observer != nullptr) run_->observer->onProgress(phase_, done, total_);
}

void Phases::end() {
  if (!running_) return;
  running_ = false;
  run_->seconds[static_cast<std::size_t>(phase_)] +=
      std::chrono::duration<double>(Clock::now() - started_).count();
}

std::string Phases::interruptedMessage() const {
  if (!run_->flash_touched)
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

Session::Session(FpgaCommands& commands, const EngineSettings& settings, std::string_view data,
                 EngineRun* run)
    : commands_(commands),
      host_(commands.channel().host()),
      settings_(settings),
      data_(data),
      run_(run),
      phases_(run),
      token_(commands.channel().cancelToken()),
      display_(host_, settings.show_progress),
      window_(static_cast<std::size_t>(std::max(1, settings.window))) {}

double Session::clock() {
  return display_.shown() ? host_.wallClock() : 0.0;
}

void Session::poll() {
  token_.throwIfCancelled();
  host_poll_();
}

void Session::report(std::string_view stage, std::uint64_t done, std::uint64_t total) {
  if (!settings_.progress) return;
  // A callback may replace itself while it runs; this one is kept alive until it returns.
  const std::shared_ptr<ProgressCallback> callback = settings_.progress();
  if (callback && callback->enabled()) callback->report(stage, done, total);
}

double Session::programBlock(std::string_view block, std::uint64_t offset) {
  for (int attempt = 1; attempt <= kMaxProgramAttempts; ++attempt) {
    const double start = clock();
    const bool accepted = commands_.programBlock(block);
    const double end = clock();
    if (accepted) return end - start;
    if (attempt < kMaxProgramAttempts) ++run_->retries;
  }
  throw BlockRefusedError("FPGA block at byte offset " + std::to_string(offset) +
                              " refused by the controller " + std::to_string(kMaxProgramAttempts) +
                              " times; update stopped",
                          offset);
}

void Session::blockWritten(std::uint64_t sent, std::uint64_t total, double seconds) {
  run_->bytes_written = sent;
  phases_.progress(sent);
  display_.show(sent, total, seconds);
  report(kStageWrite, sent, total);
}

void Session::write() {
  const std::uint64_t total = data_.size();
  phases_.begin(Phase::kWrite, total);
  std::uint64_t sent = 0;
  for (std::size_t idx = 0; idx < data_.size(); idx += kPageSize) {
    poll();
    const std::string_view block = data_.substr(idx, kPageSize);
    const double seconds = programBlock(block, sent);
    sent += block.size();
    blockWritten(sent, total, seconds);
  }
  display_.endLine();
}

bool Session::writeWindowed(CommandChannel::Window& window) {
  const std::uint64_t total = data_.size();
  phases_.begin(Phase::kWrite, total);
  std::uint64_t sent = 0;  // acknowledged
  std::uint64_t next = 0;  // the next block to send
  std::size_t in_flight = 0;
  const auto sendNext = [&] {
    window.send(wire::programLine(data_.substr(next, kPageSize)));
    next += std::min<std::uint64_t>(kPageSize, total - next);
    ++in_flight;
  };
  double last = clock();
  do {
    // The window is filled in one batch (one write), after every reply that had arrived was
    // taken, so a refill costs one system call, not one per command.
    while (next < total && in_flight < window_) sendNext();
    poll();
    do {
      const std::string reply = window.receiveLine();
      --in_flight;
      const double now = clock();
      if (!wire::programAccepted(reply)) {
        refused_at_ = sent;
        for (; in_flight > 0; --in_flight) window.receiveLine();
        display_.endLine();
        return false;
      }
      sent += std::min<std::uint64_t>(kPageSize, total - sent);
      blockWritten(sent, total, now - last);
      last = now;
    } while (in_flight > 0 && window.replyReady());
  } while (in_flight > 0 || next < total);
  display_.endLine();
  return true;
}

std::string Session::readBack(bool erased_tail) {
  const std::uint64_t total = data_.size();
  phases_.begin(Phase::kVerify, total);
  crypto::Sha256 r_hasher;
  commands_.resetPagePointer(wire::kSectionCfg);
  const std::uint64_t image_pages = (total + kPageSize - 1) / kPageSize;
  const std::uint64_t pages = image_pages + (erased_tail ? 1 : 0);
  std::unique_ptr<CommandChannel::Window> window;
  if (window_ > 1) window = commands_.channel().openWindow();
  std::uint64_t requested = 0;
  std::uint64_t received = 0;
  // Reads are requested in batches: the window is topped up once every reply that had arrived
  // was taken (see writeWindowed).
  const auto request = [&] {
    if (window && window->replyReady()) return;
    for (; window && requested < pages && requested - received < window_; ++requested)
      window->send(wire::kRead);
  };
  std::uint64_t hashed = 0;
  bool tail_erased = true;
  for (; received < pages; ++received) {
    poll();
    request();
    const double block_start = clock();
    const Bytes page_data = window ? window->receivePage() : commands_.readPage();
    const double block_end = clock();
    const std::uint64_t offset = received * kPageSize;
    if (received == image_pages) {
      // The page after the image; anything but a page means the flash ends with the image.
      if (page_data.size() == kPageSize) tail_erased = erased(page_data, offset, run_);
      continue;
    }
    const std::uint64_t done = std::min(offset + kPageSize, total);
    phases_.progress(done);
    display_.show(done, total, block_end - block_start);
    report(kStageVerify, done, total);
    const std::uint64_t take = std::min<std::uint64_t>(page_data.size(), total - hashed);
    const std::string_view page = std::string_view(page_data).substr(0, take);
    r_hasher.update(page);
    noteDifference(page, data_.substr(hashed, std::min<std::uint64_t>(kPageSize, total - hashed)),
                   hashed, run_);
    hashed += take;
    if (erased_tail && received + 1 == image_pages)
      tail_erased = erased(std::string_view(page_data).substr(take), hashed, run_);
  }
  window.reset();
  display_.endLine();
  const std::string digest = r_hasher.hexdigest();
  host_.log(LogLevel::DEBUG, "r hash: " + digest);
  return hashed == total && tail_erased ? digest : std::string();
}

void Session::stopped(const std::exception& error) {
  phases_.end();
  if (!host_.isCancellation(error)) return;
  run_->interruption = phases_.interruptedMessage();
  host_.log(LogLevel::ERROR, run_->interruption);
}

}  // namespace kestrix::flash::detail
