// Fault injection, checked on the plans and datagrams alone, without sockets.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "korv/fnd/datatype/DataType.hpp"
#include "plexoif/plexoPacket.hpp"
#include "sorelif/sorelPackets.hpp"
#include "vexasim/FrameScheduler.hpp"
#include "vexasim/StreamSender.hpp"

namespace {

using namespace korv::vexasim;
using Kind = DatagramKind;

std::vector<PlannedDatagram> Plan(FrameScheduler& scheduler, std::uint64_t index, std::uint32_t sampleId,
                                  FaultCounters* faults = nullptr) {
  std::vector<PlannedDatagram> plan{{Kind::JunkLong, 99, 99}};  // PlanSample must replace, not append
  const FaultCounters counted = scheduler.PlanSample(index, sampleId, plan);
  if (faults != nullptr) *faults = counted;
  return plan;
}

std::vector<std::uint16_t> FrameIds(const std::vector<PlannedDatagram>& plan) {
  std::vector<std::uint16_t> ids;
  for (const auto& datagram : plan) ids.push_back(datagram.frameId);
  return ids;
}

TEST(FrameScheduler, WithoutFaultsSendsEveryFrameInOrder) {
  FrameScheduler scheduler(5, FaultSettings{});
  FaultCounters faults;
  const auto plan = Plan(scheduler, 0, 42, &faults);
  const std::vector<PlannedDatagram> expected{
      {Kind::Frame, 42, 1}, {Kind::Frame, 42, 2}, {Kind::Frame, 42, 3}, {Kind::Frame, 42, 4}, {Kind::Frame, 42, 5}};
  EXPECT_EQ(plan, expected);
  EXPECT_EQ(faults, FaultCounters{});
  EXPECT_THROW(FrameScheduler(2, FaultSettings{}), std::invalid_argument);
}

// "Every N" counts the samples of the run from 1: N = 2 hits the 2nd, 4th, ...
TEST(FrameScheduler, LeaderAndTrailerDropsHitEveryNthSample) {
  FaultSettings settings;
  settings.dropLeaderEvery = 2;
  settings.dropTrailerEvery = 3;
  FrameScheduler scheduler(4, settings);
  FaultCounters total;
  std::vector<std::vector<std::uint16_t>> sent;
  for (std::uint64_t index = 0; index < 6; ++index) {
    FaultCounters faults;
    sent.push_back(FrameIds(Plan(scheduler, index, 100 + static_cast<std::uint32_t>(index), &faults)));
    total += faults;
  }
  const std::vector<std::vector<std::uint16_t>> expected{
      {1, 2, 3, 4}, {2, 3, 4}, {1, 2, 3}, {2, 3, 4}, {1, 2, 3, 4}, {2, 3}};
  EXPECT_EQ(sent, expected);
  EXPECT_EQ(total.droppedLeaders, 3u);
  EXPECT_EQ(total.droppedTrailers, 2u);
  EXPECT_EQ(total.droppedPayloadFrames, 0u);
}

TEST(FrameScheduler, ExtraDatagramsFollowFrameTwoInOptionOrder) {
  FaultSettings settings;
  settings.duplicateEvery = 1;
  settings.foreignEvery = 1;
  settings.junkShortEvery = 1;
  settings.junkLongEvery = 1;
  settings.junkTruncatedEvery = 1;
  FrameScheduler scheduler(5, settings);
  FaultCounters faults;
  const auto plan = Plan(scheduler, 0, 7, &faults);
  const std::vector<PlannedDatagram> expected{
      {Kind::Frame, 7, 1},         {Kind::Frame, 7, 2},        {Kind::Frame, 7, 2},
      {Kind::Frame, ForeignSampleId(7), 2},                    {Kind::JunkShort, 7, 2},
      {Kind::JunkLong, 7, 2},      {Kind::JunkTruncated, 7, 2}, {Kind::Frame, 7, 3},
      {Kind::Frame, 7, 4},         {Kind::Frame, 7, 5}};
  EXPECT_EQ(plan, expected);
  EXPECT_EQ(faults.duplicatedFrames, 1u);
  EXPECT_EQ(faults.foreignFrames, 1u);
  EXPECT_EQ(faults.junkDatagrams, 3u);
  EXPECT_EQ(ForeignSampleId(7), 0x80000007u);
  EXPECT_EQ(ForeignSampleId(0x80000007u), 7u);
}

// A dropped frame 2 takes its duplicate with it; the foreign frame still comes.
TEST(FrameScheduler, EveryPayloadFrameDroppedWithProbabilityOne) {
  FaultSettings settings;
  settings.dropProbability = 1.0;
  settings.duplicateEvery = 1;
  settings.foreignEvery = 1;
  FrameScheduler scheduler(6, settings);
  FaultCounters faults;
  const auto plan = Plan(scheduler, 0, 3, &faults);
  const std::vector<PlannedDatagram> expected{
      {Kind::Frame, 3, 1}, {Kind::Frame, ForeignSampleId(3), 2}, {Kind::Frame, 3, 6}};
  EXPECT_EQ(plan, expected);
  EXPECT_EQ(faults.droppedPayloadFrames, 4u);
  EXPECT_EQ(faults.duplicatedFrames, 0u);
}

struct DropRun {
  std::vector<std::vector<std::uint16_t>> frames;
  std::uint64_t dropped = 0;
};

DropRun RunDrops(FaultSettings settings, std::uint16_t frameCount, std::uint64_t samples) {
  FrameScheduler scheduler(frameCount, settings);
  DropRun run;
  for (std::uint64_t index = 0; index < samples; ++index) {
    FaultCounters faults;
    auto ids = FrameIds(Plan(scheduler, index, static_cast<std::uint32_t>(index), &faults));
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());  // fold duplicates
    run.frames.push_back(ids);
    run.dropped += faults.droppedPayloadFrames;
  }
  return run;
}

