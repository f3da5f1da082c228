// ViewFrame: pixel kinds, the reduction of large images and the frame message.
#include <gtest/gtest.h>

#include <bit>

#include "TestImages.hpp"

namespace korv::vexatools::viewer::test {
namespace {

TEST(PixelKind, FollowsTheLumoTypeCodes) {
  EXPECT_EQ(PixelKindOf(lumo::kLumoUnsigned8, 1), PixelKind::UInt8);
  EXPECT_EQ(PixelKindOf(lumo::kLumoInteger, 1), PixelKind::UInt8);
  EXPECT_EQ(PixelKindOf(lumo::kLumoInteger, 2), PixelKind::UInt16);
  EXPECT_EQ(PixelKindOf(lumo::kLumoInteger, 4), PixelKind::Int32);
  EXPECT_EQ(PixelKindOf(lumo::kLumoInteger, 8), PixelKind::Int64);
  EXPECT_EQ(PixelKindOf(lumo::kLumoUnsigned32, 4), PixelKind::UInt32);
  EXPECT_EQ(PixelKindOf(lumo::kLumoFloat, 4), PixelKind::Float32);
  EXPECT_EQ(PixelKindOf(lumo::kLumoFloat, 8), PixelKind::Float64);
  for (const auto& [type, bytes] : std::vector<std::pair<int, int>>{
           {lumo::kLumoUnsigned8, 2}, {lumo::kLumoInteger, 3}, {lumo::kLumoInteger, 0}, {lumo::kLumoUnsigned32, 8},
           {lumo::kLumoFloat, 2}, {4, 4}, {-1, 1}})
    EXPECT_FALSE(PixelKindOf(type, bytes)) << type << " " << bytes;
}

TEST(Reduction, KeepsEveryViewWithinTheLimit) {
  EXPECT_EQ(ReductionStep(1024, 768, 2, kMaxViewBytes), 1);
  EXPECT_EQ(ReductionStep(2048, 1024, 1, kMaxViewBytes), 1);
  EXPECT_EQ(ReductionStep(4096, 4096, 2, kMaxViewBytes), 4);
  EXPECT_EQ(ReductionStep(1024, 768, 8, kMaxViewBytes), 2);
  EXPECT_EQ(ReductionStep(1, 1 << 26, 4, kMaxViewBytes), 1 << 7);  // a single column is reduced too
  for (const auto& [width, height, bytes] : std::vector<std::tuple<int, int, int>>{
           {5000, 3000, 2}, {4097, 4095, 4}, {20000, 20000, 8}, {1449, 725, 2}, {3, 100000000, 1}}) {
    const std::uint64_t step = ReductionStep(width, height, bytes, kMaxViewBytes);
    auto viewBytes = [&](std::uint64_t s) { return (width + s - 1) / s * ((height + s - 1) / s) * bytes; };
    EXPECT_LE(viewBytes(step), kMaxViewBytes) << width << "x" << height;
    if (step > 1) {
      EXPECT_GT(viewBytes(step - 1), kMaxViewBytes) << "not the smallest step for " << width << "x" << height;
    }
  }
}

TEST(ViewFrame, ReducedViewHoldsTrueFullResolutionPixels) {
  const int width = 2500, height = 1000;  // 5 MB of 16-bit pixels: step 2
  std::string problem;
  const auto frame = ViewFrame::Make(
      MakeImage("big", 9, ImageRecord(width, height, 2, lumo::kLumoInteger), NumberedPixels(width, height, 2)),
      kMaxViewBytes, problem);
  ASSERT_TRUE(frame) << problem;
  EXPECT_EQ(frame->step(), 2);
  EXPECT_EQ(frame->viewWidth(), 1250);
  EXPECT_EQ(frame->viewHeight(), 500);
  const auto view = frame->ViewPixels();
  ASSERT_EQ(view.size(), 1250u * 500u * 2u);
  for (const auto& [vx, vy] : std::vector<std::pair<int, int>>{{0, 0}, {1, 0}, {0, 1}, {1249, 499}, {600, 321}}) {
    const auto value = ReadLe(view.data() + (std::size_t(vy) * 1250 + vx) * 2, 2);
    EXPECT_EQ(value, std::uint16_t(2 * vx + 1000 * 2 * vy)) << vx << "," << vy;
  }
  // The value under the cursor comes from the full image, not from the view.
  EXPECT_EQ(ReadLe(frame->PixelBytes(2499, 999)->data(), 2), std::uint16_t(2499 + 999000));
  EXPECT_EQ(ReadLe(frame->PixelBytes(1, 1)->data(), 2), 1001u);
  EXPECT_FALSE(frame->PixelBytes(2500, 0));
  EXPECT_FALSE(frame->PixelBytes(0, -1));
}

TEST(ViewFrame, BigEndianPixelsArriveLittleEndian) {
  const std::vector<std::uint8_t> pixels{0x12, 0x34, 0x56, 0x78, 0x00, 0x01, 0xFF, 0xFE};  // two 32-bit pixels
  std::string problem;
  const auto frame =
      ViewFrame::Make(MakeImage("be", 1, ImageRecord(2, 1, 4, lumo::kLumoUnsigned32, false), pixels), kMaxViewBytes, problem);
  ASSERT_TRUE(frame) << problem;
  EXPECT_EQ(ReadLe(frame->ViewPixels().data(), 4), 0x12345678u);
  EXPECT_EQ(ReadLe(frame->ViewPixels().data() + 4, 4), 0x0001FFFEu);
  EXPECT_EQ(ReadLe(frame->PixelBytes(1, 0)->data(), 4), 0x0001FFFEu);
}

TEST(ViewFrame, RefusesWhatCannotBeShownAndSaysWhy) {
  std::string problem;
  EXPECT_FALSE(ViewFrame::Make(MakeImage("s", 1, ImageRecord(4, 4, 2, lumo::kLumoInteger), std::vector<std::uint8_t>(31)),
                               kMaxViewBytes, problem));
  EXPECT_NE(problem.find("does not match"), std::string::npos) << problem;
  EXPECT_FALSE(ViewFrame::Make(MakeImage("s", 1, ImageRecord(-4, -4, 2, lumo::kLumoInteger), std::vector<std::uint8_t>(32)),
                               kMaxViewBytes, problem));
  EXPECT_FALSE(ViewFrame::Make(MakeImage("s", 1, ImageRecord(2, 2, 3, lumo::kLumoInteger), std::vector<std::uint8_t>(12)),
                               kMaxViewBytes, problem));
  EXPECT_NE(problem.find("cannot be shown"), std::string::npos) << problem;
  // Width x height x bytes that overflow 32 bits must not wrap onto the data size.
  EXPECT_FALSE(ViewFrame::Make(MakeImage("s", 1, ImageRecord(65536, 65536, 1, 0), std::vector<std::uint8_t>(0)),
                               kMaxViewBytes, problem));
  // Nor 64 bits: (2147352580 x 1073807362 x 8) mod 2^64 is 64, yet no 64
  // bytes hold that image.
  EXPECT_FALSE(ViewFrame::Make(
      MakeImage("s", 1, ImageRecord(2147352580, 1073807362, 8, lumo::kLumoFloat), std::vector<std::uint8_t>(64)),
      kMaxViewBytes, problem));
  EXPECT_NE(problem.find("does not match"), std::string::npos) << problem;
  auto junk = MakeImage("s", 1, ImageRecord(1, 1, 1, 0), std::vector<std::uint8_t>(1));
  junk.metaData.resize(10);
  EXPECT_FALSE(ViewFrame::Make(junk, kMaxViewBytes, problem));
  EXPECT_NE(problem.find("meta-data"), std::string::npos) << problem;
}

TEST(ViewFrame, MessageCarriesHeaderAndPixels) {
  std::string problem;
  const auto frame = ViewFrame::Make(
      MakeImage("stream-α", 42, ImageRecord(3, 2, 4, lumo::kLumoFloat), NumberedPixels(3, 2, 4)), kMaxViewBytes, problem);
  ASSERT_TRUE(frame) << problem;
  const auto bytes = Bytes(ViewFrame::Message(frame));
  ASSERT_GE(bytes.size(), kFrameFixedHeaderSize);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "VXF1");
  const auto headerSize = ReadLe(&bytes[4], 2);
  EXPECT_EQ(headerSize % 8, 0u);
  EXPECT_EQ(bytes[6], static_cast<std::uint8_t>(PixelKind::Float32));
  EXPECT_EQ(bytes[7], 4);
  EXPECT_EQ(ReadLe(&bytes[8], 8), 42u);
  EXPECT_EQ(ReadLe(&bytes[16], 8), 1'700'000'000'000'000'042ULL);
  EXPECT_EQ(ReadLe(&bytes[24], 4), 3u);
  EXPECT_EQ(ReadLe(&bytes[28], 4), 2u);
  EXPECT_EQ(ReadLe(&bytes[32], 4), 1u);
  EXPECT_EQ(ReadLe(&bytes[36], 4), 3u);
  EXPECT_EQ(ReadLe(&bytes[40], 4), 2u);
  const auto nameSize = ReadLe(&bytes[44], 4);
  EXPECT_EQ(std::string(bytes.begin() + 48, bytes.begin() + 48 + nameSize), "stream-α");
  ASSERT_EQ(bytes.size(), headerSize + 3 * 2 * 4);
  EXPECT_EQ(ReadLe(&bytes[headerSize + 4 * 4], 4), 1001u);  // pixel (1, 1)
}

}  // namespace
}  // namespace korv::vexatools::viewer::test
