#include <gtest/gtest.h>

#include <array>
#include <stdexcept>

#include "korv/fnd/datatype/DataType.hpp"
#include "sorelif/sorelPackets.hpp"

namespace {

using namespace sorelif;
namespace dt = korv::fnd::datatype;

TEST(SorelLeader, ParsesLegacyLeaderAndFrameInfo) {
  std::array<unsigned char, 64> buffer{};
  const auto info = MakeFrameInfo(sorelEndianness::Little, 5);
  ASSERT_EQ(EncodeLeader(buffer, info, 1048576), 8u);
  const sorelLeaderPacket leader(buffer.data(), 8);
  EXPECT_EQ(leader.GetPayloadDataUnits(), 1048576u);
  EXPECT_EQ(leader.getCommonHeaderFrameInfoPayloadEndianness(), 1);
  EXPECT_EQ(leader.getCommonHeaderFrameInfoSimSource(), 5);
  EXPECT_EQ(leader.getCommonHeaderExtensionLength(), 0u);
}

TEST(SorelLeader, RefusesMalformedLeadersWithTheirFailureKinds) {
  std::array<unsigned char, 64> buffer{};
  EncodeLeader(buffer, 0, 42);
  EXPECT_THROW(sorelLeaderPacket(buffer.data(), 7), std::invalid_argument);
  EXPECT_THROW(sorelLeaderPacket(buffer.data(), 0), std::invalid_argument);
  EXPECT_THROW(sorelLeaderPacket(nullptr, 8), std::invalid_argument);

  buffer[0] = 2;  // a payload packet where a leader belongs
  EXPECT_THROW(sorelLeaderPacket(buffer.data(), 8), std::invalid_argument);

  const BasicImageInfo image{1.5, dt::Int16, 640, 480, 1, 2};
  const std::size_t size = EncodeLeader(buffer, 0, 640 * 480, image);
  EXPECT_THROW(sorelLeaderPacket(buffer.data(), size), std::length_error);
}

TEST(SorelLeader, ExtendedLeaderGivesBasicImageInfo) {
  std::array<unsigned char, 64> buffer{};
  const BasicImageInfo image{1765000000.25, dt::Float, 640, -480, -3, 7};
  const std::size_t size = EncodeLeader(buffer, 0, 640 * 480, image);
  ASSERT_EQ(size, 36u);
  const sorelExtendedLeaderPacket leader(buffer.data(), size);
  const auto parsed = leader.GetBasicImageInfo();
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->timestamp, image.timestamp);
  EXPECT_EQ(parsed->dataType, image.dataType);
  EXPECT_EQ(parsed->width, 640);
  EXPECT_EQ(parsed->height, -480);
  EXPECT_EQ(parsed->offsetX, -3);
  EXPECT_EQ(parsed->offsetY, 7);

  // The extension must lie inside the bytes given; a legacy leader has no info.
  EXPECT_THROW(sorelExtendedLeaderPacket(buffer.data(), size - 1), std::length_error);
  EncodeLeader(buffer, 0, 10);
  EXPECT_FALSE(sorelExtendedLeaderPacket(buffer.data(), 8).GetBasicImageInfo().has_value());
}

TEST(SorelPayload, ChecksDataUnitsAgainstTheBytesGiven) {
  std::array<unsigned char, 8 + 20> buffer{};
  EncodePayloadHeader(buffer, 0, 10);
  const sorelPayloadPacket twoByte(buffer.data(), buffer.size(), 2);
  EXPECT_EQ(twoByte.GetDataUnits(), 10u);
  EXPECT_EQ(twoByte.GetDataSize(), 20u);
  EXPECT_EQ(twoByte.GetData(), buffer.data() + 8);

  EXPECT_THROW(sorelPayloadPacket(buffer.data(), buffer.size(), 4), std::length_error);
  EXPECT_THROW(sorelPayloadPacket(buffer.data(), buffer.size() - 1, 2), std::length_error);
  EXPECT_THROW(sorelPayloadPacket(buffer.data(), 7, 2), std::invalid_argument);
  // The check without exceptions agrees with the parser.
  EXPECT_EQ(CheckPayloadPacket(buffer.data(), buffer.size(), 2), sorelPayloadFault::None);
  EXPECT_EQ(CheckPayloadPacket(buffer.data(), buffer.size(), 4), sorelPayloadFault::DataTooLong);
  EXPECT_EQ(CheckPayloadPacket(buffer.data(), 7, 2), sorelPayloadFault::NotPayload);
  EncodeTrailer(buffer, 0);
  EXPECT_THROW(sorelPayloadPacket(buffer.data(), buffer.size(), 2), std::invalid_argument);
  EXPECT_EQ(CheckPayloadPacket(buffer.data(), buffer.size(), 2), sorelPayloadFault::NotPayload);
}

TEST(SorelBuilders, RefuseBuffersTooSmall) {
  std::array<unsigned char, 7> small{};
  EXPECT_THROW(EncodeLeader(small, 0, 1), std::length_error);
  EXPECT_THROW(EncodePayloadHeader(small, 0, 1), std::length_error);
  EXPECT_EQ(EncodeTrailer(small, 0), 4u);
}

TEST(DataType, ElementSizes) {
  EXPECT_EQ(dt::ElementSize(dt::Byte), 1);
  EXPECT_EQ(dt::ElementSize(dt::Char), 1);
  EXPECT_EQ(dt::ElementSize(dt::UInt16), 2);
  EXPECT_EQ(dt::ElementSize(dt::Float), 4);
  EXPECT_EQ(dt::ElementSize(dt::UInt64), 8);
  EXPECT_EQ(dt::ElementSize(dt::ComplexFloat), 0);
  EXPECT_EQ(dt::ElementSize(dt::String), 0);
  EXPECT_EQ(dt::ElementSize(dt::Invalid), 0);
}

}  // namespace
