// lumoBroker as a process: its command line, signals and hostile peers.
#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>

#include <csignal>

#include "TestSupport.hpp"
#include "lumo/LumoWire.hpp"

namespace lumo::test {
namespace {

TEST(BrokerProgram, HelpBadOptionsAndTakenPort) {
  Process help(BrokerPath(), {"--help"});
  EXPECT_NE(help.ReadAll(10s).find("--uri"), std::string::npos);
  EXPECT_EQ(help.Wait(10s), 0);

  Process badLease(BrokerPath(), {"--lease-ms", "5"});
  EXPECT_EQ(badLease.Wait(10s), 1);
  Process badUri(BrokerPath(), {"--uri", "nonsense"});
  EXPECT_EQ(badUri.Wait(10s), 1);

  BrokerProcess first;
  Process second(BrokerPath(), {"--uri", first.uri()});
  EXPECT_EQ(second.Wait(10s), 1);
}

// Every LUMO tool refuses a stray word on its command line instead of ignoring it.
TEST(LumoPrograms, RefuseStrayArguments) {
  for (const std::string& program : {BrokerPath(), SubscribePath(), std::string(LUMO_PUBLISH_PATH)}) {
    Process stray(program, {"--help", "stray"});
    EXPECT_EQ(stray.Wait(10s), 1) << program;
  }
}

TEST(BrokerProgram, EndsCleanlyOnSigintAndSigterm) {
  for (int signal : {SIGINT, SIGTERM}) {
    BrokerProcess broker;
    RawBrokerClient client(broker.uri());
    ASSERT_TRUE(client.Ask({"LIST"}));
    EXPECT_EQ(broker.process().Stop(signal), 0) << signal;
  }
}

TEST(BrokerProgram, AnswersReqAndDealerClientsAndRefusesJunkWithError) {
  BrokerProcess broker;
  RawBrokerClient client(broker.uri());
  // Without the empty delimiter, as a DEALER may send it.
  EXPECT_EQ(client.AskBinary({"LIST"}, false), Frames{"OK"});
  // The directory's own checks are tested on their own; these reach it
  // only through the broker's framing.
  for (const Frames& junk : std::vector<Frames>{{std::string("\xFF\xFE\0", 3)}, Frames(20, "LIST")}) {
    const auto reply = client.Ask(junk);
    ASSERT_TRUE(reply);
    ASSERT_FALSE(reply->empty());
    EXPECT_EQ(reply->front(), "ERROR");
  }
  EXPECT_EQ(client.Ask({"LIST"}), Frames{"OK"});
}

TEST(BrokerProgram, SurvivesOversizedFramesFloodsAndNonZeroMqBytes) {
  BrokerProcess broker;
  {
    // A frame over the limit makes ZeroMQ drop the connection; no reply.
    RawBrokerClient greedy(broker.uri());
    EXPECT_FALSE(greedy.Ask({"LOOKUP", std::string(static_cast<std::size_t>(kMaxControlFrameSize) + 1, 'x')}, 500ms));
  }
  {
    // A burst of requests sent without reading replies.
    zmq::context_t context(1);
    zmq::socket_t flood(context, zmq::socket_type::dealer);
    flood.set(zmq::sockopt::linger, 0);
    flood.connect(broker.uri());
    for (int i = 0; i < 5000; ++i) flood.send(zmq::buffer(std::string("JUNK")), zmq::send_flags::dontwait);
  }
  {
    // Raw bytes that are not ZeroMQ at all.
    const auto endpoint = ParseTcpEndpoint(broker.uri());
    ASSERT_TRUE(endpoint);
    boost::asio::io_context context;
    boost::asio::ip::tcp::socket raw(context);
    raw.connect({boost::asio::ip::address_v4::loopback(), static_cast<std::uint16_t>(std::stoi(endpoint->port))});
    const std::string garbage(4096, '\xA5');
    EXPECT_EQ(boost::asio::write(raw, boost::asio::buffer(garbage)), garbage.size());
  }
  RawBrokerClient client(broker.uri());
  EXPECT_EQ(client.Ask({"LIST"}, 5s), Frames{"OK"});
  EXPECT_FALSE(broker.process().Wait(0ms));
}

}  // namespace
}  // namespace lumo::test
