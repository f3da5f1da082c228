// LUMO against peers that break the rules on purpose: strangers, clients
// that never read, token guessers, floods, absurd numbers. Memory under
// these attacks is measured by bench/lumo/soak.sh, not here.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "TestSupport.hpp"
#include "ZmqWait.hpp"
#include "lumo/Lumo.hpp"

namespace lumo::test {
namespace {

namespace fs = std::filesystem;

TEST(BrokerAccess, StrangersAreRefusedAtTheHandshakeAndListedNetworksServed) {
  BrokerProcess broker("tcp://127.0.0.1:*", 1000, {"--allow", "127.0.0.1/32", "--allow", "::1"});
  // The hostile peer speaks ZeroMQ's wire protocol by hand, as the
  // unfinished-message attack needs; it is refused before it sends a frame.
  Process stranger(AttackPath(), {"unfinished", broker.UriFrom("127.0.0.9"), "100", "0"});
  EXPECT_EQ(stranger.ReadAll(20s), "refused at the handshake\n");
  EXPECT_EQ(stranger.Wait(10s), 0);
  RawBrokerClient strangerClient(broker.UriFrom("127.0.0.9"));
  EXPECT_FALSE(strangerClient.Ask({"LIST"}, 500ms));

  RawBrokerClient friendly(broker.uri());
  EXPECT_EQ(friendly.Ask({"LIST"}), Frames{"OK"});
  EXPECT_TRUE(WaitFor([&] { return broker.process().Err().find("Refused a connection from 127.0.0.9") != std::string::npos; }, 5s));

  // Without --allow, all of loopback may connect.
  BrokerProcess open;
  RawBrokerClient neighbour(open.UriFrom("127.0.0.9"));
  EXPECT_EQ(neighbour.Ask({"LIST"}), Frames{"OK"});

  for (const char* bad : {"10.0.0.0/33", "host.example", "127.0.0.1/"}) {
    Process refused(BrokerPath(), {"--uri", "tcp://127.0.0.1:*", "--allow", bad});
    EXPECT_EQ(refused.Wait(10s), 1) << bad;
  }
}

// ZeroMQ holds a request that never ends in memory until the peer leaves;
// then the broker gives the memory back instead of keeping it for the rest
// of its run.
TEST(BrokerBounds, AnUnfinishedRequestsMemoryGoesBackWhenThePeerLeaves) {
  if (!vexatools::testsupport::kResidentMemoryShowsGrowth) GTEST_SKIP() << "resident memory means little here";
  BrokerProcess broker;
  const auto residentBefore = vexatools::testsupport::ResidentKilobytes(broker.process().Pid());
  ASSERT_TRUE(residentBefore);
  Process attacker(AttackPath(), {"unfinished", broker.uri(), "200", "0"});
  EXPECT_EQ(attacker.Wait(60s), 0) << attacker.Err();
  EXPECT_TRUE(WaitFor([&] {
    return vexatools::testsupport::ResidentKilobytes(broker.process().Pid()).value_or(0) < *residentBefore + 20 * 1024;
  }, 5s)) << vexatools::testsupport::ResidentKilobytes(broker.process().Pid()).value_or(0) << " kB, "
          << *residentBefore << " kB before 200 MB of one request";
}

TEST(BrokerBounds, ListIsPagedAndClientsThatNeverReadDoNotStopTheBroker) {
  BrokerProcess broker("tcp://127.0.0.1:*", 60000);
  RawBrokerClient registrar(broker.uri());
  std::vector<std::string> names;
  for (int i = 0; i < 150; ++i) {
    names.push_back("stream" + std::to_string(100 + i));
    ASSERT_EQ(registrar.Ask({"REGISTER", names.back(), "tcp://127.0.0.1:1"})->front(), "OK");
  }
  const auto first = registrar.Ask({"LIST"});
  ASSERT_TRUE(first);
  ASSERT_EQ(first->size(), 1 + kMaxListNames);
  EXPECT_EQ(std::vector<std::string>(first->begin() + 1, first->end()),
            std::vector<std::string>(names.begin(), names.begin() + kMaxListNames));
  const auto rest = registrar.Ask({"LIST", first->back()});
  ASSERT_TRUE(rest);
  EXPECT_EQ(std::vector<std::string>(rest->begin() + 1, rest->end()),
            std::vector<std::string>(names.begin() + kMaxListNames, names.end()));
  EXPECT_EQ(registrar.Ask({"LIST", names.back()}), Frames{"OK"});

  Process hoarder(AttackPath(), {"list", broker.uri(), "3", "600", "0"});
  EXPECT_EQ(hoarder.Wait(30s), 0);
  EXPECT_EQ(registrar.Ask({"LOOKUP", "stream107"}), (Frames{"OK", "tcp://127.0.0.1:1"}));
}

TEST(BrokerTokens, AreLongUniqueAndOnlyTheExactTokenCounts) {
  BrokerProcess broker("tcp://127.0.0.1:*", 60000);
  RawBrokerClient client(broker.uri());
  std::set<std::string> tokens;
  for (int i = 0; i < 50; ++i) {
    const auto reply = client.Ask({"REGISTER", "cam", "tcp://127.0.0.1:1"});
    ASSERT_TRUE(reply && reply->size() == 3 && reply->front() == "OK");
    const std::string token = reply->at(1);
    EXPECT_EQ(token.size(), 32u);  // 128 bits in hex
    EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos);
    tokens.insert(token);
    std::string near = token;
    near.back() = near.back() == '0' ? '1' : '0';
    EXPECT_EQ(client.Ask({"UNREGISTER", "cam", near})->front(), "ERROR");
    EXPECT_EQ(client.Ask({"UNREGISTER", "cam", token.substr(0, 16)})->front(), "ERROR");
    EXPECT_EQ(client.Ask({"UNREGISTER", "cam", token}), Frames{"OK"});
  }
  EXPECT_EQ(tokens.size(), 50u);
}

TEST(BrokerLog, PeerTriggeredLinesAreThrottled) {
  BrokerProcess broker("tcp://127.0.0.1:*", 60000);
  RawBrokerClient client(broker.uri());
  ASSERT_EQ(client.Ask({"REGISTER", "cam", "tcp://127.0.0.1:1"})->front(), "OK");
  for (int i = 0; i < 2000; ++i) {
    ASSERT_EQ(client.Ask({"REGISTER", "cam", "tcp://127.0.0.1:2"})->front(), "ERROR");
    ASSERT_EQ(client.Ask({"junk"})->front(), "ERROR");
  }
  // The next line let through tells how many were held back.
  std::this_thread::sleep_for(1100ms);
  ASSERT_EQ(client.Ask({"REGISTER", "cam", "tcp://127.0.0.1:2"})->front(), "ERROR");
  ASSERT_TRUE(WaitFor([&] { return broker.process().Err().find("held back") != std::string::npos; }, 5s));
  const std::string log = broker.process().Err();
  EXPECT_GE(CountLines(log, "Refused stream 'cam'"), 1u);
  // Ten lines a second of each kind at most; the run lasts a few seconds.
  EXPECT_LT(CountLines(log, "Refused stream 'cam'"), 100u);
  EXPECT_LT(CountLines(log, "malformed request"), 100u);
}

TEST(PublisherAccess, OnlySubscribersFromAllowedNetworksReceive) {
  BrokerProcess broker;
  auto publisher = LumoDataTransferFactory::CreatePublisher(nullptr);
  EXPECT_FALSE(publisher->SetAllowedPeers({"127.0.0.1/40"}));
  ASSERT_TRUE(publisher->SetAllowedPeers({"127.0.0.1/32"}));
  ASSERT_EQ(publisher->Register(broker.uri(), "guarded", 0), 1);

  zmq::context_t context(1);
  zmq::socket_t stranger(context, zmq::socket_type::sub);
  stranger.set(zmq::sockopt::linger, 0);
  stranger.set(zmq::sockopt::subscribe, "");
  const auto endpoint = ParseTcpEndpoint(publisher->endpoint());
  ASSERT_TRUE(endpoint);
  stranger.connect("tcp://127.0.0.9:0;127.0.0.1:" + endpoint->port);
  LumoDataSubscriber subscriber;
  ASSERT_EQ(subscriber.Subscribe(broker.uri(), "guarded"), 1);

  LumoSample sample;
  bool received = false;
  for (int i = 0; i < 250 && !received; ++i) {
    publisher->WriteData(0, PatternImage(16, 1), {});
    received = subscriber.Read(sample, 20);
  }
  EXPECT_TRUE(received);
  for (int i = 0; i < 10; ++i) publisher->WriteData(0, PatternImage(16, 2), {});
  EXPECT_FALSE(lumo::detail::WaitReadable(stranger, 300ms));
}

// A publisher's data socket, registered by hand, that sends any header.
class FakePublisher {
 public:
  explicit FakePublisher(const BrokerProcess& broker) : context_(1), socket_(context_, zmq::socket_type::pub) {
    socket_.set(zmq::sockopt::linger, 0);
    socket_.bind("tcp://127.0.0.1:*");
    RawBrokerClient registrar(broker.uri());
    registered_ = registrar.Ask({"REGISTER", "cam", socket_.get(zmq::sockopt::last_endpoint)})->front() == "OK";
  }
  bool registered() const { return registered_; }
  void Send(std::uint64_t sequence) {
    DataHeader fields;
    fields.sequence = sequence;
    std::array<std::uint8_t, kDataHeaderSize> header{};
    EncodeDataHeader(fields, header);
    socket_.send(zmq::buffer(std::string("cam")), zmq::send_flags::sndmore);
    socket_.send(zmq::buffer(header), zmq::send_flags::sndmore);
    socket_.send(zmq::message_t(), zmq::send_flags::sndmore);
    socket_.send(zmq::buffer(std::string("data")), zmq::send_flags::none);
  }

