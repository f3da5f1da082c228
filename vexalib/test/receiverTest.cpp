// Reception over real UDP on loopback: the hook contract, the throttled error
// messages, stopping, set-up failures and hostile datagrams.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>

#include "TestSupport.hpp"

namespace vexatest {
namespace {

using korv::vexatools::VexaReceiver;
using Sample = std::vector<std::vector<unsigned char>>;
constexpr auto kDebug = log4cplus::DEBUG_LOG_LEVEL;
constexpr auto kInfo = log4cplus::INFO_LOG_LEVEL;
constexpr auto kError = log4cplus::ERROR_LOG_LEVEL;
constexpr char kIncomplete[] = "Received less packets than expected, this sample will be skipped!";
constexpr char kWrongSample[] = "Received packet with different sample ID, frame will be skipped!";

// A receiver on a fresh loopback port, running on its own thread.
class ReceiverTest : public ::testing::Test {
 protected:
  ReceiverTest() : receiver(port), sender("127.0.0.1", port) {}

  void StartAndWaitUntilArmed() {
    thread.emplace(receiver);
    ASSERT_TRUE(receiver.WaitUntilArmed());
  }
  Sample BuildSample(std::uint32_t sampleId) const { return frames.BuildSample(sampleId); }
  // Waits for `count` hook calls and returns the sequence.
  std::string SequenceAfter(std::size_t count) {
    EXPECT_TRUE(receiver.WaitForCalls(count)) << Sequence(receiver.Calls());
    return Sequence(receiver.Calls());
  }

