// Fleets as an operator who walks away relies on them, against simulated devices: each device
// once, one image for all, no reload of a flash that failed its verify, "unchanged" only for a
// device that holds and runs the image, identical meaning identical, staged rollouts, the record
// never the image, and a host out of descriptors named as such.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "fakes.hpp"
#include "kestrix/crypto/sha256.hpp"
#include "kestrix/flash/fpga_tool.hpp"
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

std::string randomBytes(std::size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  std::string data(size, '\0');
  for (char& c : data) c = static_cast<char>(rng());
  return data;
}

std::string sha256(std::string_view data) {
  crypto::Sha256 h;
  h.update(data);
  return h.hexdigest();
}

class FleetSafety : public ::testing::Test {
 public:
  // A debug query's answer.
  static std::string ask(const SimProcess& sim, const std::string& query, int device = 0) {
    net::TcpConnection conn(sim.host(), sim.ports()[static_cast<std::size_t>(device)]);
    EXPECT_TRUE(conn.initConnection());
    return conn.sendCmd(query + "\r\n", RspType::RSP_STRING).data.get<std::string>();
  }
  static std::uint64_t stat(const SimProcess& sim, const char* name, int device = 0) {
    return Json::parse(ask(sim, "SIM_STATS?", device))[name].get<std::uint64_t>();
  }
  static std::string flashDigest(const SimProcess& sim, std::size_t length, int device = 0) {
    return ask(sim, "SIM_FLASH_SHA256? " + std::to_string(length), device);
  }
  // Writes `data` into the flash the way an update does, and stops before the FPGA reloads.
  static void writeWithoutReload(const SimProcess& sim, std::string_view data, const char* bits) {
    flash::FpgaTool tool(sim.host(), sim.port(), net::tcpConnectionFactory(),
                         std::make_shared<FakeHost>());
    tool._fpgaErase(bits);
    tool._fpgaRstPagePtr("CFG");
    for (std::size_t at = 0; at < data.size(); at += 16)
      ASSERT_TRUE(tool._fpgaProgram(data.substr(at, 16)));
    tool.disconnect();
  }

  UpdateReport job(const SimProcess& sim, const std::string& image, UpdateOptions options,
                   int device = 0) {
    jobs::JobContext context;
    context.host = host_;
    return jobs::runUpdateJob({sim.host(), sim.ports()[static_cast<std::size_t>(device)]}, image,
                              options, context);
  }
  static UpdateOptions mode(JobMode m, std::int64_t type = 32, bool init = true) {
    UpdateOptions o;
    o.mode = m;
    o.device_type = type;
    o.init = init;
    return o;
  }
  jobs::FleetOptions fleetOptions() {
    jobs::FleetOptions options;
    options.host_for = [](std::size_t) { return std::make_shared<FakeHost>(); };
    options.update.device_type = 28;
    options.update.init = false;
    return options;
  }

  TempDir dir_;
  std::shared_ptr<FakeHost> host_ = std::make_shared<FakeHost>();
};

TEST_F(FleetSafety, TheVersionTheImageDeclaresDecidesUnchangedReloadedAndVerified) {
  const std::string data = randomBytes(1000, 1);
  flash::PackOptions pack;
  pack.fpga_version = "0.5";
  const std::string tbin = dir_.write("v.tbin", flash::packTbin(data, pack));
  SimProcess sim({"--fpga-version", "0.4.0.0", "--version-after-update", "0.5.0.0"});
  // An update whose link was lost while the device reloaded: the flash holds the image, the FPGA
  // runs what it ran before.
  writeWithoutReload(sim, data, "12");

  UpdateReport r = job(sim, tbin, mode(JobMode::kVerify));
  EXPECT_EQ(r.failure, Failure::kVersionMismatch) << r.error;
  EXPECT_EQ(r.error,
            "the flash holds the image, but the FPGA runs version 0.4.0.0, not the "
            "image's 0.5");
  EXPECT_EQ(stat(sim, "refresh"), 0u) << "verify changed the device";

  r = job(sim, tbin, mode(JobMode::kUpdateUnlessIdentical));
  ASSERT_TRUE(r.ok()) << r.error;
  EXPECT_EQ(jobs::outcomeOf(r), "reloaded");
  EXPECT_EQ((std::tuple{r.fpga_version_before, r.fpga_version_after, r.bytes_written}),
            (std::tuple{std::string("0.4.0.0"), std::string("0.5.0.0"), std::uint64_t{0}}));
  EXPECT_EQ(stat(sim, "refresh"), 1u);
  EXPECT_EQ(stat(sim, "erase"), 1u) << "the image was written again";

  r = job(sim, tbin, mode(JobMode::kUpdateUnlessIdentical));
  EXPECT_EQ(jobs::outcomeOf(r), "unchanged") << r.error;
  EXPECT_EQ(stat(sim, "refresh"), 1u);
  EXPECT_EQ(jobs::outcomeOf(job(sim, tbin, mode(JobMode::kVerify))), "verified");
  EXPECT_EQ(jobs::recordOf(r)["image_version"], "0.5");

  // A device whose reload does not bring the image's version fails; it is not "unchanged".
  SimProcess stuck({"--fpga-version", "0.4.0.0", "--version-after-update", "0.4.1.0"});
  writeWithoutReload(stuck, data, "12");
  r = job(stuck, tbin, mode(JobMode::kUpdateUnlessIdentical));
  EXPECT_EQ(r.failure, Failure::kVersionMismatch);
  EXPECT_EQ(r.error,
            "the flash holds the image, but after a reload the FPGA runs version "
            "0.4.1.0, not the image's 0.5");
  // An update that writes the image and still does not run it is no success either.
  r = job(stuck, tbin, mode(JobMode::kUpdate));
  EXPECT_EQ(r.failure, Failure::kVersionMismatch);
  EXPECT_EQ(r.bytes_written, data.size());

  // Without a declared version, the running version cannot be checked: "unchanged" as before.
  const std::string bin = dir_.write("v.bin", data);
  EXPECT_EQ(jobs::outcomeOf(job(stuck, bin, mode(JobMode::kUpdateUnlessIdentical))), "unchanged");
}

