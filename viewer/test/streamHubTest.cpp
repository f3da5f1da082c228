// StreamHub with a real broker and publishers: one subscription per stream
// whatever the number of watchers, the frame cap, figures, and the bound on
// subscription threads.
#include <gtest/gtest.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>

#include <filesystem>
#include <future>
#include <mutex>
#include <thread>

#include "StreamHub.hpp"
#include "TestImages.hpp"
#include "TestSupport.hpp"
#include "lumo/Lumo.hpp"

namespace korv::vexatools::viewer::test {
namespace {

using namespace std::chrono_literals;
using lumo::test::BrokerProcess;
using ::vexatools::testsupport::WaitFor;

class RecordingSink : public FrameSink {
 public:
  void OnFrame(const std::shared_ptr<const ViewFrame>& frame) override {
    const std::lock_guard lock(mutex_);
    frames_.push_back(frame);
  }
  void OnFigures(const std::shared_ptr<const std::string>& json) override {
    const std::lock_guard lock(mutex_);
    figures_.push_back(*json);
  }
  std::vector<std::shared_ptr<const ViewFrame>> frames() const {
    const std::lock_guard lock(mutex_);
    return frames_;
  }
  std::vector<std::string> figures() const {
    const std::lock_guard lock(mutex_);
    return figures_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<const ViewFrame>> frames_;
  std::vector<std::string> figures_;
};

// Publishes 16 x 8 16-bit images (or whatever `record` says) every 10 ms until destroyed.
class PatternPublisher {
 public:
  PatternPublisher(const std::string& broker, const std::string& stream,
                   lumo::MetaDataElementsImage3D record = ImageRecord(16, 8, 2, lumo::kLumoInteger),
                   std::size_t bytes = 16 * 8 * 2)
      : publisher_(lumo::LumoDataTransferFactory::CreatePublisher(nullptr)) {
    EXPECT_EQ(publisher_->Register(broker, stream, 0), 1);
    encoder_.Encode(record);
    thread_ = std::thread([this, bytes] {
      for (int i = 0; i < 2000 && !stop_; ++i) {
        publisher_->WriteData(0, std::vector<std::uint8_t>(bytes, static_cast<std::uint8_t>(i)), encoder_.get_meta_data());
        std::this_thread::sleep_for(10ms);
      }
    });
  }
  ~PatternPublisher() {
    stop_ = true;
    thread_.join();
  }

 private:
  std::unique_ptr<lumo::LumoDataPublisher> publisher_;
  lumo::LumoEncDecImage3D encoder_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Threads of this process now.
std::size_t ThreadCount() {
  const auto tasks = std::filesystem::directory_iterator("/proc/self/task");
  return static_cast<std::size_t>(std::distance(begin(tasks), end(tasks)));
}

class StreamHubTest : public testing::Test {
 protected:
  void StartHub(double maxFps, std::size_t maxSubscriptions = 16) {
    hub_.emplace(io_, HubSettings{broker_.uri(), maxFps, kMaxViewBytes, 200, 300ms, maxSubscriptions});
    thread_ = std::thread([this] { io_.run(); });
  }
  // Runs `call` on the io thread and waits for it.
  template <typename Call>
  auto OnIo(Call call) {
    std::packaged_task<decltype(call())()> task(call);
    auto result = task.get_future();
    boost::asio::post(io_, [&task] { task(); });
    return result.get();
  }
  bool Watch(const std::string& stream, const std::shared_ptr<FrameSink>& sink) {
    return OnIo([&] {
      std::string problem;
      return hub_->Watch(stream, sink, problem);
    });
  }
  ~StreamHubTest() override {
    if (!thread_.joinable()) return;
    OnIo([this] { hub_->Stop(); });
    work_.reset();
    thread_.join();
  }

