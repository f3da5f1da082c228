// Publisher and subscriber against real brokers and publisher processes.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <future>
#include <thread>

#include "TestSupport.hpp"
#include "lumo/Lumo.hpp"

namespace lumo::test {
namespace {

using Clock = std::chrono::steady_clock;

std::unique_ptr<LumoDataPublisher> RegisteredPublisher(const std::string& broker, const std::string& stream) {
  auto publisher = LumoDataTransferFactory::CreatePublisher(nullptr);
  EXPECT_EQ(publisher->Register(broker, stream, 0), 1);
  return publisher;
}

// Publishes small images until the subscriber has one, so that the
// connection is up before a test counts messages. Returns the sequence
// number of the one received.
std::optional<std::uint64_t> Connect(LumoDataPublisher& publisher, LumoDataSubscriber& subscriber) {
  LumoSample sample;
  for (int i = 0; i < 250; ++i) {
    publisher.WriteData(0, PatternImage(16, 0), {});
    if (subscriber.Read(sample, 20)) return sample.header.sequence;
  }
  return std::nullopt;
}

// Reads until a sample satisfies `accept`, within `timeout`.
bool ReadUntil(LumoDataSubscriber& subscriber, LumoSample& sample, const std::function<bool(const LumoSample&)>& accept,
               std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline)
    if (subscriber.Read(sample, 100) && accept(sample)) return true;
  return false;
}

// Aborts the test program if a step that must not block does block.
class Watchdog {
 public:
  explicit Watchdog(std::chrono::seconds limit)
      : thread_([this, limit] {
          std::unique_lock lock(mutex_);
          if (!done_signal_.wait_for(lock, limit, [this] { return done_; })) {
            std::fprintf(stderr, "watchdog: blocked for more than %lld s\n", static_cast<long long>(limit.count()));
            std::abort();
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    done_signal_.notify_all();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_signal_;
  bool done_ = false;
  std::thread thread_;
};

TEST(PubSub, ImagesArriveBitExactWithHeaderAndMetaData) {
  BrokerProcess broker;
  auto publisher = RegisteredPublisher(broker.uri(), "roundtrip");
  publisher->SetBufferSize(1024 * 768 * 2, 8);
  LumoDataSubscriber subscriber;
  ASSERT_EQ(subscriber.Subscribe(broker.uri(), "roundtrip"), 1);
  EXPECT_EQ(subscriber.endpoint(), publisher->endpoint());
  ASSERT_TRUE(Connect(*publisher, subscriber));

  LumoEncDecImage3D encoder;
  publisher->set_topic_id(encoder.get_topic_id());
  struct Image {
    int width, height, bpp;
  };
  const std::vector<Image> images{{1024, 768, 2}, {3, 1, 1}, {0, 0, 4}, {17, 5, 8}, {640, 480, 4}};
  std::vector<MetaDataElementsImage3D> records;
  std::vector<std::vector<std::uint8_t>> pixels;
  const auto before = NowNs();
  for (std::size_t i = 0; i < images.size(); ++i) {
    records.push_back(ImageRecord(images[i].width, images[i].height, images[i].bpp, kLumoInteger));
    records.back().timestamp = 1000.25 + static_cast<double>(i);
    pixels.push_back(PatternImage(static_cast<std::size_t>(images[i].width * images[i].height * images[i].bpp),
                                  static_cast<std::uint32_t>(i)));
    encoder.Encode(records.back());
    if (i % 2 == 0) {
      EXPECT_EQ(publisher->WriteData(0, pixels.back(), encoder.get_meta_data()), 1);
    } else {
      auto handedOver = pixels.back();
      EXPECT_EQ(publisher->WriteData(0, std::move(handedOver), encoder.get_meta_data()), 1);
    }
    EXPECT_EQ(publisher->CompleteWrite(), 1);
  }

  LumoSample sample;
  std::uint64_t previous = 0;
  for (std::size_t i = 0; i < images.size(); ++i) {
    ASSERT_TRUE(ReadUntil(subscriber, sample, [](const LumoSample& s) { return s.header.topicId == kTopicIdImage3D; }, 5s));
    EXPECT_EQ(sample.stream, "roundtrip");
    if (previous != 0) {
      EXPECT_EQ(sample.header.sequence, previous + 1);
    }
    previous = sample.header.sequence;
    EXPECT_EQ(sample.missedBefore, 0u);
    EXPECT_GE(sample.header.publishTimeNs, before);
    EXPECT_LE(sample.header.publishTimeNs, NowNs());
    EXPECT_EQ(LumoEncDecImage3D::Decode(sample.metaData), records[i]);
    EXPECT_TRUE(std::equal(sample.data().begin(), sample.data().end(), pixels[i].begin(), pixels[i].end())) << i;
  }
  EXPECT_EQ(subscriber.stats().malformed, 0u);
  EXPECT_EQ(subscriber.stats().gaps, 0u);
}

// libzmq 4.3 loses subscriptions of 246 bytes or more: names up to the
// longest allowed must still reach their subscribers.
TEST(PubSub, TheLongestStreamNamesReachTheirSubscribers) {
  BrokerProcess broker;
  for (const std::size_t length : {kMaxSubscriptionSize, kMaxSubscriptionSize + 1, kMaxStreamNameSize}) {
    SCOPED_TRACE(length);
    const std::string stream(length, 'n');
    auto publisher = RegisteredPublisher(broker.uri(), stream);
    LumoDataSubscriber subscriber;
    ASSERT_EQ(subscriber.Subscribe(broker.uri(), stream), 1);
    EXPECT_TRUE(Connect(*publisher, subscriber));
  }
}

TEST(PubSub, RegisterFailsInBoundedTimeAndForBadArguments) {
  auto publisher = LumoDataTransferFactory::CreatePublisher(nullptr);
  EXPECT_THROW(publisher->WriteData(0, {1, 2, 3}, {}), std::logic_error);
  EXPECT_EQ(publisher->CompleteWrite(), -1);

  const auto dead = DeadEndpoint();
  auto start = Clock::now();
  EXPECT_EQ(publisher->Register(dead, "cam", 0), -1);
  auto took = Clock::now() - start;
  EXPECT_GE(took, 900ms);
  EXPECT_LT(took, 3s);
  start = Clock::now();
  EXPECT_EQ(publisher->Register(dead, "cam", 200), -1);
  EXPECT_LT(Clock::now() - start, 2s);

  EXPECT_EQ(publisher->Register("nonsense", "cam", 0), -1);
  BrokerProcess broker;
  EXPECT_EQ(publisher->Register(broker.uri(), "two words", 0), -1);
  EXPECT_EQ(publisher->Register(broker.uri(), "", 0), -1);
  EXPECT_EQ(publisher->endpoint(), "");
  EXPECT_NO_THROW(publisher->Unregister());
}

TEST(PubSub, OnePublisherPerStreamUntilUnregistered) {
  BrokerProcess broker;
  RawBrokerClient monitor(broker.uri());
  auto first = RegisteredPublisher(broker.uri(), "shared");
  auto second = LumoDataTransferFactory::CreatePublisher(nullptr);
  const auto start = Clock::now();
  EXPECT_EQ(second->Register(broker.uri(), "shared", 0), -1);
  EXPECT_LT(Clock::now() - start, 1s);  // a refusal comes at once
  EXPECT_EQ(monitor.Ask({"LIST"}), (Frames{"OK", "shared"}));
  EXPECT_EQ(monitor.Ask({"LOOKUP", "shared"}), (Frames{"OK", first->endpoint()}));

  first->Unregister();
  EXPECT_EQ(first->CompleteWrite(), -1);
  EXPECT_EQ(monitor.Ask({"LIST"}), Frames{"OK"});
  ASSERT_EQ(second->Register(broker.uri(), "shared", 0), 1);
  EXPECT_EQ(monitor.Ask({"LOOKUP", "shared"}), (Frames{"OK", second->endpoint()}));
  // Registering elsewhere releases the first stream; destruction the second.
  ASSERT_EQ(second->Register(broker.uri(), "moved", 0), 1);
  EXPECT_EQ(monitor.Ask({"LIST"}), (Frames{"OK", "moved"}));
  second.reset();
  EXPECT_EQ(monitor.Ask({"LIST"}), Frames{"OK"});
}

TEST(PubSub, KilledPublisherProcessLosesItsStreamWhenTheLeaseEnds) {
  BrokerProcess broker;  // lease 1000 ms
  Process victim(TestPublisherPath(), {broker.uri(), "orphan", "0", "20", "64"});
  ASSERT_TRUE(victim.ReadLine(20s));
  auto heir = LumoDataTransferFactory::CreatePublisher(nullptr);
  EXPECT_EQ(heir->Register(broker.uri(), "orphan", 0), -1);
  victim.Stop(SIGKILL);
  const auto killed = Clock::now();
  EXPECT_TRUE(WaitFor([&] { return heir->Register(broker.uri(), "orphan", 0) == 1; }, 10s, 100ms));
  EXPECT_LT(Clock::now() - killed, 4s);
}

TEST(PubSub, DataFlowsWhileTheBrokerIsDownAndThePublisherRegistersAgain) {
  auto broker = std::make_unique<BrokerProcess>();
  const std::string uri = broker->uri();
  auto publisher = RegisteredPublisher(uri, "survivor");
  LumoDataSubscriber subscriber;
  ASSERT_EQ(subscriber.Subscribe(uri, "survivor"), 1);
  ASSERT_TRUE(Connect(*publisher, subscriber));

  broker->process().Stop(SIGKILL);
  broker.reset();
  LumoSample sample;
  EXPECT_TRUE(WaitFor(
      [&] {
        publisher->WriteData(0, PatternImage(100, 1), {});
        return publisher->CompleteWrite() == 0;
      },
      10s));
  // The subscriber still gets every message straight from the publisher.
  for (std::uint32_t i = 0; i < 5; ++i) {
    publisher->WriteData(0, PatternImage(100, i), {});
    ASSERT_TRUE(subscriber.Read(sample, 5000));
  }

  BrokerProcess restarted(uri);
  EXPECT_TRUE(WaitFor([&] { return publisher->CompleteWrite() == 1; }, 10s));
  RawBrokerClient monitor(uri);
  EXPECT_EQ(monitor.Ask({"LOOKUP", "survivor"}), (Frames{"OK", publisher->endpoint()}));
  publisher->WriteData(0, PatternImage(100, 9), {});
  EXPECT_TRUE(subscriber.Read(sample, 5000));
  EXPECT_EQ(subscriber.stats().gaps, 0u);
  EXPECT_EQ(subscriber.stats().connections, 1u);
}

TEST(PubSub, SubscriberStartedFirstFindsThePublisher) {
  BrokerProcess broker;
  LumoDataSubscriber subscriber;
  EXPECT_EQ(subscriber.Subscribe(broker.uri(), "late", 200), 0);
  LumoSample sample;
  EXPECT_FALSE(subscriber.Read(sample, 300));

  std::atomic<bool> stop{false};
  std::thread publishing([&] {
    std::this_thread::sleep_for(300ms);
    auto publisher = RegisteredPublisher(broker.uri(), "late");
    for (int i = 0; i < 500 && !stop; ++i) {
      publisher->WriteData(0, PatternImage(1000, 7), {});
      std::this_thread::sleep_for(20ms);
    }
  });
  const bool received = subscriber.Read(sample, 10000);
  stop = true;
  publishing.join();
  ASSERT_TRUE(received);
  EXPECT_EQ(sample.data().size(), 1000u);
  EXPECT_FALSE(sample.publisherRestarted);
}

TEST(PubSub, SubscriberFollowsAPublisherRestartedElsewhere) {
  BrokerProcess broker;
  LumoDataSubscriber subscriber;
  subscriber.SetLookupInterval(200);
  subscriber.Subscribe(broker.uri(), "phoenix");
  LumoSample sample;

  auto first = std::make_unique<Process>(TestPublisherPath(), std::vector<std::string>{broker.uri(), "phoenix", "0", "20", "64"});
  ASSERT_TRUE(first->ReadLine(20s));
  ASSERT_TRUE(subscriber.Read(sample, 10000));
  const auto firstEndpoint = subscriber.endpoint();
  first->Stop(SIGKILL);
  first.reset();

  Process second(TestPublisherPath(), {broker.uri(), "phoenix", "0", "20", "64"});
  const auto registered = second.ReadLine(20s);
  ASSERT_TRUE(registered);
  ASSERT_TRUE(ReadUntil(subscriber, sample, [&](const LumoSample&) { return subscriber.endpoint() != firstEndpoint; }, 10s));
  EXPECT_EQ("registered " + subscriber.endpoint(), *registered);
  EXPECT_TRUE(sample.publisherRestarted);
  EXPECT_EQ(subscriber.stats().restarts, 1u);
  EXPECT_EQ(subscriber.stats().connections, 2u);
  EXPECT_EQ(second.Stop(SIGTERM), 0);
}

TEST(PubSub, StuckSubscriberNeverBlocksThePublisherAndSeesTheGap) {
  BrokerProcess broker;
  auto publisher = RegisteredPublisher(broker.uri(), "slow");
  constexpr std::size_t kImageBytes = 1 << 20;
  publisher->SetBufferSize(static_cast<int>(kImageBytes), 2);
  LumoDataSubscriber subscriber;
  subscriber.SetReceiveQueue(2);
  ASSERT_EQ(subscriber.Subscribe(broker.uri(), "slow"), 1);
  const auto firstSequence = Connect(*publisher, subscriber);
  ASSERT_TRUE(firstSequence);

  // The subscriber reads nothing while 300 MiB are written at full speed.
  const auto image = PatternImage(kImageBytes, 3);
  {
    Watchdog watchdog(60s);
    for (int i = 0; i < 300; ++i) {
      publisher->WriteData(0, image, {});
      publisher->CompleteWrite();
    }
  }
  // It then gets what its queues held, and what comes after the gap.
  LumoSample sample;
  std::uint64_t lastSequence = 0;
  for (int i = 0; i < 100 && lastSequence <= *firstSequence + 300; ++i) {
    publisher->WriteData(0, image, {});
    if (subscriber.Read(sample, 2000)) lastSequence = sample.header.sequence;
  }
  ASSERT_GT(lastSequence, *firstSequence + 300);
  EXPECT_GE(subscriber.stats().gaps, 1u);
  EXPECT_GT(subscriber.stats().missed, 200u);
  const auto& stats = subscriber.stats();
  // Every message is either received or counted as missed.
  EXPECT_EQ(stats.received + stats.missed, lastSequence - *firstSequence + 1);
  EXPECT_EQ(sample.data().size(), kImageBytes);
}

TEST(PubSub, SubscriberDropsMalformedMessages) {
  BrokerProcess broker("tcp://127.0.0.1:*", 60000);  // the fake publisher sends no heartbeats
  zmq::context_t context(1);
  zmq::socket_t fake(context, zmq::socket_type::pub);
  fake.set(zmq::sockopt::linger, 0);
  fake.bind("tcp://127.0.0.1:*");
  RawBrokerClient registrar(broker.uri());
  ASSERT_EQ(registrar.Ask({"REGISTER", "cam", fake.get(zmq::sockopt::last_endpoint)})->front(), "OK");

  std::array<std::uint8_t, kDataHeaderSize> header{};
  const auto headerWith = [&](std::uint64_t sequence) {
    DataHeader fields;
    fields.sequence = sequence;
    EncodeDataHeader(fields, header);
    return std::string(header.begin(), header.end());
  };
  const auto send = [&](const Frames& frames) {
    for (std::size_t i = 0; i < frames.size(); ++i)
      fake.send(zmq::buffer(frames[i]), i + 1 < frames.size() ? zmq::send_flags::sndmore : zmq::send_flags::none);
  };
  LumoDataSubscriber subscriber;
  subscriber.SetMaxDataSize(1 << 20);
  ASSERT_EQ(subscriber.Subscribe(broker.uri(), "cam"), 1);
  LumoSample sample;
  ASSERT_TRUE(WaitFor([&] {
    send({"cam", headerWith(1), "", "probe"});
    return subscriber.Read(sample, 20);
  }, 5s));
  while (subscriber.Read(sample, 100)) {
  }
  const auto malformedBefore = subscriber.stats().malformed;

  auto badMagic = headerWith(2);
  badMagic[0] = 'X';
  auto badVersion = headerWith(2);
  badVersion[4] = 9;
  const std::vector<Frames> junk{{"cam"},
                                 {"cam", headerWith(2), ""},
                                 {"camera", headerWith(2), "", "data"},
                                 {"cam", headerWith(2).substr(0, 31), "", "data"},
                                 {"cam", badMagic, "", "data"},
                                 {"cam", badVersion, "", "data"},
                                 {"cam", headerWith(2), std::string(kMaxMetaDataSize + 1, 'm'), "data"}};
  for (const auto& frames : junk) send(frames);
  send({"cam", headerWith(100), "meta", "last"});
  ASSERT_TRUE(subscriber.Read(sample, 5000));
  EXPECT_EQ(sample.header.sequence, 100u);
  EXPECT_EQ(std::string(sample.data().begin(), sample.data().end()), "last");
  EXPECT_EQ(std::string(sample.metaData.begin(), sample.metaData.end()), "meta");
  // ZeroMQ filters by prefix, so "camera" arrives too and is dropped here.
  EXPECT_EQ(subscriber.stats().malformed - malformedBefore, junk.size());

  // A data frame over the limit costs the connection, which ZeroMQ then
  // makes again; nothing of the frame reaches the reader.
  send({"cam", headerWith(101), "", std::string((1 << 20) + 1, 'd')});
  EXPECT_TRUE(WaitFor([&] {
    send({"cam", headerWith(102), "", "after"});
    return subscriber.Read(sample, 20) && sample.header.sequence == 102;
  }, 10s));

  // A message of more frames than a data message has: the publisher is
  // dropped and followed again only at the next look-up.
  const auto connections = subscriber.stats().connections;
  send({"cam", headerWith(201), "", "data", std::string(1000, 'x'), "more"});
  send({"cam", headerWith(202), "", "right after"});
  EXPECT_FALSE(ReadUntil(subscriber, sample, [](const LumoSample& s) { return s.header.sequence == 202; }, 300ms));
  EXPECT_TRUE(WaitFor([&] {
    send({"cam", headerWith(203), "", "later"});
    return subscriber.Read(sample, 20) && sample.header.sequence >= 203;
  }, 5s));
  EXPECT_EQ(subscriber.stats().connections, connections + 1);
}

}  // namespace
}  // namespace lumo::test