TEST(FrameScheduler, RandomDropsAreRepeatableAndKeepLeadersAndTrailers) {
  FaultSettings settings;
  settings.dropProbability = 0.25;
  settings.seed = 7;
  const DropRun first = RunDrops(settings, 100, 200);
  EXPECT_EQ(RunDrops(settings, 100, 200).frames, first.frames);

  // About a quarter of the 19600 payload frames, and only payload frames.
  EXPECT_GT(first.dropped, 19600u * 20 / 100);
  EXPECT_LT(first.dropped, 19600u * 30 / 100);
  for (const auto& ids : first.frames) {
    ASSERT_FALSE(ids.empty());
    EXPECT_EQ(ids.front(), 1u);
    EXPECT_EQ(ids.back(), 100u);
  }

  // Other faults draw no random numbers, so they leave the drops alone.
  FaultSettings withDuplicates = settings;
  withDuplicates.duplicateEvery = 1;
  withDuplicates.dropLeaderEvery = 5;
  const DropRun other = RunDrops(withDuplicates, 100, 200);
  EXPECT_EQ(other.dropped, first.dropped);
  for (std::size_t i = 0; i < first.frames.size(); ++i) {
    auto expected = first.frames[i];
    if ((i + 1) % 5 == 0) expected.erase(expected.begin());
    EXPECT_EQ(other.frames[i], expected) << "sample " << i;
  }

  settings.seed = 8;
  EXPECT_NE(RunDrops(settings, 100, 200).frames, first.frames);
}

class Rendering : public ::testing::Test {
 protected:
  static SampleLayout Layout(int width, int height, int bytesPerPixel) {
    SampleLayout layout;
    layout.width = width;
    layout.height = height;
    layout.bytesPerPixel = bytesPerPixel;
    layout.dataType = korv::fnd::datatype::Int16;
    return layout;
  }

