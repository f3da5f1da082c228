// Vexa2LumoGateway: geometry decisions, size checks, hand-over and statistics.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <stdexcept>
#include <thread>
#include <vector>

#include "GatewayTestSupport.hpp"
#include "vexasim/SampleFrames.hpp"
#include "vexatools/testsupport/LoggerCapture.hpp"
#include "vexatools/testsupport/Network.hpp"

namespace {

using namespace gatewaytest;
using namespace std::chrono_literals;
using korv::vexatools::vexa2lumolib_wirefast::GatewayStatistics;
using vexatools::testsupport::LoggerCapture;
constexpr auto kInfo = log4cplus::INFO_LOG_LEVEL;
constexpr auto kWarn = log4cplus::WARN_LOG_LEVEL;
constexpr auto kError = log4cplus::ERROR_LOG_LEVEL;

const SampleExtInfo kAbsent = SampleExtInfo::Absent();
constexpr char kFallback[] = "ignoring and falling back to configured geometry";
constexpr char kDiscarding[] = "discarding sample until geometry is known";
constexpr char kUnknown[] = "Image size and type unknown -- expect Basic Image Info";

class Gateway : public testing::Test {
 protected:
  void SetUp() override { ResetHandOver(); }
  void TearDown() override { ResetHandOver(); }

  // Offers a sample of `bytes` payload bytes; true when it was forwarded.
  bool Offer(Vexa2LumoGateway& gateway, SampleExtInfo info, std::size_t bytes) {
    std::vector<std::uint8_t> payload(bytes, 0x5A);
    const auto before = gateway.GetStatistics().samples;
    gateway.HandleSampleUser(info, payload);
    return gateway.GetStatistics().samples == before + 1;
  }

  LoggerCapture log{korv::vexalib::Logger(), log4cplus::DEBUG_LOG_LEVEL};
};

// Each row: one sample offered to a gateway, in order; what it gives.
struct Step {
  const char* what;
  SampleExtInfo info;
  std::size_t payloadBytes;
  bool forwarded;
};

void RunSteps(Vexa2LumoGateway& gateway, const std::vector<Step>& steps) {
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    std::vector<std::uint8_t> payload(step.payloadBytes);
    SampleExtInfo info = step.info;
    const auto before = gateway.GetStatistics().samples;
    gateway.HandleSampleUser(info, payload);
    EXPECT_EQ(gateway.GetStatistics().samples, before + (step.forwarded ? 1 : 0));
  }
}

TEST_F(Gateway, ConfiguredGeometryServesSamplesWithoutBasicImageInfo) {
  auto gateway = MakeGateway(640, 480, dt::UInt16);
  RunSteps(*gateway,
           {{"exact size", kAbsent, 614400, true}, {"one byte short", kAbsent, 614399, false}});
  const auto errors = log.Messages(kError);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_TRUE(errors[0].ends_with(": Payload size 614399 bytes does not match expected 614400 bytes for 640x480 type 512"))
      << errors[0];
  std::shared_ptr<LumoImage> image;
  ASSERT_TRUE(LumoSender::spsc_queue.pop(image));
  EXPECT_EQ(image->GetWidth(), 640);
  EXPECT_EQ(image->GetBpp(), 2);
  EXPECT_EQ(image->GetDataType(), dt::UInt16);
  EXPECT_EQ(image->GetImage()[614399], 0);
  EXPECT_TRUE(LumoSender::new_data);
}

TEST_F(Gateway, CompleteInfoIsAdoptedAndAnnouncedOnce) {
  auto gateway = MakeGateway(640, 480, dt::UInt16);
  const auto info = Info(1.5, dt::Float, 1024, 768);
  RunSteps(*gateway,
           {{"first", info, 3145728, true},
            {"same again", info, 3145728, true},
            {"absent marker: the configured geometry", kAbsent, 614400, true},
            {"not the adopted one", kAbsent, 3145728, false}});
  EXPECT_EQ(log.Count(kInfo, "Using geometry from VEXA Extended Info: 1024x768 type 65536"), 1);
  std::shared_ptr<LumoImage> image;
  ASSERT_TRUE(LumoSender::spsc_queue.pop(image));
  EXPECT_EQ(image->GetDataType(), dt::Float);
  EXPECT_EQ(image->GetBpp(), 4);
}

