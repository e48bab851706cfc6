// The C++ base class LobeSteer driven through a recording fake device class: the wrapped
// operations on every path, fast parallel mode, the lazy manager, the command list and the
// not-implemented base versions.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "kestrix/lobesteer/lobe_steer.hpp"

namespace kestrix::lobesteer {
namespace {

struct HookFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

using Calls = std::vector<std::string>;

// A device class whose hooks record their calls and answer from a script: a record from
// `answers` (success without payload when absent), or HookFailure(call) when listed in `raising`.
class RecordingDevice : public LobeSteer {
 public:
  Calls calls;
  std::map<std::string, RetType> answers;
  std::set<std::string> raising;

  int factory_calls = 0;
  int factory_failures_left = 0;
  bool factory_returns_empty = false;

  using LobeSteer::_beam_pattern_mgr;

  RetType getFastBeamGain(RFMode rf_mode, int beam_id) override {
    return hook("getFastBeamGain " + std::to_string(static_cast<int>(rf_mode)) + " " +
                std::to_string(beam_id));
  }
  RetType getFastBeamPattern(int beam_id) override {
    return hook("getFastBeamPattern " + std::to_string(beam_id));
  }
  RetType setFastBeamGain(RFMode rf_mode, int beam_id, bool enable, int com_gain,
                          int ele_gain) override {
    return hook("setFastBeamGain " + std::to_string(static_cast<int>(rf_mode)) + " " +
                std::to_string(beam_id) + " " + std::to_string(enable) + " " +
                std::to_string(com_gain) + " " + std::to_string(ele_gain));
  }
  RetType setFastBeamPatternThetaPhi(int beam_id, double, double, double) override {
    return hook("setFastBeamPatternThetaPhi " + std::to_string(beam_id));
  }
  RetType setFastBeamPatternAzEl(int beam_id, double, double, double) override {
    return hook("setFastBeamPatternAzEl " + std::to_string(beam_id));
  }

  // A pattern-storing operation of this device class.
  RetType storeBeam(int beam_id) {
    return withBeamPatternSetup([&] { return hook("store " + std::to_string(beam_id)); });
  }
  // A wrapped operation that runs another wrapped operation.
  RetType storeThenErase() {
    return withBeamPatternSetup([&] {
      hook("outer");
      return eraseFastBeamConfig();
    });
  }

 protected:
  BeamPatternManagerHandle _create_beam_pattern_mgr() override {
    ++factory_calls;
    if (factory_failures_left > 0) {
      --factory_failures_left;
      throw HookFailure("factory");
    }
    if (factory_returns_empty) return nullptr;
    return std::make_shared<BeamPatternManager>();
  }

  RetType _setBeamPatternEnable(const std::string& flag) override { return hook("enable " + flag); }
  RetType _eraseBeamPattern(int user_delay) override {
    return hook("erase " + std::to_string(user_delay));
  }
  RetType _applyBeamPatternToBFIC(int user_delay) override {
    return hook("apply " + std::to_string(user_delay));
  }
  RetType _getExtCtrl() override { return hook("getExtCtrl"); }
  RetType _setExtCtrl(const std::string& text) override { return hook("setExtCtrl " + text); }
  RetType _reboot() override { return hook("reboot"); }

