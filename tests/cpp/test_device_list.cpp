// A fleet's list of devices, checked whole before any device is touched: address syntax (with a
// must-reject table), hosts files (BOM, comments, line numbers, a FIFO without a writer) and the
// list's problems all reported together: malformed, unresolved and duplicate entries.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "kestrix/contracts/errors.hpp"
#include "kestrix/jobs/device_list.hpp"
#include "temp_dir.hpp"

namespace kestrix::testing {
namespace {

using jobs::DeviceEntry;
using jobs::DeviceListError;
using jobs::DeviceListProblem;
using Kind = DeviceListProblem::Kind;

struct AddressRow {
  const char* text;
  const char* host;
  int port;
};

TEST(DeviceAddress, ReadsEveryFormItTakes) {
  const AddressRow rows[] = {
      {"radio-7", "radio-7", 5025},
      {"radio-7:6000", "radio-7", 6000},
      {"10.0.0.7", "10.0.0.7", 5025},
      {"10.0.0.7:1", "10.0.0.7", 1},
      {"[fe80::1]:6000", "fe80::1", 6000},
      {"[::1]", "::1", 5025},
      {"::1", "::1", 5025},
      {"fe80::1%eth0", "fe80::1%eth0", 5025},
      {"1e100.example", "1e100.example", 5025},
  };
  for (const AddressRow& row : rows) {
    const jobs::DeviceAddress a = jobs::parseDeviceAddress(row.text);
    EXPECT_EQ(a.host, row.host) << row.text;
    EXPECT_EQ(a.port, row.port) << row.text;
    EXPECT_EQ(jobs::parseDeviceAddress(jobs::formatDeviceAddress(a)).host, a.host) << row.text;
  }
}

struct RejectRow {
  std::string text;
  const char* reason;  // a fragment of the message
};

TEST(DeviceAddress, MustReject) {
  const RejectRow rows[] = {
      {"", "no host"},
      {":5025", "no host"},
      {"radio:", "no port after ':'"},
      {"radio:0", "port must be a number from 1 to 65535"},
      {"radio:65536", "port must be a number from 1 to 65535"},
      {"radio:5x", "port must be a number from 1 to 65535"},
      {"45149", "a bare number is not an address"},
      {"127.1", "not an IPv4 address of four decimal parts"},
      {"0x7f.0.0.1", "not an IPv4 address of four decimal parts"},
      {"017.0.0.1", "not an IPv4 address of four decimal parts"},
      {"2130706433:5025", "a bare number is not an address"},
      {"bad:port:x:", "not an IPv6 address"},
      {"[fe80::1", "'[' without ']'"},
      {"[::1]6000", "text after ']' that is not ':port'"},
      {"radio\nFPGA_ERASE 12", "holds a control character"},
      {std::string("radio\0x", 7), "holds a control character"},
      {"radio\x1b[31m", "holds a control character"},
      {"r\xff"
       "adio",
       "is not UTF-8 text"},
  };
  for (const RejectRow& row : rows) {
    try {
      jobs::parseDeviceAddress(row.text);
      ADD_FAILURE() << "accepted: " << row.text;
    } catch (const std::invalid_argument& e) {
      const std::string what = e.what();
      EXPECT_NE(what.find(row.reason), std::string::npos) << what;
      // The entry is quoted so that a terminal shows it and nothing else.
      for (const char c : what) EXPECT_FALSE(c == '\n' || c == '\x1b' || c == '\0') << what;
    }
  }
}

TEST(HostsFile, LinesCommentsBomAndLineNumbers) {
  const std::string text =
      "\xEF\xBB\xBF"
      "radio-1  # the first\r\n"
      "\n"
      "   # only a comment\n"
      "\tradio-2:6000\t\n"
      "radio-3";
  const std::vector<DeviceEntry> entries = jobs::parseHostsText(text, "radios.txt");
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].text, "radio-1");
  EXPECT_EQ(entries[0].origin, "radios.txt line 1");
  EXPECT_EQ(entries[1].text, "radio-2:6000");
  EXPECT_EQ(entries[1].origin, "radios.txt line 4");
  EXPECT_EQ(entries[2].origin, "radios.txt line 5");
}

