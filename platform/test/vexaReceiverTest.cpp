// The outside receiver over loopback UDP: delivery on its own thread, the
// extended info, hostile datagrams and a hook that throws.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>

#include "korv/vexalib/Logger.hpp"
#include "korv/vexalib/VexaReceiver.hpp"
#include "vexasim/SampleFrames.hpp"
#include "vexatools/testsupport/LoggerCapture.hpp"
#include "vexatools/testsupport/Network.hpp"

namespace {

using namespace std::chrono_literals;
namespace dt = korv::fnd::datatype;
using korv::vexalib::ExtendedInfoMode;
using korv::vexalib::ReceiverConfig;
using korv::vexalib::SampleExtInfo;

struct Delivery {
  std::uint32_t sampleId;
  SampleExtInfo info;
  std::vector<std::uint8_t> payload;
  std::string threadName;
};

class TestReceiver : public korv::vexalib::VexaReceiver {
 public:
  explicit TestReceiver(ExtendedInfoMode mode, dt::DataType type = dt::Int16, int width = 0, int height = 0)
      : VexaReceiver("127.0.0.1", "", 0, type, Config(mode, width, height)) {}
  ~TestReceiver() override { StopReceiver(); }

  // Called during each delivery; may throw or stop the receiver.
  std::function<void(TestReceiver&, const Delivery&)> onSample;

  bool WaitForDeliveries(std::size_t count) {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, 10s, [&] { return m_deliveries.size() >= count; });
  }
  std::vector<Delivery> Deliveries() {
    std::lock_guard lock(m_mutex);
    return m_deliveries;
  }

 protected:
  void HandleSampleUser(SampleExtInfo& info, std::vector<std::uint8_t>& payload) override {
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof(name));
    Delivery delivery{GetSampleId(), info, payload, name};
    {
      std::lock_guard lock(m_mutex);
      m_deliveries.push_back(delivery);
    }
    m_changed.notify_all();
    if (onSample) onSample(*this, delivery);
  }

 private:
  static ReceiverConfig Config(ExtendedInfoMode mode, int width, int height) {
    ReceiverConfig config;
    config.width = width;
    config.height = height;
    config.socketReceiveBufferBytes = 4 * 1024 * 1024;
    config.extendedInfoMode = mode;
    return config;
  }

  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<Delivery> m_deliveries;
};

korv::vexasim::SampleFrames Frames(bool extended) {
  korv::vexasim::SampleLayout layout;
  layout.width = 200;
  layout.height = 100;
  layout.bytesPerPixel = 2;
  layout.dataType = dt::UInt16;
  layout.extendedInfo = extended;
  return korv::vexasim::SampleFrames(layout);
}

std::vector<std::uint8_t> Pattern(std::uint32_t sampleId) {
  std::vector<std::uint8_t> pattern(200 * 100 * 2);
  korv::vexasim::FillPattern(sampleId, 0, pattern.data(), pattern.size());
  return pattern;
}

TEST(OutsideReceiver, DeliversCompleteSamplesOnItsDeliveryThread) {
  for (const bool extended : {false, true}) {
    SCOPED_TRACE(extended ? "extended leaders" : "legacy leaders");
    TestReceiver receiver(ExtendedInfoMode::Enabled);
    receiver.StartReceiver();
    vexatools::testsupport::UdpSender sender("127.0.0.1", static_cast<std::uint16_t>(receiver.GetLocalPort()));
    const auto frames = Frames(extended);
    auto lost = frames.BuildSample(11, 1700000000.5);
    lost.erase(lost.begin() + 2);
    sender.SendAll(frames.BuildSample(10, 1700000000.5));
    sender.SendAll(lost);
    sender.SendAll(frames.BuildSample(12, 1700000001.5));
    ASSERT_TRUE(receiver.WaitForDeliveries(2));
    receiver.StopReceiver();

    const auto deliveries = receiver.Deliveries();
    ASSERT_EQ(deliveries.size(), 2u);
    EXPECT_EQ(deliveries[0].sampleId, 10u);
    EXPECT_EQ(deliveries[1].sampleId, 12u);
    EXPECT_EQ(deliveries[0].payload, Pattern(10));
    EXPECT_EQ(deliveries[1].payload, Pattern(12));
    EXPECT_EQ(deliveries[0].threadName, "vexa-deliver");
    EXPECT_EQ(deliveries[1].info.IsAbsent(), !extended);
    if (extended) {
      EXPECT_EQ(deliveries[1].info.timestamp, 1700000001.5);
      EXPECT_EQ(deliveries[1].info.datatype, dt::UInt16);
      EXPECT_EQ(deliveries[1].info.width, 200);
      EXPECT_EQ(deliveries[1].info.height, 100);
    }
    const auto counters = receiver.GetCounters();
    EXPECT_EQ(counters.samplesDelivered, 2u);
    EXPECT_EQ(counters.samplesIncomplete, 1u);
  }
}