  BrokerProcess broker_;
  boost::asio::io_context io_;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_{io_.get_executor()};
  std::optional<StreamHub> hub_;
  std::thread thread_;
};

TEST_F(StreamHubTest, WatchersOfOneStreamShareOneSubscriptionAndItsFrames) {
  PatternPublisher publisher(broker_.uri(), "shared");
  StartHub(50);
  auto first = std::make_shared<RecordingSink>();
  auto second = std::make_shared<RecordingSink>();
  EXPECT_TRUE(Watch("shared", first));
  EXPECT_TRUE(Watch("shared", second));
  ASSERT_TRUE(WaitFor([&] { return first->frames().size() >= 3 && second->frames().size() >= 3; }, 10s));
  EXPECT_EQ(OnIo([&] { return hub_->Subscribed(); }), std::vector<std::string>{"shared"});
  // The same frame objects reach both: built once, whatever the number of watchers.
  const auto seenByFirst = first->frames();
  const auto seenBySecond = second->frames();
  EXPECT_NE(std::find(seenBySecond.begin(), seenBySecond.end(), seenByFirst.back()), seenBySecond.end());

  ASSERT_TRUE(WaitFor([&] { return !first->figures().empty(); }, 5s));
  const auto figures = first->figures().back();
  for (const char* field : {R"("stream":"shared")", R"("width":16)", R"("height":8)", R"("pixelType":"uint16")",
                            R"("imagesPerSecond":)", R"("latencyMs":)", R"("gaps":)"})
    EXPECT_NE(figures.find(field), std::string::npos) << field << " in " << figures;

  OnIo([&] { hub_->Unwatch("shared", first.get()); });
  EXPECT_EQ(OnIo([&] { return hub_->Subscribed(); }), std::vector<std::string>{"shared"});
  OnIo([&] { hub_->Unwatch("shared", second.get()); });
  EXPECT_TRUE(OnIo([&] { return hub_->Subscribed(); }).empty());
}

TEST_F(StreamHubTest, BuildsAtMostMaxFpsFramesASecond) {
  PatternPublisher publisher(broker_.uri(), "fast");  // about 100 images/s
  StartHub(5);
  auto sink = std::make_shared<RecordingSink>();
  ASSERT_TRUE(Watch("fast", sink));
  ASSERT_TRUE(WaitFor([&] { return !sink->frames().empty(); }, 10s));
  const auto before = sink->frames().size();
  std::this_thread::sleep_for(1s);
  EXPECT_LE(sink->frames().size() - before, 7u);
}

TEST_F(StreamHubTest, FiguresTellWhyAStreamCannotBeShown) {
  // Says 16 x 8 x 2 bytes, sends 100.
  PatternPublisher publisher(broker_.uri(), "odd", ImageRecord(16, 8, 2, lumo::kLumoInteger), 100);
  StartHub(25);
  auto sink = std::make_shared<RecordingSink>();
  ASSERT_TRUE(Watch("odd", sink));
  ASSERT_TRUE(WaitFor(
      [&] {
        const auto figures = sink->figures();
        return !figures.empty() && figures.back().find("does not match") != std::string::npos;
      },
      10s));
  EXPECT_TRUE(sink->frames().empty());
}

// Pages choose the streams: however many they ask for, the hub runs at most
// maxSubscriptions threads, those still ending included, and its
// subscriptions share one ZeroMQ context instead of two threads each.
TEST_F(StreamHubTest, BoundsTheSubscriptionThreads) {
  StartHub(25, 3);
  const auto threadsBefore = ThreadCount();
  std::vector<std::shared_ptr<RecordingSink>> sinks;
  for (const char* stream : {"one", "two", "three"}) {
    sinks.push_back(std::make_shared<RecordingSink>());
    EXPECT_TRUE(Watch(stream, sinks.back())) << stream;
  }
  EXPECT_TRUE(WaitFor([&] { return ThreadCount() >= threadsBefore + 3; }, 5s));
  std::this_thread::sleep_for(300ms);
  EXPECT_LE(ThreadCount(), threadsBefore + 3 + 2) << "3 subscriptions and one ZeroMQ context (I/O and reaper threads)";

  auto late = std::make_shared<RecordingSink>();
  const auto refusal = OnIo([&] {
    std::string problem;
    EXPECT_FALSE(hub_->Watch("four", late, problem));
    return problem;
  });
  EXPECT_NE(refusal.find("most streams"), std::string::npos) << refusal;
  EXPECT_TRUE(Watch("two", late)) << "a stream followed already costs no thread";

  // A stream left frees its place once its thread has ended.
  OnIo([&] { hub_->Unwatch("one", sinks[0].get()); });
  EXPECT_TRUE(WaitFor([&] { return OnIo([&] { return hub_->Threads(); }) < 3; }, 5s));
  EXPECT_TRUE(Watch("four", late));
}

}  // namespace
}  // namespace korv::vexatools::viewer::test
