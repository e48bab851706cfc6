#include "kestrix/jobs/update_job.hpp"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <exception>
#include <filesystem>
#include <stdexcept>
#include <utility>

#include "kestrix/contracts/errors.hpp"
#include "kestrix/contracts/text.hpp"
#include "kestrix/contracts/version.hpp"
#include "kestrix/crypto/sha256.hpp"
#include "kestrix/flash/fpga_tool.hpp"
#include "kestrix/flash/image_check.hpp"
#include "kestrix/flash/image_pack.hpp"
#include "kestrix/flash/image_version.hpp"
#include "kestrix/net/tcp_connection.hpp"
#include "kestrix/wire/protocol.hpp"

namespace kestrix::jobs {

// The tool's parts this file uses.
using flash::checkImageFile;
using flash::DeviceProfile;
using flash::deviceProfile;
using flash::deviceTypeMismatch;
using flash::failureOf;
using flash::faultHint;
using flash::FpgaTool;
using flash::hasDeviceProfile;
using flash::ImageFault;
using flash::ImageReport;
using flash::ImageTooLargeError;
using flash::inspectImage;
using flash::kRawSuffix;
using flash::kTbinSuffix;
using flash::lowerSuffix;
using flash::olderVersion;
using flash::profiledDeviceTypes;
using flash::sameVersion;
namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

std::string utcTimestampMillis() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[32];
  const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(millis));
  return text;
}

namespace {

std::string sha256Hex(std::string_view bytes) {
  crypto::Sha256 hasher;
  hasher.update(bytes);
  return hasher.hexdigest();
}

// Forwards everything to the job's host and keeps the first error-level message since reset(), so
// a check that only says "false" can still say why.
class CapturingHost final : public Host {
 public:
  explicit CapturingHost(std::shared_ptr<Host> inner) : inner_(std::move(inner)) {}

  void reset() { first_error_.clear(); }
  const std::string& firstError() const { return first_error_; }

  void log(LogLevel level, std::string_view message) override {
    if (level == LogLevel::ERROR && first_error_.empty()) first_error_ = message;
    inner_->log(level, message);
  }
  bool logEnabled(LogLevel level) override { return inner_->logEnabled(level); }
  void writeStdout(std::string_view text, bool flush) override { inner_->writeStdout(text, flush); }
  bool stdoutIsTerminal() override { return inner_->stdoutIsTerminal(); }
  double monotonicClock() override { return inner_->monotonicClock(); }
  double wallClock() override { return inner_->wallClock(); }
  void sleepSeconds(int seconds) override { inner_->sleepSeconds(seconds); }
  bool versionLess(std::string_view a, std::string_view b) override {
    return inner_->versionLess(a, b);
  }
  std::string versionText(std::string_view text) override { return inner_->versionText(text); }
  std::string errorText(const std::exception& error) override { return inner_->errorText(error); }
  void checkCancelled() override { inner_->checkCancelled(); }
  bool isCancellation(const std::exception& error) override {
    return inner_->isCancellation(error);
  }