 private:
  zmq::context_t context_;
  zmq::socket_t socket_;
  bool registered_ = false;
};

TEST(SubscriberSequence, ZeroIsDroppedAbsurdJumpsAreRestartsAndARestartCountsWhatItMissed) {
  BrokerProcess broker("tcp://127.0.0.1:*", 60000);
  FakePublisher fake(broker);
  ASSERT_TRUE(fake.registered());
  LumoDataSubscriber subscriber;
  ASSERT_EQ(subscriber.Subscribe(broker.uri(), "cam"), 1);
  LumoSample sample;
  ASSERT_TRUE(WaitFor([&] {
    fake.Send(19);
    return subscriber.Read(sample, 20);
  }, 5s));
  while (subscriber.Read(sample, 100)) {
  }
  const auto before = subscriber.stats();

  struct Step {
    std::uint64_t sequence;
    std::uint64_t missedBefore;
    bool restarted;
  };
  // After 20: 0 is dropped; a jump to 2^64-1 is a new sequence, not loss;
  // then 1 starts another, 3 after it misses one and 9 five; 2 starts yet
  // another, of which 1 went by unseen.
  fake.Send(20);
  fake.Send(0);
  const std::vector<Step> steps{{20, 0, false}, {UINT64_MAX, 0, true}, {1, 0, true}, {3, 1, false}, {9, 5, false},
                                {2, 1, true}};
  for (std::size_t i = 1; i < steps.size(); ++i) fake.Send(steps[i].sequence);
  for (const auto& step : steps) {
    ASSERT_TRUE(subscriber.Read(sample, 5000));
    EXPECT_EQ(sample.header.sequence, step.sequence);
    EXPECT_EQ(sample.missedBefore, step.missedBefore) << step.sequence;
    EXPECT_EQ(sample.publisherRestarted, step.restarted) << step.sequence;
  }
  EXPECT_EQ(subscriber.stats().malformed - before.malformed, 1u);
  EXPECT_EQ(subscriber.stats().restarts - before.restarts, 3u);
  // Gaps: 3 after 1, 9 after 3 (5 missed), and the restart at 2.
  EXPECT_EQ(subscriber.stats().missed - before.missed, 1u + 5u + 1u);
}

TEST(LumoPrograms, NumbersAreCheckedAtSetUp) {
  const std::vector<std::vector<std::string>> commands{
      {SubscribePath(), "-n", "-1"},
      {LUMO_PUBLISH_PATH, "-n", "-1"},
      {BrokerPath(), "-u", "tcp://127.0.0.1:70000"},
      {BrokerPath(), "-u", "tcp://127.0.0.1:0x10"},
      {SubscribePath(), "-b", "tcp://127.0.0.1:70000", "--timeout", "1"},
      {LUMO_PUBLISH_PATH, "-b", "tcp://127.0.0.1:70000", "-n", "1"}};
  for (const auto& command : commands) {
    Process program(command[0], std::vector<std::string>(command.begin() + 1, command.end()));
    EXPECT_EQ(program.Wait(20s), 1) << command[1] << " " << command[2];
  }
}

class SavedImages : public ::testing::Test {
 protected:
  void SetUp() override {
    directory = fs::temp_directory_path() / ("lumo-saved-images-" + std::to_string(getpid()) + "-" +
                                             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(directory);
  }
  void TearDown() override { fs::remove_all(directory); }
  std::vector<std::string> FileNames() const {
    std::vector<std::string> names;
    if (fs::exists(directory))
      for (const auto& entry : fs::directory_iterator(directory)) names.push_back(entry.path().filename().string());
    return names;
  }
  fs::path directory;
};

TEST_F(SavedImages, ARestartedPublisherNeverOverwritesEarlierFiles) {
  BrokerProcess broker;
  Process tool(SubscribePath(), {"--broker-uri", broker.uri(), "--stream", "again", "--timeout", "3", "--save",
                                 directory.string()});
  const std::vector<std::string> publishArguments{"-b", broker.uri(), "-s", "again", "-w", "8", "-e", "2", "-r", "20"};
  std::string output;
  {
    // The first run lasts until the subscriber has an image of it: under
    // load the subscriber can take longer to start than a short run lasts.
    Process publisher(LUMO_PUBLISH_PATH, publishArguments);
    const auto firstLine = tool.ReadLine(20s);
    ASSERT_TRUE(firstLine && firstLine->starts_with("seq ")) << firstLine.value_or("") << tool.Err();
    output = *firstLine + "\n";
    EXPECT_EQ(publisher.Stop(SIGTERM), 0);
  }
  auto secondRunArguments = publishArguments;
  secondRunArguments.insert(secondRunArguments.end(), {"-n", "30"});
  Process publisher(LUMO_PUBLISH_PATH, secondRunArguments);
  EXPECT_EQ(publisher.Wait(20s), 0);
  output += tool.ReadAll(30s);
  EXPECT_EQ(tool.Wait(10s), 2);
  const std::size_t listed = CountLines(output, "seq ");
  // Images of both runs, the second one's first counting those it sent
  // before the subscriber found it.
  EXPECT_EQ(CountLines(output, "missed) (publisher restarted)"), 1u) << output;
  EXPECT_EQ(FileNames().size(), listed);
}

TEST_F(SavedImages, ImagesWiderThanAMillionPixelsAreSavedAndFailuresLeaveNoFile) {
  BrokerProcess broker;
  Process publisher(TestPublisherPath(), {broker.uri(), "wide", "0", "50", "1500000"});
  ASSERT_TRUE(publisher.ReadLine(20s));
  Process tool(SubscribePath(), {"--broker-uri", broker.uri(), "--stream", "wide", "--count", "1", "--save",
                                 directory.string()});
  const std::string output = tool.ReadAll(30s);
  EXPECT_EQ(tool.Wait(10s), 0);
  EXPECT_NE(output.find("1500000x1"), std::string::npos) << output;
  const auto names = FileNames();
  ASSERT_EQ(names.size(), 1u);
  EXPECT_TRUE(names[0].ends_with(".png")) << names[0];
  EXPECT_GT(fs::file_size(directory / names[0]), 0u);
}

}  // namespace
}  // namespace lumo::test
