// The frame layout of a sample: how many frames, how the data units are
// split, and that leader, payload frames and trailer parse back.
#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "korv/fnd/datatype/DataType.hpp"
#include "plexoif/plexoPacket.hpp"
#include "sorelif/sorelPackets.hpp"
#include "vexasim/SampleFrames.hpp"

namespace {

using korv::vexasim::PatternByte;
using korv::vexasim::SampleFrames;
using korv::vexasim::SampleLayout;
namespace dt = korv::fnd::datatype;

SampleLayout Layout(int width, int height, dt::DataType type, bool extended = false) {
  SampleLayout layout;
  layout.width = width;
  layout.height = height;
  layout.dataType = type;
  layout.bytesPerPixel = dt::ElementSize(type);
  layout.extendedInfo = extended;
  return layout;
}

struct Geometry {
  int width;
  int height;
  dt::DataType type;
  unsigned expectedFrames;  // worked out by hand from the split rule
};

class FrameLayout : public ::testing::TestWithParam<Geometry> {};

// Every payload frame but the last carries floor(8932 / B) data units, the
// last the rest; so frameCount = 2 + ceil(S / (floor(8932 / B) * B)).
TEST_P(FrameLayout, FrameCountAndDataUnitSplitFollowTheRule) {
  const Geometry g = GetParam();
  const SampleFrames frames(Layout(g.width, g.height, g.type));
  const std::uint64_t bytesPerPixel = dt::ElementSize(g.type);
  const std::uint64_t sampleBytes = std::uint64_t(g.width) * g.height * bytesPerPixel;
  const std::uint64_t bytesPerFrame = (8932 / bytesPerPixel) * bytesPerPixel;
  EXPECT_EQ(frames.FrameCount(), g.expectedFrames);
  EXPECT_EQ(frames.FrameCount(), 2 + (sampleBytes + bytesPerFrame - 1) / bytesPerFrame);
  EXPECT_EQ(frames.SampleBytes(), sampleBytes);

  std::uint64_t units = 0;
  for (std::uint16_t frameId = 2; frameId < frames.FrameCount(); ++frameId) {
    const std::uint32_t inFrame = frames.UnitsInFrame(frameId);
    if (frameId + 1 < frames.FrameCount()) {
      EXPECT_EQ(inFrame, 8932 / bytesPerPixel) << "frame " << frameId;
    } else {
      EXPECT_GE(inFrame, 1u);
      EXPECT_LE(inFrame, 8932 / bytesPerPixel);
    }
    units += inFrame;
  }
  EXPECT_EQ(units, std::uint64_t(g.width) * g.height);
}

INSTANTIATE_TEST_SUITE_P(
    Geometries, FrameLayout,
    ::testing::Values(Geometry{1024, 768, dt::Int16, 179},   // 1572864 / 8932 = 176.09
                      Geometry{1, 1, dt::Byte, 3},           // one byte still needs a payload frame
                      Geometry{4466, 1, dt::Int16, 3},       // exactly one full payload frame
                      Geometry{4467, 1, dt::UInt16, 4},      // one unit more spills into a second
                      Geometry{2233, 2, dt::Float, 4},       // 8932 bytes per frame, exactly two
                      Geometry{640, 480, dt::Double, 278},   // 1116 units (8928 bytes) per frame: 275.3
                      Geometry{8932, 3, dt::Char, 5},
                      Geometry{100, 100, dt::UInt64, 11}),   // 10000 / 1116 = 8.96
    [](const ::testing::TestParamInfo<Geometry>& info) {
      return std::to_string(info.param.width) + "x" + std::to_string(info.param.height) + "x" +
             std::to_string(dt::ElementSize(info.param.type)) + "B";
    });

TEST(SampleFrames, RefusesGeometriesItCannotSend) {
  EXPECT_THROW(SampleFrames(Layout(0, 10, dt::Int16)), std::invalid_argument);
  EXPECT_THROW(SampleFrames(Layout(10, -1, dt::Int16)), std::invalid_argument);
  EXPECT_THROW(SampleFrames(Layout(10, 10, dt::Bool)), std::invalid_argument);  // no element size
  // 65534 payload frames of 8932 bytes would need 65536 frames in all.
  EXPECT_THROW(SampleFrames(Layout(8932, 65534, dt::Byte)), std::invalid_argument);
  EXPECT_NO_THROW(SampleFrames(Layout(8932, 65533, dt::Byte)));
}

// A smaller packet size only shrinks the payload frames: every full one
// fills the packet to the last whole pixel, and leader and trailer stay as
// they are. 1472 bytes is the UDP payload of one unfragmented packet at MTU 1500.
TEST(SampleFrames, PacketSizeBoundsEveryDatagram) {
  struct Case {
    std::size_t packetSize;
    dt::DataType type;
    std::uint32_t unitsPerFrame;  // (packetSize - 40) / B
    unsigned frames;
  };
  for (const Case c : {Case{1472, dt::Int16, 716, 1101},   // 786432 / 716 = 1098.4
                       Case{64, dt::Double, 3, 2 + 262144}, // too many frames: refused below
                       Case{64, dt::Byte, 24, 2 + 32768},
                       Case{1000, dt::Float, 240, 2 + 3277}}) {
    SampleLayout layout = Layout(1024, 768, c.type);
    layout.packetSize = c.packetSize;
    if (c.frames > 65535) {
      EXPECT_THROW(SampleFrames{layout}, std::invalid_argument) << c.packetSize;
      continue;
    }
    const SampleFrames frames(layout);
    EXPECT_EQ(frames.UnitsPerFrame(), c.unitsPerFrame) << c.packetSize;
    EXPECT_EQ(frames.FrameCount(), c.frames) << c.packetSize;
  }

  SampleLayout small = Layout(50, 3, dt::Double);
  small.packetSize = 64;
  const SampleFrames frames(small);
  const std::uint32_t sampleId = 77;
  const auto sample = frames.BuildSample(sampleId);
  ASSERT_EQ(sample.size(), 2u + 50u);  // 150 pixels, 3 per frame
  std::vector<unsigned char> pixels;
  for (std::size_t i = 1; i + 1 < sample.size(); ++i) {
    ASSERT_EQ(sample[i].size(), 64u) << "frame " << i + 1;
    const plexoif::plexoPacketJumbo packet(sample[i].data(), sample[i].size());
    const sorelif::sorelPayloadPacket payload(packet.GetPayload(), packet.GetPayloadSize(), 8);
    pixels.insert(pixels.end(), payload.GetData(), payload.GetData() + payload.GetDataSize());
  }
  ASSERT_EQ(pixels.size(), 150u * 8u);
  for (std::size_t i = 0; i < pixels.size(); ++i) ASSERT_EQ(pixels[i], PatternByte(sampleId, i)) << "byte " << i;
}

TEST(SampleFrames, RefusesPacketSizesOutOfRangeOrTooSmallForTheLeader) {
  for (const std::size_t size : {std::size_t{0}, std::size_t{63}, std::size_t{8973}}) {
    SampleLayout layout = Layout(10, 10, dt::Int16);
    layout.packetSize = size;
    EXPECT_THROW(SampleFrames{layout}, std::invalid_argument) << size;
  }
  // A leader with the Basic Image Info takes 68 bytes.
  SampleLayout extended = Layout(10, 10, dt::Int16, true);
  extended.packetSize = 67;
  EXPECT_THROW(SampleFrames{extended}, std::invalid_argument);
  extended.packetSize = 68;
  EXPECT_NO_THROW(SampleFrames{extended});
}

// Builds a sample and reads it back with the PLEXO and SOREL parsers only.
TEST(SampleFrames, FramesParseBackToTheSampleAndItsPattern) {
  const SampleFrames frames(Layout(300, 70, dt::Int32));
  const std::uint32_t sampleId = 0xFFFFFFFE;
  const auto sample = frames.BuildSample(sampleId);
  ASSERT_EQ(sample.size(), frames.FrameCount());

  std::vector<unsigned char> pixels;
  for (std::size_t i = 0; i < sample.size(); ++i) {
    const plexoif::plexoPacketJumbo packet(sample[i].data(), sample[i].size());
    EXPECT_EQ(packet.GetSampleId(), sampleId);
    EXPECT_EQ(packet.GetFrameId(), i + 1);
    EXPECT_EQ(packet.GetFrameCount(), sample.size());
    ASSERT_EQ(packet.GetPayloadSize() + plexoif::kPlexoHeaderSize, sample[i].size());
    if (i == 0) {
      const sorelif::sorelLeaderPacket leader(packet.GetPayload(), packet.GetPayloadSize());
      EXPECT_EQ(leader.GetPayloadDataUnits(), 300u * 70u);
      EXPECT_EQ(leader.getCommonHeaderFrameInfoSimSource(), 1);
    } else if (i + 1 == sample.size()) {
      const sorelif::sorelCommonPacket trailer(packet.GetPayload(), packet.GetPayloadSize());
      EXPECT_EQ(trailer.getCommonHeaderPacketType(), 3);
    } else {
      const sorelif::sorelPayloadPacket payload(packet.GetPayload(), packet.GetPayloadSize(), 4);
      EXPECT_EQ(payload.GetDataSize(), packet.GetPayloadSize() - sorelif::kPayloadHeaderSize);
      pixels.insert(pixels.end(), payload.GetData(), payload.GetData() + payload.GetDataSize());
    }
  }
  ASSERT_EQ(pixels.size(), 300u * 70u * 4u);
  for (std::size_t i = 0; i < pixels.size(); ++i) {
    ASSERT_EQ(pixels[i], PatternByte(sampleId, i)) << "byte " << i;
  }
}

TEST(SampleFrames, ExtendedLeaderCarriesBasicImageInfo) {
  const SampleFrames frames(Layout(640, 480, dt::Float, true));
  std::vector<unsigned char> buffer(korv::vexasim::kMaxFrameSize);
  const std::size_t size = frames.BuildFrame(9, 1, buffer, 1700000000.25);
  const plexoif::plexoPacketJumbo packet(buffer.data(), size);
  // The legacy parser refuses it; the extended one reads the geometry.
  EXPECT_THROW(sorelif::sorelLeaderPacket(packet.GetPayload(), packet.GetPayloadSize()), std::length_error);
  const sorelif::sorelExtendedLeaderPacket leader(packet.GetPayload(), packet.GetPayloadSize());
  const auto info = leader.GetBasicImageInfo();
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->timestamp, 1700000000.25);
  EXPECT_EQ(info->dataType, dt::Float);
  EXPECT_EQ(info->width, 640);
  EXPECT_EQ(info->height, 480);
  EXPECT_EQ(leader.GetPayloadDataUnits(), 640u * 480u);
}

// The block-wise fill must agree with the byte formula at any start offset,
// across 256-byte block edges and for the identifiers where 13 * id wraps.
TEST(SampleFrames, FillPatternMatchesPatternByte) {
  std::vector<unsigned char> out(1000);
  for (std::uint32_t sampleId : {0u, 1u, 19u, 255u, 0xFFFFFFFFu}) {
    for (std::uint64_t first : {0ull, 1ull, 255ull, 256ull, 8931ull, 0xFFFFFFF0ull}) {
      korv::vexasim::FillPattern(sampleId, first, out.data(), out.size());
      for (std::size_t i = 0; i < out.size(); ++i) {
        ASSERT_EQ(out[i], PatternByte(sampleId, first + i)) << "sample " << sampleId << " first " << first;
      }
    }
  }
  // A byte from the neighbouring sample never passes for the right one.
  for (std::uint64_t i = 0; i < 70000; i += 7) EXPECT_NE(PatternByte(41, i), PatternByte(42, i));
}

}  // namespace
