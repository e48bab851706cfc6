// The image an update programs, read from its file once: the bytes that pass the checks are the
// bytes programmed and hashed, whatever happens to the file afterwards (a build step that replaces
// or truncates it cannot slip unchecked or partial bytes into the device).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kestrix/contracts/errors.hpp"
#include "kestrix/files/files.hpp"
#include "kestrix/flash/image_limits.hpp"

namespace kestrix::flash {

inline constexpr std::string_view kRawSuffix = ".bin";
inline constexpr std::string_view kTbinSuffix = ".tbin";

// The final extension of the file name, dot included, in lower case; empty when there is none.
// A name whose only dot is its first character (".bin") has no extension. ".tbin" selects the
// container; the checks accept ".bin" and ".tbin" only.
std::string lowerSuffix(std::string_view path);

// The hex SHA-256 digest of `bytes`.
std::string sha256Hex(std::string_view bytes);

struct Image {
  bool container = false;       // a tbin: the bytes are its image region
  std::string bytes;            // what is programmed, in order
  std::string sha256;           // hex SHA-256 of `bytes`, when the reader made it
  std::uint64_t file_size = 0;  // the file's size when it was read
  files::FileId file_id;        // the file that was read
  // A checked tbin's header device types, in decimal ("32"); empty otherwise.
  std::vector<std::string> device_types;
  // The FPGA version a checked tbin's header declares; none for a raw image.
  std::optional<std::string> fpga_version;
  // Why a checked tbin's "FPGA_VER" is not a version ("" when it is, or when there is none).
  std::string fpga_version_error;
};

// The image that programming `path` writes: for a name ending in ".tbin" (any case) the
// image_length bytes at image_start_addr, cut at the end of the file (no other field is read and
// no digest checked); for any other name the whole file. Reads only those bytes. Throws FileError
// when the file cannot be read or is too short for a tbin's fields, ImageTooLargeError when the
// image exceeds kMaxImageBytes.
Image readImage(const std::string& path);

}  // namespace kestrix::flash
