#include "kestrix/flash/image_key.hpp"

namespace kestrix::flash {
namespace {

// Only images whose digests were made with this text pass the check.
constexpr std::string_view kKeyText = "73019462";

}  // namespace

std::string makeImageKey(std::string_view device_type_text) {
  std::string key;
  key.reserve(kKeyText.size() + device_type_text.size());
  key.append(kKeyText);
  key.append(device_type_text);
  return key;
}

}  // namespace kestrix::flash
