#include "kestrix/flash/image_version.hpp"

#include <stdexcept>

#include "kestrix/contracts/text.hpp"
#include "kestrix/contracts/version.hpp"

namespace kestrix::flash {

ImageVersion imageVersionOf(const Json& header) {
  ImageVersion version;
  if (!header.is_object()) return version;
  const auto found = header.find(kFpgaVersionKey);
  if (found == header.end()) return version;
  const std::string key(kFpgaVersionKey);
  if (!found->is_string()) {
    version.error = key + " in the tbin header is not a text: " + found->dump();
    return version;
  }
  const std::string& text = found->get_ref<const std::string&>();
  try {
    // The canonical form: white space around a version must not reach records or displays.
    version.declared = Version(text).str();
  } catch (const std::invalid_argument&) {
    version.error =
        key + " in the tbin header is not a dotted decimal version: '" + escapeNonUtf8(text) + "'";
  }
  return version;
}

bool sameVersion(std::string_view a, std::string_view b) {
  try {
    return Version(a) == Version(b);
  } catch (const std::invalid_argument&) {
    return a == b;
  }
}

bool olderVersion(std::string_view a, std::string_view b) {
  try {
    return Version(a) < Version(b);
  } catch (const std::invalid_argument&) {
    return false;
  }
}

}  // namespace kestrix::flash
