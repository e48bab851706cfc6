// The version value: what reads as a version, and how versions order.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "kestrix/contracts/version.hpp"

namespace kestrix {
namespace {

TEST(Version, ReadsDottedAsciiDecimals) {
  EXPECT_EQ(Version(" 0.2.3.4\r\n").str(), "0.2.3.4");
  EXPECT_EQ(Version("007.10").str(), "7.10");
  for (const char* bad : {"", " ", "1..2", ".1", "1.", "v1", "1.2a", "1,2", "-1", "+1",
                          // Digits of other scripts are not a device's version (Arabic-Indic 1.2).
                          "\xd9\xa1.\xd9\xa2", "99999999999999999999"}) {
    EXPECT_THROW(Version{bad}, std::invalid_argument) << bad;
  }
}

TEST(Version, OrdersByComponentWithMissingOnesAsZero) {
  EXPECT_LT(Version("0.2.3.3"), Version("0.2.3.4"));
  EXPECT_LT(Version("0.9"), Version("0.10"));
  EXPECT_EQ(Version("1.2"), Version("1.2.0.0"));
  EXPECT_LE(Version("1.2"), Version("1.2.0"));
  EXPECT_GT(Version("2"), Version("1.99.99"));
  EXPECT_GE(Version("1.0.0.1"), Version("1"));
}

}  // namespace
}  // namespace kestrix
