#include "kestrix/lobesteer/fast_beam.hpp"

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kestrix::lobesteer {

namespace {

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

// The reply as it goes into an error message: printable ASCII kept, the rest escaped, and long
// replies cut so that a device that sends garbage cannot flood the message.
std::string quoted(std::string_view text) {
  constexpr std::size_t kShown = 64;
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "'";
  for (std::size_t i = 0; i < text.size() && i < kShown; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\'' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0x0f];
    }
  }
  out += '\'';
  if (text.size() > kShown) out += "...";
  return out;
}

// CR and LF end a line on the device; NUL ends it for a reader that takes C strings.
bool breaksTheLine(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

}  // namespace

std::string commandLine(std::string_view command, std::string_view argument) {
  if (breaksTheLine(command)) {
    throw std::invalid_argument("fast beam command holds CR, LF or NUL: " + quoted(command));
  }
  if (breaksTheLine(argument)) {
    throw std::invalid_argument("fast beam command argument holds CR, LF or NUL: " +
                                quoted(argument));
  }
  std::string line(command);
  if (!argument.empty()) {
    line += ' ';
    line += argument;
  }
  return line;
}

std::string externalControlText(bool enable, long long mode) {
  std::string text(enable ? kStorageOn : kStorageOff);
  text += ',';
  text += std::to_string(mode);
  return text;
}

bool externalControlState(std::string_view reply) {
  std::size_t begin = 0;
  std::size_t end = reply.size();
  while (begin < end && isSpace(reply[begin])) ++begin;
  while (end > begin && isSpace(reply[end - 1])) --end;
  std::size_t pos = begin;
  if (pos < end && (reply[pos] == '+' || reply[pos] == '-')) ++pos;
  if (pos == end) {
    throw std::invalid_argument("external control state is not a decimal integer: " +
                                quoted(reply));
  }
  // Only zero or not matters, so any number of digits is read without overflow.
  bool nonzero = false;
  for (; pos < end; ++pos) {
    if (!isDigit(reply[pos])) {
      throw std::invalid_argument("external control state is not a decimal integer: " +
                                  quoted(reply));
    }
    nonzero = nonzero || reply[pos] != '0';
  }
  return nonzero;
}

}  // namespace kestrix::lobesteer
