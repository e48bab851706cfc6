#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <thread>

#include "kestrix/net/socket.hpp"

namespace kestrix::net {
namespace {

TEST(Deadline, NoLimitWaitsForeverAndZeroNotAtAll) {
  EXPECT_EQ(Deadline(std::numeric_limits<double>::infinity()).pollMillis(), -1);
  EXPECT_EQ(Deadline(std::numeric_limits<double>::quiet_NaN()).pollMillis(), -1);
  EXPECT_EQ(Deadline(2.0 * 24 * 3600).pollMillis(), -1);
  EXPECT_EQ(Deadline(0.0).pollMillis(), 0);
  EXPECT_EQ(Deadline(-1.0).pollMillis(), 0);
}

// The clock starts at the first wait: the time before it (a reply taken from the buffer without
// waiting) is not counted, and from then on the whole span is.
TEST(Deadline, CountsFromTheFirstWait) {
  const Deadline deadline(0.05);
  std::this_thread::sleep_for(std::chrono::milliseconds(80));
  EXPECT_EQ(deadline.pollMillis(), 50);
  std::this_thread::sleep_for(std::chrono::milliseconds(80));
  EXPECT_EQ(deadline.pollMillis(), 0);
}

}  // namespace
}  // namespace kestrix::net
