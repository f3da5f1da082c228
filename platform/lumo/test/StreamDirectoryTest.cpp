// The broker's directory on a clock the test moves.
#include <gtest/gtest.h>
#include <log4cplus/logger.h>

#include "StreamDirectory.hpp"

namespace lumo::broker {
namespace {

using namespace std::chrono_literals;
using Frames = StreamDirectory::Frames;

class StreamDirectoryTest : public ::testing::Test {
 protected:
  Frames Ask(const Frames& request, std::string_view peer = "10.1.2.3") { return directory.Handle(request, peer, now); }
  // Registers `stream` and returns its token.
  std::string Register(const std::string& stream, const std::string& endpoint = "tcp://*:7000") {
    const auto reply = Ask({"REGISTER", stream, endpoint});
    EXPECT_EQ(reply.size(), 3u);
    EXPECT_EQ(reply[0], "OK");
    EXPECT_EQ(reply[2], "1000");
    return reply.size() == 3 ? reply[1] : "";
  }

  StreamDirectory::Clock::time_point now{};
  StreamDirectory directory{1000ms, 3, log4cplus::Logger::getInstance("lumo.test.directory")};
};

TEST_F(StreamDirectoryTest, LookupGivesTheEndpointWithTheWildcardHostReplaced) {
  Register("cam");
  EXPECT_EQ(Ask({"LOOKUP", "cam"}), (Frames{"OK", "tcp://10.1.2.3:7000"}));
  Register("anyhost", "tcp://0.0.0.0:7001");
  EXPECT_EQ(directory.Handle({"LOOKUP", "anyhost"}, "", now), (Frames{"OK", "tcp://10.1.2.3:7001"}));
  Register("named", "tcp://camera-host:7002");
  EXPECT_EQ(Ask({"LOOKUP", "named"}), (Frames{"OK", "tcp://camera-host:7002"}));
  EXPECT_EQ(Ask({"LIST"}), (Frames{"OK", "anyhost", "cam", "named"}));
  EXPECT_EQ(Ask({"LOOKUP", "other"})[0], "ERROR");
  // Over IPC the broker does not know the peer's address.
  EXPECT_EQ(directory.Handle({"REGISTER", "x", "tcp://*:7003"}, "", now)[0], "ERROR");
}

TEST_F(StreamDirectoryTest, OnePublisherPerStreamUntilUnregistered) {
  const auto token = Register("cam");
  EXPECT_EQ(Ask({"REGISTER", "cam", "tcp://*:7001"})[0], "ERROR");
  EXPECT_EQ(Ask({"UNREGISTER", "cam", "not-the-token"})[0], "ERROR");
  EXPECT_EQ(Ask({"HEARTBEAT", "cam", "not-the-token"})[0], "ERROR");
  EXPECT_EQ(Ask({"UNREGISTER", "cam", token}), Frames{"OK"});
  EXPECT_EQ(Ask({"UNREGISTER", "cam", token})[0], "ERROR");
  const auto second = Register("cam", "tcp://*:7001");
  EXPECT_NE(second, token);
  EXPECT_EQ(Ask({"LOOKUP", "cam"}), (Frames{"OK", "tcp://10.1.2.3:7001"}));
}

TEST_F(StreamDirectoryTest, HeartbeatsKeepTheLeaseAndSilenceEndsIt) {
  const auto token = Register("cam");
  for (int i = 0; i < 5; ++i) {
    now += 900ms;
    EXPECT_EQ(Ask({"HEARTBEAT", "cam", token}), Frames{"OK"});
  }
  now += 999ms;
  EXPECT_EQ(directory.NextExpiry(), now + 1ms);
  EXPECT_EQ(Ask({"LOOKUP", "cam"})[0], "OK");
  now += 1ms;
  directory.Expire(now);
  EXPECT_EQ(directory.size(), 0u);
  EXPECT_FALSE(directory.NextExpiry());
  // A late heartbeat is refused, which tells the publisher to register again.
  EXPECT_EQ(Ask({"HEARTBEAT", "cam", token})[0], "ERROR");
  Register("cam");
}

TEST_F(StreamDirectoryTest, RefusesMalformedRequestsAndKeepsItsLimit) {
  for (const Frames& junk : std::vector<Frames>{{},
                                                {""},
                                                {"register", "cam", "tcp://*:1"},
                                                {"REGISTER", "cam"},
                                                {"REGISTER", "cam", "tcp://*:1", "extra"},
                                                {"REGISTER", "two words", "tcp://*:1"},
                                                {"REGISTER", "\xFF", "tcp://*:1"},
                                                {"REGISTER", "cam", "udp://*:1"},
                                                {"REGISTER", "cam", "tcp://h:0"},
                                                {"REGISTER", "cam", "ipc://"},
                                                {"REGISTER", "cam", "ipc://with space"},
                                                {"LOOKUP"},
                                                {"LIST", "x", "y"},
                                                {std::string("\0\1\2", 3)},
                                                {std::string(1000, 'Z')}}) {
    const auto reply = Ask(junk);
    ASSERT_EQ(reply.size(), 2u);
    EXPECT_EQ(reply[0], "ERROR");
  }
  EXPECT_EQ(directory.size(), 0u);
  Register("a");
  Register("b", "ipc:///tmp/lumo-b");
  Register("c");
  EXPECT_EQ(Ask({"REGISTER", "d", "tcp://*:1"})[0], "ERROR");
  EXPECT_EQ(Ask({"LOOKUP", "b"}), (Frames{"OK", "ipc:///tmp/lumo-b"}));
}

// A publisher may register a multicast endpoint beside its TCP one. LOOKUP
// answers the TCP endpoint first, so clients that read one frame are
// unaffected; LIST stays a list of names unless MULTICAST is asked for.
TEST_F(StreamDirectoryTest, MulticastEndpointsFollowTheTcpEndpoint) {
  const auto reply = Ask({"REGISTER", "fan", "tcp://*:7000", "epgm://10.1.2.3;239.192.7.1:5556"});
  ASSERT_EQ(reply.size(), 3u);
  EXPECT_EQ(reply[0], "OK");
  Register("plain");
  EXPECT_EQ(Ask({"LOOKUP", "fan"}), (Frames{"OK", "tcp://10.1.2.3:7000", "epgm://10.1.2.3;239.192.7.1:5556"}));
  EXPECT_EQ(Ask({"LOOKUP", "plain"}), (Frames{"OK", "tcp://10.1.2.3:7000"}));
  EXPECT_EQ(Ask({"LIST"}), (Frames{"OK", "fan", "plain"}));
  EXPECT_EQ(Ask({"LIST", "", "MULTICAST"}), (Frames{"OK", "fan", "epgm://10.1.2.3;239.192.7.1:5556", "plain", ""}));
  EXPECT_EQ(Ask({"LIST", "fan", "MULTICAST"}), (Frames{"OK", "plain", ""}));
  // A restarted publisher registers again, with or without multicast.
  EXPECT_EQ(Ask({"UNREGISTER", "fan", reply[1]}), Frames{"OK"});
  Register("fan");
  EXPECT_EQ(Ask({"LOOKUP", "fan"}), (Frames{"OK", "tcp://10.1.2.3:7000"}));
}

TEST_F(StreamDirectoryTest, RefusesMalformedMulticastEndpoints) {
  for (const std::string endpoint : {"", "tcp://*:7000", "epgm://*;239.1.1.1:5556", "epgm://10.0.0.1;10.0.0.2:1",
                                     "norm://10.0.0.1;239.1.1.1:99999", "epgm://10.0.0.1;239.1.1.1:1\r\nX"}) {
    const auto reply = Ask({"REGISTER", "fan", "tcp://*:7000", endpoint});
    ASSERT_EQ(reply.size(), 2u) << endpoint;
    EXPECT_EQ(reply[0], "ERROR") << endpoint;
  }
  EXPECT_EQ(directory.size(), 0u);
  EXPECT_EQ(Ask({"LIST", "", "multicast"})[0], "ERROR");
}

}  // namespace
}  // namespace lumo::broker
