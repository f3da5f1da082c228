// The steady-state receive path allocates nothing per datagram: allocations
// made on the receiver thread are counted through a replaced operator new
// while a stream of complete samples runs.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "TestSupport.hpp"

namespace {
thread_local std::uint64_t t_allocations = 0;
}  // namespace

void* operator new(std::size_t size) {
  ++t_allocations;
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
// The replaced operator new allocates with malloc, so free is the matching
// release; g++ at -O1 does not see that and warns.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
#pragma GCC diagnostic pop

namespace vexatest {
namespace {

// Counts hooks and notes its thread's allocation count at each trailer.
class CountingReceiver : public korv::vexatools::VexaReceiver {
 public:
  explicit CountingReceiver(unsigned short port)
      : VexaReceiver("127.0.0.1", port, "", RecordingReceiver::kWidth, RecordingReceiver::kHeight,
                     RecordingReceiver::kBytesPerPixel, 20) {}

  void Wait() override {
    VexaReceiver::Wait();
    armed = true;
  }

  std::atomic<bool> armed{false};
  std::atomic<int> frames{0}, trailers{0}, losses{0};
  std::atomic<std::uint64_t> allocationsAtTrailer{0};

 protected:
  void HandleLeaderPacket() override { ++frames; }
  void HandlePayloadPacket(plexoif::plexoPacketBase<8940>&) override { ++frames; }
  void HandleTrailerPacket() override {
    ++frames;
    allocationsAtTrailer = t_allocations;
    ++trailers;
  }
  void HandleLostPackets() override { ++losses; }
  void HandleWrongFrameId() override { ++losses; }
};

template <typename Condition>
bool WaitFor(Condition condition) {
  const auto deadline = Clock::now() + kTimeout;
  while (!condition()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

TEST(AllocationTest, SteadyStateReceptionAllocatesNothingPerDatagram) {
  LoggerCapture log(korv::vexatools::GetAppLogger(), log4cplus::WARN_LOG_LEVEL);
  const unsigned short port = FreeUdpPort();
  CountingReceiver receiver(port);
  ReceiverThread thread(receiver, "127.0.0.1", port);
  ASSERT_TRUE(WaitFor([&] { return receiver.armed.load(); }));

  const auto frames = TestFrames();
  UdpSender sender("127.0.0.1", port);
  constexpr int kWarmUpSamples = 3, kSamples = 40;
  std::uint64_t allocationsAfterWarmUp = 0;
  for (int sample = 1; sample <= kSamples; ++sample) {
    sender.SendAll(frames.BuildSample(static_cast<std::uint32_t>(sample)));
    ASSERT_TRUE(WaitFor([&] { return receiver.trailers.load() == sample; }));
    if (sample == kWarmUpSamples) allocationsAfterWarmUp = receiver.allocationsAtTrailer;
  }
  EXPECT_EQ(receiver.frames.load(), kSamples * frames.FrameCount());
  EXPECT_EQ(receiver.losses.load(), 0);
  EXPECT_EQ(receiver.allocationsAtTrailer.load() - allocationsAfterWarmUp, 0u)
      << "over " << (kSamples - kWarmUpSamples) * frames.FrameCount() << " datagrams";
}

}  // namespace
}  // namespace vexatest