 private:
  std::shared_ptr<Host> inner_;
  std::string first_error_;
};

// Ends the job with `failure`: thrown inside the job, caught once at its end.
struct JobFailure {
  Failure failure;
  std::string error;
  std::optional<std::uint64_t> offset;
};

[[noreturn]] void failWith(Failure failure, std::string error,
                           std::optional<std::uint64_t> offset = std::nullopt) {
  throw JobFailure{failure, std::move(error), offset};
}

// The failure an exception from the device's side of the job stands for.
JobFailure classify(const std::exception& error, Host& host) {
  if (host.isCancellation(error)) return {Failure::kInterrupted, host.errorText(error), {}};
  if (const auto* refused = dynamic_cast<const BlockRefusedError*>(&error))
    return {Failure::kBlockRefused, error.what(), refused->offset()};
  if (dynamic_cast<const TimeoutError*>(&error) != nullptr)
    return {Failure::kTimeout, error.what(), {}};
  if (dynamic_cast<const ResourceError*>(&error) != nullptr ||
      dynamic_cast<const std::bad_alloc*>(&error) != nullptr)
    return {Failure::kHostResources,
            std::string("this host ran out of resources for the device's link: ") + error.what() +
                " (fewer devices at once, or a higher limit of open files, would do)",
            {}};
  if (dynamic_cast<const ProtocolError*>(&error) != nullptr)
    return {Failure::kProtocol,
            std::string("the device answered against its protocol: ") + error.what(),
            {}};
  if (dynamic_cast<const ConnectionError*>(&error) != nullptr)
    return {Failure::kConnectionLost, error.what(), {}};
  if (const auto* too_large = dynamic_cast<const ImageTooLargeError*>(&error))
    return {Failure::kImageInvalid, too_large->what(), {}};
  if (dynamic_cast<const FileError*>(&error) != nullptr)
    return {Failure::kImageInvalid, error.what(), {}};
  return {Failure::kUpdateFailed, host.errorText(error), {}};
}

// A check's message followed by what the fault means.
std::string explained(const std::string& message, ImageFault fault) {
  const std::string_view hint = faultHint(fault);
  return hint.empty() ? message : message + " (" + std::string(hint) + ")";
}

std::string kindOf(const std::string& path) {
  const std::string suffix = lowerSuffix(path);
  if (suffix == kRawSuffix) return "bin";
  if (suffix == kTbinSuffix) return "tbin";
  return "";
}

// The job's steps, with the report filled in as they go.
class Job {
 public:
  Job(const DeviceAddress& address, const LoadedImage& loaded, const UpdateOptions& options,
      const JobContext& context, UpdateReport& report)
      : loaded_(loaded),
        options_(options),
        context_(context),
        host_(std::make_shared<CapturingHost>(context.host)),
        report_(report) {
    report_.address = address;
    report_.device_type = options.device_type;
    report_.mode = options.mode;
    if (const JobImage* image = loaded.image.get()) describeImage(*image, report_);
    run_.observer = context.observer;
  }

  void run() {
    if (context_.started) context_.started();
    if (loaded_.fault) failWith(loaded_.fault->failure, loaded_.fault->error);
    connect();
    FpgaTool tool(conn_, host_);
    tool.set_show_progress(false);
    tool.set_cancel_token(context_.cancel);
    tool.set_window(options_.window);
    try {
      identify(tool);
      if (options_.mode == JobMode::kIdentify) return;
      claimDevice();
      refuseDowngrade();
      if (options_.init) initialise(tool);
      const Image& image = loaded_.image->image;
      if (options_.mode != JobMode::kUpdate) {
        // Where an update erases first, it leaves the bytes after the image erased: a flash
        // holding more than the image does not hold the image.
        const bool erased_tail = deviceProfile(options_.device_type).erase_bits.has_value();
        report_.identical = tool.verifyFlash(image, &run_, erased_tail);
        if (report_.identical) return settleIdentical(tool);
        if (options_.mode == JobMode::kVerify) verifyFailed(false);
        run_.first_difference.reset();
      }
      // A flash that did not verify must not be loaded: the FPGA keeps what it runs.
      run_.reload_unverified = false;
      if (!tool.programImage(image, loaded_.image->path, options_.device_type, &run_))
        verifyFailed(true);
      report_.fpga_version_after = versionText(tool.readFpgaVersion(options_.device_type));
      requireImageVersion("the image was written and verified, but after the reload");
    } catch (const JobFailure&) {
      throw;
    } catch (const std::exception& error) {
      throw classify(error, *host_);
    }
  }

  // Where an interrupted job stood, in the words the engine logged, or that nothing was written.
  void describeInterruption() {
    report_.error = !run_.interruption.empty()
                        ? run_.interruption
                        : "interrupted before anything was written: the flash is as it was";
  }

  void finish() {
    report_.bytes_written = run_.bytes_written;
    report_.retries = run_.retries;
    report_.phase_seconds = run_.seconds;
    if (conn_) conn_->closeConnection();
  }

