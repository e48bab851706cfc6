// The simulator serving many clients and many devices: the built kestrix-sim process, driven by
// the package's TcpConnection and by bare sockets that misbehave.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kestrix/contracts/errors.hpp"
#include "kestrix/net/tcp_connection.hpp"
#include "kestrix/sim/replies.hpp"
#include "kestrix/wire/protocol.hpp"
#include "raw_client.hpp"
#include "sim_process.hpp"
#include "temp_dir.hpp"

namespace {

namespace wire = kestrix::wire;
using kestrix::RspType;
using kestrix::net::TcpConnection;
using kestrix::testing::RawClient;
using kestrix::testing::SimProcess;
using kestrix::testing::TempDir;
using Clock = std::chrono::steady_clock;

const std::string kBusyLine = "ERR busy: another client is connected\r\n";

std::unique_ptr<TcpConnection> connectTo(const SimProcess& sim, int port, double timeout = 5.0) {
  kestrix::net::TcpOptions o;
  o.timeout = timeout;
  auto conn = std::make_unique<TcpConnection>(sim.host(), port, o);
  EXPECT_TRUE(conn->initConnection());
  return conn;
}

std::string ask(TcpConnection& conn, std::string_view line) {
  return conn.sendCmd(wire::terminate(line), RspType::RSP_LIST).data.get<std::string>();
}

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string page(char c) {
  return std::string(wire::kPageSize, c);
}

// Resident memory of a process, in KiB.
long residentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  long value = -1;
  while (status >> key) {
    if (key == "VmRSS:") {
      status >> value;
      break;
    }
    status.ignore(1 << 20, '\n');
  }
  return value;
}

// --- concurrent clients ------------------------------------------------------------------------

TEST(SimulatorClients, ASilentClientAndOneThatNeverReadsDoNotHoldUpAnother) {
  SimProcess sim({"--flash-size", "65536"});
  RawClient silent(sim.host(), sim.port());
  // Asks for 8 KiB replies as fast as the server takes the requests, and reads none of them.
  RawClient hog(sim.host(), sim.port());
  const std::size_t sent = hog.sendWhileTaken("SIM_FLASH_HEX? 0,4096\r\n", 64u << 20);
  EXPECT_GT(sent, 1u << 20);  // the server read a good deal before it stopped reading

  const auto start = Clock::now();
  auto conn = connectTo(sim, sim.port(), 5.0);
  EXPECT_EQ(ask(*conn, "GET_SN"), "KRX-SIM-0001");
  EXPECT_EQ(ask(*conn, "FPGA_GET_ID"), "0x0362D093");
  // At once, not after any time-out of the other two.
  EXPECT_LT(secondsSince(start), 3.0);
  // The hog's unread replies are capped: nowhere near the gigabytes it asked for.
  EXPECT_LT(residentKiB(sim.pid()), 64 * 1024);
  // The silent client is still connected and is answered when it speaks.
  silent.send("GET_SN\r\n");
  EXPECT_EQ(silent.readLines(1, 5.0), "KRX-SIM-0001\r\n");
  EXPECT_EQ(sim.stop(), 0);
}

TEST(SimulatorClients, ClientsInterleavingTheirBytesGetWholeCommands) {
  SimProcess sim({"--flash-size", "256"});
  RawClient a(sim.host(), sim.port());
  RawClient b(sim.host(), sim.port());
  const std::string a_line = wire::terminate(wire::programLine(page('a')));
  const std::string b_line = wire::terminate(wire::programLine(page('b')));
  a.send(a_line.substr(0, 10));
  b.send(b_line.substr(0, 20));
  // Let the server take the halves before the rest comes.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  b.send(b_line.substr(20));
  EXPECT_EQ(b.readLines(1, 5.0), "0\r\n");
  a.send(a_line.substr(10));
  EXPECT_EQ(a.readLines(1, 5.0), "0\r\n");
  // Each command landed whole on the one device, in the order they were complete.
  a.send("SIM_FLASH_HEX? 0,32\r\n");
  std::string hex;
  for (int i = 0; i < 16; ++i) hex += "62";
  for (int i = 0; i < 16; ++i) hex += "61";
  EXPECT_EQ(a.readLines(1, 5.0), hex + "\r\n");
}

