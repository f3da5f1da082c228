// End to end: vexatoolsVexaSim -> vexatoolsGatewayExample -> lumoBroker -> a
// subscriber, with and without the Basic Image Info.
#include <gtest/gtest.h>

#include <signal.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include <map>
#include <sstream>

#include "TestSupport.hpp"  // lumo::test::BrokerProcess, WaitFor
#include "lumo/Lumo.hpp"
#include "vexasim/SampleFrames.hpp"
#include "vexatools/testsupport/Http.hpp"
#include "vexatools/testsupport/Network.hpp"
#include "vexatools/testsupport/Process.hpp"

namespace {

using namespace std::chrono_literals;
using vexatools::testsupport::Process;
using vexatools::testsupport::RunProgram;

std::map<std::string, std::string> ParseStatistics(const std::string& out) {
  std::map<std::string, std::string> fields;
  std::istringstream lines(out);
  std::string name, value;
  while (lines >> name >> value) fields[name] = value;
  return fields;
}

struct Case {
  const char* name;
  std::vector<std::string> simOptions;      // beyond port, geometry and count
  std::vector<std::string> exampleOptions;  // beyond port, broker, stream
  int width, height, bytesPerPixel, lumoDataType;
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

class GatewayExample : public testing::TestWithParam<Case> {};

TEST_P(GatewayExample, ImagesArriveBitExactAndTheStatisticsMatch) {
  const Case& c = GetParam();
  // A long lease: the stream is free right after the example stops only
  // because the example unregisters it.
  lumo::test::BrokerProcess broker("tcp://127.0.0.1:*", 60000);
  const int port = vexatools::testsupport::FreeUdpPort();
  const std::string stream = std::string("gw_") + c.name;
  std::vector<std::string> exampleArguments{"-p", std::to_string(port), "-k", broker.uri(), "-s", stream, "-i", "0"};
  exampleArguments.insert(exampleArguments.end(), c.exampleOptions.begin(), c.exampleOptions.end());
  Process example(GATEWAY_EXAMPLE, exampleArguments);
  ASSERT_TRUE(vexatools::testsupport::WaitForUdpPort(port));

  lumo::LumoDataSubscriber subscriber;
  ASSERT_TRUE(lumo::test::WaitFor([&] { return subscriber.Subscribe(broker.uri(), stream, 200) == 1; }, 10s));
  auto send = [&](std::uint32_t firstId, int count) {
    std::vector<std::string> arguments{"-p", std::to_string(port), "-w", std::to_string(c.width), "-e",
                                       std::to_string(c.height), "-s", std::to_string(count), "-r", "100",
                                       "--sample-id", std::to_string(firstId)};
    arguments.insert(arguments.end(), c.simOptions.begin(), c.simOptions.end());
    ASSERT_EQ(RunProgram(VEXASIM, arguments).exitStatus, 0);
  };
  // Sample 1 until the subscription is through, then samples 2 to 21.
  lumo::LumoSample sample;
  int probes = 0;
  for (bool connected = false; !connected && probes < 50; ++probes) {
    send(1, 1);
    connected = subscriber.Read(sample, 200);
  }
  while (subscriber.Read(sample, 200)) {
  }
  constexpr int kSamples = 20;
  send(2, kSamples);

  const std::size_t sampleBytes = std::size_t(c.width) * c.height * c.bytesPerPixel;
  for (std::uint32_t id = 2; id < 2 + kSamples; ++id) {
    SCOPED_TRACE(id);
    ASSERT_TRUE(subscriber.Read(sample, 5000));
    const auto meta = lumo::LumoEncDecImage3D::Decode(sample.metaData);
    EXPECT_EQ(meta.width, c.width);
    EXPECT_EQ(meta.height, c.height);
    EXPECT_EQ(meta.bytesPerPixel, c.bytesPerPixel);
    EXPECT_EQ(meta.lumoDataType, c.lumoDataType);
    std::vector<std::uint8_t> expected(sampleBytes);
    korv::vexasim::FillPattern(id, 0, expected.data(), expected.size());
    ASSERT_EQ(sample.data().size(), sampleBytes);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), sample.data().begin()));
  }

  example.Signal(SIGINT);
  const auto result = example.Finish(10s);
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  const auto statistics = ParseStatistics(result.out);
  EXPECT_EQ(statistics.size(), 11u) << result.out;
  EXPECT_EQ(statistics.at("samples"), std::to_string(probes + kSamples));
  EXPECT_EQ(statistics.at("missedSamples"), "0");
  EXPECT_EQ(statistics.count("ringDrops"), 1u);
  EXPECT_EQ(statistics.at("sampleIdJumps"), "0");
  EXPECT_EQ(statistics.at("bytes"), std::to_string((probes + kSamples) * sampleBytes));
  for (const char* field : {"elapsedSeconds", "samplesPerSecond", "meanIntervalSeconds"}) {
    EXPECT_GT(std::stod(statistics.at(field)), 0.0) << field;
  }

  lumo::LumoDataSubscriber late;
  EXPECT_EQ(late.Subscribe(broker.uri(), stream, 1000), 0) << "the stream is still registered";
}

