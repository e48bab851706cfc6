#include "kestrix/flash/signature.hpp"

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

#include "kestrix/contracts/errors.hpp"
#include "kestrix/contracts/json.hpp"
#include "kestrix/contracts/text.hpp"
#include "kestrix/contracts/version.hpp"
#include "kestrix/crypto/sha256.hpp"
#include "kestrix/files/files.hpp"
#include "kestrix/flash/image_check.hpp"

namespace kestrix::flash {
namespace {

enum Field : std::size_t {
  kFormat,
  kAlgorithm,
  kKeyId,
  kImageSize,
  kImageSha256,
  kFpgaVersion,
  kDeviceTypes,
  kSignedAt,
  kSignature,
  kFieldCount,
};
static_assert(kFieldCount == kSignatureKeys.size());

constexpr std::string_view kNone = "-";
constexpr std::string_view kSeparator = ": ";
// How much of a refused value a message quotes.
constexpr std::size_t kMaxShown = 40;

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

bool isLowerHex(std::string_view text, std::size_t length) {
  if (text.size() != length) return false;
  for (const char c : text)
    if (!isDigit(c) && !(c >= 'a' && c <= 'f')) return false;
  return true;
}

// Decimal digits without leading zeros ("0" itself is fine).
bool isCanonicalNatural(std::string_view text) {
  if (text.empty() || (text.size() > 1 && text[0] == '0')) return false;
  for (const char c : text)
    if (!isDigit(c)) return false;
  return true;
}

// A canonical decimal integer: an optional minus sign (never before 0), no leading zeros.
bool isCanonicalInteger(std::string_view text) {
  if (!text.empty() && text[0] == '-') {
    text.remove_prefix(1);
    if (text == "0") return false;
  }
  return isCanonicalNatural(text);
}

bool parseNatural(std::string_view text, std::uint64_t* value) {
  if (!isCanonicalNatural(text)) return false;
  std::uint64_t v = 0;
  for (const char c : text) {
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (v > (UINT64_MAX - digit) / 10) return false;
    v = v * 10 + digit;
  }
  *value = v;
  return true;
}

bool isCanonicalVersion(std::string_view text) {
  try {
    return Version(text).str() == text;
  } catch (const std::invalid_argument&) {
    return false;
  }
}

int daysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

// "YYYY-MM-DDTHH:MM:SSZ", a real date and time of day (no leap second: gmtime never writes one).
bool isUtcTimestamp(std::string_view text) {
  static constexpr std::string_view kShape = "dddd-dd-ddTdd:dd:ddZ";
  if (text.size() != kShape.size()) return false;
  for (std::size_t i = 0; i < kShape.size(); ++i) {
    if (kShape[i] == 'd' ? !isDigit(text[i]) : text[i] != kShape[i]) return false;
  }
  const auto number = [&](std::size_t at, std::size_t digits) {
    int value = 0;
    for (std::size_t i = at; i < at + digits; ++i) value = value * 10 + (text[i] - '0');
    return value;
  };
  const int year = number(0, 4);
  const int month = number(5, 2);
  const int day = number(8, 2);
  return month >= 1 && month <= 12 && day >= 1 && day <= daysInMonth(year, month) &&
         number(11, 2) <= 23 && number(14, 2) <= 59 && number(17, 2) <= 59;
}

// The start of `text`, JSON-quoted (control characters escaped), cut at a character boundary.
// `text` is UTF-8.
std::string shown(std::string_view text) {
  std::size_t end = text.size();
  bool cut = false;
  if (end > kMaxShown) {
    end = kMaxShown;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    cut = true;
  }
  std::string out =
      Json(std::string(text.substr(0, end))).dump(-1, ' ', false, Json::error_handler_t::replace);
  if (cut) out += "...";
  return out;
}

std::string joined(const std::vector<std::string>& values) {
  std::string out;
  for (const std::string& v : values) {
    if (!out.empty()) out += ',';
    out += v;
  }
  return out;
}

bool parseDeviceTypes(std::string_view text, std::vector<std::string>* types) {
  types->clear();
  for (;;) {
    const std::size_t comma = text.find(',');
    const std::string_view piece = text.substr(0, comma);
    if (!isCanonicalInteger(piece)) return false;
    types->emplace_back(piece);
    if (comma == std::string_view::npos) return true;
    text.remove_prefix(comma + 1);
  }
}

// Why `value` cannot stand in line `field` ("" when it can). Fills the document's field.
std::string readField(Field field, std::string_view value, SignatureDocument* doc) {
  switch (field) {
    case kFormat:
      if (value == kSignatureFormatVersion) return {};
      if (isCanonicalNatural(value) && value.size() <= kMaxShown)
        return "unsupported signature format version " + std::string(value);
      return "unsupported signature format version " + shown(value);
    case kAlgorithm:
      if (value == kSignatureAlgorithm) return {};
      return "unsupported signature algorithm " + shown(value);
    case kKeyId:
      if (!isLowerHex(value, crypto::kKeyIdLength))
        return "key-id is not 64 lower-case hexadecimal digits: " + shown(value);
      doc->key_id = value;
      return {};
    case kImageSize:
      if (!parseNatural(value, &doc->image_size))
        return "image-size is not a decimal number of bytes without leading zeros: " + shown(value);
      return {};
    case kImageSha256:
      if (!isLowerHex(value, 2 * crypto::kSha256Size))
        return "image-sha256 is not 64 lower-case hexadecimal digits: " + shown(value);
      doc->image_sha256 = value;
      return {};
    case kFpgaVersion:
      if (value == kNone) {
        doc->fpga_version.reset();
      } else if (isCanonicalVersion(value)) {
        doc->fpga_version = std::string(value);
      } else {
        return "fpga-version is neither a dotted version in canonical form nor \"-\": " +
               shown(value);
      }
      return {};
    case kDeviceTypes:
      if (value == kNone) {
        doc->device_types.reset();
        return {};
      }
      doc->device_types.emplace();
      if (!parseDeviceTypes(value, &*doc->device_types))
        return "device-types is neither decimal device types separated by commas nor \"-\": " +
               shown(value);
      return {};
    case kSignedAt:
      if (!isUtcTimestamp(value))
        return "signed-at is not a UTC time such as 2026-01-31T12:00:00Z: " + shown(value);
      doc->signed_at = value;
      return {};
    case kSignature: {
      if (!isLowerHex(value, 2 * crypto::kEd25519SignatureSize))
        return "signature is not 128 lower-case hexadecimal digits: " + shown(value);
      const auto nibble = [](char c) { return isDigit(c) ? c - '0' : c - 'a' + 10; };
      for (std::size_t i = 0; i < doc->signature.size(); ++i)
        doc->signature[i] =
            static_cast<unsigned char>(nibble(value[2 * i]) << 4 | nibble(value[2 * i + 1]));
      return {};
    }
    case kFieldCount:
      break;
  }
  return "no such field";
}

// The value each line of `doc` holds, checked by the parser's rules.
std::array<std::string, kFieldCount> fieldValues(const SignatureDocument& doc) {
  std::array<std::string, kFieldCount> values = {
      std::string(kSignatureFormatVersion),
      std::string(kSignatureAlgorithm),
      doc.key_id,
      std::to_string(doc.image_size),
      doc.image_sha256,
      doc.fpga_version ? *doc.fpga_version : std::string(kNone),
      doc.device_types ? joined(*doc.device_types) : std::string(kNone),
      doc.signed_at,
      crypto::toHex(doc.signature.data(), doc.signature.size())};
  SignatureDocument check;
  for (std::size_t i = 0; i < kFieldCount; ++i) {
    const std::string error = readField(static_cast<Field>(i), values[i], &check);
    if (!error.empty()) throw std::invalid_argument("cannot sign: " + error);
  }
  // A version "-", or a device type "1,2", would read back as something else.
  if (check != doc)
    throw std::invalid_argument("cannot sign: a field would not read back as it is");
  return values;
}

std::string lines(const std::array<std::string, kFieldCount>& values, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) {
    out += kSignatureKeys[i];
    out += kSeparator;
    out += values[i];
    out += '\n';
  }
  return out;
}

// The whole text, refused when it would not fit a signature file.
std::string checkedText(const std::array<std::string, kFieldCount>& values) {
  std::string text = lines(values, kFieldCount);
  if (text.size() > kMaxSignatureBytes)
    throw std::invalid_argument("cannot sign: the signature would be larger than " +
                                std::to_string(kMaxSignatureBytes) + " bytes");
  return text;
}

std::string messageOf(const std::array<std::string, kFieldCount>& values) {
  std::string message(kSignatureDomain);
  message += '\0';
  message += lines(values, kSignature);
  return message;
}

// The field a key names, or kFieldCount.
Field fieldOf(std::string_view key) {
  for (std::size_t i = 0; i < kFieldCount; ++i)
    if (kSignatureKeys[i] == key) return static_cast<Field>(i);
  return kFieldCount;
}

std::string quotedKey(Field field) {
  return "\"" + std::string(kSignatureKeys[field]) + "\"";
}

}  // namespace

