#include "kestrix/sim/device.hpp"

#include <algorithm>
#include <charconv>
#include <stdexcept>
#include <utility>

#include "kestrix/contracts/json.hpp"
#include "kestrix/contracts/modes.hpp"
#include "kestrix/crypto/sha256.hpp"
#include "kestrix/lobesteer/fast_beam.hpp"
#include "kestrix/sim/replies.hpp"
#include "kestrix/wire/protocol.hpp"

namespace kestrix::sim {
namespace {

namespace wire = kestrix::wire;

constexpr std::size_t kPage = wire::kPageSize;
constexpr std::size_t kMaxHexDump = 4096;

// The command word of a prefix that ends in the argument's space.
constexpr std::string_view word(std::string_view prefix) {
  return prefix.substr(0, prefix.size() - 1);
}

void line(std::string& reply, std::string_view text) {
  reply.append(text).append(replies::kLineEnd);
}

void ok(std::string& reply) {
  line(reply, replies::kOk);
}

void fail(std::string& reply, std::string_view what) {
  reply.append(replies::kErrorPrefix).append(what).append(replies::kLineEnd);
}

void flag(std::string& reply, bool on) {
  line(reply, on ? replies::kOn : replies::kOff);
}

// Whole decimal text, nothing else.
bool parseNumber(std::string_view text, std::uint64_t* value) {
  if (text.empty()) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return ec == std::errc() && end == text.data() + text.size();
}

// Commands that take no argument refuse one: a device that ignored it would hide a host bug.
bool noArgument(const Command& command, std::string& reply) {
  if (command.argument.empty() && !command.has_block) return true;
  fail(reply, std::string(command.name) + " takes no argument");
  return false;
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

std::string defaultFeInfo(const std::string& fpga_version) {
  Json info = Json::object();
  info["FE0"]["fpga_ver"] = fpga_version;
  return info.dump();
}

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
      fpga_version_(options_.fpga_version),
      read_header_(wire::definiteLengthHeader(kPage)) {
  if (options_.flash_size == 0 || options_.flash_size % kPage != 0) {
    throw std::invalid_argument("flash size must be a positive multiple of " +
                                std::to_string(kPage) + " bytes");
  }
  flash_.assign(options_.flash_size, '\xff');
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

void Device::loadFlash(std::string content) {
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

// --- configuration flash -------------------------------------------------------------------------

void Device::program(const Command& command, std::string& reply) {
  if (!command.has_block) {
    fail(reply, "FPGA_PROGRAM needs a definite-length data block");
    return;
  }
  const std::string_view data = command.data;
  if (data.empty()) {
    fail(reply, "empty block");
    return;
  }
  if (data.size() > kPage) {
    fail(reply, "block longer than a page");
    return;
  }
  const std::size_t offset = page_ptr_ * kPage;
  if (offset + data.size() > flash_.size()) {
    fail(reply, "block past the end of flash");
    return;
  }
  ++stats_.program;
  const bool refused_here =
      faults_.refuse_from.has_value() && offset + data.size() > *faults_.refuse_from;
  if (refused_here || refusals_here_ < faults_.refuse_blocks) {
    if (!refused_here) ++refusals_here_;
    ++stats_.refused;
    line(reply, replies::kBlockRefused);
    return;
  }
  std::copy(data.begin(), data.end(), flash_.begin() + static_cast<std::ptrdiff_t>(offset));
  flash_changed_ = true;
  ++page_ptr_;
  refusals_here_ = 0;
  line(reply, replies::kBlockAccepted);
}

void Device::read(const Command& command, std::string& reply) {
  if (!noArgument(command, reply)) return;
  const std::size_t offset = page_ptr_ * kPage;
  if (offset + kPage > flash_.size()) {
    fail(reply, "read past the end of flash");
    return;
  }
  ++stats_.read;
  const std::size_t start = reply.size() + read_header_.size();
  reply.append(read_header_).append(flash_, offset, kPage).append(wire::kLineEnd);
  if (faults_.corrupt_read && *faults_.corrupt_read >= offset &&
      *faults_.corrupt_read < offset + kPage) {
    char& byte = reply[start + (*faults_.corrupt_read - offset)];
    byte = static_cast<char>(~byte);
  }
  ++page_ptr_;
  refusals_here_ = 0;
}

void Device::erase(const Command& command, std::string& reply) {
  std::uint64_t bits = 0;
  if (!parseNumber(command.argument, &bits)) {
    fail(reply, "FPGA_ERASE needs the erase bits in decimal");
    return;
  }
  std::fill(flash_.begin(), flash_.end(), '\xff');
  flash_changed_ = true;
  ++stats_.erase;
  ok(reply);
}

void Device::resetPagePointer(const Command& command, std::string& reply) {
  if (command.argument != wire::kSectionCfg) {
    fail(reply, "unknown section");
    return;
  }
  page_ptr_ = 0;
  refusals_here_ = 0;
  ok(reply);
}

// --- controller ----------------------------------------------------------------------------------

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

// --- fast beam -----------------------------------------------------------------------------------

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

// --- the simulator's debug queries ---------------------------------------------------------------

void Device::debugSha256(const Command& command, std::string& reply) {
  std::uint64_t length = flash_.size();
  if (!command.argument.empty() &&
      (!parseNumber(command.argument, &length) || length > flash_.size())) {
    fail(reply, "length must be a number up to the flash size");
    return;
  }
  crypto::Sha256 hasher;
  hasher.update(std::string_view(flash_).substr(0, length));
  line(reply, hasher.hexdigest());
}

void Device::debugHex(const Command& command, std::string& reply) {
  const std::string_view arg = command.argument;
  const std::size_t comma = arg.find(',');
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  if (comma == std::string_view::npos || !parseNumber(arg.substr(0, comma), &offset) ||
      !parseNumber(arg.substr(comma + 1), &length) || length > kMaxHexDump ||
      offset > flash_.size() || length > flash_.size() - offset) {
    fail(reply, "takes <offset>,<length> inside the flash, length up to 4096");
    return;
  }
  line(reply,
       crypto::toHex(reinterpret_cast<const unsigned char*>(flash_.data()) + offset, length));
}

void Device::debugPagePointer(const Command& command, std::string& reply) {
  if (noArgument(command, reply)) line(reply, std::to_string(page_ptr_));
}

void Device::debugStats(const Command& command, std::string& reply) {
  if (!noArgument(command, reply)) return;
  Json stats = Json::object();
  stats["commands"] = stats_.commands;
  stats["program"] = stats_.program;
  stats["refused"] = stats_.refused;
  stats["read"] = stats_.read;
  stats["erase"] = stats_.erase;
  stats["refresh"] = stats_.refresh;
  stats["stored_beams"] = stored_beams_;
  stats["reboots"] = reboots_;
  line(reply, stats.dump());
}

}  // namespace kestrix::sim
