#include "kestrix/flash/tbin_format.hpp"

#include "kestrix/flash/image_path.hpp"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <algorithm>
#include <cmath>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

#include "kestrix/contracts/errors.hpp"
#include "kestrix/contracts/text.hpp"
#include "kestrix/flash/image_key.hpp"
#include "kestrix/flash/json_reader.hpp"

namespace kestrix::flash::tbin {
namespace {

// ---------------------------------------------------------------------------------------------
// HMAC-SHA256

struct MacFree {
  void operator()(EVP_MAC* mac) const { EVP_MAC_free(mac); }
};

// Fetched once: the algorithm lookup costs more than hashing a small header.
EVP_MAC* hmacAlgorithm() {
  static const std::unique_ptr<EVP_MAC, MacFree> mac(EVP_MAC_fetch(nullptr, "HMAC", nullptr));
  if (!mac) throw std::runtime_error("HMAC-SHA256: OpenSSL has no HMAC");
  return mac.get();
}

EVP_MAC_CTX* macCtx(void* p) {
  return static_cast<EVP_MAC_CTX*>(p);
}

void check(int ok, const char* what) {
  if (ok != 1) throw std::runtime_error(std::string("HMAC-SHA256: ") + what + " failed");
}

// EVP wants a readable pointer even for empty input.
const unsigned char* bytesOf(std::string_view s) {
  static const unsigned char kNone = 0;
  return s.empty() ? &kNone : reinterpret_cast<const unsigned char*>(s.data());
}

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

// `text` with every byte that is not part of well-formed UTF-8 written as \xNN, so that a message
// quoting raw input is always valid text for the log.
std::string printable(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    const std::size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    if (i + n <= text.size() && isUtf8(text.substr(i, n))) {
      out.append(text.substr(i, n));
      i += n;
    } else {
      static constexpr char kHex[] = "0123456789abcdef";
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
      ++i;
    }
  }
  return out;
}

}  // namespace

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

void Hmac::CtxFree::operator()(void* p) const {
  EVP_MAC_CTX_free(macCtx(p));
}

Hmac::Hmac(std::string_view key) : ctx_(EVP_MAC_CTX_new(hmacAlgorithm())) {
  if (!ctx_) throw std::bad_alloc();
  char digest_name[] = "SHA256";
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest_name, 0),
      OSSL_PARAM_construct_end()};
  check(EVP_MAC_init(macCtx(ctx_.get()), bytesOf(key), key.size(), params), "init");
}

void Hmac::update(std::string_view bytes) {
  if (bytes.empty()) return;
  check(EVP_MAC_update(macCtx(ctx_.get()), bytesOf(bytes), bytes.size()), "update");
}

Digest Hmac::digest() {
  Digest out{};
  std::size_t size = 0;
  check(EVP_MAC_final(macCtx(ctx_.get()), out.data(), &size, out.size()), "final");
  if (size != out.size()) throw std::runtime_error("HMAC-SHA256: unexpected digest size");
  return out;
}

Digest hmacSha256(std::string_view key, std::string_view message) {
  Hmac mac(key);
  mac.update(message);
  return mac.digest();
}

bool digestMatches(std::string_view stored, const Digest& computed) {
  return stored.size() == computed.size() &&
         CRYPTO_memcmp(stored.data(), computed.data(), computed.size()) == 0;
}

bool parseHeader(std::string_view header_region, Json* header, std::string* error) {
  const auto first = header_region.find_first_not_of('\0');
  const std::string_view text =
      first == std::string_view::npos
          ? std::string_view()
          : header_region.substr(first, header_region.find_last_not_of('\0') - first + 1);
  try {
    requireUtf8(text);
  } catch (const DecodeError& e) {
    *error = e.what();
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
  *error = "header is not valid JSON: " + printable(parse_error);
  return false;
}

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
    return hmacSha256(key, part);
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
      if (held > max_keep_) throw files::imageTooLarge(held, max_keep_, file_.path());
      file_.readAt(offset, static_cast<std::size_t>(held), keep_);
      *covered = keep_->size();
      return hmacSha256(key, *keep_);
    }
    Hmac mac(key);
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
  DeviceType device_type = deviceTypeText(*v.header);
  v.dev_type_missing = device_type.missing;
  if (!device_type.ok) {
    v.parse_error = std::move(device_type.error);
    return v;
  }
  v.dev_type_text = std::move(device_type.text);
  v.dev_types = std::move(device_type.values);

  const std::string key = makeImageKey(*v.dev_type_text);
  v.header_digest_ok = digestMatches(header_hash, hmacSha256(key, header_bytes));
  std::uint64_t covered = 0;
  v.image_digest_ok =
      digestMatches(image_hash, source.digest(key, v.image_start_addr, v.image_length, &covered));
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
  const files::RandomAccessFile file(path);
  return verifySource(FileSource(file));
}

Verification verifyFile(const files::RandomAccessFile& file, std::string* image,
                        std::uint64_t max_image) {
  image->clear();
  return verifySource(FileSource(file, image, max_image));
}

}  // namespace kestrix::flash::tbin
