// Sample assembly of the outside receiver, fed datagram by datagram.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "SampleAssembler.hpp"
#include "korv/fnd/BigEndian.hpp"
#include "plexoif/plexoPacket.hpp"
#include "vexasim/SampleFrames.hpp"

namespace {

namespace dt = korv::fnd::datatype;
using korv::vexalib::ExtendedInfoMode;
using korv::vexalib::detail::AssembledSample;
using korv::vexalib::detail::AssemblerSettings;
using korv::vexalib::detail::SampleAssembler;
using Frames = std::vector<std::vector<unsigned char>>;

korv::vexasim::SampleFrames MakeFrames(int width, int height, dt::DataType type, bool extended,
                                       std::size_t packetSize = korv::vexasim::kMaxFrameSize) {
  korv::vexasim::SampleLayout layout;
  layout.packetSize = packetSize;
  layout.width = width;
  layout.height = height;
  layout.bytesPerPixel = dt::ElementSize(type);
  layout.dataType = type;
  layout.extendedInfo = extended;
  return korv::vexasim::SampleFrames(layout);
}

std::vector<std::uint8_t> Pattern(std::uint32_t sampleId, std::uint64_t bytes) {
  std::vector<std::uint8_t> pattern(bytes);
  korv::vexasim::FillPattern(sampleId, 0, pattern.data(), pattern.size());
  return pattern;
}

// An assembler with a bounded number of sample objects, like the receiver.
struct Assembler {
  explicit Assembler(AssemblerSettings settings, int slots = 2)
      : freeSlots(slots), assembler(settings, [this]() -> std::unique_ptr<AssembledSample> {
          if (freeSlots == 0) return nullptr;
          --freeSlots;
          return std::make_unique<AssembledSample>();
        }) {}

  // Feeds the frames; collects what completes.
  void Feed(const Frames& frames) {
    for (const auto& frame : frames) FeedOne(frame);
  }
  void FeedOne(std::span<const unsigned char> datagram) {
    if (auto sample = assembler.Feed(datagram)) {
      completed.push_back(std::move(sample));
      ++freeSlots;  // handed back at once, as after a delivery
    }
  }

