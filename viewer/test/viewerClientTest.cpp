// One page's connection: latest wins, the rate cap, pause, the replies to
// what a page asks, and the bounds on what a page can make the viewer do.
#include <boost/asio/thread_pool.hpp>

#include <gtest/gtest.h>

#include "TestImages.hpp"
#include "TestSupport.hpp"
#include "ViewerClient.hpp"

namespace korv::vexatools::viewer::test {
namespace {

using namespace std::chrono_literals;

class FakeChannel : public http::WebSocketChannel {
 public:
  void Wake() override { ++wakes; }
  void Close() override {}
  int wakes = 0;
};

class ViewerClientTest : public testing::Test {
 protected:
  ViewerClientTest()
      : hub_(io_, HubSettings{lumo::test::DeadEndpoint(), 10, kMaxViewBytes, 1000, std::chrono::hours(1)}),
        channel_(std::make_shared<FakeChannel>()),
        client_(std::make_shared<ViewerClient>(io_, hub_, channel_, ClientSettings{10, "first"},
                                               encoder_.get_executor())) {
    const auto hello = Next();
    EXPECT_TRUE(hello && !hello->binary && Text(*hello).find(R"("type":"hello")") != std::string::npos);
    client_->OnText("watch alpha");
  }

  std::optional<http::OutgoingMessage> Next() { return client_->NextMessage(); }
  static std::string Text(const http::OutgoingMessage& message) {
    const auto bytes = Bytes(message);
    return {bytes.begin(), bytes.end()};
  }
  static std::uint64_t FrameSequence(const http::OutgoingMessage& message) {
    const auto bytes = Bytes(message);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "VXF1");
    return ReadLe(&bytes[8], 8);
  }
  // Runs the io_context until the rate cap lets the next frame go.
  std::optional<http::OutgoingMessage> NextAfterWake() {
    if (auto message = Next()) return message;
    RunUntilWoken(io_, *channel_);
    return Next();
  }

  // Runs the io_context until the client wakes its channel (a timer, or
  // work posted from another thread), at most 1 s.
  static void RunUntilWoken(boost::asio::io_context& io, const FakeChannel& channel) {
    const int wakes = channel.wakes;
    const auto deadline = std::chrono::steady_clock::now() + 1s;
    while (channel.wakes == wakes && std::chrono::steady_clock::now() < deadline) {
      io.restart();
      if (io.run_for(20ms) == 0) std::this_thread::sleep_for(2ms);
    }
  }

  boost::asio::thread_pool encoder_{1};
  boost::asio::io_context io_;
  StreamHub hub_;
  std::shared_ptr<FakeChannel> channel_;
  std::shared_ptr<ViewerClient> client_;
};

TEST_F(ViewerClientTest, NewestFrameWinsAndTheRateIsCapped) {
  for (std::uint64_t seq = 1; seq <= 5; ++seq) client_->OnFrame(MakeFrame("alpha", seq));
  auto message = Next();
  ASSERT_TRUE(message);
  EXPECT_TRUE(message->binary);
  EXPECT_EQ(FrameSequence(*message), 5u);
  EXPECT_FALSE(Next()) << "frames 1 to 4 must be gone";

  // 10 images/s at most: the next one waits for its turn, then goes.
  client_->OnFrame(MakeFrame("alpha", 6));
  const auto early = std::chrono::steady_clock::now();
  EXPECT_FALSE(Next());
  client_->OnFrame(MakeFrame("alpha", 7));
  message = NextAfterWake();
  ASSERT_TRUE(message);
  EXPECT_EQ(FrameSequence(*message), 7u);
  EXPECT_GE(std::chrono::steady_clock::now() - early, 40ms);

  // Frames of another stream are not this page's.
  client_->OnFrame(MakeFrame("beta", 8));
  EXPECT_FALSE(NextAfterWake());
}

TEST_F(ViewerClientTest, PauseHoldsFramesButNotFigures) {
  client_->OnText("pause");
  client_->OnFrame(MakeFrame("alpha", 1));
  client_->OnFigures(std::make_shared<const std::string>(R"({"type":"figures"})"));
  auto message = Next();
  ASSERT_TRUE(message);
  EXPECT_EQ(Text(*message), R"({"type":"figures"})");
  io_.restart();
  io_.run_for(150ms);
  EXPECT_FALSE(Next()) << "paused";
  client_->OnText("resume");
  message = Next();
  ASSERT_TRUE(message);
  EXPECT_EQ(FrameSequence(*message), 1u);
}

TEST_F(ViewerClientTest, AnswersPixelAndPngRequestsAboutImagesItSent) {
  client_->OnFrame(MakeFrame("alpha", 3, 8, 4));
  ASSERT_TRUE(Next());
  client_->OnText("pixel 3 5 2");
  auto reply = Next();
  ASSERT_TRUE(reply);
  ASSERT_TRUE(reply->binary);
  auto bytes = Bytes(*reply);
  ASSERT_EQ(bytes.size(), 32u);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "VXP1");
  EXPECT_EQ(bytes[4], static_cast<std::uint8_t>(PixelKind::UInt16));
  EXPECT_EQ(bytes[5], 2);
  EXPECT_EQ(ReadLe(&bytes[8], 4), 5u);
  EXPECT_EQ(ReadLe(&bytes[12], 4), 2u);
  EXPECT_EQ(ReadLe(&bytes[16], 8), 3u);
  EXPECT_EQ(ReadLe(&bytes[24], 2), 5u + 2000u + 21u);

