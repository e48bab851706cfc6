// The transfer window against the simulator: every fault ends as the lock-step update ends it
// (success with the flash equal to the image, or the same kind of failure), never in a false
// success, whether the window runs on the caller's thread or on an event loop; and the display
// written in pieces off a terminal.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "fakes.hpp"
#include "kestrix/contracts/errors.hpp"
#include "kestrix/crypto/sha256.hpp"
#include "kestrix/flash/fpga_tool.hpp"
#include "kestrix/net/tcp_connection.hpp"
#include "sim_process.hpp"

namespace kestrix::testing {
namespace {

namespace fs = std::filesystem;
using flash::FpgaTool;

// How an update ended: "ok", "verify failed", or the kind of error it threw.
std::string outcome(FpgaTool& tool, const std::string& path, std::int64_t type) {
  try {
    return tool.processFpgaUpdate(path, type).ok() ? "ok" : "verify failed";
  } catch (const BlockRefusedError& e) {
    return "refused at " + std::to_string(e.offset());
  } catch (const TimeoutError&) {
    return "timeout";
  } catch (const ConnectionError&) {
    return "connection lost";
  } catch (const ProtocolError&) {
    return "protocol";
  }
}

std::string sha256(const std::string& data) {
  crypto::Sha256 h;
  h.update(data);
  return h.hexdigest();
}

class Window : public ::testing::TestWithParam<std::vector<std::string>> {
 protected:
  Window() {
    path_ = (fs::temp_directory_path() /
             ("kestrix-window-" + std::to_string(::getpid()) + "-" +
              std::to_string(reinterpret_cast<std::uintptr_t>(this)) + ".bin"))
                .string();
    std::mt19937 rng(3);
    data_.resize(1000);
    for (char& c : data_) c = static_cast<char>(rng());
    std::ofstream(path_, std::ios::binary) << data_;
  }
  ~Window() override { fs::remove(path_); }

  // Runs the update against a fresh simulator with `flags`; returns how it ended and, when it
  // succeeded, whether the flash then holds the image.
  // With `loop`, the window's transfers run on an event loop's thread.
  std::pair<std::string, bool> update(int window, std::int64_t type, bool loop = false) {
    SimProcess sim(GetParam());
    net::TcpOptions options{2.0, 0.5, {}};
    if (loop) options.loop = std::make_shared<net::EventLoop>(1);
    auto conn = std::make_shared<net::TcpConnection>(sim.host(), sim.port(), options);
    EXPECT_TRUE(conn->initConnection());
    auto host = std::make_shared<FakeHost>();
    FpgaTool tool(conn, host);
    tool.set_window(window);
    const std::string how = outcome(tool, path_, type);
    conn->closeConnection();
    if (how != "ok") return {how, false};
    net::TcpConnection ask(sim.host(), sim.port(), net::TcpOptions{2.0, 2.0, {}});
    EXPECT_TRUE(ask.initConnection());
    const std::string flash =
        ask.sendCmd("SIM_FLASH_SHA256? " + std::to_string(data_.size()) + "\r\n", RspType::RSP_LIST)
            .data.get<std::string>();
    return {how, flash == sha256(data_)};
  }

