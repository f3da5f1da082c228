// The programs that publish a VEXA stream as LUMO images (the publisher tool
// and the gateway example) while their peers misbehave: a storm of junk
// datagrams beside the valid stream, the broker killed and restarted, a
// subscriber killed mid-image and one that stops reading. Each must keep
// publishing every complete sample, once, with bounded memory.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <chrono>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "PublishingTestSupport.hpp"
#include "TestSupport.hpp"  // lumo::test::BrokerProcess, SubscribePath
#include "korv/fnd/datatype/DataType.hpp"
#include "lumo/LumoDataSubscriber.hpp"
#include "vexasim/SampleFrames.hpp"
#include "vexatools/testsupport/Junk.hpp"
#include "vexatools/testsupport/Network.hpp"
#include "vexatools/testsupport/Process.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using vexatools::testsupport::Datagram;
using vexatools::testsupport::Process;
using vexatools::testsupport::ResidentKilobytes;
using vexatools::testsupport::UdpQueueOf;
using vexatools::testsupport::UdpSender;
using vexatools::testsupport::WaitFor;

// Images tell their sample id modulo 256 only: the stream's samples are
// numbered from 1 to 199, the warm-up samples from 200.
constexpr std::uint32_t kWarmUpSampleId = 200;

struct PublishingProgram {
  const char* name;
  const char* path;
};

void PrintTo(const PublishingProgram& program, std::ostream* out) { *out << program.name; }

// Reads the stream on a thread of its own and keeps up with it: records the
// sample id of each image (all ones for an image that is no whole sample).
class StreamReader {
 public:
  StreamReader(const std::string& brokerUri, const std::string& stream) {
    m_subscriber.SetLookupInterval(50);
    m_subscriber.Subscribe(brokerUri, stream, 2000);
    m_thread = std::thread([this] {
      while (!m_stop) {
        if (const auto image = vexa2lumotest::ReadImage(m_subscriber, 50ms)) {
          const auto id = vexa2lumotest::PatternSampleId(image->data());
          const std::lock_guard lock(m_mutex);
          m_ids.push_back(id.value_or(0xFFFFFFFF));
        }
      }
    });
  }
  ~StreamReader() {
    m_stop = true;
    m_thread.join();
  }

  // Sample ids below the warm-up ids, in arrival order.
  std::vector<std::uint32_t> StreamIds() const {
    const std::lock_guard lock(m_mutex);
    std::vector<std::uint32_t> ids;
    for (const auto id : m_ids) {
      if (id < kWarmUpSampleId || id == 0xFFFFFFFF) ids.push_back(id);
    }
    return ids;
  }
  std::size_t Count() const {
    const std::lock_guard lock(m_mutex);
    return m_ids.size();
  }

 private:
  lumo::LumoDataSubscriber m_subscriber;
  mutable std::mutex m_mutex;
  std::vector<std::uint32_t> m_ids;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

std::vector<std::uint32_t> Range(std::uint32_t first, std::uint32_t last) {
  std::vector<std::uint32_t> ids;
  for (std::uint32_t id = first; id <= last; ++id) ids.push_back(id);
  return ids;
}

// Each image once, in order, and at most `missing` of the `count` samples
// missing: a loaded machine may stall the program long enough for a few
// samples to pass it by.
void ExpectInOrderOnce(const std::vector<std::uint32_t>& ids, std::uint32_t count, std::uint32_t missing) {
  // Strictly increasing: no image twice, none out of order.
  EXPECT_TRUE(std::adjacent_find(ids.begin(), ids.end(), std::greater_equal<>()) == ids.end())
      << testing::PrintToString(ids);
  EXPECT_LE(ids.size(), count);
  EXPECT_GE(ids.size() + missing, count) << testing::PrintToString(ids);
  if (!ids.empty()) {
    EXPECT_LE(ids.back(), count);
  }
}

class PublishingFaults : public testing::TestWithParam<PublishingProgram> {
 protected:
  // Starts a broker on a fixed loopback port, so that a restarted one is
  // found at the same address.
  void StartBroker() {
    if (m_brokerUri.empty())
      m_brokerUri = "tcp://127.0.0.1:" + std::to_string(vexatools::testsupport::FreeTcpPort());
    m_broker = std::make_unique<lumo::test::BrokerProcess>(m_brokerUri);
  }

