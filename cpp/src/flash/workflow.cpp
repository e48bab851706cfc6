// Initialisation with its version gate, and the update workflow.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "kestrix/contracts/errors.hpp"
#include "kestrix/flash/fpga_tool.hpp"
#include "kestrix/flash/image_check.hpp"
#include "kestrix/flash/protocol.hpp"

namespace kestrix::flash {

RetType FpgaTool::initFpga(std::int64_t device_type, bool disable_fw_check) {
  Json result = {{"success", false},       {"error_message", ""}, {"device_count", 0},
                 {"device_info", nullptr}, {"fpga_id", ""},       {"fw_version", ""},
                 {"fpga_version", ""}};
  if (std::find(kDeviceWhitelist.begin(), kDeviceWhitelist.end(), device_type) ==
      kDeviceWhitelist.end()) {
    const std::string message =
        "Device type " + std::to_string(device_type) + " is not supported for FPGA update.";
    log(LogLevel::WARNING, message);
    return RetType(RetCode::WARNING, message);
  }
  try {
    _fpgaCtrlInit();
    _fpgaCfgMode(protocol::kCfgModeTrans);
    const std::string fpga_id = _fpgaGetId();
    result["fpga_id"] = fpga_id;
    log(LogLevel::INFO, "FPGA ID: " + fpga_id);
    if (device_type == 32) {
      const std::string fpga_version = _fpgaGetVersion();
      result["fpga_version"] = fpga_version;
      log(LogLevel::INFO, "FPGA Version: " + fpga_version);
      if (!fpga_version.empty() && !disable_fw_check &&
          host_->versionLess(fpga_version, kFpgaVerMinDev32)) {
        const std::string message = "FPGA version " + fpga_version +
                                    " is lower than minimum required version " +
                                    std::string(kFpgaVerMinDev32) + ".";
        log(LogLevel::WARNING, message);
        return RetType(RetCode::WARNING, message);
      }
    }
    result["success"] = true;
    return RetType(RetCode::OK, "FPGA initialized successfully", std::move(result));
  } catch (const std::exception& error) {
    // An interrupt is the caller's, not a failure of the device.
    if (host_->isCancellation(error)) throw;
    const std::string message = "FPGA initialization failed: " + host_->errorText(error);
    log(LogLevel::ERROR, message);
    return RetType(RetCode::ERROR, message);
  }
}

bool FpgaTool::_checkControlFwVersion() {
  const std::string reply = _fpgaGetControlFwVer();
  const std::string fw_ver = host_->versionText(reply);
  log(LogLevel::DEBUG, "RIS control FW version: " + fw_ver);
  if (host_->versionLess(reply, kFpgaFwVerMin)) {
    log(LogLevel::WARNING, "RIS control FW version " + fw_ver +
                               " is lower than minimum required version " +
                               std::string(kFpgaFwVerMin));
    return false;
  }
  return true;
}

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

namespace {

// The FPGA version of device type 28: "fpga_ver" of the first device in the information reply.
Json versionFromInfo(const std::string& reply) {
  Json info;
  try {
    info = Json::parse(reply);
  } catch (const Json::parse_error& e) {
    throw ProtocolError(std::string("GET_FE_INFO reply is not JSON: ") + e.what());
  }
  if (!info.is_object()) throw ProtocolError("GET_FE_INFO reply is not a JSON object");
  if (info.empty()) return "";
  const Json& first = info.begin().value();
  if (!first.is_object())
    throw ProtocolError("GET_FE_INFO reply: the first device entry is not a JSON object");
  const auto ver = first.find("fpga_ver");
  return ver == first.end() ? Json("") : *ver;
}

std::string versionForLog(const Json& version) {
  return version.is_string() ? version.get<std::string>() : version.dump();
}

}  // namespace

RetType FpgaTool::processFpgaUpdate(const std::optional<std::string>& image_path,
                                    std::int64_t device_type) {
  Json result = {{"success", false}, {"error_message", ""}, {"fw_version", ""}};
  const auto fail = [&](const char* message) {
    log(LogLevel::ERROR, message);
    return RetType(RetCode::ERROR, message);
  };
  if (!image_path || image_path->empty()) return fail("FPGA image path is not provided.");
  if (!_checkUpdateFile(*image_path)) return fail("FPGA update file check failed.");
  // The header check reads the image once; exactly those bytes are programmed.
  Image image;
  if (!checkFileHeader(*image_path, *host_, &image)) return fail("FPGA image header check failed.");
  if (image.container) {
    if (auto mismatch = deviceTypeMismatch(image.device_types, device_type)) {
      log(LogLevel::ERROR, *mismatch);
      return RetType(RetCode::ERROR, *mismatch);
    }
  }
  if (!programImage(image, *image_path, device_type)) return fail("FPGA update process failed.");

  Json version = "";
  if (device_type == 32) {
    version = _fpgaGetVersion();
  } else if (device_type == 28) {
    version = versionFromInfo(_fpgaGetInfo());
  }
  log(LogLevel::INFO, "Updated FPGA version: " + versionForLog(version));
  log(LogLevel::INFO, "FPGA update process completed successfully.");
  result["success"] = true;
  result["fw_version"] = std::move(version);
  return RetType(std::move(result));
}

}  // namespace kestrix::flash
