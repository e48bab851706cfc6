// One device's job: reach it, identify it, initialise it, then verify, program or reload it as
// the job's mode says, with the report filled in as it goes.
#include "kestrix/jobs/update_job.hpp"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <exception>
#include <utility>

#include "job_failure.hpp"
#include "kestrix/contracts/errors.hpp"
#include "kestrix/contracts/text.hpp"
#include "kestrix/contracts/version.hpp"
#include "kestrix/flash/command_channel.hpp"
#include "kestrix/flash/device_profile.hpp"
#include "kestrix/flash/engine.hpp"
#include "kestrix/flash/fpga_commands.hpp"
#include "kestrix/flash/image_version.hpp"
#include "kestrix/flash/initialisation.hpp"
#include "kestrix/net/tcp_connection.hpp"
#include "kestrix/wire/protocol.hpp"

namespace kestrix::jobs {

using detail::classify;
using detail::failWith;
using detail::JobFailure;
using flash::CommandChannel;
using flash::deviceProfile;
using flash::Engine;
using flash::EngineSettings;
using flash::FpgaCommands;
using flash::initialiseController;
using flash::olderVersion;
using flash::readFpgaVersion;
using flash::sameVersion;

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

using Clock = std::chrono::steady_clock;

// The job's steps, with the report filled in as they go.
class Job {
 public:
  Job(const DeviceAddress& address, const LoadedImage& loaded, const UpdateOptions& options,
      const JobContext& context, UpdateReport& report)
      : loaded_(loaded),
        options_(options),
        context_(context),
        host_(context.host),
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
    CommandChannel channel(conn_, host_);
    channel.setCancelToken(context_.cancel);
    FpgaCommands commands(channel);
    EngineSettings settings;
    settings.show_progress = false;
    settings.window = options_.window;
    Engine engine(commands, settings);
    try {
      identify(commands);
      if (options_.mode == JobMode::kIdentify) return;
      claimDevice();
      refuseDowngrade();
      if (options_.init) initialise(commands);
      const Image& image = loaded_.image->image;
      if (options_.mode != JobMode::kUpdate) {
        // Where an update erases first, it leaves the bytes after the image erased: a flash
        // holding more than the image does not hold the image.
        const bool erased_tail = deviceProfile(options_.device_type).erase_bits.has_value();
        report_.identical = engine.verify(image, &run_, erased_tail);
        if (report_.identical) return settleIdentical(commands, engine);
        if (options_.mode == JobMode::kVerify) verifyFailed(false);
        run_.first_difference.reset();
      }
      // A flash that did not verify must not be loaded: the FPGA keeps what it runs.
      run_.reload_unverified = false;
      if (!engine.program(image, loaded_.image->path, options_.device_type, &run_))
        verifyFailed(true);
      report_.fpga_version_after = runningVersion(commands);
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
    report_.flash_touched = run_.flash_touched;
    if (conn_) conn_->closeConnection();
  }

 private:
  void connect() {
    net::TcpOptions tcp;
    tcp.connect_timeout = connectTimeout(options_);
    tcp.timeout = options_.timeout;
    tcp.loop = context_.loop;
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
  void identify(FpgaCommands& commands) {
    report_.device_id = commands.fpgaId();
    const std::string_view busy = wire::kBusyReply;
    if (report_.device_id.rfind(busy, 0) == 0) {
      // "ERR busy: why" from the device becomes "device busy: why".
      failWith(Failure::kDeviceBusy, "device busy" + report_.device_id.substr(busy.size()));
    }
    report_.serial = commands.serialNumber();
    report_.control_fw_version = commands.controlFwVersion();
    try {
      report_.fpga_version_before = runningVersion(commands);
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

  void initialise(FpgaCommands& commands) {
    const RetType ret =
        initialiseController(commands, options_.device_type, !options_.check_version);
    if (!ret.ok()) failWith(Failure::kVersionTooLow, ret.message);
  }

  // The flash holds the image. It is unchanged only when the FPGA also runs it, as far as the
  // image declares a version and the device reports one.
  void settleIdentical(FpgaCommands& commands, Engine& engine) {
    report_.fpga_version_after = runningVersion(commands);
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
      engine.reload(options_.device_type);
    } catch (const std::exception& error) {
      if (host_->isCancellation(error))
        run_.interruption =
            "interrupted while the FPGA reloads its configuration: the flash holds the image, "
            "but the FPGA may not run it yet; run the update again";
      throw;
    }
    run_.seconds[static_cast<std::size_t>(Phase::kReload)] +=
        std::chrono::duration<double>(Clock::now() - start).count();
    report_.fpga_version_after = runningVersion(commands);
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

  // The FPGA version the device runs, as text.
  std::string runningVersion(FpgaCommands& commands) const {
    const Json version = readFpgaVersion(commands, options_.device_type);
    return version.is_string() ? version.get<std::string>() : version.dump();
  }

  const LoadedImage& loaded_;
  const UpdateOptions& options_;
  const JobContext& context_;
  std::shared_ptr<Host> host_;
  UpdateReport& report_;
  EngineRun run_;
  std::shared_ptr<net::TcpConnection> conn_;
};

}  // namespace

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
  if (!image.image) report.image_kind = imageKind(image_path);
  return report;
}

}  // namespace kestrix::jobs