  LoggerCapture log{korv::vexatools::GetAppLogger(), kDebug};
  unsigned short port = FreeUdpPort();
  korv::vexasim::SampleFrames frames = TestFrames();
  RecordingReceiver receiver;
  UdpSender sender;
  std::optional<ReceiverThread> thread;
};

TEST_F(ReceiverTest, CompleteSamplesCallEachHookInOrderWithTheDocumentedState) {
  StartAndWaitUntilArmed();
  sender.SendAll(BuildSample(5));
  sender.SendAll(BuildSample(6));
  ASSERT_EQ(SequenceAfter(10), "L P P P T L P P P T");

  const auto calls = receiver.Calls();
  const HookCall& leader = calls[0];
  EXPECT_EQ(leader.currentSampleId, 5u);
  EXPECT_EQ(leader.sampleId, 5u);
  EXPECT_EQ(leader.framesExpected, 5u);
  EXPECT_EQ(leader.framesInSample, 1);
  EXPECT_EQ(leader.packetsReceived, 1u);
  for (int i = 1; i <= 3; ++i) {
    EXPECT_EQ(calls[i].frameId, i + 1);
    EXPECT_EQ(calls[i].framesInSample, i + 1);
    EXPECT_EQ(calls[i].frameSampleId, 5u);
  }
  EXPECT_EQ(calls[4].framesInSample, 5);
  EXPECT_EQ(calls[4].packetsReceived, 5u);
  EXPECT_EQ(calls[5].currentSampleId, 6u);

  const auto debug = log.Messages(kDebug);
  for (const char* text : {"Packet info - Sample ID: 5 - Frame ID: 1 - Size: 40 - Nb rcv: 1 - nb exp: 5",
                           "Packet info - Sample ID: 5 - Frame ID: 2 - Size: 8972 - Nb rcv: 2 - nb exp: 5",
                           "Received first packet (leader) - sample: 5", "Total number of frames expected: 5",
                           "               INFORMATION", "Creating image data object",
                           "Received last packet (trailer) - sample: 5, nb of frames 5, expected 5"}) {
    EXPECT_NE(std::find(debug.begin(), debug.end(), text), debug.end()) << text;
  }
  EXPECT_EQ(log.Count(kDebug, "Packets lost"), 0);
  EXPECT_TRUE(log.Messages(kInfo).empty()) << "unicast joins no group";
  EXPECT_TRUE(log.Messages(kError).empty());
  for (const CapturedRecord& record : log.Records()) {
    EXPECT_TRUE(record.file == "vexalib/src/vexaReceiver" || record.file == "vexalib/src/packetInfo") << record.file;
    EXPECT_GT(record.line, 0);
    EXPECT_NE(record.function.find("korv::vexatools::"), std::string::npos) << record.function;
  }
}

TEST_F(ReceiverTest, LostFramesAreReportedAtTheTrailerAndTheNextLeaderWithOneErrorPerSecond) {
  StartAndWaitUntilArmed();
  sender.SendFrames(BuildSample(1), {1, 2, 4, 5});
  sender.SendFrames(BuildSample(2), {1, 3, 4, 5});
  sender.SendFrames(BuildSample(3), {1, 2, 3, 4});  // trailer lost
  sender.SendAll(BuildSample(4));
  ASSERT_EQ(SequenceAfter(20), "L P P Lost Lost L P P Lost Lost L P P P Lost L P P P T");

  const auto calls = receiver.Calls();
  EXPECT_EQ(calls[3].currentSampleId, 1u) << "trailer loss belongs to the last leader's sample";
  EXPECT_EQ(calls[3].framesInSample, 4);
  const HookCall& atLeader = calls[4];
  EXPECT_EQ(atLeader.currentSampleId, 2u) << "already the new leader's sample";
  EXPECT_EQ(atLeader.sampleId, 1u);
  EXPECT_EQ(atLeader.packetsReceived, 4u);
  EXPECT_EQ(atLeader.framesExpected, 5u);

  EXPECT_EQ(log.Count(kDebug, "Packets lost for previous sample! Received: 4 - Expected: 5"), 3);
  EXPECT_EQ(log.Count(kError, kIncomplete), 1);
  EXPECT_EQ(log.Count(kError, std::string(kIncomplete) + " sample: 1, nb of packets 4, expected 5"), 1);
}

TEST_F(ReceiverTest, FramesBeforeTheFirstLeaderMatchSampleZero) {
  StartAndWaitUntilArmed();
  sender.SendFrames(BuildSample(0), {2});
  // The first sample's leader is lost: its frames belong to no sample, and
  // its trailer closes the "sample" before the first leader, short.
  sender.SendFrames(BuildSample(4), {2, 3, 4, 5});
  sender.SendAll(BuildSample(5));
  ASSERT_EQ(SequenceAfter(10), "P W W W Lost L P P P T") << "a first leader reports no loss";

  const auto calls = receiver.Calls();
  EXPECT_EQ(calls[0].currentSampleId, 0xFFFFFFFFu);
  EXPECT_EQ(calls[1].framesInSample, 2) << "counted during the hook";
  EXPECT_EQ(calls[2].framesInSample, 2) << "and uncounted after it";
  EXPECT_EQ(calls[4].framesInSample, 2);
  EXPECT_EQ(log.Count(kError, kWrongSample), 1);
  EXPECT_EQ(log.Count(kError, kIncomplete), 1);
}

// Whether a throttled ERROR may go out is decided on the steady clock: a
// wall clock stepped back by an hour since the last messages (as if they
// were stamped an hour ahead) silences none. The protected time fields still
// hold the wall-clock time of the last message.
TEST_F(ReceiverTest, AWallClockSteppedBackSilencesNoThrottledError) {
  const auto wallClockSeconds = [] {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  };
  const double start = wallClockSeconds();
  receiver.LastIncompleteLogTime() = start + 3600;
  receiver.LastWrongSampleLogTime() = start + 3600;
  StartAndWaitUntilArmed();
  sender.SendFrames(BuildSample(1), {1, 2, 3, 5});
  sender.SendFrames(BuildSample(9), {2});
  ASSERT_EQ(SequenceAfter(5), "L P P Lost W");
  EXPECT_EQ(log.Count(kError, kIncomplete), 1);
  EXPECT_EQ(log.Count(kError, kWrongSample), 1);
  EXPECT_NEAR(receiver.LastIncompleteLogTime(), start, 60);
  EXPECT_NEAR(receiver.LastWrongSampleLogTime(), start, 60);
}

TEST_F(ReceiverTest, ForeignAndDuplicateFramesKeepTheSampleButSkewThePacketCount) {
  StartAndWaitUntilArmed();
  const Sample foreign = BuildSample(9);
  sender.SendFrames(BuildSample(1), {1, 2});
  sender.SendFrames(foreign, {3});
  sender.SendFrames(BuildSample(1), {3, 4, 5});
  sender.SendFrames(BuildSample(2), {1, 2, 3, 3, 4, 5});
  ASSERT_EQ(SequenceAfter(13), "L P W P P T Lost L P P P P T");

  const auto calls = receiver.Calls();
  EXPECT_EQ(calls[2].framesInSample, 3);
  EXPECT_EQ(calls[5].framesInSample, 5) << "the foreign frame is uncounted again";
  EXPECT_EQ(calls[6].packetsReceived, 6u) << "but still in the packet count";
  EXPECT_EQ(calls[12].framesInSample, 6) << "a duplicate counts twice";
}

// A well-formed leader with extended info is the one leader this receiver
// cannot take: reception ends without an exception and without a leader
// hook, the counters go back to "no sample" and the reason is kept.
TEST_F(ReceiverTest, ExtendedLeaderEndsReceptionAndKeepsTheReason) {
  StartAndWaitUntilArmed();
  sender.SendAll(BuildSample(1));
  sender.SendAll(TestFrames(true).BuildSample(2));
  ASSERT_TRUE(thread->WaitFinished());
  EXPECT_EQ(thread->Error(), nullptr);
  EXPECT_EQ(Sequence(receiver.Calls()), "L P P P T");
  const std::string reason =
      "Failed to parse leader packet for sample 2 (payload 36 bytes): SOREL leader carries 28 bytes of extended "
      "info. This receiver only supports legacy leader packets without extended info.";
  EXPECT_EQ(log.Count(kError, reason), 1) << ::testing::PrintToString(log.Messages(kError));
  EXPECT_EQ(receiver.GetReceptionEndReason(), reason);
  EXPECT_EQ(receiver.GetCurrentSampleId(), 2u);
  EXPECT_EQ(receiver.FramesInSample(), 0);
  EXPECT_EQ(receiver.FramesExpected(), VexaReceiver::kNoSample);
  EXPECT_EQ(receiver.PacketsReceived(), VexaReceiver::kNoSample);
}

// Frames no sender writes, and leader frames whose payload is no well-formed
// leader, are junk: counted only as junk, with one error per second for each
// kind, reaching no hook and leaving the sample being assembled untouched.
TEST_F(ReceiverTest, JunkFramesNeitherStopReceptionNorChangeTheCounts) {
  StartAndWaitUntilArmed();
  auto header = [&](std::uint32_t sampleId, std::uint16_t frameId, std::uint16_t frameCount) {
    std::vector<unsigned char> frame(40, 0);
    frames.WriteHeader(frame.data(), sampleId, frameId, frameCount, 8);
    return frame;
  };
  const std::vector<std::vector<unsigned char>> impossible = {
      std::vector<unsigned char>(32, 0),  // frame 0 of 0: would be taken as a trailer
      header(1, 0, 5), header(1, 2, 1), header(1, 1, 1), header(1, 5, 4), header(1, 65535, 0)};
  // The probe's datagram: frame 1 of 3 with an empty payload.
  std::vector<unsigned char> emptyLeader(24, 0);
  for (unsigned char byte : {0, 1, 0, 3, 0, 0, 0, 0}) emptyLeader.push_back(byte);
  Sample leaders = {emptyLeader, BuildSample(7)[0], BuildSample(7)[0], TestFrames(true).BuildSample(7)[0]};
  leaders[1][32] = 2;                              // a payload packet in a leader frame
  frames.WriteHeader(leaders[2].data(), 7, 1, 5, 7);  // shorter than a leader
  leaders[3][34] = 0x01;                           // extension of 284 bytes in a 36-byte payload

  const Sample sample = BuildSample(1);
  sender.SendFrames(sample, {1, 2});
  for (const auto& junk : impossible) sender.Send(junk);
  for (const auto& junk : leaders) sender.Send(junk);
  sender.SendFrames(sample, {3, 4, 5});
  sender.SendAll(BuildSample(2));
  ASSERT_EQ(SequenceAfter(10), "L P P P T L P P P T") << "no loss and no early end";
  const std::vector<HookCall> calls = receiver.Calls();
  EXPECT_EQ(calls[4].framesInSample, 5);
  EXPECT_EQ(calls[4].currentSampleId, 1u);
  EXPECT_EQ(calls[5].packetsReceived, 1u);
  EXPECT_EQ(log.Count(kError, "has an impossible header, dropped"), 1);
  EXPECT_EQ(log.Count(kError, "Malformed leader packet for sample 0 (0 payload bytes) dropped"), 1);
  EXPECT_EQ(log.Count(kDebug, "Packet info - Sample ID: 7"), 0);
  EXPECT_FALSE(thread->WaitFinished(std::chrono::milliseconds(0)));
  EXPECT_EQ(receiver.GetReceptionEndReason(), "");
}

TEST_F(ReceiverTest, MalformedDatagramsAreDroppedAsJunkWithOneErrorPerSecond) {
  StartAndWaitUntilArmed();
  const std::vector<unsigned char> shortDatagram(31, 0), oversize(8973, 0), truncated(9700, 0);
  const Sample sample = BuildSample(1);
  sender.SendFrames(sample, {1, 2});
  for (const auto* junk : {&shortDatagram, &oversize, &truncated, &shortDatagram}) sender.Send(*junk);
  sender.SendFrames(sample, {3, 4, 5});
  sender.SendAll(BuildSample(2));
  ASSERT_EQ(SequenceAfter(10), "L P P P T L P P P T") << "no loss: no frame count changed";
  EXPECT_EQ(receiver.Calls()[4].framesInSample, 5);
  EXPECT_EQ(log.Count(kError, "Input data too large for PLEXO packet"), 1);
  EXPECT_EQ(log.Count(kError, "Datagram of 31 bytes is shorter than the 32-byte PLEXO header"), 1);
  EXPECT_EQ(log.Count(kDebug, "Size: 31 "), 0);
}

TEST_F(ReceiverTest, PayloadSizeIsBoundedByTheBytesReceived) {
  StartAndWaitUntilArmed();
  Sample sample = BuildSample(3);
  // A leader announcing the whole payload area, and a payload frame cut short.
  frames.WriteHeader(sample[0].data(), 3, 1, 5, 8940);
  sample[1].resize(100);
  sender.SendAll(sample);
  ASSERT_EQ(SequenceAfter(5), "L P P P T");
  EXPECT_EQ(receiver.Calls()[1].payloadSize, 100 - 32);
  EXPECT_EQ(receiver.Calls()[2].payloadSize, 8940) << "an honest header is kept";
}

// The hooks of samples 1 to `samples` of three frames (10 x 10 Int16), each
// frame whole and in order.
void ExpectSmallSamplesWholeAndInOrder(const std::vector<HookCall>& calls, std::uint32_t samples) {
  std::string expected;
  for (std::uint32_t id = 1; id <= samples; ++id) expected += id == 1 ? "L P T" : " L P T";
  EXPECT_EQ(Sequence(calls), expected);
  for (std::size_t i = 0; i < calls.size(); ++i) {
    EXPECT_EQ(calls[i].sampleId, i / 3 + 1) << i;
    if (calls[i].hook == Hook::Payload) {
      EXPECT_EQ(calls[i].frameSampleId, i / 3 + 1) << i;
      EXPECT_EQ(calls[i].payloadSize, 8 + 200) << i;
    }
  }
}

// Holds the receiver in its first hook until released, so that everything
// sent meanwhile queues in the socket and is read in batches.
class HeldReceiver {
 public:
  explicit HeldReceiver(RecordingReceiver& receiver) {
    receiver.onHook = [this](RecordingReceiver& self, const HookCall& call) {
      std::unique_lock lock(m_mutex);
      m_released.wait_for(lock, kTimeout, [this] { return m_release; });
      if (onHook) onHook(self, call);
    };
  }
  void Release() {
    {
      std::lock_guard lock(m_mutex);
      m_release = true;
    }
    m_released.notify_all();
  }
  std::function<void(RecordingReceiver&, const HookCall&)> onHook;