INSTANTIATE_TEST_SUITE_P(
    Geometry, GatewayExample,
    testing::Values(Case{"extended", {"--extended-info", "-t", "Float"}, {"-x"}, 160, 120, 4, 3},
                    Case{"configured", {"-t", "UInt16"}, {"-w", "200", "-e", "90", "-t", "UInt16"}, 200, 90, 2, 1}),
    [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

// With the sender not yet registered, samples still reach the gateway's
// statistics, which /metrics shows as they are.
TEST(GatewayExampleMetrics, ServesTheStatisticsWhileItRuns) {
  lumo::test::BrokerProcess broker("tcp://127.0.0.1:*", 60000);
  const int port = vexatools::testsupport::FreeUdpPort();
  const std::uint16_t metricsPort = vexatools::testsupport::FreeTcpPort();
  Process example(GATEWAY_EXAMPLE, {"-p", std::to_string(port), "-k", broker.uri(), "-w", "64", "-e", "64", "-t",
                                    "UInt16", "--metrics", "127.0.0.1:" + std::to_string(metricsPort)});
  ASSERT_TRUE(vexatools::testsupport::WaitForUdpPort(port));
  ASSERT_EQ(RunProgram(VEXASIM, {"-p", std::to_string(port), "-w", "64", "-e", "64", "-t", "UInt16", "-s", "3",
                                 "-r", "100"})
                .exitStatus,
            0);
  std::string body;
  EXPECT_TRUE(lumo::test::WaitFor(
      [&] {
        body = vexatools::testsupport::HttpGet(metricsPort, "/metrics").body;
        return body.find("\nvexa_gateway_samples_total 3\n") != std::string::npos;
      },
      10s))
      << body;
  EXPECT_NE(body.find("# TYPE vexa_gateway_samples_total counter\n"), std::string::npos) << body;
  EXPECT_NE(body.find("\nvexa_images_dropped_total{cause=\"ring_full\"} 0\n"), std::string::npos) << body;
  EXPECT_EQ(vexatools::testsupport::HostileClientProblems(metricsPort, "/metrics"), "");
  example.Signal(SIGINT);
  EXPECT_EQ(example.Finish(10s).exitStatus, 0);
}

TEST(GatewayExampleCommandLine, SetUpFailuresEndWithStatusOne) {
  EXPECT_EQ(RunProgram(GATEWAY_EXAMPLE, {"-k", "tcp://127.0.0.1:1"}).exitStatus, 1);  // no port
  EXPECT_EQ(RunProgram(GATEWAY_EXAMPLE, {"-p", "5000"}).exitStatus, 1);             // no broker
  // An interface name where its address belongs, and a port another socket
  // holds without sharing it: each message names what to fix.
  auto result = RunProgram(GATEWAY_EXAMPLE, {"-p", "5000", "-k", "tcp://127.0.0.1:1", "-n", "eth0"});
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_NE(result.err.find("ERROR: -n/--netif wants the IPv4 address of an interface (for example 192.168.10.2), "
                            "not 'eth0'"),
            std::string::npos)
      << result.err;
  boost::asio::io_context context;
  boost::asio::ip::udp::socket holder(context, {boost::asio::ip::udp::v4(), 0});
  const std::string port = std::to_string(holder.local_endpoint().port());
  result = RunProgram(GATEWAY_EXAMPLE, {"-p", port, "-k", "tcp://127.0.0.1:1"});
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_NE(result.err.find("cannot receive on UDP 0.0.0.0:" + port + ": Address already in use"), std::string::npos)
      << result.err;
  const auto help = RunProgram(GATEWAY_EXAMPLE, {"--help"});
  EXPECT_EQ(help.exitStatus, 0);
}

}  // namespace
