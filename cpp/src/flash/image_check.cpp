#include "kestrix/flash/image_check.hpp"

#include <algorithm>
#include <cerrno>
#include <exception>
#include <optional>
#include <string>
#include <utility>

#include "kestrix/contracts/errors.hpp"
#include "kestrix/files/files.hpp"
#include "kestrix/flash/tbin_format.hpp"

namespace kestrix::flash {
namespace {

ImageFault fail(Host& host, ImageFault fault, std::string message) {
  host.log(LogLevel::ERROR, message);
  return fault;
}

std::string str(std::string_view text) {
  return std::string(text);
}

// A raw image carries nothing to check; its size is queried (unguarded) even when the debug line
// is not wanted, so a vanished file is reported the same either way.
void logRawImage(const std::string& image_path, Host& host) {
  const std::uint64_t size = files::fileSize(image_path);
  if (host.logEnabled(LogLevel::DEBUG))
    host.log(LogLevel::DEBUG,
             "FPGA image header check: " + image_path + ", size=" + std::to_string(size));
}

// Logs what a tbin verification found and returns its fault.
ImageFault reportVerification(Host& host, const tbin::Verification& v) {
  if (v.header && host.logEnabled(LogLevel::DEBUG))
    host.log(LogLevel::DEBUG,
             "FPGA tbin header: " + v.header->dump(-1, ' ', false, Json::error_handler_t::replace));
  if (v.dev_type_missing) host.log(LogLevel::WARNING, str(messages::kMissingDeviceType));
  switch (v.verdict) {
    case tbin::Verdict::kParseError:
      return fail(host, ImageFault::kHeaderParse, str(messages::kHeaderParseError) + v.parse_error);
    case tbin::Verdict::kHeaderHashMismatch:
      return fail(host, ImageFault::kHeaderHash, str(messages::kHeaderHashMismatch));
    case tbin::Verdict::kImageHashMismatch:
      return fail(host, ImageFault::kImageHash, str(messages::kImageHashMismatch));
    case tbin::Verdict::kPass:
      break;
  }
  host.log(LogLevel::DEBUG, "FPGA tbin hash verify success");
  return ImageFault::kNone;
}

ImageFault notReadable(const std::string& image_path, Host& host, const FileError& e) {
  return fail(host, ImageFault::kNotReadable,
              str(messages::kImageNotReadable) + image_path + ", " + host.errorText(e));
}

// Keeps what the checks log, for a caller that reports the first error itself.
class RecordingHost final : public ProcessHost {
 public:
  void log(LogLevel level, std::string_view message) override {
    if (level == LogLevel::ERROR && first_error.empty()) first_error = message;
  }
  bool logEnabled(LogLevel level) override { return level == LogLevel::ERROR; }
  void writeStdout(std::string_view, bool) override {}

