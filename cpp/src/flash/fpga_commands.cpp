#include "kestrix/flash/fpga_commands.hpp"

#include "kestrix/wire/protocol.hpp"

namespace kestrix::flash {

std::string FpgaCommands::initialiseController() {
  return channel_.exchange(wire::kCtrlInit);
}
std::string FpgaCommands::fpgaId() {
  return channel_.exchange(wire::kGetId);
}
std::string FpgaCommands::fpgaVersion() {
  return channel_.exchange(wire::kGetVersion);
}
std::string FpgaCommands::setConfigMode(std::string_view mode) {
  return channel_.exchange(wire::withArgument(wire::kCfgModePrefix, mode));
}
std::string FpgaCommands::erase(std::string_view erase_bits) {
  return channel_.exchange(wire::withArgument(wire::kErasePrefix, erase_bits));
}
std::string FpgaCommands::resetPagePointer(std::string_view section) {
  return channel_.exchange(wire::withArgument(wire::kRstPagePtrPrefix, section));
}
bool FpgaCommands::programBlock(std::string_view block) {
  return wire::programAccepted(channel_.exchange(wire::programLine(block)));
}
Bytes FpgaCommands::readPage() {
  return channel_.exchangeRaw(wire::kRead);
}
std::string FpgaCommands::endProgramming() {
  return channel_.exchange(wire::kDone);
}
std::string FpgaCommands::reloadFromFlash() {
  return channel_.exchange(wire::kRefresh);
}
std::string FpgaCommands::reinitialiseRfModule() {
  return channel_.exchange(wire::kReinit);
}
std::string FpgaCommands::frontEndInfo() {
  return channel_.exchange(wire::kGetInfo);
}
std::string FpgaCommands::controlFwVersion() {
  return channel_.exchange(wire::kGetControlFwVer);
}
std::string FpgaCommands::serialNumber() {
  return channel_.exchange(wire::kGetSerialNumber);
}

}  // namespace kestrix::flash