TEST_F(Gateway, SizeMismatchWarnsAdoptsAndDropsTheSample) {
  auto gateway = MakeGateway(640, 480, dt::UInt16);
  RunSteps(*gateway, {{"info says 100x100 Int16", Info(1.0, dt::Int16, 100, 100), 20001, false},
                            {"absent marker: the configured size", kAbsent, 614400, true},
                            {"not the one from info", kAbsent, 20000, false},
                            {"info of that size again", Info(1.0, dt::Int16, 100, 100), 20000, true}});
  EXPECT_EQ(log.Count(kWarn, "Extended Info reports 100x100 type 256 (expected 20000 bytes) but payload was 20001 bytes"), 1);
  EXPECT_EQ(log.Count(kError, "Payload size 20001 bytes does not match expected 20000 bytes for 100x100 type 256"), 1);
}

// 2147352580 x 1073807362 x 8 bytes is 2^64 + 64: a product that wraps
// must not pass for a 64-byte payload.
TEST_F(Gateway, InfoWhoseSizeWrapsIn64BitsIsNoMatch) {
  auto gateway = MakeGateway(640, 480, dt::UInt16);
  RunSteps(*gateway, {{"wrapping geometry", Info(1.0, dt::Double, 2147352580, 1073807362), 64, false}});
  EXPECT_EQ(log.Count(kWarn, "but payload was 64 bytes"), 1);
  EXPECT_EQ(log.Count(kError, "Payload size 64 bytes does not match"), 1);
}

TEST_F(Gateway, IncompleteInfoWarnsOncePerEpisode) {
  auto gateway = MakeGateway(100, 100, dt::Int16);
  const auto zeroWidth = Info(1.0, dt::Int16, 0, 100);
  const auto unsupported = Info(1.0, dt::Bool, 100, 100);
  RunSteps(*gateway, {{"width 0: falls back", zeroWidth, 20000, true},
                            {"again: no second warning", zeroWidth, 20000, true},
                            {"unsupported type: still the same episode", unsupported, 20000, true},
                            {"absent marker re-arms", kAbsent, 20000, true},
                            {"warns again", zeroWidth, 20000, true},
                            {"complete info re-arms", Info(1.0, dt::Int16, 100, 100), 20000, true},
                            {"warns a third time", unsupported, 20000, true}});
  // Without a sender the ring fills up after five samples; its WARN is not one of these.
  std::vector<std::string> warnings;
  for (const std::string& warning : log.Messages(kWarn)) {
    if (warning.find("Basic Image Info") != std::string::npos) warnings.push_back(warning);
  }
  ASSERT_EQ(warnings.size(), 3u);
  EXPECT_TRUE(warnings[0].ends_with(
      ": Basic Image Info present but incomplete (width=0, height=100, datatype=256, bpp=2); "
      "ignoring and falling back to configured geometry"))
      << warnings[0];
  EXPECT_NE(warnings[2].find("(width=100, height=100, datatype=128, bpp=0); "), std::string::npos) << warnings[2];
}

TEST_F(Gateway, WithoutUsableGeometrySamplesWaitForCompleteInfo) {
  auto gateway = MakeGateway(0, 0, dt::Int16);
  EXPECT_EQ(log.Count(kInfo, std::string(kUnknown) + " (timestamp, datatype, width, height, offset-x, offset-y) in VEXA Extended Info"), 1);
  RunSteps(*gateway, {{"absent marker", kAbsent, 20000, false},
                            {"again: no second message", kAbsent, 20000, false},
                            {"incomplete info", Info(1.0, dt::Int16, 100, 0), 20000, false},
                            {"complete info", Info(1.0, dt::Int16, 100, 100), 20000, true},
                            {"then the absent marker", kAbsent, 20000, true}});
  EXPECT_EQ(log.Count(kInfo, std::string(kUnknown) + " (timestamp, datatype, width, height, offset-x, offset-y) in VEXA Extended Info; discarding sample"), 1);
  EXPECT_EQ(log.Count(kWarn, kDiscarding), 1);
  EXPECT_EQ(log.Count(kWarn, kFallback), 0);
}

