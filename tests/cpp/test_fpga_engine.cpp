// The programming engine against a model of the controller.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "fakes.hpp"
#include "kestrix/contracts/cancel.hpp"
#include "kestrix/contracts/errors.hpp"
#include "kestrix/crypto/sha256.hpp"
#include "kestrix/flash/fpga_tool.hpp"
#include "temp_dir.hpp"

namespace kestrix::testing {
namespace {

using flash::FpgaTool;

std::string pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return s;
}

std::string u32(std::uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
          static_cast<char>(v)};
}

// A container whose digests are irrelevant to the engine: it only reads the image range.
std::string container(const std::string& image, std::uint32_t start, std::uint32_t length) {
  std::string file = u32(2) + u32(length) + u32(start) + std::string(4 + 64, '\0') + "{}";
  if (file.size() < start) file.resize(start, '\0');
  return file + image;
}

struct Call {
  std::string stage;
  std::uint64_t done, total;
  bool operator==(const Call& o) const {
    return stage == o.stage && done == o.done && total == o.total;
  }
};

struct Rig {
  std::shared_ptr<FakeController> device = std::make_shared<FakeController>();
  std::shared_ptr<FakeHost> host = std::make_shared<FakeHost>();
  FpgaTool tool{device, host};
  std::vector<Call> calls;
  Rig() {
    tool.set_progress_callback([this](std::string_view s, std::uint64_t d, std::uint64_t t) {
      calls.push_back({std::string(s), d, t});
    });
  }
};

class ImageSizes : public ::testing::TestWithParam<std::tuple<std::size_t, bool>> {};

TEST_P(ImageSizes, WritesReadsBackAndVerifies) {
  const auto [size, as_container] = GetParam();
  TempDir dir;
  const std::string image = pattern(size);
  const std::string path = as_container ? dir.write("img.TBin", container(image, 90, size))
                                        : dir.write("img.bin", image);
  Rig rig;
  EXPECT_TRUE(rig.tool._fpgaProgramFile(path, 32));
  EXPECT_EQ(rig.device->flash.substr(0, size), image);
  const std::size_t pages = (size + 15) / 16;
  EXPECT_EQ(rig.device->countOf("FPGA_PROGRAM"), pages);
  EXPECT_EQ(rig.device->countOf("FPGA_READ"), pages);
  // The last block carries only what is left; nothing pads it.
  EXPECT_EQ(rig.device->program_blocks.back().size(), size % 16 ? size % 16 : 16);
  EXPECT_TRUE(rig.host->logged(LogLevel::INFO, "Verify Success"));
  // Progress: first call before the image, never beyond the total.
  ASSERT_FALSE(rig.calls.empty());
  EXPECT_EQ(rig.calls.front(), (Call{"write", 0, 0}));
  EXPECT_EQ(rig.calls[pages], (Call{"write", size, size}));
  EXPECT_EQ(rig.calls[pages + 1], (Call{"verify", 0, size}));
  EXPECT_EQ(rig.calls.back(), (Call{"verify", size, size}));
  EXPECT_EQ(rig.calls.size(), 2 * pages + 2);
  for (const auto& c : rig.calls) EXPECT_LE(c.done, c.total) << c.stage;
}

INSTANTIATE_TEST_SUITE_P(RawAndContainer, ImageSizes,
                         ::testing::Combine(::testing::Values(1, 9, 16, 20, 31, 32, 1000),
                                            ::testing::Bool()));

TEST(Engine, CommandOrderByDeviceType) {
  TempDir dir;
  const std::string path = dir.write("a.bin", pattern(20));
  const std::string mid =
      "FPGA_RST_PAGE_PTR FPGA_PROGRAM FPGA_PROGRAM FPGA_RST_PAGE_PTR "
      "FPGA_READ FPGA_READ FPGA_DONE FPGA_REFRESH";
  for (const auto& [type, expected, sleeps] :
       std::vector<std::tuple<int, std::string, std::vector<int>>>{
           {32, "FPGA_ERASE " + mid + " REINIT_RF_MODULE", {3}},
           {28, "FPGA_ERASE " + mid, {}},
           {30, mid, {}}}) {
    Rig rig;
    EXPECT_TRUE(rig.tool._fpgaProgramFile(path, type));
    EXPECT_EQ(rig.device->words(), expected) << type;
    EXPECT_EQ(rig.host->sleeps, sleeps) << type;
  }
}

TEST(Engine, EraseArgumentsAndPagePointerSection) {
  TempDir dir;
  const std::string path = dir.write("a.bin", pattern(4));
  for (const auto& [type, erase] :
       {std::pair{32, "FPGA_ERASE 12\r\n"}, {28, "FPGA_ERASE 14\r\n"}}) {
    auto conn = std::make_shared<ScriptedConnection>();
    for (int i = 0; i < 3; ++i) conn->reply(i == 2 ? "0" : "OK");
    conn->raw_replies.push_back("#216" + pattern(4) + std::string(12, '\xff') + "\r\n");
    FpgaTool tool(conn, std::make_shared<FakeHost>());
    EXPECT_TRUE(tool._fpgaProgramFile(path, type));
    EXPECT_EQ(conn->lines[0], erase);
    EXPECT_EQ(conn->lines[1], "FPGA_RST_PAGE_PTR CFG\r\n");
    EXPECT_EQ(conn->lines[2], "FPGA_PROGRAM #14" + pattern(4) + "\r\n");
  }
}

