#include "kestrix/lobesteer/lobe_steer.hpp"

#include <stdexcept>
#include <string>
#include <vector>

namespace kestrix::lobesteer {

namespace {

[[noreturn]] void notImplemented(const char* operation) {
  throw NotImplementedError(std::string(operation) + " is not implemented by this device class");
}

struct HandleSlot {
  BeamPatternManagerHandle& handle;
  bool empty() const { return handle == nullptr; }
  void store(BeamPatternManagerHandle created) { handle = std::move(created); }
  const BeamPatternManagerHandle& get() const { return handle; }
};

}  // namespace

const BeamPatternManagerHandle& LobeSteer::beam_pattern_mgr() {
  HandleSlot slot{_beam_pattern_mgr};
  return lazyBeamPatternManager(slot, [this] { return _create_beam_pattern_mgr(); });
}

std::vector<FbsCommandEntry> LobeSteer::_fbs_cmd_dict() {
  std::vector<FbsCommandEntry> table;
  table.reserve(kFbsCommandTable.size());
  for (const FbsCommand& entry : kFbsCommandTable) {
    table.push_back({std::string(entry.hook), std::string(entry.command), entry.rsp_type});
  }
  return table;
}

RetType LobeSteer::getFastParallelMode() {
  Face face{*this};
  return readFastParallelMode(face);
}

RetType LobeSteer::setFastParallelMode(bool toEnable, FBSMode fbs_mode) {
  Face face{*this};
  return writeFastParallelMode(face, toEnable, static_cast<long long>(fbs_mode));
}

RetType LobeSteer::eraseFastBeamConfig() {
  // The erasing is the setup sequence's; the operation itself has nothing left to do.
  return withBeamPatternSetup([] { return RetType(); });
}

RetType LobeSteer::syncFastBeamConfig() {
  return withBeamPatternSetup([this] { return _reboot(); });
}

bool LobeSteer::Face::extCtrlState(const RetType& r) {
  const Json& data = r.data;
  if (data.is_string()) return externalControlState(data.get_ref<const std::string&>());
  if (data.is_number_integer()) return data.get<long long>() != 0;
  if (data.is_number_unsigned()) return data.get<unsigned long long>() != 0;
  if (data.is_boolean()) return data.get<bool>();
  throw std::invalid_argument("external control state must be an integer or decimal text, not " +
                              std::string(data.type_name()));
}

RetType LobeSteer::getFastBeamGain(RFMode, int) {
  notImplemented("getFastBeamGain");
}
RetType LobeSteer::getFastBeamPattern(int) {
  notImplemented("getFastBeamPattern");
}
RetType LobeSteer::setFastBeamGain(RFMode, int, bool, int, int) {
  notImplemented("setFastBeamGain");
}
RetType LobeSteer::setFastBeamPatternThetaPhi(int, double, double, double) {
  notImplemented("setFastBeamPatternThetaPhi");
}
RetType LobeSteer::setFastBeamPatternAzEl(int, double, double, double) {
  notImplemented("setFastBeamPatternAzEl");
}
BeamPatternManagerHandle LobeSteer::_create_beam_pattern_mgr() {
  notImplemented("_create_beam_pattern_mgr");
}

RetType LobeSteer::_setBeamPatternEnable(const std::string&) {
  notImplemented("_setBeamPatternEnable");
}
RetType LobeSteer::_eraseBeamPattern(int) {
  notImplemented("_eraseBeamPattern");
}
RetType LobeSteer::_applyBeamPatternToBFIC(int) {
  notImplemented("_applyBeamPatternToBFIC");
}
RetType LobeSteer::_getExtCtrl() {
  notImplemented("_getExtCtrl");
}
RetType LobeSteer::_setExtCtrl(const std::string&) {
  notImplemented("_setExtCtrl");
}
RetType LobeSteer::_reboot() {
  notImplemented("_reboot");
}

}  // namespace kestrix::lobesteer