TEST_F(Gateway, ZeroTimestampInBasicImageInfoThrows) {
  auto gateway = MakeGateway(100, 100, dt::Int16);
  for (const auto& info : {Info(0.0, dt::Int16, 100, 100), Info(0.0, dt::Invalid, 0, 0)}) {
    std::vector<std::uint8_t> payload(20000);
    SampleExtInfo copy = info;
    EXPECT_THROW(gateway->HandleSampleUser(copy, payload), std::runtime_error);
  }
  try {
    gateway->EnsureGeometry(Info(0.0, dt::Int16, 100, 100), 20000);
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "Invalid SampleExtInfo info provided: partial basic image info not allowed");
  }
  EXPECT_EQ(gateway->GetStatistics().samples, 0u);
}

TEST_F(Gateway, UnsupportedConfiguredTypeDropsEverySample) {
  auto gateway = MakeGateway(10, 10, dt::Bool);  // known geometry, no size
  EXPECT_EQ(log.Count(kInfo, kUnknown), 0);
  RunSteps(*gateway, {{"first", kAbsent, 100, false}, {"second", kAbsent, 100, false}});
  EXPECT_EQ(log.Count(kError, ": Unsupported data type 128"), 2);
}

TEST_F(Gateway, MessagesCarryTheLocationPrefixAndSourceLabel) {
  auto gateway = MakeGateway(100, 100, dt::Int16);
  std::thread delivery([&] {
    pthread_setname_np(pthread_self(), "deliver");
    Offer(*gateway, Info(1.0, dt::Int16, 0, 100), 20000);
  });
  delivery.join();
  const auto records = log.Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].file, "vexa2lumolib_wirefast/src/vexa2LumoGateway");
  const std::string& message = records[0].message;
  EXPECT_NE(message.find("T"), std::string::npos);
  EXPECT_NE(message.find(":vexa2lumolib_wirefast/src/vexa2LumoGateway:"), std::string::npos) << message;
  EXPECT_NE(message.find(":EnsureGeometry:deliver: Basic Image Info present but incomplete"), std::string::npos)
      << message;
}

TEST_F(Gateway, AFullRingRefusesTheImageButTheSampleCounts) {
  auto gateway = MakeGateway(10, 10, dt::Byte);
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(Offer(*gateway, kAbsent, 100));
  EXPECT_EQ(gateway->GetStatistics().ringDrops, 0u);
  EXPECT_TRUE(Offer(*gateway, kAbsent, 100));
  EXPECT_EQ(gateway->GetStatistics().ringDrops, 1u) << "the sender is stalled: the sixth image is lost";
  EXPECT_TRUE(Offer(*gateway, kAbsent, 100));
  EXPECT_EQ(gateway->GetStatistics().ringDrops, 2u);
  EXPECT_EQ(log.Count(log4cplus::WARN_LOG_LEVEL, "Image ring to the LUMO sender full: 1 image(s) dropped"), 1)
      << "one WARN in ten seconds";
  EXPECT_EQ(LumoSender::spsc_queue.write_available(), 0u);
  int queued = 0;
  std::shared_ptr<LumoImage> image;
  while (LumoSender::spsc_queue.pop(image)) ++queued;
  EXPECT_EQ(queued, 5);
  EXPECT_TRUE(LumoSender::new_data);
  EXPECT_EQ(gateway->GetStatistics().samples, 7u);
  EXPECT_EQ(gateway->GetStatistics().bytes, 700u);
}

