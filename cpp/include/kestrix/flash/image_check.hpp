// The two checks an image passes before anything reaches the device. Both run without a device,
// report every failure through the host's log (logger "FPGA") and return a plain verdict; the
// ImageFault forms also say which step failed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kestrix/contracts/host.hpp"
#include "kestrix/flash/failure.hpp"
#include "kestrix/flash/image.hpp"
#include "kestrix/flash/tbin_format.hpp"

namespace kestrix::flash {

// The step a check failed at; each logs its message (below) at error level.
enum class ImageFault {
  kNone,
  kPathNotFound,  // nothing at the path
  kFileType,      // neither ".bin" nor ".tbin"
  kNotAFile,      // a directory or other non-regular file
  kFileError,     // its status cannot be read
  kEmpty,         // 0 or 1 byte
  kNotReadable,   // cannot be opened or read
  kHeaderParse,   // the tbin prefix or header does not decode, or names no usable device type
  kHeaderHash,    // the header digest does not match
  kImageHash,     // the image digest does not match
};

// The update's failure for a check that failed at `fault`.
Failure failureOf(ImageFault fault);
// What `fault` means for someone holding the file, to follow the check's own message in a tool's
// error line: "an image is a .bin or a .tbin file", ... ("" for kNone).
std::string_view faultHint(ImageFault fault);

// The checks' messages: the ones ending in a space are followed by the path (and for the file
// error and not-readable ones ", " and the failure text), the parse error by its reason.
namespace messages {
inline constexpr std::string_view kImagePathNotFound = "FPGA image path not found: ";
inline constexpr std::string_view kImageFileType = "FPGA image file type error: ";
inline constexpr std::string_view kImageNotFound = "FPGA image not found: ";
inline constexpr std::string_view kImageFileError = "FPGA image file error: ";
inline constexpr std::string_view kImageEmpty = "FPGA image is empty: ";
inline constexpr std::string_view kImageNotReadable = "FPGA image file not readable: ";
inline constexpr std::string_view kHeaderParseError = "FPGA tbin header parse error: ";
inline constexpr std::string_view kHeaderHashMismatch = "FPGA tbin header hash mismatch";
inline constexpr std::string_view kImageHashMismatch = "FPGA tbin image hash mismatch";
inline constexpr std::string_view kMissingDeviceType = "FPGA tbin header missing dev_type/DEV_TYPE";
}  // namespace messages

// File-system check: the path exists, has the suffix ".bin" or ".tbin", is a regular file, holds
// more than one byte and can be read. The size query after the status check is not guarded: a
// file that vanishes in between throws FileError.
ImageFault checkImageFile(const std::string& image_path, Host& host);
bool checkUpdateFile(const std::string& image_path, Host& host);

// Content check: a ".bin" image passes unread (its size is logged at debug level; a size query
// that fails throws FileError). A ".tbin" image passes when both stored HMAC-SHA256 digests match
// the ones made with the module's key and the device type its header names. With `image`, the
// check is made as an update runs it: over bytes read once and, on success, handed out in
// `image` to be programmed (a raw image is read whole after its size is logged and throws
// FileError when it cannot be; a tbin image region over kMaxImageBytes throws
// ImageTooLargeError). With `details`, a tbin verification's findings are handed out (once the
// file could be read), so a caller that reports them does not read and hash the image again.
ImageFault checkImageHeader(const std::string& image_path, Host& host, Image* image,
                            std::optional<tbin::Verification>* details = nullptr);
bool checkFileHeader(const std::string& image_path, Host& host);
bool checkFileHeader(const std::string& image_path, Host& host, Image* image);
bool checkFileHeader(const std::string& image_path, Host& host,
                     std::optional<tbin::Verification>* details);

// An image that fails the checks of an update (or of kestrix-flash check); the message is the
// check's own.
class ImageCheckError : public Error {
 public:
  ImageCheckError(const std::string& what, ImageFault fault) : Error(what), fault_(fault) {}
  ImageFault fault() const { return fault_; }

 private:
  ImageFault fault_;
};

// The image exactly as an update programs it, read once through both checks (checkImageFile,
// then checkImageHeader with `image`), which log nowhere. Refused as kestrix-flash check refuses
// it: also a tbin whose image region holds no bytes, or whose FPGA_VER is not a version. Throws
// FileError when nothing is at the path or the file fails while it is read, ImageTooLargeError,
// and ImageCheckError for any other failed check.
Image readCheckedImage(const std::string& image_path);

// Why an image whose header names `image_types` (decimal texts, see tbin::DeviceType::values)
// must not go into a device of `device_type`: "FPGA image is made for device type 28, not for
// device type 32." Nothing when the types include it.
std::optional<std::string> deviceTypeMismatch(const std::vector<std::string>& image_types,
                                              std::int64_t device_type);

}  // namespace kestrix::flash