TEST(Engine, ProgressDisplayFormat) {
  TempDir dir;
  const std::string path = dir.write("a.bin", pattern(20));
  Rig rig;
  ASSERT_TRUE(rig.tool._fpgaProgramFile(path, 30));
  EXPECT_EQ(rig.host->out,
            "\rProgress: 80.00% (16/20 bytes), block time: 0.0123 sec"
            "\rProgress: 100.00% (20/20 bytes), block time: 0.0123 sec\n"
            "\rProgress: 80.00% (16/20 bytes), block time: 0.0123 sec"
            "\rProgress: 100.00% (20/20 bytes), block time: 0.0123 sec\n");
  EXPECT_EQ(rig.host->flushes, 6);
  EXPECT_TRUE(
      rig.host->logged(LogLevel::INFO, "FPGA program file finished. Total time: 0.5000 sec"));
}

TEST(Engine, LogLinesInOrder) {
  TempDir dir;
  const std::string path = dir.write("a.bin", "abc");
  Rig rig;
  ASSERT_TRUE(rig.tool._fpgaProgramFile(path, 30));
  crypto::Sha256 h;
  h.update("abc");
  const std::string digest = h.hexdigest();
  EXPECT_EQ(rig.host->logs,
            (std::vector<LogRecord>{
                {LogLevel::DEBUG, "w hash: " + digest},
                {LogLevel::INFO, "Verify Data"},
                {LogLevel::DEBUG, "r hash: " + digest},
                {LogLevel::INFO, "Verify Success"},
                {LogLevel::INFO, "FPGA program file finished. Total time: 0.5000 sec"}}));
}

TEST(Engine, RefusedBlockIsResentUnchangedAndCountedOnce) {
  TempDir dir;
  const std::string path = dir.write("a.bin", pattern(40));
  Rig rig;
  rig.device->refuse_each_block = 2;
  EXPECT_TRUE(rig.tool._fpgaProgramFile(path, 30));
  EXPECT_EQ(rig.device->countOf("FPGA_PROGRAM"), 9u);
  EXPECT_EQ(rig.device->program_blocks.size(), 3u);
  EXPECT_EQ(rig.calls.size(), 2u * 3 + 2);
}

TEST(Engine, BlockRefusedTenTimesStopsWithTheOffsetAndSendsNothingMore) {
  TempDir dir;
  const std::string path = dir.write("a.bin", pattern(64));
  Rig rig;
  rig.device->refuse_from = 32;
  try {
    rig.tool._fpgaProgramFile(path, 32);
    FAIL() << "no error";
  } catch (const BlockRefusedError& e) {
    EXPECT_STREQ(e.what(),
                 "FPGA block at byte offset 32 refused by the controller 10 times; update stopped");
  }
  EXPECT_EQ(rig.device->countOf("FPGA_PROGRAM"), 2u + 10u);
  EXPECT_EQ(rig.device->commands.back(), "FPGA_PROGRAM");
}

TEST(Engine, CorruptedReadBackFailsVerifyButFinishes) {
  TempDir dir;
  const std::string path = dir.write("a.bin", pattern(50));
  Rig rig;
  rig.device->corrupt_at = 33;
  EXPECT_FALSE(rig.tool._fpgaProgramFile(path, 32));
  EXPECT_TRUE(rig.host->logged(LogLevel::ERROR, "Verify Failed"));
  EXPECT_EQ(rig.device->commands.back(), "REINIT_RF_MODULE");
  EXPECT_EQ(rig.device->countOf("FPGA_DONE"), 1u);
  EXPECT_EQ(rig.host->sleeps, std::vector<int>{3});
}

TEST(Engine, ErasedTailOfTheLastPageIsNotVerified) {
  TempDir dir;
  const std::string path = dir.write("a.bin", pattern(20));
  Rig rig;
  rig.device->corrupt_at = 25;  // beyond the image, inside its last page
  EXPECT_TRUE(rig.tool._fpgaProgramFile(path, 30));
}

TEST(Engine, ShortReadBackFailsVerify) {
  TempDir dir;
  const std::string path = dir.write("a.bin", pattern(32));
  Rig rig;
  rig.device->short_reads = true;
  EXPECT_FALSE(rig.tool._fpgaProgramFile(path, 30));
}

TEST(Engine, EmptyImageSendsNothing) {
  TempDir dir;
  for (const auto& path : {dir.write("e.bin", ""), dir.write("e.tbin", container("", 80, 0))}) {
    Rig rig;
    EXPECT_FALSE(rig.tool._fpgaProgramFile(path, 32));
    EXPECT_TRUE(rig.device->commands.empty());
    EXPECT_TRUE(rig.calls.empty());
    EXPECT_TRUE(rig.host->logged(LogLevel::ERROR, "FPGA image holds no data: " + path));
  }
}