TEST(HostsFile, AFifoWithoutAWriterIsAnErrorNotAHang) {
  TempDir dir;
  const std::string fifo = dir.path("hosts.fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const auto start = std::chrono::steady_clock::now();
  try {
    jobs::readHostsFile(fifo, 0.2);
    ADD_FAILURE() << "read a FIFO nobody writes to";
  } catch (const FileError& e) {
    EXPECT_NE(std::string(e.what()).find("no process wrote to it within 0.2 s"), std::string::npos)
        << e.what();
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(HostsFile, AFifoIsReadToItsWritersEnd) {
  TempDir dir;
  const std::string fifo = dir.path("hosts.fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const int fd = ::open(fifo.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    const std::string first = "radio-1\nradio-";
    ASSERT_EQ(::write(fd, first.data(), first.size()), static_cast<ssize_t>(first.size()));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(::write(fd, "2\n", 2), 2);
    ::close(fd);
  });
  const std::vector<DeviceEntry> entries = jobs::readHostsFile(fifo, 5.0);
  writer.join();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1].text, "radio-2");
}

TEST(HostsFile, ALargeFileOrAFolderIsRefused) {
  TempDir dir;
  const std::string big = dir.write("big.txt", std::string(jobs::kMaxHostsFileBytes + 1, '#'));
  EXPECT_THROW(jobs::readHostsFile(big), FileError);
  EXPECT_THROW(jobs::readHostsFile(dir.dir().string()), FileError);
  EXPECT_THROW(jobs::readHostsFile(dir.path("missing.txt")), FileError);
}

TEST(DeviceListCheck, EveryProblemIsReportedWithItsOrigin) {
  const std::vector<DeviceEntry> entries = {
      {"127.0.0.1:7000", "--address 1"},
      {"45149", "radios.txt line 2"},
      {"localhost:7000", "radios.txt line 3"},  // 127.0.0.1:7000 again
      {"no-such-device.invalid", "radios.txt line 4"},
      {"127.0.0.1:7001", "radios.txt line 5"},
      {"[::ffff:127.0.0.1]:7001", "radios.txt line 6"},  // the same, IPv4-mapped
  };
  try {
    jobs::checkDeviceList(entries);
    FAIL() << "a list with bad entries passed";
  } catch (const DeviceListError& e) {
    const std::vector<DeviceListProblem>& p = e.problems();
    ASSERT_EQ(p.size(), 4u) << e.what();
    EXPECT_EQ((std::pair{p[0].kind, p[0].origin}),
              (std::pair{Kind::kMalformed, std::string("radios.txt line 2")}));
    EXPECT_EQ((std::pair{p[1].kind, p[1].origin}),
              (std::pair{Kind::kDuplicate, std::string("radios.txt line 3")}));
    EXPECT_NE(p[1].reason.find("the same device as '127.0.0.1:7000' (--address 1)"),
              std::string::npos)
        << p[1].reason;
    EXPECT_EQ(p[2].kind, Kind::kUnresolved);
    EXPECT_NE(p[2].reason.find("not resolved"), std::string::npos);
    EXPECT_EQ((std::pair{p[3].kind, p[3].origin}),
              (std::pair{Kind::kDuplicate, std::string("radios.txt line 6")}));
    // One line per problem, each naming where it was written.
    EXPECT_NE(std::string(e.what()).find("4 device entries cannot be used:\n  radios.txt line 2"),
              std::string::npos)
        << e.what();
  }
}

TEST(DeviceListCheck, AGoodListKeepsItsOrderAndOrigins) {
  const jobs::DeviceList list = jobs::checkDeviceList(
      std::vector<DeviceEntry>{{"127.0.0.1", "a"}, {"127.0.0.1:6000", "b"}, {"[::1]:6000", "c"}},
      7000);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list.addresses()[0].port, 7000);
  EXPECT_EQ(list.origins(), (std::vector<std::string>{"a", "b", "c"}));
  int checks = 0;
  jobs::checkDeviceList(std::vector<DeviceEntry>{{"127.0.0.1:1", "x"}, {"127.0.0.1:2", "y"}}, 1,
                        [&] { ++checks; });
  EXPECT_EQ(checks, 2);  // a cancellation check before each name is resolved
}

}  // namespace
}  // namespace kestrix::testing
