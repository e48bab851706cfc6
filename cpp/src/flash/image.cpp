#include "kestrix/flash/image.hpp"

#include <algorithm>

#include "kestrix/contracts/errors.hpp"
#include "kestrix/flash/image_path.hpp"
#include "kestrix/flash/tbin_format.hpp"

namespace kestrix::flash {

Image readImage(const std::string& path) {
  const files::RandomAccessFile file(path);
  Image image;
  image.file_size = file.size();
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
  if (length > kMaxImageBytes) throw files::imageTooLarge(length, kMaxImageBytes, path);
  file.readAt(offset, static_cast<std::size_t>(length), &image.bytes);
  return image;
}

}  // namespace kestrix::flash
