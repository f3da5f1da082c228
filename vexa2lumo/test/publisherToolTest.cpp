// The publisher tool end to end: the simulator streams over UDP on loopback
// to vexatoolsVexa2Lumo, which publishes at a real lumoBroker; a LUMO
// subscriber in the test checks what arrives.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "PublishingTestSupport.hpp"
#include "TestSupport.hpp"  // lumo::test::BrokerProcess, DeadEndpoint
#include "korv/fnd/datatype/DataType.hpp"
#include "lumo/LumoDataSubscriber.hpp"
#include "lumo/LumoEncDec.hpp"
#include "vexasim/FrameScheduler.hpp"
#include "vexatools/testsupport/Http.hpp"
#include "vexatools/testsupport/Network.hpp"
#include "vexatools/testsupport/Process.hpp"

namespace {

using namespace std::chrono_literals;
using vexatools::testsupport::HttpGet;
using vexatools::testsupport::HttpReply;
using vexatools::testsupport::Process;
using vexatools::testsupport::ProcessResult;
using vexatools::testsupport::RunProgram;
using Clock = std::chrono::steady_clock;

// 18 frames a sample: several payload frames, a short last one.
constexpr int kWidth = 320, kHeight = 240;
const std::vector<std::string> kGeometry = {"-w", std::to_string(kWidth), "-e", std::to_string(kHeight), "-t",
                                            "UInt16"};
constexpr std::uint32_t kWarmUpSampleId = 1000;

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::vector<std::string> Join(std::vector<std::string> first, const std::vector<std::string>& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

class PublisherTool : public ::testing::Test {
 protected:
  void Start(int interval, const std::vector<std::string>& extra = {}) {
    m_port = vexatools::testsupport::FreeUdpPort();
    m_tool = std::make_unique<Process>(
        PUBLISHER_PROGRAM, Join(Join({"-p", std::to_string(m_port), "-k", m_broker.uri(), "-s", "e2e", "-i",
                                      std::to_string(interval)},
                                     kGeometry),
                                extra));
    ASSERT_TRUE(vexatools::testsupport::WaitForUdpPort(m_port)) << m_tool->Finish(1s).err;
    m_subscriber.SetLookupInterval(50);
    m_subscriber.Subscribe(m_broker.uri(), "e2e", 2000);
    // Single samples until one comes through: then the subscription stands.
    for (std::uint32_t id = kWarmUpSampleId; id < kWarmUpSampleId + 50; ++id) {
      Simulate({"-s", "1", "--sample-id", std::to_string(id)});
      if (vexa2lumotest::ReadImage(m_subscriber, 200ms)) {
        while (vexa2lumotest::ReadImage(m_subscriber, 500ms)) {
        }
        return;
      }
    }
    FAIL() << "no image reached the subscriber";
  }

  ProcessResult Simulate(const std::vector<std::string>& arguments) {
    auto result = RunProgram(SIMULATOR_PROGRAM, Join(Join({"-p", std::to_string(m_port)}, kGeometry), arguments));
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    return result;
  }

  // Streams with the simulator and reads what is published meanwhile, until
  // the simulator has ended and no image came for a second. The subscriber
  // keeps up, so that no image is dropped on its way.
  std::vector<lumo::LumoSample> StreamAndRead(const std::vector<std::string>& arguments) {
    std::atomic<bool> streaming{true};
    std::thread simulator([&] {
      Simulate(arguments);
      streaming = false;
    });
    std::vector<lumo::LumoSample> images;
    auto lastImage = Clock::now();
    while (streaming || Clock::now() - lastImage < 1s) {
      if (auto image = vexa2lumotest::ReadImage(m_subscriber, 100ms)) {
        images.push_back(std::move(*image));
        lastImage = Clock::now();
      }
    }
    simulator.join();
    return images;
  }

  // The broker's own default lease: what a restarted publisher must outlast.
  lumo::test::BrokerProcess m_broker{"tcp://127.0.0.1:*", 3000};
  lumo::LumoDataSubscriber m_subscriber;
  int m_port = 0;
  std::unique_ptr<Process> m_tool;
};

// The samples whose every frame the simulator sends with these faults.
std::vector<std::uint32_t> CompleteSamples(const korv::vexasim::FaultSettings& faults, std::uint32_t count) {
  const korv::vexasim::SampleFrames layout({kWidth, kHeight, 2, korv::fnd::datatype::UInt16});
  korv::vexasim::FrameScheduler scheduler(layout.FrameCount(), faults);
  std::vector<std::uint32_t> complete;
  std::vector<korv::vexasim::PlannedDatagram> plan;
  for (std::uint32_t index = 0; index < count; ++index) {
    const std::uint32_t id = index + 1;
    scheduler.PlanSample(index, id, plan);
    std::set<std::uint16_t> frames;
    for (const auto& datagram : plan) {
      if (datagram.kind == korv::vexasim::DatagramKind::Frame && datagram.sampleId == id) frames.insert(datagram.frameId);
    }
    if (frames.size() == layout.FrameCount()) complete.push_back(id);
  }
  return complete;
}

TEST_F(PublisherTool, PublishesEveryCompleteSampleBitExactAndNothingElse) {
  Start(0);
  korv::vexasim::FaultSettings faults;
  faults.dropProbability = 0.02;
  faults.seed = 7;
  faults.dropLeaderEvery = 5;
  faults.dropTrailerEvery = 7;
  faults.duplicateEvery = 3;
  faults.foreignEvery = 4;
  faults.junkTruncatedEvery = 6;
  constexpr std::uint32_t kSamples = 60;
  const auto expected = CompleteSamples(faults, kSamples);
  ASSERT_GT(expected.size(), 10u);
  ASSERT_LT(expected.size(), kSamples - 20);

  const auto images =
      StreamAndRead({"-s", std::to_string(kSamples), "-r", "50", "--drop-probability", "0.02", "--seed", "7",
                     "--drop-leader", "5", "--drop-trailer", "7", "--duplicate", "3", "--foreign", "4",
                     "--junk-truncated", "6"});
  std::vector<std::uint32_t> published;
  for (const auto& image : images) {
    const auto id = vexa2lumotest::PatternSampleId(image.data());
    ASSERT_TRUE(id) << "image " << published.size() + 1 << " is not a whole sample";
    published.push_back(*id);
    const auto record = lumo::LumoEncDecImage3D::Decode(image.metaData);
    EXPECT_EQ(record.width, kWidth);
    EXPECT_EQ(record.height, kHeight);
    EXPECT_EQ(record.bytesPerPixel, 2);
    EXPECT_EQ(record.lumoDataType, lumo::kLumoInteger);
  }
  EXPECT_EQ(published, expected);
}

TEST_F(PublisherTool, PublishesAtMostOneImagePerInterval) {
  constexpr int kInterval = 50;
  Start(kInterval);
  const auto images = StreamAndRead({"-s", "30", "-r", "100"});
  ASSERT_GE(images.size(), 5u);
  for (std::size_t i = 1; i < images.size(); ++i) {
    EXPECT_TRUE(vexa2lumotest::PatternSampleId(images[i].data()));
    EXPECT_GE(images[i].header.publishTimeNs - images[i - 1].header.publishTimeNs, kInterval * 1'000'000ull);
  }
}

TEST_F(PublisherTool, ReceptionThatEndsByItselfEndsTheTool) {
  Start(0);
  // A leader with extended info is one this receiver cannot take.
  Simulate({"-s", "1", "--extended-info"});
  const auto result = m_tool->Finish(15s);
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_TRUE(Contains(result.err, "Reception has ended, publishing stopped: Failed to parse leader packet"))
      << result.err;
}

// Checks `text` against the Prometheus text exposition format (HELP and
// TYPE before each family's samples, counters named _total) and returns
// each sample's value by its name and labels.
std::map<std::string, double> ParseExposition(const std::string& text) {
  static const std::regex comment(R"(# (HELP|TYPE) ([a-zA-Z_:][a-zA-Z0-9_:]*) (.+))");
  const std::string label = R"([a-zA-Z_][a-zA-Z0-9_]*="[^"\\]*")";
  static const std::regex sample(R"(([a-zA-Z_:][a-zA-Z0-9_:]*)(\{)" + label + "(," + label +
                                 R"()*\})? ([0-9]+(\.[0-9]+)?))");
  std::map<std::string, double> values;
  std::string family, type;
  EXPECT_TRUE(text.ends_with("\n"));
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::smatch match;
    if (std::regex_match(line, match, comment)) {
      if (match[1] == "TYPE") {
        family = match[2];
        type = match[3];
        EXPECT_TRUE(type == "counter" || type == "gauge") << line;
        EXPECT_EQ(type == "counter", family.ends_with("_total")) << line;
      }
    } else if (std::regex_match(line, match, sample)) {
      EXPECT_EQ(match[1], family) << "a sample outside its family: " << line;
      values[std::string(match[1]) + std::string(match[2])] = std::stod(match[4]);
    } else {
      ADD_FAILURE() << "not in the text format: '" << line << "'";
    }
  }
  return values;
}

TEST_F(PublisherTool, ServesMetricsAndStatsWhileItRuns) {
  const std::uint16_t metricsPort = vexatools::testsupport::FreeTcpPort();
  Start(0, {"--metrics", "127.0.0.1:" + std::to_string(metricsPort), "--stats"});
  const auto images = StreamAndRead({"-s", "20", "-r", "50", "--sample-id", "1"});
  ASSERT_EQ(images.size(), 20u);

  const HttpReply reply = HttpGet(metricsPort, "/metrics");
  EXPECT_EQ(reply.status, 200u);
  EXPECT_TRUE(reply.contentType.starts_with("text/plain; version=0.0.4")) << reply.contentType;
  const auto metrics = ParseExposition(reply.body);
  // The warm-up samples came before: at least the 20 streamed, all accounted for.
  const double published = metrics.at("vexa_images_published_total");
  EXPECT_GE(published, 20);
  EXPECT_EQ(metrics.at("vexa_samples_total{outcome=\"complete\"}"),
            published + metrics.at("vexa_images_dropped_total{cause=\"ring_full\"}"));
  EXPECT_EQ(metrics.at("vexa_samples_total{outcome=\"incomplete\"}"), 0);
  EXPECT_EQ(metrics.at("vexa_datagrams_dropped_total{cause=\"socket_buffer\"}"), 0);
  EXPECT_EQ(metrics.at("vexa_images_dropped_total{cause=\"publish_failure\"}"), 0);
  EXPECT_GE(metrics.at("vexa_receive_buffer_in_force_bytes"), metrics.at("vexa_receive_buffer_wanted_bytes"));
  EXPECT_GT(metrics.at("vexa_received_bytes_total"), 0);
  EXPECT_EQ(HttpGet(metricsPort, "/other").status, 404u);
  EXPECT_EQ(vexatools::testsupport::HostileClientProblems(metricsPort, "/metrics"), "");

  const std::string err = m_tool->Err();
  const auto lastLine = err.rfind("elapsed=");
  ASSERT_NE(lastLine, std::string::npos) << err;
  const std::string line = err.substr(lastLine, err.find('\n', lastLine) - lastLine);
  for (const char* key : {" complete=", " socket_drops=", " published=", " ring_drops=0", " publish_failures=0"}) {
    EXPECT_TRUE(Contains(line, key)) << key << " missing from: " << line;
  }
}

// Finds the summary line of a stopped tool.
bool SearchSummary(const std::string& err, std::smatch& match) {
  static const std::regex summary(
      R"(Stopped: (\d+) complete sample\(s\) received, (\d+) image\(s\) published, dropped: (\d+) ring full, )"
      R"((\d+) publish failure\(s\), (\d+) incomplete sample\(s\)\n)");
  return std::regex_search(err, match, summary);
}

// What `systemctl restart` does: SIGTERM, then a new start at once.
TEST_F(PublisherTool, SigtermStopsCleanlyAndAnImmediateRestartTakesTheStream) {
  Start(0);
  ASSERT_EQ(StreamAndRead({"-s", "10", "-r", "50", "--sample-id", "1"}).size(), 10u);
  ASSERT_EQ(m_tool->Stop(SIGTERM), 0) << m_tool->Err();
  std::smatch summary;
  ASSERT_TRUE(SearchSummary(m_tool->Err(), summary)) << m_tool->Err();
  EXPECT_GE(std::stoul(summary[1]), 10u);
  EXPECT_EQ(summary[2], summary[1]) << "every complete sample published";
  EXPECT_EQ(summary[3], "0");
  EXPECT_EQ(summary[4], "0");
  EXPECT_EQ(summary[5], "0");
  // The stream is free the moment the tool has exited, not a lease later.
  const auto lookup = lumo::test::RawBrokerClient(m_broker.uri()).Ask({"LOOKUP", "e2e"});
  ASSERT_TRUE(lookup);
  EXPECT_EQ(lookup->front(), "ERROR");
  Start(0);
}

// A crash leaves the stream registered until its lease expires: the
// restarted tool keeps trying until then instead of giving up.
TEST_F(PublisherTool, AfterKillNineARestartTakesTheStreamOnceTheStaleLeaseExpires) {
  Start(0);
  ASSERT_EQ(m_tool->Stop(SIGKILL), 128 + SIGKILL);
  Start(0);
}

// Stands in for the service manager: a datagram socket named by
// NOTIFY_SOCKET while the tool is started.
class NotifySocket {
 public:
  NotifySocket() : m_path(testing::TempDir() + "notify-" + std::to_string(getpid())) {
    m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    m_path.copy(address.sun_path, sizeof address.sun_path - 1);
    unlink(m_path.c_str());
    EXPECT_EQ(bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    const timeval timeout{0, 100'000};
    setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  }
  ~NotifySocket() {
    close(m_fd);
    unlink(m_path.c_str());
  }
  const std::string& Path() const { return m_path; }

  // The messages that arrive within `duration`.
  std::vector<std::string> Read(std::chrono::milliseconds duration) {
    std::vector<std::string> messages;
    const auto end = Clock::now() + duration;
    while (Clock::now() < end) {
      char buffer[256];
      const ssize_t bytes = recv(m_fd, buffer, sizeof buffer, 0);
      if (bytes > 0) messages.emplace_back(buffer, static_cast<std::size_t>(bytes));
    }
    return messages;
  }

 private:
  std::string m_path;
  int m_fd = -1;
};

TEST_F(PublisherTool, TellsTheServiceManagerWhenReadyAliveAndStopping) {
  NotifySocket manager;
  setenv("NOTIFY_SOCKET", manager.Path().c_str(), 1);
  setenv("WATCHDOG_USEC", "400000", 1);  // a message at least every 100 ms
  Start(0);
  unsetenv("NOTIFY_SOCKET");
  unsetenv("WATCHDOG_USEC");
  const auto running = manager.Read(1s);
  ASSERT_FALSE(running.empty());
  EXPECT_EQ(running.front(), "READY=1");
  EXPECT_EQ(std::count(running.begin(), running.end(), "READY=1"), 1);
  EXPECT_GE(std::count(running.begin(), running.end(), "WATCHDOG=1"), 5);

  ASSERT_EQ(m_tool->Stop(SIGINT), 0) << m_tool->Err();
  const auto stopping = manager.Read(200ms);
  EXPECT_NE(std::find(stopping.begin(), stopping.end(), "STOPPING=1"), stopping.end());
  std::smatch summary;
  EXPECT_TRUE(SearchSummary(m_tool->Err(), summary)) << m_tool->Err();
}

TEST(PublisherToolFailures, FailedRegistrationEndsTheToolWithStatusOne) {
  const auto start = Clock::now();
  const auto result = RunProgram(
      PUBLISHER_PROGRAM,
      Join({"-p", std::to_string(vexatools::testsupport::FreeUdpPort()), "-k", lumo::test::DeadEndpoint()},
           kGeometry),
      30s);
  const auto seconds = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_TRUE(Contains(result.err, "Application Exception: Could not register LUMO publisher")) << result.err;
  // Five attempts, each bounded by the LUMO registration timeout of 1 s.
  EXPECT_LT(seconds, 15.0);
}

// 192.0.2.1 (a documentation address) is on no interface: the join fails,
// and the message names the group and the address.
TEST(PublisherToolFailures, ReceiverSetUpFailureStopsTheSender) {
  lumo::test::BrokerProcess broker;
  const auto result = RunProgram(PUBLISHER_PROGRAM,
                                 Join({"-a", "239.1.1.1", "-n", "192.0.2.1", "-p",
                                       std::to_string(vexatools::testsupport::FreeUdpPort()), "-k", broker.uri()},
                                      kGeometry),
                                 30s);
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_TRUE(Contains(result.err, "Application Exception: cannot join the multicast group 239.1.1.1 on the interface "
                                   "192.0.2.1: no local interface has the address 192.0.2.1"))
      << result.err;
}

// An interface name where an address belongs is refused before anything
// starts, in the tool frame's own error form, with what to give instead.
TEST(PublisherToolFailures, InterfaceNameIsRefusedWithWhatToGive) {
  const auto result = RunProgram(PUBLISHER_PROGRAM, Join({"-n", "eth0", "-p", "5000", "-k", "tcp://127.0.0.1:1"},
                                                         kGeometry));
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_TRUE(Contains(result.err, "ERROR: -n/--netif wants the IPv4 address of an interface (for example "
                                   "192.168.10.2), not 'eth0'\n\nOptions:"))
      << result.err;
}

TEST(PublisherToolFailures, EmptyImageIsRefusedBeforeReceiving) {
  const auto result = RunProgram(PUBLISHER_PROGRAM, {"-p", "5000", "-w", "0", "-e", "768", "-k", "tcp://127.0.0.1:1"});
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_TRUE(Contains(result.err, "--width must be at least 1")) << result.err;
}

TEST(PublisherToolCommandLine, HelpListsThePublisherOptions) {
  const auto result = RunProgram(PUBLISHER_PROGRAM, {"--help"});
  EXPECT_EQ(result.exitStatus, 0);
  for (const char* option :
       {"-w [ --width ] arg", "image maximum width", "-e [ --height ] arg", "image maximum height",
        "-s [ --lumo-stream ] arg (=vexa_stream)", "LUMO stream name", "-i [ --interval ] arg (=100)",
        "publishing interval in ms", "-k [ --broker-uri ] arg", "Broker URI", "-l [ --log-level ] arg (=ERROR)"}) {
    EXPECT_TRUE(Contains(result.out, option)) << "missing '" << option << "' in:\n" << result.out;
  }
}

}  // namespace
