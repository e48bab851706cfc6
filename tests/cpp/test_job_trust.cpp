// Signed images and downgrades in jobs and fleets, against the simulator: with trusted keys, an
// image they do not sign reaches no device (not one command is sent), a signed one is programmed
// and its record names the key and says it verified; an image older than the FPGA a device runs
// is refused before anything on the device changes, unless downgrades are allowed.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "fakes.hpp"
#include "kestrix/crypto/ed25519.hpp"
#include "kestrix/crypto/sha256.hpp"
#include "kestrix/files/files.hpp"
#include "kestrix/flash/image_pack.hpp"
#include "kestrix/flash/signature.hpp"
#include "kestrix/flash/trust.hpp"
#include "kestrix/jobs/fleet.hpp"
#include "kestrix/jobs/record.hpp"
#include "kestrix/jobs/update_job.hpp"
#include "kestrix/net/tcp_connection.hpp"
#include "sim_process.hpp"
#include "temp_dir.hpp"

namespace kestrix::testing {
namespace {

using flash::Failure;
using flash::TrustStatus;
using jobs::JobMode;
using jobs::UpdateOptions;
using jobs::UpdateReport;

std::string imageBytes(std::size_t size, char first = 'x') {
  std::string bytes(size, 'i');
  bytes[0] = first;
  return bytes;
}

std::string sha256(const std::string& data) {
  crypto::Sha256 h;
  h.update(data);
  return h.hexdigest();
}

// The debug query of device `port`; the simulator counts no debug query as a command.
std::string ask(const SimProcess& sim, int port, const std::string& query) {
  net::TcpConnection conn(sim.host(), port, net::TcpOptions{2.0, 2.0, {}});
  if (!conn.initConnection()) throw std::runtime_error("cannot reach the simulator");
  return conn.sendCmd(query + "\r\n", RspType::RSP_LIST).data.get<std::string>();
}

Json stats(const SimProcess& sim, int port) {
  return Json::parse(ask(sim, port, "SIM_STATS?"));
}

class JobTrust : public ::testing::Test {
 public:
  JobTrust() {
    crypto::Ed25519PrivateKey::generate().save(key_);
    crypto::Ed25519PrivateKey::generate().save(other_key_);
    policy_ = flash::TrustPolicy::fromKeyFiles({key_ + ".pub"});
  }

  // A tbin of `data` for device type 32, declaring `version` when one is given.
  std::string tbin(const std::string& name, const std::string& data,
                   std::optional<std::string> version = "0.3.0.0") const {
    flash::PackOptions pack;
    pack.fpga_version = std::move(version);
    return dir_.write(name, flash::packTbin(data, pack));
  }
  std::string sign(const std::string& image, const std::string& key) const {
    flash::signImageFile(image, key);
    return image;
  }
  std::string keyId(const std::string& key) const {
    return crypto::Ed25519PublicKey::load(key + ".pub").keyId();
  }
  UpdateReport run(const SimProcess& sim, const std::string& image,
                   const UpdateOptions& options) const {
    jobs::JobContext context;
    context.host = std::make_shared<FakeHost>();
    return jobs::runUpdateJob({sim.host(), sim.port()}, image, options, context);
  }

  TempDir dir_;
  std::string key_ = dir_.path("release.key");
  std::string other_key_ = dir_.path("other.key");
  flash::TrustPolicy policy_;
  std::string data_ = imageBytes(1000);
};

// An image the policy refuses, and how.
struct RefusedCase {
  const char* name;
  std::function<std::string(JobTrust&)> arrange;  // returns the image path
  JobMode mode;
  TrustStatus status;
  std::string error_start;  // "$SIG" stands for the signature's path
};

void PrintTo(const RefusedCase& c, std::ostream* os) {
  *os << c.name;
}

class RefusedImages : public JobTrust, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(RefusedImages, AFleetSendsNothingToAnyDeviceAndRecordsEachAsRefused) {
  const RefusedCase& c = GetParam();
  const std::string image = c.arrange(*this);
  SimProcess sim(2, {});
  jobs::RecordFile record(dir_.path("audit.jsonl"));
  jobs::FleetOptions options;
  options.update.mode = c.mode;
  options.update.trust = policy_;
  options.host_for = [](std::size_t) { return std::make_shared<FakeHost>(); };
  options.record = &record;
  const std::vector<jobs::DeviceAddress> devices = {{sim.host(), sim.ports()[0]},
                                                    {sim.host(), sim.ports()[1]}};
  const jobs::FleetResult result = jobs::runFleet(devices, image, options, nullptr, CancelToken());