 private:
  RetType hook(const std::string& call) {
    calls.push_back(call);
    if (raising.count(call)) throw HookFailure(call);
    auto it = answers.find(call);
    return it == answers.end() ? RetType() : it->second;
  }
};

const RetType kRebooted(Json{{"rebooted", true}});
const RetType kRefused(RetCode::ERROR, "refused", Json("why"));
const RetType kWarned(RetCode::WARNING, "careful");

void expectSame(const RetType& actual, const RetType& expected) {
  EXPECT_EQ(actual.code, expected.code);
  EXPECT_EQ(actual.message, expected.message);
  EXPECT_EQ(actual.data, expected.data);
}

const Calls kSyncAll = {"enable 1", "erase 2", "reboot", "enable 0", "apply 2"};

struct WrappedCase {
  const char* name;
  std::map<std::string, RetType> answers;
  std::set<std::string> raising;
  Calls calls;
  RetType result;     // when nothing escapes
  std::string raise;  // the escaping failure, if any
};

class LobeSteerSyncFastBeamConfig : public ::testing::TestWithParam<WrappedCase> {};

TEST_P(LobeSteerSyncFastBeamConfig, FollowsTheSetupSequence) {
  const WrappedCase& c = GetParam();
  RecordingDevice device;
  device.answers = c.answers;
  device.raising = c.raising;
  if (c.raise.empty()) {
    expectSame(device.syncFastBeamConfig(), c.result);
  } else {
    try {
      device.syncFastBeamConfig();
      ADD_FAILURE() << "nothing escaped";
    } catch (const HookFailure& e) {
      EXPECT_EQ(std::string(e.what()), c.raise);
    }
  }
  EXPECT_EQ(device.calls, c.calls);
  EXPECT_FALSE(device.external_control_enabled);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, LobeSteerSyncFastBeamConfig,
    ::testing::Values(
        WrappedCase{"AllSucceed", {{"reboot", kRebooted}}, {}, kSyncAll, kRebooted, ""},
        WrappedCase{"EnableFails",
                    {{"enable 1", kRefused}},
                    {},
                    {"enable 1", "enable 0", "apply 2"},
                    kRefused,
                    ""},
        WrappedCase{"EnableWarns",
                    {{"enable 1", kWarned}},
                    {},
                    {"enable 1", "enable 0", "apply 2"},
                    kWarned,
                    ""},
        WrappedCase{"EraseFails",
                    {{"erase 2", kRefused}},
                    {},
                    {"enable 1", "erase 2", "enable 0", "apply 2"},
                    kRefused,
                    ""},
        WrappedCase{"RebootFails", {{"reboot", kRefused}}, {}, kSyncAll, kRefused, ""},
        WrappedCase{"CleanupRecordsIgnored",
                    {{"reboot", kRebooted}, {"enable 0", kRefused}, {"apply 2", kRefused}},
                    {},
                    kSyncAll,
                    kRebooted,
                    ""},
        WrappedCase{"EnableRaises",
                    {},
                    {"enable 1"},
                    {"enable 1", "enable 0", "apply 2"},
                    RetType(),
                    "enable 1"},
        WrappedCase{"EraseRaises",
                    {},
                    {"erase 2"},
                    {"enable 1", "erase 2", "enable 0", "apply 2"},
                    RetType(),
                    "erase 2"},
        WrappedCase{"RebootRaises", {}, {"reboot"}, kSyncAll, RetType(), "reboot"},
        WrappedCase{"DisableRaisesSkipsApply",
                    {},
                    {"enable 0"},
                    {"enable 1", "erase 2", "reboot", "enable 0"},
                    RetType(),
                    "enable 0"},
        WrappedCase{"ApplyRaises", {}, {"apply 2"}, kSyncAll, RetType(), "apply 2"},
        WrappedCase{"DisableReplacesRebootFailure",
                    {},
                    {"reboot", "enable 0"},
                    {"enable 1", "erase 2", "reboot", "enable 0"},
                    RetType(),
                    "enable 0"},
        WrappedCase{"ApplyReplacesEraseFailure",
                    {},
                    {"erase 2", "apply 2"},
                    {"enable 1", "erase 2", "enable 0", "apply 2"},
                    RetType(),
                    "apply 2"}),
    [](const ::testing::TestParamInfo<WrappedCase>& info) { return std::string(info.param.name); });

TEST(LobeSteerEraseFastBeamConfig, SuccessWithoutPayload) {
  RecordingDevice device;
  device.answers["erase 2"] = RetType(Json("erased"));
  const RetType ret = device.eraseFastBeamConfig();
  EXPECT_EQ(ret.code, RetCode::OK);
  EXPECT_TRUE(ret.data.is_null());
  EXPECT_EQ(device.calls, (Calls{"enable 1", "erase 2", "enable 0", "apply 2"}));
}

TEST(LobeSteerEraseFastBeamConfig, EnableFailureSkipsTheErase) {
  RecordingDevice device;
  device.answers["enable 1"] = kRefused;
  expectSame(device.eraseFastBeamConfig(), kRefused);
  EXPECT_EQ(device.calls, (Calls{"enable 1", "enable 0", "apply 2"}));
}

TEST(LobeSteerWrappedOperation, DeviceOperationRunsBetweenEraseAndDisable) {
  RecordingDevice device;
  device.answers["store 9"] = kRefused;
  expectSame(device.storeBeam(9), kRefused);
  EXPECT_EQ(device.calls, (Calls{"enable 1", "erase 2", "store 9", "enable 0", "apply 2"}));
}

TEST(LobeSteerWrappedOperation, NoNestingGuard) {
  RecordingDevice device;
  const RetType ret = device.storeThenErase();
  EXPECT_EQ(ret.code, RetCode::OK);
  EXPECT_EQ(device.calls, (Calls{"enable 1", "erase 2", "outer", "enable 1", "erase 2", "enable 0",
                                 "apply 2", "enable 0", "apply 2"}));
}

TEST(LobeSteerFastParallelMode, SetSendsFlagAndModeAndRecordsTheState) {
  struct Case {
    bool enable;
    FBSMode mode;
    bool use_default;
    const char* sent;
  };
  const Case cases[] = {
      {true, FBSMode::FULL_GAIN_PHASE, true, "setExtCtrl 1,3"},
      {false, FBSMode::FULL_GAIN_PHASE, true, "setExtCtrl 0,3"},
      {true, FBSMode::PHASE_ONLY, false, "setExtCtrl 1,1"},
      {false, FBSMode::GAIN_ONLY, false, "setExtCtrl 0,2"},
  };
  for (const Case& c : cases) {
    RecordingDevice device;
    device.external_control_enabled = !c.enable;
    device.answers[c.sent] = RetType(Json("device data"));
    const RetType ret = c.use_default ? device.setFastParallelMode(c.enable)
                                      : device.setFastParallelMode(c.enable, c.mode);
    EXPECT_EQ(ret.code, RetCode::OK);
    EXPECT_TRUE(ret.data.is_null()) << "the hook's payload must not be passed on";
    EXPECT_EQ(device.calls, Calls{c.sent});
    EXPECT_EQ(device.external_control_enabled, c.enable);
  }
}

TEST(LobeSteerFastParallelMode, FailedSetKeepsTheState) {
  RecordingDevice device;
  ASSERT_EQ(device.setFastParallelMode(true).code, RetCode::OK);
  device.answers["setExtCtrl 0,3"] = kRefused;
  expectSame(device.setFastParallelMode(false), kRefused);
  EXPECT_TRUE(device.external_control_enabled);
  device.raising.insert("setExtCtrl 0,1");
  EXPECT_THROW(device.setFastParallelMode(false, FBSMode::PHASE_ONLY), HookFailure);
  EXPECT_TRUE(device.external_control_enabled);
}

TEST(LobeSteerFastParallelMode, GetReadsTheReportedState) {
  struct Case {
    Json data;
    bool on;
  };
  const Case cases[] = {{Json("0"), false}, {Json("1"), true},  {Json(" 1 "), true},
                        {Json("5"), true},  {Json(0), false},   {Json(2), true},
                        {Json(-1), true},   {Json(true), true}, {Json(0u), false}};
  for (const Case& c : cases) {
    RecordingDevice device;
    device.answers["getExtCtrl"] = RetType(c.data);
    const RetType ret = device.getFastParallelMode();
    EXPECT_EQ(ret.code, RetCode::OK);
    EXPECT_EQ(ret.data, Json(c.on)) << c.data.dump();
    EXPECT_EQ(device.calls, Calls{"getExtCtrl"});
    EXPECT_FALSE(device.external_control_enabled);
  }
}

TEST(LobeSteerFastParallelMode, GetPassesFailuresOn) {
  RecordingDevice device;
  device.answers["getExtCtrl"] = kRefused;
  expectSame(device.getFastParallelMode(), kRefused);
  for (const Json& bad : {Json(""), Json("1,3"), Json(nullptr), Json(1.5), Json::array()}) {
    device.answers["getExtCtrl"] = RetType(bad);
    EXPECT_THROW(device.getFastParallelMode(), std::invalid_argument) << bad.dump();
  }
  device.raising.insert("getExtCtrl");
  EXPECT_THROW(device.getFastParallelMode(), HookFailure);
  for (const std::string& call : device.calls) EXPECT_EQ(call, "getExtCtrl");
}

TEST(LobeSteerLazyManager, CreatedOnFirstUseOnly) {
  RecordingDevice device;
  EXPECT_EQ(device.factory_calls, 0);
  EXPECT_EQ(device._beam_pattern_mgr, nullptr);
  const BeamPatternManagerHandle first = device.beam_pattern_mgr();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(device.beam_pattern_mgr(), first);
  EXPECT_EQ(device._beam_pattern_mgr, first);
  EXPECT_EQ(device.factory_calls, 1);
}

TEST(LobeSteerLazyManager, RetriedAfterAFailingFactory) {
  RecordingDevice device;
  device.factory_failures_left = 1;
  EXPECT_THROW(device.beam_pattern_mgr(), HookFailure);
  EXPECT_EQ(device._beam_pattern_mgr, nullptr);
  EXPECT_NE(device.beam_pattern_mgr(), nullptr);
  EXPECT_EQ(device.factory_calls, 2);
}

TEST(LobeSteerLazyManager, EmptyFactoryResultIsAskedAgain) {
  RecordingDevice device;
  device.factory_returns_empty = true;
  EXPECT_EQ(device.beam_pattern_mgr(), nullptr);
  EXPECT_EQ(device.beam_pattern_mgr(), nullptr);
  EXPECT_EQ(device.factory_calls, 2);
}

TEST(LobeSteerLazyManager, EachDeviceHasItsOwn) {
  RecordingDevice a;
  RecordingDevice b;
  EXPECT_NE(a.beam_pattern_mgr(), b.beam_pattern_mgr());
  EXPECT_EQ(a.factory_calls, 1);
  EXPECT_EQ(b.factory_calls, 1);
}

TEST(LobeSteerCommandList, FreshCopyInTableOrder) {
  std::vector<FbsCommandEntry> first = LobeSteer::_fbs_cmd_dict();
  ASSERT_EQ(first.size(), 8u);
  EXPECT_EQ(first.front().hook, "_getExtCtrl");
  EXPECT_EQ(first.front().command, "ExtCtrl_EN?");
  EXPECT_EQ(first.back().hook, "_applyBeamPatternToBFIC");
  EXPECT_EQ(first.back().command, "BEAM_PATTERN_APPLY_BFIC");
  for (const auto& e : first) EXPECT_EQ(e.rsp_type, RspType::RSP_STRING);
  first[0].command = "changed";
  first.pop_back();
  const std::vector<FbsCommandEntry> second = LobeSteer::_fbs_cmd_dict();
  ASSERT_EQ(second.size(), 8u);
  EXPECT_EQ(second[0].command, "ExtCtrl_EN?");
}

TEST(LobeSteerInterface, SetFastBeamGainDefaultsToZeroGains) {
  RecordingDevice device;
  LobeSteer& base = device;
  base.setFastBeamGain(RFMode::RX, 4, true);
  base.setFastBeamGain(RFMode::TX, 5, false, 7);
  EXPECT_EQ(device.calls, (Calls{"setFastBeamGain 1 4 1 0 0", "setFastBeamGain 0 5 0 7 0"}));
}

// A device class that provides the abstract operations by calling the base versions and has no
// hooks at all.
class BareDevice : public LobeSteer {
 public:
  RetType getFastBeamGain(RFMode m, int id) override { return LobeSteer::getFastBeamGain(m, id); }
  RetType getFastBeamPattern(int id) override { return LobeSteer::getFastBeamPattern(id); }
  RetType setFastBeamGain(RFMode m, int id, bool e, int c, int g) override {
    return LobeSteer::setFastBeamGain(m, id, e, c, g);
  }
  RetType setFastBeamPatternThetaPhi(int id, double f, double t, double p) override {
    return LobeSteer::setFastBeamPatternThetaPhi(id, f, t, p);
  }
  RetType setFastBeamPatternAzEl(int id, double f, double a, double e) override {
    return LobeSteer::setFastBeamPatternAzEl(id, f, a, e);
  }

