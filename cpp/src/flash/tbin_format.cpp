#include "kestrix/flash/tbin_format.hpp"

#include <algorithm>
#include <utility>

#include "kestrix/contracts/errors.hpp"
#include "kestrix/contracts/text.hpp"
#include "kestrix/files/files.hpp"
#include "kestrix/flash/image_key.hpp"
#include "kestrix/flash/image_limits.hpp"
#include "kestrix/flash/image_version.hpp"
#include "kestrix/flash/json_reader.hpp"

namespace kestrix::flash::tbin {

bool readU32(std::string_view file, std::size_t offset, std::uint32_t* value) {
  if (offset > file.size() || file.size() - offset < 4) return false;
  const auto b = [&](std::size_t k) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(file[offset + k]));
  };
  *value = (b(0) << 24) | (b(1) << 16) | (b(2) << 8) | b(3);
  return true;
}

void appendU32(std::string* out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8)
    out->push_back(static_cast<char>((value >> shift) & 0xFFu));
}

std::string_view region(std::string_view file, std::uint64_t offset, std::uint64_t length) {
  if (offset >= file.size()) return {};
  const std::uint64_t available = file.size() - offset;
  return file.substr(static_cast<std::size_t>(offset),
                     static_cast<std::size_t>(length < available ? length : available));
}

bool parseHeader(std::string_view header_region, Json* header, std::string* error) {
  const auto first = header_region.find_first_not_of('\0');
  const std::string_view text =
      first == std::string_view::npos
          ? std::string_view()
          : header_region.substr(first, header_region.find_last_not_of('\0') - first + 1);
  if (const auto fault = findUtf8Fault(text)) {
    // Counted from the start of the header text region, as a hex dump of it shows.
    *error = "header is not UTF-8 text at byte " + std::to_string(first + fault->offset) + ": " +
             fault->reason;
    return false;
  }
  // The JSON parser would skip a byte order mark and stop at a NUL; the header format allows
  // neither, so both are refused here.
  if (text.substr(0, 3) == "\xEF\xBB\xBF") {
    *error = "header text starts with a UTF-8 byte order mark";
    return false;
  }
  if (const auto nul = text.find('\0'); nul != std::string_view::npos) {
    *error = "header text holds a NUL byte at position " + std::to_string(nul);
    return false;
  }
  std::string parse_error;
  switch (readJson(text, kMaxJsonDepth, header, &parse_error)) {
    case JsonRead::kOk:
      return true;
    case JsonRead::kTooDeep:
      *error = "header JSON is nested too deeply";
      return false;
    case JsonRead::kNotJson:
      break;
  }
  *error = "header is not valid JSON: " + escapeNonUtf8(parse_error);
  return false;
}

namespace {

// The bytes of a tbin held in memory.
class MemorySource {
 public:
  explicit MemorySource(std::string_view file) : file_(file) {}
  std::uint64_t size() const { return file_.size(); }
  // The bytes of [offset, offset + length), cut at the end of the file; valid while `scratch` and
  // the source live.
  std::string_view bytes(std::uint64_t offset, std::uint64_t length, std::string*) const {
    return region(file_, offset, length);
  }
  // The HMAC of [offset, offset + length), cut at the end of the file, and the bytes it covered.
  Digest digest(std::string_view key, std::uint64_t offset, std::uint64_t length,
                std::uint64_t* covered) const {
    const std::string_view part = region(file_, offset, length);
    *covered = part.size();
    return crypto::hmacSha256(key, part);
  }

 private:
  std::string_view file_;
};

// The bytes of a tbin on disk: the prefix and the header region are read, the image region is
// hashed as it streams past in pieces, so a large image is never held whole nor paged in twice.
class FileSource {
 public:
  static constexpr std::size_t kPiece = 1 << 20;

