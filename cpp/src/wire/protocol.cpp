#include "kestrix/wire/protocol.hpp"

#include <charconv>
#include <stdexcept>

#include "kestrix/contracts/text.hpp"

namespace kestrix::wire {

std::string terminate(std::string_view line) {
  std::string out;
  out.reserve(line.size() + kLineEnd.size());
  out.append(line).append(kLineEnd);
  return out;
}

std::string withArgument(std::string_view prefix, std::string_view argument) {
  if (argument.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos)
    throw std::invalid_argument("command argument must not hold CR, LF or NUL: " +
                                bytesRepr(argument));
  std::string out;
  out.reserve(prefix.size() + argument.size());
  out.append(prefix).append(argument);
  return out;
}

bool programAccepted(std::string_view reply) {
  return stripWhitespace(reply) == kProgramAck;
}

std::string definiteLengthHeader(std::size_t n) {
  const std::string length = std::to_string(n);
  // A block needs at most 9 length digits to be representable at all; more cannot be announced.
  return "#" + std::to_string(length.size()) + length;
}

std::string programLine(std::string_view data) {
  std::string out;
  appendProgramLine(out, data);
  return out;
}

void appendProgramLine(std::string& out, std::string_view data) {
  // The header written in place: "#" <digit count> <length>, as definiteLengthHeader writes it.
  // 24 characters hold any size_t, so the conversions cannot fail.
  char length[24];
  char count[4];
  const auto digits = static_cast<std::size_t>(
      std::to_chars(length, length + sizeof length, data.size()).ptr - length);
  const auto count_digits =
      static_cast<std::size_t>(std::to_chars(count, count + sizeof count, digits).ptr - count);
  // kProgramPrefix ends in the '#' that the block header starts with.
  out.append(kProgramPrefix).append(count, count_digits).append(length, digits).append(data);
}

std::string blockFrame(std::string_view data) {
  std::string out = definiteLengthHeader(data.size());
  out.reserve(out.size() + data.size() + kLineEnd.size());
  out.append(data).append(kLineEnd);
  return out;
}

HeaderStatus parseBlockHeader(std::string_view buffer, std::size_t max_length,
                              BlockHeader* header) {
  if (buffer.empty()) return HeaderStatus::kIncomplete;
  if (buffer[0] != '#') return HeaderStatus::kInvalid;
  if (buffer.size() < 2) return HeaderStatus::kIncomplete;
  const char d = buffer[1];
  if (d < '1' || d > '9') return HeaderStatus::kInvalid;
  const std::size_t digits = static_cast<std::size_t>(d - '0');
  if (buffer.size() < 2 + digits) return HeaderStatus::kIncomplete;
  std::size_t length = 0;
  for (std::size_t i = 0; i < digits; ++i) {
    const char c = buffer[2 + i];
    if (c < '0' || c > '9') return HeaderStatus::kInvalid;
    length = length * 10 + static_cast<std::size_t>(c - '0');  // at most 9 digits: no overflow
  }
  if (length > max_length) return HeaderStatus::kInvalid;
  header->header_size = 2 + digits;
  header->length = length;
  return HeaderStatus::kComplete;
}

}  // namespace kestrix::wire
