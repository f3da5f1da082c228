// The reception counters: each loss counted once under its cause, the
// socket buffer's drops read from the kernel, and the receive buffer sizing
// with its WARN when the host caps it.
#include <gtest/gtest.h>

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <fmt/format.h>

#include <fstream>
#include <future>
#include <numeric>

#include "TestSupport.hpp"

namespace vexatest {
namespace {

using korv::vexatools::ReceptionStatistics;
using korv::vexatools::VexaReceiver;
using vexatools::testsupport::Datagram;
using vexatools::testsupport::WaitForUdpPort;
constexpr auto kWarn = log4cplus::WARN_LOG_LEVEL;

// Polls until `done` holds for the receiver's statistics, at most kTimeout.
template <typename Done>
ReceptionStatistics StatisticsOnceDone(const VexaReceiver& receiver, Done done) {
  const auto deadline = Clock::now() + kTimeout;
  ReceptionStatistics statistics = receiver.GetReceptionStatistics();
  while (!done(statistics) && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    statistics = receiver.GetReceptionStatistics();
  }
  return statistics;
}

std::uint64_t TotalBytes(const std::vector<Datagram>& datagrams) {
  return std::accumulate(datagrams.begin(), datagrams.end(), std::uint64_t{0},
                         [](std::uint64_t sum, const Datagram& datagram) { return sum + datagram.size(); });
}

TEST(ReceptionStatisticsTest, EachLossIsCountedOnceUnderItsCause) {
  LoggerCapture log(korv::vexatools::GetAppLogger(), kWarn);
  const unsigned short port = FreeUdpPort();
  RecordingReceiver receiver(port);
  ReceiverThread thread(receiver);
  ASSERT_TRUE(receiver.WaitUntilArmed());

  const korv::vexasim::SampleFrames frames = TestFrames();
  std::vector<Datagram> sent;
  auto frame = [&](std::uint32_t sampleId, int frameId) { sent.push_back(frames.BuildSample(sampleId)[frameId - 1]); };
  auto sample = [&](std::uint32_t sampleId, std::initializer_list<int> frameIds) {
    for (int frameId : frameIds) frame(sampleId, frameId);
  };
  Datagram impossibleHeader(40, 0);
  frames.WriteHeader(impossibleHeader.data(), 5, 0, 5, 8);

  sample(1, {1, 2, 3, 4, 5});  // complete
  sample(2, {1, 2, 4, 5});     // one frame missing
  sample(3, {1, 2, 3, 4});     // trailer missing: closed by the next leader
  sample(4, {2, 3, 4, 5});     // leader missing: three frames of another sample, and a leaderless trailer
  sample(5, {1, 2});
  frame(9, 3);  // a frame of another sample
  sent.push_back(Datagram(31, 0));
  sent.push_back(Datagram(8973, 0));
  sent.push_back(impossibleHeader);
  sample(5, {3, 4, 5});        // complete
  sample(6, {1, 2, 3, 4, 5});  // complete
  UdpSender("127.0.0.1", port).SendAll(sent);

  const ReceptionStatistics statistics = StatisticsOnceDone(
      receiver, [&](const ReceptionStatistics& s) { return s.datagrams == sent.size() && s.completeSamples == 3; });
  EXPECT_EQ(statistics.datagrams, sent.size());
  EXPECT_EQ(statistics.bytes, TotalBytes(sent));
  EXPECT_EQ(statistics.completeSamples, 3u);
  EXPECT_EQ(statistics.incompleteSamples, 3u) << "samples 2, 3 and 4";
  EXPECT_EQ(statistics.framesMissing, 3u) << "one frame of each";
  EXPECT_EQ(statistics.otherSampleFrames, 4u);
  EXPECT_EQ(statistics.junkShort, 1u);
  EXPECT_EQ(statistics.junkOversize, 1u);
  EXPECT_EQ(statistics.junkMalformed, 1u);
  EXPECT_EQ(statistics.Junk(), 3u);
  EXPECT_EQ(statistics.socketDrops, 0u);
  // Twenty samples of five full-size datagrams as the kernel counts them.
  EXPECT_EQ(statistics.receiveBufferWanted, 20u * 5u * VexaReceiver::kBufferChargePerDatagram);
  EXPECT_GE(statistics.receiveBufferInForce, statistics.receiveBufferWanted);
  EXPECT_EQ(log.Count(kWarn, "Socket receive buffer"), 0);
}

// A receiver with the smallest buffer the kernel gives and a slow hook,
// flooded with samples: loopback loses nothing on the way, so every
// datagram that was sent is either received or counted as a socket drop.
class SlowReceiver : public VexaReceiver {
 public:
  explicit SlowReceiver(unsigned short port) : VexaReceiver("127.0.0.1", port, "", 100, 100, 2, 0) {}

