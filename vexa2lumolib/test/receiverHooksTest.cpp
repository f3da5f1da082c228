// The publishing receiver's hooks, driven through the real sample assembly:
// datagrams are handed to ReceivePacket one by one, without a socket, and
// the images it queues are taken out of the sender's ring.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <vector>

#include "PublishingTestSupport.hpp"
#include "korv/vexatools/LumoSender.hpp"
#include "korv/vexatools/Vexa2LumoReceiver.hpp"
#include "vexasim/SampleFrames.hpp"

namespace {

using korv::vexatools::LumoImage;
using korv::vexatools::LumoSender;
using korv::vexatools::Vexa2LumoReceiver;
using Datagram = std::vector<unsigned char>;
using log4cplus::ERROR_LOG_LEVEL;
using log4cplus::INFO_LOG_LEVEL;

constexpr int kWidth = 100, kHeight = 100, kBytesPerPixel = 2;

class FedReceiver : public Vexa2LumoReceiver {
 public:
  FedReceiver(int width = kWidth, int height = kHeight)
      : Vexa2LumoReceiver("127.0.0.1", 0, "", width, height, kBytesPerPixel) {}

  // Hands one datagram to the assembly as if it had just been received.
  void Feed(const Datagram& datagram) {
    std::copy(datagram.begin(), datagram.end(), m_receiveBuffer.begin());
    ReceivePacket({}, datagram.size());
  }
  // Never started: nothing to arm.
  void Wait() override {}

  bool ImageOpen() const { return image != nullptr; }
  std::int64_t ImageOffset() const { return imageOffset; }
};

korv::vexasim::SampleFrames Layout(int width, int height) {
  return korv::vexasim::SampleFrames({width, height, kBytesPerPixel, korv::fnd::datatype::Int16});
}

std::vector<std::uint32_t> QueuedSampleIds() {
  std::vector<std::uint32_t> ids;
  std::shared_ptr<LumoImage> image;
  while (LumoSender::spsc_queue.pop(image)) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(image->GetImage());
    const auto id = vexa2lumotest::PatternSampleId({bytes, static_cast<std::size_t>(image->GetSize())});
    ids.push_back(id ? *id : 0xFFFFFFFF);  // all ones: a byte off the pattern
  }
  return ids;
}

class ReceiverHooks : public ::testing::Test {
 protected:
  void SetUp() override { vexa2lumotest::ResetHandOver(); }
  void TearDown() override { vexa2lumotest::ResetHandOver(); }

  // Frames of `sampleId`, by 1-based frame id; repeats send duplicates.
  void Send(std::uint32_t sampleId, std::initializer_list<int> frameIds, const korv::vexasim::SampleFrames& layout) {
    const auto frames = layout.BuildSample(sampleId);
    for (const int id : frameIds) m_receiver.Feed(frames.at(static_cast<std::size_t>(id - 1)));
  }
  void Send(std::uint32_t sampleId, std::initializer_list<int> frameIds) { Send(sampleId, frameIds, m_layout); }
  void SendWhole(std::uint32_t sampleId) { Send(sampleId, {1, 2, 3, 4, 5}); }

  vexa2lumotest::AppLogCapture m_log;
  korv::vexasim::SampleFrames m_layout = Layout(kWidth, kHeight);  // three payload frames, the last one short
  FedReceiver m_receiver;
};

TEST_F(ReceiverHooks, PlacesEveryFrameWhateverTheOrderOfArrival) {
  ASSERT_EQ(m_layout.FrameCount(), 5);
  SendWhole(1);
  EXPECT_TRUE(LumoSender::new_data);
  EXPECT_FALSE(m_receiver.ImageOpen());
  EXPECT_EQ(m_receiver.ImageOffset(), 0);
  Send(2, {1, 4, 3, 2, 5});  // the short last frame first
  EXPECT_EQ(QueuedSampleIds(), (std::vector<std::uint32_t>{1, 2}));
  EXPECT_EQ(m_log.Count(INFO_LOG_LEVEL, "Activating trigger for LUMO sender ..."), 2);
  EXPECT_EQ(m_log.Count(log4cplus::DEBUG_LOG_LEVEL, "Image data object created"), 2);
  const auto records = m_log.Records();
  const auto trigger = std::find_if(records.begin(), records.end(), [](const vexatools::testsupport::CapturedRecord& record) {
    return record.message == "Activating trigger for LUMO sender ...";
  });
  ASSERT_NE(trigger, records.end());
  EXPECT_EQ(trigger->file, "vexa2lumolib/src/vexa2LumoReceiver");
}