TEST(SimulatorClients, LinkFaultsBelongToEachClient) {
  SimProcess sim({"--stall-after", "1"});
  auto first = connectTo(sim, sim.port(), 0.3);
  EXPECT_EQ(ask(*first, "GET_SN"), "KRX-SIM-0001");
  EXPECT_THROW(ask(*first, "GET_SN"), kestrix::TimeoutError);
  // Another client, connected meanwhile, has its own count.
  auto second = connectTo(sim, sim.port(), 0.3);
  EXPECT_EQ(ask(*second, "GET_SN"), "KRX-SIM-0001");
  EXPECT_THROW(ask(*second, "GET_SN"), kestrix::TimeoutError);
}

TEST(SimulatorClients, CloseAfterClosesOnlyThatClient) {
  SimProcess sim({"--close-after", "1"});
  auto first = connectTo(sim, sim.port());
  auto second = connectTo(sim, sim.port());
  EXPECT_EQ(ask(*first, "GET_SN"), "KRX-SIM-0001");
  EXPECT_THROW(ask(*first, "GET_SN"), kestrix::ConnectionError);
  EXPECT_EQ(ask(*second, "FPGA_GET_ID"), "0x0362D093");
}

TEST(SimulatorClients, AHalfClosedClientGetsEveryReplyBeforeTheClose) {
  SimProcess sim({"--latency-us", "100000"});
  RawClient client(sim.host(), sim.port());
  client.send("GET_SN\r\nFPGA_GET_ID\r\nSIM_PAGE_PTR?\r\n");
  client.shutdownWrite();
  std::string got;
  EXPECT_TRUE(client.readUntilClosed(5.0, &got));
  EXPECT_EQ(got, "KRX-SIM-0001\r\n0x0362D093\r\n0\r\n");
}