  std::string error_start = c.error_start;
  if (const auto at = error_start.find("$SIG"); at != std::string::npos)
    error_start.replace(at, 4, image + ".sig");
  ASSERT_EQ(result.reports.size(), 2u);
  for (const UpdateReport& r : result.reports) {
    EXPECT_EQ(r.failure, Failure::kImageUntrusted) << r.error;
    EXPECT_EQ(r.error.substr(0, error_start.size()), error_start) << r.error;
    EXPECT_EQ(r.trust_status, c.status);
    EXPECT_FALSE(r.signature_verified);
    // The image was read whole: its record names it.
    EXPECT_EQ(r.image_sha256, sha256(data_));
  }
  for (const int port : sim.ports()) {
    const Json counters = stats(sim, port);
    EXPECT_EQ(counters["commands"], 0) << port << ": " << counters.dump();
  }
  const std::string text = files::readWholeFile(dir_.path("audit.jsonl"));
  std::vector<Json> lines;
  for (std::size_t from = 0, end; (end = text.find('\n', from)) != std::string::npos;
       from = end + 1)
    lines.push_back(Json::parse(text.substr(from, end - from)));
  ASSERT_EQ(lines.size(), 2u);
  for (const Json& line : lines) {
    EXPECT_EQ(line["failure"], "image-untrusted");
    EXPECT_EQ(line["trust_status"], std::string(flash::trustStatusName(c.status)));
    EXPECT_EQ(line["signature_verified"], false);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Images, RefusedImages,
    ::testing::Values(
        RefusedCase{"Unsigned", [](JobTrust& t) { return t.tbin("fpga.tbin", t.data_); },
                    JobMode::kUpdate, TrustStatus::kNoSignature,
                    "no signature: $SIG does not exist"},
        RefusedCase{"UnsignedVerify", [](JobTrust& t) { return t.tbin("fpga.tbin", t.data_); },
                    JobMode::kVerify, TrustStatus::kNoSignature,
                    "no signature: $SIG does not exist"},
        RefusedCase{"SignedByAnotherKey",
                    [](JobTrust& t) { return t.sign(t.tbin("fpga.tbin", t.data_), t.other_key_); },
                    JobMode::kUpdateUnlessIdentical, TrustStatus::kUntrustedKey,
                    "$SIG is signed by "},
        // The image rebuilt around other bytes after it was signed, digests and all.
        RefusedCase{"TamperedImage",
                    [](JobTrust& t) {
                      t.sign(t.tbin("fpga.tbin", imageBytes(t.data_.size(), 'y')), t.key_);
                      return t.tbin("fpga.tbin", t.data_);
                    },
                    JobMode::kUpdate, TrustStatus::kContentMismatch,
                    "$SIG was signed for other content: image-sha256 differs"},
        // A signed field edited: the signature no longer covers the document.
        RefusedCase{"TamperedSignature",
                    [](JobTrust& t) {
                      const std::string image = t.sign(t.tbin("fpga.tbin", t.data_), t.key_);
                      std::string sig = files::readWholeFile(image + ".sig");
                      const std::string from = "fpga-version: 0.3.0.0";
                      sig.replace(sig.find(from), from.size(), "fpga-version: 0.4.0.0");
                      t.dir_.write("fpga.tbin.sig", sig);
                      return image;
                    },
                    JobMode::kUpdate, TrustStatus::kBadSignature,
                    "$SIG does not verify under key "}),
    [](const ::testing::TestParamInfo<RefusedCase>& info) { return info.param.name; });

TEST_F(JobTrust, ASignedImageIsProgrammedAndItsRecordNamesTheKeyAndSaysVerified) {
  SimProcess sim({"--version-after-update", "0.3.0.0"});
  const std::string image = sign(tbin("fpga.tbin", data_), key_);
  UpdateOptions options;
  options.trust = policy_;
  const UpdateReport r = run(sim, image, options);
  ASSERT_TRUE(r.ok()) << r.error;
  EXPECT_EQ(r.bytes_written, data_.size());
  EXPECT_EQ(ask(sim, sim.port(), "SIM_FLASH_SHA256? " + std::to_string(data_.size())),
            sha256(data_));
  EXPECT_EQ(r.trust_status, TrustStatus::kVerified);
  EXPECT_EQ(r.signing_key_id, keyId(key_));
  EXPECT_TRUE(r.signature_verified);
  const Json record = jobs::recordOf(r);
  EXPECT_EQ(record["signing_key_id"], keyId(key_));
  EXPECT_EQ(record["signature_verified"], true);
  EXPECT_EQ(record["trust_status"], "verified");
}

// Without a trusted key nothing is refused, whatever lies beside the image; the record still
// says what is there.
struct UncheckedCase {
  const char* name;
  std::function<std::string(JobTrust&)> arrange;
  TrustStatus status;
  bool names_key;
};

void PrintTo(const UncheckedCase& c, std::ostream* os) {
  *os << c.name;
}

class UncheckedImages : public JobTrust, public ::testing::WithParamInterface<UncheckedCase> {};

TEST_P(UncheckedImages, AreProgrammedAndRecordedAsNotVerified) {
  const UncheckedCase& c = GetParam();
  SimProcess sim({"--version-after-update", "0.3.0.0"});
  const UpdateReport r = run(sim, c.arrange(*this), UpdateOptions{});
  ASSERT_TRUE(r.ok()) << r.error;
  EXPECT_EQ(r.bytes_written, data_.size());
  const Json record = jobs::recordOf(r);
  EXPECT_EQ(record["trust_status"], std::string(flash::trustStatusName(c.status)));
  EXPECT_EQ(record["signature_verified"], false);
  EXPECT_EQ(record["signing_key_id"], c.names_key ? Json(keyId(key_)) : Json(nullptr));
}

INSTANTIATE_TEST_SUITE_P(
    Images, UncheckedImages,
    ::testing::Values(
        UncheckedCase{"Unsigned", [](JobTrust& t) { return t.tbin("fpga.tbin", t.data_); },
                      TrustStatus::kNoSignature, false},
        UncheckedCase{"Signed",
                      [](JobTrust& t) { return t.sign(t.tbin("fpga.tbin", t.data_), t.key_); },
                      TrustStatus::kNotVerified, true},
        UncheckedCase{"MalformedSignature",
                      [](JobTrust& t) {
                        t.dir_.write("fpga.tbin.sig", "not a signature\n");
                        return t.tbin("fpga.tbin", t.data_);
                      },
                      TrustStatus::kMalformed, false}),
    [](const ::testing::TestParamInfo<UncheckedCase>& info) { return info.param.name; });

TEST_F(JobTrust, AnIdentifyJobRecordsNoTrustStatus) {
  SimProcess sim;
  UpdateOptions identify;
  identify.mode = JobMode::kIdentify;
  identify.trust = policy_;
  const Json record = jobs::recordOf(run(sim, "", identify));
  EXPECT_EQ(record["outcome"], "identified");
  EXPECT_EQ(record["trust_status"], nullptr);
  EXPECT_EQ(record["signing_key_id"], nullptr);
  EXPECT_EQ(record["signature_verified"], false);
}

// A device running `running` given an image declaring `image_version` (a raw image, declaring
// none, when absent).
struct DowngradeCase {
  const char* name;
  std::string running;
  std::optional<std::string> image_version;
  JobMode mode;
  bool allow;
  Failure failure;
  bool written;
  bool check_version = true;
};

void PrintTo(const DowngradeCase& c, std::ostream* os) {
  *os << c.name;
}

class Downgrades : public JobTrust, public ::testing::WithParamInterface<DowngradeCase> {};

TEST_P(Downgrades, AreRefusedBeforeTheDeviceChangesUnlessAllowed) {
  const DowngradeCase& c = GetParam();
  SimProcess sim(
      {"--fpga-version", c.running, "--version-after-update", c.image_version.value_or(c.running)});
  const std::string image =
      c.image_version ? tbin("fpga.tbin", data_, c.image_version) : dir_.write("fpga.bin", data_);
  UpdateOptions options;
  options.mode = c.mode;
  options.allow_downgrade = c.allow;
  options.check_version = c.check_version;
  const UpdateReport r = run(sim, image, options);
  EXPECT_EQ(r.failure, c.failure) << r.error;
  const Json counters = stats(sim, sim.port());
  EXPECT_EQ(counters["erase"] != 0, c.written) << counters.dump();
  EXPECT_EQ(r.bytes_written != 0, c.written);
  if (c.failure != Failure::kDowngradeRefused) return;
  EXPECT_EQ(r.error, "image version " + *c.image_version + " is older than the running version " +
                         r.fpga_version_before + "; --allow-downgrade to install it");
  EXPECT_EQ(flash::failureInfo(r.failure).category, flash::FailureCategory::kInput);
  EXPECT_EQ(jobs::recordOf(r)["failure"], "downgrade-refused");
  // Nothing after the device said who it is: no initialisation, no read, no erase.
  EXPECT_EQ(counters["commands"], 4) << counters.dump();
  EXPECT_EQ(counters["read"], 0);
  EXPECT_EQ(counters["program"], 0);
}

INSTANTIATE_TEST_SUITE_P(
    Versions, Downgrades,
    ::testing::Values(
        DowngradeCase{"Older", "0.5.0.0", "0.3.0.0", JobMode::kUpdate, false,
                      Failure::kDowngradeRefused, false},
        DowngradeCase{"OlderSkippingIdentical", "0.5.0.0", "0.3.0.0",
                      JobMode::kUpdateUnlessIdentical, false, Failure::kDowngradeRefused, false},
        // Compared as versions: 0.4.10 is newer than 0.4.9, and 0.5 is 0.5.0.0.
        DowngradeCase{"OlderByAComponent", "0.4.10", "0.4.9.9", JobMode::kUpdate, false,
                      Failure::kDowngradeRefused, false},
        DowngradeCase{"OlderThanAShorterVersion", "0.5", "0.4.9.9", JobMode::kUpdate, false,
                      Failure::kDowngradeRefused, false},
        DowngradeCase{"OlderAllowed", "0.5.0.0", "0.3.0.0", JobMode::kUpdate, true, Failure::kNone,
                      true},
        DowngradeCase{"OlderVerified", "0.5.0.0", "0.3.0.0", JobMode::kVerify, false,
                      Failure::kVerifyFailed, false},
        DowngradeCase{"SameVersion", "0.3", "0.3.0.0", JobMode::kUpdate, false, Failure::kNone,
                      true},
        DowngradeCase{"Newer", "0.2.3.4", "0.3.0.0", JobMode::kUpdate, false, Failure::kNone, true},
        DowngradeCase{"ImageDeclaresNoVersion", "0.5.0.0", std::nullopt, JobMode::kUpdate, false,
                      Failure::kNone, true},
        DowngradeCase{"RunningVersionNotAVersion", "nightly-7", "0.3.0.0", JobMode::kUpdate, false,
                      Failure::kNone, true, false}),
    [](const ::testing::TestParamInfo<DowngradeCase>& info) { return info.param.name; });

}  // namespace
}  // namespace kestrix::testing
