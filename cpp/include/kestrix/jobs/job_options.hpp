// What a job or a fleet is asked to do, with every default, limit and name decided here once:
// the tools (kestrix-flash, kestrix.fleet, the Ansible modules) take them from here through
// kestrix._core, and a fleet checks its options whole before any device is touched.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "kestrix/flash/device_profile.hpp"
#include "kestrix/flash/engine.hpp"
#include "kestrix/flash/trust.hpp"
#include "kestrix/net/tcp_connection.hpp"

namespace kestrix::jobs {

// Devices worked on at once: by default, and at most (one thread each).
inline constexpr int kDefaultJobs = 8;
inline constexpr int kMaxJobs = 1024;
// Commands in flight at once (see flash::EngineSettings::window) in the jobs the tools run
// (kestrix-flash, kestrix.fleet, the Ansible modules), by default. Sixteen overlap the link's round
// trips, which makes an update over a long link many times faster; a device that needs lock-step
// is given 1. FpgaTool keeps the engine's own default, one command at a time.
inline constexpr int kDefaultWindow = 16;
// Seconds to wait for each reply, by default; connecting waits as long, up to kMaxConnectTimeout.
inline constexpr double kDefaultTimeout = net::kDefaultReplyTimeout;
inline constexpr double kMaxConnectTimeout = net::kDefaultConnectTimeout;
// A device's progress within a phase is passed on at most this often (phase changes and ends at
// once), so a caller's display is not called per block.
inline constexpr std::chrono::milliseconds kProgressInterval{50};

enum class JobMode {
  kUpdate,                 // erase, write, verify, reload
  kVerify,                 // read the image's length back and compare; nothing is written
  kUpdateUnlessIdentical,  // verify first; update only when the flash does not hold the image
                           // (and reload the FPGA when it holds it but runs another version)
  kIdentify,               // only ask who the device is (no image, no initialisation)
};
inline constexpr JobMode kJobModes[] = {JobMode::kUpdate, JobMode::kVerify,
                                        JobMode::kUpdateUnlessIdentical, JobMode::kIdentify};
// "update", "verify", "update-unless-identical", "identify": stable, for records and callers.
std::string_view jobModeName(JobMode mode);
// The mode of that name; std::invalid_argument naming every mode for another text.
JobMode parseJobMode(std::string_view name);

struct UpdateOptions {
  JobMode mode = JobMode::kUpdate;
  std::int64_t device_type = flash::kDefaultDeviceType;
  bool init = true;                       // initialise the controller first (initFpga)
  bool check_version = true;              // initialisation's minimum FPGA version
  double timeout = kDefaultTimeout;       // seconds for each reply
  std::optional<double> connect_timeout;  // seconds to connect; see connectTimeout()
  int window = kDefaultWindow;            // commands in flight at once
  // The keys whose signature the image must carry; with none, any image passes, as before.
  flash::TrustPolicy trust;
  // Write or reload an image older than the version the FPGA runs.
  bool allow_downgrade = false;
};

// The connect time-out of `options`: the one given, or the reply time-out up to
// kMaxConnectTimeout.
double connectTimeout(const UpdateOptions& options);

// Throws std::invalid_argument naming every option out of its range: a window outside 1 to
// flash::kMaxWindow, a time-out that is not positive (infinity waits for ever).
void validate(const UpdateOptions& options);

// How a device's job ended, as records and callers name it.
enum class Outcome {
  kUpdated,     // written and verified
  kUnchanged,   // already held (and, as far as known, ran) the image
  kReloaded,    // held the image; the FPGA was made to load it
  kVerified,    // a verify that matched
  kIdentified,  // the device answered who it is
  kSkipped,     // never started (a staged rollout stopped first)
  kFailed,
  kInterrupted,
};
inline constexpr Outcome kOutcomes[] = {
    Outcome::kUpdated,    Outcome::kUnchanged, Outcome::kReloaded, Outcome::kVerified,
    Outcome::kIdentified, Outcome::kSkipped,   Outcome::kFailed,   Outcome::kInterrupted};
// "updated", "unchanged", ...: stable, for records and scripts.
std::string_view outcomeName(Outcome outcome);
// The outcome of that name, if any.
std::optional<Outcome> parseOutcome(std::string_view name);
// Whether the device holds (and, where known, runs) the image, or answered who it is.
bool succeeded(Outcome outcome);

}  // namespace kestrix::jobs
