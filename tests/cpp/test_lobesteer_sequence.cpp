// The shared fast beam rules over a bare device interface, without the C++ base class: the setup
// sequence's paths, the cleanup that raises (and the hand-over of the failure it replaces), the
// lazy manager rule, the external control text and its read-back, the command table and the
// command line.
#include <gtest/gtest.h>

#include <exception>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "kestrix/lobesteer/fast_beam.hpp"

namespace kestrix::lobesteer {
namespace {

struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A device whose result record is a plain text ("ok" is success) and whose calls are recorded.
// Every call answers from `answers` (default "ok") or throws Failure(call) when listed in
// `raising`. It also keeps what the sequence hands to `cleanupRaised`.
struct TextDevice {
  using Result = std::string;

  std::vector<std::string> calls;
  std::vector<std::pair<std::string, std::string>> answers;
  std::set<std::string> raising;
  std::vector<std::string> replaced;  // messages of failures a raising cleanup replaced

  std::string call(const std::string& what) {
    calls.push_back(what);
    if (raising.count(what)) throw Failure(what);
    for (const auto& [name, answer] : answers)
      if (name == what) return answer;
    return "ok";
  }

  bool succeeded(const std::string& r) const { return r == "ok"; }
  std::string setBeamPatternEnable(std::string_view flag) {
    return call("enable " + std::string(flag));
  }
  std::string eraseBeamPattern(int user_delay) {
    return call("erase " + std::to_string(user_delay));
  }
  void applyBeamPatternToBFIC(int user_delay) { call("apply " + std::to_string(user_delay)); }
  void cleanupRaised(std::exception_ptr earlier) {
    try {
      std::rethrow_exception(earlier);
    } catch (const std::exception& e) {
      replaced.push_back(e.what());
    }
  }

  std::string run() {
    return runWithBeamPatternSetup(*this, [this] { return call("body"); });
  }
};

// Without `cleanupRaised`: the sequence must compile and behave the same.
struct PlainDevice {
  using Result = int;
  std::vector<std::string> calls;
  bool raise_in_disable = false;