TEST(SimulatorClients, TheFlashIsSavedWhenAClientLeavesWhileOthersStay) {
  const TempDir dir;
  const std::string path = dir.path("flash.bin");
  {
    SimProcess sim({"--flash-size", "64", "--flash-file", path});
    auto stays = connectTo(sim, sim.port());
    EXPECT_EQ(ask(*stays, "GET_SN"), "KRX-SIM-0001");
    {
      auto leaves = connectTo(sim, sim.port());
      EXPECT_EQ(ask(*leaves, wire::programLine(page('s'))), "0");
      leaves->closeConnection();
    }
    std::string saved;
    const auto start = Clock::now();
    while (saved.size() != 64 && secondsSince(start) < 5.0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      std::ifstream in(path, std::ios::binary);
      saved.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    EXPECT_EQ(saved, page('s') + std::string(48, '\xff'));
    EXPECT_EQ(ask(*stays, "GET_SN"), "KRX-SIM-0001");
  }
}

// --- idle clients ------------------------------------------------------------------------------

TEST(SimulatorIdle, ASilentClientIsClosedAfterTheIdleTimeout) {
  SimProcess sim({"--idle-timeout", "1"});
  RawClient client(sim.host(), sim.port());
  client.send("GET_SN\r\n");
  EXPECT_EQ(client.readLines(1, 5.0), "KRX-SIM-0001\r\n");
  const auto start = Clock::now();
  EXPECT_TRUE(client.readUntilClosed(10.0));
  EXPECT_GE(secondsSince(start), 0.9);
  // The server goes on serving.
  auto conn = connectTo(sim, sim.port());
  EXPECT_EQ(ask(*conn, "GET_SN"), "KRX-SIM-0001");
}

TEST(SimulatorIdle, AClientThatNeverTakesItsRepliesIsDropped) {
  SimProcess sim({"--idle-timeout", "1", "--flash-size", "65536"});
  RawClient hog(sim.host(), sim.port());
  hog.sendWhileTaken("SIM_FLASH_HEX? 0,4096\r\n", 64u << 20);
  // Not reading is not taking: after the idle limit the server gives up on it.
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  std::string got;
  EXPECT_TRUE(hog.readUntilClosed(10.0, &got));
  // What reached it was the capped output and the socket buffers, not its every request.
  EXPECT_LT(got.size(), 64u << 20);
  auto conn = connectTo(sim, sim.port());
  EXPECT_EQ(ask(*conn, "GET_SN"), "KRX-SIM-0001");
}

// --- the limit of clients ----------------------------------------------------------------------

TEST(SimulatorMaxClients, OneClientTooManyIsToldTheDeviceIsBusyAndClosed) {
  SimProcess sim({"--max-clients", "1"});
  auto first = connectTo(sim, sim.port());
  EXPECT_EQ(ask(*first, "GET_SN"), "KRX-SIM-0001");

  const auto start = Clock::now();
  RawClient second(sim.host(), sim.port());
  std::string got;
  EXPECT_TRUE(second.readUntilClosed(5.0, &got));
  EXPECT_EQ(got, kBusyLine);
  EXPECT_LT(secondsSince(start), 3.0);  // at once, not after a time-out

  // One that sends a command straight away still gets the line.
  RawClient eager(sim.host(), sim.port());
  eager.send("GET_SN\r\n");
  got.clear();
  EXPECT_TRUE(eager.readUntilClosed(5.0, &got));
  EXPECT_EQ(got, kBusyLine);

  // The package's connection reports it as the device's answer.
  auto third = connectTo(sim, sim.port());
  EXPECT_EQ(ask(*third, "GET_SN"), "ERR busy: another client is connected");

  EXPECT_EQ(ask(*first, "FPGA_GET_ID"), "0x0362D093");
  first->closeConnection();
  // Once the first has gone, the next one is served (as soon as the server has seen it go).
  std::string answer;
  for (const auto begin = Clock::now(); secondsSince(begin) < 5.0;) {
    auto next = connectTo(sim, sim.port());
    try {
      answer = ask(*next, "GET_SN");
    } catch (const kestrix::ConnectionError&) {
      answer.clear();  // closed before the line could be read as a reply
    }
    if (answer == "KRX-SIM-0001") break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(answer, "KRX-SIM-0001");
}

TEST(SimulatorMaxClients, TheLimitIsPerDevice) {
  SimProcess sim(2, {"--max-clients", "1"});
  auto a = connectTo(sim, sim.ports()[0]);
  auto b = connectTo(sim, sim.ports()[1]);
  EXPECT_EQ(ask(*a, "GET_SN"), "KRX-SIM-0001-0");
  EXPECT_EQ(ask(*b, "GET_SN"), "KRX-SIM-0001-1");
  RawClient extra(sim.host(), sim.ports()[1]);
  std::string got;
  EXPECT_TRUE(extra.readUntilClosed(5.0, &got));
  EXPECT_EQ(got, kBusyLine);
}

// --- latency -----------------------------------------------------------------------------------

TEST(SimulatorLatency, PipelinedCommandsWaitOnceNotOncePerReply) {
  SimProcess sim({"--latency-us", "200000"});
  RawClient client(sim.host(), sim.port());
  const auto start = Clock::now();
  for (int i = 0; i < 10; ++i) client.send("GET_SN\r\n");
  std::string expected;
  for (int i = 0; i < 10; ++i) expected += "KRX-SIM-0001\r\n";
  EXPECT_EQ(client.readLines(10, 10.0), expected);
  const double took = secondsSince(start);
  EXPECT_GE(took, 0.2);  // never early
  EXPECT_LT(took, 1.0);  // ten overlapping delays, not 10 x 0.2 s one after the other
}

TEST(SimulatorLatency, EachReplyIsDelayedFromItsOwnCommand) {
  SimProcess sim({"--latency-us", "300000"});
  RawClient client(sim.host(), sim.port());
  const auto start = Clock::now();
  client.send("GET_SN\r\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  client.send("FPGA_GET_ID\r\n");
  EXPECT_EQ(client.readLines(1, 5.0), "KRX-SIM-0001\r\n");
  const double first = secondsSince(start);
  EXPECT_EQ(client.readLines(1, 5.0), "0x0362D093\r\n");
  const double second = secondsSince(start);
  EXPECT_GE(first, 0.3);
  EXPECT_GE(second, 0.45);
  EXPECT_LT(second, 2.0);
}

TEST(SimulatorLatency, SubMillisecondDelaysStillAnswerEveryCommandInOrder) {
  SimProcess sim({"--latency-us", "300"});
  auto conn = connectTo(sim, sim.port());
  const auto start = Clock::now();
  for (int i = 0; i < 50; ++i) {
    ASSERT_EQ(ask(*conn, wire::programLine(page(static_cast<char>('A' + i % 26)))), "0");
  }
  EXPECT_GE(secondsSince(start), 50 * 300e-6);
  EXPECT_EQ(ask(*conn, "SIM_PAGE_PTR?"), "50");
}

// --- several devices ---------------------------------------------------------------------------

TEST(SimulatorCount, EveryDeviceHasItsOwnPortStateAndFaults) {
  SimProcess sim(3, {"--flash-size", "64", "--refuse-blocks", "1"});
  ASSERT_EQ(sim.ports().size(), 3u);
  EXPECT_NE(sim.ports()[0], sim.ports()[1]);
  EXPECT_NE(sim.ports()[1], sim.ports()[2]);
  EXPECT_NE(sim.ports()[0], sim.ports()[2]);
  std::vector<std::unique_ptr<TcpConnection>> conns;
  for (int port : sim.ports()) conns.push_back(connectTo(sim, port));
  // Each device refuses its own first block once.
  for (auto& conn : conns) {
    EXPECT_EQ(ask(*conn, wire::programLine(page('z'))), "1");
    EXPECT_EQ(ask(*conn, wire::programLine(page('z'))), "0");
  }
  EXPECT_EQ(ask(*conns[1], wire::programLine(page('y'))), "1");
  EXPECT_EQ(ask(*conns[1], wire::programLine(page('y'))), "0");
  EXPECT_EQ(ask(*conns[0], "SIM_PAGE_PTR?"), "1");
  EXPECT_EQ(ask(*conns[1], "SIM_PAGE_PTR?"), "2");
  EXPECT_EQ(ask(*conns[2], "SIM_PAGE_PTR?"), "1");
  EXPECT_EQ(ask(*conns[2], "SIM_FLASH_HEX? 16,2"), "ffff");
  EXPECT_EQ(ask(*conns[1], "SIM_FLASH_HEX? 16,2"), "7979");
  EXPECT_EQ(sim.stop(), 0);
}

TEST(SimulatorCount, APortGivesConsecutivePorts) {
  // A free port to start from; its neighbours may be taken, so try a few.
  for (int attempt = 0; attempt < 5; ++attempt) {
    int base = 0;
    {
      SimProcess probe;
      base = probe.port();
    }
    if (base > 65000) continue;
    try {
      SimProcess sim(3, {"--port", std::to_string(base)});
      EXPECT_EQ(sim.ports(), (std::vector<int>{base, base + 1, base + 2}));
      auto conn = connectTo(sim, base + 2);
      EXPECT_EQ(ask(*conn, "GET_SN"), "KRX-SIM-0001-2");  // the third device
      return;
    } catch (const std::runtime_error&) {
      // A neighbour was in use; try another base.
    }
  }
  FAIL() << "found no three free consecutive ports";
}

TEST(SimulatorCount, EachDeviceKeepsItsFlashInItsOwnFile) {
  const TempDir dir;
  const std::string path = dir.path("flash.bin");
  {
    SimProcess sim(2, {"--flash-size", "32", "--flash-file", path});
    auto second = connectTo(sim, sim.ports()[1]);
    EXPECT_EQ(ask(*second, wire::programLine(page('2'))), "0");
    second->closeConnection();
    EXPECT_EQ(sim.stop(), 0);
  }
  std::ifstream in(path + ".1", std::ios::binary);
  const std::string saved((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(saved, page('2') + std::string(16, '\xff'));
  // The first device's flash never changed, so it was never written; nor was the bare path.
  EXPECT_FALSE(std::ifstream(path + ".0").good());
  EXPECT_FALSE(std::ifstream(path).good());
  {
    SimProcess sim(2, {"--flash-size", "32", "--flash-file", path});
    auto first = connectTo(sim, sim.ports()[0]);
    auto second = connectTo(sim, sim.ports()[1]);
    EXPECT_EQ(ask(*second, "SIM_FLASH_HEX? 0,1"), "32");
    EXPECT_EQ(ask(*first, "SIM_FLASH_HEX? 0,1"), "ff");
  }
}

}  // namespace
