// The device simulator: its command parser, device model, sessions and command line without a
// socket, then the built kestrix-sim process over TCP through the real TcpConnection.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "kestrix/contracts/errors.hpp"
#include "kestrix/crypto/sha256.hpp"
#include "kestrix/flash/fpga_tool.hpp"
#include "kestrix/lobesteer/fast_beam.hpp"
#include "kestrix/net/tcp_connection.hpp"
#include "kestrix/sim/command_parser.hpp"
#include "kestrix/sim/device.hpp"
#include "kestrix/sim/options.hpp"
#include "kestrix/sim/replies.hpp"
#include "kestrix/sim/session.hpp"
#include "kestrix/wire/protocol.hpp"
#include "sim_process.hpp"
#include "temp_dir.hpp"

namespace {

using namespace std::string_literals;
namespace wire = kestrix::wire;
using kestrix::sim::Command;
using kestrix::sim::Device;
using kestrix::sim::DeviceFaults;
using kestrix::sim::DeviceOptions;
using kestrix::sim::FlashStore;
using kestrix::sim::LinkFaults;
using kestrix::sim::parseCommand;
using kestrix::sim::ParseStatus;
using kestrix::sim::Session;
using kestrix::testing::SimProcess;
using kestrix::testing::TempDir;

std::string page(char first, std::size_t n = wire::kPageSize) {
  std::string data;
  for (std::size_t i = 0; i < n; ++i) data += static_cast<char>(first + i);
  return data;
}

std::string programLine(std::string_view data) {
  return wire::terminate(wire::programLine(data));
}

// The device's whole flash as one string.
std::string flashOf(const Device& d) {
  return d.flash().read(0, d.flash().size());
}

std::string sha256(std::string_view bytes) {
  kestrix::crypto::Sha256 h;
  h.update(bytes);
  return h.hexdigest();
}

// --- command parser ----------------------------------------------------------------------------

struct ParseCase {
  const char* name;
  std::string input;
  ParseStatus status;
  std::size_t consumed;
  std::string command;  // name, or the error text
  std::string argument;
  std::string data;
  bool has_block = false;
  bool line_open = false;
};

ParseCase command(const char* name, std::string input, std::size_t consumed, std::string word,
                  std::string argument = "", std::string data = "", bool has_block = false) {
  return ParseCase{name,
                   std::move(input),
                   ParseStatus::kCommand,
                   consumed,
                   std::move(word),
                   std::move(argument),
                   std::move(data),
                   has_block,
                   false};
}

ParseCase needMore(const char* name, std::string input) {
  return ParseCase{name, std::move(input), ParseStatus::kNeedMore, 0, "", "", "", false, false};
}

ParseCase refused(const char* name, std::string input, std::size_t consumed, std::string error,
                  bool line_open = false) {
  return ParseCase{name,  std::move(input), ParseStatus::kError, consumed, std::move(error), "", "",
                   false, line_open};
}

void PrintTo(const ParseCase& c, std::ostream* os) {
  *os << c.name;
}

class Parser : public ::testing::TestWithParam<ParseCase> {};

TEST_P(Parser, ReadsTheCommandAtTheFront) {
  const ParseCase& c = GetParam();
  const auto r = parseCommand(c.input);
  ASSERT_EQ(r.status, c.status);
  EXPECT_EQ(r.consumed, c.consumed);
  if (c.status == ParseStatus::kCommand) {
    EXPECT_EQ(r.command.name, c.command);
    EXPECT_EQ(r.command.argument, c.argument);
    EXPECT_EQ(r.command.data, c.data);
    EXPECT_EQ(r.command.has_block, c.has_block);
  } else if (c.status == ParseStatus::kError) {
    EXPECT_EQ(r.error, c.command);
    EXPECT_EQ(r.line_open, c.line_open);
  }
}

const std::string kTricky =
    "\r\n#216\n\r\x00\xff"
    "FPGA\r\n"s;  // 16 bytes, line ends inside
const std::string kLong(kestrix::sim::kMaxCommandLine + 1, 'A');

INSTANTIATE_TEST_SUITE_P(
    Good, Parser,
    ::testing::Values(
        command("crlf", "FPGA_GET_ID\r\nREST", 13, "FPGA_GET_ID"),
        command("lf_only", "GET_SN\n", 7, "GET_SN"),
        command("argument", "FPGA_ERASE 12\r\n", 15, "FPGA_ERASE", "12"),
        command("argument_keeps_spaces", "X a b \r\n", 8, "X", "a b "),
        command("query", "ExtCtrl_EN?\r\n", 13, "ExtCtrl_EN?"),
        command("block", programLine(kTricky) + "NEXT\r\n", 35, "FPGA_PROGRAM", "", kTricky, true),
        command("short_block_lf", "FPGA_PROGRAM #15a\nb\rc\n", 22, "FPGA_PROGRAM", "", "a\nb\rc",
                true),
        command("empty_block", "FPGA_PROGRAM #10\r\n", 18, "FPGA_PROGRAM", "", "", true),
        command("program_without_block", "FPGA_PROGRAM 12\r\n", 17, "FPGA_PROGRAM", "12"),
        command("program_bare", "FPGA_PROGRAM\r\n", 14, "FPGA_PROGRAM")),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    NeedMore, Parser,
    ::testing::Values(
        needMore("empty", ""), needMore("partial_line", "FPGA_GET"),
        needMore("line_without_lf", "FPGA_DONE\r"), needMore("program_word", "FPGA_PROGRAM"),
        needMore("program_space", "FPGA_PROGRAM "), needMore("hash", "FPGA_PROGRAM #"),
        needMore("digit_count", "FPGA_PROGRAM #2"), needMore("length", "FPGA_PROGRAM #21"),
        needMore("data_with_lf", "FPGA_PROGRAM #216ab\r\n"),
        needMore("block_cr", "FPGA_PROGRAM #13abc\r"),
        needMore("longest_line", std::string(kestrix::sim::kMaxCommandLine, 'A'))),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Bad, Parser,
    ::testing::Values(
        refused("blank_line", "\r\nX\r\n", 2, "empty command"),
        refused("leading_space", " X\r\n", 4, "empty command"),
        refused("digit_count_zero", "FPGA_PROGRAM #0\r\nX\r\n", 17, "malformed block header"),
        refused("length_not_digits", "FPGA_PROGRAM #2x1abc\r\n", 22, "malformed block header"),
        refused("block_too_big", "FPGA_PROGRAM #6100000xx", 23, "malformed block header", true),
        refused("block_then_junk", "FPGA_PROGRAM #13abcX\r\nY\r\n", 22,
                "block not followed by a line end"),
        refused("block_then_cr_junk", "FPGA_PROGRAM #13abc\rX\r\n", 23,
                "block not followed by a line end"),
        refused("long_line_open", kLong, kLong.size(), "command line too long", true),
        refused("long_line_closed", kLong + "A\r\nX\r\n", kLong.size() + 3,
                "command line too long")),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Parser, TrickyBlockIsOnePage) {
  EXPECT_EQ(kTricky.size(), wire::kPageSize);
}

TEST(Parser, AnyInputIsSplitWithProgressAndWithinBounds) {
  // Random streams built from fragments that matter to the grammar; every result must keep the
  // invariants a server (or a fuzzer) relies on.
  const std::vector<std::string> pieces = {"FPGA_PROGRAM #",
                                           "#",
                                           "1",
                                           "2",
                                           "16",
                                           "9",
                                           "0",
                                           "\r",
                                           "\n",
                                           "\r\n",
                                           "A",
                                           " ",
                                           "\xff",
                                           "FPGA_READ",
                                           kTricky,
                                           std::string(300, 'x')};
  std::mt19937 rng(12345);
  for (int round = 0; round < 5000; ++round) {
    std::string input;
    const int n = static_cast<int>(rng() % 40);
    for (int i = 0; i < n; ++i) input += pieces[rng() % pieces.size()];
    std::string_view rest = input;
    while (!rest.empty()) {
      const auto r = parseCommand(rest);
      if (r.status == ParseStatus::kNeedMore) {
        ASSERT_EQ(r.consumed, 0u);
        ASSERT_LE(rest.size(), kestrix::sim::kMaxBlockData + 64);
        break;
      }
      ASSERT_GE(r.consumed, 1u);
      ASSERT_LE(r.consumed, rest.size());
      if (r.status == ParseStatus::kCommand) {
        ASSERT_FALSE(r.command.name.empty());
        ASSERT_LE(r.command.data.size(), kestrix::sim::kMaxBlockData);
      } else {
        ASSERT_FALSE(r.error.empty());
      }
      rest.remove_prefix(r.consumed);
    }
  }
}

// --- device model ------------------------------------------------------------------------------

class DeviceTest : public ::testing::Test {
 protected:
  // The reply of the device to one command line (parsed as the server parses it).
  std::string ask(Device& device, const std::string& line) {
    const auto r = parseCommand(line);
    EXPECT_EQ(r.status, ParseStatus::kCommand) << line;
    EXPECT_EQ(r.consumed, line.size()) << line;
    std::string reply;
    device.handle(r.command, reply);
    return reply;
  }

