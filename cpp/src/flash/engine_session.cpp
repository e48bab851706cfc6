#include "engine_session.hpp"

#include <algorithm>
#include <atomic>
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
  // The read-back comes after the last block was written: the flash may well hold the image, but
  // nothing has shown it yet, and "incomplete" would send an operator looking for a short write.
  const char* state = phase_ == Phase::kVerify ? "the flash is written but not verified"
                                               : "the flash is incomplete";
  return std::string("FPGA update interrupted in the ") + std::string(phaseName(phase_)) +
         " phase at byte offset " + std::to_string(done_) + " of " + std::to_string(total_) + ": " +
         state + "; run the update again";
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

void Session::progressed(std::string_view stage, std::uint64_t done, double seconds) {
  if (stage == kStageWrite) run_->bytes_written = done;
  phases_.progress(done);
  display_.show(done, data_.size(), seconds);
  report(stage, done, data_.size());
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
    progressed(kStageWrite, sent, seconds);
  }
  display_.endLine();
}

// A stream's progress: the bytes through, published where its replies are taken (possibly the
// event loop's thread), shown on the session's thread at each report, timed per block since the
// report before.
class Session::StreamProgress {
 public:
  StreamProgress(Session& session, std::string_view stage)
      : session_(session), stage_(stage), last_(session.clock()) {}

  void advance(std::uint64_t done) { done_.store(done, std::memory_order_relaxed); }

  // Shows what came through since the last report, then polls for cancellation.
  void report() {
    const std::uint64_t done = done_.load(std::memory_order_relaxed);
    if (done != reported_) {
      const double now = session_.clock();
      const std::uint64_t blocks = (done - reported_ + kPageSize - 1) / kPageSize;
      session_.progressed(stage_, done, (now - last_) / static_cast<double>(blocks));
      last_ = now;
      reported_ = done;
    }
    session_.poll();
  }

 private:
  Session& session_;
  const std::string_view stage_;
  std::atomic<std::uint64_t> done_{0};
  std::uint64_t reported_ = 0;
  double last_;
};

class Session::WriteStream final : public Connection::Stream {
 public:
  explicit WriteStream(Session& session)
      : session_(session), data_(session.data_), progress_(session, kStageWrite) {}

  std::size_t window() const override { return session_.window_; }
  bool rawFrames() const override { return false; }
  std::size_t maxFrame() const override { return kRecvSize; }

  bool next(std::string& line) override {
    if (refused_ || next_ >= data_.size()) return false;
    line.clear();
    wire::appendProgramLine(line, data_.substr(next_, kPageSize));
    next_ += std::min<std::uint64_t>(kPageSize, data_.size() - next_);
    return true;
  }

  void take(std::string_view reply) override {
    if (refused_) return;  // drained: the write starts again
    if (!wire::programAccepted(reply)) {
      refused_ = true;
      return;
    }
    acked_ += std::min<std::uint64_t>(kPageSize, data_.size() - acked_);
    progress_.advance(acked_);
  }

  void report() override { progress_.report(); }

  // After the run: whether a block was refused, and the bytes acknowledged before it.
  bool refused() const { return refused_; }
  std::uint64_t acked() const { return acked_; }

 private:
  Session& session_;
  std::string_view data_;
  StreamProgress progress_;
  std::uint64_t next_ = 0;   // the next block to send
  std::uint64_t acked_ = 0;  // taken where the replies are
  bool refused_ = false;
};

bool Session::writeWindowed(CommandChannel::Window& window) {
  phases_.begin(Phase::kWrite, data_.size());
  WriteStream stream(*this);
  window.run(stream);
  stream.report();
  display_.endLine();
  if (!stream.refused()) return true;
  refused_at_ = stream.acked();
  return false;
}

class Session::ReadStream final : public Connection::Stream {
 public:
  ReadStream(Session& session, bool erased_tail)
      : session_(session),
        data_(session.data_),
        run_(session.run_),
        image_pages_((data_.size() + kPageSize - 1) / kPageSize),
        pages_(image_pages_ + (erased_tail ? 1 : 0)),
        erased_tail_(erased_tail),
        progress_(session, kStageVerify) {}

  std::size_t window() const override { return session_.window_; }
  bool rawFrames() const override { return true; }
  std::size_t maxFrame() const override { return kRecvSize; }

  bool next(std::string& line) override {
    if (requested_ == pages_) return false;
    line.assign(wire::kRead);
    ++requested_;
    return true;
  }

  void take(std::string_view page_data) override {
    const std::uint64_t total = data_.size();
    const std::uint64_t offset = received_ * kPageSize;
    if (received_++ == image_pages_) {
      // The page after the image; anything but a page means the flash ends with the image.
      if (page_data.size() == kPageSize) tail_erased_ = erased(page_data, offset, run_);
      return;
    }
    const std::uint64_t take = std::min<std::uint64_t>(page_data.size(), total - hashed_);
    const std::string_view page = page_data.substr(0, take);
    hasher_.update(page);
    noteDifference(page, data_.substr(hashed_, std::min<std::uint64_t>(kPageSize, total - hashed_)),
                   hashed_, run_);
    hashed_ += take;
    if (erased_tail_ && received_ == image_pages_)
      tail_erased_ = erased(page_data.substr(take), hashed_, run_);
    progress_.advance(std::min(offset + kPageSize, total));
  }

  void report() override { progress_.report(); }

  // After the run: the digest of what was read, "" when it came up short or the tail is not erased.
  std::string digest() {
    const std::string digest = hasher_.hexdigest();
    session_.host_.log(LogLevel::DEBUG, "r hash: " + digest);
    return hashed_ == data_.size() && tail_erased_ ? digest : std::string();
  }

 private:
  Session& session_;
  std::string_view data_;
  EngineRun* run_;
  const std::uint64_t image_pages_;
  const std::uint64_t pages_;
  const bool erased_tail_;
  std::uint64_t requested_ = 0;
  std::uint64_t received_ = 0;
  std::uint64_t hashed_ = 0;
  bool tail_erased_ = true;
  crypto::Sha256 hasher_;
  StreamProgress progress_;
};

std::string Session::readBack(bool erased_tail) {
  phases_.begin(Phase::kVerify, data_.size());
  commands_.resetPagePointer(wire::kSectionCfg);
  ReadStream stream(*this, erased_tail);
  std::unique_ptr<CommandChannel::Window> window;
  if (window_ > 1) window = commands_.channel().openWindow();
  if (window) {
    window->run(stream);
    window.reset();
    stream.report();
  } else {
    std::string line;
    while (stream.next(line)) {
      stream.take(commands_.readPage());
      stream.report();
    }
  }
  display_.endLine();
  return stream.digest();
}

void Session::stopped(const std::exception& error) {
  phases_.end();
  if (!host_.isCancellation(error)) return;
  run_->interruption = phases_.interruptedMessage();
  host_.log(LogLevel::ERROR, run_->interruption);
}

}  // namespace kestrix::flash::detail
