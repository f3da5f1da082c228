// LumoStreamList against a real broker, a silent endpoint and a broker that
// answers with names no stream may have.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "TestSupport.hpp"
#include "lumo/Lumo.hpp"

namespace lumo::test {
namespace {

TEST(StreamList, ListsTheRegisteredStreams) {
  BrokerProcess broker;
  LumoStreamList list(broker.uri());
  std::string failure;
  auto names = list.List(2000, failure);
  ASSERT_TRUE(names) << failure;
  EXPECT_TRUE(names->empty());

  auto alpha = LumoDataTransferFactory::CreatePublisher(nullptr);
  auto beta = LumoDataTransferFactory::CreatePublisher(nullptr);
  ASSERT_EQ(alpha->Register(broker.uri(), "alpha", 0), 1);
  ASSERT_EQ(beta->Register(broker.uri(), "beta", 0), 1);
  names = list.List(2000, failure);
  ASSERT_TRUE(names) << failure;
  std::sort(names->begin(), names->end());
  EXPECT_EQ(*names, (std::vector<std::string>{"alpha", "beta"}));
}

TEST(StreamList, SaysWhyWhenNoListCame) {
  LumoStreamList silent(DeadEndpoint());
  std::string failure;
  EXPECT_FALSE(silent.List(200, failure));
  EXPECT_FALSE(failure.empty());
}

// A broker is a peer like any other: what it lists is checked.
TEST(StreamList, LeavesOutNamesNoStreamMayHave) {
  zmq::context_t context(1);
  zmq::socket_t fakeBroker(context, zmq::socket_type::router);
  fakeBroker.set(zmq::sockopt::linger, 0);
  fakeBroker.set(zmq::sockopt::rcvtimeo, 5000);
  fakeBroker.bind("tcp://127.0.0.1:*");
  const std::string uri = fakeBroker.get(zmq::sockopt::last_endpoint);
  std::thread answer([&] {
    std::vector<zmq::message_t> request;
    for (bool more = true; more;) {
      zmq::message_t frame;
      if (!fakeBroker.recv(frame)) return;
      more = frame.more();
      request.push_back(std::move(frame));
    }
    const std::vector<std::string> reply{"", "OK", "good", "with blank", "", std::string(300, 'a'), "ctl\x01"};
    fakeBroker.send(request.front(), zmq::send_flags::sndmore);
    for (std::size_t i = 0; i < reply.size(); ++i)
      fakeBroker.send(zmq::buffer(reply[i]), i + 1 < reply.size() ? zmq::send_flags::sndmore : zmq::send_flags::none);
  });
  LumoStreamList list(uri);
  std::string failure;
  const auto names = list.List(3000, failure);
  answer.join();
  ASSERT_TRUE(names) << failure;
  EXPECT_EQ(*names, std::vector<std::string>{"good"});
}

}  // namespace
}  // namespace lumo::test
