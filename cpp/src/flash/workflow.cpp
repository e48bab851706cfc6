// The update workflow: the checks, the engine and the version read-back.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "kestrix/contracts/errors.hpp"
#include "kestrix/flash/failure.hpp"
#include "kestrix/flash/fpga_tool.hpp"
#include "kestrix/flash/image_check.hpp"
#include "kestrix/flash/trust.hpp"
#include "kestrix/wire/protocol.hpp"

namespace kestrix::flash {

void FpgaTool::set_progress_callback(std::shared_ptr<ProgressCallback> callback) {
  const std::lock_guard<std::mutex> lock(settings_);
  progress_ = std::move(callback);
}

void FpgaTool::set_progress_callback(FunctionProgress::Function callback) {
  set_progress_callback(std::make_shared<FunctionProgress>(std::move(callback)));
}

std::shared_ptr<ProgressCallback> FpgaTool::progress_callback() const {
  const std::lock_guard<std::mutex> lock(settings_);
  return progress_;
}

void FpgaTool::set_trust_policy(TrustPolicy policy) {
  const std::lock_guard<std::mutex> lock(settings_);
  trust_policy_ = std::move(policy);
}

TrustPolicy FpgaTool::trust_policy() const {
  const std::lock_guard<std::mutex> lock(settings_);
  return trust_policy_;
}

namespace {

std::string versionForLog(const Json& version) {
  return version.is_string() ? version.get<std::string>() : version.dump();
}

}  // namespace

RetType FpgaTool::processFpgaUpdate(const std::optional<std::string>& image_path,
                                    std::int64_t device_type) {
  Json result = {{"success", false}, {"error_message", ""}, {"fw_version", ""}};
  const auto fail = [&](std::string_view message) {
    log(LogLevel::ERROR, message);
    return RetType(RetCode::ERROR, std::string(message));
  };
  if (!image_path || image_path->empty()) return fail(messages::kPathNotProvided);
  if (!_checkUpdateFile(*image_path)) return fail(messages::kFileCheckFailed);
  // The header check reads the image once; exactly those bytes are programmed.
  Image image;
  if (!checkFileHeader(*image_path, *host_, &image)) return fail(messages::kHeaderCheckFailed);
  if (image.container) {
    if (auto mismatch = deviceTypeMismatch(image.device_types, device_type)) {
      log(LogLevel::ERROR, *mismatch);
      return RetType(RetCode::ERROR, *mismatch);
    }
  }
  // Decided on the bytes about to be programmed; with no trusted key nothing is looked at.
  if (const TrustPolicy policy = trust_policy(); !policy.empty()) {
    const TrustVerdict verdict = checkImageTrust(*image_path, image, policy);
    if (!verdict.accepted) return fail(verdict.message);
    log(LogLevel::INFO, "FPGA image " + verdict.message);
  }
  if (!programImage(image, *image_path, device_type)) return fail(messages::kProcessFailed);

  Json version = readFpgaVersion(device_type);
  log(LogLevel::INFO, "Updated FPGA version: " + versionForLog(version));
  log(LogLevel::INFO, "FPGA update process completed successfully.");
  result["success"] = true;
  result["fw_version"] = std::move(version);
  return RetType(std::move(result));
}

}  // namespace kestrix::flash
