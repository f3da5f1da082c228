// The image sender against a real broker: what it publishes, how it paces,
// how it registers.
#include <gtest/gtest.h>

#include <chrono>
#include <exception>
#include <memory>
#include <thread>

#include "PublishingTestSupport.hpp"
#include "TestSupport.hpp"  // lumo::test::BrokerProcess, DeadEndpoint
#include "korv/vexatools/LumoSender.hpp"
#include "lumo/LumoDataSubscriber.hpp"
#include "lumo/LumoEncDec.hpp"
#include "vexasim/SampleFrames.hpp"
#include "vexatools/testsupport/ImageRecord.hpp"

namespace {

namespace dt = korv::fnd::datatype;
using korv::vexatools::LumoImage;
using korv::vexatools::LumoSender;
using log4cplus::ERROR_LOG_LEVEL;
using log4cplus::WARN_LOG_LEVEL;
using namespace std::chrono_literals;

constexpr int kWidth = 64, kHeight = 48;

std::shared_ptr<LumoImage> PatternImage(std::uint32_t sampleId) {
  auto image = std::make_shared<LumoImage>(kWidth, kHeight, 2);
  korv::vexasim::FillPattern(sampleId, 0, reinterpret_cast<unsigned char*>(image->GetImage()),
                             static_cast<std::size_t>(image->GetSize()));
  return image;
}

// Runs the sender's Run() on a thread; sets `stopped` and joins when it goes.
class SenderThread {
 public:
  explicit SenderThread(LumoSender& sender)
      : m_thread([this, &sender] {
          try {
            sender.Run();
          } catch (...) {
            m_error = std::current_exception();
          }
        }) {}
  ~SenderThread() { Join(); }
  std::exception_ptr Join() {
    LumoSender::stopped = true;
    if (m_thread.joinable()) m_thread.join();
    return m_error;
  }

 private:
  std::exception_ptr m_error;
  std::thread m_thread;
};

class Sender : public ::testing::Test {
 protected:
  void SetUp() override { vexa2lumotest::ResetHandOver(); }
  void TearDown() override { vexa2lumotest::ResetHandOver(); }

  // Subscribes, then queues probe images until one comes through, so that
  // the connection stands before the test's own images go out.
  void Connect() {
    // The sender may not have registered yet: the subscriber keeps looking.
    m_subscriber.SetLookupInterval(50);
    ASSERT_GE(m_subscriber.Subscribe(m_broker.uri(), "sender_test", 5000), 0);
    for (int attempt = 0; attempt < 100; ++attempt) {
      LumoSender::spsc_queue.push(PatternImage(200));
      LumoSender::new_data = true;
      if (vexa2lumotest::ReadImage(m_subscriber, 100ms)) {
        while (vexa2lumotest::ReadImage(m_subscriber, 300ms)) {
        }
        return;
      }
    }
    FAIL() << "no image reached the subscriber";
  }