 private:
  void connect() {
    net::TcpOptions tcp;
    tcp.connect_timeout = options_.connect_timeout;
    tcp.timeout = options_.timeout;
    conn_ = std::make_shared<net::TcpConnection>(report_.address.host, report_.address.port, tcp);
    const CancellationScope watch([this] {
      context_.cancel.throwIfCancelled();
      context_.host->checkCancelled();
    });
    bool open = false;
    try {
      open = conn_->initConnection();
    } catch (const std::exception& error) {
      throw classify(error, *host_);
    }
    if (!open) failWith(Failure::kUnreachable, conn_->connectError());
  }

  // Who answers: a device that is busy with another client says so at once.
  void identify(FpgaTool& tool) {
    report_.device_id = tool._fpgaGetId();
    const std::string_view busy = wire::kBusyReply;
    if (report_.device_id.rfind(busy, 0) == 0) {
      // "ERR busy: why" from the device becomes "device busy: why".
      failWith(Failure::kDeviceBusy, "device busy" + report_.device_id.substr(busy.size()));
    }
    report_.serial = tool._fpgaGetSerialNumber();
    report_.control_fw_version = tool._fpgaGetControlFwVer();
    try {
      report_.fpga_version_before = versionText(tool.readFpgaVersion(options_.device_type));
    } catch (const ProtocolError&) {
      // An information reply the tool cannot read costs the report a field, not the update.
    }
  }

  // Two entries of one list that reach the same device under different addresses: the device
  // is worked on once, by the job that claimed it first.
  void claimDevice() {
    if (!context_.claim_serial || report_.serial.empty()) return;
    const std::string other = context_.claim_serial(report_.serial);
    if (!other.empty())
      failWith(Failure::kDuplicateDevice, "same device as " + other + " (serial number " +
                                              printableText(report_.serial) +
                                              "); nothing was done to it here");
  }

  // Decided on the version the device reported before anything was sent to change it, so a
  // refused device is left exactly as it was. The kinds that write or reload are refused alike:
  // one that skips identical images would reload the older image held in the flash.
  void refuseDowngrade() {
    if (options_.allow_downgrade || options_.mode == JobMode::kVerify) return;
    if (!report_.image_version || report_.fpga_version_before.empty()) return;
    if (!olderVersion(*report_.image_version, report_.fpga_version_before)) return;
    failWith(Failure::kDowngradeRefused,
             "image version " + *report_.image_version + " is older than the running version " +
                 Version(report_.fpga_version_before).str() + "; --allow-downgrade to install it");
  }

  void initialise(FpgaTool& tool) {
    host_->reset();
    const RetType ret = tool.initialise(options_.device_type, !options_.check_version);
    if (!ret.ok()) failWith(Failure::kVersionTooLow, ret.message);
  }

  // The flash holds the image. It is unchanged only when the FPGA also runs it, as far as the
  // image declares a version and the device reports one.
  void settleIdentical(FpgaTool& tool) {
    report_.fpga_version_after = versionText(tool.readFpgaVersion(options_.device_type));
    if (options_.mode == JobMode::kUpdateUnlessIdentical) report_.unchanged = true;
    if (runsImageVersion()) return;
    if (options_.mode == JobMode::kVerify)
      failWith(Failure::kVersionMismatch, "the flash holds the image, but the FPGA runs version " +
                                              report_.fpga_version_after + ", not the image's " +
                                              *report_.image_version);
    // Loaded before the flash held the image, or its reload was cut short: reload it.
    report_.unchanged = false;
    report_.reloaded = true;
    host_->log(LogLevel::INFO, "The flash holds the image, but the FPGA runs version " +
                                   report_.fpga_version_after +
                                   ": making it load its configuration from the flash");
    if (run_.observer != nullptr) run_.observer->onPhase(Phase::kReload, 0);
    const auto start = Clock::now();
    try {
      tool.reloadConfiguration(options_.device_type);
    } catch (const std::exception& error) {
      if (host_->isCancellation(error))
        run_.interruption =
            "interrupted while the FPGA reloads its configuration: the flash holds the image, "
            "but the FPGA may not run it yet; run the update again";
      throw;
    }
    run_.seconds[static_cast<std::size_t>(Phase::kReload)] +=
        std::chrono::duration<double>(Clock::now() - start).count();
    report_.fpga_version_after = versionText(tool.readFpgaVersion(options_.device_type));
    requireImageVersion("the flash holds the image, but after a reload");
  }