  // With `keep`, the image region is read whole into it (at most `max_keep` bytes, FileError for
  // more) and hashed from there, so the caller holds exactly the bytes the digest covered.
  explicit FileSource(const files::RandomAccessFile& file, std::string* keep = nullptr,
                      std::uint64_t max_keep = 0)
      : file_(file), keep_(keep), max_keep_(max_keep) {}
  std::uint64_t size() const { return file_.size(); }
  std::string_view bytes(std::uint64_t offset, std::uint64_t length, std::string* scratch) const {
    if (offset >= file_.size()) return {};
    const std::uint64_t available = file_.size() - offset;
    file_.readAt(offset, static_cast<std::size_t>(length < available ? length : available),
                 scratch);
    return *scratch;
  }
  Digest digest(std::string_view key, std::uint64_t offset, std::uint64_t length,
                std::uint64_t* covered) const {
    if (keep_ != nullptr) {
      const std::uint64_t available = offset >= file_.size() ? 0 : file_.size() - offset;
      const std::uint64_t held = std::min(length, available);
      if (held > max_keep_) throw imageTooLarge(held, max_keep_, file_.path());
      file_.readAt(offset, static_cast<std::size_t>(held), keep_);
      *covered = keep_->size();
      return crypto::hmacSha256(key, *keep_);
    }
    crypto::Hmac mac(key);
    std::string piece;
    *covered = 0;
    while (*covered < length) {
      const std::uint64_t left = length - *covered;
      file_.readAt(offset + *covered, static_cast<std::size_t>(left < kPiece ? left : kPiece),
                   &piece);
      if (piece.empty()) break;
      mac.update(piece);
      *covered += piece.size();
    }
    return mac.digest();
  }

 private:
  const files::RandomAccessFile& file_;
  std::string* keep_;
  std::uint64_t max_keep_;
};

template <typename Source>
Verification verifySource(const Source& source) {
  Verification v;
  v.file_size = source.size();
  std::string prefix_scratch;
  const std::string_view prefix = source.bytes(0, kHeaderTextOffset, &prefix_scratch);
  const auto field = [&](std::size_t offset, const char* name, std::uint32_t* out) {
    if (readU32(prefix, offset, out)) return true;
    v.parse_error = std::string("file too short for ") + name + " (" + std::to_string(v.file_size) +
                    " bytes, needs " + std::to_string(offset + 4) + ")";
    return false;
  };
  if (!field(kHeaderLengthOffset, "header_length", &v.header_length) ||
      !field(kImageLengthOffset, "image_length", &v.image_length) ||
      !field(kImageStartOffset, "image_start_addr", &v.image_start_addr))
    return v;
  v.prefix_ok = true;
  const std::string_view header_hash = region(prefix, kHeaderHashOffset, kHashSize);
  const std::string_view image_hash = region(prefix, kImageHashOffset, kHashSize);
  const auto held = [&](std::uint64_t offset, std::uint64_t length) {
    return offset >= v.file_size ? 0 : std::min(length, v.file_size - offset);
  };
  v.header_region_size = held(kHeaderTextOffset, v.header_length);
  v.image_region_size = held(v.image_start_addr, v.image_length);
  // Checked before anything of it is read: the header is parsed before any digest is compared,
  // so an unsigned file must not be able to make that costly.
  if (v.header_region_size > kMaxHeaderBytes) {
    v.parse_error = "header text region of " + std::to_string(v.header_region_size) +
                    " bytes exceeds the limit of " + std::to_string(kMaxHeaderBytes) + " bytes";
    return v;
  }
  std::string header_scratch;
  const std::string_view header_bytes =
      source.bytes(kHeaderTextOffset, v.header_length, &header_scratch);

  Json header;
  if (!parseHeader(header_bytes, &header, &v.parse_error)) return v;
  v.header = std::move(header);
  ImageVersion version = imageVersionOf(*v.header);
  v.fpga_version = std::move(version.declared);
  v.fpga_version_error = std::move(version.error);
  DeviceType device_type = deviceTypeText(*v.header);
  v.dev_type_missing = device_type.missing;
  if (!device_type.ok) {
    v.parse_error = std::move(device_type.error);
    return v;
  }
  v.dev_type_text = std::move(device_type.text);
  v.dev_types = std::move(device_type.values);

  const std::string key = makeImageKey(*v.dev_type_text);
  v.header_digest_ok = crypto::digestMatches(header_hash, crypto::hmacSha256(key, header_bytes));
  std::uint64_t covered = 0;
  v.image_digest_ok = crypto::digestMatches(
      image_hash, source.digest(key, v.image_start_addr, v.image_length, &covered));
  v.image_region_size = covered;
  v.verdict = !*v.header_digest_ok  ? Verdict::kHeaderHashMismatch
              : !*v.image_digest_ok ? Verdict::kImageHashMismatch
                                    : Verdict::kPass;
  return v;
}

}  // namespace

Verification verify(std::string_view file) {
  return verifySource(MemorySource(file));
}

Verification verifyFile(const std::string& path) {
  return verifyFile(files::RandomAccessFile(path));
}

Verification verifyFile(const files::RandomAccessFile& file) {
  return verifySource(FileSource(file));
}

Verification verifyFile(const files::RandomAccessFile& file, std::string* image,
                        std::uint64_t max_image) {
  image->clear();
  return verifySource(FileSource(file, image, max_image));
}

}  // namespace kestrix::flash::tbin