TEST_F(FleetSafety, AFlashThatFailsItsVerifyIsNotReloaded) {
  const std::string image = dir_.write("a.bin", randomBytes(1000, 2));
  SimProcess sim({"--corrupt-read", "20"});
  const UpdateReport r = job(sim, image, mode(JobMode::kUpdate));
  EXPECT_EQ(r.failure, Failure::kVerifyFailed);
  EXPECT_EQ(r.error,
            "the flash reads back differently from the image, first at byte offset 20; the FPGA "
            "was not reloaded and keeps running its previous configuration: run the update again "
            "before the device restarts");
  EXPECT_EQ(stat(sim, "refresh"), 0u);
  // The update API keeps its finishing commands whatever the verification found.
  flash::FpgaTool tool(sim.host(), sim.port(), net::tcpConnectionFactory(), host_);
  EXPECT_EQ(tool.processFpgaUpdate(image, 32).code, RetCode::ERROR);
  tool.disconnect();
  EXPECT_EQ(stat(sim, "refresh"), 1u);
}

TEST_F(FleetSafety, IdenticalMeansTheBytesAfterTheImageReadErased) {
  const std::string longer = randomBytes(1200, 3);
  const std::string prefix = dir_.write("prefix.bin", longer.substr(0, 1000));
  SimProcess sim;
  ASSERT_TRUE(job(sim, dir_.write("longer.bin", longer), mode(JobMode::kUpdate, 28, false)).ok());

  UpdateReport r = job(sim, prefix, mode(JobMode::kVerify, 28, false));
  EXPECT_EQ(r.failure, Failure::kVerifyFailed);
  EXPECT_EQ(r.error,
            "the flash holds more than the image: the byte at offset 1000, after its "
            "end, is not erased");
  r = job(sim, prefix, mode(JobMode::kUpdateUnlessIdentical, 28, false));
  EXPECT_EQ(jobs::outcomeOf(r), "updated") << r.error;
  EXPECT_EQ(jobs::outcomeOf(job(sim, prefix, mode(JobMode::kVerify, 28, false))), "verified");

  // A flash that ends with the image's last page has no page after it to read.
  SimProcess exact({"--flash-size", "1008"});
  ASSERT_TRUE(job(exact, prefix, mode(JobMode::kUpdate, 28, false)).ok());
  EXPECT_EQ(jobs::outcomeOf(job(exact, prefix, mode(JobMode::kVerify, 28, false))), "verified");
}

TEST_F(FleetSafety, TwoEntriesThatAnswerOneSerialNumberAreOneDevice) {
  const std::string image = dir_.write("a.bin", randomBytes(500, 4));
  SimProcess first({"--serial", "twin"});
  SimProcess second({"--serial", "twin"});
  jobs::FleetOptions options = fleetOptions();
  options.jobs = 1;
  const jobs::FleetResult result =
      jobs::runFleet({{first.host(), first.port()}, {second.host(), second.port()}}, image, options,
                     nullptr, CancelToken());
  EXPECT_TRUE(result.reports[0].ok()) << result.reports[0].error;
  EXPECT_EQ(result.reports[1].failure, Failure::kDuplicateDevice);
  EXPECT_EQ(result.reports[1].error,
            "same device as " + first.host() + ":" + std::to_string(first.port()) +
                " (device 1) (serial number twin); nothing was done to it here");
  EXPECT_EQ(stat(second, "program") + stat(second, "erase"), 0u);
}

// Replaces the image file as the second device starts, the way a new build lands at its path.
class ReplacingObserver : public jobs::FleetObserver {
 public:
  explicit ReplacingObserver(std::string path) : path_(std::move(path)) {}
  void onStart(std::size_t device) override {
    if (device == 1) std::ofstream(path_, std::ios::binary | std::ios::trunc) << "a newer build";
  }
  void onPhase(std::size_t, flash::Phase, std::uint64_t) override {}
  void onProgress(std::size_t, flash::Phase, std::uint64_t, std::uint64_t) override {}
  void onFinish(std::size_t, const UpdateReport&) override {}