  bool succeeded(int r) const { return r == 0; }
  int setBeamPatternEnable(std::string_view flag) {
    calls.push_back("enable " + std::string(flag));
    if (flag == kStorageOff && raise_in_disable) throw Failure("disable");
    return 0;
  }
  int eraseBeamPattern(int) {
    calls.push_back("erase");
    return 0;
  }
  void applyBeamPatternToBFIC(int) { calls.push_back("apply"); }
};

using Calls = std::vector<std::string>;
const Calls kFull = {"enable 1", "erase 2", "body", "enable 0", "apply 2"};

struct SequenceCase {
  const char* name;
  std::vector<std::pair<std::string, std::string>> answers;
  std::set<std::string> raising;
  Calls expected_calls;
  std::string expected_result;  // when nothing escapes
  std::string expected_raise;   // message of the failure that escapes, if any
  std::vector<std::string> expected_replaced;
};

class LobeSteerSetupSequence : public ::testing::TestWithParam<SequenceCase> {};

TEST_P(LobeSteerSetupSequence, RunsTheCleanupOnceAndKeepsTheRightOutcome) {
  const SequenceCase& c = GetParam();
  TextDevice device;
  device.answers = c.answers;
  device.raising = c.raising;
  if (c.expected_raise.empty()) {
    EXPECT_EQ(device.run(), c.expected_result);
  } else {
    try {
      device.run();
      ADD_FAILURE() << "no failure escaped";
    } catch (const Failure& e) {
      EXPECT_EQ(std::string(e.what()), c.expected_raise);
    }
  }
  EXPECT_EQ(device.calls, c.expected_calls);
  EXPECT_EQ(device.replaced, c.expected_replaced);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, LobeSteerSetupSequence,
    ::testing::Values(
        SequenceCase{"AllSucceed", {{"body", "payload"}}, {}, kFull, "payload", "", {}},
        SequenceCase{"EnableRefused",
                     {{"enable 1", "no storage"}},
                     {},
                     {"enable 1", "enable 0", "apply 2"},
                     "no storage",
                     "",
                     {}},
        SequenceCase{"EraseRefused",
                     {{"erase 2", "erase failed"}},
                     {},
                     {"enable 1", "erase 2", "enable 0", "apply 2"},
                     "erase failed",
                     "",
                     {}},
        SequenceCase{"BodyReturnsFailureRecord", {{"body", "bad"}}, {}, kFull, "bad", "", {}},
        SequenceCase{"DisableAndApplyRefusalsIgnored",
                     {{"enable 0", "refused"}, {"apply 2", "refused"}},
                     {},
                     kFull,
                     "ok",
                     "",
                     {}},
        SequenceCase{"EnableRaises",
                     {},
                     {"enable 1"},
                     {"enable 1", "enable 0", "apply 2"},
                     "",
                     "enable 1",
                     {}},
        SequenceCase{"EraseRaises",
                     {},
                     {"erase 2"},
                     {"enable 1", "erase 2", "enable 0", "apply 2"},
                     "",
                     "erase 2",
                     {}},
        SequenceCase{"BodyRaises", {}, {"body"}, kFull, "", "body", {}},
        SequenceCase{"DisableRaisesAfterSuccess",
                     {},
                     {"enable 0"},
                     {"enable 1", "erase 2", "body", "enable 0"},
                     "",
                     "enable 0",
                     {}},
        SequenceCase{"ApplyRaisesAfterSuccess", {}, {"apply 2"}, kFull, "", "apply 2", {}},
        SequenceCase{"DisableReplacesBodyFailure",
                     {},
                     {"body", "enable 0"},
                     {"enable 1", "erase 2", "body", "enable 0"},
                     "",
                     "enable 0",
                     {"body"}},
        SequenceCase{
            "ApplyReplacesBodyFailure", {}, {"body", "apply 2"}, kFull, "", "apply 2", {"body"}},
        SequenceCase{"DisableRaisesAfterEnableRefused",
                     {{"enable 1", "no storage"}},
                     {"enable 0"},
                     {"enable 1", "enable 0"},
                     "",
                     "enable 0",
                     {}}),
    [](const ::testing::TestParamInfo<SequenceCase>& info) {
      return std::string(info.param.name);
    });

TEST(LobeSteerSetupSequence, NestedSequenceRunsWhollyInsideTheOuterOne) {
  TextDevice device;
  const std::string result = runWithBeamPatternSetup(device, [&] {
    device.call("outer");
    return device.run();
  });
  EXPECT_EQ(result, "ok");
  EXPECT_EQ(device.calls, (Calls{"enable 1", "erase 2", "outer", "enable 1", "erase 2", "body",
                                 "enable 0", "apply 2", "enable 0", "apply 2"}));
}

TEST(LobeSteerSetupSequence, InnerFailureCleansUpBothLevels) {
  TextDevice device;
  device.raising = {"body"};
  EXPECT_THROW(runWithBeamPatternSetup(device, [&] { return device.run(); }), Failure);
  EXPECT_EQ(device.calls, (Calls{"enable 1", "erase 2", "enable 1", "erase 2", "body", "enable 0",
                                 "apply 2", "enable 0", "apply 2"}));
}

TEST(LobeSteerSetupSequence, TheSameFailureObjectContinues) {
  TextDevice device;
  const auto thrown = std::make_shared<int>(7);
  try {
    runWithBeamPatternSetup(device, [&]() -> std::string { throw thrown; });
    FAIL() << "nothing escaped";
  } catch (const std::shared_ptr<int>& caught) {
    EXPECT_EQ(caught, thrown);
  }
  EXPECT_EQ(device.calls, (Calls{"enable 1", "erase 2", "enable 0", "apply 2"}));
}

TEST(LobeSteerSetupSequence, DeviceWithoutFailureHandOverStillReplacesTheFailure) {
  PlainDevice device;
  device.raise_in_disable = true;
  try {
    runWithBeamPatternSetup(device, []() -> int { throw std::logic_error("body"); });
    FAIL() << "nothing escaped";
  } catch (const Failure& e) {
    EXPECT_STREQ(e.what(), "disable");
  }
  EXPECT_EQ(device.calls, (Calls{"enable 1", "erase", "enable 0"}));
}

// The lazy rule over a slot whose factory can be scripted.
struct Slot {
  std::shared_ptr<int> handle;
  bool empty() const { return handle == nullptr; }
  void store(std::shared_ptr<int> h) { handle = std::move(h); }
  const std::shared_ptr<int>& get() const { return handle; }
};

TEST(LobeSteerLazyRule, CreatesOnceThenReusesTheHandle) {
  Slot slot;
  int made = 0;
  auto factory = [&] {
    ++made;
    return std::make_shared<int>(made);
  };
  const auto first = lazyBeamPatternManager(slot, factory);
  const auto second = lazyBeamPatternManager(slot, factory);
  EXPECT_EQ(made, 1);
  EXPECT_EQ(first, second);
  EXPECT_EQ(*first, 1);
}

TEST(LobeSteerLazyRule, FailingFactoryLeavesTheSlotEmptyAndIsAskedAgain) {
  Slot slot;
  int asked = 0;
  auto factory = [&]() -> std::shared_ptr<int> {
    if (++asked == 1) throw Failure("factory");
    return std::make_shared<int>(asked);
  };
  EXPECT_THROW(lazyBeamPatternManager(slot, factory), Failure);
  EXPECT_TRUE(slot.empty());
  EXPECT_EQ(*lazyBeamPatternManager(slot, factory), 2);
  EXPECT_EQ(asked, 2);
}

TEST(LobeSteerLazyRule, EmptyHandleFromTheFactoryIsAskedForAgain) {
  Slot slot;
  int asked = 0;
  auto factory = [&]() -> std::shared_ptr<int> {
    ++asked;
    return nullptr;
  };
  EXPECT_EQ(lazyBeamPatternManager(slot, factory), nullptr);
  EXPECT_EQ(lazyBeamPatternManager(slot, factory), nullptr);
  EXPECT_EQ(asked, 2);
}

TEST(LobeSteerExternalControlText, FlagCommaModeWithNothingElse) {
  EXPECT_EQ(externalControlText(true, 3), "1,3");
  EXPECT_EQ(externalControlText(false, 1), "0,1");
  EXPECT_EQ(externalControlText(false, 0), "0,0");
  EXPECT_EQ(externalControlText(true, -2), "1,-2");
  EXPECT_EQ(externalControlText(true, 1234567890123LL), "1,1234567890123");
}

struct StateCase {
  const char* reply;
  bool on;
};

TEST(LobeSteerExternalControlState, ReadsOneDecimalInteger) {
  const StateCase cases[] = {
      {"0", false},
      {"1", true},
      {" 1 ", true},
      {"\t1\r\n", true},
      {"-1", true},
      {"+0", false},
      {"-0", false},
      {"000", false},
      {"0010", true},
      {"7", true},
      {"  +42  ", true},
      {"123456789012345678901234567890", true},  // beyond any integer type: only zero-ness matters
  };
  for (const auto& c : cases) EXPECT_EQ(externalControlState(c.reply), c.on) << c.reply;
}

TEST(LobeSteerExternalControlState, RefusesAnythingElse) {
  const char* bad[] = {"",    " ",   "+",   "-",   "1,3",  "1.0", "abc",
                       "0x1", "- 1", "1 1", "1_0", "\r\n", "one"};
  for (const char* reply : bad) {
    EXPECT_THROW(externalControlState(reply), std::invalid_argument) << '"' << reply << '"';
  }
}

TEST(LobeSteerExternalControlState, ErrorNamesTheReplyButStaysShort) {
  const std::string flood(10000, 'x');
  try {
    externalControlState(flood);
    FAIL() << "accepted";
  } catch (const std::invalid_argument& e) {
    const std::string what = e.what();
    EXPECT_NE(what.find("'xxxx"), std::string::npos);
    EXPECT_LT(what.size(), 200u);
  }
  try {
    externalControlState(std::string_view("1\0,3", 4));
    FAIL() << "accepted";
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("'1\\x00,3'"), std::string::npos) << e.what();
  }
}

TEST(LobeSteerCommandTable, EightEntriesInOrderAllTextReplies) {
  const std::vector<std::pair<std::string_view, std::string_view>> expected = {
      {"_getExtCtrl", "ExtCtrl_EN?"},
      {"_setExtCtrl", "ExtCtrl_EN"},
      {"_setBeamPatternEnable", "BEAM_PATTERN_STORE_EN"},
      {"_getBeamPatternEnable", "BEAM_PATTERN_STORE_EN?"},
      {"_eraseBeamPattern", "BEAM_PATTERN_ERASE"},
      {"_setBeamPatternStoreTDBS", "BEAM_PATTERN_STORE_TDBS_BEAM"},
      {"_setBeamPatternStoreFBS", "BEAM_PATTERN_STORE_FBS_BEAM"},
      {"_applyBeamPatternToBFIC", "BEAM_PATTERN_APPLY_BFIC"},
  };
  ASSERT_EQ(kFbsCommandTable.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(kFbsCommandTable[i].hook, expected[i].first);
    EXPECT_EQ(kFbsCommandTable[i].command, expected[i].second);
    EXPECT_EQ(kFbsCommandTable[i].rsp_type, RspType::RSP_STRING);
  }
}

TEST(LobeSteerCommandTable, QueriesAreTheirSettingCommandWithAQuestionMark) {
  auto command = [](std::string_view hook) {
    for (const auto& e : kFbsCommandTable)
      if (e.hook == hook) return e.command;
    return std::string_view();
  };
  EXPECT_EQ(std::string(command("_setExtCtrl")) + "?", command("_getExtCtrl"));
  EXPECT_EQ(std::string(command("_setBeamPatternEnable")) + "?", command("_getBeamPatternEnable"));
}

struct LineCase {
  std::string_view command;
  std::string_view argument;
  std::string_view line;
};

TEST(LobeSteerCommandLine, CommandAloneOrCommandSpaceArgument) {
  const LineCase cases[] = {
      {"BEAM_PATTERN_ERASE", "", "BEAM_PATTERN_ERASE"},
      {"BEAM_PATTERN_STORE_EN", "1", "BEAM_PATTERN_STORE_EN 1"},
      {"ExtCtrl_EN", "1,3", "ExtCtrl_EN 1,3"},
      {"BEAM_PATTERN_STORE_FBS_BEAM", "0,28000000000.0,10.0,-5.0",
       "BEAM_PATTERN_STORE_FBS_BEAM 0,28000000000.0,10.0,-5.0"},
      {"ExtCtrl_EN?", "", "ExtCtrl_EN?"},
      {"X", " spaces\tand tabs stay ", "X  spaces\tand tabs stay "},
  };
  for (const auto& c : cases) EXPECT_EQ(commandLine(c.command, c.argument), c.line) << c.line;
  EXPECT_EQ(commandLine("REBOOT"), "REBOOT");
}

TEST(LobeSteerCommandLine, RefusesALineBreakOrNulAnywhere) {
  using namespace std::string_view_literals;
  const std::pair<std::string_view, std::string_view> bad[] = {
      {"BEAM_PATTERN_STORE_EN", "1\r\nBEAM_PATTERN_ERASE"},
      {"BEAM_PATTERN_STORE_EN", "1\nREBOOT"},
      {"BEAM_PATTERN_STORE_EN", "1\rREBOOT"},
      {"BEAM_PATTERN_STORE_EN", "1\0REBOOT"sv},
      {"ExtCtrl_EN", "\n"},
      {"ExtCtrl_EN", "1,3\r\n"},
      {"REBOOT\r\nBEAM_PATTERN_ERASE", ""},
      {"REBOOT\n", "1"},
      {"REBOOT\0"sv, ""},
  };
  for (const auto& [command, argument] : bad) {
    EXPECT_THROW(commandLine(command, argument), std::invalid_argument)
        << '"' << command << "\" \"" << argument << '"';
  }
}

TEST(LobeSteerCommandLine, ErrorShowsTheEscapedText) {
  try {
    commandLine("BEAM_PATTERN_STORE_EN", "1\r\nREBOOT");
    FAIL() << "accepted";
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("argument"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("'1\\x0d\\x0aREBOOT'"), std::string::npos) << e.what();
  }
}

TEST(LobeSteerStartEnd, IntegerValues) {
  EXPECT_EQ(static_cast<int>(StartEndEnum::OTHER), 0);
  EXPECT_EQ(static_cast<int>(StartEndEnum::START), 1);
  EXPECT_EQ(static_cast<int>(StartEndEnum::END), 2);
  EXPECT_EQ(static_cast<int>(StartEndEnum::START_END), 3);
}

}  // namespace
}  // namespace kestrix::lobesteer
