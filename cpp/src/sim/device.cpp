// The device's command table and what it does with every command: dispatch, the flash it starts
// with. The commands themselves live by subject in device_flash.cpp, device_controller.cpp,
// device_fast_beam.cpp and device_debug.cpp.
#include "kestrix/sim/device.hpp"

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "device_reply.hpp"
#include "kestrix/lobesteer/fast_beam.hpp"
#include "kestrix/wire/protocol.hpp"

namespace kestrix::sim {

using device_reply::fail;

namespace {

namespace wire = kestrix::wire;

constexpr std::size_t kPage = wire::kPageSize;

// The command word of a prefix that ends in the argument's space.
constexpr std::string_view word(std::string_view prefix) {
  return prefix.substr(0, prefix.size() - 1);
}

// The command word the core sends through `hook`: the device answers exactly what the host's
// table says, so the two cannot drift apart. Empty for a hook the table does not have.
constexpr std::string_view fbsCommand(std::string_view hook) {
  for (const lobesteer::FbsCommand& entry : lobesteer::kFbsCommandTable) {
    if (entry.hook == hook) return entry.command;
  }
  return {};
}

constexpr std::string_view kStoreEnable = fbsCommand("_setBeamPatternEnable");
constexpr std::string_view kStoreEnableQuery = fbsCommand("_getBeamPatternEnable");
constexpr std::string_view kPatternErase = fbsCommand("_eraseBeamPattern");
constexpr std::string_view kStoreTdbsBeam = fbsCommand("_setBeamPatternStoreTDBS");
constexpr std::string_view kStoreFbsBeam = fbsCommand("_setBeamPatternStoreFBS");
constexpr std::string_view kApplyBfic = fbsCommand("_applyBeamPatternToBFIC");
constexpr std::string_view kExtCtrl = fbsCommand("_setExtCtrl");
constexpr std::string_view kExtCtrlQuery = fbsCommand("_getExtCtrl");
// A hook renamed in the core fails the build here rather than leaving a command unanswered.
static_assert(!kStoreEnable.empty() && !kStoreEnableQuery.empty() && !kPatternErase.empty() &&
              !kStoreTdbsBeam.empty() && !kStoreFbsBeam.empty() && !kApplyBfic.empty() &&
              !kExtCtrl.empty() && !kExtCtrlQuery.empty());

}  // namespace

// Looked up by a linear scan: a couple of dozen short names, most traffic matching the first two.
const Device::Entry Device::kCommands[] = {
    {kProgramCommand, &Device::program},
    {wire::kRead, &Device::read},
    {word(wire::kErasePrefix), &Device::erase},
    {word(wire::kRstPagePtrPrefix), &Device::resetPagePointer},
    {wire::kCtrlInit, &Device::ctrlInit},
    {word(wire::kCfgModePrefix), &Device::cfgMode},
    {wire::kDone, &Device::done},
    {wire::kRefresh, &Device::refresh},
    {wire::kReinit, &Device::reinit},
    {wire::kGetId, &Device::getId},
    {wire::kGetVersion, &Device::getFpgaVersion},
    {wire::kGetControlFwVer, &Device::getFwVersion},
    {wire::kGetSerialNumber, &Device::getSerial},
    {wire::kGetInfo, &Device::getFeInfo},
    {kIdentify, &Device::identify},
    {kStoreEnable, &Device::setStoreEnable},
    {kStoreEnableQuery, &Device::getStoreEnable},
    {kPatternErase, &Device::erasePatterns},
    {kStoreTdbsBeam, &Device::storeBeam},
    {kStoreFbsBeam, &Device::storeBeam},
    {kApplyBfic, &Device::applyBfic},
    {lobesteer::kRebootCommand, &Device::reboot},
    {kExtCtrl, &Device::setExtCtrl},
    {kExtCtrlQuery, &Device::getExtCtrl},
    {"SIM_FLASH_SHA256?", &Device::debugSha256},
    {"SIM_FLASH_HEX?", &Device::debugHex},
    {"SIM_PAGE_PTR?", &Device::debugPagePointer},
    {"SIM_STATS?", &Device::debugStats},
};

Device::Device(DeviceOptions options, DeviceFaults faults)
    : options_(std::move(options)),
      faults_(faults),
      flash_(options_.flash_size),
      fpga_version_(options_.fpga_version),
      read_header_(wire::definiteLengthHeader(kPage)) {
  if (options_.flash_size == 0 || options_.flash_size % kPage != 0) {
    throw std::invalid_argument("flash size must be a positive multiple of " +
                                std::to_string(kPage) + " bytes");
  }
}

bool Device::isDebugQuery(std::string_view name) {
  return name.substr(0, 4) == "SIM_";
}

void Device::handle(const Command& command, std::string& reply) {
  if (!isDebugQuery(command.name)) ++stats_.commands;
  for (const Entry& entry : kCommands) {
    if (entry.name == command.name) {
      (this->*entry.handler)(command, reply);
      return;
    }
  }
  fail(reply, "unknown command");
}

void Device::refuse(std::string_view error, std::string& reply) {
  fail(reply, error);
}

void Device::loadFlash(FlashStore content) {
  if (content.size() != flash_.size()) {
    throw std::invalid_argument("flash image holds " + std::to_string(content.size()) +
                                " bytes, the flash " + std::to_string(flash_.size()));
  }
  flash_ = std::move(content);
  flash_changed_ = false;
}

bool Device::takeFlashChanged() {
  return std::exchange(flash_changed_, false);
}

}  // namespace kestrix::sim