 private:
  std::string path_;
};

TEST_F(FleetSafety, EveryDeviceGetsTheImageAsItWasReadOnce) {
  const std::string data = randomBytes(4000, 5);
  const std::string image = dir_.write("a.bin", data);
  SimProcess sim(3, {});
  jobs::FleetOptions options = fleetOptions();
  options.jobs = 1;
  ReplacingObserver observer(image);
  const jobs::FleetResult result = jobs::runFleet(
      {{sim.host(), sim.ports()[0]}, {sim.host(), sim.ports()[1]}, {sim.host(), sim.ports()[2]}},
      image, options, &observer, CancelToken());
  for (int i = 0; i < 3; ++i) {
    const UpdateReport& r = result.reports[static_cast<std::size_t>(i)];
    EXPECT_TRUE(r.ok()) << i << ": " << r.error;
    EXPECT_EQ(r.image_sha256, sha256(data)) << i;
    EXPECT_EQ(flashDigest(sim, data.size(), i), sha256(data)) << i;
  }
}

TEST_F(FleetSafety, StagedRolloutsSkipWhatTheyDoNotStart) {
  const std::string image = dir_.write("a.bin", randomBytes(500, 6));
  const std::string record_path = dir_.path("audit.jsonl");
  struct Case {
    std::size_t canary;
    std::size_t max_failures;
    std::vector<std::string> outcomes;
  };
  for (const Case& c :
       {Case{1, 0, {"failed", "skipped", "skipped"}}, Case{0, 1, {"failed", "skipped", "skipped"}},
        Case{0, 2, {"failed", "updated", "updated"}}}) {
    SimProcess refusing({"--refuse-from", "0", "--serial", "refusing"});
    SimProcess good(2, {"--serial", "good"});
    jobs::RecordFile record(record_path);
    jobs::FleetOptions options = fleetOptions();
    options.jobs = 1;
    options.canary = c.canary;
    if (c.max_failures > 0) options.max_failures = c.max_failures;
    options.record = &record;
    options.change_id = "CHG-7";
    const jobs::FleetResult result = jobs::runFleet({{refusing.host(), refusing.port()},
                                                     {good.host(), good.ports()[0]},
                                                     {good.host(), good.ports()[1]}},
                                                    image, options, nullptr, CancelToken());
    std::vector<std::string> outcomes;
    for (const UpdateReport& r : result.reports) outcomes.emplace_back(jobs::outcomeOf(r));
    EXPECT_EQ(outcomes, c.outcomes) << c.canary << " " << c.max_failures;
    if (c.outcomes[1] == "skipped") {
      EXPECT_EQ(stat(good, "program", 0) + stat(good, "program", 1), 0u);
      const Json line = jobs::recordOf(result.reports[1]);
      EXPECT_EQ(line["failure"], "skipped");
      EXPECT_EQ(line["change_id"], "CHG-7");
      EXPECT_EQ(line["image_sha256"], result.reports[0].image_sha256);
    }
  }
  // Every device of every run has its line.
  std::ifstream in(record_path);
  std::string text;
  std::size_t lines = 0;
  while (std::getline(in, text)) ++lines;
  EXPECT_EQ(lines, 9u);
}

TEST_F(FleetSafety, ARecordThatIsTheImageIsRefusedBeforeAnythingIsSent) {
  const std::string data = randomBytes(500, 7);
  const std::string image = dir_.write("a.bin", data);
  SimProcess sim;
  jobs::RecordFile record(image);
  jobs::FleetOptions options = fleetOptions();
  options.record = &record;
  EXPECT_THROW(jobs::runFleet({{sim.host(), sim.port()}}, image, options, nullptr, CancelToken()),
               std::invalid_argument);
  std::ifstream in(image, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), data);
  EXPECT_EQ(stat(sim, "commands"), 0u);
}

TEST_F(FleetSafety, AHostOutOfDescriptorsIsAResourceFailure) {
  const std::string image = dir_.write("a.bin", randomBytes(500, 8));
  SimProcess sim;
  const jobs::LoadedImage loaded = jobs::loadJobImage(image, mode(JobMode::kUpdate, 28, false));
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Every descriptor below a low limit in use: the next socket() fails with EMFILE.
    const rlimit limit{64, 64};
    ::setrlimit(RLIMIT_NOFILE, &limit);
    while (::dup(0) >= 0) {
    }
    jobs::JobContext context;
    context.host = std::make_shared<FakeHost>();
    const UpdateReport r = jobs::runUpdateJob({sim.host(), sim.port()}, loaded,
                                              mode(JobMode::kUpdate, 28, false), context);
    const bool named = r.error.find("ran out of resources") != std::string::npos;
    ::_exit(r.failure == Failure::kHostResources && named ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace kestrix::testing
