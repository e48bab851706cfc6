// A whole update of one device as tools run it (kestrix-flash, fleets, automation): the image is
// checked offline first, then the device is reached, identified, initialised, programmed, verified
// and asked for its new version, and one report says what happened, the kind of any failure
// included. Nothing goes to standard output; progress goes to an observer and messages to the
// host's log.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "kestrix/contracts/cancel.hpp"
#include "kestrix/contracts/connection.hpp"
#include "kestrix/contracts/host.hpp"
#include "kestrix/flash/device_profile.hpp"
#include "kestrix/flash/engine.hpp"
#include "kestrix/flash/failure.hpp"

namespace kestrix::flash {

struct DeviceAddress {
  std::string host;
  int port = kDefaultPort;
};

// "host", "host:port", "[v6 address]" or "[v6 address]:port" (a bare v6 address with more than
// one ':' is taken whole). Throws std::invalid_argument for an empty host, a port that is not a
// number from 1 to 65535, or a control character anywhere.
DeviceAddress parseDeviceAddress(std::string_view text, int default_port = kDefaultPort);
// The text form parseDeviceAddress reads back: "host:port", "[v6]:port".
std::string formatDeviceAddress(const DeviceAddress& address);

enum class JobMode {
  kUpdate,                 // erase, write, verify, reload
  kVerify,                 // read the image's length back and compare; nothing is written
  kUpdateUnlessIdentical,  // verify first; update only when the flash does not hold the image
  kIdentify,               // only ask who the device is (no image, no initialisation)
};

struct UpdateOptions {
  JobMode mode = JobMode::kUpdate;
  std::int64_t device_type = kDefaultDeviceType;
  bool init = true;           // initialise the controller first (initFpga)
  bool check_version = true;  // initialisation's minimum FPGA version
  double connect_timeout = 5.0;
  double timeout = 10.0;  // seconds for each reply
  int window = 1;         // commands in flight at once (FpgaTool::set_window)
};

// What one job did. Text fields hold what the device answered ("" when it was not asked).
struct UpdateReport {
  DeviceAddress address;
  std::int64_t device_type = 0;
  JobMode mode = JobMode::kUpdate;
  // The image.
  std::string image_path;        // empty for kIdentify
  std::string image_kind;        // "bin", "tbin", or "" for a name with neither suffix
  std::uint64_t image_size = 0;  // the bytes programmed (a tbin's image region)
  std::string image_sha256;      // of those bytes, once they were read
  // The device.
  std::string device_id;
  std::string serial;
  std::string control_fw_version;
  std::string fpga_version_before;
  std::string fpga_version_after;  // after an update, or a check that found the image in place
  // The outcome.
  Failure failure = Failure::kNone;
  bool unchanged = false;  // verified identical, so nothing was written
  std::string error;       // for people; empty on success
  // The byte offset a failure is about: the block refused, or the first byte read back wrong.
  std::optional<std::uint64_t> failed_offset;
  bool identical = false;  // kVerify, kUpdateUnlessIdentical: the flash held the image
  std::uint64_t bytes_written = 0;
  std::uint64_t retries = 0;
  std::array<double, kPhaseCount> phase_seconds{};
  double seconds = 0;      // the whole job
  std::string started_at;  // UTC, ISO 8601 with milliseconds: 2026-12-08T03:35:33.123Z
  std::string finished_at;

  bool ok() const { return failure == Failure::kNone; }
};

struct JobContext {
  std::shared_ptr<Host> host = defaultHost();  // logs, clocks, sleeps, versions
  EngineObserver* observer = nullptr;          // may be null
  CancelToken cancel;
  // Called first inside the job; what it throws ends the job as a failure, like the observer's.
  std::function<void()> started;
};

// Why a job with `options` cannot run with the image at `image_path`, found without the device:
// a device type without a profile, or one initialisation refuses when it is asked for, or an image
// that fails its checks or is made for another device type. `error` is the check's message with
// what it means ("FPGA image path not found: x.bin (no such file)").
struct OfflineFault {
  Failure failure = Failure::kNone;
  std::string error;
};
std::optional<OfflineFault> checkJobOffline(const std::string& image_path,
                                            const UpdateOptions& options);

// Runs one job. Never throws for anything the image, the device or the link does: every such
// failure ends up in the report. A cancellation ends it with Failure::kInterrupted, the device
// left as it was.
UpdateReport runUpdateJob(const DeviceAddress& address, const std::string& image_path,
                          const UpdateOptions& options, const JobContext& context);

}  // namespace kestrix::flash
