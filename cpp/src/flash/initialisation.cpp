#include <string>

#include "kestrix/flash/device_profile.hpp"
#include "kestrix/flash/fpga_tool.hpp"
#include "kestrix/flash/initialisation.hpp"
#include "kestrix/wire/protocol.hpp"

namespace kestrix::flash {

RetType initialiseController(FpgaCommands& commands, std::int64_t device_type,
                             bool disable_fw_check) {
  Host& host = commands.channel().host();
  Json result = {{"success", false},       {"error_message", ""}, {"device_count", 0},
                 {"device_info", nullptr}, {"fpga_id", ""},       {"fw_version", ""},
                 {"fpga_version", ""}};
  const DeviceProfile& profile = deviceProfile(device_type);
  if (!profile.init_accepted) {
    const std::string message =
        "Device type " + std::to_string(device_type) + " is not supported for FPGA update.";
    host.log(LogLevel::WARNING, message);
    return RetType(RetCode::WARNING, message);
  }
  commands.initialiseController();
  commands.setConfigMode(wire::kCfgModeTrans);
  const std::string fpga_id = commands.fpgaId();
  result["fpga_id"] = fpga_id;
  host.log(LogLevel::INFO, "FPGA ID: " + fpga_id);
  if (profile.min_fpga_version) {
    const std::string fpga_version = commands.fpgaVersion();
    result["fpga_version"] = fpga_version;
    host.log(LogLevel::INFO, "FPGA Version: " + fpga_version);
    if (!fpga_version.empty() && !disable_fw_check &&
        host.versionLess(fpga_version, *profile.min_fpga_version)) {
      const std::string message = "FPGA version " + fpga_version +
                                  " is lower than minimum required version " +
                                  std::string(*profile.min_fpga_version) + ".";
      host.log(LogLevel::WARNING, message);
      return RetType(RetCode::WARNING, message);
    }
  }
  result["success"] = true;
  return RetType(RetCode::OK, "FPGA initialized successfully", std::move(result));
}

bool controlFwVersionAccepted(FpgaCommands& commands) {
  Host& host = commands.channel().host();
  const std::string reply = commands.controlFwVersion();
  const std::string fw_ver = host.versionText(reply);
  host.log(LogLevel::DEBUG, "RIS control FW version: " + fw_ver);
  if (host.versionLess(reply, kFpgaFwVerMin)) {
    host.log(LogLevel::WARNING, "RIS control FW version " + fw_ver +
                                    " is lower than minimum required version " +
                                    std::string(kFpgaFwVerMin));
    return false;
  }
  return true;
}

// The façade's names.

RetType FpgaTool::initFpga(std::int64_t device_type, bool disable_fw_check) {
  try {
    return initialise(device_type, disable_fw_check);
  } catch (const std::exception& error) {
    // An interrupt is the caller's, not a failure of the device.
    if (host_->isCancellation(error)) throw;
    const std::string message = "FPGA initialization failed: " + host_->errorText(error);
    log(LogLevel::ERROR, message);
    return RetType(RetCode::ERROR, message);
  }
}

RetType FpgaTool::initialise(std::int64_t device_type, bool disable_fw_check) {
  return initialiseController(*commands_, device_type, disable_fw_check);
}

bool FpgaTool::_checkControlFwVersion() {
  return controlFwVersionAccepted(*commands_);
}

}  // namespace kestrix::flash
