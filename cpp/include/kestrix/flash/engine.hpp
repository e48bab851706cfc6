// The programming engine: erase, write in 16-byte blocks, read back, compare digests, finish; and
// one run of it as tools see it: the phases as they start and progress, and what the run did. The
// progress callback of the update API sees only the write and verify counts; tools that show or
// record more (kestrix-flash, fleets) observe a run.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "kestrix/contracts/json.hpp"
#include "kestrix/flash/fpga_commands.hpp"
#include "kestrix/flash/image.hpp"
#include "kestrix/flash/progress.hpp"

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
  // Whether an erase or a write began: the flash may no longer hold what it held.
  bool flash_touched = false;
  // When a cancellation stopped the run: where, and what that left in the flash.
  std::string interruption;
};

// A refused programming block is sent at most this many times in all before the update stops.
inline constexpr int kMaxProgramAttempts = 10;
// The largest transfer window.
inline constexpr int kMaxWindow = 1024;

// What a run shows and how many commands it keeps in flight.
struct EngineSettings {
  bool show_progress = true;  // the per-block display on standard output (progress_display.hpp)
  // Program or read commands in flight at once (1 to kMaxWindow). With more, the verify phase
  // keeps that many reads outstanding, and for device types whose flash is erased first the
  // write phase that many blocks; at the first block refused inside a window the engine drains
  // the replies, erases, and writes the whole image again one block at a time. A connection that
  // cannot pipeline goes one command at a time.
  int window = 1;
  // The caller's callback, asked for before every report (a callback may replace itself while a
  // run goes); none when empty or when it returns null.
  std::function<std::shared_ptr<ProgressCallback>()> progress;
};

// The engine over one device's commands. Every wait and every few milliseconds of its loops run
// the channel's cancellation check; a cancellation stops it with what the check threw, logged
// with where the run stood (and kept in EngineRun::interruption).
class Engine {
 public:
  Engine(FpgaCommands& commands, EngineSettings settings);

  // Erases (when the device profile says so), writes `image` in 16-byte blocks, reads it back and
  // compares SHA-256 digests, then sends the finishing commands (see reload()), also when the
  // read-back differs unless `run` says otherwise. Returns whether the flash read back as written;
  // an image that holds no bytes returns false (logged) before anything is sent. Everything else
  // that fails throws, and nothing more is sent: a connection failure, a callback's exception, a
  // block refused kMaxProgramAttempts times (BlockRefusedError), a cancellation. `image_path`
  // names the image in messages.
  bool program(const Image& image, const std::string& image_path, std::int64_t device_type,
               EngineRun* run = nullptr);
  // The read-back alone: whether the flash holds exactly the image. Nothing is erased or written.
  // With `erased_tail`, the rest of the image's last page and the page after it must also read
  // erased (0xFF), as an update that erases first leaves them, so an image that is only a prefix
  // of the flash's content does not pass; a device that answers the read after the image with
  // anything but a page has no flash there, which passes.
  bool verify(const Image& image, EngineRun* run = nullptr, bool erased_tail = false);
  // The finishing commands, which make the FPGA load its configuration from the flash: done,
  // refresh, and re-initialisation with its wait where the device profile says so.
  void reload(std::int64_t device_type);

 private:
  FpgaCommands& commands_;
  EngineSettings settings_;
};

// The FPGA version as an update reads it back for `device_type` (its profile says how; "" when
// it is not read). Throws ProtocolError for an information reply that is not what it should be.
Json readFpgaVersion(FpgaCommands& commands, std::int64_t device_type);

}  // namespace kestrix::flash