TEST_F(Gateway, StatisticsStartAtZeroAndFollowWelford) {
  auto gateway = MakeGateway(10, 10, dt::Byte);
  const auto zero = gateway->GetStatistics();
  EXPECT_EQ(zero.samples, 0u);
  EXPECT_EQ(zero.minIntervalSeconds, 0.0);
  EXPECT_EQ(zero.maxIntervalSeconds, 0.0);
  EXPECT_EQ(zero.meanIntervalSeconds, 0.0);
  EXPECT_EQ(zero.samplesPerSecond, 0.0);

  gateway->UpdateIntervalStats(20);
  auto one = gateway->GetStatistics();
  EXPECT_DOUBLE_EQ(one.minIntervalSeconds, 0.02);
  EXPECT_DOUBLE_EQ(one.meanIntervalSeconds, 0.02);
  EXPECT_DOUBLE_EQ(one.maxIntervalSeconds, 0.02);
  EXPECT_EQ(one.stddevIntervalSeconds, 0.0);
  gateway->UpdateIntervalStats(10);
  gateway->UpdateIntervalStats(30);
  auto three = gateway->GetStatistics();
  EXPECT_DOUBLE_EQ(three.minIntervalSeconds, 0.01);
  EXPECT_DOUBLE_EQ(three.meanIntervalSeconds, 0.02);
  EXPECT_DOUBLE_EQ(three.maxIntervalSeconds, 0.03);
  EXPECT_DOUBLE_EQ(three.stddevIntervalSeconds, 0.01);
  gateway->ResetIntervalStats();
  EXPECT_EQ(gateway->GetStatistics().minIntervalSeconds, 0.0);
  EXPECT_EQ(gateway->GetStatistics().stddevIntervalSeconds, 0.0);
}

// Samples through the base receiver: identifiers from the leaders, gaps
// counted, a smaller identifier adds nothing; rates agree with the elapsed
// time; statistics read while samples are being delivered.
TEST_F(Gateway, StatisticsOfDeliveredSamples) {
  auto gateway = MakeGateway(100, 100, dt::Int16, ExtendedInfoMode::Disabled);
  gateway->StartReceiver();
  std::atomic<bool> reading{true};
  std::thread reader([&] {
    while (reading) gateway->GetStatistics();
  });
  korv::vexasim::SampleLayout layout{100, 100, 2, dt::Int16};
  const korv::vexasim::SampleFrames frames(layout);
  vexatools::testsupport::UdpSender sender("127.0.0.1", static_cast<std::uint16_t>(gateway->GetLocalPort()));
  std::uint32_t expectedSamples = 0;
  for (const std::uint32_t id : {10u, 11u, 15u, 9u}) {
    sender.SendAll(frames.BuildSample(id));
    ++expectedSamples;
    for (int i = 0; i < 1000 && gateway->GetStatistics().samples < expectedSamples; ++i) std::this_thread::sleep_for(5ms);
    ResetHandOver();  // no sender here: keep the ring from filling
  }
  reading = false;
  reader.join();
  gateway->StopReceiver();
  const auto statistics = gateway->GetStatistics();
  ASSERT_EQ(statistics.samples, 4u);
  EXPECT_EQ(statistics.missedSamples, 3u);
  EXPECT_EQ(statistics.bytes, 80000u);
  EXPECT_GT(statistics.elapsedSeconds, 0.0);
  EXPECT_DOUBLE_EQ(statistics.samplesPerSecond, 4 / statistics.elapsedSeconds);
  EXPECT_NEAR(statistics.meanIntervalSeconds, statistics.elapsedSeconds / 3, 1e-9);
  EXPECT_LE(statistics.minIntervalSeconds, statistics.meanIntervalSeconds);
  EXPECT_GE(statistics.maxIntervalSeconds, statistics.meanIntervalSeconds);
}

