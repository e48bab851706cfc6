// One run of the programming engine as tools see it: the phases as they start and progress, and
// what the run did. The progress callback of the update API sees only the write and verify counts;
// tools that show or record more (kestrix-flash, fleets) observe a run.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrix::flash {

enum class Phase { kErase, kWrite, kVerify, kReload };
inline constexpr std::size_t kPhaseCount = 4;

// "erase", "write", "verify", "reload".
std::string_view phaseName(Phase phase);

// Called on the engine's thread, between two commands; what it throws stops the run.
class EngineObserver {
 public:
  virtual ~EngineObserver() = default;
  // A phase begins; `total` is its byte count (0 for erase and reload).
  virtual void onPhase(Phase phase, std::uint64_t total) = 0;
  // After each block of the write and verify phases.
  virtual void onProgress(Phase phase, std::uint64_t done, std::uint64_t total) = 0;
};

struct EngineRun {
  EngineObserver* observer = nullptr;  // may be null
  // Whether a write whose read-back differs still ends with the finishing commands that make the
  // FPGA reload (the update API sends them whatever the verification found). Without, only
  // programming is ended ("FPGA_DONE"): the FPGA keeps running the configuration it loaded
  // before, which is still sound, instead of loading a flash known to be wrong.
  bool reload_unverified = true;
  // Filled in as the run goes.
  std::uint64_t bytes_written = 0;  // acknowledged image bytes
  std::uint64_t retries = 0;        // programming blocks the controller refused and got again
  // When the read-back differs: the offset of the first byte that differs (or is missing); at
  // or past the image's length when a byte after it is not erased.
  std::optional<std::uint64_t> first_difference;
  std::array<double, kPhaseCount> seconds{};  // by Phase, monotonic
  // When a cancellation stopped the run: where, and what that left in the flash.
  std::string interruption;
};

}  // namespace kestrix::flash
