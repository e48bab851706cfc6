// Loading a job's image once, and what a job with some options cannot do whatever the device.
#include <filesystem>
#include <memory>
#include <string>
#include <utility>

#include "kestrix/contracts/errors.hpp"
#include "kestrix/crypto/sha256.hpp"
#include "kestrix/flash/image_check.hpp"
#include "kestrix/flash/image_pack.hpp"
#include "kestrix/jobs/update_job.hpp"

namespace kestrix::jobs {

using flash::checkImageFile;
using flash::DeviceProfile;
using flash::deviceProfile;
using flash::deviceTypeMismatch;
using flash::failureOf;
using flash::faultHint;
using flash::hasDeviceProfile;
using flash::ImageFault;
using flash::ImageReport;
using flash::inspectImage;
using flash::kRawSuffix;
using flash::kTbinSuffix;
using flash::lowerSuffix;
using flash::profiledDeviceTypes;

namespace {

// A check's message followed by what the fault means.
std::string explained(const std::string& message, ImageFault fault) {
  const std::string_view hint = faultHint(fault);
  return hint.empty() ? message : message + " (" + std::string(hint) + ")";
}

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
    // Named in each tool's words, since the same refusal reaches all of them.
    return OfflineFault{Failure::kDeviceTypeUnsupported,
                        "Device type " + type +
                            " cannot be initialised for an FPGA update, as updates are by "
                            "default: update it with --skip-init (init=False in Python, init: "
                            "false in Ansible)"};
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

std::string imageKind(const std::string& path) {
  const std::string suffix = lowerSuffix(path);
  if (suffix == kRawSuffix) return "bin";
  if (suffix == kTbinSuffix) return "tbin";
  return "";
}

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
  image->kind = imageKind(image_path);
  image->sha256 = image->image.sha256;
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

}  // namespace kestrix::jobs
