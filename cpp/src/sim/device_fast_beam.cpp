// The fast beam settings: storing beam patterns, applying them, rebooting the RF side, and the
// external control mode.
#include "kestrix/sim/device.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "device_reply.hpp"
#include "kestrix/contracts/modes.hpp"
#include "kestrix/sim/replies.hpp"

namespace kestrix::sim {

using device_reply::fail;
using device_reply::flag;
using device_reply::noArgument;
using device_reply::ok;
using device_reply::parseNumber;

void Device::setStoreEnable(const Command& command, std::string& reply) {
  if (command.argument == replies::kOn || command.argument == replies::kOff) {
    store_enabled_ = command.argument == replies::kOn;
    ok(reply);
    return;
  }
  fail(reply, std::string(command.name) + " takes 0 or 1");
}

void Device::getStoreEnable(const Command& command, std::string& reply) {
  if (noArgument(command, reply)) flag(reply, store_enabled_);
}

// Erasing and storing patterns is only allowed while storage is enabled, as on the device; an
// argument (the host's delay) is accepted and has no effect here.
void Device::erasePatterns(const Command&, std::string& reply) {
  if (!store_enabled_) {
    fail(reply, "beam pattern storage not enabled");
    return;
  }
  stored_beams_ = 0;
  ok(reply);
}

void Device::storeBeam(const Command&, std::string& reply) {
  if (!store_enabled_) {
    fail(reply, "beam pattern storage not enabled");
    return;
  }
  ++stored_beams_;
  ok(reply);
}

void Device::applyBfic(const Command&, std::string& reply) {
  ok(reply);
}

// The device restarts its RF side and reloads its stored beams; the link and the flash stay.
void Device::reboot(const Command&, std::string& reply) {
  ++reboots_;
  ok(reply);
}

void Device::setExtCtrl(const Command& command, std::string& reply) {
  const std::string_view arg = command.argument;
  const std::size_t comma = arg.find(',');
  std::uint64_t enable = 0;
  std::uint64_t mode = 0;
  if (comma == std::string_view::npos || !parseNumber(arg.substr(0, comma), &enable) ||
      !parseNumber(arg.substr(comma + 1), &mode) || enable > 1) {
    fail(reply, std::string(command.name) + " takes <0|1>,<mode>");
    return;
  }
  if (mode < static_cast<std::uint64_t>(FBSMode::PHASE_ONLY) ||
      mode > static_cast<std::uint64_t>(FBSMode::FULL_GAIN_PHASE)) {
    fail(reply, "unknown fast beam mode");
    return;
  }
  ext_ctrl_enabled_ = enable == 1;
  ext_ctrl_mode_ = static_cast<int>(mode);
  ok(reply);
}

void Device::getExtCtrl(const Command& command, std::string& reply) {
  if (noArgument(command, reply)) flag(reply, ext_ctrl_enabled_);
}

}  // namespace kestrix::sim
