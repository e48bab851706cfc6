// Fuzzes the tbin verification with whole files, and the header decoding and device type rules
// with the input taken as a header text region. Beyond "no crash, no leak, no undefined
// behaviour" it checks what must hold for any input:
//   - every message is valid UTF-8 (a Python host could not log it otherwise);
//   - a file that passes has a header, a device type text and two matching digests;
//   - a header and image that decode can be packed, and the packed file passes with the same
//     device type text, unless the header's FPGA_VER is not a version: packing refuses that
//     (std::invalid_argument), as every update would refuse the packed file;
//   - a header region over the size limit is refused unparsed;
//   - the header reader (linear time, depth-limited) builds exactly the value nlohmann's own
//     parser builds, and refuses exactly the texts it refuses.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "kestrix/contracts/text.hpp"
#include "kestrix/flash/image_pack.hpp"
#include "kestrix/flash/image_version.hpp"
#include "kestrix/flash/json_reader.hpp"
#include "kestrix/flash/tbin_format.hpp"
#include "require.hpp"

namespace {

namespace tbin = kestrix::flash::tbin;

// Real headers are a few hundred bytes; larger inputs only slow the search down.
constexpr std::size_t kMaxInput = 1 << 20;

// Packs `image` under `header_region` and checks that the result verifies with `dev_type_text`;
// with `version_ok` false, checks that packing refuses the header instead.
void requireRepacks(std::string_view header_region, std::string_view image,
                    const std::string& dev_type_text, bool version_ok) {
  kestrix::flash::PackOptions options;
  options.header_region = std::string(header_region);
  if (!version_ok) {
    bool refused = false;
    try {
      kestrix::flash::packTbin(image, options);
    } catch (const std::invalid_argument&) {
      refused = true;
    }
    REQUIRE(refused);
    return;
  }
  const std::string packed = kestrix::flash::packTbin(image, options);
  const tbin::Verification again = tbin::verify(packed);
  REQUIRE(again.verdict == tbin::Verdict::kPass);
  REQUIRE(again.dev_type_text == dev_type_text);
}

void fuzzFile(std::string_view file) {
  const tbin::Verification v = tbin::verify(file);
  REQUIRE(kestrix::isUtf8(v.parse_error));
  if (v.dev_type_text) REQUIRE(kestrix::isUtf8(*v.dev_type_text));
  if (v.header) {
    const std::string shown =
        v.header->dump(-1, ' ', false, kestrix::Json::error_handler_t::replace);
    REQUIRE(kestrix::isUtf8(shown));
  }
  REQUIRE(v.header_region_size <= file.size() && v.image_region_size <= file.size());
  if (v.verdict == tbin::Verdict::kPass) {
    REQUIRE(v.prefix_ok && v.header && v.dev_type_text);
    REQUIRE(v.header_digest_ok.value_or(false) && v.image_digest_ok.value_or(false));
  }
  if (v.verdict == tbin::Verdict::kParseError) REQUIRE(!v.parse_error.empty());
  if (v.header_region_size > tbin::kMaxHeaderBytes) REQUIRE(!v.header && !v.dev_type_text);
  if (v.dev_type_text) {
    requireRepacks(tbin::region(file, tbin::kHeaderTextOffset, v.header_length),
                   tbin::region(file, v.image_start_addr, v.image_length), *v.dev_type_text,
                   v.fpga_version_error.empty());
  }
}

void fuzzHeader(std::string_view header_region) {
  kestrix::Json header;
  std::string error;
  if (!tbin::parseHeader(header_region, &header, &error)) {
    REQUIRE(!error.empty() && kestrix::isUtf8(error));
    return;
  }
  const tbin::DeviceType device_type = tbin::deviceTypeText(header);
  if (!device_type.ok) {
    REQUIRE(!device_type.error.empty() && kestrix::isUtf8(device_type.error));
    REQUIRE(!device_type.missing || header.is_object());
    return;
  }
  REQUIRE(kestrix::isUtf8(device_type.text));
  requireRepacks(header_region, "image", device_type.text,
                 kestrix::flash::imageVersionOf(header).error.empty());
}

void fuzzJson(std::string_view text) {
  kestrix::Json built;
  std::string error;
  const kestrix::flash::JsonRead read =
      kestrix::flash::readJson(text, tbin::kMaxJsonDepth, &built, &error);
  if (read == kestrix::flash::JsonRead::kTooDeep) {
    REQUIRE(text.size() > static_cast<std::size_t>(tbin::kMaxJsonDepth));
    return;
  }
  const kestrix::Json parsed = kestrix::Json::parse(text, nullptr, /*allow_exceptions=*/false);
  REQUIRE((read == kestrix::flash::JsonRead::kOk) == !parsed.is_discarded());
  if (read == kestrix::flash::JsonRead::kOk) REQUIRE(built == parsed);
  if (read == kestrix::flash::JsonRead::kNotJson) REQUIRE(!error.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxInput) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  fuzzFile(input);
  fuzzHeader(input);
  fuzzJson(input);
  return 0;
}
