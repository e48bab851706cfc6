// Threads that share one connection, and operations stopped from outside, against the simulator.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fakes.hpp"
#include "kestrix/contracts/cancel.hpp"
#include "kestrix/contracts/errors.hpp"
#include "kestrix/flash/fpga_tool.hpp"
#include "kestrix/net/tcp_connection.hpp"
#include "sim_process.hpp"
#include "temp_dir.hpp"

namespace kestrix::testing {
namespace {

using flash::FpgaTool;
using std::chrono::steady_clock;

std::shared_ptr<net::TcpConnection> connect(const SimProcess& sim, double timeout) {
  auto conn = std::make_shared<net::TcpConnection>(sim.host(), sim.port(),
                                                   net::TcpOptions{2.0, timeout, {}});
  EXPECT_TRUE(conn->initConnection());
  return conn;
}

// Runs `f` on another thread after `delay`.
class Later {
 public:
  Later(std::chrono::milliseconds delay, std::function<void()> f)
      : thread_([delay, f = std::move(f)] {
          std::this_thread::sleep_for(delay);
          f();
        }) {}
  ~Later() { thread_.join(); }

 private:
  std::thread thread_;
};

TEST(SharedConnection, ThreadsTakeTurnsAndEachGetsItsOwnReply) {
  SimProcess sim;
  auto conn = connect(sim, 5.0);
  constexpr int kRounds = 1500;
  std::atomic<int> wrong{0};
  const auto ids = [&] {
    FpgaTool tool(conn, std::make_shared<FakeHost>());
    for (int i = 0; i < kRounds; ++i) wrong += tool._fpgaGetId() != "0x0362D093";
  };
  const auto pages = [&] {
    FpgaTool tool(conn, std::make_shared<FakeHost>());
    for (int i = 0; i < kRounds; ++i) wrong += tool._fpgaRead() != std::string(16, '\xff');
  };
  std::thread a(ids);
  std::thread b(pages);
  std::thread c(ids);
  a.join();
  b.join();
  c.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_TRUE(conn->isOpen());
}

TEST(SharedConnection, ClosingFromAnotherThreadWakesAWaitingCaller) {
  SimProcess sim({"--stall-after", "0"});
  auto conn = connect(sim, 30.0);
  const auto start = steady_clock::now();
  {
    Later close(std::chrono::milliseconds(100), [&] { conn->closeConnection(); });
    EXPECT_THROW(conn->sendCmd("FPGA_GET_ID\r\n", RspType::RSP_LIST), ConnectionError);
  }
  // Woken by the close, not by the 30 s time-out.
  EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_FALSE(conn->isOpen());
}

TEST(Cancel, ATokenStopsAWaitForASilentDeviceAndClosesTheLink) {
  SimProcess sim({"--stall-after", "3"});
  auto conn = connect(sim, 30.0);
  auto host = std::make_shared<FakeHost>();
  FpgaTool tool(conn, host);
  CancelToken token;
  tool.set_cancel_token(token);
  const TempDir dir;
  const std::string path = dir.write("wait.bin", std::string(4096, 'x'));
  const auto start = steady_clock::now();
  {
    Later cancel(std::chrono::milliseconds(100), [&] { token.cancel(); });
    EXPECT_THROW(tool.processFpgaUpdate(path, 28), CancelledError);
  }
  EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(10));
  // A late reply must not be taken for the next command's.
  EXPECT_FALSE(conn->isOpen());
  EXPECT_TRUE(host->logged(LogLevel::ERROR,
                           "FPGA update interrupted in the write phase at byte offset 16 of 4096: "
                           "the flash is incomplete; run the update again"));
}

TEST(Cancel, ATokenStopsTheWaitAfterReinitialisation) {
  SimProcess sim;
  FpgaTool tool(connect(sim, 5.0), std::make_shared<ProcessHost>(LogLevel::ERROR));
  CancelToken token;
  tool.set_cancel_token(token);
  const TempDir dir;
  const std::string path = dir.write("sleep.bin", std::string(64, 'x'));
  std::atomic<bool> verified{false};
  tool.set_progress_callback([&](std::string_view stage, std::uint64_t done, std::uint64_t total) {
    if (stage == "verify" && done == total && total > 0) verified = true;
  });
  const auto start = steady_clock::now();
  {
    // The 64-byte update is done in milliseconds; the token comes during the 3 s wait.
    Later cancel(std::chrono::milliseconds(500), [&] { token.cancel(); });
    EXPECT_THROW(tool.processFpgaUpdate(path, 32), CancelledError);
  }
  EXPECT_TRUE(verified);
  EXPECT_LT(steady_clock::now() - start, std::chrono::milliseconds(2500));
}

}  // namespace
}  // namespace kestrix::testing
