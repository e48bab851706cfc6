// A version value made from a dotted decimal text such as "0.1.0.6".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestrix {

class Version {
 public:
  // Parses one or more decimal components (ASCII digits) joined by '.', surrounding white space
  // allowed. Throws std::invalid_argument for any other text, digits of other scripts included:
  // a device reports its versions in ASCII.
  explicit Version(std::string_view text);

  // Component by component; a missing trailing component counts as 0, so 1.2 == 1.2.0.
  friend bool operator<(const Version& a, const Version& b);
  friend bool operator==(const Version& a, const Version& b);
  friend bool operator!=(const Version& a, const Version& b) { return !(a == b); }
  friend bool operator>(const Version& a, const Version& b) { return b < a; }
  friend bool operator<=(const Version& a, const Version& b) { return !(b < a); }
  friend bool operator>=(const Version& a, const Version& b) { return !(a < b); }

  // The canonical dotted form: components in decimal without leading zeros.
  std::string str() const;
  const std::vector<std::uint64_t>& components() const { return parts_; }

 private:
  std::vector<std::uint64_t> parts_;
};

}  // namespace kestrix
