// The gateway's LumoSender against a real broker and subscriber on loopback.
#include <gtest/gtest.h>

#include <time.h>

#include <cstring>
#include <future>
#include <stdexcept>
#include <thread>

#include "GatewayTestSupport.hpp"
#include "TestSupport.hpp"  // lumo::test::BrokerProcess, DeadEndpoint, WaitFor
#include "lumo/Lumo.hpp"
#include "vexatools/testsupport/ImageRecord.hpp"
#include "vexatools/testsupport/LoggerCapture.hpp"

namespace {

using namespace gatewaytest;
using namespace std::chrono_literals;
using vexatools::testsupport::ImageRecord;
using vexatools::testsupport::LoggerCapture;
constexpr auto kInfo = log4cplus::INFO_LOG_LEVEL;
constexpr auto kWarn = log4cplus::WARN_LOG_LEVEL;
constexpr auto kError = log4cplus::ERROR_LOG_LEVEL;

std::shared_ptr<LumoImage> Image(int width, int height, dt::DataType type, std::uint8_t seed) {
  const int bpp = dt::ElementSize(type);
  auto image = std::make_shared<LumoImage>(width, height, bpp > 0 ? bpp : 1, type);
  for (std::int64_t i = 0; i < std::int64_t{width} * height * image->GetBpp(); ++i) {
    image->GetImage()[i] = static_cast<std::uint8_t>(i * 7 + seed);
  }
  return image;
}

// As the gateway hands an image over.
void HandOver(std::shared_ptr<LumoImage> image) {
  LumoSender::spsc_queue.push(std::move(image));
  LumoSender::new_data.exchange(true);
}

// Runs a sender's Run() on a thread of its own; stops and joins at the end.
class SenderThread {
 public:
  explicit SenderThread(LumoSender& sender) : m_done(std::async(std::launch::async, [&sender] { sender.Run(); })) {}
  ~SenderThread() { Stop(); }
  // True when Run() returned within `timeout` of the stop request.
  bool Stop(std::chrono::milliseconds timeout = 10s) {
    LumoSender::stopped = true;
    if (!m_done.valid()) return true;
    const bool ended = m_done.wait_for(timeout) == std::future_status::ready;
    if (ended) m_done.get();
    return ended;
  }

 private:
  std::future<void> m_done;
};

struct Received {
  lumo::MetaDataElementsImage3D meta;
  std::vector<std::uint8_t> pixels;
};

class Sender : public testing::Test {
 protected:
  void SetUp() override { ResetHandOver(); }
  void TearDown() override { ResetHandOver(); }

  // Subscribes to `stream` and hands over 1-pixel probe images until one
  // arrives, so that no later image is lost to the subscription still
  // being set up. Probes are 1 pixel wide; Next() skips them.
  void Connect(const std::string& stream) {
    ASSERT_TRUE(lumo::test::WaitFor([&] { return subscriber.Subscribe(broker.uri(), stream, 200) == 1; }, 10s));
    lumo::LumoSample sample;
    bool connected = false;
    for (int i = 0; i < 250 && !connected; ++i) {
      if (LumoSender::spsc_queue.write_available() == 5) HandOver(Image(1, 1, dt::Byte, 0));
      connected = subscriber.Read(sample, 20);
    }
    ASSERT_TRUE(connected);
  }

  // The next published image that is not a probe.
  std::optional<Received> Next() {
    lumo::LumoSample sample;
    for (int i = 0; i < 100; ++i) {
      if (!subscriber.Read(sample, 100)) continue;
      Received received{lumo::LumoEncDecImage3D::Decode(sample.metaData), {}};
      if (received.meta.width == 1) continue;
      received.pixels.assign(sample.data().begin(), sample.data().end());
      return received;
    }
    return std::nullopt;
  }

