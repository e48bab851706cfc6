// The device type a tbin header names: which key holds it, how its values become integers (as
// Python's int() makes them) and the text that completes the digest key.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kestrix/contracts/json.hpp"

namespace kestrix::flash::tbin {

// The device type a header names, as the text that completes the digest key.
struct DeviceType {
  bool ok = false;
  // Neither key names a device type (or it is null): the check warns before it fails.
  bool missing = false;
  std::string text;  // when ok: "032", "028032", "" for an empty list, ...
  // When ok: each device type named, in decimal ("32", "-5"), in the order of `text`.
  std::vector<std::string> values;
  std::string error;  // when not ok: why no text can be made
};

// "DEV_TYPE" when present with a true value (null, false, 0, 0.0, "", [] and {} are false), else
// "dev_type". A single value is converted to an integer and formatted "03d"; a list is sorted as
// its values stand (numbers, booleans among them, by value; texts by code point; anything else,
// or a mix, cannot be sorted), then each element is converted and formatted and the pieces are
// joined. Conversion to an integer follows Python's int(): integers unchanged (a JSON integer
// beyond the 64-bit range arrives as the nearest double and converts from that value), numbers
// with a fraction truncated toward zero, exactly (1e300 gives all 301 digits), true/false as 1/0,
// a text holding a decimal integer (optional sign, surrounding white space, digits of any script,
// single underscores between digits); null, objects, lists and other texts cannot be converted.
DeviceType deviceTypeText(const Json& header);

// `value` formatted "03d": at least three characters, zero padding after the sign (-5 -> "-05").
std::string formatDeviceType(std::int64_t value);

}  // namespace kestrix::flash::tbin
