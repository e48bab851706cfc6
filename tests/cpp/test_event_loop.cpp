// A pipeline's stream run on the caller's thread and on an event loop: the same replies, the same
// failures, the link closed after any of them; a cancelled caller takes its stream off the loop;
// and many connections' streams are served by the loop's one thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <limits>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "kestrix/contracts/cancel.hpp"
#include "kestrix/contracts/errors.hpp"
#include "kestrix/net/event_loop.hpp"
#include "kestrix/net/tcp_connection.hpp"
#include "kestrix/wire/protocol.hpp"
#include "loopback_server.hpp"
#include "sim_process.hpp"

namespace kestrix::testing {
namespace {

using net::EventLoop;
using net::TcpConnection;
using net::TcpOptions;

// Sends its commands with up to `window` in flight and keeps the replies and the threads that
// took them.
class ScriptStream final : public Connection::Stream {
 public:
  ScriptStream(std::vector<std::string> commands, std::size_t window, bool raw)
      : commands_(std::move(commands)), window_(window), raw_(raw) {}

  std::size_t window() const override { return window_; }
  bool rawFrames() const override { return raw_; }
  std::size_t maxFrame() const override { return 1024; }
  bool next(std::string& line) override {
    if (next_ == commands_.size()) return false;
    line = commands_[next_++];
    return true;
  }
  void take(std::string_view reply) override {
    replies.emplace_back(reply);
    takers.insert(std::this_thread::get_id());
  }
  void report() override {
    ++reports;
    if (stop_after >= 0 && reports.load() > stop_after) throw CancelledError("stopped by the test");
  }

  std::vector<std::string> replies;
  std::set<std::thread::id> takers;
  std::atomic<int> reports{0};
  int stop_after = -1;  // report() throws once it was called this many times

 private:
  std::vector<std::string> commands_;
  std::size_t window_;
  bool raw_;
  std::size_t next_ = 0;
};

std::string block(char first) {
  std::string data;
  for (std::size_t i = 0; i < wire::kPageSize; ++i) data += static_cast<char>(first + i);
  return wire::blockFrame(data);
}

// Each case runs on the caller's thread (false) and on an event loop (true).
class LoopedStream : public ::testing::TestWithParam<bool> {
 protected:
  TcpOptions options(double timeout) {
    TcpOptions o;
    o.connect_timeout = 2.0;
    o.timeout = timeout;
    if (GetParam()) o.loop = loop_;
    return o;
  }

  std::shared_ptr<EventLoop> loop_ = std::make_shared<EventLoop>(1);
};

TEST_P(LoopedStream, RepliesSplitAtEveryByteReadBackTheSame) {
  const std::vector<std::string> replies = {"0\r\n", "1\r\n", block('a'), block('\n')};
  std::string batch;
  for (const std::string& r : replies) batch += r;
  LoopbackServer server(splitEverywhere(batch));
  TcpConnection conn("127.0.0.1", server.port(), options(2.0));
  ASSERT_TRUE(conn.initConnection());
  for (std::size_t split = 1; split < batch.size(); ++split) {
    ScriptStream stream({"A\r\n", "B\r\n", "C\r\n", "D\r\n"}, 4, true);
    conn.pipeline()->run(stream);
    EXPECT_EQ(stream.replies, replies) << "split at " << split;
  }
  EXPECT_TRUE(conn.isOpen());
}

// A stream of text lines takes each line without its line end, and refuses one that is not UTF-8.
TEST_P(LoopedStream, LinesComeWithoutTheirEndAndMustBeText) {
  LoopbackServer server([](int fd) {
    for (int i = 0; i < 3; ++i) readLine(fd);
    writeAll(fd, "0\r\nbare\n\xff\r\n");
    waitForClose(fd);
  });
  TcpConnection conn("127.0.0.1", server.port(), options(2.0));
  ASSERT_TRUE(conn.initConnection());
  ScriptStream stream({"A\r\n", "B\r\n", "C\r\n"}, 8, false);
  EXPECT_THROW(conn.pipeline()->run(stream), DecodeError);
  EXPECT_EQ(stream.replies, (std::vector<std::string>{"0", "bare"}));
  EXPECT_FALSE(conn.isOpen()) << "a stream that failed leaves the link closed";
}

// How the device fails the window -> the error and its message, whichever thread drives it.
TEST_P(LoopedStream, ASilentClosingOrBabblingDeviceFailsAsOnTheCallersThread) {
  struct Case {
    std::string sent;  // after reading the 3 commands; then the server waits or closes
    bool close;
    const char* error;
  };
  const std::vector<Case> cases = {
      {"0\r\n", false, "no reply from 127.0.0.1:P within 0.3 s"},
      {"0\r\n", true, "connection closed by 127.0.0.1:P"},
      {"0\r\n" + std::string(70000, 'x'), false,
       "reply from 127.0.0.1:P runs past 65536 bytes without a line end"},
  };
  for (const Case& c : cases) {
    LoopbackServer server([&](int fd) {
      for (int i = 0; i < 3; ++i) readLine(fd);
      writeAll(fd, c.sent);
      if (!c.close) waitForClose(fd);
    });
    TcpConnection conn("127.0.0.1", server.port(), options(0.3));
    ASSERT_TRUE(conn.initConnection());
    ScriptStream stream({"A\r\n", "B\r\n", "C\r\n"}, 3, false);
    std::string what;
    try {
      conn.pipeline()->run(stream);
    } catch (const Error& e) {
      what = e.what();
    }
    std::string expected = c.error;
    expected.replace(expected.find('P'), 1, std::to_string(server.port()));
    EXPECT_EQ(what, expected);
    EXPECT_EQ(stream.replies, std::vector<std::string>{"0"});
    EXPECT_FALSE(conn.isOpen());
  }
}

// A device that never answers and a caller that stops: the stream ends with the caller's error
// within a few checks, and nothing of it runs after run() returned.
TEST_P(LoopedStream, ACancelledCallerEndsItsStreamAtOnce) {
  LoopbackServer server([](int fd) {
    readLine(fd);
    waitForClose(fd);
  });
  TcpConnection conn("127.0.0.1", server.port(), options(std::numeric_limits<double>::infinity()));
  ASSERT_TRUE(conn.initConnection());
  ScriptStream stream({"A\r\n"}, 1, false);
  std::atomic<bool> stop{false};
  const CancellationScope watch([&] {
    if (stop.load()) throw CancelledError("the caller stopped");
  });
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    stop.store(true);
  });
  EXPECT_THROW(conn.pipeline()->run(stream), CancelledError);
  stopper.join();
  EXPECT_FALSE(conn.isOpen());
  EXPECT_TRUE(stream.replies.empty());
}