  client_->OnText("png 3");
  reply = NextAfterWake();
  ASSERT_TRUE(reply);
  bytes = Bytes(*reply);
  ASSERT_GT(bytes.size(), 24u);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "VXN1");
  EXPECT_EQ(ReadLe(&bytes[8], 8), 3u);
  EXPECT_EQ(std::string(bytes.begin() + 17, bytes.begin() + 20), "PNG");
}

TEST_F(ViewerClientTest, RefusesMalformedRequestsWithAnErrorAndBoundsTheReplies) {
  client_->OnFrame(MakeFrame("alpha", 3));
  ASSERT_TRUE(Next());
  for (const char* bad : {"pixel 3 8 0", "pixel 3 -1 0", "pixel 2 0 0", "pixel 3 0", "pixel 3 0 0 0", "pixel x 0 0",
                          "pixel 3 99999999999999999999 0", "png", "png 4", "watch", "watch two words", "",
                          "pause now", "WATCH alpha", "launch", "shown", "shown x"}) {
    client_->OnText(bad);
    const auto reply = Next();
    ASSERT_TRUE(reply) << bad;
    EXPECT_NE(Text(*reply).find(R"("type":"error")"), std::string::npos) << bad;
  }
  for (int i = 0; i < 50; ++i) client_->OnText("pixel 3 0 0");
  int replies = 0;
  while (Next()) ++replies;
  EXPECT_EQ(replies, static_cast<int>(ViewerClient::kMaxWaitingReplies));
}

TEST_F(ViewerClientTest, OnlyTheLastFewImagesCanBeAskedAbout) {
  for (std::uint64_t seq = 1; seq <= 5; ++seq) {
    client_->OnFrame(MakeFrame("alpha", seq));
    ASSERT_TRUE(seq == 1 ? Next() : NextAfterWake());
  }
  client_->OnText("pixel 2 0 0");
  EXPECT_NE(Text(*Next()).find("no longer kept"), std::string::npos);
  client_->OnText("pixel 3 0 0");
  EXPECT_TRUE(Next()->binary);
}

TEST_F(ViewerClientTest, APageThatSaysWhatItShowsGetsAtMostTwoFramesBeyondIt) {
  client_->OnFrame(MakeFrame("alpha", 1));
  ASSERT_TRUE(Next());
  client_->OnText("shown 9");  // never sent: changes nothing, and gets no answer
  EXPECT_FALSE(Next());
  client_->OnText("shown 1");
  for (std::uint64_t seq = 2; seq <= 3; ++seq) {
    client_->OnFrame(MakeFrame("alpha", seq));
    const auto frame = NextAfterWake();
    ASSERT_TRUE(frame);
    EXPECT_EQ(FrameSequence(*frame), seq);
  }
  client_->OnFrame(MakeFrame("alpha", 4));
  EXPECT_FALSE(NextAfterWake()) << "two frames are on their way beyond the one shown";
  client_->OnText("pixel 1 0 0");
  EXPECT_TRUE(Next()->binary) << "the image shown can still be asked about";

  client_->OnText("shown 3");
  auto frame = NextAfterWake();
  ASSERT_TRUE(frame);
  EXPECT_EQ(FrameSequence(*frame), 4u);

  client_->OnFrame(MakeFrame("alpha", 5));
  EXPECT_TRUE(NextAfterWake());

  // Frames that reached a paused page are never shown: resuming starts afresh.
  client_->OnText("pause");
  client_->OnFrame(MakeFrame("alpha", 6));
  EXPECT_FALSE(NextAfterWake());
  client_->OnText("resume");
  frame = NextAfterWake();
  ASSERT_TRUE(frame);
  EXPECT_EQ(FrameSequence(*frame), 6u);
}

