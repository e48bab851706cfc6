// The options of jobs and fleets as the core decides them: the ranges checked whole before any
// device, the connect time-out rule, and the names of modes and outcomes.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "fakes.hpp"
#include "kestrix/jobs/fleet.hpp"
#include "kestrix/jobs/job_options.hpp"
#include "kestrix/net/tcp_connection.hpp"
#include "sim_process.hpp"
#include "temp_dir.hpp"

namespace kestrix::testing {
namespace {

using jobs::FleetOptions;

struct OptionRow {
  const char* name;
  void (*change)(FleetOptions&);
  const char* problem;  // "" when the options are fine
};

const OptionRow kOptionRows[] = {
    {"defaults", [](FleetOptions&) {}, ""},
    {"window 0", [](FleetOptions& o) { o.update.window = 0; },
     "window must be from 1 to 1024, not 0"},
    {"window 1025", [](FleetOptions& o) { o.update.window = 1025; }, "not 1025"},
    {"timeout 0", [](FleetOptions& o) { o.update.timeout = 0; }, "reply time-out must be positive"},
    {"timeout NaN", [](FleetOptions& o) { o.update.timeout = std::nan(""); }, "reply time-out"},
    {"infinite timeout",
     [](FleetOptions& o) { o.update.timeout = std::numeric_limits<double>::infinity(); }, ""},
    {"connect timeout -1", [](FleetOptions& o) { o.update.connect_timeout = -1; },
     "connect time-out must be positive"},
    {"jobs 0", [](FleetOptions& o) { o.jobs = 0; }, "jobs must be from 1 to 1024, not 0"},
    {"jobs 1025", [](FleetOptions& o) { o.jobs = 1025; }, "not 1025"},
    {"max failures 0", [](FleetOptions& o) { o.max_failures = 0; },
     "max_failures must be at least 1"},
    {"change id of two lines", [](FleetOptions& o) { o.change_id = "CHG-1\nFPGA_ERASE 12"; },
     "a change id is one line"},
};

TEST(JobOptions, EveryOptionOutOfItsRangeIsNamed) {
  for (const OptionRow& row : kOptionRows) {
    FleetOptions options;
    row.change(options);
    if (*row.problem == '\0') {
      EXPECT_NO_THROW(jobs::validate(options)) << row.name;
      continue;
    }
    try {
      jobs::validate(options);
      ADD_FAILURE() << row.name << ": accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(row.problem), std::string::npos) << e.what();
    }
  }
  // Several at once are named together.
  FleetOptions both;
  both.jobs = 0;
  both.update.window = 0;
  try {
    jobs::validate(both);
    ADD_FAILURE() << "accepted";
  } catch (const std::invalid_argument& e) {
    EXPECT_EQ(std::string(e.what()),
              "window must be from 1 to 1024, not 0; jobs must be from 1 to 1024, not 0");
  }
}

TEST(JobOptions, AFleetWithABadOptionTouchesNoDevice) {
  TempDir dir;
  const std::string image = dir.write("a.bin", std::string(64, 'x'));
  SimProcess sim;
  FleetOptions options;
  options.update.window = 0;
  options.host_for = [](std::size_t) { return std::make_shared<FakeHost>(); };
  EXPECT_THROW(jobs::runFleet({{sim.host(), sim.port()}}, image, options, nullptr, CancelToken()),
               std::invalid_argument);
  net::TcpConnection conn(sim.host(), sim.port());
  ASSERT_TRUE(conn.initConnection());
  const Json stats =
      Json::parse(conn.sendCmd("SIM_STATS?\r\n", RspType::RSP_STRING).data.get<std::string>());
  EXPECT_EQ(stats["commands"], 0);
}

TEST(JobOptions, TheConnectTimeoutIsTheReplyTimeoutUpToItsLimit) {
  jobs::UpdateOptions options;
  options.timeout = 2;
  EXPECT_EQ(jobs::connectTimeout(options), 2);
  options.timeout = 30;
  EXPECT_EQ(jobs::connectTimeout(options), jobs::kMaxConnectTimeout);
  options.connect_timeout = 7;
  EXPECT_EQ(jobs::connectTimeout(options), 7);
}

TEST(JobOptions, ModeAndOutcomeNamesReadBack) {
  for (const jobs::JobMode mode : jobs::kJobModes)
    EXPECT_EQ(jobs::parseJobMode(jobs::jobModeName(mode)), mode);
  try {
    jobs::parseJobMode("flash\n");
    ADD_FAILURE() << "accepted";
  } catch (const std::invalid_argument& e) {
    EXPECT_EQ(std::string(e.what()),
              "mode must be one of 'update', 'verify', 'update-unless-identical', 'identify', not "
              "'flash\\x0a'");
  }
  std::vector<std::string> good;
  for (const jobs::Outcome outcome : jobs::kOutcomes) {
    EXPECT_EQ(jobs::parseOutcome(jobs::outcomeName(outcome)), outcome);
    if (jobs::succeeded(outcome)) good.emplace_back(jobs::outcomeName(outcome));
  }
  EXPECT_EQ(good, (std::vector<std::string>{"updated", "unchanged", "reloaded", "verified",
                                            "identified"}));
  EXPECT_FALSE(jobs::parseOutcome("done"));
}

}  // namespace
}  // namespace kestrix::testing