  LoggerCapture log{korv::vexalib::Logger(), log4cplus::DEBUG_LOG_LEVEL};
  lumo::test::BrokerProcess broker;
  lumo::LumoDataSubscriber subscriber;
};

// Images waiting in the ring are all published, one per pass, though only
// one notification came; each carries its own type and geometry.
TEST_F(Sender, PublishesEveryQueuedImageWithItsMetaData) {
  LumoSender sender(64, 32, dt::Int16, broker.uri(), "gw_all", 1);
  SenderThread thread(sender);
  Connect("gw_all");
  ASSERT_TRUE(lumo::test::WaitFor([] { return LumoSender::spsc_queue.write_available() == 5; }, 10s));

  struct Case {
    dt::DataType type;
    int lumoDataType;
  };
  const std::vector<Case> cases{{dt::Byte, 0}, {dt::Int16, 1}, {dt::UInt32, 2}, {dt::Float, 3}, {dt::Double, 1}};
  std::vector<std::shared_ptr<LumoImage>> images;
  for (std::size_t i = 0; i < cases.size(); ++i) images.push_back(Image(16 + int(i), 8, cases[i].type, std::uint8_t(i)));
  for (const auto& image : images) LumoSender::spsc_queue.push(image);
  LumoSender::new_data.exchange(true);  // one notification for five images

  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    const auto received = Next();
    ASSERT_TRUE(received);
    const auto& meta = received->meta;
    EXPECT_EQ(meta, ImageRecord(16 + int(i), 8, dt::ElementSize(cases[i].type), cases[i].lumoDataType, 1));
    ASSERT_EQ(received->pixels.size(), std::size_t(images[i]->GetSize()));
    EXPECT_EQ(std::memcmp(received->pixels.data(), images[i]->GetImage(), received->pixels.size()), 0);
  }
  EXPECT_TRUE(thread.Stop());
  EXPECT_EQ(log.Count(kError, "No image in the queue"), 0);
  EXPECT_EQ(log.Count(kInfo, "Registered LUMO publisher"), 1);
  EXPECT_EQ(log.Count(kInfo, "LumoSender thread stopping"), 1);
}

TEST_F(Sender, BufferGrowsForLargerImagesOnly) {
  EXPECT_EQ(LumoSender(640, 480, dt::Bool, broker.uri(), "gw_none", 0).GetBufferSize(), 0);
  EXPECT_EQ(LumoSender(0, 480, dt::UInt16, broker.uri(), "gw_none", 0).GetBufferSize(), 0);

  LumoSender sender(640, 480, dt::UInt16, broker.uri(), "gw_grow", 0);
  EXPECT_EQ(sender.GetBufferSize(), 614400);
  {
    SenderThread thread(sender);
    Connect("gw_grow");
    HandOver(Image(1024, 768, dt::Float, 1));
    ASSERT_TRUE(Next());
    HandOver(Image(640, 480, dt::UInt16, 2));
    ASSERT_TRUE(Next());
  }
  EXPECT_EQ(sender.GetBufferSize(), 3145728);
  EXPECT_EQ(log.Count(kInfo, "Resized LUMO buffer to 3145728 bytes to handle 1024x768 4 Bpp frames"), 1);
  EXPECT_EQ(log.Count(kInfo, "Resized LUMO buffer"), 1);
}

TEST_F(Sender, InvalidImagesAreDiscardedAndPublishingGoesOn) {
  LumoSender sender(8, 8, dt::Byte, broker.uri(), "gw_invalid", 0);
  SenderThread thread(sender);
  Connect("gw_invalid");
  HandOver(std::make_shared<LumoImage>(0, 10, 2, dt::Int16));
  HandOver(Image(8, 8, dt::Byte, 3));
  const auto received = Next();
  ASSERT_TRUE(received);
  EXPECT_EQ(received->meta.width, 8);
  EXPECT_EQ(log.Count(kWarn, "Discarding image with invalid geometry 0x10 2 Bpp"), 1);
}

// The sender takes images without waiting for their notification, so a
// notification may come after its image went out: the first raised flag
// over an empty ring after such an image is cleared quietly. A flag raised
// with nothing ever pushed is reported.
TEST_F(Sender, ANotificationWithoutAnImageIsReported) {
  LumoSender sender(8, 8, dt::Byte, broker.uri(), "gw_empty", 0);
  SenderThread thread(sender);
  Connect("gw_empty");
  const bool reported = lumo::test::WaitFor([&] {
    if (!LumoSender::new_data) LumoSender::new_data = true;
    return log.Count(kError, "No image in the queue after new image notification!") >= 1;
  }, 10s);
  EXPECT_TRUE(reported);
}

