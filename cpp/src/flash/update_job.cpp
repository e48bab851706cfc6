#include "kestrix/flash/update_job.hpp"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <exception>
#include <stdexcept>
#include <utility>

#include "kestrix/contracts/errors.hpp"
#include "kestrix/crypto/sha256.hpp"
#include "kestrix/flash/fpga_tool.hpp"
#include "kestrix/flash/image_check.hpp"
#include "kestrix/flash/image_pack.hpp"
#include "kestrix/flash/protocol.hpp"
#include "kestrix/net/tcp_connection.hpp"

namespace kestrix::flash {
namespace {

using Clock = std::chrono::steady_clock;

// UTC, ISO 8601, milliseconds: 2026-12-08T03:35:33.123Z.
std::string utcNow() {
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
  Job(const DeviceAddress& address, const std::string& image_path, const UpdateOptions& options,
      const JobContext& context, UpdateReport& report)
      : path_(image_path),
        options_(options),
        context_(context),
        host_(std::make_shared<CapturingHost>(context.host)),
        report_(report) {
    report_.address = address;
    report_.device_type = options.device_type;
    report_.mode = options.mode;
    report_.image_path = image_path;
    report_.image_kind = kindOf(image_path);
    run_.observer = context.observer;
  }

  void run() {
    if (context_.started) context_.started();
    checkOffline();
    connect();
    FpgaTool tool(conn_, host_);
    tool.set_show_progress(false);
    tool.set_cancel_token(context_.cancel);
    tool.set_window(options_.window);
    try {
      identify(tool);
      if (options_.mode == JobMode::kIdentify) return;
      if (options_.init) initialise(tool);
      const Image image = loadImage();
      if (options_.mode != JobMode::kUpdate) {
        report_.identical = tool.verifyFlash(image, &run_);
        if (options_.mode == JobMode::kVerify) {
          if (!report_.identical) verifyFailed();
          return;
        }
        if (report_.identical) {
          report_.unchanged = true;
          // Re-initialisation may have reloaded the FPGA from the flash: ask what it runs now.
          report_.fpga_version_after = versionText(tool.readFpgaVersion(options_.device_type));
          return;
        }
        run_.first_difference.reset();
      }
      const bool verified = tool.programImage(image, path_, options_.device_type, &run_);
      if (!verified) verifyFailed();
      report_.fpga_version_after = versionText(tool.readFpgaVersion(options_.device_type));
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
  // The image and the device type, before the device is reached.
  void checkOffline() {
    if (options_.mode == JobMode::kIdentify) return;
    if (const auto fault = checkJobOffline(path_, options_)) failWith(fault->failure, fault->error);
  }

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
    const std::string_view busy = protocol::kBusyReply;
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

  void initialise(FpgaTool& tool) {
    host_->reset();
    const RetType ret = tool.initialise(options_.device_type, !options_.check_version);
    if (!ret.ok()) failWith(Failure::kVersionTooLow, ret.message);
  }

  // The bytes that pass the checks now are the ones programmed and verified.
  Image loadImage() {
    host_->reset();
    ImageFault fault = checkImageFile(path_, *host_);
    Image image;
    if (fault == ImageFault::kNone) fault = checkImageHeader(path_, *host_, &image);
    if (fault != ImageFault::kNone)
      failWith(failureOf(fault), explained(host_->firstError(), fault));
    if (image.container) {
      if (auto mismatch = deviceTypeMismatch(image.device_types, options_.device_type))
        failWith(Failure::kImageDeviceType, *mismatch);
    }
    report_.image_size = image.bytes.size();
    report_.image_sha256 = sha256Hex(image.bytes);
    return image;
  }

  [[noreturn]] void verifyFailed() {
    if (run_.first_difference) {
      failWith(Failure::kVerifyFailed,
               "the flash reads back differently from the image, first at byte offset " +
                   std::to_string(*run_.first_difference),
               run_.first_difference);
    }
    failWith(Failure::kVerifyFailed, "the flash does not read back as the image");
  }

  static std::string versionText(const Json& version) {
    return version.is_string() ? version.get<std::string>() : version.dump();
  }

  const std::string& path_;
  const UpdateOptions& options_;
  const JobContext& context_;
  std::shared_ptr<CapturingHost> host_;
  UpdateReport& report_;
  EngineRun run_;
  std::shared_ptr<net::TcpConnection> conn_;
};

}  // namespace

std::optional<OfflineFault> checkJobOffline(const std::string& image_path,
                                            const UpdateOptions& options) {
  // Asking a device who it is needs no image, and any device type says how to read its version.
  if (options.mode == JobMode::kIdentify) return std::nullopt;
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
  const ImageReport image = inspectImage(image_path, options.device_type);
  if (image.passed) return std::nullopt;
  return OfflineFault{image.failure_kind, explained(image.failure, image.fault)};
}

DeviceAddress parseDeviceAddress(std::string_view text, int default_port) {
  const auto bad = [&](const std::string& why) {
    return std::invalid_argument("device address '" + std::string(text) + "': " + why);
  };
  for (const char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) throw bad("holds a control character");
  }
  DeviceAddress address;
  address.port = default_port;
  std::string_view host = text;
  std::string_view port;
  if (!text.empty() && text.front() == '[') {
    const auto close = text.find(']');
    if (close == std::string_view::npos) throw bad("'[' without ']'");
    host = text.substr(1, close - 1);
    const std::string_view rest = text.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') throw bad("text after ']' that is not ':port'");
      port = rest.substr(1);
      if (port.empty()) throw bad("no port after ':'");
    }
  } else if (const auto colon = text.rfind(':');
             colon != std::string_view::npos && text.find(':') == colon) {
    // One ':' separates the port; more make a bare IPv6 address.
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (port.empty()) throw bad("no port after ':'");
  }
  if (host.empty()) throw bad("no host");
  address.host = std::string(host);
  if (!port.empty()) {
    int value = 0;
    for (const char c : port) {
      if (c < '0' || c > '9' || value > 65535) throw bad("port must be a number from 1 to 65535");
      value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 65535) throw bad("port must be a number from 1 to 65535");
    address.port = value;
  }
  return address;
}

std::string formatDeviceAddress(const DeviceAddress& address) {
  const bool v6 = address.host.find(':') != std::string::npos;
  return (v6 ? "[" + address.host + "]" : address.host) + ":" + std::to_string(address.port);
}

UpdateReport runUpdateJob(const DeviceAddress& address, const std::string& image_path,
                          const UpdateOptions& options, const JobContext& context) {
  UpdateReport report;
  report.started_at = utcNow();
  const auto start = Clock::now();
  Job job(address, image_path, options, context, report);
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
  report.finished_at = utcNow();
  return report;
}

}  // namespace kestrix::flash
