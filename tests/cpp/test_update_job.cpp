// Whole jobs as the tools run them, against the simulator: what the report says for a success and
// for every kind of failure, and the address syntax.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "fakes.hpp"
#include "kestrix/crypto/sha256.hpp"
#include "kestrix/flash/image_pack.hpp"
#include "kestrix/jobs/fleet.hpp"
#include "kestrix/jobs/record.hpp"
#include "kestrix/jobs/update_job.hpp"
#include "kestrix/net/tcp_connection.hpp"
#include "sim_process.hpp"
#include "temp_dir.hpp"

namespace kestrix::testing {
namespace {

using flash::Failure;
using jobs::JobMode;
using jobs::UpdateOptions;
using jobs::UpdateReport;

class Job : public ::testing::Test {
 public:
  Job() {
    std::mt19937 rng(7);
    data_.resize(1000);
    for (char& c : data_) c = static_cast<char>(rng());
    bin_ = dir_.write("fpga.bin", data_);
  }

  UpdateReport run(const SimProcess& sim, const std::string& image, UpdateOptions options = {},
                   jobs::JobContext context = {}) {
    context.host = host_;
    return jobs::runUpdateJob({sim.host(), sim.port()}, image, options, context);
  }
  static UpdateOptions uninitialised(std::int64_t type = 28) {
    UpdateOptions options;
    options.device_type = type;
    options.init = false;
    return options;
  }

