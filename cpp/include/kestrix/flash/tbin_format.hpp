// The tbin container: a fixed binary prefix, a JSON header text region and the image bytes.
//
//   offset  size           field
//   0       4              header_length     (big-endian unsigned)
//   4       4              image_length      (big-endian unsigned)
//   8       4              image_start_addr  (big-endian unsigned, offset within the file)
//   12      4              reserved
//   16      32             header_hash       HMAC-SHA256 of the header text region
//   48      32             image_hash        HMAC-SHA256 of the image bytes
//   80      header_length  header text region: UTF-8 JSON object, optionally NUL-padded
//   image_start_addr  image_length  the image
//
// Regions that reach past the end of the file are taken short; nothing ties the image to the end
// of the header region. Both digests are keyed with the module's key text followed by the device
// type text that the header names, so the header must be decoded before either digest is checked.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kestrix/contracts/json.hpp"
#include "kestrix/crypto/hmac.hpp"
#include "kestrix/files/files.hpp"
#include "kestrix/flash/device_type.hpp"

namespace kestrix::flash::tbin {

inline constexpr std::size_t kHashSize = 32;
inline constexpr std::size_t kHeaderLengthOffset = 0;
inline constexpr std::size_t kImageLengthOffset = 4;
inline constexpr std::size_t kImageStartOffset = 8;
inline constexpr std::size_t kReservedOffset = 12;
inline constexpr std::size_t kHeaderHashOffset = 16;
inline constexpr std::size_t kImageHashOffset = kHeaderHashOffset + kHashSize;
inline constexpr std::size_t kHeaderTextOffset = kImageHashOffset + kHashSize;  // 80
// The largest value a 4-byte length or offset field holds.
inline constexpr std::uint64_t kMaxField = 0xFFFFFFFFu;
// A header text region larger than this (as far as the file holds it) is refused before it is
// read; real headers are a few hundred bytes.
inline constexpr std::uint64_t kMaxHeaderBytes = 1 << 20;
// Header JSON nested deeper than this is refused, as a Python host's recursion limit refuses it;
// it also bounds the recursion of everything that walks the parsed header.
inline constexpr int kMaxJsonDepth = 1000;

// The 4-byte big-endian unsigned integer at `offset`; false when the file is too short for it.
bool readU32(std::string_view file, std::size_t offset, std::uint32_t* value);
// Appends `value` as 4 big-endian bytes.
void appendU32(std::string* out, std::uint32_t value);

// `file[offset, offset + length)`, cut at the end of the file; computed without overflow.
std::string_view region(std::string_view file, std::uint64_t offset, std::uint64_t length);

// --- digests ----------------------------------------------------------------------------------

// HMAC-SHA256 digests, keyed with makeImageKey(device type text): kestrix/crypto/hmac.hpp.
using Digest = crypto::Sha256Digest;

// --- header ------------------------------------------------------------------------------------

// Decodes a header text region: NUL bytes removed from both ends, strict UTF-8, one JSON text
// (a byte order mark, a NUL inside the text and nesting deeper than kMaxJsonDepth are refused, as
// a Python host's json module refuses them). Any JSON value results; false with `error` set when
// the region cannot be decoded.
bool parseHeader(std::string_view header_region, Json* header, std::string* error);

// --- verification -----------------------------------------------------------------------------

enum class Verdict { kPass, kParseError, kHeaderHashMismatch, kImageHashMismatch };

// Everything one verification of a tbin file's bytes found, in the order the check finds it.
struct Verification {
  Verdict verdict = Verdict::kParseError;
  // Why the file cannot be decoded (kParseError).
  std::string parse_error;

  // The three length fields, when the file is long enough for all of them.
  bool prefix_ok = false;
  std::uint32_t header_length = 0;
  std::uint32_t image_length = 0;
  std::uint32_t image_start_addr = 0;
  std::uint64_t file_size = 0;
  // The regions as far as the file holds them.
  std::uint64_t header_region_size = 0;
  std::uint64_t image_region_size = 0;

  // The decoded header, whatever JSON value it is.
  std::optional<Json> header;
  bool dev_type_missing = false;
  std::optional<std::string> dev_type_text;
  // The device types the header names, in decimal (see DeviceType::values).
  std::vector<std::string> dev_types;
  // The FPGA version the header declares ("FPGA_VER"), and why its value is not one.
  std::optional<std::string> fpga_version;
  std::string fpga_version_error;

  // Set once the key could be made.
  std::optional<bool> header_digest_ok;
  std::optional<bool> image_digest_ok;
};

// Verifies a whole tbin file held in memory. Never throws for any content; allocates nothing in
// proportion to the length fields (the regions are views into `file`).
Verification verify(std::string_view file);

// The same verification of a tbin file on disk: the prefix and the header region are read, the
// image region is hashed in pieces as it is read, so memory stays small whatever the image size.
// Throws FileError when the file cannot be opened or read.
Verification verifyFile(const std::string& path);
Verification verifyFile(const files::RandomAccessFile& file);

// The same verification of an open file that also keeps the image region: it is read once into
// `image` (cut at the end of the file) and its digest is made over exactly those bytes. An image
// region larger than `max_image` bytes throws FileError before it is read.
Verification verifyFile(const files::RandomAccessFile& file, std::string* image,
                        std::uint64_t max_image);

}  // namespace kestrix::flash::tbin