TEST(OutsideReceiver, DisabledExtendedInfoGivesTheAbsentMarker) {
  TestReceiver receiver(ExtendedInfoMode::Disabled);
  receiver.StartReceiver();
  vexatools::testsupport::UdpSender sender("127.0.0.1", static_cast<std::uint16_t>(receiver.GetLocalPort()));
  sender.SendAll(Frames(true).BuildSample(1, 3.0));
  ASSERT_TRUE(receiver.WaitForDeliveries(1));
  const SampleExtInfo info = receiver.Deliveries()[0].info;
  EXPECT_TRUE(info.IsAbsent());
  EXPECT_EQ(info.datatype, dt::Unspecified);
  EXPECT_EQ(info.offsetX, -1);
  EXPECT_EQ(info.offsetY, -1);
  EXPECT_EQ(info.extensionLength, 28);
}

TEST(OutsideReceiver, HostileDatagramsNeitherCrashNorStopReception) {
  TestReceiver receiver(ExtendedInfoMode::Enabled);
  receiver.StartReceiver();
  vexatools::testsupport::UdpSender sender("127.0.0.1", static_cast<std::uint16_t>(receiver.GetLocalPort()));
  const auto frames = Frames(true);
  const auto sample = frames.BuildSample(5, 1.0);
  std::vector<unsigned char> empty, shortDatagram(20, 0xFF), oversize(9500, 0x01);
  std::vector<unsigned char> lyingHeader = sample[1];
  frames.WriteHeader(lyingHeader.data(), 5, 2, 5, 8941);  // payload size beyond the datagram
  for (const auto& datagram : {empty, shortDatagram, oversize, lyingHeader}) sender.Send(datagram);
  sender.SendAll(sample);
  ASSERT_TRUE(receiver.WaitForDeliveries(1));
  EXPECT_EQ(receiver.Deliveries()[0].payload, Pattern(5));
  EXPECT_EQ(receiver.GetCounters().framesRejected, 4u);
}

// Without a bound of its own, a receiver with a configured geometry refuses
// a leader announcing more: one datagram must not reserve 256 MiB.
TEST(OutsideReceiver, TheConfiguredGeometryBoundsTheSampleSize) {
  TestReceiver receiver(ExtendedInfoMode::Enabled, dt::UInt16, 200, 100);
  receiver.StartReceiver();
  vexatools::testsupport::UdpSender sender("127.0.0.1", static_cast<std::uint16_t>(receiver.GetLocalPort()));
  const korv::vexasim::SampleFrames larger({200, 101, 2, dt::UInt16});
  sender.SendAll(larger.BuildSample(1));
  sender.SendAll(Frames(false).BuildSample(2));
  ASSERT_TRUE(receiver.WaitForDeliveries(1));
  receiver.StopReceiver();
  EXPECT_EQ(receiver.Deliveries()[0].sampleId, 2u);
  EXPECT_EQ(receiver.GetCounters().samplesIncomplete, 1u) << "the larger sample's leader is refused";
}

TEST(OutsideReceiver, AThrowingHookIsLoggedWithItsTextAndDeliveryGoesOn) {
  vexatools::testsupport::LoggerCapture log(korv::vexalib::Logger(), log4cplus::ERROR_LOG_LEVEL);
  TestReceiver receiver(ExtendedInfoMode::Enabled);
  receiver.onSample = [](TestReceiver&, const Delivery& delivery) {
    if (delivery.sampleId == 1) throw std::runtime_error("hook refused sample one");
  };
  receiver.StartReceiver();
  vexatools::testsupport::UdpSender sender("127.0.0.1", static_cast<std::uint16_t>(receiver.GetLocalPort()));
  const auto frames = Frames(false);
  sender.SendAll(frames.BuildSample(1));
  sender.SendAll(frames.BuildSample(2));
  ASSERT_TRUE(receiver.WaitForDeliveries(2));
  receiver.StopReceiver();
  EXPECT_EQ(log.Count(log4cplus::ERROR_LOG_LEVEL, "hook refused sample one"), 1);
  const auto counters = receiver.GetCounters();
  EXPECT_EQ(counters.hookFailures, 1u);
  EXPECT_EQ(counters.samplesDelivered, 1u);
}

TEST(OutsideReceiver, StopsFromItsOwnHookAndStartsOnlyOnce) {
  TestReceiver receiver(ExtendedInfoMode::Enabled);
  receiver.onSample = [](TestReceiver& self, const Delivery&) { self.StopReceiver(); };
  receiver.StartReceiver();
  EXPECT_THROW(receiver.StartReceiver(), std::logic_error);
  vexatools::testsupport::UdpSender sender("127.0.0.1", static_cast<std::uint16_t>(receiver.GetLocalPort()));
  sender.SendAll(Frames(false).BuildSample(1));
  ASSERT_TRUE(receiver.WaitForDeliveries(1));
  receiver.StopReceiver();  // joins the threads the hook could not join
  EXPECT_EQ(receiver.Deliveries().size(), 1u);
}

}  // namespace
