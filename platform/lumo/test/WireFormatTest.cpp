// Byte layouts other languages rely on, and the checks on hostile input.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "lumo/Lumo.hpp"

namespace lumo {
namespace {

std::vector<std::uint8_t> Bytes(std::initializer_list<int> values) {
  std::vector<std::uint8_t> bytes;
  for (int value : values) bytes.push_back(static_cast<std::uint8_t>(value));
  return bytes;
}

MetaDataElementsImage3D SmallRecord() {
  MetaDataElementsImage3D record;
  record.bytesPerPixel = 2;
  record.numberOfDimensions = 2;
  record.description = "d";
  record.littleEndian = 1;
  record.rowMajor = 0;
  record.contiguous = 1;
  record.lumoDataType = 1;
  record.width = 3;
  record.height = -1;
  record.depth = 1;
  record.channels = 1;
  record.layoutCode = 2;
  record.frameCount = 1;
  record.offsetX = 5;
  record.offsetY = 6;
  record.timestamp = 1.5;
  record.source = "s";
  return record;
}

TEST(MetaDataEncoding, MatchesTheDocumentedLayout) {
  LumoEncDecImage3D encoder;
  const int size = encoder.Encode(SmallRecord());
  const auto expected = Bytes({'L', 'M', '3', 'D', 1, 0,            // magic, version
                               2, 0, 0, 0, 2, 0, 0, 0,              // bytes per pixel, dimensions
                               1, 0, 0, 0, 'd',                     // description
                               1, 0, 1,                             // flags
                               1, 0, 0, 0,                          // data type
                               0, 0, 0, 0,                          // units
                               3, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF,  // width, height
                               1, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0,  // four constants
                               5, 0, 0, 0, 6, 0, 0, 0,                          // offsets
                               0, 0, 0, 0, 0, 0, 0xF8, 0x3F,                    // timestamp 1.5
                               1, 0, 0, 0, 's', 0, 0, 0, 0});                   // two strings
  EXPECT_EQ(encoder.get_meta_data(), expected);
  EXPECT_EQ(size, static_cast<int>(expected.size()));
  EXPECT_EQ(encoder.get_topic_id(), kTopicIdImage3D);
}

TEST(MetaDataEncoding, RoundTripsEveryField) {
  MetaDataElementsImage3D record = SmallRecord();
  record.description = "Kamera \xC3\xBC 1";  // UTF-8
  record.units = "counts";
  record.width = std::numeric_limits<std::int32_t>::max();
  record.offsetX = std::numeric_limits<std::int32_t>::min();
  record.timestamp = 1765000000.123456;
  record.comment = std::string(1000, 'x');
  LumoEncDecImage3D encoder;
  encoder.Encode(record);
  EXPECT_EQ(LumoEncDecImage3D::Decode(encoder.get_meta_data()), record);
  // An unset record encodes too, as zeros and empty strings.
  encoder.Encode(MetaDataElementsImage3D{});
  EXPECT_EQ(LumoEncDecImage3D::Decode(encoder.get_meta_data()), MetaDataElementsImage3D{});
}

TEST(MetaDataEncoding, DecodeRejectsAnythingButOneWholeRecord) {
  LumoEncDecImage3D encoder;
  encoder.Encode(SmallRecord());
  const auto good = encoder.get_meta_data();
  for (std::size_t length = 0; length < good.size(); ++length)
    EXPECT_THROW(LumoEncDecImage3D::Decode(std::span(good.data(), length)), std::invalid_argument) << length;
  auto longer = good;
  longer.push_back(0);
  EXPECT_THROW(LumoEncDecImage3D::Decode(longer), std::invalid_argument);
  auto badMagic = good;
  badMagic[0] = 'X';
  EXPECT_THROW(LumoEncDecImage3D::Decode(badMagic), std::invalid_argument);
  auto badVersion = good;
  badVersion[4] = 2;
  EXPECT_THROW(LumoEncDecImage3D::Decode(badVersion), std::invalid_argument);
  // A string length far beyond the message must not be believed.
  auto hugeString = good;
  hugeString[14] = hugeString[15] = hugeString[16] = hugeString[17] = 0xFF;
  EXPECT_THROW(LumoEncDecImage3D::Decode(hugeString), std::invalid_argument);
}

TEST(MetaDataEncoding, EncodeRefusesOversizedRecordsAndKeepsTheLastOne) {
  LumoEncDecImage3D encoder;
  encoder.Encode(SmallRecord());
  const auto before = encoder.get_meta_data();
  MetaDataElementsImage3D huge;
  huge.description.assign(kMaxMetaDataSize, 'x');
  EXPECT_THROW(encoder.Encode(huge), std::length_error);
  EXPECT_EQ(encoder.get_meta_data(), before);
}

TEST(DataHeader, MatchesTheDocumentedLayoutAndRoundTrips) {
  DataHeader header;
  header.topicId = 3;
  header.sequence = 0x0102030405060708;
  header.publishTimeNs = 0x1122334455667788;
  std::array<std::uint8_t, kDataHeaderSize> bytes{};
  EncodeDataHeader(header, bytes);
  const auto expected = Bytes({'L', 'U', 'M', 'O', 1, 0, 0, 0, 3, 0, 0, 0, 8, 7, 6, 5, 4, 3, 2, 1,
                               0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 0, 0, 0, 0});
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), expected.begin(), expected.end()));
  const auto decoded = DecodeDataHeader(bytes);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->topicId, 3);
  EXPECT_EQ(decoded->sequence, header.sequence);
  EXPECT_EQ(decoded->publishTimeNs, header.publishTimeNs);

  EXPECT_FALSE(DecodeDataHeader(std::span(bytes.data(), 31)));
  auto longer = expected;
  longer.push_back(0);
  EXPECT_FALSE(DecodeDataHeader(longer));
  auto badMagic = expected;
  badMagic[3] = 'X';
  EXPECT_FALSE(DecodeDataHeader(badMagic));
  auto badVersion = expected;
  badVersion[4] = 2;
  EXPECT_FALSE(DecodeDataHeader(badVersion));
}

