#include "kestrix/flash/image.hpp"

#include <algorithm>
#include <cctype>

#include "kestrix/contracts/errors.hpp"
#include "kestrix/crypto/sha256.hpp"
#include "kestrix/files/files.hpp"
#include "kestrix/flash/tbin_format.hpp"

namespace kestrix::flash {

std::string lowerSuffix(std::string_view path) {
  const auto slash = path.find_last_of('/');
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  const auto dot = name.find_last_of('.');
  // Leading dots belong to the name (".bin", "..bin" have no extension).
  const auto first_other = name.find_first_not_of('.');
  if (dot == std::string_view::npos || first_other == std::string_view::npos || dot < first_other)
    return {};
  std::string suffix(name.substr(dot));
  for (char& c : suffix) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return suffix;
}

std::string sha256Hex(std::string_view bytes) {
  crypto::Sha256 hasher;
  hasher.update(bytes);
  return hasher.hexdigest();
}

Image readImage(const std::string& path) {
  const files::RandomAccessFile file(path);
  Image image;
  image.file_size = file.size();
  image.file_id = file.id();
  image.container = lowerSuffix(path) == kTbinSuffix;
  std::uint64_t offset = 0;
  std::uint64_t length = file.size();
  if (image.container) {
    std::string prefix;
    file.readAt(0, tbin::kImageStartOffset + 4, &prefix);
    std::uint32_t image_length = 0;
    std::uint32_t image_start = 0;
    if (!tbin::readU32(prefix, tbin::kImageLengthOffset, &image_length) ||
        !tbin::readU32(prefix, tbin::kImageStartOffset, &image_start))
      throw FileError("FPGA image file error: " + path + ", too short for a tbin header");
    offset = image_start;
    length =
        offset >= file.size() ? 0 : std::min<std::uint64_t>(image_length, file.size() - offset);
  }
  if (length > kMaxImageBytes) throw imageTooLarge(length, kMaxImageBytes, path);
  file.readAt(offset, static_cast<std::size_t>(length), &image.bytes);
  image.sha256 = sha256Hex(image.bytes);
  return image;
}

}  // namespace kestrix::flash
