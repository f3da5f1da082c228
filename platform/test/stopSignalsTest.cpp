#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>

#include "korv/fnd/StopSignals.hpp"

namespace {

using namespace std::chrono_literals;

TEST(StopSignals, ASignalBecomesAStopRequestThatEndsAWait) {
  struct sigaction before {};
  sigaction(SIGTERM, nullptr, &before);
  {
    const korv::fnd::StopSignals stop;
    EXPECT_FALSE(stop.StopRequested());
    EXPECT_FALSE(stop.WaitFor(20ms));
    ASSERT_EQ(raise(SIGTERM), 0);  // handled: the test goes on
    EXPECT_TRUE(stop.StopRequested());
    EXPECT_TRUE(stop.Flag().load());
    EXPECT_EQ(stop.Signal(), SIGTERM);
    EXPECT_TRUE(stop.WaitFor(1h));  // returns at once
  }
  // The previous handlers are back.
  struct sigaction after {};
  sigaction(SIGTERM, nullptr, &after);
  EXPECT_EQ(after.sa_handler, before.sa_handler);
}

}  // namespace