  vexa2lumotest::AppLogCapture m_log;
  lumo::test::BrokerProcess m_broker;
  lumo::LumoDataSubscriber m_subscriber;
};

TEST_F(Sender, PublishesEveryQueuedImageAtMostOnePerInterval) {
  constexpr int kInterval = 30;
  LumoSender sender(kWidth, kHeight, dt::UInt16, m_broker.uri(), "sender_test", kInterval);
  SenderThread running(sender);
  Connect();

  // One notification for five images: none may stay behind in the ring.
  for (std::uint32_t id = 1; id <= 5; ++id) ASSERT_TRUE(LumoSender::spsc_queue.push(PatternImage(id)));
  LumoSender::new_data = true;
  std::uint64_t lastPublishNs = 0;
  for (std::uint32_t id = 1; id <= 5; ++id) {
    const auto image = vexa2lumotest::ReadImage(m_subscriber, 5s);
    ASSERT_TRUE(image) << "image " << id;
    EXPECT_EQ(vexa2lumotest::PatternSampleId(image->data()), id);
    EXPECT_EQ(image->header.topicId, lumo::kTopicIdImage3D);
    const auto record = lumo::LumoEncDecImage3D::Decode(image->metaData);
    EXPECT_EQ(record, korv::vexatools::MakeImageRecord(*PatternImage(id), dt::UInt16));
    if (lastPublishNs != 0) {
      EXPECT_GE(image->header.publishTimeNs - lastPublishNs, kInterval * 1'000'000ull);
    }
    lastPublishNs = image->header.publishTimeNs;
  }
  EXPECT_EQ(running.Join(), nullptr);
  EXPECT_EQ(m_log.Count(ERROR_LOG_LEVEL, ""), 0);
}

TEST_F(Sender, AtAStopItPublishesWhatIsQueuedAndFreesTheStream) {
  LumoSender sender(kWidth, kHeight, dt::UInt16, m_broker.uri(), "sender_test", 200);
  SenderThread running(sender);
  Connect();
  ASSERT_TRUE(sender.IsRegistered());
  for (std::uint32_t id = 1; id <= 4; ++id) ASSERT_TRUE(LumoSender::spsc_queue.push(PatternImage(id)));
  LumoSender::new_data = true;
  EXPECT_EQ(running.Join(), nullptr);
  EXPECT_FALSE(sender.IsRegistered());
  for (std::uint32_t id = 1; id <= 4; ++id) {
    const auto image = vexa2lumotest::ReadImage(m_subscriber, 2s);
    ASSERT_TRUE(image) << "image " << id;
    EXPECT_EQ(vexa2lumotest::PatternSampleId(image->data()), id);
  }
  const auto lookup = lumo::test::RawBrokerClient(m_broker.uri()).Ask({"LOOKUP", "sender_test"});
  ASSERT_TRUE(lookup);
  EXPECT_EQ(lookup->front(), "ERROR");
}

TEST_F(Sender, NotificationWithoutImageIsReportedAndTheNextImageServed) {
  LumoSender sender(kWidth, kHeight, dt::Int16, m_broker.uri(), "sender_test", 0);
  SenderThread running(sender);
  Connect();
  LumoSender::new_data = true;
  for (int wait = 0; wait < 500 && m_log.Count(ERROR_LOG_LEVEL, "No image") == 0; ++wait) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(m_log.Count(ERROR_LOG_LEVEL, "No image in the queue after new image notification!"), 1);
  EXPECT_FALSE(LumoSender::new_data);

  LumoSender::spsc_queue.push(PatternImage(3));
  LumoSender::new_data = true;
  const auto image = vexa2lumotest::ReadImage(m_subscriber, 5s);
  ASSERT_TRUE(image);
  EXPECT_EQ(vexa2lumotest::PatternSampleId(image->data()), 3u);
}

TEST_F(Sender, GivesUpRegisteringAfterFiveAttempts) {
  LumoSender sender(kWidth, kHeight, dt::Int16, lumo::test::DeadEndpoint(), "sender_test", 100);
  try {
    sender.Run();
    FAIL() << "Run returned";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "Could not register LUMO publisher");
  }
  EXPECT_EQ(m_log.Count(WARN_LOG_LEVEL, "Problems registering LUMO publisher!"), 5);
  EXPECT_EQ(m_log.Messages(ERROR_LOG_LEVEL), std::vector<std::string>{"Giving up registering LUMO publisher!"});
}

TEST_F(Sender, StoppedSenderNeitherRegistersNorPublishes) {
  LumoSender sender(kWidth, kHeight, dt::Int16, m_broker.uri(), "sender_test", 0);
  LumoSender::stopped = true;
  LumoSender::spsc_queue.push(PatternImage(1));
  sender.Run();
  EXPECT_EQ(m_log.Count(WARN_LOG_LEVEL, ""), 0);
  EXPECT_EQ(LumoSender::spsc_queue.read_available(), 1u);
}

TEST(SenderFormat, DataTypeTableAndRecord) {
  using korv::vexatools::LumoPixelFormatOf;
  const std::pair<dt::DataType, std::pair<int, int>> table[] = {
      {dt::Char, {1, 1}},   {dt::Byte, {1, 0}},   {dt::Int16, {2, 1}},  {dt::UInt16, {2, 1}},
      {dt::Int32, {4, 1}},  {dt::UInt32, {4, 2}}, {dt::Int64, {8, 1}},  {dt::UInt64, {8, 1}},
      {dt::Float, {4, 3}},  {dt::Double, {8, 1}}, {dt::Bool, {0, 1}},   {dt::Complex, {0, 1}},
      {dt::String, {0, 1}}, {dt::Invalid, {0, 1}}};
  for (const auto& [type, expected] : table) {
    const auto format = LumoPixelFormatOf(type);
    EXPECT_EQ(std::make_pair(format.bytesPerPixel, format.lumoDataType), expected) << "type " << type;
  }

  // Width and height are the image's; bytes per pixel and type the sender's.
  const LumoImage image(7, 3, 1);
  EXPECT_EQ(korv::vexatools::MakeImageRecord(image, dt::Float),
            vexatools::testsupport::ImageRecord(7, 3, 4, lumo::kLumoFloat, 2));
}

}  // namespace