  // Starts the program publishing every image (-i 0) of `width` x `height`
  // UInt16 samples, and a reader that keeps up with the stream; returns once
  // an image has come through.
  void Start(int width, int height) {
    m_frames = std::make_unique<korv::vexasim::SampleFrames>(
        korv::vexasim::SampleLayout{width, height, 2, korv::fnd::datatype::UInt16});
    StartBroker();
    m_port = vexatools::testsupport::FreeUdpPort();
    m_program = std::make_unique<Process>(
        GetParam().path, std::vector<std::string>{"-p", std::to_string(m_port), "-k", m_brokerUri, "-s", "faults",
                                                  "-i", "0", "-w", std::to_string(width), "-e",
                                                  std::to_string(height), "-t", "UInt16"});
    ASSERT_TRUE(vexatools::testsupport::WaitForUdpPort(m_port)) << m_program->Finish(1s).err;
    m_sender = std::make_unique<UdpSender>("127.0.0.1", m_port);
    m_sender->FollowReceiveQueue();
    m_reader = std::make_unique<StreamReader>(m_brokerUri, "faults");
    for (std::uint32_t id = kWarmUpSampleId; id < kWarmUpSampleId + 50; ++id) {
      SendSample(id);
      if (WaitFor([&] { return m_reader->Count() > 0; }, 200ms)) return;
    }
    FAIL() << "no image reached the subscriber: " << m_program->Err();
  }

  void SendSample(std::uint32_t id) {
    for (const Datagram& frame : m_frames->BuildSample(id)) m_sender->Send(frame);
  }

  // Waits until the reader has `count` stream images, or no image came for
  // two seconds.
  std::vector<std::uint32_t> AwaitIds(std::size_t count) {
    std::size_t seen = 0;
    auto lastChange = Clock::now();
    while (m_reader->StreamIds().size() < count && Clock::now() - lastChange < 2s) {
      std::this_thread::sleep_for(20ms);
      if (const auto now = m_reader->StreamIds().size(); now != seen) seen = now, lastChange = Clock::now();
    }
    return m_reader->StreamIds();
  }

  long ProgramResidentKilobytes() const { return ResidentKilobytes(m_program->Pid()).value_or(0); }

  // The program goes on running: no fault ended it.
  void ExpectRunning() {
    ASSERT_FALSE(m_program->Wait(0ms)) << m_program->Err();
  }