 protected:
  BeamPatternManagerHandle _create_beam_pattern_mgr() override {
    return LobeSteer::_create_beam_pattern_mgr();
  }
};

TEST(LobeSteerInterface, BaseVersionsAreNotImplemented) {
  BareDevice device;
  LobeSteer& base = device;
  EXPECT_THROW(device.getFastBeamGain(RFMode::TX, 1), NotImplementedError);
  EXPECT_THROW(device.getFastBeamPattern(1), NotImplementedError);
  EXPECT_THROW(base.setFastBeamGain(RFMode::TX, 1, true), NotImplementedError);
  EXPECT_THROW(device.setFastBeamPatternThetaPhi(1, 28e9, 10, 20), NotImplementedError);
  EXPECT_THROW(device.setFastBeamPatternAzEl(1, 28e9, 10, 20), NotImplementedError);
  EXPECT_THROW(device.beam_pattern_mgr(), NotImplementedError);
  // A missing hook fails only when an operation needs it, and the failure names it.
  EXPECT_THROW(device.getFastParallelMode(), NotImplementedError);
  EXPECT_THROW(device.setFastParallelMode(true), NotImplementedError);
  try {
    device.syncFastBeamConfig();
    FAIL() << "nothing escaped";
  } catch (const NotImplementedError& e) {
    // Storage-on fails, then the storage-off of the cleanup fails and replaces it.
    EXPECT_NE(std::string(e.what()).find("_setBeamPatternEnable"), std::string::npos);
  }
  EXPECT_FALSE(device.external_control_enabled);
}

}  // namespace
}  // namespace kestrix::lobesteer
