#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <vector>

#include "plexoif/plexoPacket.hpp"

namespace {

using plexoif::plexoPacketJumbo;

std::vector<unsigned char> Frame(std::size_t size, std::uint16_t frameId, std::uint16_t frameCount,
                                 std::uint16_t payloadSize) {
  std::vector<unsigned char> bytes(size, 0xAB);
  plexoif::PlexoHeaderFields fields;
  fields.topicId = 0x01020304;
  fields.componentId = 0x0506;
  fields.version = 0x0708;
  fields.sampleId = 0xA1B2C3D4;
  fields.frameId = frameId;
  fields.frameCount = frameCount;
  fields.payloadSize = payloadSize;
  plexoif::EncodePlexoHeader(bytes.data(), fields);
  return bytes;
}

TEST(PlexoPacket, DecodesBigEndianHeaderFields) {
  auto bytes = Frame(100, 3, 9, 68);
  // Uninterpreted bytes must not change anything.
  std::memset(bytes.data() + 6, 0xFF, 4);
  std::memset(bytes.data() + 16, 0xFF, 8);
  std::memset(bytes.data() + 30, 0xFF, 2);
  const plexoPacketJumbo packet(bytes.data(), bytes.size());
  EXPECT_EQ(packet.GetTopicId(), 0x01020304u);
  EXPECT_EQ(packet.GetComponentId(), 0x0506u);
  EXPECT_EQ(packet.GetVersion(), 0x0708u);
  EXPECT_EQ(packet.GetSampleId(), 0xA1B2C3D4u);
  EXPECT_EQ(packet.GetFrameId(), 3u);
  EXPECT_EQ(packet.GetFrameCount(), 9u);
  EXPECT_EQ(packet.GetPayloadSize(), 68u);
  EXPECT_EQ(packet.GetPayload(), packet.GetData() + 32);
  EXPECT_EQ(packet.GetPayload()[0], 0xAB);
}

TEST(PlexoPacket, AcceptsUpTo8972BytesAndRefusesMore) {
  const auto largest = Frame(8972, 2, 3, 8940);
  const plexoPacketJumbo packet(largest.data(), largest.size());
  EXPECT_EQ(packet.GetPayload()[8939], 0xAB);

  const auto oversize = Frame(8973, 2, 3, 8940);
  try {
    plexoPacketJumbo refused(oversize.data(), oversize.size());
    FAIL() << "an 8973-byte datagram was accepted";
  } catch (const std::overflow_error& error) {
    EXPECT_STREQ(error.what(), "Input data too large for PLEXO packet");
  }
}

TEST(PlexoPacket, CopyTakesAnnouncedPayloadPlusTwoAndNoMore) {
  auto bytes = Frame(8972, 2, 3, 10);
  for (std::size_t i = 32; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i);
  const plexoPacketJumbo original(bytes.data(), bytes.size());

  plexoPacketJumbo copy(Frame(8972, 0, 0, 0).data(), 8972);  // filled with 0xAB
  copy = original;
  EXPECT_EQ(0, std::memcmp(copy.GetData(), bytes.data(), 32 + 12));
  EXPECT_EQ(copy.GetPayload()[12], 0xAB) << "copied past payloadSize + 2";
}

TEST(PlexoPacket, CopyOfHostilePayloadSizeStaysInsideThePayloadArea) {
  // 0xFFFF + 2 wraps to 1 in 16 bits; 8939 + 2 is clamped to the 8940-byte area.
  for (std::uint16_t announced : {std::uint16_t{0xFFFF}, std::uint16_t{8939}, std::uint16_t{60000}}) {
    const auto bytes = Frame(8972, 2, 3, announced);
    const plexoPacketJumbo original(bytes.data(), bytes.size());
    const plexoPacketJumbo copy(original);  // ASan reports any overrun here
    EXPECT_EQ(copy.GetPayloadSize(), announced);
  }
}

TEST(PlexoPacket, ClassifiesByFrameIdAndFrameCount) {
  // Raw header bytes: 00 01 is a leader even when the count is 1; 00 05 / 00 05 is a trailer.
  const auto leader = Frame(40, 1, 1, 8);
  const auto trailer = Frame(40, 5, 5, 4);
  const plexoPacketJumbo leaderPacket(leader.data(), leader.size());
  const plexoPacketJumbo trailerPacket(trailer.data(), trailer.size());
  EXPECT_EQ(leader[24], 0x00);
  EXPECT_EQ(leader[25], 0x01);
  EXPECT_EQ(leaderPacket.GetFrameId(), leaderPacket.GetFrameCount());
  EXPECT_EQ(trailerPacket.GetFrameId(), 5u);
  EXPECT_EQ(trailerPacket.GetFrameCount(), 5u);
}

}  // namespace
