// TcpConnection against a scripted loopback server running in a thread of the test.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "kestrix/contracts/errors.hpp"
#include "kestrix/net/socket.hpp"
#include "kestrix/net/tcp_connection.hpp"
#include "kestrix/wire/protocol.hpp"
#include "loopback_server.hpp"

namespace {

using kestrix::ConnectionError;
using kestrix::DecodeError;
using kestrix::ProtocolError;
using kestrix::RspType;
using kestrix::TimeoutError;
using kestrix::net::TcpConnection;
using kestrix::net::TcpOptions;
using kestrix::net::UniqueFd;
using kestrix::testing::LoopbackServer;
using kestrix::testing::readLine;
using kestrix::testing::splitEverywhere;
using kestrix::testing::waitForClose;
using kestrix::testing::writeAll;
namespace wire = kestrix::wire;
using namespace std::string_literals;

TcpOptions quick(double timeout = 2.0) {
  TcpOptions o;
  o.connect_timeout = 2.0;
  o.timeout = timeout;
  return o;
}

std::string page(char first) {
  std::string data;
  for (std::size_t i = 0; i < wire::kPageSize; ++i) data += static_cast<char>(first + i);
  return data;
}

// --- the command path --------------------------------------------------------------------------

struct ReplyCase {
  const char* name;
  std::string sent;     // what the client passes to sendCmd
  std::string on_wire;  // what the server must receive
  std::string reply;    // what the server answers
  std::string payload;  // what sendCmd must return
};

void PrintTo(const ReplyCase& c, std::ostream* os) {
  *os << c.name;
}

class CommandPath : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(CommandPath, SendsTheLineAndReturnsTheReplyText) {
  const ReplyCase& c = GetParam();
  std::string received;
  LoopbackServer server([&](int fd) {
    received = readLine(fd);
    writeAll(fd, c.reply);
    waitForClose(fd);
  });
  TcpConnection conn("127.0.0.1", server.port(), quick());
  ASSERT_TRUE(conn.initConnection());
  const kestrix::RetType ret = conn.sendCmd(c.sent, RspType::RSP_LIST);
  EXPECT_TRUE(ret.ok());
  ASSERT_TRUE(ret.data.is_string());
  EXPECT_EQ(ret.data.get<std::string>(), c.payload);
  conn.closeConnection();
  EXPECT_EQ(received, c.on_wire);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, CommandPath,
    ::testing::Values(
        ReplyCase{"crlf", "FPGA_GET_ID\r\n", "FPGA_GET_ID\r\n", "0x0362D093\r\n", "0x0362D093"},
        ReplyCase{"lf_only", "GET_SN\r\n", "GET_SN\r\n", "KRX-1\n", "KRX-1"},
        ReplyCase{"bare_command_gets_crlf", "ExtCtrl_EN?", "ExtCtrl_EN?\r\n", "1\r\n", "1"},
        ReplyCase{"empty_reply", "FPGA_DONE\r\n", "FPGA_DONE\r\n", "\r\n", ""},
        ReplyCase{"spaces_kept", "X\r\n", "X\r\n", "  0 \r\n", "  0 "},
        ReplyCase{"utf8_text", "X\r\n", "X\r\n", "gr\xc3\xbc\xc3\x9f\r\n", "gr\xc3\xbc\xc3\x9f"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TcpConnection, LongReplyLineUpToTheLimitIsReturnedWhole) {
  const std::string text(kestrix::wire::kMaxLineLength - 2, 'a');
  LoopbackServer server([&](int fd) {
    readLine(fd);
    writeAll(fd, text + "\r\n");
    waitForClose(fd);
  });
  TcpConnection conn("127.0.0.1", server.port(), quick());
  ASSERT_TRUE(conn.initConnection());
  EXPECT_EQ(conn.sendCmd("Q\r\n", RspType::RSP_STRING).data.get<std::string>(), text);
}

TEST(TcpConnection, ReplyLineBeyondTheLimitIsAProtocolErrorAndClosesTheLink) {
  LoopbackServer server([&](int fd) {
    readLine(fd);
    writeAll(fd, std::string(kestrix::wire::kMaxLineLength + 100, 'a'));
    waitForClose(fd);
  });
  TcpConnection conn("127.0.0.1", server.port(), quick());
  ASSERT_TRUE(conn.initConnection());
  EXPECT_THROW(conn.sendCmd("Q\r\n", RspType::RSP_STRING), ProtocolError);
  EXPECT_FALSE(conn.isOpen());
}

TEST(TcpConnection, InvalidUtf8ReplyIsADecodeErrorAndTheLinkStaysInStep) {
  LoopbackServer server([&](int fd) {
    readLine(fd);
    writeAll(fd, "ab\xff\r\n");
    readLine(fd);
    writeAll(fd, "next\r\n");
    waitForClose(fd);
  });
  TcpConnection conn("127.0.0.1", server.port(), quick());
  ASSERT_TRUE(conn.initConnection());
  try {
    conn.sendCmd("A\r\n", RspType::RSP_LIST);
    FAIL() << "no DecodeError";
  } catch (const DecodeError& e) {
    EXPECT_EQ(e.start(), 2u);
    EXPECT_EQ(e.bytes(), "ab\xff");
  }
  EXPECT_EQ(conn.sendCmd("B\r\n", RspType::RSP_LIST).data.get<std::string>(), "next");
}

TEST(TcpConnection, ManyExchangesKeepEveryReplyWithItsCommand) {
  constexpr int kCount = 2000;
  LoopbackServer server([&](int fd) {
    for (int i = 0; i < kCount; ++i) {
      const std::string line = readLine(fd);
      if (line.empty()) return;
      writeAll(fd, "R" + line);  // echoes the number with its CR LF
    }
    waitForClose(fd);
  });
  TcpConnection conn("127.0.0.1", server.port(), quick());
  ASSERT_TRUE(conn.initConnection());
  for (int i = 0; i < kCount; ++i) {
    ASSERT_EQ(conn.sendCmd(std::to_string(i) + "\r\n", RspType::RSP_LIST).data.get<std::string>(),
              "R" + std::to_string(i));
  }
}

// --- the raw path ------------------------------------------------------------------------------

TEST(TcpConnection, BlockWithLineEndsInsideItsDataIsReadByItsHeader) {
  const std::string data = "\r\n\n\r#2\r\n16\x00\xff\r\nxy"s;
  ASSERT_EQ(data.size(), wire::kPageSize);
  const std::string frame = wire::blockFrame(data);
  LoopbackServer server([&](int fd) {
    readLine(fd);
    writeAll(fd, frame);
    waitForClose(fd);
  });
  TcpConnection conn("127.0.0.1", server.port(), quick());
  ASSERT_TRUE(conn.initConnection());
  conn.sendRawBytes("FPGA_READ\r\n");
  EXPECT_EQ(conn.recvRawBytes(1024), frame);
}

TEST(TcpConnection, FramesArrivingInPiecesOrTogetherComeOutOneAtATime) {
  const std::string a = wire::blockFrame(page('a'));
  const std::string b = wire::blockFrame(page('\n'));
  LoopbackServer server([&](int fd) {
    readLine(fd);
    // The first frame dribbles in byte by byte; the second one and a text line come in one go.
    for (char c : a) {
      writeAll(fd, std::string(1, c));
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    writeAll(fd, b + "ERR read past the end of flash\r\n");
    waitForClose(fd);
  });
  TcpConnection conn("127.0.0.1", server.port(), quick());
  ASSERT_TRUE(conn.initConnection());
  conn.sendRawBytes("FPGA_READ\r\n");
  EXPECT_EQ(conn.recvRawBytes(1024), a);
  EXPECT_EQ(conn.recvRawBytes(1024), b);
  EXPECT_EQ(conn.recvRawBytes(1024), "ERR read past the end of flash\r\n");
}

// A window's commands go out together and its replies may arrive cut anywhere: every split of a
// batch of replies (text lines and blocks whose data holds CR LF) reads back the same, and a reply
// counts as ready only once it is whole.
TEST(TcpConnection, APipelinesRepliesSplitAtEveryByteReadBackTheSame) {
  const std::vector<std::string> replies = {"0\r\n", "1\r\n", wire::blockFrame(page('a')),
                                            wire::blockFrame(page('\n'))};
  std::string batch;
  for (const std::string& r : replies) batch += r;
  LoopbackServer server(splitEverywhere(batch));
  TcpConnection conn("127.0.0.1", server.port(), quick());
  ASSERT_TRUE(conn.initConnection());
  for (std::size_t split = 1; split < batch.size(); ++split) {
    const auto pipe = conn.pipeline();
    EXPECT_FALSE(pipe->replyReady()) << "nothing was asked yet";
    for (const char* command : {"A\r\n", "B\r\n", "C\r\n", "D\r\n"}) pipe->send(command);
    EXPECT_EQ(pipe->receiveLine(), "0") << split;
    EXPECT_EQ(pipe->receiveLine(), "1") << split;
    EXPECT_EQ(pipe->receiveFrame(1024), replies[2]) << split;
    EXPECT_EQ(pipe->receiveFrame(1024), replies[3]) << split;
    EXPECT_FALSE(pipe->replyReady()) << split;
  }
  EXPECT_TRUE(conn.isOpen());
}

struct BadFrameCase {
  const char* name;
  std::string frame;   // what the server sends first
  std::size_t size;    // the caller's limit
  bool link_survives;  // the next frame can still be read
};

void PrintTo(const BadFrameCase& c, std::ostream* os) {
  *os << c.name;
}

class BadFrames : public ::testing::TestWithParam<BadFrameCase> {};

TEST_P(BadFrames, AreProtocolErrors) {
  const BadFrameCase& c = GetParam();
  LoopbackServer server([&](int fd) {
    readLine(fd);
    writeAll(fd, c.frame + "NEXT\r\n");
    waitForClose(fd);
  });
  TcpConnection conn("127.0.0.1", server.port(), quick());
  ASSERT_TRUE(conn.initConnection());
  conn.sendRawBytes("FPGA_READ\r\n");
  EXPECT_THROW(conn.recvRawBytes(c.size), ProtocolError);
  EXPECT_EQ(conn.isOpen(), c.link_survives);
  if (c.link_survives) {
    EXPECT_EQ(conn.recvRawBytes(1024), "NEXT\r\n");
  } else {
    EXPECT_THROW(conn.recvRawBytes(1024), ConnectionError);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Frames, BadFrames,
    ::testing::Values(BadFrameCase{"block_over_the_limit", wire::blockFrame(std::string(40, 'x')),
                                   30, true},
                      BadFrameCase{"line_over_the_limit", std::string(40, 'x') + "\r\n", 30, true},
                      BadFrameCase{"digit_count_zero", "#0\r\n", 1024, true},
                      BadFrameCase{"length_not_digits", "#2x5abc\r\n", 1024, true},
                      BadFrameCase{"block_without_crlf", "#14abcdXY", 1024, false},
                      BadFrameCase{"block_with_lf_only", "#14abcd\nZ", 1024, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TcpConnection, LimitCountsTheWholeFrame) {
  const std::string frame = wire::blockFrame(page('a'));  // 22 bytes
  LoopbackServer server([&](int fd) {
    readLine(fd);
    writeAll(fd, frame + frame);
    waitForClose(fd);
  });
  TcpConnection conn("127.0.0.1", server.port(), quick());
  ASSERT_TRUE(conn.initConnection());
  conn.sendRawBytes("FPGA_READ\r\n");
  EXPECT_EQ(conn.recvRawBytes(frame.size()), frame);
  EXPECT_THROW(conn.recvRawBytes(frame.size() - 1), ProtocolError);
}

// --- failures of the link ----------------------------------------------------------------------

TEST(TcpConnection, SilentPeerTimesOutAndTheConnectionCloses) {
  LoopbackServer server([&](int fd) {
    readLine(fd);
    waitForClose(fd);  // never answers
  });
  TcpConnection conn("127.0.0.1", server.port(), quick(0.2));
  ASSERT_TRUE(conn.initConnection());
  EXPECT_THROW(conn.sendCmd("FPGA_GET_ID\r\n", RspType::RSP_LIST), TimeoutError);
  EXPECT_FALSE(conn.isOpen());
  EXPECT_THROW(conn.sendCmd("FPGA_GET_ID\r\n", RspType::RSP_LIST), ConnectionError);
}

TEST(TcpConnection, RawReceiveTimesOutToo) {
  LoopbackServer server([&](int fd) {
    readLine(fd);
    writeAll(fd, "#216abc");  // a block that never completes
    waitForClose(fd);
  });
  TcpConnection conn("127.0.0.1", server.port(), quick(0.2));
  ASSERT_TRUE(conn.initConnection());
  conn.sendRawBytes("FPGA_READ\r\n");
  EXPECT_THROW(conn.recvRawBytes(1024), TimeoutError);
  EXPECT_FALSE(conn.isOpen());
}

struct PeerCloseCase {
  const char* name;
  std::string partial;  // sent before the server closes
  bool reset;           // close with RST instead of FIN
  bool raw;             // read with recvRawBytes instead of sendCmd
};

void PrintTo(const PeerCloseCase& c, std::ostream* os) {
  *os << c.name;
}

class PeerClose : public ::testing::TestWithParam<PeerCloseCase> {};

TEST_P(PeerClose, IsAConnectionError) {
  const PeerCloseCase& c = GetParam();
  LoopbackServer server([&](int fd) {
    readLine(fd);
    writeAll(fd, c.partial);
    if (c.reset) {
      const linger hard{1, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
  });
  TcpConnection conn("127.0.0.1", server.port(), quick());
  ASSERT_TRUE(conn.initConnection());
  if (c.raw) {
    conn.sendRawBytes("FPGA_READ\r\n");
    EXPECT_THROW(conn.recvRawBytes(1024), ConnectionError);
  } else {
    EXPECT_THROW(conn.sendCmd("FPGA_GET_ID\r\n", RspType::RSP_LIST), ConnectionError);
  }
  EXPECT_FALSE(conn.isOpen());
}

INSTANTIATE_TEST_SUITE_P(Links, PeerClose,
                         ::testing::Values(PeerCloseCase{"before_reply", "", false, false},
                                           PeerCloseCase{"mid_line", "0x03", false, false},
                                           PeerCloseCase{"mid_block", "#216abc", false, true},
                                           PeerCloseCase{"reset", "", true, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(TcpConnection, RefusedPortUnknownHostAndBadPortGiveFalse) {
  int free_port = 0;
  {
    // A port that was just free and now has no listener: connecting is refused.
    UniqueFd probe(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(probe.get(), reinterpret_cast<sockaddr*>(&addr), len), 0);
    ASSERT_EQ(::getsockname(probe.get(), reinterpret_cast<sockaddr*>(&addr), &len), 0);
    free_port = ntohs(addr.sin_port);
  }
  for (const auto& [address, port] :
       std::vector<std::pair<std::string, int>>{{"127.0.0.1", free_port},
                                                {"no-such-host.invalid", 5025},
                                                {"127.0.0.1", 0},
                                                {"127.0.0.1", 70000},
                                                {"not an address", 5025}}) {
    TcpConnection conn(address, port, quick());
    EXPECT_FALSE(conn.initConnection()) << address << ":" << port;
    EXPECT_FALSE(conn.isOpen());
    EXPECT_THROW(conn.sendCmd("X\r\n", RspType::RSP_LIST), ConnectionError);
  }
}

TEST(TcpConnection, ListenerThatNeverAcceptsTimesOutTheConnect) {
  // A full accept queue makes the kernel drop further SYNs: the connect neither succeeds nor
  // fails until the connect time-out.
  UniqueFd listener(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&addr), len), 0);
  ASSERT_EQ(::listen(listener.get(), 0), 0);
  ASSERT_EQ(::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&addr), &len), 0);
  std::vector<UniqueFd> fillers;
  for (int i = 0; i < 4; ++i) {
    UniqueFd f(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
    ::connect(f.get(), reinterpret_cast<sockaddr*>(&addr), len);
    fillers.push_back(std::move(f));
  }
  TcpOptions options;
  options.connect_timeout = 0.3;
  TcpConnection conn("127.0.0.1", ntohs(addr.sin_port), options);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(conn.initConnection());
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
}

TEST(TcpConnection, CloseIsSafeTwiceAndCommandsOnAClosedLinkFail) {
  LoopbackServer server([&](int fd) { waitForClose(fd); });
  TcpConnection conn("127.0.0.1", server.port(), quick());
  EXPECT_THROW(conn.sendRawBytes("X\r\n"), ConnectionError);  // not opened yet
  ASSERT_TRUE(conn.initConnection());
  EXPECT_TRUE(conn.isOpen());
  conn.closeConnection();
  conn.closeConnection();
  EXPECT_FALSE(conn.isOpen());
  EXPECT_THROW(conn.sendCmd("X\r\n", RspType::RSP_LIST), ConnectionError);
  EXPECT_THROW(conn.sendRawBytes("X\r\n"), ConnectionError);
  EXPECT_THROW(conn.recvRawBytes(1024), ConnectionError);
}

TEST(TcpConnection, OpeningAnOpenLinkKeepsItAndAClosedOneReconnects) {
  LoopbackServer server(
      [&](int fd) {
        const std::string line = readLine(fd);
        writeAll(fd, "got " + line);
        waitForClose(fd);
      },
      2);
  TcpConnection conn("127.0.0.1", server.port(), quick());
  ASSERT_TRUE(conn.initConnection());
  ASSERT_TRUE(conn.initConnection());
  EXPECT_EQ(conn.sendCmd("a\r\n", RspType::RSP_LIST).data.get<std::string>(), "got a");
  conn.closeConnection();
  ASSERT_TRUE(conn.initConnection());
  EXPECT_EQ(conn.sendCmd("b\r\n", RspType::RSP_LIST).data.get<std::string>(), "got b");
  conn.closeConnection();
}

TEST(TcpConnection, RejectsTimeOutsThatAreNotPositive) {
  for (double bad : {0.0, -1.0, std::nan("")}) {
    TcpOptions connect;
    connect.connect_timeout = bad;
    EXPECT_THROW(TcpConnection("127.0.0.1", 5025, connect), std::invalid_argument);
    TcpOptions reply;
    reply.timeout = bad;
    EXPECT_THROW(TcpConnection("127.0.0.1", 5025, reply), std::invalid_argument);
  }
  TcpOptions forever;
  forever.timeout = std::numeric_limits<double>::infinity();
  EXPECT_NO_THROW(TcpConnection("127.0.0.1", 5025, forever));
}

}  // namespace