  std::string path_;
  std::string data_;
};

TEST_P(Window, EndsAsTheLockStepUpdateEnds) {
  for (const std::int64_t type : {std::int64_t{28}, std::int64_t{30}}) {
    const auto lock_step = update(1, type);
    const auto windowed = update(32, type);
    EXPECT_EQ(windowed, lock_step) << "device type " << type;
    EXPECT_EQ(update(32, type, true), lock_step) << "device type " << type << ", on a loop";
    if (lock_step.first == "ok") {
      EXPECT_TRUE(lock_step.second && windowed.second) << "the flash holds the image";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, Window,
                         ::testing::Values(std::vector<std::string>{},
                                           std::vector<std::string>{"--refuse-blocks", "1"},
                                           std::vector<std::string>{"--refuse-from", "400"},
                                           std::vector<std::string>{"--corrupt-read", "555"},
                                           std::vector<std::string>{"--close-after", "40"},
                                           std::vector<std::string>{"--stall-after", "40"},
                                           std::vector<std::string>{"--latency-us", "300"},
                                           std::vector<std::string>{"--garbage"}),
                         [](const auto& info) {
                           std::string name = info.param.empty() ? "none" : info.param[0].substr(2);
                           for (char& c : name)
                             if (c == '-') c = '_';
                           return name;
                         });

// The block after a refused one is already on its way when the refusal comes; here the device
// takes it into the refused block's page. Only erasing and writing again makes the flash right.
TEST(WindowFallback, ARefusedBlockInsideAWindowMeansEraseAndWriteOneAtATime) {
  SimProcess sim({"--refuse-blocks", "1"});
  const std::string path = ::testing::TempDir() + "kestrix-window-fallback.bin";
  const std::string data(640, 'f');
  { std::ofstream(path, std::ios::binary) << data; }
  auto conn =
      std::make_shared<net::TcpConnection>(sim.host(), sim.port(), net::TcpOptions{2.0, 2.0, {}});
  ASSERT_TRUE(conn->initConnection());
  auto host = std::make_shared<FakeHost>();
  FpgaTool tool(conn, host);
  tool.set_window(8);
  EXPECT_TRUE(tool.processFpgaUpdate(path, 28).ok());
  EXPECT_EQ(host->messages(LogLevel::WARNING),
            std::vector<std::string>{"FPGA block at byte offset 0 refused inside the transfer "
                                     "window; erasing and writing the image again one block at a "
                                     "time"});
  const Json stats =
      Json::parse(conn->sendCmd("SIM_STATS?\r\n", RspType::RSP_LIST).data.get<std::string>());
  EXPECT_EQ(stats["erase"], 2);
  EXPECT_EQ(conn->sendCmd("SIM_FLASH_SHA256? 640\r\n", RspType::RSP_LIST).data, sha256(data));
  std::remove(path.c_str());
}

TEST(WindowSettings, OutOfRangeIsRefusedAndAConnectionThatCannotPipelineGoesOneAtATime) {
  auto conn = std::make_shared<ScriptedConnection>();
  FpgaTool tool(conn, std::make_shared<FakeHost>());
  EXPECT_THROW(tool.set_window(0), std::invalid_argument);
  EXPECT_THROW(tool.set_window(flash::kMaxWindow + 1), std::invalid_argument);
  tool.set_window(flash::kMaxWindow);
  EXPECT_EQ(tool.window(), flash::kMaxWindow);
  // No pipeline on this connection: each block is one exchange, as without a window.
  const std::string path = ::testing::TempDir() + "kestrix-window-scripted.bin";
  { std::ofstream(path, std::ios::binary) << std::string(40, 'w'); }
  for (const char* reply : {"", "", "0", "0", "0"}) conn->reply(reply);  // erase, reset, 3 blocks
  for (int i = 0; i < 3; ++i) conn->raw_replies.push_back(wire::blockFrame(std::string(16, 'w')));
  EXPECT_TRUE(tool._fpgaProgramFile(path, 28));
  EXPECT_EQ(conn->lines.size(), 2u + 3u + 1u + 2u);  // erase, reset, 3 blocks, reset, done, refresh
  EXPECT_EQ(conn->raw_lines.size(), 3u);             // one read at a time
  std::remove(path.c_str());
}

TEST(Display, OffATerminalTheSameTextComesInFewerWrites) {
  const std::string path = ::testing::TempDir() + "kestrix-display.bin";
  { std::ofstream(path, std::ios::binary) << std::string(16 * 50, 'd'); }
  std::string shown[2];
  int writes[2];
  for (const bool terminal : {true, false}) {
    auto device = std::make_shared<FakeController>();
    auto host = std::make_shared<FakeHost>();
    host->terminal = terminal;
    FpgaTool tool(device, host);
    ASSERT_TRUE(tool._fpgaProgramFile(path, 30));
    shown[terminal] = host->out;
    writes[terminal] = host->writes;
  }
  EXPECT_EQ(shown[false], shown[true]);
  EXPECT_EQ(writes[true], 2 * 50 + 2);
  EXPECT_LT(writes[false], 10);
  std::remove(path.c_str());
}

}  // namespace
}  // namespace kestrix::testing