  std::string m_brokerUri;
  std::unique_ptr<lumo::test::BrokerProcess> m_broker;
  std::unique_ptr<korv::vexasim::SampleFrames> m_frames;
  int m_port = 0;
  std::unique_ptr<Process> m_program;
  std::unique_ptr<UdpSender> m_sender;
  std::unique_ptr<StreamReader> m_reader;
};

// Long tests, labelled "soak" in ctest.
class PublishingFaultsSoak : public PublishingFaults {};

// A million junk datagrams of every kind among 40 valid samples, as fast as
// the program takes them: every sample is published once, in order, and
// the program's memory does not grow with the junk.
TEST_P(PublishingFaultsSoak, AMillionJunkDatagramsLoseNoCompleteSample) {
  ASSERT_NO_FATAL_FAILURE(Start(320, 240));
  constexpr std::uint32_t kSamples = 40;
  constexpr int kJunkDatagrams = 1000000;
  const int junkPerFrame = kJunkDatagrams / int(kSamples * m_frames->FrameCount()) + 1;
  std::mt19937 random(20261208);
  int junkSent = 0;
  long residentAfterFirstSample = 0;
  for (std::uint32_t id = 1; id <= kSamples; ++id) {
    for (const Datagram& frame : m_frames->BuildSample(id)) {
      m_sender->Send(frame);
      for (int i = 0; i < junkPerFrame && junkSent < kJunkDatagrams; ++i, ++junkSent) {
        m_sender->Send(vexatools::testsupport::JunkDatagram(random, junkSent % vexatools::testsupport::kJunkKinds));
      }
    }
    if (id == 1 || id == kSamples) {
      ASSERT_TRUE(WaitFor([&] { return UdpQueueOf(m_port).queuedBytes == 0; }, 30s));
      ASSERT_FALSE(AwaitIds(id).empty());
      if (id == 1) {
        residentAfterFirstSample = ProgramResidentKilobytes();
      } else if (vexatools::testsupport::kResidentMemoryShowsGrowth) {
        EXPECT_LE(ProgramResidentKilobytes() - residentAfterFirstSample, 8192) << "kB of growth over the storm";
      }
    }
  }
  ASSERT_EQ(junkSent, kJunkDatagrams);
  EXPECT_FALSE(m_sender->Stalled());
  EXPECT_EQ(UdpQueueOf(m_port).drops, 0u);
  EXPECT_EQ(AwaitIds(kSamples), Range(1, kSamples));
  ExpectRunning();
}

// Every sample comes with frames that name it but contradict it: its leader
// twice, a trailer with another frame count and a one-unit copy of its last
// payload frame before the real ones, and a trailer of a sample never seen.
// Each sample is still published once, in order (a loaded machine may let
// one pass by).
TEST_P(PublishingFaults, FramesThatContradictTheirSampleLoseNoSample) {
  ASSERT_NO_FATAL_FAILURE(Start(320, 240));
  constexpr std::uint32_t kSamples = 30;
  for (std::uint32_t id = 1; id <= kSamples; ++id) {
    std::vector<Datagram> frames = m_frames->BuildSample(id);
    const std::size_t last = frames.size() - 2;
    Datagram otherCount = frames.back();
    m_frames->WriteHeader(otherCount.data(), id, 3, 3, static_cast<std::uint16_t>(otherCount.size() - 32));
    Datagram oneUnit = frames[last];
    oneUnit[32 + 4] = 0;
    oneUnit[32 + 5] = 1;
    frames.insert(frames.begin() + static_cast<std::ptrdiff_t>(last), {otherCount, oneUnit});
    frames.insert(frames.begin() + 1, frames.front());
    frames.push_back(m_frames->BuildSample(id + 100000).back());
    for (const Datagram& frame : frames) m_sender->Send(frame);
    std::this_thread::sleep_for(10ms);
  }
  ExpectInOrderOnce(AwaitIds(kSamples), kSamples, kSamples / 20);
  ExpectRunning();
}

// The broker is killed and started again at the same address while samples
// stream at 50 a second: no image is lost or repeated, publishing goes on
// meanwhile, and a new subscriber finds the stream again within seconds.
TEST_P(PublishingFaults, BrokerKilledAndRestartedWhileStreaming) {
  ASSERT_NO_FATAL_FAILURE(Start(320, 240));
  constexpr std::uint32_t kSamples = 150;
  std::atomic<std::uint32_t> sent{0};
  std::thread source([&] {
    for (std::uint32_t id = 1; id <= kSamples; ++id, ++sent) {
      SendSample(id);
      std::this_thread::sleep_for(20ms);
    }
  });
  ASSERT_TRUE(WaitFor([&] { return sent >= 40; }, 10s));
  m_broker->process().Signal(SIGKILL);
  m_broker->process().Wait(5s);
  // Images go straight from publisher to subscriber: they keep coming.
  const std::size_t beforeRestart = m_reader->StreamIds().size();
  std::this_thread::sleep_for(1s);
  EXPECT_GT(m_reader->StreamIds().size(), beforeRestart + 20) << "publishing stopped with the broker";
  StartBroker();
  const auto restarted = Clock::now();
  lumo::LumoDataSubscriber late;
  late.SetLookupInterval(50);
  EXPECT_TRUE(WaitFor([&] { return late.Subscribe(m_brokerUri, "faults", 200) == 1; }, 10s))
      << "the stream was not registered again";
  EXPECT_LT(Clock::now() - restarted, 5s);
  EXPECT_TRUE(vexa2lumotest::ReadImage(late, 5s)) << "the new subscriber got no image";
  source.join();
  ExpectInOrderOnce(AwaitIds(kSamples), kSamples, kSamples / 20);
  ExpectRunning();
}

// Subscriber processes killed while 1.5 MB images stream, and a subscriber
// that stops reading: the subscriber that keeps up gets every image, and
// the program's memory stays bounded.
TEST_P(PublishingFaults, KilledAndStalledSubscribersDoNotHoldThePublisherUp) {
  ASSERT_NO_FATAL_FAILURE(Start(1024, 768));
  const long residentAtStart = ProgramResidentKilobytes();
  lumo::LumoDataSubscriber stalled;
  stalled.SetReceiveQueue(1);
  ASSERT_EQ(stalled.Subscribe(m_brokerUri, "faults", 2000), 1);
  constexpr std::uint32_t kSamples = 60;
  std::atomic<std::uint32_t> sent{0};
  std::thread source([&] {
    for (std::uint32_t id = 1; id <= kSamples; ++id, ++sent) {
      SendSample(id);
      std::this_thread::sleep_for(40ms);
    }
  });
  for (int i = 0; i < 3; ++i) {
    Process victim(lumo::test::SubscribePath(), {"-b", m_brokerUri, "-s", "faults", "-l", "OFF"});
    std::this_thread::sleep_for(400ms);
    victim.Signal(SIGKILL);
    victim.Wait(5s);
  }
  source.join();
  ExpectInOrderOnce(AwaitIds(kSamples), kSamples, kSamples / 20);
  // Twelve images' worth, what can be in flight at once: four in the ring,
  // one being assembled, one being sent, and the subscribers' send queues,
  // which are bounded in messages, not bytes. On a loaded machine the ring
  // fills and the growth settles at about eleven.
  const long imageKilobytes = 1024 * 768 * 2 / 1024;
  if (vexatools::testsupport::kResidentMemoryShowsGrowth) {
    EXPECT_LE(ProgramResidentKilobytes() - residentAtStart, 12 * imageKilobytes);
  }
  ExpectRunning();
}

const auto kPrograms = testing::Values(PublishingProgram{"PublisherTool", PUBLISHER_PROGRAM},
                                       PublishingProgram{"GatewayExample", GATEWAY_EXAMPLE});
const auto kProgramName = [](const testing::TestParamInfo<PublishingProgram>& info) {
  return std::string(info.param.name);
};
INSTANTIATE_TEST_SUITE_P(Program, PublishingFaults, kPrograms, kProgramName);
INSTANTIATE_TEST_SUITE_P(Program, PublishingFaultsSoak, kPrograms, kProgramName);

}  // namespace