  DeviceOptions small(std::size_t size = 64) {
    DeviceOptions o;
    o.flash_size = size;
    return o;
  }
};

TEST_F(DeviceTest, ProgramsPagesAtThePagePointerAndReadsThemBack) {
  Device d(small());
  EXPECT_EQ(ask(d, "FPGA_ERASE 12\r\n"), "OK\r\n");
  EXPECT_EQ(ask(d, "FPGA_RST_PAGE_PTR CFG\r\n"), "OK\r\n");
  const std::string a = page('a'), b = "\r\n\r\n" + page('0', 12), c = page('A', 5);
  for (const auto& block : {a, b, c}) EXPECT_EQ(ask(d, programLine(block)), "0\r\n");
  EXPECT_EQ(d.pagePointer(), 3u);
  EXPECT_EQ(ask(d, "FPGA_RST_PAGE_PTR CFG\r\n"), "OK\r\n");
  EXPECT_EQ(ask(d, "FPGA_READ\r\n"), wire::blockFrame(a));
  EXPECT_EQ(ask(d, "FPGA_READ\r\n"), wire::blockFrame(b));
  // A short last block leaves the rest of its page erased; a read always returns a whole page.
  EXPECT_EQ(ask(d, "FPGA_READ\r\n"), wire::blockFrame(c + std::string(11, '\xff')));
  EXPECT_EQ(ask(d, "FPGA_READ\r\n"), wire::blockFrame(std::string(16, '\xff')));
  EXPECT_EQ(d.pagePointer(), 4u);
  EXPECT_EQ(ask(d, "FPGA_READ\r\n"), "ERR read past the end of flash\r\n");
  EXPECT_EQ(d.pagePointer(), 4u);
  EXPECT_EQ(flashOf(d), a + b + c + std::string(64 - 37, '\xff'));
}

TEST_F(DeviceTest, EraseSetsTheWholeFlashToFF) {
  Device d(small());
  ask(d, programLine(page('a')));
  ASSERT_NE(flashOf(d), std::string(64, '\xff'));
  EXPECT_TRUE(d.takeFlashChanged());
  EXPECT_FALSE(d.takeFlashChanged());
  EXPECT_EQ(ask(d, "FPGA_ERASE 14\r\n"), "OK\r\n");
  EXPECT_EQ(flashOf(d), std::string(64, '\xff'));
  EXPECT_TRUE(d.takeFlashChanged());
}

struct ReplyCase {
  const char* name;
  std::string line;
  std::string reply;
};

void PrintTo(const ReplyCase& c, std::ostream* os) {
  *os << c.name;
}

class DeviceReplies : public DeviceTest, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(DeviceReplies, Answer) {
  DeviceOptions o = small(32);
  Device d(o);
  EXPECT_EQ(ask(d, GetParam().line), GetParam().reply);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DeviceReplies,
    ::testing::Values(
        ReplyCase{"ctrl_init", "FPGA_CTRL_INIT\r\n", "OK\r\n"},
        ReplyCase{"cfg_mode", "FPGA_CFG_MODE TRANS\r\n", "OK\r\n"},
        ReplyCase{"cfg_mode_missing", "FPGA_CFG_MODE\r\n", "ERR FPGA_CFG_MODE needs a mode\r\n"},
        ReplyCase{"done", "FPGA_DONE\r\n", "OK\r\n"},
        ReplyCase{"refresh", "FPGA_REFRESH\r\n", "OK\r\n"},
        ReplyCase{"reinit", "REINIT_RF_MODULE\r\n", "OK\r\n"},
        ReplyCase{"id", "FPGA_GET_ID\r\n", "0x0362D093\r\n"},
        ReplyCase{"fpga_ver", "GET_FPGA_VER\r\n", "0.2.3.4\r\n"},
        ReplyCase{"fw_ver", "GET_FW_VER\r\n", "0.1.0.6\r\n"},
        ReplyCase{"serial", "GET_SN\r\n", "KRX-SIM-0001\r\n"},
        ReplyCase{"fe_info", "GET_FE_INFO\r\n", "{\"FE0\":{\"fpga_ver\":\"0.2.3.4\"}}\r\n"},
        ReplyCase{"erase_without_bits", "FPGA_ERASE\r\n",
                  "ERR FPGA_ERASE needs the erase bits in decimal\r\n"},
        ReplyCase{"erase_bad_bits", "FPGA_ERASE x\r\n",
                  "ERR FPGA_ERASE needs the erase bits in decimal\r\n"},
        ReplyCase{"unknown_section", "FPGA_RST_PAGE_PTR XYZ\r\n", "ERR unknown section\r\n"},
        ReplyCase{"read_with_argument", "FPGA_READ 2\r\n", "ERR FPGA_READ takes no argument\r\n"},
        ReplyCase{"id_with_argument", "FPGA_GET_ID x\r\n", "ERR FPGA_GET_ID takes no argument\r\n"},
        ReplyCase{"program_without_block", "FPGA_PROGRAM 12\r\n",
                  "ERR FPGA_PROGRAM needs a definite-length data block\r\n"},
        ReplyCase{"program_empty", "FPGA_PROGRAM #10\r\n", "ERR empty block\r\n"},
        ReplyCase{"program_over_a_page", programLine(page('a', 17)),
                  "ERR block longer than a page\r\n"},
        ReplyCase{"unknown", "FPGA_BOGUS\r\n", "ERR unknown command\r\n"},
        ReplyCase{"wrong_case", "fpga_read\r\n", "ERR unknown command\r\n"},
        ReplyCase{"store_en", "BEAM_PATTERN_STORE_EN 1\r\n", "OK\r\n"},
        ReplyCase{"store_en_query", "BEAM_PATTERN_STORE_EN?\r\n", "0\r\n"},
        ReplyCase{"store_en_bad", "BEAM_PATTERN_STORE_EN 2\r\n",
                  "ERR BEAM_PATTERN_STORE_EN takes 0 or 1\r\n"},
        ReplyCase{"pattern_erase_disabled", "BEAM_PATTERN_ERASE\r\n",
                  "ERR beam pattern storage not enabled\r\n"},
        ReplyCase{"apply", "BEAM_PATTERN_APPLY_BFIC 2\r\n", "OK\r\n"},
        ReplyCase{"reboot", "REBOOT\r\n", "OK\r\n"},
        ReplyCase{"identify", "*IDN?\r\n", "Kestrix,KRX-SIM,KRX-SIM-0001,0.1.0.6\r\n"},
        ReplyCase{"identify_lf", "*IDN?\n", "Kestrix,KRX-SIM,KRX-SIM-0001,0.1.0.6\r\n"},
        ReplyCase{"identify_with_argument", "*IDN? x\r\n", "ERR *IDN? takes no argument\r\n"},
        ReplyCase{"ext_ctrl", "ExtCtrl_EN 1,3\r\n", "OK\r\n"},
        ReplyCase{"ext_ctrl_off", "ExtCtrl_EN 0,1\r\n", "OK\r\n"},
        ReplyCase{"ext_ctrl_query", "ExtCtrl_EN?\r\n", "0\r\n"},
        ReplyCase{"ext_ctrl_no_comma", "ExtCtrl_EN 1\r\n", "ERR ExtCtrl_EN takes <0|1>,<mode>\r\n"},
        ReplyCase{"ext_ctrl_flag", "ExtCtrl_EN 2,3\r\n", "ERR ExtCtrl_EN takes <0|1>,<mode>\r\n"},
        ReplyCase{"ext_ctrl_spaces", "ExtCtrl_EN 1, 3\r\n",
                  "ERR ExtCtrl_EN takes <0|1>,<mode>\r\n"},
        ReplyCase{"ext_ctrl_mode", "ExtCtrl_EN 1,4\r\n", "ERR unknown fast beam mode\r\n"},
        ReplyCase{"page_ptr", "SIM_PAGE_PTR?\r\n", "0\r\n"},
        ReplyCase{"sha_all", "SIM_FLASH_SHA256?\r\n", sha256(std::string(32, '\xff')) + "\r\n"},
        ReplyCase{"sha_prefix", "SIM_FLASH_SHA256? 0\r\n", sha256("") + "\r\n"},
        ReplyCase{"sha_too_long", "SIM_FLASH_SHA256? 33\r\n",
                  "ERR length must be a number up to the flash size\r\n"},
        ReplyCase{"hex", "SIM_FLASH_HEX? 30,2\r\n", "ffff\r\n"},
        ReplyCase{"hex_outside", "SIM_FLASH_HEX? 31,2\r\n",
                  "ERR takes <offset>,<length> inside the flash, length up to 4096\r\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DeviceTest, BlockPastTheEndOfFlashIsAnError) {
  Device d(small(32));
  EXPECT_EQ(ask(d, programLine(page('a'))), "0\r\n");
  EXPECT_EQ(ask(d, programLine(page('b'))), "0\r\n");
  EXPECT_EQ(ask(d, programLine(page('c', 1))), "ERR block past the end of flash\r\n");
  EXPECT_EQ(d.pagePointer(), 2u);
}

TEST_F(DeviceTest, FastBeamSettingsFollowTheCommands) {
  Device d(small());
  EXPECT_EQ(ask(d, "BEAM_PATTERN_STORE_EN 1\r\n"), "OK\r\n");
  EXPECT_EQ(ask(d, "BEAM_PATTERN_STORE_EN?\r\n"), "1\r\n");
  EXPECT_EQ(ask(d, "BEAM_PATTERN_ERASE 2\r\n"), "OK\r\n");
  EXPECT_EQ(ask(d, "BEAM_PATTERN_STORE_FBS_BEAM 1,2,3\r\n"), "OK\r\n");
  EXPECT_EQ(ask(d, "BEAM_PATTERN_STORE_EN 0\r\n"), "OK\r\n");
  EXPECT_FALSE(d.beamPatternStoreEnabled());
  EXPECT_EQ(ask(d, "BEAM_PATTERN_STORE_TDBS_BEAM 1\r\n"),
            "ERR beam pattern storage not enabled\r\n");
  EXPECT_EQ(ask(d, "ExtCtrl_EN 1,2\r\n"), "OK\r\n");
  EXPECT_EQ(ask(d, "ExtCtrl_EN?\r\n"), "1\r\n");
  EXPECT_TRUE(d.externalControlEnabled());
  EXPECT_EQ(d.externalControlMode(), 2);
  EXPECT_EQ(ask(d, "ExtCtrl_EN 0,3\r\n"), "OK\r\n");
  EXPECT_EQ(ask(d, "ExtCtrl_EN?\r\n"), "0\r\n");
}

TEST_F(DeviceTest, IdentityComesFromTheOptionsAndRefreshInstallsTheNewVersion) {
  DeviceOptions o = small();
  o.device_id = "0xABC";
  o.fpga_version = "0.2.0.0";
  o.version_after_update = "0.3.0.0";
  o.fw_version = "0.1.0.5";
  o.serial = "SN-9";
  Device d(o);
  EXPECT_EQ(ask(d, "FPGA_GET_ID\r\n"), "0xABC\r\n");
  EXPECT_EQ(ask(d, "GET_FW_VER\r\n"), "0.1.0.5\r\n");
  EXPECT_EQ(ask(d, "GET_SN\r\n"), "SN-9\r\n");
  EXPECT_EQ(ask(d, "GET_FPGA_VER\r\n"), "0.2.0.0\r\n");
  EXPECT_EQ(ask(d, "FPGA_DONE\r\n"), "OK\r\n");
  EXPECT_EQ(ask(d, "GET_FPGA_VER\r\n"), "0.2.0.0\r\n");
  EXPECT_EQ(ask(d, "FPGA_REFRESH\r\n"), "OK\r\n");
  EXPECT_EQ(ask(d, "GET_FPGA_VER\r\n"), "0.3.0.0\r\n");
  EXPECT_EQ(ask(d, "GET_FE_INFO\r\n"), "{\"FE0\":{\"fpga_ver\":\"0.3.0.0\"}}\r\n");

  o.fe_info = R"({"a":{"fpga_ver":"1.1.0.0"},"b":{}})";
  Device custom(o);
  EXPECT_EQ(ask(custom, "GET_FE_INFO\r\n"), *o.fe_info + "\r\n");
}

TEST_F(DeviceTest, IdentifiesItselfAsScpiInstrumentsDoAndCountsItAsACommand) {
  DeviceOptions o = small();
  o.serial = "SN-77";
  o.fw_version = "0.1.0.9";
  Device d(o);
  EXPECT_EQ(ask(d, "*IDN?\r\n"), "Kestrix,KRX-SIM,SN-77,0.1.0.9\r\n");
  EXPECT_EQ(d.stats().commands, 1u);
  EXPECT_FALSE(Device::isDebugQuery("*IDN?"));
}

TEST_F(DeviceTest, AnswersEveryFastBeamCommandTheHostSends) {
  // The words come from the host's own table, so a command the host sends and the simulator
  // does not know is caught here.
  Device d(small());
  ask(d, "BEAM_PATTERN_STORE_EN 1\r\n");
  for (const auto& entry : kestrix::lobesteer::kFbsCommandTable) {
    std::string line(entry.command);
    if (entry.hook == "_setBeamPatternEnable") line += " 1";
    if (entry.hook == "_setExtCtrl") line += " " + kestrix::lobesteer::externalControlText(true, 2);
    EXPECT_NE(ask(d, line + "\r\n").rfind("ERR", 0), 0u) << line;
  }
  EXPECT_EQ(ask(d, std::string(kestrix::lobesteer::kRebootCommand) + "\r\n"), "OK\r\n");
}

TEST(DeviceDefaults, VersionsAreTheOldestTheUpdateToolAccepts) {
  const DeviceOptions o;
  EXPECT_EQ(o.fpga_version, kestrix::flash::kFpgaVerMinDev32);
  EXPECT_EQ(o.fw_version, kestrix::flash::kFpgaFwVerMin);
  EXPECT_EQ(o.fpga_version, "0.2.3.4");
  EXPECT_EQ(o.fw_version, "0.1.0.6");
}

TEST_F(DeviceTest, RefuseBlocksRefusesEachBlockThatManyTimesWithoutMoving) {
  DeviceFaults f;
  f.refuse_blocks = 2;
  Device d(small(), f);
  for (char first : {'a', 'b'}) {
    const std::string line = programLine(page(first));
    EXPECT_EQ(ask(d, line), "1\r\n");
    EXPECT_EQ(ask(d, line), "1\r\n");
    EXPECT_EQ(d.pagePointer(), static_cast<std::size_t>(first - 'a'));
    EXPECT_EQ(ask(d, line), "0\r\n");
  }
  EXPECT_EQ(d.flash().read(0, 32), page('a') + page('b'));
  EXPECT_EQ(d.stats().program, 6u);
  EXPECT_EQ(d.stats().refused, 4u);
}

TEST_F(DeviceTest, RefuseFromRefusesForeverEveryBlockReachingTheOffset) {
  DeviceFaults f;
  f.refuse_from = 40;  // inside the third page (bytes 32 to 47)
  Device d(small(), f);
  EXPECT_EQ(ask(d, programLine(page('a'))), "0\r\n");
  EXPECT_EQ(ask(d, programLine(page('b'))), "0\r\n");
  // Bytes 32 to 40 reach the offset, every time.
  for (int i = 0; i < 5; ++i) EXPECT_EQ(ask(d, programLine(page('c', 9))), "1\r\n");
  EXPECT_EQ(d.pagePointer(), 2u);
  // Bytes 32 to 39 stop short of it.
  EXPECT_EQ(ask(d, programLine(page('c', 8))), "0\r\n");
  EXPECT_EQ(ask(d, programLine(page('d'))), "1\r\n");
}

TEST_F(DeviceTest, CorruptReadSpoilsOnlyTheReadBackOfThatByte) {
  DeviceFaults f;
  f.corrupt_read = 21;  // second page, byte 5
  Device d(small(), f);
  ask(d, programLine(page('a')));
  ask(d, programLine(page('b')));
  ask(d, "FPGA_RST_PAGE_PTR CFG\r\n");
  EXPECT_EQ(ask(d, "FPGA_READ\r\n"), wire::blockFrame(page('a')));
  std::string spoiled = page('b');
  spoiled[5] = static_cast<char>(~spoiled[5]);
  EXPECT_EQ(ask(d, "FPGA_READ\r\n"), wire::blockFrame(spoiled));
  EXPECT_EQ(d.flash().read(16, 16), page('b'));
}

TEST_F(DeviceTest, StatsCountDeviceCommandsButNotDebugQueries) {
  Device d(small());
  ask(d, "FPGA_ERASE 12\r\n");
  ask(d, programLine(page('a')));
  ask(d, "FPGA_READ\r\n");
  ask(d, "BOGUS\r\n");
  ask(d, "SIM_PAGE_PTR?\r\n");
  EXPECT_EQ(
      ask(d, "SIM_STATS?\r\n"),
      R"({"commands":4,"program":1,"refused":0,"read":1,"erase":1,"refresh":0,"stored_beams":0,"reboots":0})"
      "\r\n");
}

TEST(DeviceConstruction, FlashSizeMustBeAWholeNumberOfPages) {
  for (std::size_t bad : {std::size_t{0}, std::size_t{17}, std::size_t{8}}) {
    DeviceOptions o;
    o.flash_size = bad;
    EXPECT_THROW(Device{o}, std::invalid_argument) << bad;
  }
  DeviceOptions o;
  o.flash_size = 32;
  Device d(o);
  EXPECT_THROW(d.loadFlash(FlashStore(31)), std::invalid_argument);
  FlashStore content(32);
  content.write(0, std::string(32, 'x'));
  d.loadFlash(std::move(content));
  EXPECT_EQ(flashOf(d), std::string(32, 'x'));
}

// --- sessions ----------------------------------------------------------------------------------

class SessionTest : public ::testing::Test {
 protected:
  SessionTest() : device_(options()) {}
  static DeviceOptions options() {
    DeviceOptions o;
    o.flash_size = 64;
    return o;
  }
  Device device_;
};

TEST_F(SessionTest, CommandsArrivingInPiecesAreAnsweredOnceComplete) {
  Session s(device_, {});
  std::string out;
  const std::string stream = "FPGA_GET_ID\r\n" + programLine("\r\n\r\n") + "GET_SN\r\n";
  std::string pending;
  for (char c : stream) {
    pending += c;
    pending.erase(0, s.feed(pending, out));
  }
  EXPECT_TRUE(pending.empty());
  EXPECT_EQ(out, "0x0362D093\r\n0\r\nKRX-SIM-0001\r\n");
  EXPECT_EQ(s.answered(), 3u);
}

TEST_F(SessionTest, AnOutputLimitStopsBeforeTheNextCommandAndTheRestWaits) {
  Session s(device_, {});
  std::string out = "old";
  const std::string input = "GET_SN\r\nFPGA_GET_ID\r\nGET_SN\r\n";
  // The limit is reached by the first reply: the second command is left for later.
  const std::size_t used = s.feed(input, out, 4);
  EXPECT_EQ(used, 8u);
  EXPECT_EQ(out, "oldKRX-SIM-0001\r\n");
  EXPECT_EQ(s.feed(std::string_view(input).substr(used), out), input.size() - used);
  EXPECT_EQ(out, "oldKRX-SIM-0001\r\n0x0362D093\r\nKRX-SIM-0001\r\n");
  // A limit already reached handles nothing.
  EXPECT_EQ(s.feed(input, out, out.size()), 0u);
}

TEST_F(SessionTest, ARefusedLongLineGetsOneReplyAndItsRestIsDropped) {
  Session s(device_, {});
  std::string out;
  std::string chunk(kestrix::sim::kMaxCommandLine + 10, 'Z');
  EXPECT_EQ(s.feed(chunk, out), chunk.size());
  EXPECT_EQ(s.feed(std::string(5000, 'Z'), out), 5000u);
  EXPECT_EQ(s.feed("ZZ\r\nGET_SN\r\n", out), 12u);
  EXPECT_EQ(out, "ERR command line too long\r\nKRX-SIM-0001\r\n");
}

TEST_F(SessionTest, CloseAfterAnswersThatManyCommandsThenWantsToClose) {
  LinkFaults f;
  f.close_after = 2;
  Session s(device_, f);
  std::string out;
  s.feed("SIM_PAGE_PTR?\r\nGET_SN\r\nBOGUS\r\nGET_SN\r\n", out);
  EXPECT_TRUE(s.wantsClose());
  EXPECT_EQ(out, "0\r\nKRX-SIM-0001\r\nERR unknown command\r\n");
  f.close_after = 0;
  EXPECT_TRUE(Session(device_, f).wantsClose());
}

TEST_F(SessionTest, StallAfterGoesSilentButKeepsReadingAndAnsweringDebugQueries) {
  LinkFaults f;
  f.stall_after = 1;
  Session s(device_, f);
  std::string out;
  const std::string input =
      "FPGA_GET_ID\r\nGET_SN\r\n" + programLine(page('a')) + "SIM_PAGE_PTR?\r\n";
  EXPECT_EQ(s.feed(input, out), input.size());
  EXPECT_FALSE(s.wantsClose());
  // The stalled program command never reached the device.
  EXPECT_EQ(out, "0x0362D093\r\n0\r\n");
}

TEST_F(SessionTest, GarbageRepliesWhileTheDeviceStillActs) {
  LinkFaults f;
  f.garbage = true;
  Session s(device_, f);
  std::string out;
  s.feed(programLine(page('a')) + "BOGUS\r\nSIM_PAGE_PTR?\r\n", out);
  EXPECT_EQ(out, std::string(kestrix::sim::replies::kGarbage) +
                     std::string(kestrix::sim::replies::kGarbage) + "1\r\n");
  EXPECT_EQ(device_.flash().read(0, 16), page('a'));
}

// --- command line ------------------------------------------------------------------------------

TEST(SimOptions, ParsesEveryFlag) {
  const auto o = kestrix::sim::parseOptions({"--host",
                                             "0.0.0.0",
                                             "--port",
                                             "0",
                                             "--flash-size",
                                             "0x100",
                                             "--flash-file",
                                             "/tmp/f",
                                             "--device-id",
                                             "0x1",
                                             "--fpga-version",
                                             "1.0",
                                             "--version-after-update",
                                             "2.0",
                                             "--fw-version",
                                             "0.9",
                                             "--serial",
                                             "S",
                                             "--fe-info",
                                             "{ \"x\" : {\"fpga_ver\": \"3\"} }",
                                             "--refuse-blocks",
                                             "3",
                                             "--refuse-from",
                                             "4096",
                                             "--corrupt-read",
                                             "17",
                                             "--close-after",
                                             "5",
                                             "--stall-after",
                                             "6",
                                             "--garbage",
                                             "--count",
                                             "4",
                                             "--max-clients",
                                             "2",
                                             "--idle-timeout",
                                             "30",
                                             "--latency-us",
                                             "0x100",
                                             "--port",
                                             "7"});
  EXPECT_EQ(o.server.host, "0.0.0.0");
  EXPECT_EQ(o.server.port, 7);  // the last value counts
  EXPECT_EQ(o.device.flash_size, 256u);
  EXPECT_EQ(o.flash_file, "/tmp/f");
  EXPECT_EQ(o.device.device_id, "0x1");
  EXPECT_EQ(o.device.fpga_version, "1.0");
  EXPECT_EQ(o.device.version_after_update, "2.0");
  EXPECT_EQ(o.device.fw_version, "0.9");
  EXPECT_EQ(o.device.serial, "S");
  EXPECT_EQ(o.device.fe_info, R"({"x":{"fpga_ver":"3"}})");
  EXPECT_EQ(o.device_faults.refuse_blocks, 3u);
  EXPECT_EQ(o.device_faults.refuse_from, 4096u);
  EXPECT_EQ(o.device_faults.corrupt_read, 17u);
  EXPECT_EQ(o.link_faults.close_after, 5u);
  EXPECT_EQ(o.link_faults.stall_after, 6u);
  EXPECT_TRUE(o.link_faults.garbage);
  EXPECT_EQ(o.count, 4u);
  EXPECT_EQ(o.server.max_clients, 2u);
  EXPECT_EQ(o.server.idle_timeout, std::chrono::seconds(30));
  EXPECT_EQ(o.server.latency, std::chrono::microseconds(256));
  EXPECT_FALSE(o.help);

  const auto defaults = kestrix::sim::parseOptions({});
  EXPECT_EQ(defaults.server.host, "127.0.0.1");
  EXPECT_EQ(defaults.server.port, 5025);
  EXPECT_EQ(defaults.device.flash_size, 16u * 1024 * 1024);
  EXPECT_FALSE(defaults.link_faults.close_after.has_value());
  EXPECT_EQ(defaults.count, 1u);
  EXPECT_EQ(defaults.server.max_clients, 0u);
  EXPECT_EQ(defaults.server.idle_timeout, std::chrono::seconds(60));
  EXPECT_EQ(defaults.server.latency, std::chrono::microseconds(0));
  EXPECT_TRUE(kestrix::sim::parseOptions({"--help"}).help);
}

TEST(SimOptions, RefusesBadFlags) {
  const std::vector<std::vector<std::string>> bad = {{"--bogus", "1"},
                                                     {"--port"},
                                                     {"--port", "65536"},
                                                     {"--port", "-1"},
                                                     {"--port", "12x"},
                                                     {"--flash-size", "0"},
                                                     {"--flash-size", "17"},
                                                     {"--flash-size", "0x80000000"},
                                                     {"--refuse-blocks", ""},
                                                     {"--fe-info", "{"},
                                                     {"--serial", "a\r\nb"},
                                                     {"stray"},
                                                     {"--refuse-from", " 5"},
                                                     {"--close-after", "+1"},
                                                     {"--count", "0"},
                                                     {"--count", "1025"},
                                                     {"--port", "65534", "--count", "3"},
                                                     {"--max-clients", "-1"},
                                                     {"--idle-timeout", "1.5"},
                                                     {"--latency-us", "60000001"}};
  for (const auto& args : bad) {
    EXPECT_THROW(kestrix::sim::parseOptions(args), std::invalid_argument) << args[0];
  }
}

TEST(SimOptions, SeveralDevicesKeepTheirFlashInNumberedFiles) {
  auto o = kestrix::sim::parseOptions({"--flash-file", "f.bin"});
  EXPECT_EQ(kestrix::sim::flashFileOf(o, 0), "f.bin");
  o = kestrix::sim::parseOptions({"--flash-file", "f.bin", "--count", "3"});
  EXPECT_EQ(kestrix::sim::flashFileOf(o, 0), "f.bin.0");
  EXPECT_EQ(kestrix::sim::flashFileOf(o, 2), "f.bin.2");
  o = kestrix::sim::parseOptions({"--count", "3"});
  EXPECT_FALSE(kestrix::sim::flashFileOf(o, 1).has_value());
  // The last device may sit on the last port.
  EXPECT_EQ(kestrix::sim::parseOptions({"--port", "65533", "--count", "3"}).count, 3u);
}

TEST(SimOptions, SeveralDevicesAnswerNumberedSerials) {
  auto o = kestrix::sim::parseOptions({"--serial", "SN"});
  EXPECT_EQ(kestrix::sim::deviceOptionsOf(o, 0).serial, "SN");
  o = kestrix::sim::parseOptions({"--serial", "SN", "--count", "3", "--device-id", "0x1"});
  EXPECT_EQ(kestrix::sim::deviceOptionsOf(o, 0).serial, "SN-0");
  EXPECT_EQ(kestrix::sim::deviceOptionsOf(o, 2).serial, "SN-2");
  EXPECT_EQ(kestrix::sim::deviceOptionsOf(o, 2).device_id, "0x1");
}

TEST(SimOptions, HelpNamesEveryFlagAndTheDefaults) {
  const std::string help = kestrix::sim::usage();
  for (const char* flag : {"--host",
                           "--port",
                           "--count",
                           "--flash-size",
                           "--flash-file",
                           "--device-id",
                           "--fpga-version",
                           "--version-after-update",
                           "--fw-version",
                           "--serial",
                           "--fe-info",
                           "--max-clients",
                           "--idle-timeout",
                           "--latency-us",
                           "--refuse-blocks",
                           "--refuse-from",
                           "--corrupt-read",
                           "--close-after",
                           "--stall-after",
                           "--garbage",
                           "*IDN?",
                           "PATH.I",
                           "ERR busy: another client is connected",
                           "(0.2.3.4)",
                           "(0.1.0.6)",
                           "(KRX-SIM-0001)",
                           "(60; 0: never)"}) {
    EXPECT_NE(help.find(flag), std::string::npos) << flag;
  }
  EXPECT_EQ(help.find('@'), std::string::npos);  // every placeholder filled in
}

// --- the simulator process over TCP ------------------------------------------------------------

using kestrix::RspType;
using kestrix::net::TcpConnection;

std::unique_ptr<TcpConnection> connectTo(const SimProcess& sim, double timeout = 5.0) {
  kestrix::net::TcpOptions o;
  o.timeout = timeout;
  auto conn = std::make_unique<TcpConnection>(sim.host(), sim.port(), o);
  EXPECT_TRUE(conn->initConnection());
  return conn;
}

std::string ask(TcpConnection& conn, std::string_view line) {
  return conn.sendCmd(wire::terminate(line), RspType::RSP_LIST).data.get<std::string>();
}

std::string readPage(TcpConnection& conn) {
  conn.sendRawBytes(wire::terminate(wire::kRead));
  return conn.recvRawBytes(1024);
}

TEST(SimulatorProcess, ProgramsAndVerifiesAnImageLikeAnUpdate) {
  SimProcess sim({"--flash-size", "65536"});
  auto conn = connectTo(sim);
  std::mt19937 rng(7);
  std::string image(16 * 300 + 5, '\0');
  for (char& c : image) c = static_cast<char>(rng());

  EXPECT_EQ(ask(*conn, "FPGA_ERASE 12"), "OK");
  EXPECT_EQ(ask(*conn, "FPGA_RST_PAGE_PTR CFG"), "OK");
  for (std::size_t i = 0; i < image.size(); i += 16) {
    ASSERT_EQ(ask(*conn, wire::programLine(std::string_view(image).substr(i, 16))), "0");
  }
  EXPECT_EQ(ask(*conn, "FPGA_RST_PAGE_PTR CFG"), "OK");
  std::string read_back;
  for (std::size_t i = 0; i < image.size(); i += 16) {
    const std::string frame = readPage(*conn);
    ASSERT_EQ(frame.size(), 22u);
    read_back += frame.substr(4, 16);
  }
  EXPECT_EQ(read_back.substr(0, image.size()), image);
  EXPECT_EQ(read_back.substr(image.size()), std::string(11, '\xff'));
  EXPECT_EQ(ask(*conn, "SIM_FLASH_SHA256? " + std::to_string(image.size())), sha256(image));
  EXPECT_EQ(ask(*conn, "FPGA_DONE"), "OK");
  conn->closeConnection();
  EXPECT_EQ(sim.stop(), 0);
}

TEST(SimulatorProcess, IdentityFlagsAndVersionAfterUpdate) {
  SimProcess sim({"--device-id", "0xFEED", "--fpga-version", "0.2.3.3", "--version-after-update",
                  "0.2.4.0", "--fw-version", "0.1.0.7", "--serial", "KRX-T-7", "--fe-info",
                  R"({"fe1": {"fpga_ver": "1.2.0.0"}})"});
  auto conn = connectTo(sim);
  EXPECT_EQ(ask(*conn, "FPGA_GET_ID"), "0xFEED");
  EXPECT_EQ(ask(*conn, "GET_FW_VER"), "0.1.0.7");
  EXPECT_EQ(ask(*conn, "GET_SN"), "KRX-T-7");
  EXPECT_EQ(ask(*conn, "GET_FE_INFO"), R"({"fe1":{"fpga_ver":"1.2.0.0"}})");
  EXPECT_EQ(ask(*conn, "GET_FPGA_VER"), "0.2.3.3");
  EXPECT_EQ(ask(*conn, "FPGA_REFRESH"), "OK");
  EXPECT_EQ(ask(*conn, "GET_FPGA_VER"), "0.2.4.0");
}

TEST(SimulatorProcess, RefuseBlocksAndRefuseFromOverTcp) {
  SimProcess sim({"--refuse-blocks", "1", "--refuse-from", "32"});
  auto conn = connectTo(sim);
  const std::string first = wire::programLine(page('a'));
  EXPECT_EQ(ask(*conn, first), "1");
  EXPECT_EQ(ask(*conn, first), "0");
  const std::string second = wire::programLine(page('b'));
  EXPECT_EQ(ask(*conn, second), "1");
  EXPECT_EQ(ask(*conn, second), "0");
  const std::string third = wire::programLine(page('c'));
  for (int i = 0; i < 4; ++i) EXPECT_EQ(ask(*conn, third), "1");
  EXPECT_EQ(ask(*conn, "SIM_PAGE_PTR?"), "2");
}

TEST(SimulatorProcess, CorruptReadFlipsTheByteOnlyOnTheWayBack) {
  SimProcess sim({"--corrupt-read", "0x12"});
  auto conn = connectTo(sim);
  ask(*conn, wire::programLine(page('a')));
  ask(*conn, wire::programLine(page('b')));
  ask(*conn, "FPGA_RST_PAGE_PTR CFG");
  EXPECT_EQ(readPage(*conn), wire::blockFrame(page('a')));
  std::string spoiled = page('b');
  spoiled[2] = static_cast<char>(~spoiled[2]);
  EXPECT_EQ(readPage(*conn), wire::blockFrame(spoiled));
  EXPECT_EQ(ask(*conn, "SIM_FLASH_HEX? 16,16"), "62636465666768696a6b6c6d6e6f7071");
}

TEST(SimulatorProcess, CloseAfterDropsTheLinkAndServesTheNextClient) {
  SimProcess sim({"--close-after", "2"});
  auto conn = connectTo(sim);
  EXPECT_EQ(ask(*conn, "FPGA_GET_ID"), "0x0362D093");
  EXPECT_EQ(ask(*conn, "GET_SN"), "KRX-SIM-0001");
  EXPECT_THROW(ask(*conn, "GET_SN"), kestrix::ConnectionError);
  auto again = connectTo(sim);
  EXPECT_EQ(ask(*again, "GET_SN"), "KRX-SIM-0001");
}

TEST(SimulatorProcess, StallAfterKeepsTheLinkOpenButSilent) {
  SimProcess sim({"--stall-after", "1"});
  auto conn = connectTo(sim, 0.3);
  EXPECT_EQ(ask(*conn, "FPGA_GET_ID"), "0x0362D093");
  EXPECT_THROW(ask(*conn, "GET_SN"), kestrix::TimeoutError);
}

TEST(SimulatorProcess, GarbageRepliesAreNotText) {
  SimProcess sim({"--garbage"});
  auto conn = connectTo(sim);
  EXPECT_THROW(ask(*conn, "FPGA_GET_ID"), kestrix::DecodeError);
  EXPECT_EQ(readPage(*conn), kestrix::sim::replies::kGarbage);
}

TEST(SimulatorProcess, ClientLeavingMidCommandLeavesTheDeviceReady) {
  SimProcess sim;
  {
    auto conn = connectTo(sim);
    EXPECT_EQ(ask(*conn, "FPGA_RST_PAGE_PTR CFG"), "OK");
    conn->sendRawBytes("FPGA_PROGRAM #216abc");  // the rest never comes
    conn->closeConnection();
  }
  auto conn = connectTo(sim);
  EXPECT_EQ(ask(*conn, "SIM_PAGE_PTR?"), "0");
  EXPECT_EQ(ask(*conn, wire::programLine(page('a'))), "0");
  EXPECT_EQ(
      ask(*conn, "SIM_STATS?"),
      R"({"commands":2,"program":1,"refused":0,"read":0,"erase":0,"refresh":0,"stored_beams":0,"reboots":0})");
}

TEST(SimulatorProcess, FlashFileKeepsTheFlashAcrossRuns) {
  const TempDir dir;
  const std::string path = dir.path("flash.bin");
  {
    SimProcess sim({"--flash-size", "256", "--flash-file", path});
    auto conn = connectTo(sim);
    EXPECT_EQ(ask(*conn, "FPGA_ERASE 12"), "OK");
    EXPECT_EQ(ask(*conn, wire::programLine(page('k'))), "0");
    conn->closeConnection();
    EXPECT_EQ(sim.stop(SIGINT), 0);
  }
  std::ifstream in(path, std::ios::binary);
  const std::string saved((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(saved, page('k') + std::string(240, '\xff'));
  {
    SimProcess sim({"--flash-size", "256", "--flash-file", path});
    auto conn = connectTo(sim);
    EXPECT_EQ(readPage(*conn), wire::blockFrame(page('k')));
  }
  // A file of another size is refused rather than silently resized.
  const std::string cmd = std::string(KESTRIX_SIM_BINARY) +
                          " --port 0 --flash-size 512 --flash-file " + path + " >/dev/null 2>&1";
  const int status = std::system(cmd.c_str());
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
}

TEST(SimulatorProcess, BadCommandLineExitsWithTwo) {
  for (const char* args : {"--bogus", "--port", "--flash-size 12"}) {
    const std::string cmd = std::string(KESTRIX_SIM_BINARY) + " " + args + " >/dev/null 2>&1";
    const int status = std::system(cmd.c_str());
    ASSERT_TRUE(WIFEXITED(status)) << args;
    EXPECT_EQ(WEXITSTATUS(status), 2) << args;
  }
}

}  // namespace