// One forged extended leader (1x1 Byte, an identifier three billion ahead)
// between legacy samples: the samples after it still take the configured
// geometry, and the jump is counted apart from the missed samples.
TEST_F(Gateway, AForgedLeaderDecidesNeitherGeometryNorLosses) {
  auto gateway = MakeGateway(100, 100, dt::Int16, ExtendedInfoMode::Enabled);
  gateway->StartReceiver();
  const korv::vexasim::SampleFrames legacy({100, 100, 2, dt::Int16});
  const korv::vexasim::SampleFrames forged({1, 1, 1, dt::Byte, true});
  vexatools::testsupport::UdpSender sender("127.0.0.1", static_cast<std::uint16_t>(gateway->GetLocalPort()));
  std::uint32_t offered = 0;
  auto send = [&](const korv::vexasim::SampleFrames& frames, std::uint32_t id) {
    sender.SendAll(frames.BuildSample(id, 1.0));
    ++offered;
    for (int i = 0; i < 1000 && gateway->GetCounters().samplesDelivered + gateway->GetCounters().hookFailures < offered;
         ++i)
      std::this_thread::sleep_for(5ms);
    ResetHandOver();
  };
  send(legacy, 100);
  send(forged, 3'000'000'000u);
  for (std::uint32_t id = 101; id <= 110; ++id) send(legacy, id);
  send(legacy, 113);
  gateway->StopReceiver();
  const auto statistics = gateway->GetStatistics();
  EXPECT_EQ(statistics.samples, 13u) << "the forged sample and all twelve legacy ones";
  EXPECT_EQ(statistics.missedSamples, 2u) << "only 111 and 112";
  EXPECT_EQ(statistics.sampleIdJumps, 1u);
  EXPECT_EQ(log.Count(kError, "does not match expected"), 0);
}

// Code that fills the statistics by position keeps working: the documented
// fields come first, in their order, and later additions follow them.
TEST(GatewayStatisticsLayout, PositionalInitialisationFillsTheDocumentedFieldsFirst) {
  const GatewayStatistics statistics{1, 2, 3, 4.0, 5.0, 6.0, 7.0, 8.0, 9.0, 10};
  EXPECT_EQ(statistics.samples, 1u);
  EXPECT_EQ(statistics.missedSamples, 2u);
  EXPECT_EQ(statistics.bytes, 3u);
  EXPECT_EQ(statistics.elapsedSeconds, 4.0);
  EXPECT_EQ(statistics.samplesPerSecond, 5.0);
  EXPECT_EQ(statistics.minIntervalSeconds, 6.0);
  EXPECT_EQ(statistics.meanIntervalSeconds, 7.0);
  EXPECT_EQ(statistics.maxIntervalSeconds, 8.0);
  EXPECT_EQ(statistics.stddevIntervalSeconds, 9.0);
  EXPECT_EQ(statistics.ringDrops, 10u);
  EXPECT_EQ(statistics.sampleIdJumps, 0u);
}

TEST(LumoImage, NegativeFactorsAllocateNothingAndKeepTheirValues) {
  for (const auto& [w, h, bpp] : {std::tuple{-1, 10, 2}, std::tuple{10, -5, 2}, std::tuple{10, 10, -2}}) {
    const LumoImage image(w, h, bpp, dt::Double);
    EXPECT_EQ(image.GetWidth(), w);
    EXPECT_EQ(image.GetHeight(), h);
    EXPECT_EQ(image.GetBpp(), bpp);
    EXPECT_EQ(image.GetDataType(), dt::Double);
  }
  EXPECT_EQ(LumoImage(640, 480, 2, dt::UInt16).GetSize(), 614400);
}

// The gateway's one copy of a payload: exactly the geometry's bytes, or
// nothing; a product beyond 64 bits is refused rather than wrapped.
TEST(LumoImage, FromPixelBytesHoldsACopyOfExactlyTheGeometrysBytes) {
  const std::vector<std::uint8_t> pixels{1, 2, 3, 4, 5, 6};
  const LumoImage image(3, 1, 2, dt::Int16, pixels);
  EXPECT_EQ(std::vector<std::uint8_t>(image.GetImage(), image.GetImage() + image.GetSize()), pixels);
  EXPECT_NE(image.GetImage(), pixels.data());
  EXPECT_THROW(LumoImage(2, 1, 2, dt::Int16, pixels), std::invalid_argument);
  EXPECT_THROW(LumoImage(4, 1, 2, dt::Int16, pixels), std::invalid_argument);
  EXPECT_THROW(LumoImage(INT_MAX, INT_MAX, 8, dt::Double), std::length_error);
}

}  // namespace
