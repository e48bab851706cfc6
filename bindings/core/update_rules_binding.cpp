// The update's rules as data for the package's tools: defaults, limits, names of modes and
// outcomes, and the kinds of failure with their categories. Tools branch on these, never on
// message texts, and take every default and limit from here.
#include <pybind11/stl.h>

#include <cctype>
#include <string>
#include <vector>

#include "core_bindings.hpp"
#include "kestrix/contracts/connection.hpp"
#include "kestrix/flash/device_profile.hpp"
#include "kestrix/flash/engine.hpp"
#include "kestrix/flash/failure.hpp"
#include "kestrix/jobs/job_options.hpp"
#include "kestrix/wire/protocol.hpp"

namespace kestrix::py {

namespace pyb = pybind11;
using flash::Failure;
using flash::FailureCategory;

namespace {

// "block-refused" -> "BLOCK_REFUSED".
std::string memberName(std::string_view name) {
  std::string out;
  for (const char c : name) out += c == '-' ? '_' : static_cast<char>(std::toupper(c));
  return out;
}

void bindConstants(pyb::module_& m) {
  m.attr("DEFAULT_PORT") = kDefaultPort;
  m.attr("DEFAULT_DEVICE_TYPE") = flash::kDefaultDeviceType;
  m.attr("DEFAULT_JOBS") = jobs::kDefaultJobs;
  m.attr("MAX_JOBS") = jobs::kMaxJobs;
  m.attr("DEFAULT_WINDOW") = jobs::kDefaultWindow;
  m.attr("MAX_WINDOW") = flash::kMaxWindow;
  m.attr("DEFAULT_TIMEOUT") = jobs::kDefaultTimeout;
  m.attr("MAX_CONNECT_TIMEOUT") = jobs::kMaxConnectTimeout;
  m.attr("PROGRESS_INTERVAL") =
      std::chrono::duration<double>(jobs::kProgressInterval).count();  // seconds
  m.attr("PAGE_SIZE") = wire::kPageSize;
  m.def(
      "reload_wait",
      [](std::int64_t device_type) {
        return flash::deviceProfile(device_type).reinit_wait_seconds.value_or(0);
      },
      pyb::arg("device_type"),
      "Seconds a device of DEVICE_TYPE is given after its FPGA reloads (0: none).");
  std::vector<std::string> modes;
  for (const jobs::JobMode mode : jobs::kJobModes) modes.emplace_back(jobs::jobModeName(mode));
  m.attr("JOB_MODES") = pyb::tuple(pyb::cast(modes));
}

}  // namespace

void bindUpdateRules(pyb::module_& m) {
  bindConstants(m);
  pyb::enum_<FailureCategory>(m, "FailureCategory",
                              "What a caller can do about a failure: fix the INPUT, look at the "
                              "DEVICE, or see why the UPDATE failed; INTERRUPTED on request.")
      .value("NONE", FailureCategory::kNone)
      .value("INPUT", FailureCategory::kInput)
      .value("DEVICE", FailureCategory::kDevice)
      .value("UPDATE", FailureCategory::kUpdate)
      .value("INTERRUPTED", FailureCategory::kInterrupted);

  pyb::enum_<Failure> failure(m, "Failure", "Why an update did not succeed (NONE: it did).");
  for (const flash::FailureInfo& info : flash::kFailures)
    failure.value(memberName(info.name).c_str(), info.failure);
  failure
      .def_property_readonly(
          "label", [](Failure f) { return std::string(flash::failureInfo(f).name); },
          "The stable name used in records: 'block-refused'.")
      .def_property_readonly(
          "category", [](Failure f) { return flash::failureInfo(f).category; },
          "The FailureCategory the failure belongs to.");

  pyb::enum_<jobs::Outcome> outcome(m, "Outcome", "How a device's job ended.");
  for (const jobs::Outcome o : jobs::kOutcomes)
    outcome.value(memberName(jobs::outcomeName(o)).c_str(), o);
  outcome
      .def_property_readonly(
          "label", [](jobs::Outcome o) { return std::string(jobs::outcomeName(o)); },
          "The name records use: 'updated', 'unchanged', ...")
      .def_property_readonly("succeeded", &jobs::succeeded,
                             "Whether the device holds (and, where known, runs) the image, or "
                             "answered who it is.");
}

}  // namespace kestrix::py