  // Whether the FPGA runs the version the image declares; also when either is not known.
  bool runsImageVersion() const {
    return !report_.image_version || report_.fpga_version_after.empty() ||
           sameVersion(report_.fpga_version_after, *report_.image_version);
  }

  void requireImageVersion(const std::string& context) {
    if (runsImageVersion()) return;
    failWith(Failure::kVersionMismatch, context + " the FPGA runs version " +
                                            report_.fpga_version_after + ", not the image's " +
                                            *report_.image_version);
  }

  [[noreturn]] void verifyFailed(bool written) {
    const std::uint64_t size = loaded_.image->image.bytes.size();
    std::string error = "the flash does not read back as the image";
    if (run_.first_difference && *run_.first_difference >= size) {
      error = "the flash holds more than the image: the byte at offset " +
              std::to_string(*run_.first_difference) + ", after its end, is not erased";
    } else if (run_.first_difference) {
      error = "the flash reads back differently from the image, first at byte offset " +
              std::to_string(*run_.first_difference);
    }
    if (written)
      error +=
          "; the FPGA was not reloaded and keeps running its previous configuration: run the "
          "update again before the device restarts";
    failWith(Failure::kVerifyFailed, error, run_.first_difference);
  }

  static std::string versionText(const Json& version) {
    return version.is_string() ? version.get<std::string>() : version.dump();
  }

  const LoadedImage& loaded_;
  const UpdateOptions& options_;
  const JobContext& context_;
  std::shared_ptr<CapturingHost> host_;
  UpdateReport& report_;
  EngineRun run_;
  std::shared_ptr<net::TcpConnection> conn_;
};

// Why no device of this type can run a job with `options`, whatever the image.
std::optional<OfflineFault> deviceTypeFault(const UpdateOptions& options) {
  const DeviceProfile& profile = deviceProfile(options.device_type);
  const std::string type = std::to_string(options.device_type);
  if (!hasDeviceProfile(options.device_type)) {
    std::string supported;
    for (const std::int64_t known : profiledDeviceTypes())
      supported += (supported.empty() ? "" : ", ") + std::to_string(known);
    return OfflineFault{Failure::kDeviceTypeUnsupported,
                        "device type " + type + " is not supported (supported: " + supported + ")"};
  }
  if (options.init && !profile.init_accepted) {
    return OfflineFault{Failure::kDeviceTypeUnsupported,
                        "Device type " + type +
                            " is not supported for FPGA update. (Its controller is not "
                            "initialised: update it without initialisation.)"};
  }
  return std::nullopt;
}

// Collects the first error a check logs, and nothing else: loading an image logs nothing.
class FirstErrorHost final : public ProcessHost {
 public:
  void log(LogLevel level, std::string_view message) override {
    if (level == LogLevel::ERROR && first_error.empty()) first_error = message;
  }
  bool logEnabled(LogLevel level) override { return level >= LogLevel::ERROR; }
  std::string first_error;
};

std::string absolutePath(const std::string& path) {
  std::error_code ec;
  const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
  return ec ? path : absolute.lexically_normal().string();
}

}  // namespace

std::optional<OfflineFault> checkJobOffline(const std::string& image_path,
                                            const UpdateOptions& options) {
  // Asking a device who it is needs no image, and any device type says how to read its version.
  if (options.mode == JobMode::kIdentify) return std::nullopt;
  if (auto fault = deviceTypeFault(options)) return fault;
  const ImageReport image = inspectImage(image_path, options.device_type);
  if (image.passed) return std::nullopt;
  return OfflineFault{image.failure_kind, explained(image.failure, image.fault)};
}

