// The time and thread-name helpers of the gateway's message prefix.
#include <gtest/gtest.h>

#include <pthread.h>

#include <cmath>
#include <thread>

#include "IsoTime.hpp"

namespace {

using korv::vexatools::vexa2lumolib_wirefast::IsoTime;

TEST(IsoTime, FractionHasAtMostPrecisionSignificantDigitsWithoutTrailingZeros) {
  EXPECT_EQ(IsoTime(1700000000.5, 6), "2023-11-14T22:13:20.5");
  EXPECT_EQ(IsoTime(1700000000.0, 6), "2023-11-14T22:13:20");
  EXPECT_EQ(IsoTime(1700000000.5, 0), "2023-11-14T22:13:20");
  EXPECT_EQ(IsoTime(1700000000.123456789, 6), "2023-11-14T22:13:20.123457");
  EXPECT_EQ(IsoTime(1699999985.05, 6), "2023-11-14T22:13:05.05");
  EXPECT_EQ(IsoTime(1700000000.123456789, 2), "2023-11-14T22:13:20.12");
  EXPECT_EQ(IsoTime(0.0, 6), "1970-01-01T00:00:00");
}

TEST(IsoTime, AFractionRoundingToOneAddsNothingAndDoesNotCarry) {
  EXPECT_EQ(IsoTime(1700000000.99999, 4), "2023-11-14T22:13:20");
  EXPECT_EQ(IsoTime(59.99, 1), "1970-01-01T00:00:59");
}

// Fractions below 1e-4 stay in fixed notation instead of turning into an exponent.
TEST(IsoTime, TinyFractionsStayDecimal) {
  EXPECT_EQ(IsoTime(1.0000123, 6), "1970-01-01T00:00:01.0000123");
  EXPECT_EQ(IsoTime(1.00001234567, 3), "1970-01-01T00:00:01.0000123");
}

TEST(IsoTime, TimesWithoutACalendarDateDoNotCrash) {
  EXPECT_EQ(IsoTime(-0.5, 6), "1969-12-31T23:59:59.5");
  EXPECT_FALSE(IsoTime(std::nan(""), 6).empty());
  EXPECT_FALSE(IsoTime(1e300, 6).empty());
  EXPECT_FALSE(IsoTime(-1e300, 255).empty());
}

TEST(ThreadName, GivesTheNameTheApplicationSet) {
  for (const std::string name : {"rx", "fifteen-chars-x"}) {
    std::string seen;
    std::thread thread([&] {
      pthread_setname_np(pthread_self(), name.c_str());
      seen = korv::vexatools::vexa2lumolib_wirefast::ThreadName();
    });
    thread.join();
    EXPECT_EQ(seen, name);
  }
}

TEST(LocationPrefix, JoinsTimeFileLineFunctionAndThreadWithColons) {
  std::string prefix;
  std::thread thread([&] {
    pthread_setname_np(pthread_self(), "deliver");
    prefix = korv::vexatools::vexa2lumolib_wirefast::LocationPrefix("lib/src/file", 42, "EnsureGeometry");
  });
  thread.join();
  const std::string where = ":lib/src/file:42:EnsureGeometry:deliver";
  ASSERT_TRUE(prefix.ends_with(where)) << prefix;
  const std::string time = prefix.substr(0, prefix.size() - where.size());  // e.g. 2024-06-11T08:15:02.123457
  ASSERT_GE(time.size(), 19u) << prefix;
  EXPECT_EQ(time.substr(4, 1) + time.substr(7, 1) + time.substr(10, 1) + time.substr(13, 1) + time.substr(16, 1),
            "--T::");
}

}  // namespace
