// The two checks an image passes before anything reaches the device. Both run without a device,
// report every failure through the host's log (logger "FPGA") and return a plain verdict.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kestrix/contracts/host.hpp"
#include "kestrix/flash/image.hpp"
#include "kestrix/flash/tbin_format.hpp"

namespace kestrix::flash {

// File-system check: the path exists, has the suffix ".bin" or ".tbin", is a regular file, holds
// more than one byte and can be read. The size query after the status check is not guarded: a
// file that vanishes in between throws FileError.
bool checkUpdateFile(const std::string& image_path, Host& host);

// Content check: a ".bin" image passes unread (its size is logged at debug level; a size query
// that fails throws FileError). A ".tbin" image passes when both stored HMAC-SHA256 digests match
// the ones made with the module's key and the device type its header names.
bool checkFileHeader(const std::string& image_path, Host& host);

// The same check as an update runs it: the same verdicts and messages, made over the bytes it
// reads once and, on success, hands out in `image` to be programmed. A raw image is read whole
// after its size is logged; one that cannot be read throws FileError. A tbin whose image region
// exceeds kMaxImageBytes throws ImageTooLargeError.
bool checkFileHeader(const std::string& image_path, Host& host, Image* image);

// Why an image whose header names `image_types` (decimal texts, see tbin::DeviceType::values)
// must not go into a device of `device_type`: "FPGA image is made for device type 28, not for
// device type 32." Nothing when the types include it.
std::optional<std::string> deviceTypeMismatch(const std::vector<std::string>& image_types,
                                              std::int64_t device_type);

// The same check, also handing out what it found in a tbin (set once the file could be read), so
// a caller that reports details does not read and hash the image a second time.
bool checkFileHeader(const std::string& image_path, Host& host,
                     std::optional<tbin::Verification>* details);

}  // namespace kestrix::flash
