// The worker thread of the programs: what ended it reaches the main thread,
// and it is stopped and joined on every way out.
#include "korv/vexatools/Worker.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

namespace {

using korv::vexatools::Worker;
using namespace std::chrono_literals;

// Waits, bounded, until `done` holds.
template <typename Condition>
bool WaitFor(Condition done) {
  for (int slice = 0; slice < 500 && !done(); ++slice) std::this_thread::sleep_for(10ms);
  return done();
}

TEST(WorkerTest, AFailureOnTheWorkerReachesTheOwnerAfterJoin) {
  Worker worker([] { throw std::runtime_error("socket gone"); });
  ASSERT_TRUE(WaitFor([&] { return worker.Finished(); }));
  worker.Join();
  ASSERT_TRUE(worker.Failure());
  try {
    std::rethrow_exception(worker.Failure());
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "socket gone");
  }
}

TEST(WorkerTest, ABodyThatReturnsLeavesNoFailure) {
  std::atomic<int> runs{0};
  Worker worker([&] { ++runs; });
  worker.Join();
  EXPECT_TRUE(worker.Finished());
  EXPECT_FALSE(worker.Failure());
  EXPECT_EQ(runs, 1);
}

// Leaving the scope early (an exception on the owning thread) stops the loop
// and joins it instead of terminating the program.
TEST(WorkerTest, LeavingTheScopeStopsAndJoinsARunningLoop) {
  std::atomic<bool> stopped{false};
  std::atomic<bool> ended{false};
  try {
    Worker worker(
        [&] {
          while (!stopped) std::this_thread::sleep_for(1ms);
          ended = true;
        },
        [&] { stopped = true; });
    EXPECT_FALSE(worker.Finished());
    throw std::runtime_error("set-up failed after the worker started");
  } catch (const std::runtime_error&) {
  }
  EXPECT_TRUE(ended);
}

}  // namespace