// Frames cut for an MTU of 1500 (1472-byte datagrams) make the same image,
// in any order; the first payload frame to arrive sets the frame length.
TEST_F(ReceiverHooks, FramesThatFitAnMtuOf1500MakeTheSameImage) {
  korv::vexasim::SampleLayout layout{kWidth, kHeight, kBytesPerPixel, korv::fnd::datatype::Int16};
  layout.packetSize = 1472;
  const korv::vexasim::SampleFrames small(layout);
  ASSERT_GT(small.FrameCount(), m_layout.FrameCount());
  auto frames = small.BuildSample(3);
  m_receiver.Feed(frames.front());
  for (std::size_t i = frames.size() - 2; i >= 1; --i) m_receiver.Feed(frames[i]);  // last payload frame first
  m_receiver.Feed(frames.back());
  for (const auto& frame : small.BuildSample(4)) m_receiver.Feed(frame);
  EXPECT_EQ(QueuedSampleIds(), (std::vector<std::uint32_t>{3, 4}));
}

TEST_F(ReceiverHooks, SinglePayloadFrameFillsTheWholeImage) {
  FedReceiver small(40, 40);
  const auto layout = Layout(40, 40);
  ASSERT_EQ(layout.FrameCount(), 3);
  for (const auto& frame : layout.BuildSample(7)) small.Feed(frame);
  EXPECT_EQ(QueuedSampleIds(), (std::vector<std::uint32_t>{7}));
}

TEST_F(ReceiverHooks, DropsFramesThatDoNotFitAndGoesOn) {
  auto frames = m_layout.BuildSample(5);
  Datagram early = m_layout.BuildSample(0)[1];  // sample 0 reaches the hook before any leader
  m_receiver.Feed(early);

  m_receiver.Feed(frames[0]);
  Datagram otherCount = frames[1];
  otherCount[plexoif::kFrameCountOffset + 1] = 6;  // frame 2 of 6, but the leader said 5
  Datagram tooManyUnits = frames[2];
  tooManyUnits[32 + 4] = 0xFF;  // more data units than the frame carries
  Datagram notPayload = frames[2];
  notPayload[32] = 3;
  Datagram shortFrame = frames[2];  // frame 3 with fewer data units than frame 2
  shortFrame[32 + 4] = 0;
  shortFrame[32 + 5] = 100;
  for (const Datagram& bad : {otherCount, tooManyUnits, notPayload}) m_receiver.Feed(bad);
  m_receiver.Feed(frames[1]);
  m_receiver.Feed(shortFrame);
  for (std::size_t i = 2; i < frames.size(); ++i) m_receiver.Feed(frames[i]);

  Datagram late = frames[2];
  std::fill(late.begin() + 40, late.end(), 0xAB);
  m_receiver.Feed(late);
  EXPECT_EQ(QueuedSampleIds(), (std::vector<std::uint32_t>{5}));  // untouched by the late frame

  EXPECT_EQ(m_log.Count(ERROR_LOG_LEVEL, "dropped: no leader received yet"), 1);
  EXPECT_EQ(m_log.Count(ERROR_LOG_LEVEL, "dropped: its frame number does not fit"), 1);
  EXPECT_EQ(m_log.Count(ERROR_LOG_LEVEL, "dropped: not a SOREL payload packet"), 1);  // once a second
  EXPECT_EQ(m_log.Count(ERROR_LOG_LEVEL, "dropped: its data units do not fit the image"), 1);
  EXPECT_EQ(m_log.Count(ERROR_LOG_LEVEL, "Payload frame 3 of 5 of sample 5 dropped: it arrived after"), 1);
}

