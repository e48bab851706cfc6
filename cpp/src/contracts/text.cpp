#include "kestrix/contracts/text.hpp"

#include <cstdint>
#include <cstdio>

#include "kestrix/contracts/errors.hpp"

namespace kestrix {
namespace {

std::string hexByte(unsigned char c) {
  char buf[5];
  std::snprintf(buf, sizeof buf, "0x%02x", c);
  return buf;
}

// Why a sequence is not UTF-8, as Python's decoder says it (DecodeError's reason).
constexpr const char* kInvalidStart = "invalid start byte";
constexpr const char* kEndOfData = "unexpected end of data";
constexpr const char* kInvalidContinuation = "invalid continuation byte";

// Length of the well-formed sequence at bytes[i], or 0 with `end` and `reason` set for the bad
// bytes, worded as Python's decoder words them.
std::size_t sequenceAt(std::string_view bytes, std::size_t i, std::size_t* end,
                       const char** reason) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
  const unsigned char c = b(i);
  if (c < 0x80) return 1;
  std::size_t need;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    need = 1;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 2;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 3;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    *end = i + 1;
    *reason = kInvalidStart;
    return 0;
  }
  for (std::size_t k = 1; k <= need; ++k) {
    if (i + k >= bytes.size()) {
      *end = bytes.size();
      *reason = kEndOfData;
      return 0;
    }
    const unsigned char cc = b(i + k);
    const unsigned char min = k == 1 ? lo : 0x80;
    const unsigned char max = k == 1 ? hi : 0xBF;
    if (cc < min || cc > max) {
      *end = i + k;
      *reason = kInvalidContinuation;
      return 0;
    }
  }
  return need + 1;
}

}  // namespace

DecodeError::DecodeError(std::string bytes, std::size_t start, std::size_t end, std::string reason)
    : ProtocolError("'utf-8' codec can't decode byte " +
                    hexByte(static_cast<unsigned char>(bytes[start])) + " in position " +
                    std::to_string(start) + ": " + reason),
      bytes_(std::move(bytes)),
      start_(start),
      end_(end),
      reason_(std::move(reason)) {}

void requireUtf8(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    std::size_t end = 0;
    const char* reason = nullptr;
    const std::size_t n = sequenceAt(bytes, i, &end, &reason);
    if (n == 0) throw DecodeError(std::string(bytes), i, end, reason);
    i += n;
  }
}

bool isUtf8(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    std::size_t end = 0;
    const char* reason = nullptr;
    const std::size_t n = sequenceAt(bytes, i, &end, &reason);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::optional<Utf8Fault> findUtf8Fault(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    std::size_t end = 0;
    const char* reason = nullptr;
    const std::size_t n = sequenceAt(bytes, i, &end, &reason);
    if (n != 0) {
      i += n;
      continue;
    }
    const std::string first = hexByte(static_cast<unsigned char>(bytes[i]));
    if (reason == kInvalidStart) return Utf8Fault{i, first + " cannot begin a character"};
    if (reason == kEndOfData)
      return Utf8Fault{i, "the text ends inside the character " + first + " begins"};
    return Utf8Fault{end, hexByte(static_cast<unsigned char>(bytes[end])) +
                              " does not continue the character " + first + " begins"};
  }
  return std::nullopt;
}

std::string bytesRepr(std::string_view bytes) {
  // Python picks double quotes only when the bytes hold a single quote and no double quote.
  const bool has_single = bytes.find('\'') != std::string_view::npos;
  const bool has_double = bytes.find('"') != std::string_view::npos;
  const char quote = has_single && !has_double ? '"' : '\'';
  std::string out = "b";
  out += quote;
  for (char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == static_cast<unsigned char>(quote) || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c >= 0x7F) {
      char buf[5];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    } else {
      out += ch;
    }
  }
  out += quote;
  return out;
}

std::string secondsText(double seconds) {
  std::string text = std::to_string(seconds);
  // "10.000000" reads better as "10".
  text.erase(text.find_last_not_of('0') + 1);
  if (!text.empty() && text.back() == '.') text.pop_back();
  return text;
}

std::string_view stripWhitespace(std::string_view text) {
  // The ASCII characters Python counts as white space when it strips text.
  constexpr std::string_view kSpace = " \t\n\v\f\r\x1c\x1d\x1e\x1f";
  const auto first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(kSpace);
  return text.substr(first, last - first + 1);
}

namespace {

std::string escaped(std::string_view text, bool controls) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    const std::size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    const bool control = c < 0x20 || c == 0x7f;
    if (!(controls && control) && i + n <= text.size() && isUtf8(text.substr(i, n))) {
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

std::string escapeNonUtf8(std::string_view text) {
  return escaped(text, false);
}

std::string printableText(std::string_view text) {
  return escaped(text, true);
}

}  // namespace kestrix