INSTANTIATE_TEST_SUITE_P(Threads, LoopedStream, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Loop" : "Caller"; });

// The stream's own report() stops it too (a fleet's cancellation), on the loop.
TEST(EventLoop, AReportThatThrowsTakesTheStreamOffTheLoop) {
  LoopbackServer server([](int fd) {
    readLine(fd);
    waitForClose(fd);
  });
  TcpOptions options;
  options.loop = std::make_shared<EventLoop>(1);
  TcpConnection conn("127.0.0.1", server.port(), options);
  ASSERT_TRUE(conn.initConnection());
  ScriptStream stream({"A\r\n"}, 1, false);
  stream.stop_after = 2;
  EXPECT_THROW(conn.pipeline()->run(stream), CancelledError);
  EXPECT_EQ(stream.reports.load(), 3);
  EXPECT_FALSE(conn.isOpen());
}

// Twelve devices read back at once through one loop thread: every stream gets every page, and
// every reply was taken on that one thread, none on the callers' own.
TEST(EventLoop, OneThreadServesManyConnections) {
  constexpr int kDevices = 12;
  constexpr std::size_t kPages = 3000;
  SimProcess sim(kDevices, {"--latency-us", "200"});
  TcpOptions options;
  options.loop = std::make_shared<EventLoop>(1);
  std::vector<std::unique_ptr<ScriptStream>> streams;
  std::vector<std::thread> callers;
  std::mutex mutex;
  std::set<std::thread::id> caller_ids;
  std::vector<std::string> errors;
  for (int d = 0; d < kDevices; ++d)
    streams.push_back(std::make_unique<ScriptStream>(
        std::vector<std::string>(kPages, "FPGA_READ\r\n"), 32, true));
  for (int d = 0; d < kDevices; ++d) {
    callers.emplace_back([&, d] {
      {
        const std::lock_guard<std::mutex> lock(mutex);
        caller_ids.insert(std::this_thread::get_id());
      }
      try {
        TcpConnection conn(sim.host(), sim.ports()[d], options);
        if (!conn.initConnection()) throw ConnectionError(conn.connectError());
        conn.pipeline()->run(*streams[d]);
      } catch (const std::exception& e) {
        const std::lock_guard<std::mutex> lock(mutex);
        errors.push_back(e.what());
      }
    });
  }
  for (std::thread& t : callers) t.join();
  EXPECT_TRUE(errors.empty()) << errors.front();
  std::set<std::thread::id> takers;
  for (const auto& stream : streams) {
    EXPECT_EQ(stream->replies.size(), kPages);
    takers.insert(stream->takers.begin(), stream->takers.end());
  }
  EXPECT_EQ(takers.size(), 1u);
  for (const std::thread::id& id : takers) EXPECT_EQ(caller_ids.count(id), 0u);
}

}  // namespace
}  // namespace kestrix::testing