TEST_F(ReceiverHooks, LostLeaderDoesNotQueueThePreviousImageAgain) {
  SendWhole(1);
  Send(2, {2, 3, 4, 5});  // its trailer reaches the trailer hook while sample 1 is the current one
  EXPECT_EQ(QueuedSampleIds(), (std::vector<std::uint32_t>{1}));
  EXPECT_EQ(m_log.Count(ERROR_LOG_LEVEL, "Trailer of sample 2 ignored"), 1);
}

TEST_F(ReceiverHooks, ForeignTrailerDoesNotCloseTheSample) {
  const Datagram foreignTrailer = m_layout.BuildSample(9).back();
  Send(1, {1, 2});
  m_receiver.Feed(foreignTrailer);  // too few frames: the assembly reports a loss
  Send(1, {3, 4, 5});
  EXPECT_EQ(QueuedSampleIds(), (std::vector<std::uint32_t>{1}));

  Send(2, {1, 2, 2, 3, 4});  // with a duplicate, the foreign trailer completes the frame count
  m_receiver.Feed(foreignTrailer);
  EXPECT_TRUE(QueuedSampleIds().empty());
  EXPECT_EQ(m_log.Count(ERROR_LOG_LEVEL, "Trailer of sample 9 ignored"), 1);
  Send(2, {5});
  EXPECT_EQ(QueuedSampleIds(), (std::vector<std::uint32_t>{2}));
}

TEST_F(ReceiverHooks, DuplicateFrameDoesNotStandInForALostOne) {
  Send(1, {1, 2, 2, 4, 5});  // frame 3 lost, frame 2 twice: the frame count adds up
  Send(1, {3});              // too late
  Send(2, {1, 2, 4, 5});     // frame 3 lost: the assembly reports the loss
  Send(2, {3});
  EXPECT_TRUE(QueuedSampleIds().empty());
  EXPECT_FALSE(LumoSender::new_data);
  EXPECT_EQ(m_log.Count(ERROR_LOG_LEVEL, "Sample 1 not published: 2 of 3 payload frames and 11068 of 20000 bytes"),
            1);
  EXPECT_EQ(m_log.Count(ERROR_LOG_LEVEL, "it arrived after the sample's trailer"), 1);  // once a second
}

// Malformed frames that name the sample being assembled: a trailer with
// another frame count, a one-unit copy of the last payload frame before the
// real one. Each is junk; the sample is published and counted complete.
TEST_F(ReceiverHooks, FramesThatContradictTheirSampleAreJunk) {
  const auto frames = m_layout.BuildSample(1);
  Datagram otherCount = frames[4];
  m_layout.WriteHeader(otherCount.data(), 1, 3, 3, 4);  // the trailer of a 3-frame sample 1
  Datagram oneUnit = frames[3];
  oneUnit[32 + 4] = 0;
  oneUnit[32 + 5] = 1;
  for (const Datagram& datagram : {frames[0], frames[1], frames[2], otherCount, oneUnit, frames[3], frames[4]}) {
    m_receiver.Feed(datagram);
  }
  EXPECT_EQ(QueuedSampleIds(), (std::vector<std::uint32_t>{1}));
  const auto statistics = m_receiver.GetReceptionStatistics();
  EXPECT_EQ(statistics.completeSamples, 1u);
  EXPECT_EQ(statistics.incompleteSamples, 0u);
  EXPECT_EQ(statistics.junkMalformed, 2u);
}

