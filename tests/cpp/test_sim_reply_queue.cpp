// The replies waiting for one client: ready at once without a delay, each batch on its own clock
// with one, sent front to back whatever the socket takes.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "kestrix/sim/reply_queue.hpp"
#include "kestrix/sim/server.hpp"

namespace {

using kestrix::sim::ReplyQueue;
using std::chrono::microseconds;
using Clock = ReplyQueue::Clock;

TEST(ReplyQueue, WithoutADelayASealMakesTheRepliesReadyAtOnce) {
  ReplyQueue q;
  const Clock::time_point t0{};
  EXPECT_TRUE(q.empty());
  q.buffer() += "OK\r\n";
  EXPECT_EQ(q.ready(), "");  // not sealed yet
  EXPECT_FALSE(q.empty());
  q.seal(t0);
  EXPECT_EQ(q.ready(), "OK\r\n");
  EXPECT_FALSE(q.holding());
  EXPECT_FALSE(q.nextDue().has_value());
  q.consume(2);
  EXPECT_EQ(q.ready(), "\r\n");
  q.consume(2);
  EXPECT_TRUE(q.empty());
  EXPECT_EQ(q.footprint(), 0u);
}

TEST(ReplyQueue, EachBatchIsHeldForTheDelayFromItsOwnSeal) {
  ReplyQueue q(microseconds(200));
  const Clock::time_point t0{};
  q.buffer() += "a\r\n";
  q.seal(t0);
  q.buffer() += "b\r\n";
  q.seal(t0 + microseconds(50));
  q.seal(t0 + microseconds(60));  // nothing new: no batch
  EXPECT_EQ(q.ready(), "");
  ASSERT_TRUE(q.nextDue().has_value());
  EXPECT_EQ(*q.nextDue(), t0 + microseconds(200));

  q.release(t0 + microseconds(199));
  EXPECT_EQ(q.ready(), "");
  q.release(t0 + microseconds(200));
  EXPECT_EQ(q.ready(), "a\r\n");
  EXPECT_EQ(*q.nextDue(), t0 + microseconds(250));
  // Replies overlap their delays: the second is due 50 us after the first, not 200.
  q.release(t0 + microseconds(250));
  EXPECT_EQ(q.ready(), "a\r\nb\r\n");
  EXPECT_FALSE(q.holding());
}

TEST(ReplyQueue, HeldBytesStayBehindTheReadyOnesWhileTheseAreSent) {
  ReplyQueue q(microseconds(10));
  const Clock::time_point t0{};
  q.buffer() += std::string(100, 'x');
  q.seal(t0);
  q.release(t0 + microseconds(10));
  q.buffer() += std::string(30, 'y');
  q.seal(t0 + microseconds(10));
  q.consume(70);  // moves the unsent bytes to the front
  EXPECT_EQ(q.ready(), std::string(30, 'x'));
  q.buffer() += "z";  // appended while not sealed: neither ready nor held
  // The 61 unsent bytes and the bookkeeping of the one batch still held.
  EXPECT_GT(q.footprint(), 61u);
  EXPECT_LE(q.footprint(), 61u + 64u);
  q.release(t0 + microseconds(20));
  EXPECT_EQ(q.ready(), std::string(30, 'x') + std::string(30, 'y'));
  q.seal(t0 + microseconds(20));
  q.release(t0 + microseconds(30));
  EXPECT_EQ(q.ready(), std::string(30, 'x') + std::string(30, 'y') + "z");
  q.consume(61);
  EXPECT_TRUE(q.empty());
}

TEST(ReplyQueue, ManyPartialSendsDeliverEveryByteInOrder) {
  ReplyQueue q;
  std::string expected;
  std::string got;
  for (int i = 0; i < 2000; ++i) {
    const std::string reply = std::to_string(i) + "\r\n";
    expected += reply;
    q.buffer() += reply;
    q.seal(Clock::time_point{});
    if (i % 3 == 0) {
      const std::size_t n = q.ready().size() / 2 + 1;
      got += q.ready().substr(0, n);
      q.consume(n);
    }
  }
  got += q.ready();
  q.consume(q.ready().size());
  EXPECT_EQ(got, expected);
  EXPECT_TRUE(q.empty());
}

TEST(ReplyQueue, WithATickRepliesAreDueAtTheNextMultipleOfItNeverEarly) {
  ReplyQueue q(microseconds(150), microseconds(20));
  const Clock::time_point t0{};  // the clock's epoch, a multiple of every tick
  q.buffer() += "a\r\n";
  q.seal(t0 + microseconds(3));  // due at 153 us, held until 160
  ASSERT_TRUE(q.nextDue().has_value());
  EXPECT_EQ(*q.nextDue(), t0 + microseconds(160));
  q.release(t0 + microseconds(159));
  EXPECT_EQ(q.ready(), "");
  q.release(t0 + microseconds(160));
  EXPECT_EQ(q.ready(), "a\r\n");
  // Due exactly on a tick: not moved.
  q.buffer() += "b\r\n";
  q.seal(t0 + microseconds(50));
  EXPECT_EQ(*q.nextDue(), t0 + microseconds(200));
}

TEST(ReplyQueue, RepliesFallingDueWithinOneTickAreOneBatch) {
  ReplyQueue q(microseconds(150), microseconds(20));
  const Clock::time_point t0{};
  q.buffer() += "a\r\n";
  q.seal(t0 + microseconds(1));  // due 151 -> 160
  q.buffer() += "b\r\n";
  q.seal(t0 + microseconds(9));  // due 159 -> 160: the same batch
  q.buffer() += "c\r\n";
  q.seal(t0 + microseconds(11));  // due 161 -> 180: the next one
  EXPECT_EQ(*q.nextDue(), t0 + microseconds(160));
  EXPECT_EQ(*q.lastDue(), t0 + microseconds(180));
  q.release(t0 + microseconds(160));
  EXPECT_EQ(q.ready(), "a\r\nb\r\n");
  EXPECT_EQ(*q.nextDue(), t0 + microseconds(180));
  EXPECT_EQ(q.nextDue(), q.lastDue());
  q.release(t0 + microseconds(180));
  EXPECT_EQ(q.ready(), "a\r\nb\r\nc\r\n");
  EXPECT_FALSE(q.lastDue().has_value());
}

TEST(ReplyQueue, TheTickIsAnEighthOfTheLatencyWithinItsBounds) {
  using kestrix::sim::latencyTick;
  EXPECT_EQ(latencyTick(microseconds(0)), microseconds(0));
  EXPECT_EQ(latencyTick(microseconds(150)), microseconds(18));
  EXPECT_EQ(latencyTick(microseconds(3)), microseconds(1));
  EXPECT_EQ(latencyTick(microseconds(200000)), microseconds(1000));
}

}  // namespace
