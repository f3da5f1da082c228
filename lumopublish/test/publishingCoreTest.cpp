// The socket-free rules both image senders share: image sizes, the
// publisher's buffer depth, the late notification, the wake-up signal.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdint>

#include "korv/vexatools/ImageBytes.hpp"
#include "korv/vexatools/lumopublish/HandOver.hpp"
#include "korv/vexatools/lumopublish/ImageWriter.hpp"

namespace {

using korv::vexatools::ImageBytes;
using namespace korv::vexatools::lumopublish;
using namespace std::chrono_literals;

TEST(ImageBytes, ProductsThatWrapOrNegativeFactorsAreNoSize) {
  EXPECT_EQ(ImageBytes(640, 480, 2), 614400u);
  EXPECT_EQ(ImageBytes(0, 480, 2), 0u);
  EXPECT_EQ(ImageBytes(INT_MAX, INT_MAX, 1), std::uint64_t{INT_MAX} * INT_MAX);
  EXPECT_EQ(ImageBytes(-1, 480, 2), std::nullopt);
  EXPECT_EQ(ImageBytes(640, 480, -2), std::nullopt);
  EXPECT_EQ(ImageBytes(-640, -480, 2), std::nullopt);  // a positive product of negative factors
  // Beyond 63 bits: wrapped, these would pass for small sizes.
  EXPECT_EQ(ImageBytes(INT_MAX, INT_MAX, 8), std::nullopt);
  EXPECT_EQ(ImageBytes(std::int64_t{1} << 32, std::int64_t{1} << 32, 1), std::nullopt);
  static_assert(ImageBytes(4, 3, 2) == 24u);
}

TEST(BufferedImages, AboutSixtyFourMebibytesBetweenTwoAndEightImages) {
  EXPECT_EQ(BufferedImages(0), 8);
  EXPECT_EQ(BufferedImages(614400), 8);
  EXPECT_EQ(BufferedImages(16 << 20), 4);
  EXPECT_EQ(BufferedImages(64 << 20), 2);
  EXPECT_EQ(BufferedImages(std::int64_t{INT_MAX}), 2);
}

// The producer pushes, then raises the flag: a pass between the two takes
// the image unnotified, and the flag then comes over an empty ring.
TEST(LateFlag, OnlyTheFlagOfAnImageTakenAheadIsNoFault) {
  LateFlag lateFlag;
  EXPECT_TRUE(lateFlag.IsFault()) << "a flag with nothing ever pushed";

  lateFlag.Took(false);
  EXPECT_FALSE(lateFlag.IsFault()) << "the late flag of the image taken ahead";
  EXPECT_TRUE(lateFlag.IsFault()) << "a second flag over the empty ring";

  lateFlag.Took(false);
  lateFlag.Took(true);  // a notified image after the one taken ahead
  EXPECT_TRUE(lateFlag.IsFault());
}

TEST(ImageSignal, WakesAtOnceAndDropsTheSignalsCountedMeanwhile) {
  ImageSignal signal;
  for (int i = 0; i < 3; ++i) signal.Raise();
  const auto start = std::chrono::steady_clock::now();
  signal.Wait(30s);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);

  // All three were taken: the next wait lasts its whole timeout.
  const auto idleStart = std::chrono::steady_clock::now();
  signal.Wait(20ms);
  EXPECT_GE(std::chrono::steady_clock::now() - idleStart, 20ms);
}

}  // namespace
