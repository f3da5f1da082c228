#include "TestSupport.hpp"

#include <gtest/gtest.h>
#include <log4cplus/configurator.h>
#include <log4cplus/initializer.h>

#include <sstream>
#include <stdexcept>

#include "ZmqWait.hpp"
#include "vexatools/testsupport/Network.hpp"

namespace lumo::test {

namespace {

// Library records go to standard error at WARN and above.
class LoggingEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    log4cplus::BasicConfigurator(log4cplus::Logger::getDefaultHierarchy(), true).configure();
    log4cplus::Logger::getRoot().setLogLevel(log4cplus::WARN_LOG_LEVEL);
  }
};
const auto* const kLoggingEnvironment = ::testing::AddGlobalTestEnvironment(new LoggingEnvironment);

}  // namespace

namespace {
std::vector<std::string> BrokerArguments(const std::string& uri, int leaseMs, const std::vector<std::string>& more) {
  std::vector<std::string> arguments{"--uri", uri, "--lease-ms", std::to_string(leaseMs), "--log-level", "WARN"};
  arguments.insert(arguments.end(), more.begin(), more.end());
  return arguments;
}
}  // namespace

BrokerProcess::BrokerProcess(const std::string& uri, int leaseMs, const std::vector<std::string>& moreOptions)
    : process_(BrokerPath(), BrokerArguments(uri, leaseMs, moreOptions)) {
  const auto line = process_.ReadLine(10s);
  const std::string prefix = "lumoBroker listening on ";
  if (!line || !line->starts_with(prefix)) throw std::runtime_error("lumoBroker did not start on " + uri);
  uri_ = line->substr(prefix.size(), line->find(' ', prefix.size()) - prefix.size());
}

std::string BrokerProcess::UriFrom(const std::string& source) const {
  return "tcp://" + source + ":0;" + uri_.substr(std::string("tcp://").size());
}

RawBrokerClient::RawBrokerClient(const std::string& uri) : context_(1), socket_(context_, zmq::socket_type::dealer) {
  socket_.set(zmq::sockopt::linger, 0);
  socket_.connect(uri);
}

std::optional<Frames> RawBrokerClient::Ask(const Frames& request, std::chrono::milliseconds timeout) {
  return AskBinary(request, true, timeout);
}

std::optional<Frames> RawBrokerClient::AskBinary(const std::vector<std::string>& frames, bool delimiter,
                                                 std::chrono::milliseconds timeout) {
  if (delimiter) socket_.send(zmq::message_t(), frames.empty() ? zmq::send_flags::none : zmq::send_flags::sndmore);
  for (std::size_t i = 0; i < frames.size(); ++i)
    socket_.send(zmq::buffer(frames[i]), i + 1 < frames.size() ? zmq::send_flags::sndmore : zmq::send_flags::none);
  if (!lumo::detail::WaitReadable(socket_, timeout)) return std::nullopt;
  Frames reply;
  bool more = true;
  while (more) {
    zmq::message_t frame;
    if (!socket_.recv(frame)) break;
    more = frame.more();
    reply.push_back(frame.to_string());
  }
  if (delimiter && !reply.empty() && reply.front().empty()) reply.erase(reply.begin());
  return reply;
}

std::size_t CountLines(const std::string& text, const std::string& containing) {
  std::istringstream lines(text);
  std::size_t count = 0;
  for (std::string line; std::getline(lines, line);) count += line.find(containing) != std::string::npos;
  return count;
}

std::string DeadEndpoint() { return "tcp://127.0.0.1:" + std::to_string(vexatools::testsupport::FreeTcpPort()); }

std::string BrokerPath() { return LUMO_BROKER_PATH; }
std::string SubscribePath() { return LUMO_SUBSCRIBE_PATH; }
std::string TestPublisherPath() { return LUMO_TEST_PUBLISHER_PATH; }
std::string AttackPath() { return LUMO_ATTACK_PATH; }

}  // namespace lumo::test