// Registration retries every five seconds: the broker comes up after the
// first attempt failed, and the second succeeds.
TEST_F(Sender, RegistersOnceTheBrokerComesUp) {
  const std::string uri = lumo::test::DeadEndpoint();
  LumoSender sender(8, 8, dt::Byte, uri, "gw_late", 0);
  SenderThread thread(sender);
  ASSERT_TRUE(lumo::test::WaitFor([&] { return log.Count(kWarn, "Unable to register LUMO publisher at " + uri + " (error -1). Is the broker running? Will retry in background...") == 1; }, 10s));
  lumo::test::BrokerProcess lateBroker(uri);
  ASSERT_TRUE(lumo::test::WaitFor([&] { return log.Count(kInfo, "Registered LUMO publisher after 1 attempt(s)") == 1; }, 15s));
  EXPECT_EQ(log.Count(kWarn, "Still unable"), 0);
  EXPECT_TRUE(thread.Stop());
}

// A stop during registration ends Run within a second of the request; what
// waits in the ring is discarded.
TEST_F(Sender, StopDuringRegistrationEndsPromptlyAndDrainsTheRing) {
  LumoSender sender(8, 8, dt::Byte, lumo::test::DeadEndpoint(), "gw_stop", 0);
  SenderThread thread(sender);
  ASSERT_TRUE(lumo::test::WaitFor([&] { return log.Count(kWarn, "Unable to register LUMO publisher") == 1; }, 10s));
  HandOver(Image(8, 8, dt::Byte, 1));
  HandOver(Image(8, 8, dt::Byte, 2));
  EXPECT_TRUE(thread.Stop(3s));  // about one second; generous for loaded machines
  EXPECT_EQ(LumoSender::spsc_queue.write_available(), 5u);
  EXPECT_FALSE(LumoSender::new_data);
  EXPECT_EQ(log.Count(kInfo, "LUMO publisher registration aborted (stopping)"), 1);
  EXPECT_EQ(log.Count(kInfo, "LumoSender thread stopping"), 1);
}

// Without an interval the sender sleeps until an image is handed over: an
// idle one takes next to no CPU (a polling one takes all it can get), and
// an image handed over is still published at once.
TEST_F(Sender, WithoutAnIntervalAnIdleSenderSleepsUntilAnImageIsHandedOver) {
  LumoSender sender(8, 8, dt::Byte, broker.uri(), "gw_idle", 0);
  SenderThread thread(sender);
  Connect("gw_idle");
  const auto processCpu = [] {
    timespec cpu{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu);
    return std::chrono::seconds(cpu.tv_sec) + std::chrono::nanoseconds(cpu.tv_nsec);
  };
  const auto cpuBefore = processCpu();
  std::this_thread::sleep_for(500ms);
  const auto idleCpu = processCpu() - cpuBefore;
  // 5 % of the wall time: a polling sender exceeds it even with a tenth of a core.
  EXPECT_LT(idleCpu, 25ms) << std::chrono::duration<double, std::milli>(idleCpu).count() << " ms CPU in 500 ms idle";

  const auto handedOver = std::chrono::steady_clock::now();
  HandOver(Image(8, 8, dt::Byte, 4));
  ASSERT_TRUE(Next());
  EXPECT_LT(std::chrono::steady_clock::now() - handedOver, 2s);
}

// Run() after Shutdown(), or a second Run(), would use the released
// publisher: both are refused with a text that says why.
TEST_F(Sender, RunAfterShutdownOrASecondRunIsRefused) {
  {
    LumoSender sender(8, 8, dt::Byte, broker.uri(), "gw_misuse", 0);
    sender.Shutdown();
    try {
      sender.Run();
      FAIL() << "Run() after Shutdown() returned";
    } catch (const std::logic_error& error) {
      EXPECT_STREQ(error.what(), "LumoSender::Run() called after Shutdown(): the publisher is released");
    }
  }
  ResetHandOver();
  LumoSender sender(8, 8, dt::Byte, broker.uri(), "gw_misuse", 0);
  LumoSender::stopped = true;  // the first run ends at once
  sender.Run();
  try {
    sender.Run();
    FAIL() << "a second Run() returned";
  } catch (const std::logic_error& error) {
    EXPECT_STREQ(error.what(), "LumoSender::Run() called a second time: a sender runs once");
  }
}

TEST_F(Sender, ShutdownStopsAndReleasesAnIdleSender) {
  LumoSender sender(8, 8, dt::Byte, broker.uri(), "gw_shutdown", 0);
  sender.Shutdown();
  EXPECT_TRUE(LumoSender::stopped);
  EXPECT_EQ(log.Count(kWarn, "Failed to unregister"), 0);
}

}  // namespace
