#include "kestrix/flash/image_check.hpp"

#include <exception>
#include <optional>
#include <string>

#include "kestrix/contracts/errors.hpp"
#include "kestrix/flash/image_path.hpp"
#include "kestrix/flash/tbin_format.hpp"

namespace kestrix::flash {
namespace {

bool fail(Host& host, std::string message) {
  host.log(LogLevel::ERROR, message);
  return false;
}

}  // namespace

bool checkUpdateFile(const std::string& image_path, Host& host) {
  if (!files::pathExists(image_path)) return fail(host, "FPGA image path not found: " + image_path);
  const std::string suffix = lowerSuffix(image_path);
  if (suffix != kRawSuffix && suffix != kTbinSuffix)
    return fail(host, "FPGA image file type error: " + image_path);
  if (!files::isRegularFile(image_path)) return fail(host, "FPGA image not found: " + image_path);
  try {
    files::fileSize(image_path);
  } catch (const FileError& e) {
    return fail(host, "FPGA image file error: " + image_path + ", " + host.errorText(e));
  }
  // Not guarded: a file that vanished since the query above is the caller's error.
  if (files::fileSize(image_path) <= 1) return fail(host, "FPGA image is empty: " + image_path);
  try {
    files::readOneByte(image_path);
  } catch (const FileError& e) {
    return fail(host, "FPGA image file not readable: " + image_path + ", " + host.errorText(e));
  }
  return true;
}

bool checkFileHeader(const std::string& image_path, Host& host) {
  return checkFileHeader(image_path, host, nullptr);
}

bool checkFileHeader(const std::string& image_path, Host& host,
                     std::optional<tbin::Verification>* details) {
  if (lowerSuffix(image_path) == kRawSuffix) {
    // A raw image carries nothing to check; its size is queried (unguarded) even when the debug
    // line is not wanted, so a vanished file is reported the same either way.
    const std::uint64_t size = files::fileSize(image_path);
    if (host.logEnabled(LogLevel::DEBUG))
      host.log(LogLevel::DEBUG,
               "FPGA image header check: " + image_path + ", size=" + std::to_string(size));
    return true;
  }
  std::optional<tbin::Verification> found;
  try {
    found = tbin::verifyFile(image_path);
  } catch (const FileError& e) {
    return fail(host, "FPGA image file not readable: " + image_path + ", " + host.errorText(e));
  }
  const tbin::Verification& v = details ? details->emplace(std::move(*found)) : *found;
  if (v.header && host.logEnabled(LogLevel::DEBUG))
    host.log(LogLevel::DEBUG,
             "FPGA tbin header: " + v.header->dump(-1, ' ', false, Json::error_handler_t::replace));
  if (v.dev_type_missing) host.log(LogLevel::WARNING, "FPGA tbin header missing dev_type/DEV_TYPE");
  switch (v.verdict) {
    case tbin::Verdict::kParseError:
      return fail(host, "FPGA tbin header parse error: " + v.parse_error);
    case tbin::Verdict::kHeaderHashMismatch:
      return fail(host, "FPGA tbin header hash mismatch");
    case tbin::Verdict::kImageHashMismatch:
      return fail(host, "FPGA tbin image hash mismatch");
    case tbin::Verdict::kPass:
      break;
  }
  host.log(LogLevel::DEBUG, "FPGA tbin hash verify success");
  return true;
}

}  // namespace kestrix::flash
