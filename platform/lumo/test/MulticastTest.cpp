// Multicast endpoints as they cross the network, the transport settings a
// publisher derives from its stream, and what a subscriber that prefers
// multicast does when the stream has none (over loopback: no privileges).
#include <gtest/gtest.h>

#include "TestSupport.hpp"
#include "lumo/Lumo.hpp"
#include "vexatools/testsupport/LoggerCapture.hpp"

namespace lumo::test {
namespace {

using vexatools::testsupport::LoggerCapture;

TEST(MulticastEndpoint, ParsesAndRebuildsTheCanonicalForm) {
  std::string problem;
  const auto pgm = ParseMulticastEndpoint("epgm://10.77.2.2;239.192.7.1:5556", problem);
  ASSERT_TRUE(pgm) << problem;
  EXPECT_EQ(pgm->interfaceAddress, "10.77.2.2");
  EXPECT_EQ(pgm->group, "239.192.7.1");
  EXPECT_EQ(pgm->port, 5556);
  EXPECT_EQ(FormatMulticastEndpoint(*pgm), "epgm://10.77.2.2;239.192.7.1:5556");
  const auto edges = ParseMulticastEndpoint("epgm://10.0.0.1;224.0.1.0:65535", problem);
  ASSERT_TRUE(edges) << problem;
  EXPECT_EQ(FormatMulticastEndpoint(*edges), "epgm://10.0.0.1;224.0.1.0:65535");
  // NORM is refused with the reason: libzmq 4.3.4's sender hangs on images.
  EXPECT_FALSE(ParseMulticastEndpoint("norm://10.0.0.1;239.1.1.1:5556", problem));
  EXPECT_NE(problem.find("NORM is not supported"), std::string::npos);
}

// These strings come from the broker, that is from the network: anything
// but the exact shape is refused, so that nothing odd reaches libzmq (which
// ends the process when it cannot open what it is given).
TEST(MulticastEndpoint, RefusesEverythingElse) {
  for (const std::string& text : std::vector<std::string>{"", "epgm://", "tcp://10.0.0.1:5556", "pgm://10.0.0.1;239.1.1.1:5556",
                                 "EPGM://10.0.0.1;239.1.1.1:5556", "epgm://10.0.0.1:5556",
                                 "epgm://239.1.1.1:5556;10.0.0.1", "epgm://eth0;239.1.1.1:5556",
                                 "epgm://0.0.0.0;239.1.1.1:5556", "epgm://10.0.0.1;10.0.0.2:5556",
                                 "epgm://10.0.0.1;224.0.0.5:5556", "epgm://10.0.0.1;240.0.0.1:5556",
                                 "epgm://10.0.0.1;239.1.1.1:0", "epgm://10.0.0.1;239.1.1.1:65536",
                                 "epgm://10.0.0.1;239.1.1.1:05556", "epgm://10.0.0.1;239.1.1.1:55 6",
                                 "epgm://10.0.0.1;239.1.1.1:", "epgm://10.0.0.1;239.1.1.1:5556\n",
                                 "epgm://10.0.0.1 ;239.1.1.1:5556", "epgm://10.0.0.1;239.1.1.1:+5556",
                                 "epgm://1.2.3.4.5;239.1.1.1:5556", "epgm://[::1];239.1.1.1:5556",
                                 "epgm://10.0.0.1;239.1.1.1:5556" + std::string(250, ' '),
                                 std::string("epgm://10.0.0.1\0;239.1.1.1:5556", 32)}) {
    std::string problem;
    EXPECT_FALSE(ParseMulticastEndpoint(text, problem)) << text;
    EXPECT_FALSE(problem.empty()) << text;
  }
}

TEST(MulticastEndpoint, LocalSideNeedsAnInterfaceOfThisHost) {
  std::string problem;
  const auto endpoint = ParseMulticastEndpoint("epgm://192.0.2.1;239.192.7.1:5556", problem);
  ASSERT_TRUE(endpoint);
  EXPECT_EQ(ZmqMulticastEndpoint(*endpoint, "127.0.0.1", problem), "epgm://127.0.0.1;239.192.7.1:5556");
  EXPECT_FALSE(ZmqMulticastEndpoint(*endpoint, "192.0.2.1", problem));  // TEST-NET-1: on no interface here
  EXPECT_NE(problem.find("192.0.2.1"), std::string::npos);
  EXPECT_EQ(LocalAddressToward("127.0.0.1"), "127.0.0.1");
  EXPECT_EQ(LocalAddressToward("not an address"), "");
  EXPECT_GT(InterfaceMtu("127.0.0.1"), 0);
  EXPECT_EQ(InterfaceMtu("192.0.2.1"), 0);
}

TEST(MulticastSettings, FollowTheStreamAndStayWithinBounds) {
  // 1024 x 768 x 2 bytes at 10 images/s: 126 Mbit/s of pixels, eight times that on a 10 GbE link.
  const auto slow = DeriveMulticastSettings(1572864, 10, 0, 1500, 10000);
  EXPECT_EQ(slow.rateKbit, 1006633);
  EXPECT_EQ(slow.recoveryMs, 800);  // 8 images' worth of repair window
  EXPECT_EQ(slow.maxTpdu, 1500);
  EXPECT_EQ(slow.socketBufferBytes, 1006633LL * 1000 / 8 / 20);  // 50 ms of sending
  // At 300 images/s eight times the pixels is more than the link: the link's speed.
  const auto fast = DeriveMulticastSettings(1572864, 300, 0, 9000, 10000);
  EXPECT_EQ(fast.rateKbit, 10000000);
  EXPECT_EQ(fast.recoveryMs, 200);  // 8 images take 27 ms: the floor
  EXPECT_EQ(fast.maxTpdu, 9000);
  EXPECT_EQ(DeriveMulticastSettings(1572864, 300, 0, 9000, 1000).rateKbit, 1000000);  // a 1 GbE link
  // A rate asked for wins; an unknown stream gets the link's speed, an unknown link 10 Gbit/s.
  EXPECT_EQ(DeriveMulticastSettings(1572864, 300, 2500, 9000, 1000).rateKbit, 2500000);
  EXPECT_EQ(DeriveMulticastSettings(0, 300, 0, 9000, 1000).rateKbit, 1000000);
  EXPECT_EQ(DeriveMulticastSettings(0, 300, 0, 9000, 0).rateKbit, kMaxMulticastRateMbit * 1000);
  EXPECT_EQ(DeriveMulticastSettings(1572864, 0, 0, 9000, 0).recoveryMs, 1000);
  // Bounds: never libzmq's throttling 100 kbit/s, never beyond what OpenPGM counts.
  EXPECT_EQ(DeriveMulticastSettings(100, 1, 0, 1500, 0).rateKbit, 100000);
  EXPECT_EQ(DeriveMulticastSettings(100, 1, 0, 1500, 0).socketBufferBytes, 1 << 20);
  EXPECT_EQ(DeriveMulticastSettings(100, 1, 50000, 1500, 0).rateKbit, 10000000);
  EXPECT_EQ(DeriveMulticastSettings(256 << 20, 1000, 0, 1500, 0).socketBufferBytes, 62500000);  // 50 ms at 10 Gbit/s
  EXPECT_EQ(DeriveMulticastSettings(100, 0.1, 0, 0, 0).recoveryMs, 5000);
  EXPECT_EQ(DeriveMulticastSettings(100, 1, 0, 0, 0).maxTpdu, 1500);  // MTU unknown
  // A receiver's window must hold whatever the fastest sender has in flight.
  const auto receiver = ReceiverMulticastSettings(9000);
  EXPECT_EQ(receiver.maxTpdu, 9000);
  EXPECT_GE(receiver.rateKbit, fast.rateKbit);
  EXPECT_GE(receiver.recoveryMs, fast.recoveryMs);
}

TEST(MulticastPublisher, RefusesEndpointsItCannotOpen) {
  BrokerProcess broker;
  auto publisher = LumoDataTransferFactory::CreatePublisher(nullptr);
  EXPECT_FALSE(publisher->SetMulticast({"epgm://10.0.0.1;10.0.0.2:5556"}));
  // Well-formed, but no interface of this host sends from TEST-NET-1.
  ASSERT_TRUE(publisher->SetMulticast({"epgm://192.0.2.1;239.192.7.1:5556"}));
  EXPECT_EQ(publisher->Register(broker.uri(), "unopened", 0), -1);
  EXPECT_EQ(publisher->endpoint(), "");
  EXPECT_EQ(publisher->multicast_endpoint(), "");
  // Without multicast the same publisher registers as before.
  ASSERT_TRUE(publisher->SetMulticast({}));
  EXPECT_EQ(publisher->Register(broker.uri(), "unopened", 0), 1);
  RawBrokerClient client(broker.uri());
  EXPECT_EQ(client.Ask({"LOOKUP", "unopened"}), (Frames{"OK", publisher->endpoint()}));
}

TEST(MulticastSubscriber, FallsBackToTcpWithAWarningWhenTheStreamHasNoMulticast) {
  BrokerProcess broker;
  auto publisher = LumoDataTransferFactory::CreatePublisher(nullptr);
  ASSERT_EQ(publisher->Register(broker.uri(), "tcp-only", 0), 1);
  LoggerCapture log(log4cplus::Logger::getInstance(kDefaultLoggerName), log4cplus::WARN_LOG_LEVEL);
  LumoDataSubscriber subscriber;
  subscriber.SetMulticast(true);
  ASSERT_EQ(subscriber.Subscribe(broker.uri(), "tcp-only"), 1);
  EXPECT_FALSE(subscriber.multicast());
  EXPECT_EQ(subscriber.endpoint(), publisher->endpoint());
  LumoSample sample;
  bool received = false;
  for (int i = 0; i < 250 && !received; ++i) {
    publisher->WriteData(0, PatternImage(64, 1), {});
    received = subscriber.Read(sample, 20);
  }
  EXPECT_TRUE(received);
  EXPECT_EQ(log.Count(log4cplus::WARN_LOG_LEVEL,
                      "receiving over TCP, not by multicast: the publisher registered no multicast endpoint"),
            1);
}

}  // namespace
}  // namespace lumo::test