// Every leader twice, once in mid-sample; a flood of trailers of samples
// never seen: every sample is published, none counted incomplete.
TEST_F(ReceiverHooks, RepeatedLeadersAndStrayTrailersLoseNoSample) {
  Send(7, {2, 3, 4, 5});  // under way at start: counting starts at the first leader
  Send(1, {1, 1, 2, 3, 4, 5});
  Send(2, {1, 2, 3, 1, 4, 5});
  for (std::uint32_t id = 100; id < 200; ++id) m_receiver.Feed(m_layout.BuildSample(id).back());
  SendWhole(3);
  EXPECT_EQ(QueuedSampleIds(), (std::vector<std::uint32_t>{1, 2, 3}));
  const auto statistics = m_receiver.GetReceptionStatistics();
  EXPECT_EQ(statistics.completeSamples, 3u);
  EXPECT_EQ(statistics.incompleteSamples, 0u);
  EXPECT_EQ(statistics.framesMissing, 0u);
  EXPECT_EQ(statistics.duplicateLeaders, 2u);
  EXPECT_EQ(statistics.junkMalformed, 100u) << "the stray trailers";

  Send(4, {2, 3, 4, 5});  // a sample whose leader was lost is still a loss
  EXPECT_EQ(m_receiver.GetReceptionStatistics().incompleteSamples, 1u);
}

TEST_F(ReceiverHooks, LeaderOfAnotherImageSizeIsNotPublished) {
  const auto taller = Layout(kWidth, kHeight + 1);
  for (const auto& frame : taller.BuildSample(1)) m_receiver.Feed(frame);
  EXPECT_TRUE(QueuedSampleIds().empty());
  EXPECT_EQ(m_log.Count(ERROR_LOG_LEVEL,
                        "Leader of sample 1 announces 10100 pixels, not the 100 x 100 = 10000 pixels of the "
                        "configured image; sample not published"),
            1);
  EXPECT_EQ(m_log.Count(ERROR_LOG_LEVEL, "Payload frame"), 0);  // the leader's message covers them
  SendWhole(2);
  EXPECT_EQ(QueuedSampleIds(), (std::vector<std::uint32_t>{2}));
}

TEST_F(ReceiverHooks, FullRingDropsFurtherImagesButStillNotifies) {
  for (std::uint32_t id = 1; id <= 6; ++id) SendWhole(id);
  EXPECT_TRUE(LumoSender::new_data);
  EXPECT_EQ(m_log.Count(INFO_LOG_LEVEL, "Activating trigger for LUMO sender ..."), 6);
  EXPECT_EQ(QueuedSampleIds(), (std::vector<std::uint32_t>{1, 2, 3, 4, 5}));
}

// With the sender stalled, every image beyond the ring's five is counted,
// and a burst of them gives one WARN.
TEST_F(ReceiverHooks, RingFullDropsAreCountedAndWarnedAtMostOncePerTenSeconds) {
  for (std::uint32_t id = 1; id <= 13; ++id) SendWhole(id);
  EXPECT_EQ(m_receiver.GetRingDrops(), 8u);
  EXPECT_EQ(m_log.Count(log4cplus::WARN_LOG_LEVEL, "Hand-over ring to the LUMO sender full"), 1);
  EXPECT_EQ(m_log.Count(log4cplus::WARN_LOG_LEVEL,
                        "1 complete image(s) dropped since the last such message (the last: sample 6)"),
            1);
  EXPECT_EQ(QueuedSampleIds(), (std::vector<std::uint32_t>{1, 2, 3, 4, 5}));
}

TEST(ImageGeometry, EmptyOrOversizeImagesAreRefused) {
  EXPECT_EQ(LumoImage(0, 5, 2).GetSize(), 0);
  EXPECT_EQ(LumoImage(1024, 768, 2).GetSize(), 1572864);
  EXPECT_THROW(LumoImage(-1, 5, 2), std::invalid_argument);
  EXPECT_THROW(LumoImage(65536, 65536, 1), std::invalid_argument);
  EXPECT_THROW(LumoImage(INT_MAX, 1, 2), std::invalid_argument);

  EXPECT_THROW(FedReceiver(0, 10), std::invalid_argument);
  EXPECT_THROW(Vexa2LumoReceiver("127.0.0.1", 5000, "", 10, 10, 0), std::invalid_argument);
  EXPECT_THROW(FedReceiver(65536, 65536), std::invalid_argument);
}

}  // namespace