  int freeSlots;
  SampleAssembler assembler;
  std::vector<std::unique_ptr<AssembledSample>> completed;
};

AssemblerSettings Settings(dt::DataType type = dt::Int16, ExtendedInfoMode mode = ExtendedInfoMode::Enabled) {
  AssemblerSettings settings;
  settings.dataType = type;
  settings.extendedInfoMode = mode;
  return settings;
}

TEST(SampleAssembler, LegacyAndExtendedLeadersGiveBitExactSamplesWithTheirInfo) {
  struct Case {
    bool extendedLeader;
    ExtendedInfoMode mode;
    bool infoExpected;
  };
  for (const Case c : {Case{false, ExtendedInfoMode::Enabled, false}, Case{true, ExtendedInfoMode::Enabled, true},
                       Case{true, ExtendedInfoMode::Disabled, false}}) {
    SCOPED_TRACE(testing::Message() << "extended " << c.extendedLeader << " mode " << int(c.mode));
    const auto frames = MakeFrames(300, 40, dt::Int16, c.extendedLeader);
    Assembler a(Settings(dt::Int16, c.mode));
    a.Feed(frames.BuildSample(7, 1700000000.25));
    ASSERT_EQ(a.completed.size(), 1u);
    const AssembledSample& sample = *a.completed[0];
    EXPECT_EQ(sample.sampleId, 7u);
    EXPECT_EQ(sample.payload, Pattern(7, 300 * 40 * 2));
    EXPECT_EQ(sample.info.payloadDataUnits, 300u * 40u);
    EXPECT_EQ(sample.info.IsAbsent(), !c.infoExpected);
    if (c.infoExpected) {
      EXPECT_EQ(sample.info.timestamp, 1700000000.25);
      EXPECT_EQ(sample.info.datatype, dt::Int16);
      EXPECT_EQ(sample.info.width, 300);
      EXPECT_EQ(sample.info.height, 40);
      EXPECT_EQ(sample.info.offsetX, 0);
      EXPECT_EQ(sample.info.offsetY, 0);
    }
  }
}

TEST(SampleAssembler, BasicImageInfoDataTypeDecidesTheBytesPerPixelOnlyWhenEnabled) {
  const auto frames = MakeFrames(100, 50, dt::Float, true);
  Assembler enabled(Settings(dt::Int16, ExtendedInfoMode::Enabled));
  enabled.Feed(frames.BuildSample(1, 1.0));
  ASSERT_EQ(enabled.completed.size(), 1u);
  EXPECT_EQ(enabled.completed[0]->payload, Pattern(1, 100 * 50 * 4));

  // Read as Int16 the frame count does not match: the leader is refused.
  Assembler disabled(Settings(dt::Int16, ExtendedInfoMode::Disabled));
  disabled.Feed(frames.BuildSample(1, 1.0));
  EXPECT_TRUE(disabled.completed.empty());
  EXPECT_EQ(disabled.assembler.SamplesIncomplete(), 1u);
}

TEST(SampleAssembler, LostRepeatedAndReorderedFrames) {
  const auto frames = MakeFrames(100, 100, dt::Int16, false);  // 5 frames
  const Frames s1 = frames.BuildSample(1), s2 = frames.BuildSample(2), s3 = frames.BuildSample(3),
               s4 = frames.BuildSample(4), s5 = frames.BuildSample(5);
  Assembler a(Settings());
  a.Feed({s1[0], s1[1], s1[3], s1[4]});                // payload frame lost: incomplete at the trailer
  a.Feed({s2[0], s2[1], s2[2], s2[3]});                // trailer lost: incomplete at the next leader
  a.Feed({s3[0], s3[3], s3[1], s3[2], s3[2], s3[4]});  // reordered and repeated: complete
  a.Feed({s4[1], s4[4]});                              // no leader: stray frames
  a.Feed({s5[0], s5[1], s5[2], s5[3], s5[4], s5[4]});  // complete; the repeated trailer is stray
  ASSERT_EQ(a.completed.size(), 2u);
  EXPECT_EQ(a.completed[0]->sampleId, 3u);
  EXPECT_EQ(a.completed[0]->payload, Pattern(3, 20000));
  EXPECT_EQ(a.completed[1]->sampleId, 5u);
  EXPECT_EQ(a.assembler.SamplesIncomplete(), 2u);
  EXPECT_EQ(a.assembler.FramesStray(), 4u);
  EXPECT_EQ(a.assembler.FramesRejected(), 0u);
}

// Frames for an MTU of 1500 (and the smallest ones) assemble as jumbo ones,
// in any order: the first payload frame to arrive, full or last, tells the
// split. A frame whose data units contradict it is rejected.
TEST(SampleAssembler, SmallerFramesAssembleBitExactInAnyOrder) {
  for (const std::size_t packetSize : {std::size_t{1472}, std::size_t{64}}) {
    const auto frames = MakeFrames(100, 100, dt::Int16, packetSize > 64, packetSize);  // 68-byte extended leaders
    const Frames s1 = frames.BuildSample(1);
    Frames s2 = frames.BuildSample(2);
    std::swap(s2[1], s2[s2.size() - 2]);  // the short last payload frame first
    std::mt19937 random(7);
    Frames s3 = frames.BuildSample(3);
    std::shuffle(s3.begin() + 1, s3.end() - 1, random);
    Assembler a(Settings());
    a.Feed(s1);
    a.Feed(s2);
    a.Feed(s3);
    ASSERT_EQ(a.completed.size(), 3u) << packetSize;
    for (std::uint32_t i = 0; i < 3; ++i) EXPECT_EQ(a.completed[i]->payload, Pattern(i + 1, 20000)) << packetSize;
    EXPECT_EQ(a.assembler.FramesRejected(), 0u);
  }
  // Frame 2 cut to 700 of its 716 data units: 14 frames of 700 cannot hold
  // the 10000 units the frame count announces, so it is rejected, sets
  // nothing, and the sample completes with the real frame 2.
  const auto small = MakeFrames(100, 100, dt::Int16, false, 1472).BuildSample(4);
  std::vector<unsigned char> cut(small[1].begin(), small[1].begin() + 32 + 8 + 1400);
  korv::fnd::StoreBig<std::uint16_t>(cut.data() + plexoif::kPayloadSizeOffset, 8 + 1400);
  korv::fnd::StoreBig<std::uint16_t>(cut.data() + 32 + 4, 700);
  Assembler mixed(Settings());
  mixed.Feed({small[0], cut});
  mixed.Feed(Frames(small.begin() + 1, small.end()));
  ASSERT_EQ(mixed.completed.size(), 1u);
  EXPECT_EQ(mixed.completed[0]->payload, Pattern(4, 20000));
  EXPECT_EQ(mixed.assembler.FramesRejected(), 1u);
}

TEST(SampleAssembler, LeadersThatCannotBeHonouredAreRefusedAndCounted) {
  auto frames = MakeFrames(100, 100, dt::Int16, false);
  Frames sample = frames.BuildSample(1);

  AssemblerSettings small = Settings();
  small.maxSampleBytes = 19999;  // one byte less than the sample
  Assembler tooLarge(small);
  tooLarge.Feed(sample);
  EXPECT_TRUE(tooLarge.completed.empty());
  EXPECT_EQ(tooLarge.assembler.SamplesIncomplete(), 1u);

  Assembler unknownType(Settings(dt::Bool));  // no bytes per pixel
  unknownType.Feed(sample);
  EXPECT_TRUE(unknownType.completed.empty());
  EXPECT_EQ(unknownType.assembler.SamplesIncomplete(), 1u);

  // A leader announcing four billion pixels in 5 frames.
  Frames huge = sample;
  huge[0][32 + 4] = huge[0][32 + 5] = huge[0][32 + 6] = huge[0][32 + 7] = 0xFF;
  Assembler lying(Settings());
  lying.Feed(huge);
  EXPECT_TRUE(lying.completed.empty());
  EXPECT_EQ(lying.assembler.SamplesIncomplete(), 1u);
}

// One 40-byte leader announcing 256 MiB commits no memory; payload frames
// commit what they carry; the next, small sample frees the large buffer.
TEST(SampleAssembler, MemoryIsCommittedByFramesAndGivenBackAfterAnOversizedSample) {
  AssembledSample* slot = nullptr;
  SampleAssembler assembler(Settings(), [&slot]() {
    auto sample = std::make_unique<AssembledSample>();
    slot = sample.get();
    return sample;
  });
  const auto oversized = MakeFrames(16384, 8192, dt::Int16, false);  // 256 MiB in 30056 frames
  std::vector<unsigned char> frame(korv::vexasim::kMaxFrameSize);
  assembler.Feed(std::span(frame.data(), oversized.BuildFrame(1, 1, frame)));
  ASSERT_NE(slot, nullptr);
  EXPECT_EQ(slot->payload.size(), 0u) << "nothing committed at the leader";
  assembler.Feed(std::span(frame.data(), oversized.BuildFrame(1, 2, frame)));
  EXPECT_EQ(slot->payload.size(), oversized.UnitsPerFrame() * 2u);

  const auto small = MakeFrames(100, 100, dt::Int16, false);
  std::unique_ptr<AssembledSample> done;
  for (const auto& datagram : small.BuildSample(2)) {
    if (auto sample = assembler.Feed(datagram)) done = std::move(sample);
  }
  ASSERT_NE(done, nullptr);
  EXPECT_EQ(done->payload, Pattern(2, 20000));
  EXPECT_LT(done->payload.capacity(), 1u << 20) << "the 256 MiB buffer went back";
  EXPECT_EQ(assembler.SamplesIncomplete(), 1u);
}

TEST(SampleAssembler, WithNoFreeSampleTheSampleIsDroppedAndAssemblyGoesOn) {
  const auto frames = MakeFrames(100, 100, dt::Int16, false);
  Assembler a(Settings(), 0);
  a.Feed(frames.BuildSample(1));
  EXPECT_TRUE(a.completed.empty());
  EXPECT_EQ(a.assembler.SamplesWithoutSlot(), 1u);
  a.freeSlots = 1;
  a.Feed(frames.BuildSample(2));
  ASSERT_EQ(a.completed.size(), 1u);
  EXPECT_EQ(a.completed[0]->sampleId, 2u);
}

TEST(SampleAssembler, MalformedDatagramsAreRejected) {
  const auto frames = MakeFrames(100, 100, dt::Int16, true);
  const Frames sample = frames.BuildSample(9, 5.0);
  auto withHeader = [&](const std::vector<unsigned char>& frame, std::uint16_t frameId, std::uint16_t frameCount,
                        std::uint16_t payloadSize) {
    std::vector<unsigned char> copy = frame;
    frames.WriteHeader(copy.data(), 9, frameId, frameCount, payloadSize);
    return copy;
  };
  Assembler a(Settings());
  const std::vector<std::vector<unsigned char>> junk = {
      {},
      std::vector<unsigned char>(31, 0),
      std::vector<unsigned char>(9000, 0),                       // longer than any frame
      withHeader(sample[1], 2, 5, 9000),                         // payload size beyond the bytes received
      withHeader(sample[1], 0, 5, 8008),                         // frame id 0
      withHeader(sample[1], 6, 5, 8008),                         // frame id beyond the count
      withHeader(sample[1], 1, 1, 8008),                         // a one-frame sample
      withHeader(sample[0], 1, 5, 7),                            // leader shorter than 8 bytes
      withHeader(sample[0], 1, 5, 20),                           // extension longer than the packet
  };
  for (const auto& datagram : junk) a.FeedOne(datagram);
  EXPECT_EQ(a.assembler.FramesRejected(), junk.size());

  // Within a sample: a payload frame that announces more units than it holds,
  // or fewer than its position needs, and a trailer of the wrong type.
  a.FeedOne(sample[0]);
  std::vector<unsigned char> shortUnits = sample[1];
  shortUnits[32 + 5] -= 1;
  a.FeedOne(shortUnits);
  std::vector<unsigned char> moreUnits = sample[1];
  moreUnits[32 + 4] = 0xFF;
  a.FeedOne(moreUnits);
  std::vector<unsigned char> badTrailer = sample[4];
  badTrailer[32] = 2;
  a.FeedOne(badTrailer);
  EXPECT_EQ(a.assembler.FramesRejected(), junk.size() + 3);
  a.Feed({sample[1], sample[2], sample[3], sample[4]});
  ASSERT_EQ(a.completed.size(), 1u);
  EXPECT_EQ(a.completed[0]->info.timestamp, 5.0);
}

// Junk leader frames amid a sample (another packet type, an extension past
// the payload, too short for a leader) are refused without abandoning it.
TEST(SampleAssembler, MalformedLeadersLeaveTheSampleBeingAssembled) {
  const auto frames = MakeFrames(100, 100, dt::Int16, true);
  const Frames sample = frames.BuildSample(9, 5.0);
  Assembler a(Settings());
  auto junkLeader = [&](std::uint32_t sampleId, std::size_t payloadSize, unsigned char type, std::uint16_t extension) {
    std::vector<unsigned char> junk(32 + payloadSize, 0);
    frames.WriteHeader(junk.data(), sampleId, 1, 5, static_cast<std::uint16_t>(payloadSize));
    junk[32] = type;
    if (payloadSize >= 4) junk[34] = static_cast<unsigned char>(extension >> 8), junk[35] = static_cast<unsigned char>(extension);
    return junk;
  };
  a.Feed({sample[0], sample[1]});
  a.FeedOne(junkLeader(77, 40, 2, 0));
  a.FeedOne(junkLeader(9, 40, 1, 200));
  a.Feed({sample[2], sample[3]});
  a.FeedOne(junkLeader(78, 5, 1, 0));
  a.FeedOne(sample[4]);
  ASSERT_EQ(a.completed.size(), 1u);
  EXPECT_EQ(a.completed[0]->payload, Pattern(9, 20000));
  EXPECT_EQ(a.assembler.FramesRejected(), 3u);
}

// Random datagrams and randomly damaged frames: nothing crashes (the
// sanitizer builds check every access), and a clean sample afterwards is
// assembled as usual.
TEST(SampleAssembler, SurvivesHostileDatagrams) {
  const auto frames = MakeFrames(100, 100, dt::Int16, true);
  const Frames sample = frames.BuildSample(3, 2.0);
  std::mt19937 random(20240611);
  Assembler a(Settings());
  for (int i = 0; i < 20000; ++i) {
    std::vector<unsigned char> datagram;
    if (i % 3 == 0) {
      datagram.resize(random() % 9100);
      for (auto& byte : datagram) byte = static_cast<unsigned char>(random());
    } else {
      datagram = sample[random() % sample.size()];
      const int flips = 1 + static_cast<int>(random() % 4);
      for (int f = 0; f < flips; ++f) {
        // Mostly in the headers, where the lengths and ids are.
        const std::size_t limit = random() % 2 ? std::min<std::size_t>(datagram.size(), 80) : datagram.size();
        datagram[random() % limit] ^= static_cast<unsigned char>(1u << (random() % 8));
      }
      if (random() % 8 == 0) datagram.resize(random() % (datagram.size() + 1));
    }
    a.FeedOne(datagram);
  }
  for (const auto& done : a.completed) {
    const int infoSize = dt::ElementSize(done->info.datatype);
    EXPECT_EQ(done->payload.size(), done->info.payloadDataUnits * std::size_t(infoSize > 0 ? infoSize : 2));
  }
  a.completed.clear();
  a.Feed(frames.BuildSample(4, 2.0));
  ASSERT_EQ(a.completed.size(), 1u);
  EXPECT_EQ(a.completed[0]->payload, Pattern(4, 20000));
}

}  // namespace