LoadedImage loadJobImage(const std::string& image_path, const UpdateOptions& options) {
  LoadedImage loaded;
  if (options.mode == JobMode::kIdentify) return loaded;
  loaded.fault = deviceTypeFault(options);
  if (loaded.fault) return loaded;
  const auto fail = [&](Failure failure, std::string error) {
    loaded.fault = OfflineFault{failure, std::move(error)};
    return loaded;
  };
  FirstErrorHost host;
  auto image = std::make_shared<JobImage>();
  ImageFault fault = ImageFault::kNone;
  try {
    fault = checkImageFile(image_path, host);
    if (fault == ImageFault::kNone) fault = checkImageHeader(image_path, host, &image->image);
  } catch (const FileError& e) {
    return fail(Failure::kImageInvalid, e.what());
  }
  if (fault != ImageFault::kNone) return fail(failureOf(fault), explained(host.first_error, fault));
  // A tbin may carry an image of no bytes, whose digest passes: there is nothing to flash, and a
  // read-back of nothing would prove nothing.
  if (image->image.bytes.empty())
    return fail(
        Failure::kImageInvalid,
        explained(std::string(flash::messages::kImageEmpty) + image_path, ImageFault::kEmpty));
  if (!image->image.fpga_version_error.empty())
    return fail(Failure::kImageRejected, image->image.fpga_version_error);
  if (image->image.container) {
    if (auto mismatch = deviceTypeMismatch(image->image.device_types, options.device_type))
      return fail(Failure::kImageDeviceType, *mismatch);
  }
  image->path = image_path;
  image->abspath = absolutePath(image_path);
  image->kind = kindOf(image_path);
  image->sha256 = sha256Hex(image->image.bytes);
  // Judged on the bytes just read: a file swapped since cannot pass with another's signature.
  image->trust = checkImageTrust(image_path, image->image, options.trust);
  if (!image->trust.accepted)
    loaded.fault = OfflineFault{failureOf(image->trust), image->trust.message};
  loaded.image = std::move(image);
  return loaded;
}

void describeImage(const JobImage& image, UpdateReport& report) {
  report.image_path = image.path;
  report.image_abspath = image.abspath;
  report.image_kind = image.kind;
  report.image_size = image.image.bytes.size();
  report.image_sha256 = image.sha256;
  report.image_version = image.image.fpga_version;
  report.trust_status = image.trust.status;
  report.signing_key_id = image.trust.key_id;
  report.signature_verified = image.trust.verified();
}

UpdateReport runUpdateJob(const DeviceAddress& address, const LoadedImage& image,
                          const UpdateOptions& options, const JobContext& context) {
  UpdateReport report;
  report.started_at = utcTimestampMillis();
  const auto start = Clock::now();
  Job job(address, image, options, context, report);
  try {
    job.run();
  } catch (const JobFailure& failure) {
    report.failure = failure.failure;
    report.error = failure.error;
    report.failed_offset = failure.offset;
  } catch (const std::exception& error) {
    const JobFailure failure = classify(error, *context.host);
    report.failure = failure.failure;
    report.error = failure.error;
  }
  job.finish();
  if (report.failure == Failure::kInterrupted) job.describeInterruption();
  report.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  report.finished_at = utcTimestampMillis();
  return report;
}

UpdateReport runUpdateJob(const DeviceAddress& address, const std::string& image_path,
                          const UpdateOptions& options, const JobContext& context) {
  LoadedImage image = loadJobImage(image_path, options);
  UpdateReport report = runUpdateJob(address, image, options, context);
  // A job whose image could not be used still names it.
  if (!image.image) report.image_path = image_path;
  if (!image.image) report.image_kind = kindOf(image_path);
  return report;
}

}  // namespace kestrix::jobs
