// Making tbin images, and looking into any image file without a device.
//
// A packed image always passes checkFileHeader: its digests are keyed with the device type text
// that its own header names, made by the same rules the check applies.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kestrix/contracts/host.hpp"
#include "kestrix/flash/device_profile.hpp"
#include "kestrix/flash/failure.hpp"
#include "kestrix/flash/image_check.hpp"
#include "kestrix/flash/tbin_format.hpp"

namespace kestrix::flash {

struct PackOptions {
  // The header text region, verbatim (NUL padding included). When absent the header is
  // {"DEV_TYPE": dev_type}.
  std::optional<std::string> header_region;
  std::int64_t dev_type = kDefaultDeviceType;
  // Where the image starts in the file; right after the header region when absent. A start past
  // the header region leaves a gap of zero bytes.
  std::optional<std::uint64_t> image_start;
  // The FPGA version the default header declares ("FPGA_VER"); a header of one's own declares
  // its own, so the two are not given together.
  std::optional<std::string> fpga_version;
};

// What a packed file holds.
struct PackResult {
  std::uint64_t file_size = 0;
  std::uint32_t header_length = 0;
  std::uint32_t image_length = 0;
  std::uint32_t image_start = 0;
  std::string dev_type_text;
  std::optional<std::string> fpga_version;  // as the header declares it
};

// The header text of an image packed for `dev_type` without a header of its own, declaring
// `fpga_version` (in canonical form) when one is given.
std::string defaultHeaderRegion(std::int64_t dev_type,
                                const std::optional<std::string>& fpga_version = std::nullopt);

// A whole tbin file in memory. Throws std::invalid_argument for a header that the check would
// refuse (not UTF-8, not a JSON object, no device type that converts), an FPGA version that is
// not a dotted decimal one or comes with a header of one's own, an image start inside the prefix
// or header region, and lengths or offsets that a 4-byte field cannot hold.
std::string packTbin(std::string_view image, const PackOptions& options = {});

// Packs the file `image_path` into `out_path`, which must end in ".tbin" and must not be the image
// file itself (links count). The image is streamed, the gap written in pieces; the output appears
// under its name only once it is complete (an existing file there is replaced then, and left as
// it was on failure). Throws std::invalid_argument as packTbin does and for those two, and
// FileError when a file cannot be read or written.
PackResult packTbinFile(const std::string& image_path, const std::string& out_path,
                        const PackOptions& options = {});

// Both checks run offline on one file, with everything they found.
struct ImageReport {
  std::string kind;  // "bin", "tbin", or "" for a name with neither suffix
  bool passed = false;
  // The first error-level message the checks logged; empty when they passed.
  std::string failure;
  // What kind of failure that is (kNone when they passed), and the check's step (kNone for a
  // device type mismatch or an error thrown by a size query).
  Failure failure_kind = Failure::kNone;
  ImageFault fault = ImageFault::kNone;
  // Every message the checks logged, in order (debug lines included).
  std::vector<std::pair<LogLevel, std::string>> messages;
  std::optional<std::uint64_t> file_size;
  // For a tbin image whose bytes could be read.
  std::optional<tbin::Verification> tbin;
  // The FPGA version the image declares (a tbin's "FPGA_VER").
  std::optional<std::string> fpga_version;
};

// Runs checkUpdateFile and, when it passes, checkFileHeader on `path`; with `device_type`, a tbin
// must also be made for it (deviceTypeMismatch), as an update of that device type requires. Never
// throws for a file's state or content: a size query that fails lands in `failure` like any other
// error.
ImageReport inspectImage(const std::string& path,
                         std::optional<std::int64_t> device_type = std::nullopt);

}  // namespace kestrix::flash
