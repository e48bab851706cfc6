// The per-block progress display of an update on standard output:
// "\rProgress: 4.69% (48/1024 bytes), block time: 0.0123 sec". On a terminal each display is
// written as it comes, overwriting the last; elsewhere the same text is gathered and written every
// few milliseconds, so a pipe or a Python stream is not called once per block.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "kestrix/contracts/host.hpp"

namespace kestrix::flash {

// One display: "\rProgress: 4.69% (48/1024 bytes), block time: 0.0123 sec".
std::string progressLine(std::uint64_t done, std::uint64_t total, double seconds);

class ProgressDisplay {
 public:
  static constexpr auto kInterval = std::chrono::milliseconds(50);
  static constexpr std::size_t kMaxHeld = 64 * 1024;

  // Shows nothing unless `shown`.
  ProgressDisplay(Host& host, bool shown);
  // Writes what is held; what stopped a run matters more than the rest of its display.
  ~ProgressDisplay();
  ProgressDisplay(const ProgressDisplay&) = delete;
  ProgressDisplay& operator=(const ProgressDisplay&) = delete;

  bool shown() const { return shown_; }
  void show(std::uint64_t done, std::uint64_t total, double seconds);
  // The line feed that ends a phase's display.
  void endLine();

 private:
  void write(const std::string& text);
  void flush();

  Host& host_;
  bool shown_;
  bool terminal_;
  std::string held_;
  std::chrono::steady_clock::time_point next_{};
};

}  // namespace kestrix::flash
