// The log throttle that bounds repeated log lines, driven with explicit times.
#include "korv/fnd/LogThrottle.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>

namespace {

using korv::fnd::LogThrottle;
using std::chrono::milliseconds;
using std::chrono::seconds;

TEST(LogThrottleTest, LetsOneMessageThroughPerPeriodAndCountsTheEventsBetween) {
  LogThrottle throttle(seconds(10));
  const auto start = LogThrottle::Clock::now();
  std::uint64_t events = 0;
  EXPECT_TRUE(throttle.Allow(events, start));
  EXPECT_EQ(events, 1u);
  EXPECT_FALSE(throttle.Allow(events, start + seconds(1)));
  EXPECT_FALSE(throttle.Allow(events, start + seconds(10)));
  EXPECT_TRUE(throttle.Allow(events, start + seconds(11)));
  EXPECT_EQ(events, 3u) << "the two held back and this one";
  EXPECT_TRUE(throttle.Allow(events, start + seconds(30)));
  EXPECT_EQ(events, 1u);
}

// A burst of distinct events is seen in full; a flood is cut to the burst
// per period, and the next line tells how many were held back.
TEST(LogThrottleTest, ABurstPassesPerPeriodAndTheNextLineCountsTheRest) {
  LogThrottle throttle(seconds(1), 3);
  const auto start = LogThrottle::Clock::time_point{} + seconds(5);
  std::uint64_t events = 0;
  for (int line = 0; line < 3; ++line) {
    EXPECT_TRUE(throttle.Allow(events, start + milliseconds(line)));
    EXPECT_EQ(events, 1u);
  }
  for (int flood = 0; flood < 1000; ++flood) EXPECT_FALSE(throttle.Allow(events, start + milliseconds(500)));
  EXPECT_TRUE(throttle.Allow(events, start + milliseconds(1001)));
  EXPECT_EQ(events, 1001u);
  EXPECT_EQ(LogThrottle::HeldBackNote(events), " (1000 similar line(s) held back)");
  EXPECT_EQ(LogThrottle::HeldBackNote(1), "");
}

// The first event is always let through, whatever the clock reads: a
// steady clock may start near zero just after boot.
TEST(LogThrottleTest, TheFirstEventPassesAtAnyTime) {
  LogThrottle throttle(seconds(1));
  std::uint64_t events = 0;
  EXPECT_TRUE(throttle.Allow(events, LogThrottle::Clock::time_point{}));
  EXPECT_FALSE(throttle.Allow(events, LogThrottle::Clock::time_point{} + milliseconds(999)));
}

}  // namespace
