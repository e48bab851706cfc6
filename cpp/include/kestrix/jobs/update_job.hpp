// A whole update of one device as tools run it (kestrix-flash, fleets, automation): the image is
// checked offline first, then the device is reached, identified, initialised, programmed, verified
// and asked for its new version, and one report says what happened, the kind of any failure
// included. Nothing goes to standard output; progress goes to an observer and messages to the
// host's log.
//
// Two refusals guard what a device is given. With trusted keys (trust.hpp), an image whose
// signature does not satisfy them is refused when it is loaded, so no device is touched. And an
// image that declares an FPGA version older than the one a device reports running is not written
// into it, nor is the FPGA made to reload it, unless downgrades are allowed: the job fails with
// Failure::kDowngradeRefused right after the device said who it is, before initialisation. A
// device whose version cannot be read, or does not parse as a version, is not refused, nor is an
// image that declares none: what cannot be compared is not known to be older. A verify refuses
// no downgrade, since it changes nothing.
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
#include "kestrix/flash/image.hpp"
#include "kestrix/flash/trust.hpp"
#include "kestrix/jobs/device_address.hpp"
#include "kestrix/jobs/job_options.hpp"
#include "kestrix/net/event_loop.hpp"

namespace kestrix::jobs {

// The tool's values that jobs are made of.
using flash::EngineObserver;
using flash::EngineRun;
using flash::Failure;
using flash::FailureCategory;
using flash::Image;
using flash::kDefaultDeviceType;
using flash::kPhaseCount;
using flash::Phase;
using flash::TrustPolicy;
using flash::TrustStatus;
using flash::TrustVerdict;

// What one job did. Text fields hold what the device answered ("" when it was not asked).
struct UpdateReport {
  DeviceAddress address;
  std::int64_t device_type = 0;
  JobMode mode = JobMode::kUpdate;
  // The image.
  std::string image_path;                    // empty for kIdentify
  std::string image_abspath;                 // the image's absolute path, once it was read
  std::string image_kind;                    // "bin", "tbin", or "" for a name with neither suffix
  std::uint64_t image_size = 0;              // the bytes programmed (a tbin's image region)
  std::string image_sha256;                  // of those bytes, once they were read
  std::optional<std::string> image_version;  // the FPGA version the image declares
  // Its signature as the trust policy judged it, once it was read: the status, the full id of
  // the key the signature names (when it could be read), and whether it verified under a
  // trusted key.
  std::optional<TrustStatus> trust_status;
  std::optional<std::string> signing_key_id;
  bool signature_verified = false;
  // The device.
  std::string device_id;
  std::string serial;
  std::string control_fw_version;
  std::string fpga_version_before;
  std::string fpga_version_after;  // after an update, or a check that found the image in place
  // The outcome.
  Failure failure = Failure::kNone;
  bool unchanged = false;  // verified identical, so nothing was written
  // The flash held the image but the FPGA ran another version than the image declares, so the
  // FPGA was made to reload its configuration (nothing was written).
  bool reloaded = false;
  std::string error;  // for people; empty on success
  // The byte offset a failure is about: the block refused, or the first byte read back wrong.
  std::optional<std::uint64_t> failed_offset;
  bool identical = false;  // kVerify, kUpdateUnlessIdentical: the flash held the image
  // An erase or a write began: the flash may no longer hold what it held before the job.
  bool flash_touched = false;
  std::uint64_t bytes_written = 0;
  std::uint64_t retries = 0;
  std::array<double, kPhaseCount> phase_seconds{};
  double seconds = 0;      // the whole job
  std::string started_at;  // UTC, ISO 8601 with milliseconds: 2026-12-08T03:35:33.123Z
  std::string finished_at;
  // Who ran the job, and the change it belongs to (set by the fleet for the record).
  std::string run_by_user;
  std::string run_by_host;
  std::string change_id;

  bool ok() const { return failure == Failure::kNone; }
};

struct JobContext {
  std::shared_ptr<Host> host = defaultHost();  // logs, clocks, sleeps, versions
  EngineObserver* observer = nullptr;          // may be null
  CancelToken cancel;
  // Called first inside the job; what it throws ends the job as a failure, like the observer's.
  std::function<void()> started;
  // Called with the serial number the device reports, before anything is changed on it: returns
  // the entry of another job that already claimed that device, which makes this one fail as the
  // same device ("" when the serial is this job's to use).
  std::function<std::string(const std::string& serial)> claim_serial;
  // Drives the job's windowed transfers (shared by a fleet's jobs); null: the job's own thread.
  std::shared_ptr<net::EventLoop> loop;
};

// Now, in UTC, ISO 8601 with milliseconds: 2026-12-08T03:35:33.123Z.
std::string utcTimestampMillis();

// Why a job with `options` cannot run with the image at `image_path`, found without the device:
// a device type without a profile, or one initialisation refuses when it is asked for, or an image
// that fails its checks or is made for another device type. `error` is the check's message with
// what it means ("FPGA image path not found: x.bin (no such file)"). The signature is not looked
// at here: loadJobImage judges it on the bytes it reads.
struct OfflineFault {
  Failure failure = Failure::kNone;
  std::string error;
};
std::optional<OfflineFault> checkJobOffline(const std::string& image_path,
                                            const UpdateOptions& options);

// The image of a job or a fleet, read and checked once before any device is touched: every
// device programs and verifies exactly these bytes, whatever happens to the file afterwards.
struct JobImage {
  std::string path;     // as given
  std::string abspath;  // absolute, as it was when it was read
  std::string kind;     // "bin", "tbin", or ""
  Image image;
  std::string sha256;  // of image.bytes
  TrustVerdict trust;  // its signature, judged on these bytes by the load's trust policy
};

// Fills in what `report` says of the image a job was given.
void describeImage(const JobImage& image, UpdateReport& report);
// An image's kind by its name: "bin", "tbin", or "" for a name with neither suffix.
std::string imageKind(const std::string& path);

// The image loaded for `options`, or why it cannot be used (checkJobOffline's faults, found on
// the bytes that were read). kIdentify needs no image: neither is set. An image that passed its
// checks but whose signature options.trust refuses is kept beside its fault
// (Failure::kImageUntrusted, the verdict's message), so reports still name it and its verdict;
// no job programs it.
struct LoadedImage {
  std::shared_ptr<const JobImage> image;
  std::optional<OfflineFault> fault;
};
LoadedImage loadJobImage(const std::string& image_path, const UpdateOptions& options);

// Runs one job with an image already loaded (its fault, if any, is the job's failure, without a
// connection). Never throws for anything the image, the device or the link does: every such
// failure ends up in the report. A cancellation ends it with Failure::kInterrupted, the device
// left as it was.
UpdateReport runUpdateJob(const DeviceAddress& address, const LoadedImage& image,
                          const UpdateOptions& options, const JobContext& context);
// The same, loading the image at `image_path` first.
UpdateReport runUpdateJob(const DeviceAddress& address, const std::string& image_path,
                          const UpdateOptions& options, const JobContext& context);

}  // namespace kestrix::jobs