TEST(Engine, UnreadableImageFailsBeforeTheErase) {
  TempDir dir;
  Rig rig;
  EXPECT_THROW(rig.tool._fpgaProgramFile(dir.write("x.bin", "") + ".missing", 32), FileError);
  EXPECT_THROW(rig.tool._fpgaProgramFile(dir.write("short.tbin", "0123456789"), 32), FileError);
  EXPECT_TRUE(rig.device->commands.empty());
}

TEST(Engine, ContainerRangePastTheEndIsCutShort) {
  TempDir dir;
  const std::string image = pattern(24);
  const std::string path = dir.write("c.tbin", container(image, 100, 4096));
  Rig rig;
  EXPECT_TRUE(rig.tool._fpgaProgramFile(path, 30));
  EXPECT_EQ(rig.device->flash.substr(0, 24), image);
  EXPECT_EQ(rig.calls[2], (Call{"write", 24, 24}));
}

TEST(Engine, OnlyTheLastExtensionSelectsTheContainer) {
  TempDir dir;
  const std::string bytes = container(pattern(5), 90, 5);
  const std::string path = dir.write("firmware.tbin.bin", bytes);
  Rig rig;
  EXPECT_TRUE(rig.tool._fpgaProgramFile(path, 30));
  EXPECT_EQ(rig.device->flash.substr(0, bytes.size()), bytes);
}

TEST(Engine, FailureMidStreamStopsEverything) {
  TempDir dir;
  const std::string path = dir.write("a.bin", pattern(64));
  Rig rig;
  rig.device->throw_at_command = 4;
  EXPECT_THROW(rig.tool._fpgaProgramFile(path, 32), ConnectionError);
  EXPECT_EQ(rig.device->commands.size(), 4u);
}

TEST(Engine, CallbackFailureStopsTheUpdate) {
  TempDir dir;
  const std::string path = dir.write("a.bin", pattern(64));
  Rig rig;
  rig.tool.set_progress_callback([](std::string_view stage, std::uint64_t done, std::uint64_t) {
    if (stage == "write" && done == 32) throw std::runtime_error("user abort");
  });
  EXPECT_THROW(rig.tool._fpgaProgramFile(path, 32), std::runtime_error);
  EXPECT_EQ(rig.device->commands.back(), "FPGA_PROGRAM");
  EXPECT_EQ(rig.device->countOf("FPGA_PROGRAM"), 2u);
}

TEST(Engine, CallbackMayReplaceItselfWhileRunning) {
  TempDir dir;
  const std::string path = dir.write("a.bin", pattern(48));
  Rig rig;
  int calls = 0;
  rig.tool.set_progress_callback([&](std::string_view, std::uint64_t, std::uint64_t) {
    ++calls;
    rig.tool.set_progress_callback(std::shared_ptr<flash::ProgressCallback>());
  });
  EXPECT_TRUE(rig.tool._fpgaProgramFile(path, 30));
  EXPECT_EQ(calls, 1);
}

struct CancelPoint {
  const char* stage;
  const char* last_command;
  std::size_t program_lines;
  const char* message;
};

void PrintTo(const CancelPoint& at, std::ostream* out) {
  *out << at.stage;
}

class Cancel : public ::testing::TestWithParam<CancelPoint> {};

// A token raised after the 64th byte of a phase stops before the next block, and the message
// says where and what the flash holds: a cut-short write leaves it incomplete, a cut-short
// read-back leaves every byte written but unverified.
TEST_P(Cancel, ATokenRaisedMidPhaseStopsBeforeTheNextBlockAndSaysWhere) {
  const CancelPoint& at = GetParam();
  TempDir dir;
  Rig rig;
  CancelToken token;
  rig.tool.set_cancel_token(token);
  rig.tool.set_progress_callback([&](std::string_view stage, std::uint64_t done, std::uint64_t) {
    if (stage == at.stage && done == 64) token.cancel();
  });
  EXPECT_THROW(rig.tool._fpgaProgramFile(dir.write("a.bin", pattern(200)), 28), CancelledError);
  EXPECT_EQ(rig.device->countOf("FPGA_PROGRAM"), at.program_lines);
  EXPECT_EQ(rig.device->commands.back(), at.last_command);
  EXPECT_EQ(rig.host->messages(LogLevel::ERROR), std::vector<std::string>{at.message});
}

INSTANTIATE_TEST_SUITE_P(
    Phases, Cancel,
    ::testing::Values(
        CancelPoint{"write", "FPGA_PROGRAM", 4,
                    "FPGA update interrupted in the write phase at byte offset 64 of 200: the "
                    "flash is incomplete; run the update again"},
        CancelPoint{"verify", "FPGA_READ", 13,
                    "FPGA update interrupted in the verify phase at byte offset 64 of 200: the "
                    "flash is written but not verified; run the update again"}),
    [](const ::testing::TestParamInfo<CancelPoint>& info) {
      return std::string(info.param.stage);
    });

}  // namespace
}  // namespace kestrix::testing