  TempDir dir_;
  std::string data_;
  std::string bin_;
  std::shared_ptr<FakeHost> host_ = std::make_shared<FakeHost>();
};

std::string sha256(const std::string& data) {
  crypto::Sha256 h;
  h.update(data);
  return h.hexdigest();
}

// An ISO 8601 UTC time to the millisecond, as 2024-05-01T12:34:56.789Z. Checked by hand, not
// with <regex>: GCC 12 warns (maybe-uninitialized) inside <regex> in the sanitizer build.
bool isUtcMillis(std::string_view text) {
  constexpr std::string_view kShape = "dddd-dd-ddTdd:dd:dd.dddZ";
  if (text.size() != kShape.size()) return false;
  for (std::size_t i = 0; i < kShape.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (kShape[i] == 'd' ? !digit : text[i] != kShape[i]) return false;
  }
  return true;
}

TEST(UtcMillis, TakesOnlyTheReportsTimeShape) {
  EXPECT_TRUE(isUtcMillis("2024-05-01T12:34:56.789Z"));
  for (const char* other :
       {"", "2024-05-01T12:34:56Z", "2024-05-01T12:34:56.789", "2024-05-01 12:34:56.789Z",
        "2024-05-01T12:34:56.78xZ", "2024-05-01T12:34:56.789Z "}) {
    EXPECT_FALSE(isUtcMillis(other)) << other;
  }
}

TEST_F(Job, ASuccessReportsTheDeviceTheImageAndThePhases) {
  SimProcess sim({"--serial", "SN-7", "--version-after-update", "0.5.0.0"});
  const UpdateReport r = run(sim, bin_);
  ASSERT_TRUE(r.ok()) << r.error;
  EXPECT_EQ(r.error, "");
  EXPECT_EQ(r.device_id, "0x0362D093");
  EXPECT_EQ(r.serial, "SN-7");
  EXPECT_EQ(r.control_fw_version, "0.1.0.6");
  EXPECT_EQ((std::pair{r.fpga_version_before, r.fpga_version_after}),
            (std::pair<std::string, std::string>{"0.2.3.4", "0.5.0.0"}));
  EXPECT_EQ((std::tuple{r.image_kind, r.image_size, r.image_sha256, r.bytes_written, r.retries}),
            (std::tuple{std::string("bin"), std::uint64_t{1000}, sha256(data_), std::uint64_t{1000},
                        std::uint64_t{0}}));
  for (const double seconds : r.phase_seconds) EXPECT_GT(seconds, 0.0);
  EXPECT_EQ(host_->sleeps, std::vector<int>{3});  // device type 32 re-initialises
  EXPECT_TRUE(isUtcMillis(r.started_at)) << r.started_at;
  EXPECT_TRUE(isUtcMillis(r.finished_at)) << r.finished_at;
  EXPECT_LE(r.started_at, r.finished_at);
}

TEST_F(Job, ATbinReportsItsImageRegion) {
  SimProcess sim;
  const UpdateReport r = run(sim, dir_.write("fpga.tbin", flash::packTbin(data_)));
  ASSERT_TRUE(r.ok()) << r.error;
  EXPECT_EQ((std::tuple{r.image_kind, r.image_size, r.image_sha256}),
            (std::tuple{std::string("tbin"), std::uint64_t{1000}, sha256(data_)}));
}

struct FailureCase {
  const char* name;
  std::vector<std::string> sim_flags;
  // Makes the image and the options; returns the image path.
  std::function<std::string(Job&, UpdateOptions&)> setup;
  Failure failure;
  std::string error;  // a fragment of the message
  std::optional<std::uint64_t> offset = std::nullopt;
};

class JobFailures : public Job, public ::testing::WithParamInterface<FailureCase> {
 public:
  std::string image() { return bin_; }
  std::string file(const std::string& name, const std::string& bytes) {
    return dir_.write(name, bytes);
  }
};

TEST_P(JobFailures, EachFailureHasItsKindMessageAndOffset) {
  const FailureCase& c = GetParam();
  SimProcess sim(c.sim_flags);
  UpdateOptions options;
  const std::string image = c.setup(*this, options);
  const UpdateReport r = run(sim, image, options);
  EXPECT_EQ(r.failure, c.failure) << r.error;
  EXPECT_NE(r.error.find(c.error), std::string::npos) << r.error;
  EXPECT_EQ(r.failed_offset, c.offset);
}

const auto kDefault = [](Job& j, UpdateOptions&) { return static_cast<JobFailures&>(j).image(); };

INSTANTIATE_TEST_SUITE_P(
    Kinds, JobFailures,
    ::testing::Values(
        FailureCase{"ImageMissing",
                    {},
                    [](Job& j, UpdateOptions&) {
                      return static_cast<JobFailures&>(j).image() + ".none.bin";
                    },
                    Failure::kImageMissing,
                    "FPGA image path not found: "},
        FailureCase{"ImageInvalid",
                    {},
                    [](Job& j, UpdateOptions&) {
                      return static_cast<JobFailures&>(j).file("fpga.txt", "text");
                    },
                    Failure::kImageInvalid,
                    "FPGA image file type error: "},
        FailureCase{"ImageRejected",
                    {},
                    [](Job& j, UpdateOptions&) {
                      return static_cast<JobFailures&>(j).file("x.tbin", std::string(100, '\0'));
                    },
                    Failure::kImageRejected,
                    "FPGA tbin header parse error: "},
        // Its digests pass, but a read-back of nothing would prove nothing.
        FailureCase{"EmptyTbinImage",
                    {},
                    [](Job& j, UpdateOptions& o) {
                      o.mode = JobMode::kVerify;
                      return static_cast<JobFailures&>(j).file("x.tbin", flash::packTbin(""));
                    },
                    Failure::kImageInvalid,
                    "FPGA image is empty: "},
        FailureCase{"ImageDeviceType",
                    {},
                    [](Job& j, UpdateOptions&) {
                      flash::PackOptions pack;
                      pack.dev_type = 28;
                      return static_cast<JobFailures&>(j).file("x.tbin",
                                                               flash::packTbin("abcdef", pack));
                    },
                    Failure::kImageDeviceType,
                    "FPGA image is made for device type 28, not for device type 32."},
        FailureCase{"DeviceTypeWithoutProfile",
                    {},
                    [](Job& j, UpdateOptions& o) {
                      o = Job::uninitialised(30);
                      return static_cast<JobFailures&>(j).image();
                    },
                    Failure::kDeviceTypeUnsupported,
                    "device type 30 is not supported (supported: 28, 32)"},
        FailureCase{"DeviceTypeNotInitialised",
                    {},
                    [](Job& j, UpdateOptions& o) {
                      o.device_type = 28;
                      return static_cast<JobFailures&>(j).image();
                    },
                    Failure::kDeviceTypeUnsupported,
                    "Device type 28 cannot be initialised for an FPGA update, as updates are "
                    "by default: update it with --skip-init"},
        FailureCase{"VersionTooLow",
                    {"--fpga-version", "0.0.1"},
                    kDefault,
                    Failure::kVersionTooLow,
                    "FPGA version 0.0.1 is lower than minimum required version 0.2.3.4."},
        FailureCase{"Timeout",
                    {"--stall-after", "9"},
                    [](Job& j, UpdateOptions& o) {
                      o.timeout = 0.3;
                      return static_cast<JobFailures&>(j).image();
                    },
                    Failure::kTimeout,
                    "within 0.3 s"},
        // Closed after the erase: the next send or receive finds the link gone.
        FailureCase{"ConnectionLost",
                    {"--close-after", "9"},
                    kDefault,
                    Failure::kConnectionLost,
                    "127.0.0.1:"},
        FailureCase{"Protocol",
                    {"--garbage"},
                    kDefault,
                    Failure::kProtocol,
                    "the device answered against its protocol: "},
        FailureCase{"BlockRefused",
                    {"--refuse-from", "32"},
                    kDefault,
                    Failure::kBlockRefused,
                    "FPGA block at byte offset 32 refused by the controller 10 times",
                    32},
        FailureCase{"VerifyFailed",
                    {"--corrupt-read", "37"},
                    kDefault,
                    Failure::kVerifyFailed,
                    "first at byte offset 37",
                    37}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Job, AnUnreachableDeviceSaysWhy) {
  SimProcess sim;
  const int port = sim.port();
  sim.stop();
  UpdateReport r =
      jobs::runUpdateJob({"127.0.0.1", port}, bin_, {}, {host_, nullptr, {}, {}, {}, {}});
  EXPECT_EQ(r.failure, Failure::kUnreachable);
  EXPECT_EQ(r.error, "connection refused by 127.0.0.1:" + std::to_string(port));
  r = jobs::runUpdateJob({"no-such-device.invalid", 5025}, bin_, {},
                         {host_, nullptr, {}, {}, {}, {}});
  EXPECT_EQ(r.failure, Failure::kUnreachable);
  EXPECT_EQ(r.error.rfind("name 'no-such-device.invalid' not resolved: ", 0), 0u) << r.error;
}

TEST_F(Job, ADeviceBusyWithAnotherClientSaysSo) {
  SimProcess sim({"--max-clients", "1"});
  net::TcpConnection other(sim.host(), sim.port(), net::TcpOptions{2.0, 2.0, {}});
  ASSERT_TRUE(other.initConnection());
  other.sendCmd("FPGA_GET_ID\r\n", RspType::RSP_LIST);  // the device now serves this client
  const UpdateReport r = run(sim, bin_);
  EXPECT_EQ(r.failure, Failure::kDeviceBusy);
  EXPECT_EQ(r.error, "device busy: another client is connected");
}

// Stops the job once the write phase is under way.
// Cancels the job once `phase` has reached byte 64.
class CancelAt : public flash::EngineObserver {
 public:
  CancelAt(CancelToken token, flash::Phase phase) : token_(std::move(token)), phase_(phase) {}
  void onPhase(flash::Phase, std::uint64_t) override {}
  void onProgress(flash::Phase phase, std::uint64_t done, std::uint64_t) override {
    if (phase == phase_ && done >= 64) token_.cancel();
  }

 private:
  CancelToken token_;
  flash::Phase phase_;
};

// Lock-step, so the job stops exactly where it was cancelled; a window's replies in flight are
// still counted (the next test).
TEST_F(Job, ACancelledJobSaysWhereItStoppedAndWhatTheFlashHolds) {
  SimProcess sim;
  CancelToken token;
  CancelAt in_write(token, flash::Phase::kWrite);
  UpdateOptions lock_step;
  lock_step.window = 1;
  UpdateReport r = run(sim, bin_, lock_step, {host_, &in_write, token, {}, {}, {}});
  EXPECT_EQ(r.failure, Failure::kInterrupted);
  EXPECT_EQ(r.error,
            "FPGA update interrupted in the write phase at byte offset 64 of 1000: the flash is "
            "incomplete; run the update again");
  EXPECT_EQ(r.bytes_written, 64u);

  CancelToken again;
  CancelAt in_verify(again, flash::Phase::kVerify);
  UpdateOptions verify = uninitialised();
  verify.mode = JobMode::kVerify;
  verify.window = 1;
  r = run(sim, bin_, verify, {host_, &in_verify, again, {}, {}, {}});
  EXPECT_EQ(r.failure, Failure::kInterrupted);
  EXPECT_EQ(r.error,
            "FPGA read-back interrupted at byte offset 64 of 1000: nothing was written; the flash "
            "is as it was");
}

// With a window, the blocks already sent when the job is cancelled are acknowledged and counted:
// how many depends on timing, but the message and the count always agree.
TEST_F(Job, ACancelledWindowCountsTheBlocksItHadSent) {
  SimProcess sim;
  CancelToken token;
  CancelAt in_write(token, flash::Phase::kWrite);
  UpdateOptions windowed;
  windowed.window = 16;
  const UpdateReport r = run(sim, bin_, windowed, {host_, &in_write, token, {}, {}, {}});
  EXPECT_EQ(r.failure, Failure::kInterrupted);
  EXPECT_GE(r.bytes_written, 64u);
  EXPECT_LT(r.bytes_written, 1000u);
  EXPECT_EQ(r.error, "FPGA update interrupted in the write phase at byte offset " +
                         std::to_string(r.bytes_written) +
                         " of 1000: the flash is incomplete; run the update again");
}

TEST_F(Job, VerifyAndUpdateUnlessIdentical) {
  SimProcess sim;
  UpdateOptions verify = uninitialised();
  verify.mode = JobMode::kVerify;
  UpdateReport r = run(sim, bin_, verify);
  EXPECT_EQ(r.failure, Failure::kVerifyFailed);  // the flash is erased
  EXPECT_EQ(r.failed_offset, std::optional<std::uint64_t>(0));
  EXPECT_EQ(r.bytes_written, 0u);

  UpdateOptions unless = uninitialised();
  unless.mode = JobMode::kUpdateUnlessIdentical;
  r = run(sim, bin_, unless);
  ASSERT_TRUE(r.ok()) << r.error;
  EXPECT_FALSE(r.unchanged);
  EXPECT_EQ(r.bytes_written, 1000u);

  r = run(sim, bin_, unless);
  ASSERT_TRUE(r.ok()) << r.error;
  EXPECT_TRUE(r.unchanged);
  EXPECT_EQ(r.bytes_written, 0u);
  EXPECT_FALSE(r.fpga_version_after.empty());
  EXPECT_EQ(r.fpga_version_after, r.fpga_version_before);

  r = run(sim, bin_, verify);
  EXPECT_TRUE(r.ok() && r.identical) << r.error;
}

TEST_F(Job, AnIdentifyJobOnlyAsksWhoTheDeviceIs) {
  SimProcess sim({"--serial", "SN-9"});
  UpdateOptions identify;
  identify.mode = JobMode::kIdentify;
  const UpdateReport r = run(sim, "", identify);
  ASSERT_TRUE(r.ok()) << r.error;
  EXPECT_EQ((std::tuple{r.device_id, r.serial, r.control_fw_version, r.fpga_version_before}),
            (std::tuple<std::string, std::string, std::string, std::string>{"0x0362D093", "SN-9",
                                                                            "0.1.0.6", "0.2.3.4"}));
  EXPECT_EQ(jobs::recordOf(r)["outcome"], "identified");
  net::TcpConnection conn(sim.host(), sim.port(), net::TcpOptions{2.0, 2.0, {}});
  ASSERT_TRUE(conn.initConnection());
  const Json stats =
      Json::parse(conn.sendCmd("SIM_STATS?\r\n", RspType::RSP_LIST).data.get<std::string>());
  EXPECT_EQ(stats["commands"], 4);  // ID, serial, firmware version, FPGA version
}

TEST(DeviceAddress, ParsesHostsPortsAndBracketedV6) {
  using jobs::parseDeviceAddress;
  const auto p = [](const char* text) {
    const jobs::DeviceAddress a = parseDeviceAddress(text, 5025);
    return a.host + "|" + std::to_string(a.port);
  };
  EXPECT_EQ(p("10.0.0.7"), "10.0.0.7|5025");
  EXPECT_EQ(p("panel-3:6000"), "panel-3|6000");
  EXPECT_EQ(p("[::1]:7"), "::1|7");
  EXPECT_EQ(p("[fe80::1]"), "fe80::1|5025");
  EXPECT_EQ(p("fe80::1"), "fe80::1|5025");
  for (const char* bad : {"", ":5025", "host:", "host:0", "host:65536", "host:5x", "[::1", "[::1]x",
                          "host\nFPGA_ERASE 12"}) {
    EXPECT_THROW(parseDeviceAddress(bad), std::invalid_argument) << bad;
  }
  EXPECT_EQ(jobs::formatDeviceAddress({"::1", 7}), "[::1]:7");
  EXPECT_EQ(jobs::formatDeviceAddress({"h", 5025}), "h:5025");
}

// Records what a fleet reports, from any thread.
class FleetLog : public jobs::FleetObserver {
 public:
  void onStart(std::size_t device) override { add(device, "start"); }
  void onPhase(std::size_t device, flash::Phase phase, std::uint64_t) override {
    add(device, std::string(flash::phaseName(phase)));
  }
  void onProgress(std::size_t, flash::Phase, std::uint64_t, std::uint64_t) override {}
  void onFinish(std::size_t device, const UpdateReport&) override { add(device, "finish"); }

  std::string of(std::size_t device) {
    const std::lock_guard<std::mutex> lock(mutex_);
    return events_[device];
  }

 private:
  void add(std::size_t device, const std::string& event) {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::string& log = events_[device];
    log += (log.empty() ? "" : " ") + event;
  }
  std::mutex mutex_;
  std::map<std::size_t, std::string> events_;
};

TEST_F(Job, AFleetKeepsEachDevicesFaultToItself) {
  SimProcess good({"--serial", "good"});
  SimProcess refusing({"--refuse-from", "0", "--serial", "refusing"});
  SimProcess silent({"--stall-after", "9", "--serial", "silent"});
  SimProcess closing({"--close-after", "9", "--serial", "closing"});
  SimProcess good_too({"--serial", "good too"});
  const std::vector<jobs::DeviceAddress> devices = {{good.host(), good.port()},
                                                    {refusing.host(), refusing.port()},
                                                    {silent.host(), silent.port()},
                                                    {closing.host(), closing.port()},
                                                    {good_too.host(), good_too.port()}};
  jobs::FleetOptions options;
  options.update.timeout = 0.5;
  options.jobs = 3;
  options.host_for = [](std::size_t) { return std::make_shared<FakeHost>(); };
  FleetLog log;
  const jobs::FleetResult result = jobs::runFleet(devices, bin_, options, &log, CancelToken());
  ASSERT_EQ(result.reports.size(), devices.size());
  EXPECT_FALSE(result.stopped_by);
  const std::vector<Failure> expected = {Failure::kNone, Failure::kBlockRefused, Failure::kTimeout,
                                         Failure::kConnectionLost, Failure::kNone};
  for (std::size_t i = 0; i < devices.size(); ++i) {
    EXPECT_EQ(result.reports[i].failure, expected[i]) << i << ": " << result.reports[i].error;
    EXPECT_EQ(result.reports[i].address.port, devices[i].port) << i;
  }
  EXPECT_EQ(log.of(0), "start erase write verify reload finish");
  // The default window: the block refused inside it makes the job erase and write again, one
  // block at a time, before it gives up.
  EXPECT_EQ(log.of(1), "start erase write erase write finish");
}

// An observer whose start event fails for one device, as a caller's callback may.
class FailingStart : public FleetLog {
 public:
  void onStart(std::size_t device) override {
    if (device == 1) throw std::runtime_error("the display failed");
    FleetLog::onStart(device);
  }
};

TEST_F(Job, AStartEventThatFailsEndsOnlyThatDevicesJob) {
  SimProcess a({"--serial", "a"});
  SimProcess b({"--serial", "b"});
  jobs::FleetOptions options;
  options.host_for = [](std::size_t) { return std::make_shared<FakeHost>(); };
  FailingStart log;
  const jobs::FleetResult result = jobs::runFleet({{a.host(), a.port()}, {b.host(), b.port()}},
                                                  bin_, options, &log, CancelToken());
  EXPECT_EQ(result.reports[0].failure, Failure::kNone) << result.reports[0].error;
  EXPECT_EQ(result.reports[1].failure, Failure::kUpdateFailed);
  EXPECT_NE(result.reports[1].error.find("the display failed"), std::string::npos);
  EXPECT_EQ(log.of(1), "finish");
}

TEST_F(Job, ARecordThatCannotBeWrittenStopsNoDeviceAndIsReported) {
  SimProcess a({"--serial", "a"});
  SimProcess b({"--serial", "b"});
  jobs::RecordFile full("/dev/full");  // opens; every write fails with ENOSPC
  jobs::FleetOptions options;
  options.record = &full;
  options.host_for = [](std::size_t) { return std::make_shared<FakeHost>(); };
  const jobs::FleetResult result = jobs::runFleet({{a.host(), a.port()}, {b.host(), b.port()}},
                                                  bin_, options, nullptr, CancelToken());
  for (const UpdateReport& r : result.reports) EXPECT_EQ(r.failure, Failure::kNone) << r.error;
  ASSERT_TRUE(result.record_error);
  try {
    std::rethrow_exception(result.record_error);
  } catch (const FileError& e) {
    EXPECT_EQ(e.error_number(), ENOSPC);
    EXPECT_EQ(e.path(), "/dev/full");
  }
}

TEST_F(Job, AStoppedFleetCancelsEveryJobAndSaysWhereEachStood) {
  SimProcess a({"--stall-after", "20", "--serial", "a"});
  SimProcess b({"--stall-after", "40", "--serial", "b"});
  jobs::FleetOptions options;
  options.update.timeout = 30;
  options.host_for = [](std::size_t) { return std::make_shared<FakeHost>(); };
  const auto start = std::chrono::steady_clock::now();
  int checks = 0;
  const jobs::FleetResult result = jobs::runFleet(
      {{a.host(), a.port()}, {b.host(), b.port()}}, bin_, options, nullptr, CancelToken(), [&] {
        if (++checks == 6) throw std::runtime_error("stop");  // about 0.3 s in
      });
  ASSERT_TRUE(result.stopped_by);
  EXPECT_THROW(std::rethrow_exception(result.stopped_by), std::runtime_error);
  for (const UpdateReport& r : result.reports) {
    EXPECT_EQ(r.failure, Failure::kInterrupted);
    EXPECT_NE(r.error.find("FPGA update interrupted in the write phase"), std::string::npos)
        << r.error;
  }
  // Not the 30 s reply time-out: the jobs stopped on the cancellation.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

}  // namespace
}  // namespace kestrix::testing