  std::string first_error;
};

}  // namespace

Failure failureOf(ImageFault fault) {
  switch (fault) {
    case ImageFault::kNone:
      return Failure::kNone;
    case ImageFault::kPathNotFound:
      return Failure::kImageMissing;
    case ImageFault::kFileType:
    case ImageFault::kNotAFile:
    case ImageFault::kFileError:
    case ImageFault::kEmpty:
    case ImageFault::kNotReadable:
      return Failure::kImageInvalid;
    case ImageFault::kHeaderParse:
    case ImageFault::kHeaderHash:
    case ImageFault::kImageHash:
      break;
  }
  return Failure::kImageRejected;
}

std::string_view faultHint(ImageFault fault) {
  switch (fault) {
    case ImageFault::kNone:
      return "";
    case ImageFault::kPathNotFound:
      return "no such file";
    case ImageFault::kFileType:
      return "an image is a .bin or a .tbin file";
    case ImageFault::kNotAFile:
      return "not a regular file";
    case ImageFault::kFileError:
    case ImageFault::kNotReadable:
      return "the file cannot be read";
    case ImageFault::kEmpty:
      return "the file holds no image";
    case ImageFault::kHeaderParse:
      return "not a valid tbin container";
    case ImageFault::kHeaderHash:
      return "the header digest does not match: the header was changed, or the file was not "
             "packed with this tool's key";
    case ImageFault::kImageHash:
      break;
  }
  return "the image digest does not match: the image bytes were changed or cut short";
}

ImageFault checkImageFile(const std::string& image_path, Host& host) {
  using messages::kImagePathNotFound;
  if (!files::pathExists(image_path))
    return fail(host, ImageFault::kPathNotFound, str(kImagePathNotFound) + image_path);
  const std::string suffix = lowerSuffix(image_path);
  if (suffix != kRawSuffix && suffix != kTbinSuffix)
    return fail(host, ImageFault::kFileType, str(messages::kImageFileType) + image_path);
  if (!files::isRegularFile(image_path))
    return fail(host, ImageFault::kNotAFile, str(messages::kImageNotFound) + image_path);
  try {
    files::fileSize(image_path);
  } catch (const FileError& e) {
    return fail(host, ImageFault::kFileError,
                str(messages::kImageFileError) + image_path + ", " + host.errorText(e));
  }
  // Not guarded: a file that vanished since the query above is the caller's error.
  if (files::fileSize(image_path) <= 1)
    return fail(host, ImageFault::kEmpty, str(messages::kImageEmpty) + image_path);
  try {
    files::readOneByte(image_path);
  } catch (const FileError& e) {
    return notReadable(image_path, host, e);
  }
  return ImageFault::kNone;
}

bool checkUpdateFile(const std::string& image_path, Host& host) {
  return checkImageFile(image_path, host) == ImageFault::kNone;
}

ImageFault checkImageHeader(const std::string& image_path, Host& host, Image* image,
                            std::optional<tbin::Verification>* details) {
  if (lowerSuffix(image_path) == kRawSuffix) {
    logRawImage(image_path, host);
    if (image != nullptr) *image = readImage(image_path);
    return ImageFault::kNone;
  }
  std::optional<files::RandomAccessFile> file;
  std::string bytes;
  tbin::Verification v;
  try {
    file.emplace(image_path);
    v = image != nullptr ? tbin::verifyFile(*file, &bytes, kMaxImageBytes)
                         : tbin::verifyFile(*file);
  } catch (const ImageTooLargeError&) {
    throw;
  } catch (const FileError& e) {
    return notReadable(image_path, host, e);
  }
  const ImageFault fault = reportVerification(host, v);
  if (fault == ImageFault::kNone && image != nullptr) {
    image->container = true;
    image->bytes = std::move(bytes);
    image->sha256 = sha256Hex(image->bytes);
    image->file_size = v.file_size;
    image->file_id = file->id();
    image->device_types = v.dev_types;
    image->fpga_version = v.fpga_version;
    image->fpga_version_error = v.fpga_version_error;
  }
  if (details != nullptr) details->emplace(std::move(v));
  return fault;
}

bool checkFileHeader(const std::string& image_path, Host& host) {
  return checkImageHeader(image_path, host, nullptr) == ImageFault::kNone;
}

bool checkFileHeader(const std::string& image_path, Host& host, Image* image) {
  return checkImageHeader(image_path, host, image) == ImageFault::kNone;
}

bool checkFileHeader(const std::string& image_path, Host& host,
                     std::optional<tbin::Verification>* details) {
  return checkImageHeader(image_path, host, nullptr, details) == ImageFault::kNone;
}

Image readCheckedImage(const std::string& image_path) {
  RecordingHost host;
  ImageFault fault = checkImageFile(image_path, host);
  if (fault == ImageFault::kPathNotFound) throw files::fileError(ENOENT, image_path);
  Image image;
  if (fault == ImageFault::kNone) fault = checkImageHeader(image_path, host, &image);
  // Nothing to program proves nothing; a version that cannot be read cannot be compared.
  if (fault == ImageFault::kNone && image.bytes.empty()) {
    fault = ImageFault::kEmpty;
    host.log(LogLevel::ERROR, str(messages::kImageEmpty) + image_path);
  }
  if (fault == ImageFault::kNone && !image.fpga_version_error.empty()) {
    fault = ImageFault::kHeaderParse;
    host.log(LogLevel::ERROR, image.fpga_version_error);
  }
  if (fault != ImageFault::kNone) throw ImageCheckError(host.first_error, fault);
  return image;
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
