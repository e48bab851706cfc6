#include "kestrix/contracts/version.hpp"

#include <algorithm>
#include <cctype>
#include <limits>
#include <stdexcept>

namespace kestrix {
namespace {

bool isSpace(char c) {
  return std::isspace(static_cast<unsigned char>(c)) != 0;
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
  return text;
}

[[noreturn]] void notAVersion(std::string_view text) {
  throw std::invalid_argument("Invalid version: '" + std::string(text) + "'");
}

}  // namespace

Version::Version(std::string_view text) {
  const std::string_view body = trim(text);
  if (body.empty()) notAVersion(text);
  std::uint64_t value = 0;
  bool have_digit = false;
  for (char c : body) {
    if (c == '.') {
      if (!have_digit) notAVersion(text);
      parts_.push_back(value);
      value = 0;
      have_digit = false;
    } else if (c >= '0' && c <= '9') {
      const auto digit = static_cast<std::uint64_t>(c - '0');
      if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) notAVersion(text);
      value = value * 10 + digit;
      have_digit = true;
    } else {
      notAVersion(text);
    }
  }
  if (!have_digit) notAVersion(text);
  parts_.push_back(value);
}

namespace {

// Compares with missing trailing components counted as 0.
int compare(const std::vector<std::uint64_t>& a, const std::vector<std::uint64_t>& b) {
  const std::size_t n = std::max(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t x = i < a.size() ? a[i] : 0;
    const std::uint64_t y = i < b.size() ? b[i] : 0;
    if (x != y) return x < y ? -1 : 1;
  }
  return 0;
}

}  // namespace

bool operator<(const Version& a, const Version& b) {
  return compare(a.parts_, b.parts_) < 0;
}
bool operator==(const Version& a, const Version& b) {
  return compare(a.parts_, b.parts_) == 0;
}

std::string Version::str() const {
  std::string out;
  for (std::size_t i = 0; i < parts_.size(); ++i) {
    if (i) out += '.';
    out += std::to_string(parts_[i]);
  }
  return out;
}

}  // namespace kestrix
