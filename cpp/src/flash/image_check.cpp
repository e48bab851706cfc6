#include "kestrix/flash/image_check.hpp"

#include <algorithm>
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

namespace {

// A raw image carries nothing to check; its size is queried (unguarded) even when the debug line
// is not wanted, so a vanished file is reported the same either way.
void logRawImage(const std::string& image_path, Host& host) {
  const std::uint64_t size = files::fileSize(image_path);
  if (host.logEnabled(LogLevel::DEBUG))
    host.log(LogLevel::DEBUG,
             "FPGA image header check: " + image_path + ", size=" + std::to_string(size));
}

// Logs what a tbin verification found and returns its verdict.
bool reportVerification(Host& host, const tbin::Verification& v) {
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

bool notReadable(const std::string& image_path, Host& host, const FileError& e) {
  return fail(host, "FPGA image file not readable: " + image_path + ", " + host.errorText(e));
}

}  // namespace

bool checkFileHeader(const std::string& image_path, Host& host) {
  return checkFileHeader(image_path, host,
                         static_cast<std::optional<tbin::Verification>*>(nullptr));
}

bool checkFileHeader(const std::string& image_path, Host& host, Image* image) {
  if (lowerSuffix(image_path) == kRawSuffix) {
    logRawImage(image_path, host);
    *image = readImage(image_path);
    return true;
  }
  std::optional<files::RandomAccessFile> file;
  std::string bytes;
  tbin::Verification v;
  try {
    file.emplace(image_path);
    v = tbin::verifyFile(*file, &bytes, kMaxImageBytes);
  } catch (const files::ImageTooLargeError&) {
    throw;
  } catch (const FileError& e) {
    return notReadable(image_path, host, e);
  }
  if (!reportVerification(host, v)) return false;
  image->container = true;
  image->bytes = std::move(bytes);
  image->file_size = v.file_size;
  image->device_types = std::move(v.dev_types);
  return true;
}

bool checkFileHeader(const std::string& image_path, Host& host,
                     std::optional<tbin::Verification>* details) {
  if (lowerSuffix(image_path) == kRawSuffix) {
    logRawImage(image_path, host);
    return true;
  }
  std::optional<tbin::Verification> found;
  try {
    found = tbin::verifyFile(image_path);
  } catch (const FileError& e) {
    return notReadable(image_path, host, e);
  }
  const tbin::Verification& v = details ? details->emplace(std::move(*found)) : *found;
  return reportVerification(host, v);
}

std::optional<std::string> deviceTypeMismatch(const std::vector<std::string>& image_types,
                                              std::int64_t device_type) {
  const std::string wanted = std::to_string(device_type);
  if (std::find(image_types.begin(), image_types.end(), wanted) != image_types.end()) return {};
  std::string made_for;
  if (image_types.empty()) {
    made_for = "no device type (an empty list)";
  } else {
    made_for = image_types.size() == 1 ? "device type " : "device types ";
    for (std::size_t i = 0; i < image_types.size(); ++i) {
      if (i > 0) made_for += i + 1 == image_types.size() ? " and " : ", ";
      made_for += image_types[i];
    }
  }
  return "FPGA image is made for " + made_for + ", not for device type " + wanted + ".";
}

}  // namespace kestrix::flash
