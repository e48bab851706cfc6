// The FPGA version an image declares: the tbin header key "FPGA_VER", a dotted decimal text
// ("0.3.0.0"). The header check ignores keys it does not know, so tools that predate the key still
// accept such an image; tools that know it compare it with what a device runs.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "kestrix/contracts/json.hpp"

namespace kestrix::flash {

inline constexpr std::string_view kFpgaVersionKey = "FPGA_VER";

struct ImageVersion {
  // The declared version in canonical form ("0.3.0.0"); none when the header declares none.
  std::optional<std::string> declared;
  // Why the value under the key is not a version ("" when it is, or when there is none).
  std::string error;
};

// The version a decoded header declares. A header that is not a JSON object, or lacks the key,
// declares none; a value that is not a text holding a dotted decimal version is an error.
ImageVersion imageVersionOf(const Json& header);

// Whether two version texts name the same version: compared as versions when both are (so "0.3"
// and "0.3.0" agree), as texts otherwise.
bool sameVersion(std::string_view a, std::string_view b);

// Whether `a` names an older version than `b`, as kestrix::Version orders them; false when either
// is not a dotted decimal version, since what cannot be compared is not known to be older.
bool olderVersion(std::string_view a, std::string_view b);

}  // namespace kestrix::flash