TEST(StreamNames, AcceptPrintableUtf8WithoutBlanks) {
  for (const std::string& name :
       {std::string("cam"), std::string("vexa_stream"), std::string("a"), std::string("kamera-\xC3\xBC"), std::string(255, 'n')})
    EXPECT_TRUE(IsValidStreamName(name)) << name;
  for (const std::string& name :
       {std::string(), std::string("two words"), std::string("tab\t"), std::string(256, 'n'), std::string("\x7F"),
        std::string("\xFF"), std::string("\xC0\xAF"), std::string("\xED\xA0\x80"), std::string("cut\xC3"),
        std::string("nul\0x", 5)})
    EXPECT_FALSE(IsValidStreamName(name)) << name;
}

// Unicode controls, bidirectional controls and invisible blanks, encoded in
// UTF-8, alone and inside a name; letters next to them stay valid.
TEST(StreamNames, RefuseUnicodeControlsBidiControlsAndInvisibleBlanks) {
  for (const char* character : {"\xC2\x85", "\xC2\x80", "\xC2\x9F", "\xC2\xA0", "\xE2\x80\xAE", "\xE2\x80\xAA",
                                "\xE2\x81\xA6", "\xE2\x81\xA9", "\xE2\x80\x8F", "\xE2\x80\x8B", "\xE2\x80\xA8",
                                "\xE3\x80\x80", "\xEF\xBB\xBF", "\xD8\x9C"}) {
    EXPECT_FALSE(IsValidStreamName(character)) << character;
    EXPECT_FALSE(IsValidStreamName(std::string("cam") + character + "gpj.exe")) << character;
  }
  for (const char* name : {"\xC2\xA1", "\xE2\x80\x90", "\xE2\x82\xAC", "\xE3\x81\x82", "\xF0\x9F\x93\xB7"})
    EXPECT_TRUE(IsValidStreamName(name)) << name;
}

TEST(TcpEndpoints, ParseOnlyHostAndPortWithinRange) {
  const auto plain = ParseTcpEndpoint("tcp://127.0.0.1:5570");
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->host, "127.0.0.1");
  EXPECT_EQ(plain->port, "5570");
  const auto ipv6 = ParseTcpEndpoint("tcp://[::1]:80");
  ASSERT_TRUE(ipv6);
  EXPECT_EQ(ipv6->host, "::1");
  EXPECT_TRUE(ParseTcpEndpoint("tcp://*:1"));
  EXPECT_TRUE(ParseTcpEndpoint("tcp://camera-host.example:65535"));
  for (const char* bad : {"tcp://h:0", "tcp://h:65536", "tcp://:5", "tcp://h:", "udp://h:5", "tcp://h:5;x",
                          "tcp://h:abc", "tcp://[::1:80", "tcp://h;x:5", "ipc:///tmp/x"})
    EXPECT_FALSE(ParseTcpEndpoint(bad)) << bad;
  EXPECT_EQ(FormatTcpEndpoint("::1", "9"), "tcp://[::1]:9");
  EXPECT_EQ(FormatTcpEndpoint("10.0.0.2", "9"), "tcp://10.0.0.2:9");
}

TEST(Logger, LevelScaleRunsFromTraceToOff) {
  LumoLogger logger("lumo.test.levels");
  logger.SetLogLevel(kLumoError);
  EXPECT_TRUE(logger.logger().isEnabledFor(log4cplus::ERROR_LOG_LEVEL));
  EXPECT_FALSE(logger.logger().isEnabledFor(log4cplus::WARN_LOG_LEVEL));
  EXPECT_EQ(LumoLogger::ToLog4cplusLevel(-3), log4cplus::TRACE_LOG_LEVEL);
  EXPECT_EQ(LumoLogger::ToLog4cplusLevel(kLumoInfo), log4cplus::INFO_LOG_LEVEL);
  EXPECT_EQ(LumoLogger::ToLog4cplusLevel(99), log4cplus::OFF_LOG_LEVEL);
  EXPECT_FALSE(logger.Configure("/nonexistent/lumo-log.properties"));
}

}  // namespace
}  // namespace lumo