 private:
  std::mutex m_mutex;
  std::condition_variable m_released;
  bool m_release = false;
};

// The receiver thread is joined before the hold goes, so that no hook still
// running uses it.
class HeldReceiverTest : public ReceiverTest {
 protected:
  ~HeldReceiverTest() override { thread.reset(); }
  HeldReceiver held{receiver};
};

TEST_F(HeldReceiverTest, DatagramsQueuedInTheSocketAreHandledWholeAndInArrivalOrder) {
  // Small samples of three frames, so that the socket buffer holds them all.
  const korv::vexasim::SampleFrames small({10, 10, 2, 0x100});  // Int16
  ASSERT_EQ(small.FrameCount(), 3);
  StartAndWaitUntilArmed();
  constexpr std::uint32_t kSamples = 40;  // 120 datagrams: several batches
  for (std::uint32_t id = 1; id <= kSamples; ++id) sender.SendAll(small.BuildSample(id));
  held.Release();
  ASSERT_TRUE(receiver.WaitForCalls(kSamples * 3)) << Sequence(receiver.Calls());
  ExpectSmallSamplesWholeAndInOrder(receiver.Calls(), kSamples);
}

TEST_F(HeldReceiverTest, AStopInsideAHookInTheMiddleOfABatchHandlesNothingMore) {
  held.onHook = [](RecordingReceiver& self, const HookCall& call) {
    if (call.hook == Hook::Trailer && call.sampleId == 2) self.StopReceiver();
  };
  StartAndWaitUntilArmed();
  const korv::vexasim::SampleFrames small({10, 10, 2, 0x100});  // Int16
  for (std::uint32_t id = 1; id <= 20; ++id) sender.SendAll(small.BuildSample(id));
  held.Release();
  ASSERT_TRUE(thread->WaitFinished());
  EXPECT_EQ(thread->Error(), nullptr);
  EXPECT_EQ(Sequence(receiver.Calls()), "L P T L P T");
}

// Frames sent one at a time are read one per call; then 120 datagrams queue
// up while a hook holds the receiver, and are read in batches.
TEST_F(ReceiverTest, DatagramsThatQueueUpAfterComingOneByOneAreHandledWholeAndInOrder) {
  std::mutex mutex;
  std::condition_variable released;
  bool release = false;
  receiver.onHook = [&](RecordingReceiver&, const HookCall& call) {
    if (call.hook != Hook::Trailer || call.sampleId != 4) return;
    std::unique_lock lock(mutex);
    released.wait_for(lock, kTimeout, [&] { return release; });
  };
  StartAndWaitUntilArmed();
  const korv::vexasim::SampleFrames small({10, 10, 2, 0x100});  // Int16, three frames
  constexpr std::uint32_t kSamples = 44;
  for (std::uint32_t id = 1; id <= 4; ++id) {
    for (const auto& frame : small.BuildSample(id)) {
      sender.Send(frame);
      std::this_thread::sleep_for(2ms);
    }
  }
  ASSERT_TRUE(receiver.WaitForCalls(12));
  for (std::uint32_t id = 5; id <= kSamples; ++id) sender.SendAll(small.BuildSample(id));
  {
    std::lock_guard lock(mutex);
    release = true;
  }
  released.notify_all();
  ASSERT_TRUE(receiver.WaitForCalls(kSamples * 3)) << Sequence(receiver.Calls());
  ExpectSmallSamplesWholeAndInOrder(receiver.Calls(), kSamples);
  thread.reset();  // before the hook's locals go
}

TEST_F(ReceiverTest, StopInsideAHookEndsTheRunAfterTheHandler) {
  receiver.onHook = [](RecordingReceiver& self, const HookCall& call) {
    if (call.hook == Hook::Trailer) self.StopReceiver();
  };
  StartAndWaitUntilArmed();
  sender.SendAll(BuildSample(1));
  ASSERT_TRUE(thread->WaitFinished());
  sender.SendAll(BuildSample(2));
  EXPECT_EQ(thread->Error(), nullptr);
  EXPECT_EQ(Sequence(receiver.Calls()), "L P P P T");
}

TEST_F(ReceiverTest, StopFromAnotherThreadEndsAnIdleRun) {
  StartAndWaitUntilArmed();
  receiver.StopReceiver();
  receiver.StopReceiver();
  EXPECT_TRUE(thread->WaitFinished(2s));
  EXPECT_EQ(thread->Error(), nullptr);
  EXPECT_TRUE(receiver.Calls().empty());
}

// One stop, at whatever moment of the start it comes (before the socket is
// open, during set-up, as the loop starts), ends the run with no datagram.
TEST(ReceiverStopTest, OneStopAtAnyMomentOfTheStartEndsTheRunWithoutADatagram) {
  for (int attempt = 0; attempt < 40; ++attempt) {
    RecordingReceiver receiver(FreeUdpPort());
    ReceiverThread thread(receiver);
    std::this_thread::sleep_for(std::chrono::microseconds(attempt * 50));
    receiver.StopReceiver();
    ASSERT_TRUE(thread.WaitFinished(2s)) << "stop after " << attempt * 50 << " us was lost";
    EXPECT_EQ(thread.Error(), nullptr);
    EXPECT_TRUE(receiver.Calls().empty());
  }
}

TEST_F(ReceiverTest, StopFromAnotherThreadWakesAReceiverWaitingForTheNextDatagram) {
  StartAndWaitUntilArmed();
  sender.SendAll(BuildSample(1));
  ASSERT_EQ(SequenceAfter(5), "L P P P T");
  // The receiver now waits for the next datagram; the stop alone ends it.
  receiver.StopReceiver();
  EXPECT_TRUE(thread->WaitFinished(2s));
  EXPECT_EQ(thread->Error(), nullptr);
  EXPECT_EQ(Sequence(receiver.Calls()), "L P P P T");
}

// Short gaps are waited out in the receive call, long ones by the event
// loop; the stream goes on across both.
TEST_F(ReceiverTest, SamplesAfterShortAndLongPausesAllArrive) {
  StartAndWaitUntilArmed();
  std::string expected;
  for (std::uint32_t id = 1; id <= 8; ++id) {
    sender.SendAll(BuildSample(id));
    expected += id == 1 ? "L P P P T" : " L P P P T";
    ASSERT_EQ(SequenceAfter(id * 5), expected);
    std::this_thread::sleep_for(id % 2 == 1 ? 150ms : 5ms);
  }
}

// Work a subclass queues on m_ioContext, as a timer would.
class PostingReceiver : public RecordingReceiver {
 public:
  using RecordingReceiver::RecordingReceiver;
  void Post(std::function<void()> work) { boost::asio::post(m_ioContext, std::move(work)); }
};

TEST(ReceiverEventLoopTest, WorkQueuedOnTheEventLoopRunsDuringASteadyStreamAndAPause) {
  const unsigned short port = FreeUdpPort();
  PostingReceiver receiver(port);
  ReceiverThread thread(receiver);
  ASSERT_TRUE(receiver.WaitUntilArmed());
  UdpSender sender("127.0.0.1", port);
  sender.FollowReceiveQueue();
  const korv::vexasim::SampleFrames small({10, 10, 2, 0x100});  // Int16, three frames
  sender.SendAll(small.BuildSample(1));
  ASSERT_TRUE(receiver.WaitForCalls(3));

  std::atomic<std::size_t> callsWhenRun{0};
  std::atomic<bool> ranDuringStream{false};
  receiver.Post([&] {
    callsWhenRun = receiver.Calls().size();
    ranDuringStream = true;
  });
  constexpr std::uint32_t kSamples = 1000;  // 3000 datagrams, with no pause
  for (std::uint32_t id = 2; id <= kSamples; ++id) sender.SendAll(small.BuildSample(id));
  ASSERT_TRUE(receiver.WaitForCalls(kSamples * 3)) << receiver.Calls().size();
  ASSERT_TRUE(ranDuringStream);
  EXPECT_LT(callsWhenRun, kSamples * 3) << "the queued work waited for the stream to end";

  std::atomic<bool> ranDuringPause{false};
  receiver.Post([&] { ranDuringPause = true; });
  const auto deadline = Clock::now() + 2s;
  while (!ranDuringPause && Clock::now() < deadline) std::this_thread::sleep_for(5ms);
  EXPECT_TRUE(ranDuringPause);
}

TEST_F(ReceiverTest, StopBeforeStartEndsTheRunWithoutADatagram) {
  receiver.StopReceiver();
  thread.emplace(receiver);
  ASSERT_TRUE(thread->WaitFinished(2s));
  EXPECT_EQ(thread->Error(), nullptr);
  EXPECT_TRUE(receiver.Calls().empty());
}

TEST_F(ReceiverTest, SecondStartFailsAtOpenAndIsLogged) {
  receiver.onHook = [](RecordingReceiver& self, const HookCall&) { self.StopReceiver(); };
  StartAndWaitUntilArmed();
  sender.SendAll(BuildSample(1));
  ASSERT_TRUE(thread->WaitFinished());
  try {
    receiver.StartReceiver();
    FAIL() << "second start succeeded";
  } catch (const boost::system::system_error& error) {
    EXPECT_EQ(error.code(), boost::asio::error::already_open);
  }
  EXPECT_EQ(log.Count(kError, "Failure setting up boost asio: Already open"), 1);
}

TEST_F(ReceiverTest, ExceptionFromAHookLeavesStartReceiverAndIsLogged) {
  receiver.onHook = [](RecordingReceiver&, const HookCall&) { throw std::runtime_error("hook failed"); };
  StartAndWaitUntilArmed();
  sender.SendAll(BuildSample(1));
  ASSERT_TRUE(thread->WaitFinished());
  EXPECT_THROW(std::rethrow_exception(thread->Error()), std::runtime_error);
  EXPECT_EQ(log.Count(kError, "General failure: hook failed"), 1);
}

TEST(ReceiverSetUpTest, UnicastBindsToAnyAddress) {
  LoggerCapture log(korv::vexatools::GetAppLogger(), log4cplus::DEBUG_LOG_LEVEL);
  const unsigned short port = FreeUdpPort();
  RecordingReceiver receiver(port);
  ReceiverThread thread(receiver);
  ASSERT_TRUE(receiver.WaitUntilArmed());
  EXPECT_EQ(receiver.LocalEndpoint(), boost::asio::ip::udp::endpoint(boost::asio::ip::address_v4::any(), port));
  UdpSender("127.0.0.1", port).SendAll(TestFrames().BuildSample(1));
  EXPECT_TRUE(receiver.WaitForCalls(5));
  EXPECT_TRUE(log.Messages(log4cplus::INFO_LOG_LEVEL).empty());
}

std::string RandomGroup() {
  std::random_device random;
  return "239.255." + std::to_string(random() % 250 + 1) + "." + std::to_string(random() % 250 + 1);
}

TEST(ReceiverSetUpTest, MulticastJoinsTheGroupOnTheGivenInterface) {
  LoggerCapture log(korv::vexatools::GetAppLogger(), log4cplus::DEBUG_LOG_LEVEL);
  const unsigned short port = FreeUdpPort();
  const std::string group = RandomGroup();
  RecordingReceiver receiver(port, group, "127.0.0.1");
  ReceiverThread thread(receiver);
  ASSERT_TRUE(receiver.WaitUntilArmed());
  EXPECT_EQ(receiver.LocalEndpoint().address().to_string(), group);
  UdpSender(group, port).SendAll(TestFrames().BuildSample(1));
  EXPECT_TRUE(receiver.WaitForCalls(5));
  EXPECT_EQ(Sequence(receiver.Calls()), "L P P P T");
  EXPECT_EQ(log.Messages(log4cplus::INFO_LOG_LEVEL),
            (std::vector<std::string>{"Using multicast address: " + group, "Using network interface: 127.0.0.1"}));
}

TEST(ReceiverSetUpTest, InterfaceThatIsNotAnAddressFailsSetUp) {
  LoggerCapture log(korv::vexatools::GetAppLogger(), log4cplus::DEBUG_LOG_LEVEL);
  RecordingReceiver receiver(FreeUdpPort(), RandomGroup(), "eth0");
  EXPECT_THROW(receiver.StartReceiver(), boost::system::system_error);
  EXPECT_EQ(log.Count(log4cplus::INFO_LOG_LEVEL, "Using network interface: eth0"), 1);
  EXPECT_EQ(log.Count(log4cplus::ERROR_LOG_LEVEL, "Failure setting up boost asio: Invalid argument"), 1);
}

// The two set-up failures users meet most: the message names what failed
// and ends with the system's own text.
TEST(ReceiverSetUpTest, FailuresNameThePortInUseAndTheMissingInterfaceAddress) {
  LoggerCapture log(korv::vexatools::GetAppLogger(), log4cplus::DEBUG_LOG_LEVEL);
  auto what = [](VexaReceiver& receiver) {
    try {
      receiver.StartReceiver();
    } catch (const boost::system::system_error& error) {
      return std::string(error.what());
    }
    return std::string("no failure");
  };
  // A socket that does not share its port (no SO_REUSEADDR) keeps others off it.
  boost::asio::io_context context;
  boost::asio::ip::udp::socket holder(context, boost::asio::ip::udp::endpoint(boost::asio::ip::address_v4::any(), 0));
  const unsigned short heldPort = holder.local_endpoint().port();
  RecordingReceiver onHeldPort(heldPort);
  EXPECT_EQ(what(onHeldPort), "cannot receive on UDP 0.0.0.0:" + std::to_string(heldPort) +
                                  " (another program holds this port without sharing it: stop it or choose another "
                                  "port): Address already in use");

  // 192.0.2.1 is a documentation address, on no interface of a test host.
  const std::string group = RandomGroup();
  RecordingReceiver onMissingInterface(FreeUdpPort(), group, "192.0.2.1");
  EXPECT_EQ(what(onMissingInterface), "cannot join the multicast group " + group +
                                          " on the interface 192.0.2.1: no local interface has the address "
                                          "192.0.2.1: No such device");
  EXPECT_EQ(log.Count(log4cplus::ERROR_LOG_LEVEL, "Failure setting up boost asio: No such device"), 1);
}

// The packages raise net.core.rmem_max so that a receiver of the largest
// sample they are set up for, 4096 x 4096 Int16, gets the whole buffer it asks
// for: the limit is half of what it asks for, as the kernel doubles it.
TEST(ReceiverConstructionTest, PackagedReceiveBufferLimitHoldsThreeOfTheLargestSamples) {
  std::ifstream file(VEXATOOLS_SYSCTL_FILE);
  ASSERT_TRUE(file) << VEXATOOLS_SYSCTL_FILE;
  std::uint64_t limit = 0;
  for (std::string line; std::getline(file, line);) {
    std::istringstream fields(line);
    std::string key, equals;
    if (fields >> key >> equals >> limit && key == "net.core.rmem_max" && equals == "=") break;
    limit = 0;
  }
  EXPECT_EQ(limit, (VexaReceiver::ReceiveBufferWanted(3, 4096 * 4096 * 2) + 1) / 2);
}

TEST(ReceiverConstructionTest, SizesAreCheckedAndComputedWithoutOverflow) {
  const VexaReceiver receiver("127.0.0.1", 1, "", 1024, 768, 2, 3);
  EXPECT_EQ(receiver.GetSize(), 1572864);
  EXPECT_EQ(receiver.GetWidth(), 1024);
  EXPECT_EQ(receiver.GetHeight(), 768);
  EXPECT_EQ(receiver.GetCurrentSampleId(), 0xFFFFFFFFu);
  EXPECT_EQ(VexaReceiver("127.0.0.1", 1, "", 65535, 32767, 1, 3).GetSize(), 65535 * 32767);

  for (int port : {-1, 65536, 70000}) {
    EXPECT_THROW(VexaReceiver("127.0.0.1", port, "", 1024, 768, 2, 3), std::invalid_argument) << port;
  }
  for (const auto& [width, height, bytesPerPixel] :
       std::vector<std::tuple<int, int, int>>{{-1, 768, 2}, {1024, -768, 2}, {1024, 768, -2}, {65536, 32768, 1},
                                              {INT_MAX, INT_MAX, INT_MAX}}) {
    try {
      VexaReceiver("127.0.0.1", 1, "", width, height, bytesPerPixel, 3);
      ADD_FAILURE() << "accepted " << width << " x " << height << " x " << bytesPerPixel;
    } catch (const std::invalid_argument& error) {
      const std::string text = error.what();
      EXPECT_NE(text.find("width " + std::to_string(width)), std::string::npos) << text;
      EXPECT_NE(text.find("bytes per pixel " + std::to_string(bytesPerPixel)), std::string::npos) << text;
    }
  }
}

}  // namespace
}  // namespace vexatest