bool operator==(const SignatureDocument& a, const SignatureDocument& b) {
  return a.key_id == b.key_id && a.image_size == b.image_size && a.image_sha256 == b.image_sha256 &&
         a.fpga_version == b.fpga_version && a.device_types == b.device_types &&
         a.signed_at == b.signed_at && a.signature == b.signature;
}

std::string signaturePath(const std::string& image_path) {
  return image_path + std::string(kSignatureSuffix);
}

std::string utcTimestamp(std::time_t time) {
  std::tm utc{};
  if (::gmtime_r(&time, &utc) == nullptr)
    throw std::invalid_argument("time out of range: " + std::to_string(time));
  char text[32];
  if (std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc) == 0 || !isUtcTimestamp(text))
    throw std::invalid_argument("time out of range: " + std::to_string(time));
  return text;
}

std::string formatSignature(const SignatureDocument& doc) {
  return checkedText(fieldValues(doc));
}

std::string signedMessage(const SignatureDocument& doc) {
  const std::array<std::string, kFieldCount> values = fieldValues(doc);
  checkedText(values);
  return messageOf(values);
}

bool parseSignature(std::string_view text, SignatureDocument* doc, std::string* error) {
  const auto refuse = [&](std::string reason) {
    *error = std::move(reason);
    return false;
  };
  if (text.size() > kMaxSignatureBytes)
    return refuse("larger than " + std::to_string(kMaxSignatureBytes) + " bytes");
  if (!isUtf8(text)) return refuse("not UTF-8 text");
  if (const std::size_t cr = text.find('\r'); cr != std::string_view::npos) {
    const std::size_t line =
        1 + static_cast<std::size_t>(std::count(text.begin(), text.begin() + cr, '\n'));
    return refuse("carriage return in line " + std::to_string(line) +
                  " (lines end in a line feed alone)");
  }
  if (text.empty()) return refuse("empty");
  if (text.back() != '\n') return refuse("the last line does not end in a line feed");

  // The keys present anywhere, to tell a missing line from one out of order.
  std::array<bool, kFieldCount> present{};
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find('\n', at);
    const std::string_view line = text.substr(at, end - at);
    const Field field = fieldOf(line.substr(0, line.find(kSeparator)));
    if (field != kFieldCount) present[field] = true;
    at = end + 1;
  }

  SignatureDocument parsed;
  std::size_t index = 0;
  for (std::size_t at = 0; at < text.size(); ++index) {
    const std::size_t end = text.find('\n', at);
    const std::string_view line = text.substr(at, end - at);
    at = end + 1;
    const std::string number = std::to_string(index + 1);
    if (index >= kFieldCount)
      return refuse("extra line " + number + " after the signature: " + shown(line));
    const std::size_t separator = line.find(kSeparator);
    if (separator == std::string_view::npos)
      return refuse("line " + number + " is not \"key: value\": " + shown(line));
    const std::string_view key = line.substr(0, separator);
    const Field expected = static_cast<Field>(index);
    const Field field = fieldOf(key);
    if (field == kFieldCount) return refuse("unknown key " + shown(key) + " in line " + number);
    if (field < expected) return refuse("key " + quotedKey(field) + " repeated in line " + number);
    if (field > expected) {
      if (!present[expected]) return refuse("missing key " + quotedKey(expected));
      return refuse("key " + quotedKey(field) + " in line " + number +
                    " is out of order: " + quotedKey(expected) + " comes first");
    }
    std::string reason = readField(field, line.substr(separator + kSeparator.size()), &parsed);
    if (!reason.empty()) return refuse(std::move(reason));
  }
  if (index < kFieldCount) return refuse("missing key " + quotedKey(static_cast<Field>(index)));
  *doc = std::move(parsed);
  return true;
}

SignatureDocument signImage(const Image& image, const crypto::Ed25519PrivateKey& key,
                            const std::string& signed_at) {
  SignatureDocument doc;
  doc.key_id = key.publicKey().keyId();
  doc.image_size = image.bytes.size();
  crypto::Sha256 sha;
  sha.update(image.bytes);
  doc.image_sha256 = sha.hexdigest();
  doc.fpga_version = image.fpga_version;
  if (image.container) {
    // Such an image goes into no device, and "-" is a raw image's.
    if (image.device_types.empty())
      throw std::invalid_argument("cannot sign: the tbin header names no device type");
    doc.device_types = image.device_types;
  }
  doc.signed_at = signed_at;
  doc.signature = key.sign(signedMessage(doc));
  return doc;
}

SignatureDocument signImageFile(const std::string& image_path, const std::string& key_path) {
  const crypto::Ed25519PrivateKey key = crypto::Ed25519PrivateKey::load(key_path);
  const Image image = readCheckedImage(image_path);
  SignatureDocument doc = signImage(image, key, utcTimestamp(std::time(nullptr)));
  files::ReplacingWriter out(signaturePath(image_path));
  out.write(formatSignature(doc));
  out.commit();
  return doc;
}

}  // namespace kestrix::flash
