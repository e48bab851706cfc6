// The transport and the controller command set: exact bytes out, replies back.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "fakes.hpp"
#include "kestrix/contracts/errors.hpp"
#include "kestrix/flash/fpga_tool.hpp"
#include "kestrix/wire/protocol.hpp"

namespace kestrix::testing {
namespace {

using flash::FpgaTool;
using std::string_literals::operator""s;

struct Rig {
  std::shared_ptr<ScriptedConnection> conn = std::make_shared<ScriptedConnection>();
  std::shared_ptr<FakeHost> host = std::make_shared<FakeHost>();
  FpgaTool tool{conn, host};
};

struct CommandCase {
  const char* name;
  std::function<std::string(FpgaTool&)> call;
  std::string line;
};

class CommandBytes : public ::testing::TestWithParam<CommandCase> {};

TEST_P(CommandBytes, SendsExactLineAndReturnsReplyUnchanged) {
  Rig rig;
  rig.conn->reply(" reply text, kept as is\r\n");
  EXPECT_EQ(GetParam().call(rig.tool), " reply text, kept as is\r\n");
  ASSERT_EQ(rig.conn->lines.size(), 1u);
  EXPECT_EQ(rig.conn->lines[0], GetParam().line + "\r\n");
  EXPECT_EQ(rig.conn->rsp_types[0], RspType::RSP_LIST);
}

INSTANTIATE_TEST_SUITE_P(
    AllTextCommands, CommandBytes,
    ::testing::Values(
        CommandCase{"CtrlInit", [](FpgaTool& t) { return t._fpgaCtrlInit(); }, "FPGA_CTRL_INIT"},
        CommandCase{"GetId", [](FpgaTool& t) { return t._fpgaGetId(); }, "FPGA_GET_ID"},
        CommandCase{"GetVersion", [](FpgaTool& t) { return t._fpgaGetVersion(); }, "GET_FPGA_VER"},
        CommandCase{"CfgMode", [](FpgaTool& t) { return t._fpgaCfgMode("TRANS"); },
                    "FPGA_CFG_MODE TRANS"},
        CommandCase{"Erase", [](FpgaTool& t) { return t._fpgaErase("12"); }, "FPGA_ERASE 12"},
        CommandCase{"EraseUtf8", [](FpgaTool& t) { return t._fpgaErase("\xc3\xa9"); },
                    "FPGA_ERASE \xc3\xa9"},
        CommandCase{"RstPagePtr", [](FpgaTool& t) { return t._fpgaRstPagePtr("CFG"); },
                    "FPGA_RST_PAGE_PTR CFG"},
        CommandCase{"Done", [](FpgaTool& t) { return t._fpgaDone(); }, "FPGA_DONE"},
        CommandCase{"Refresh", [](FpgaTool& t) { return t._fpgaRefresh(); }, "FPGA_REFRESH"},
        CommandCase{"Reinit", [](FpgaTool& t) { return t._fpgaReinit(); }, "REINIT_RF_MODULE"},
        CommandCase{"GetInfo", [](FpgaTool& t) { return t._fpgaGetInfo(); }, "GET_FE_INFO"},
        CommandCase{"FwVer", [](FpgaTool& t) { return t._fpgaGetControlFwVer(); }, "GET_FW_VER"},
        CommandCase{"Serial", [](FpgaTool& t) { return t._fpgaGetSerialNumber(); }, "GET_SN"}),
    [](const auto& info) { return std::string(info.param.name); });

// A line break in an argument would make the device run a second command of the caller's choice.
TEST(CommandArguments, LineBreaksAndNulAreRefusedBeforeAnythingIsSent) {
  using Command = std::string (FpgaTool::*)(std::string_view);
  for (const Command command :
       {&FpgaTool::_fpgaCfgMode, &FpgaTool::_fpgaErase, &FpgaTool::_fpgaRstPagePtr}) {
    for (const std::string& argument :
         {std::string("TRANS\r\nFPGA_ERASE 12"), std::string("12\n"), std::string("CFG\0x", 5)}) {
      Rig rig;
      EXPECT_THROW((rig.tool.*command)(argument), std::invalid_argument);
      EXPECT_TRUE(rig.conn->lines.empty());
    }
  }
}

TEST(Transport, EmptyOrAbsentPayloadReadsAsEmptyTextWhateverTheCode) {
  Rig rig;
  rig.conn->replies.emplace_back(RetCode::ERROR, "failed", nullptr);
  rig.conn->replies.emplace_back(RetCode::OK, "", Json(""));
  EXPECT_EQ(rig.tool._sendCmd("FPGA_GET_ID"), "");
  EXPECT_EQ(rig.tool._sendCmd("FPGA_GET_ID"), "");
  EXPECT_EQ(rig.conn->lines[0], "FPGA_GET_ID\r\n");
}

TEST(Transport, NonTextPayloadIsAProtocolError) {
  Rig rig;
  rig.conn->replies.emplace_back(RetCode::OK, "", Json::array({"a", "b"}));
  EXPECT_THROW(rig.tool._sendCmd("FPGA_GET_ID"), ProtocolError);
}

struct RawCase {
  std::string frame;
  std::string data;
};

class RawReplies : public ::testing::TestWithParam<RawCase> {};

TEST_P(RawReplies, DropsFourLeadingAndTwoTrailingBytes) {
  Rig rig;
  rig.conn->raw_replies.push_back(GetParam().frame);
  EXPECT_EQ(rig.tool._fpgaRead(), GetParam().data);
  ASSERT_EQ(rig.conn->raw_lines.size(), 1u);
  EXPECT_EQ(rig.conn->raw_lines[0], "FPGA_READ\r\n");
  EXPECT_TRUE(rig.conn->lines.empty());
  EXPECT_EQ(rig.conn->sizes, std::vector<std::size_t>{1024});
}

INSTANTIATE_TEST_SUITE_P(
    Frames, RawReplies,
    ::testing::Values(
        RawCase{"#216" + std::string("0123456789\r\nABCD") + "\r\n", "0123456789\r\nABCD"},
        RawCase{"#216\x00\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\xff\r\n"s,
                "\x00\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\xff"s},
        RawCase{"#10\r\n", ""}, RawCase{"abcdef", ""}, RawCase{"abcdefg", "e"}, RawCase{"", ""}));

TEST(Transport, GetRecvDecodesStrictlyAndKeepsWhitespace) {
  Rig rig;
  rig.conn->raw_replies.push_back("  text \r\n");
  rig.conn->raw_replies.push_back("bad \xff byte");
  EXPECT_EQ(rig.tool._getRecv(), "  text \r\n");
  try {
    rig.tool._getRecv();
    FAIL() << "invalid UTF-8 accepted";
  } catch (const DecodeError& e) {
    EXPECT_EQ(e.start(), 4u);
    EXPECT_EQ(std::string(e.what()),
              "'utf-8' codec can't decode byte 0xff in position 4: invalid start byte");
  }
}

TEST(Transport, LogPrintWritesReceivedDataOnlyWhenAsked) {
  Rig rig;
  rig.conn->raw_replies.push_back("#216" + std::string(16, 'a') + "\r\n");
  rig.conn->raw_replies.push_back("#216" + std::string("it's \"q\"\r\n\x00\x7f\\xyz", 16) + "\r\n");
  rig.conn->raw_replies.push_back("plain");
  rig.tool._sendCmdRaw("FPGA_READ");
  EXPECT_TRUE(rig.host->logs.empty());
  rig.tool._sendCmdRaw("FPGA_READ", true);
  rig.tool._getRecv(true);
  EXPECT_EQ(rig.host->messages(LogLevel::DEBUG),
            (std::vector<std::string>{"Received data: b'it\\'s \"q\"\\r\\n\\x00\\x7f\\\\xyz'",
                                      "Received data: plain"}));
}

struct ProgramCase {
  std::size_t size;
  std::string header;
};

class ProgramBlock : public ::testing::TestWithParam<ProgramCase> {};

TEST_P(ProgramBlock, AnnouncesTheDataAsADefiniteLengthBlock) {
  Rig rig;
  rig.conn->reply("0");
  const std::string data(GetParam().size, '\n');
  EXPECT_TRUE(rig.tool._fpgaProgram(data));
  EXPECT_EQ(rig.conn->lines[0], "FPGA_PROGRAM " + GetParam().header + data + "\r\n");
}

INSTANTIATE_TEST_SUITE_P(Sizes, ProgramBlock,
                         ::testing::Values(ProgramCase{16, "#216"}, ProgramCase{100, "#3100"},
                                           ProgramCase{10, "#210"}, ProgramCase{8, "#18"},
                                           ProgramCase{1, "#11"}, ProgramCase{0, "#10"}));

TEST(ProgramBlock, SixteenBytesMakeThirtyFiveOnTheWire) {
  Rig rig;
  rig.tool._fpgaProgram(std::string(16, 'x'));
  EXPECT_EQ(rig.conn->lines[0].size(), 35u);
}

class ProgramAck : public ::testing::TestWithParam<std::pair<std::string, bool>> {};

TEST_P(ProgramAck, OnlyAStrippedZeroAccepts) {
  Rig rig;
  rig.conn->reply(GetParam().first);
  EXPECT_EQ(rig.tool._fpgaProgram("abc"), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(Replies, ProgramAck,
                         ::testing::Values(std::pair{"0"s, true}, std::pair{" 0 \r\n"s, true},
                                           std::pair{"\t0\n"s, true}, std::pair{""s, false},
                                           std::pair{"00"s, false}, std::pair{"1"s, false},
                                           std::pair{"0 0"s, false}, std::pair{"OK"s, false}));

TEST(Construction, BorrowedConnectionIsNeverOpenedOrClosed) {
  Rig rig;
  EXPECT_FALSE(rig.tool._owns_conn());
  rig.tool.disconnect();
  EXPECT_EQ(rig.conn->opens, 0);
  EXPECT_EQ(rig.conn->closes, 0);
  EXPECT_TRUE(rig.host->logs.empty());
}

TEST(Construction, OwnedConnectionIsOpenedAndClosedByDisconnect) {
  auto host = std::make_shared<FakeHost>();
  auto conn = std::make_shared<ScriptedConnection>();
  std::string made_for;
  FpgaTool tool(
      "10.1.2.3", 5025,
      [&](const std::string& address, int port) {
        made_for = address + ":" + std::to_string(port);
        return conn;
      },
      host);
  EXPECT_EQ(made_for, "10.1.2.3:5025");
  EXPECT_EQ(conn->opens, 1);
  EXPECT_TRUE(tool._owns_conn());
  tool.disconnect();
  tool.disconnect();
  EXPECT_EQ(conn->closes, 2);
  EXPECT_EQ(host->messages(LogLevel::INFO),
            (std::vector<std::string>{"Disconnected from FPGA device.",
                                      "Disconnected from FPGA device."}));
}

TEST(Construction, RefusedConnectionThrowsWithoutClosing) {
  auto conn = std::make_shared<ScriptedConnection>();
  conn->open_result = false;
  try {
    FpgaTool tool(
        "device.local", 6000, [&](const std::string&, int) { return conn; },
        std::make_shared<FakeHost>());
    FAIL() << "no error for a refused connection";
  } catch (const ConnectionError& e) {
    EXPECT_STREQ(e.what(), "Cannot connect to device.local:6000");
  }
  EXPECT_EQ(conn->closes, 0);
}

TEST(Construction, MissingConnectionIsAValueError) {
  EXPECT_THROW(FpgaTool(std::shared_ptr<Connection>(), std::make_shared<FakeHost>()),
               std::invalid_argument);
}

class CleaningTool : public FpgaTool {
 public:
  using FpgaTool::FpgaTool;
  void deleteTempFile() override {
    ++cleaned;
    if (fail) throw std::runtime_error("cleanup failed");
  }
  int cleaned = 0;
  bool fail = false;
};

TEST(Construction, DisconnectCleansUpFirstAndStopsWhenCleanupFails) {
  auto conn = std::make_shared<ScriptedConnection>();
  CleaningTool tool(
      "h", 1, [&](const std::string&, int) { return conn; }, std::make_shared<FakeHost>());
  tool.fail = true;
  EXPECT_THROW(tool.disconnect(), std::runtime_error);
  EXPECT_EQ(conn->closes, 0);
  tool.fail = false;
  tool.disconnect();
  EXPECT_EQ(tool.cleaned, 2);
  EXPECT_EQ(conn->closes, 1);
}

}  // namespace
}  // namespace kestrix::testing
