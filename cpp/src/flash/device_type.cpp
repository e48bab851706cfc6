#include "kestrix/flash/device_type.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "kestrix/contracts/text.hpp"

namespace kestrix::flash::tbin {
namespace {

// ---------------------------------------------------------------------------------------------
// Integers as Python's int() makes them. Results are canonical decimal texts ("-12", "0"), so
// values of any size survive until they are formatted.

__extension__ typedef __int128 Int128;
__extension__ typedef unsigned __int128 UInt128;

std::string decimal(Int128 value) {
  const bool negative = value < 0;
  UInt128 magnitude = negative ? static_cast<UInt128>(0) - static_cast<UInt128>(value)
                               : static_cast<UInt128>(value);
  std::string digits;
  do {
    digits.push_back(static_cast<char>('0' + static_cast<int>(magnitude % 10)));
    magnitude /= 10;
  } while (magnitude != 0);
  if (negative) digits.push_back('-');
  std::reverse(digits.begin(), digits.end());
  return digits;
}

// The exact decimal digits of trunc(value): int(1e300) has 301 digits, all of them the double's.
bool truncatedDecimal(double value, std::string* out, std::string* error) {
  if (std::isnan(value)) {
    *error = "cannot convert NaN to an integer";
    return false;
  }
  if (std::isinf(value)) {
    *error = "cannot convert infinity to an integer";
    return false;
  }
  double t = std::fabs(std::trunc(value));
  const bool negative = value < 0 && t != 0;
  constexpr double kTwo63 = 9223372036854775808.0;
  if (t < kTwo63) {
    *out = decimal(negative ? -static_cast<Int128>(t) : static_cast<Int128>(t));
    return true;
  }
  // t = mantissa * 2^shift with a 53-bit mantissa; shift >= 11 here.
  int exponent = 0;
  const double fraction = std::frexp(t, &exponent);
  std::uint64_t mantissa = static_cast<std::uint64_t>(std::ldexp(fraction, 53));
  int shift = exponent - 53;
  constexpr std::uint32_t kBase = 1000000000;  // limbs of nine decimal digits, least first
  std::vector<std::uint32_t> limbs;
  while (mantissa != 0) {
    limbs.push_back(static_cast<std::uint32_t>(mantissa % kBase));
    mantissa /= kBase;
  }
  while (shift > 0) {
    const int step = std::min(shift, 29);  // limb * 2^29 + carry stays below 2^64
    std::uint64_t carry = 0;
    for (std::uint32_t& limb : limbs) {
      const std::uint64_t v = (static_cast<std::uint64_t>(limb) << step) + carry;
      limb = static_cast<std::uint32_t>(v % kBase);
      carry = v / kBase;
    }
    while (carry != 0) {
      limbs.push_back(static_cast<std::uint32_t>(carry % kBase));
      carry /= kBase;
    }
    shift -= step;
  }
  std::string text = negative ? "-" : "";
  text += std::to_string(limbs.back());
  for (auto it = limbs.rbegin() + 1; it != limbs.rend(); ++it) {
    const std::string part = std::to_string(*it);
    text.append(9 - part.size(), '0');
    text += part;
  }
  *out = std::move(text);
  return true;
}

// One code point of well-formed UTF-8 (JSON strings are) at text[*i]; advances *i.
char32_t nextCodePoint(std::string_view text, std::size_t* i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char c = byte(*i);
  std::size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
  if (*i + n > text.size()) n = text.size() - *i;  // cannot happen for checked UTF-8
  char32_t cp = n == 1 ? c : n == 2 ? (c & 0x1F) : n == 3 ? (c & 0x0F) : (c & 0x07);
  for (std::size_t k = 1; k < n; ++k) cp = (cp << 6) | (byte(*i + k) & 0x3F);
  *i += n;
  return cp;
}

// White space beyond ASCII that int() accepts around the digits (str.isspace()).
bool isUnicodeSpace(char32_t cp) {
  return cp == 0x85 || cp == 0xA0 || cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) ||
         cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

// The first code point of each run of ten decimal digits (Unicode 13, category Nd).
constexpr char32_t kDigitZeros[] = {
    0x0660,  0x06F0,  0x07C0,  0x0966,  0x09E6,  0x0A66,  0x0AE6,  0x0B66,  0x0BE6,  0x0C66,
    0x0CE6,  0x0D66,  0x0DE6,  0x0E50,  0x0ED0,  0x0F20,  0x1040,  0x1090,  0x17E0,  0x1810,
    0x1946,  0x19D0,  0x1A80,  0x1A90,  0x1B50,  0x1BB0,  0x1C40,  0x1C50,  0xA620,  0xA8D0,
    0xA900,  0xA9D0,  0xA9F0,  0xAA50,  0xABF0,  0xFF10,  0x104A0, 0x10D30, 0x11066, 0x110F0,
    0x11136, 0x111D0, 0x112F0, 0x11450, 0x114D0, 0x11650, 0x116C0, 0x11730, 0x118E0, 0x11950,
    0x11C50, 0x11D50, 0x11DA0, 0x16A60, 0x16B50, 0x1D7CE, 0x1D7D8, 0x1D7E2, 0x1D7EC, 0x1D7F6,
    0x1E140, 0x1E2F0, 0x1E950, 0x1FBF0};

int unicodeDigit(char32_t cp) {
  const auto it = std::upper_bound(std::begin(kDigitZeros), std::end(kDigitZeros), cp);
  if (it == std::begin(kDigitZeros)) return -1;
  const char32_t zero = *(it - 1);
  return cp - zero < 10 ? static_cast<int>(cp - zero) : -1;
}

// A text for a message: JSON-quoted (control characters escaped), at most 64 code points.
std::string quoted(std::string_view text) {
  constexpr std::size_t kMaxShown = 64;
  std::size_t end = 0;
  for (std::size_t shown = 0; end < text.size() && shown < kMaxShown; ++shown)
    nextCodePoint(text, &end);
  std::string out =
      Json(std::string(text.substr(0, end))).dump(-1, ' ', false, Json::error_handler_t::replace);
  if (end < text.size()) out += "...";
  return out;
}

// int(text): non-ASCII white space and digits first become their ASCII equivalents (any other
// non-ASCII character makes the text invalid), then the ASCII text must be: white space (" \t\n\v\f
// \r"), an optional sign, digits with single underscores between them, white space.
bool textToDecimal(std::string_view text, std::string* out, std::string* error) {
  std::string ascii;
  ascii.reserve(text.size());
  bool valid = true;
  for (std::size_t i = 0; i < text.size() && valid;) {
    const char32_t cp = nextCodePoint(text, &i);
    if (cp < 0x7F) {
      ascii.push_back(static_cast<char>(cp));
    } else if (isUnicodeSpace(cp)) {
      ascii.push_back(' ');
    } else if (const int d = unicodeDigit(cp); d >= 0) {
      ascii.push_back(static_cast<char>('0' + d));
    } else {
      valid = false;
    }
  }
  const auto space = [](char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
  };
  const auto digit = [](char c) { return c >= '0' && c <= '9'; };
  std::size_t p = 0;
  const std::size_t n = ascii.size();
  while (valid && p < n && space(ascii[p])) ++p;
  bool negative = false;
  if (valid && p < n && (ascii[p] == '+' || ascii[p] == '-')) negative = ascii[p++] == '-';
  std::string digits;
  if (!valid || p >= n || !digit(ascii[p])) valid = false;
  while (valid && p < n) {
    if (digit(ascii[p])) {
      digits.push_back(ascii[p++]);
    } else if (ascii[p] == '_' && p + 1 < n && digit(ascii[p + 1])) {
      ++p;
    } else {
      break;
    }
  }
  while (valid && p < n && space(ascii[p])) ++p;
  if (!valid || p != n) {
    *error = "device type " + quoted(text) + " is not a decimal integer";
    return false;
  }
  const auto first = digits.find_first_not_of('0');
  if (first == std::string::npos) {
    *out = "0";
  } else {
    *out = (negative ? "-" : "") + digits.substr(first);
  }
  return true;
}

std::string kindName(const Json& value) {
  switch (value.type()) {
    case Json::value_t::null:
      return "null";
    case Json::value_t::object:
      return "an object";
    case Json::value_t::array:
      return "a list";
    case Json::value_t::string:
      return "a text";
    case Json::value_t::boolean:
      return "a boolean";
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
    case Json::value_t::number_float:
      return "a number";
    default:
      return "an unsupported value";
  }
}

bool convert(const Json& value, std::string* out, std::string* error) {
  switch (value.type()) {
    case Json::value_t::boolean:
      *out = value.get<bool>() ? "1" : "0";
      return true;
    case Json::value_t::number_integer:
      *out = decimal(value.get<std::int64_t>());
      return true;
    case Json::value_t::number_unsigned:
      *out = decimal(value.get<std::uint64_t>());
      return true;
    case Json::value_t::number_float:
      return truncatedDecimal(value.get<double>(), out, error);
    case Json::value_t::string:
      return textToDecimal(value.get_ref<const std::string&>(), out, error);
    default:
      *error = "device type " + kindName(value) + " cannot be converted to an integer";
      return false;
  }
}

// Canonical decimal text formatted "03d".
std::string pad3(const std::string& decimal_text) {
  const bool negative = !decimal_text.empty() && decimal_text[0] == '-';
  const std::size_t digits = decimal_text.size() - (negative ? 1 : 0);
  const std::size_t width = negative ? 2 : 3;
  if (digits >= width) return decimal_text;
  std::string out = negative ? "-" : "";
  out.append(width - digits, '0');
  out.append(decimal_text, negative ? 1 : 0, std::string::npos);
  return out;
}

bool isNumber(const Json& v) {
  return v.is_number() || v.is_boolean();
}

// Exact order of two numbers (booleans as 0 and 1), as Python compares int and float.
int compareNumbers(const Json& a, const Json& b) {
  const auto integral = [](const Json& v) -> Int128 {
    if (v.is_boolean()) return v.get<bool>() ? 1 : 0;
    if (v.is_number_unsigned()) return v.get<std::uint64_t>();
    return v.get<std::int64_t>();
  };
  const auto sign = [](auto x) { return (x > 0) - (x < 0); };
  // An integer against a double: compare with the truncated double, then with its fraction.
  const auto intVsFloat = [&](Int128 i, double d) -> int {
    if (std::isnan(d)) return 0;  // JSON has no NaN; keeps the cast below defined
    constexpr double kTwo127 = 170141183460469231731687303715884105728.0;
    if (d >= kTwo127) return -1;
    if (d < -kTwo127) return 1;
    const double t = std::trunc(d);
    const Int128 ti = static_cast<Int128>(t);
    if (i != ti) return i < ti ? -1 : 1;
    return -sign(d - t);
  };
  const bool af = a.is_number_float();
  const bool bf = b.is_number_float();
  if (af && bf) return sign(a.get<double>() - b.get<double>());
  if (!af && !bf) {
    const Int128 x = integral(a);
    const Int128 y = integral(b);
    return x < y ? -1 : x > y ? 1 : 0;
  }
  if (af) return -intVsFloat(integral(b), a.get<double>());
  return intVsFloat(integral(a), b.get<double>());
}

bool truthy(const Json& v) {
  switch (v.type()) {
    case Json::value_t::null:
      return false;
    case Json::value_t::boolean:
      return v.get<bool>();
    case Json::value_t::number_integer:
      return v.get<std::int64_t>() != 0;
    case Json::value_t::number_unsigned:
      return v.get<std::uint64_t>() != 0;
    case Json::value_t::number_float:
      return v.get<double>() != 0.0;
    case Json::value_t::string:
      return !v.get_ref<const std::string&>().empty();
    case Json::value_t::array:
    case Json::value_t::object:
      return !v.empty();
    default:
      return true;
  }
}

// Sorts a copy of the list as Python's list.sort() would, or says why it cannot. Two elements of
// different kinds (a number and a text, a list and anything else) and null or objects cannot be
// ordered; nested lists are left as they are, since no list can be converted afterwards anyway.
bool sortList(const Json& list, std::vector<const Json*>* sorted, std::string* error) {
  sorted->clear();
  for (const Json& element : list) sorted->push_back(&element);
  if (sorted->size() < 2) return true;
  bool numbers = true;
  bool texts = true;
  bool lists = true;
  for (const Json* e : *sorted) {
    numbers = numbers && isNumber(*e);
    texts = texts && e->is_string();
    lists = lists && e->is_array();
  }
  if (numbers) {
    std::stable_sort(sorted->begin(), sorted->end(),
                     [](const Json* a, const Json* b) { return compareNumbers(*a, *b) < 0; });
    return true;
  }
  if (texts) {
    // UTF-8 byte order is code point order.
    std::stable_sort(sorted->begin(), sorted->end(), [](const Json* a, const Json* b) {
      return a->get_ref<const std::string&>() < b->get_ref<const std::string&>();
    });
    return true;
  }
  if (lists) return true;
  const auto odd = std::find_if(sorted->begin(), sorted->end(),
                                [](const Json* e) { return e->is_null() || e->is_object(); });
  if (odd != sorted->end()) {
    *error = "device type list cannot be sorted: it holds " + kindName(**odd);
  } else {
    *error = "device type list cannot be sorted: it mixes numbers, texts and lists";
  }
  return false;
}

}  // namespace

DeviceType deviceTypeText(const Json& header) {
  DeviceType out;
  if (!header.is_object()) {
    out.error = "header JSON is " + kindName(header) + ", not an object";
    return out;
  }
  const Json* value = nullptr;
  if (const auto it = header.find("DEV_TYPE"); it != header.end() && truthy(*it)) {
    value = &*it;
  } else if (const auto lower = header.find("dev_type"); lower != header.end()) {
    value = &*lower;
  }
  if (value == nullptr || value->is_null()) {
    out.missing = true;
    out.error = "header names no device type (\"DEV_TYPE\" or \"dev_type\")";
    return out;
  }
  std::string piece;
  if (!value->is_array()) {
    if (!convert(*value, &piece, &out.error)) return out;
    out.text = pad3(piece);
    out.values.push_back(std::move(piece));
    out.ok = true;
    return out;
  }
  std::vector<const Json*> sorted;
  if (!sortList(*value, &sorted, &out.error)) return out;
  for (const Json* element : sorted) {
    if (!convert(*element, &piece, &out.error)) return out;
    out.text += pad3(piece);
    out.values.push_back(std::move(piece));
  }
  out.ok = true;
  return out;
}

std::string formatDeviceType(std::int64_t value) {
  return pad3(decimal(value));
}

}  // namespace kestrix::flash::tbin
