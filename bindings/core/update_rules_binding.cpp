// The update's rules as data for the package's tools: defaults, device profiles and the kinds of
// failure with their categories. Tools branch on these, never on message texts.
#include <pybind11/stl.h>

#include <cctype>
#include <string>

#include "core_bindings.hpp"
#include "kestrix/contracts/connection.hpp"
#include "kestrix/flash/device_profile.hpp"
#include "kestrix/flash/failure.hpp"
#include "kestrix/flash/fpga_tool.hpp"
#include "kestrix/flash/image_check.hpp"
#include "kestrix/jobs/fleet.hpp"
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

pyb::dict profileDict(const flash::DeviceProfile& p) {
  pyb::dict d;
  d["device_type"] = p.type;
  d["erase_bits"] = p.erase_bits ? pyb::object(pyb::str(std::string(*p.erase_bits))) : pyb::none();
  d["reinit_wait_seconds"] =
      p.reinit_wait_seconds ? pyb::object(pyb::int_(*p.reinit_wait_seconds)) : pyb::none();
  d["init_accepted"] = p.init_accepted;
  d["min_fpga_version"] =
      p.min_fpga_version ? pyb::object(pyb::str(std::string(*p.min_fpga_version))) : pyb::none();
  return d;
}

}  // namespace

void bindUpdateRules(pyb::module_& m) {
  m.attr("DEFAULT_PORT") = kDefaultPort;
  m.attr("DEFAULT_DEVICE_TYPE") = flash::kDefaultDeviceType;
  m.attr("MAX_JOBS") = jobs::kMaxJobs;
  m.attr("MAX_WINDOW") = flash::kMaxWindow;
  m.attr("PAGE_SIZE") = wire::kPageSize;

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

  m.def(
      "device_profiles",
      [] {
        pyb::list out;
        for (const std::int64_t type : flash::profiledDeviceTypes())
          out.append(profileDict(flash::deviceProfile(type)));
        return out;
      },
      "What an update does per device type: erase argument, re-initialisation wait, whether\n"
      "initialisation accepts the type, minimum FPGA version; one dict per known type.");

  pyb::dict texts;
  texts["path_not_provided"] = std::string(flash::messages::kPathNotProvided);
  texts["file_check_failed"] = std::string(flash::messages::kFileCheckFailed);
  texts["header_check_failed"] = std::string(flash::messages::kHeaderCheckFailed);
  texts["process_failed"] = std::string(flash::messages::kProcessFailed);
  texts["image_path_not_found"] = std::string(flash::messages::kImagePathNotFound);
  texts["image_file_type"] = std::string(flash::messages::kImageFileType);
  texts["image_not_found"] = std::string(flash::messages::kImageNotFound);
  texts["image_file_error"] = std::string(flash::messages::kImageFileError);
  texts["image_empty"] = std::string(flash::messages::kImageEmpty);
  texts["image_not_readable"] = std::string(flash::messages::kImageNotReadable);
  texts["header_parse_error"] = std::string(flash::messages::kHeaderParseError);
  texts["header_hash_mismatch"] = std::string(flash::messages::kHeaderHashMismatch);
  texts["image_hash_mismatch"] = std::string(flash::messages::kImageHashMismatch);
  texts["missing_device_type"] = std::string(flash::messages::kMissingDeviceType);
  m.attr("MESSAGES") = texts;
}

}  // namespace kestrix::py
