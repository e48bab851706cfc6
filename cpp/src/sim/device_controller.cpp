// The FPGA configuration controller's own commands: initialisation, modes, reloading the FPGA,
// and what the device says of itself (IDs, versions, serial number, front-end information).
#include "kestrix/sim/device.hpp"

#include <string>

#include "device_reply.hpp"
#include "kestrix/contracts/json.hpp"
#include "kestrix/sim/replies.hpp"

namespace kestrix::sim {

using device_reply::fail;
using device_reply::line;
using device_reply::noArgument;
using device_reply::ok;

namespace {

std::string defaultFeInfo(const std::string& fpga_version) {
  Json info = Json::object();
  info["FE0"]["fpga_ver"] = fpga_version;
  return info.dump();
}

}  // namespace

void Device::ctrlInit(const Command& command, std::string& reply) {
  if (noArgument(command, reply)) ok(reply);
}

void Device::cfgMode(const Command& command, std::string& reply) {
  if (command.argument.empty()) {
    fail(reply, "FPGA_CFG_MODE needs a mode");
    return;
  }
  ok(reply);
}

void Device::done(const Command& command, std::string& reply) {
  if (noArgument(command, reply)) ok(reply);
}

void Device::refresh(const Command& command, std::string& reply) {
  if (!noArgument(command, reply)) return;
  // The FPGA reloads its configuration: from now on it is the updated one.
  if (options_.version_after_update) fpga_version_ = *options_.version_after_update;
  ++stats_.refresh;
  ok(reply);
}

void Device::reinit(const Command& command, std::string& reply) {
  if (noArgument(command, reply)) ok(reply);
}

void Device::getId(const Command& command, std::string& reply) {
  if (noArgument(command, reply)) line(reply, options_.device_id);
}

void Device::getFpgaVersion(const Command& command, std::string& reply) {
  if (noArgument(command, reply)) line(reply, fpga_version_);
}

void Device::getFwVersion(const Command& command, std::string& reply) {
  if (noArgument(command, reply)) line(reply, options_.fw_version);
}

void Device::getSerial(const Command& command, std::string& reply) {
  if (noArgument(command, reply)) line(reply, options_.serial);
}

// "<maker>,<model>,<serial>,<firmware version>", the identification SCPI instruments give.
void Device::identify(const Command& command, std::string& reply) {
  if (!noArgument(command, reply)) return;
  reply.append(kMaker).append(",").append(kModel).append(",").append(options_.serial);
  reply.append(",").append(options_.fw_version).append(replies::kLineEnd);
}

void Device::getFeInfo(const Command& command, std::string& reply) {
  if (!noArgument(command, reply)) return;
  line(reply, options_.fe_info ? *options_.fe_info : defaultFeInfo(fpga_version_));
}

}  // namespace kestrix::sim