  std::vector<unsigned char> Render(const SampleFrames& frames, PlannedDatagram datagram) {
    std::vector<unsigned char> out(kMaxDatagramSize, 0x5A);
    out.resize(RenderDatagram(frames, datagram, out, 0.0));
    return out;
  }
};

TEST_F(Rendering, JunkDatagramsHaveTheAdvertisedShapes) {
  const SampleFrames frames(Layout(1024, 768, 2));
  const auto frameTwo = Render(frames, {Kind::Frame, 5, 2});

  const auto shortJunk = Render(frames, {Kind::JunkShort, 5, 2});
  ASSERT_EQ(shortJunk.size(), kJunkShortSize);
  EXPECT_LT(shortJunk.size(), plexoif::kPlexoHeaderSize);
  EXPECT_TRUE(std::equal(shortJunk.begin(), shortJunk.end(), frameTwo.begin()));

  const auto longJunk = Render(frames, {Kind::JunkLong, 5, 2});
  ASSERT_EQ(longJunk.size(), kJunkLongSize);
  EXPECT_THROW(plexoif::plexoPacketJumbo(longJunk.data(), longJunk.size()), std::overflow_error);

  const auto truncated = Render(frames, {Kind::JunkTruncated, 5, 2});
  ASSERT_EQ(truncated.size(), kJunkTruncatedSize);
  const plexoif::plexoPacketJumbo packet(truncated.data(), truncated.size());
  EXPECT_EQ(packet.GetSampleId(), 5u);
  EXPECT_EQ(packet.GetFrameId(), 2u);
  EXPECT_EQ(packet.GetPayloadSize(), 8940u);
  EXPECT_TRUE(std::equal(truncated.begin() + 32, truncated.end(), frameTwo.begin() + 32));
  // Its SOREL header still announces a full frame of data units.
  EXPECT_THROW(sorelif::sorelPayloadPacket(packet.GetPayload(), truncated.size() - 32, 2), std::length_error);
}

TEST_F(Rendering, TruncatedJunkOfATinySampleIsPaddedWithZeros) {
  const SampleFrames frames(Layout(1, 1, 1));  // frame 2 is 41 bytes
  const auto truncated = Render(frames, {Kind::JunkTruncated, 1, 2});
  ASSERT_EQ(truncated.size(), kJunkTruncatedSize);
  EXPECT_TRUE(std::all_of(truncated.begin() + 41, truncated.end(), [](unsigned char b) { return b == 0; }));
}

TEST_F(Rendering, ForeignFrameCarriesTheForeignSamplesPixels) {
  const SampleFrames frames(Layout(100, 100, 2));
  const std::uint32_t foreign = ForeignSampleId(12);
  const auto bytes = Render(frames, {Kind::Frame, foreign, 2});
  const plexoif::plexoPacketJumbo packet(bytes.data(), bytes.size());
  EXPECT_EQ(packet.GetSampleId(), foreign);
  const sorelif::sorelPayloadPacket payload(packet.GetPayload(), packet.GetPayloadSize(), 2);
  for (std::size_t i = 0; i < payload.GetDataSize(); i += 97) {
    EXPECT_EQ(payload.GetData()[i], PatternByte(foreign, i));
  }
}

TEST(SendPacer, SpreadsEachSamplesDatagramsOverItsPeriod) {
  const SendPacer pacer(100.0);  // 10 ms per sample
  ASSERT_TRUE(pacer.Paced());
  using std::chrono::nanoseconds;
  EXPECT_EQ(pacer.Offset(0, 0, 4), nanoseconds(0));
  EXPECT_EQ(pacer.Offset(0, 3, 4), nanoseconds(7'500'000));
  EXPECT_EQ(pacer.Offset(2, 1, 4), nanoseconds(22'500'000));
  // A long run does not drift: sample 10^6 starts at exactly 10^4 s.
  EXPECT_EQ(pacer.Offset(1'000'000, 0, 179), nanoseconds(10'000'000'000'000));
  EXPECT_FALSE(SendPacer(0.0).Paced());
}

}  // namespace
