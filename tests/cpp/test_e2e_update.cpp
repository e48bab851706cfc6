// Whole updates through the C++ API on the C++ TCP connection, against the simulator process.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <utility>

#include "fakes.hpp"
#include "kestrix/contracts/errors.hpp"
#include "kestrix/crypto/sha256.hpp"
#include "kestrix/flash/fpga_tool.hpp"
#include "kestrix/flash/image_pack.hpp"
#include "kestrix/net/tcp_connection.hpp"
#include "sim_process.hpp"
#include "temp_dir.hpp"

namespace kestrix::testing {
namespace {

namespace fs = std::filesystem;
using flash::FpgaTool;

class EndToEnd : public ::testing::Test {
 protected:
  std::string image(std::size_t size) {
    std::mt19937 rng(static_cast<unsigned>(size));
    std::string data(size, '\0');
    for (char& c : data) c = static_cast<char>(rng());
    return data;
  }
  static std::shared_ptr<net::TcpConnection> connect(const SimProcess& sim, double timeout = 5.0) {
    auto conn = std::make_shared<net::TcpConnection>(sim.host(), sim.port(),
                                                     net::TcpOptions{2.0, timeout, {}});
    EXPECT_TRUE(conn->initConnection());
    return conn;
  }
  static std::string ask(const SimProcess& sim, const std::string& query) {
    auto conn = connect(sim);
    const RetType r = conn->sendCmd(query + "\r\n", RspType::RSP_STRING);
    conn->closeConnection();
    return r.data.get<std::string>();
  }
  static std::string sha256(const std::string& data) {
    crypto::Sha256 h;
    h.update(data);
    return h.hexdigest();
  }

  TempDir dir_;
};

TEST_F(EndToEnd, RawAndContainerImagesLandExactly) {
  SimProcess sim({"--version-after-update", "0.4.0.0"});
  for (std::size_t size : {std::size_t{4096}, std::size_t{1001}}) {
    const std::string data = image(size);
    for (const std::string& path :
         {dir_.write("a.bin", data), dir_.write("a.tbin", flash::packTbin(data))}) {
      auto host = std::make_shared<FakeHost>();
      FpgaTool tool(sim.host(), sim.port(), net::tcpConnectionFactory(), host);
      const RetType ret = tool.processFpgaUpdate(path, 32);
      tool.disconnect();
      ASSERT_EQ(ret.code, RetCode::OK) << path;
      EXPECT_EQ(ret.data["fw_version"], "0.4.0.0");
      EXPECT_EQ(host->sleeps, std::vector<int>{3});
      EXPECT_EQ(ask(sim, "SIM_FLASH_SHA256? " + std::to_string(size)), sha256(data)) << path;
    }
  }
}

// Replaces the image file the moment its digests have been checked, as a build step's rename
// would between the check and the programming.
class SwappingHost : public FakeHost {
 public:
  std::function<void()> after_check;
  void log(LogLevel level, std::string_view message) override {
    FakeHost::log(level, message);
    if (message == "FPGA tbin hash verify success" && after_check)
      std::exchange(after_check, nullptr)();
  }
};

TEST_F(EndToEnd, AnImageReplacedAfterItsCheckIsNotWhatGetsFlashed) {
  SimProcess sim;
  const std::string checked = image(4096);
  const std::string path = dir_.write("a.tbin", flash::packTbin(checked));
  std::string tampered = flash::packTbin(image(4095) + "!");
  tampered.back() ^= 1;  // its digests no longer match
  const std::string other = dir_.write("b.tbin", tampered);
  auto host = std::make_shared<SwappingHost>();
  host->after_check = [&] { fs::rename(other, path); };
  FpgaTool tool(connect(sim), host);
  const RetType ret = tool.processFpgaUpdate(path, 32);
  tool._conn()->closeConnection();
  ASSERT_EQ(ret.code, RetCode::OK);
  EXPECT_FALSE(host->after_check);  // the file was replaced
  EXPECT_EQ(ask(sim, "SIM_FLASH_SHA256? 4096"), sha256(checked));
}

TEST_F(EndToEnd, ARawImageTruncatedWhileItIsFlashedIsFlashedWhole) {
  SimProcess sim;
  const std::string data = image(160 * 1024);  // more than any read-ahead buffer
  const std::string path = dir_.write("a.bin", data);
  FpgaTool tool(connect(sim), std::make_shared<FakeHost>());
  bool truncated = false;
  tool.set_progress_callback([&](std::string_view stage, std::uint64_t done, std::uint64_t) {
    if (stage == "write" && done > 0 && !truncated) {
      fs::resize_file(path, 100);
      truncated = true;
    }
  });
  const RetType ret = tool.processFpgaUpdate(path, 28);
  tool._conn()->closeConnection();
  ASSERT_EQ(ret.code, RetCode::OK);
  EXPECT_TRUE(truncated);
  EXPECT_EQ(ask(sim, "SIM_FLASH_SHA256? " + std::to_string(data.size())), sha256(data));
}

TEST_F(EndToEnd, RefusedForeverStopsAndSendsNothingMore) {
  SimProcess sim({"--refuse-from", "32"});
  FpgaTool tool(connect(sim), std::make_shared<FakeHost>());
  EXPECT_THROW(tool.processFpgaUpdate(dir_.write("a.bin", image(100)), 28), BlockRefusedError);
  tool._conn()->closeConnection();
  const Json stats = Json::parse(ask(sim, "SIM_STATS?"));
  EXPECT_EQ(stats["program"], 2 + 10);
  EXPECT_EQ(stats["read"], 0);
}

TEST_F(EndToEnd, CorruptedReadBackIsNeverASuccess) {
  SimProcess sim({"--corrupt-read", "5"});
  auto host = std::make_shared<FakeHost>();
  FpgaTool tool(connect(sim), host);
  const RetType ret = tool.processFpgaUpdate(dir_.write("a.bin", image(64)), 28);
  EXPECT_EQ(ret.code, RetCode::ERROR);
  EXPECT_EQ(ret.message, "FPGA update process failed.");
  EXPECT_TRUE(host->logged(LogLevel::ERROR, "Verify Failed"));
}

TEST_F(EndToEnd, DroppedAndSilentLinksFailWithinTheTimeout) {
  for (const auto& [flag, is_timeout] :
       {std::pair{std::string("--close-after"), false}, {std::string("--stall-after"), true}}) {
    SimProcess sim({flag, "7"});
    FpgaTool tool(connect(sim, 0.5), std::make_shared<FakeHost>());
    const auto start = std::chrono::steady_clock::now();
    try {
      tool.processFpgaUpdate(dir_.write("a.bin", image(256)), 32);
      ADD_FAILURE() << flag << ": no error";
    } catch (const TimeoutError&) {
      EXPECT_TRUE(is_timeout) << flag;
    } catch (const ConnectionError&) {
      EXPECT_FALSE(is_timeout) << flag;
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3)) << flag;
  }
}

}  // namespace
}  // namespace kestrix::testing