 protected:
  void HandleLeaderPacket() override { std::this_thread::sleep_for(std::chrono::microseconds(300)); }
};

TEST(ReceptionStatisticsTest, EveryDatagramLostOnLoopbackIsASocketDrop) {
  LoggerCapture log(korv::vexatools::GetAppLogger(), kWarn);
  const unsigned short port = FreeUdpPort();
  SlowReceiver receiver(port);
  ReceiverThread thread(receiver, "127.0.0.1", port);
  ASSERT_TRUE(WaitForUdpPort(port));

  const korv::vexasim::SampleFrames frames = TestFrames();
  std::vector<Datagram> flood;
  for (std::uint32_t sampleId = 1; sampleId <= 400; ++sampleId) {
    for (auto& datagram : frames.BuildSample(sampleId)) flood.push_back(std::move(datagram));
  }
  UdpSender("127.0.0.1", port).SendAll(flood);

  const ReceptionStatistics statistics = StatisticsOnceDone(receiver, [&](const ReceptionStatistics& s) {
    return s.datagrams + s.socketDrops >= flood.size();
  });
  EXPECT_GT(statistics.socketDrops, 0u) << "the flood should overrun the small buffer";
  EXPECT_EQ(statistics.datagrams + statistics.socketDrops, flood.size());
  EXPECT_LE(statistics.framesMissing, statistics.socketDrops) << "no frame goes missing but by a drop";
  EXPECT_GT(statistics.incompleteSamples, 0u);
  EXPECT_LE(statistics.completeSamples + statistics.incompleteSamples, 400u);
}

// Capabilities belong to a thread: without CAP_NET_ADMIN in its effective
// set, SO_RCVBUFFORCE is refused on this thread as for an ordinary user,
// and the buffer is capped at net.core.rmem_max.
void DropNetAdminOnThisThread() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  ASSERT_EQ(syscall(SYS_capget, &header, data), 0);
  data[CAP_TO_INDEX(CAP_NET_ADMIN)].effective &= ~CAP_TO_MASK(CAP_NET_ADMIN);
  ASSERT_EQ(syscall(SYS_capset, &header, data), 0);
}

TEST(ReceiveBufferTest, ABufferCappedByTheHostIsReportedWithTheSysctlThatFixesIt) {
  // 4096 x 4096 Int16: 3759 frames a sample, three samples wanted.
  const std::uint64_t wanted = 3ull * 3759 * VexaReceiver::kBufferChargePerDatagram;
  const std::uint64_t setting = wanted / 2;  // the kernel doubles what is set
  std::uint64_t rmemMax = 0;
  std::ifstream("/proc/sys/net/core/rmem_max") >> rmemMax;
  if (rmemMax == 0 || rmemMax >= setting) GTEST_SKIP() << "net.core.rmem_max does not cap the request";

  LoggerCapture log(korv::vexatools::GetAppLogger(), kWarn);
  const unsigned short port = FreeUdpPort();
  VexaReceiver receiver("127.0.0.1", port, "", 4096, 4096, 2, 3);
  std::promise<std::string> shown;
  int calls = 0;
  receiver.OnReceiveBufferShort([&](const std::string& message) {
    if (++calls == 1) shown.set_value(message);
  });
  std::thread running([&] {
    DropNetAdminOnThisThread();
    try {
      receiver.StartReceiver();
    } catch (...) {
    }
  });
  std::future<std::string> message = shown.get_future();
  const bool warned = message.wait_for(kTimeout) == std::future_status::ready;
  receiver.StopReceiver();
  UdpSender("127.0.0.1", port).Send(Datagram(1, 0));  // ends a loop that was not yet running
  running.join();
  ASSERT_TRUE(warned);

  const ReceptionStatistics statistics = receiver.GetReceptionStatistics();
  EXPECT_EQ(statistics.receiveBufferWanted, wanted);
  EXPECT_EQ(statistics.receiveBufferInForce, 2 * rmemMax);
  const std::string text = message.get();
  EXPECT_NE(text.find(fmt::format("{} bytes in force, {} bytes wanted", 2 * rmemMax, wanted)), std::string::npos)
      << text;
  EXPECT_NE(text.find("of the 3 sample(s) asked for"), std::string::npos) << text;
  EXPECT_TRUE(text.ends_with(fmt::format("Fix: sysctl -w net.core.rmem_max={}", setting))) << text;
  EXPECT_EQ(log.Count(kWarn, text), 1);
  EXPECT_EQ(calls, 1);
}

// A stream that never arrives is reported once per silence, with where the
// receiver listens; a datagram starts the watch again.
TEST(SilenceTest, NoDatagramForTheLimitIsReportedOncePerSilence) {
  LoggerCapture log(korv::vexatools::GetAppLogger(), kWarn);
  RecordingReceiver receiver(FreeUdpPort());
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> shown;
  receiver.OnSilence(
      [&](const std::string& message) {
        std::lock_guard lock(mutex);
        shown.push_back(message);
        changed.notify_all();
      },
      std::chrono::milliseconds(200));
  const auto shownCount = [&](std::size_t count) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, kTimeout, [&] { return shown.size() >= count; });
  };
  ReceiverThread running(receiver);
  ASSERT_TRUE(shownCount(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the silence goes on: no repeat
  {
    std::lock_guard lock(mutex);
    EXPECT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0], fmt::format("No datagram for 0.2 s on UDP port {}", receiver.Port()));
  }
  UdpSender("127.0.0.1", receiver.Port()).Send(Datagram(1, 0));
  ASSERT_TRUE(shownCount(2));
  EXPECT_EQ(log.Count(kWarn, "No datagram for 0.2 s"), 2);
}

}  // namespace
}  // namespace vexatest