TEST_F(ViewerClientTest, WatchingAnotherStreamDropsTheOldOnesFramesAndItsSubscription) {
  EXPECT_EQ(hub_.Subscribed(), std::vector<std::string>{"alpha"});
  client_->OnFrame(MakeFrame("alpha", 1));
  client_->OnText("watch beta");
  EXPECT_FALSE(Next()) << "a frame of the stream left must not be shown";
  EXPECT_EQ(hub_.Subscribed(), std::vector<std::string>{"beta"});
  client_->OnClose();
  EXPECT_TRUE(hub_.Subscribed().empty());
}

// A page that asks for PNG after PNG and reads nothing costs one PNG: the
// next ones are refused before anything is made, until that one has left.
TEST_F(ViewerClientTest, OnePngAtATimeMadeAwayFromTheIoThread) {
  client_->OnFrame(MakeFrame("alpha", 3, 8, 4));
  ASSERT_TRUE(Next());
  client_->OnText("png 3");
  for (int i = 0; i < 20; ++i) client_->OnText("png 3");
  int refusals = 0;
  while (const auto reply = Next()) {
    EXPECT_NE(Text(*reply).find("on its way"), std::string::npos) << Text(*reply);
    ++refusals;
  }
  EXPECT_EQ(refusals, static_cast<int>(ViewerClient::kMaxWaitingReplies));
  RunUntilWoken(io_, *channel_);
  const auto png = Next();
  ASSERT_TRUE(png);
  EXPECT_EQ(Text(*png).substr(0, 4), "VXN1");
  EXPECT_FALSE(Next()) << "exactly one PNG was made";
  client_->OnText("png 3");
  RunUntilWoken(io_, *channel_);
  const auto second = Next();
  ASSERT_TRUE(second);
  EXPECT_EQ(Text(*second).substr(0, 4), "VXN1") << "once the last one left, another may be asked for";
}

// A page that names stream after stream switches a few times at once, then
// at a bounded rate, and ends up on the last stream it named.
TEST_F(ViewerClientTest, StreamSwitchesAreRateLimitedAndTheLastOneWins) {
  const auto started = std::chrono::steady_clock::now();
  for (int i = 0; i < 200; ++i) client_->OnText("watch flood" + std::to_string(i));
  EXPECT_LE(hub_.Threads(), static_cast<std::size_t>(ViewerClient::kSwitchBurst) + 1);
  EXPECT_NE(client_->stream(), "flood199");
  for (int i = 0; i < 100 && client_->stream() != "flood199"; ++i) {
    io_.restart();
    io_.run_for(20ms);
  }
  EXPECT_EQ(client_->stream(), "flood199");
  EXPECT_EQ(hub_.Subscribed(), std::vector<std::string>{"flood199"});
  EXPECT_GE(std::chrono::steady_clock::now() - started, ViewerClient::kSwitchInterval / 2);
}

// A page beyond the hub's bound on subscriptions is told once, and gets its
// stream when a subscription is free again.
TEST(ViewerClientLimits, APageBeyondTheSubscriptionBoundIsToldAndServedLater) {
  boost::asio::thread_pool encoder(1);
  boost::asio::io_context io;
  StreamHub hub(io, HubSettings{lumo::test::DeadEndpoint(), 10, kMaxViewBytes, 1000, std::chrono::hours(1), 2});
  std::vector<std::shared_ptr<FakeChannel>> channels;
  std::vector<std::shared_ptr<ViewerClient>> pages;
  for (int i = 0; i < 3; ++i) {
    channels.push_back(std::make_shared<FakeChannel>());
    pages.push_back(std::make_shared<ViewerClient>(io, hub, channels.back(), ClientSettings{10, ""}, encoder.get_executor()));
    ASSERT_TRUE(pages.back()->NextMessage());  // hello
    pages.back()->OnText("watch s" + std::to_string(i));
  }
  EXPECT_EQ(pages[1]->stream(), "s1");
  EXPECT_EQ(pages[2]->stream(), "");
  const auto refusal = pages[2]->NextMessage();
  ASSERT_TRUE(refusal);
  const auto bytes = Bytes(*refusal);
  const std::string text(bytes.begin(), bytes.end());
  EXPECT_NE(text.find(R"("type":"error")"), std::string::npos) << text;
  EXPECT_NE(text.find("cannot watch 's2'"), std::string::npos) << text;

  pages[0]->OnClose();
  for (int i = 0; i < 150 && pages[2]->stream().empty(); ++i) {
    io.restart();
    if (io.run_for(20ms) == 0) std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(pages[2]->stream(), "s2");
  EXPECT_FALSE(pages[2]->NextMessage()) << "the refusal is told once";
  for (auto& page : pages) page->OnClose();
  hub.Stop();
}

}  // namespace
}  // namespace korv::vexatools::viewer::test
