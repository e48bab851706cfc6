#include "kestrix/flash/progress_display.hpp"

#include <cinttypes>
#include <cstdio>

namespace kestrix::flash {

std::string progressLine(std::uint64_t done, std::uint64_t total, double seconds) {
  const double percent =
      total ? static_cast<double>(done) / static_cast<double>(total) * 100.0 : 0.0;
  char line[160];
  const int n = std::snprintf(
      line, sizeof line, "\rProgress: %.2f%% (%" PRIu64 "/%" PRIu64 " bytes), block time: %.4f sec",
      percent, done, total, seconds);
  return std::string(line, static_cast<std::size_t>(n));
}

ProgressDisplay::ProgressDisplay(Host& host, bool shown)
    : host_(host), shown_(shown), terminal_(shown && host.stdoutIsTerminal()) {}

ProgressDisplay::~ProgressDisplay() {
  try {
    flush();
  } catch (const std::exception&) {
    // What stopped the run matters more than the rest of its display.
  }
}

void ProgressDisplay::show(std::uint64_t done, std::uint64_t total, double seconds) {
  if (shown_) write(progressLine(done, total, seconds));
}

void ProgressDisplay::write(const std::string& text) {
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

void ProgressDisplay::endLine() {
  if (!shown_) return;
  held_ += '\n';
  flush();
}

void ProgressDisplay::flush() {
  if (held_.empty()) return;
  std::string text;
  text.swap(held_);
  host_.writeStdout(text, true);
}

}  // namespace kestrix::flash
