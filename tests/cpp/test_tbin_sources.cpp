// The file check streams the image region from disk; it must reach exactly the verdict the
// in-memory verification reaches on the same bytes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kestrix/flash/image_pack.hpp"
#include "kestrix/flash/tbin_format.hpp"
#include "temp_dir.hpp"

namespace kestrix::flash::tbin {
namespace {

std::vector<std::string> samples() {
  std::string image(3 * (1 << 20) + 7, '\0');  // spans several streamed pieces
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 31 + (i >> 9));
  const std::string packed = packTbin(image);
  std::vector<std::string> out = {packed, packed.substr(0, packed.size() - 1), packed.substr(0, 50),
                                  packed.substr(0, 8), ""};
  std::string tampered = packed;
  tampered[tampered.size() / 2] ^= 0x40;
  out.push_back(tampered);
  std::string header_tampered = packed;
  header_tampered[kHeaderTextOffset + 2] ^= 0x01;
  out.push_back(header_tampered);
  PackOptions far;
  far.image_start = 5000;
  out.push_back(packTbin("short image", far));
  std::string past_end = packTbin("abc");
  past_end[kImageLengthOffset] = '\x7f';  // image_length far beyond the file
  out.push_back(past_end);
  return out;
}

TEST(TbinSources, FileAndMemoryVerificationAgree) {
  const kestrix::testing::TempDir dir;
  for (const std::string& bytes : samples()) {
    const std::string path = dir.write("sample.tbin", bytes);
    const Verification a = verify(bytes);
    const Verification b = verifyFile(path);
    EXPECT_EQ(a.verdict, b.verdict) << bytes.size();
    EXPECT_EQ(a.parse_error, b.parse_error) << bytes.size();
    EXPECT_EQ(a.file_size, b.file_size);
    EXPECT_EQ(a.header_region_size, b.header_region_size);
    EXPECT_EQ(a.image_region_size, b.image_region_size) << bytes.size();
    EXPECT_EQ(a.header_digest_ok, b.header_digest_ok);
    EXPECT_EQ(a.image_digest_ok, b.image_digest_ok);
    EXPECT_EQ(a.dev_type_text, b.dev_type_text);
  }
}

}  // namespace
}  // namespace kestrix::flash::tbin
