// The receiver tool end to end: real frames over UDP on loopback to the real
// program, checking its report and exit status.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "korv/fnd/datatype/DataType.hpp"
#include "vexasim/SampleFrames.hpp"
#include "vexatools/testsupport/Junk.hpp"
#include "vexatools/testsupport/Network.hpp"
#include "vexatools/testsupport/Process.hpp"

namespace {

using namespace std::chrono_literals;
using vexatools::testsupport::FreeUdpPort;
using vexatools::testsupport::Process;
using vexatools::testsupport::ProcessResult;
using vexatools::testsupport::UdpSender;
using Datagram = vexatools::testsupport::Datagram;

// A common camera geometry: at Int16 a sample is 179 frames (leader, 177 payload frames,
// trailer), and the receiver's socket buffer holds about three samples.
constexpr int kWidth = 1024;
constexpr int kHeight = 768;

std::string Report(unsigned samples, unsigned lostSamples, unsigned packets, unsigned lostPackets) {
  return "\nVEXA Receiver execution report:\nReceived " + std::to_string(samples) + " sample(s), lost " +
         std::to_string(lostSamples) + " sample(s)\nReceived " + std::to_string(packets) + " packet(s), lost " +
         std::to_string(lostPackets) + " packet(s)\n\n";
}

class ReceiverTool : public ::testing::Test {
 protected:
  // Starts the program on a free port with `samples` and the extra arguments.
  void Start(unsigned samples, std::vector<std::string> extra = {}, const std::string& address = "127.0.0.1") {
    m_port = FreeUdpPort();
    std::vector<std::string> arguments = {"-a", address, "-p", std::to_string(m_port), "-w", std::to_string(kWidth),
                                          "-e", std::to_string(kHeight), "-s", std::to_string(samples)};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    m_process = std::make_unique<Process>(RECEIVER_PROGRAM, arguments);
    ASSERT_TRUE(vexatools::testsupport::WaitForUdpPort(m_port)) << m_process->Finish(1s).err;
    m_sender = std::make_unique<UdpSender>(address, m_port);
    if (address != "127.0.0.1") std::this_thread::sleep_for(300ms);  // the group join follows the bind
  }

  ProcessResult Finish() { return m_process->Finish(15s); }

  // Frames of sample `id`, optionally without some frame ids (1-based).
  std::vector<Datagram> Sample(std::uint32_t id, std::vector<int> without = {}) const {
    auto frames = m_frames.BuildSample(id);
    std::vector<Datagram> kept;
    for (std::size_t i = 0; i < frames.size(); ++i) {
      if (std::find(without.begin(), without.end(), int(i + 1)) == without.end()) kept.push_back(frames[i]);
    }
    return kept;
  }

  static std::vector<Datagram> Join(std::initializer_list<std::vector<Datagram>> parts) {
    std::vector<Datagram> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
  }

  // Small pauses keep the receiver's socket buffer from overflowing.
  // Paced at 16 datagrams a millisecond, which even a sanitizer build of the tool keeps up with.
  void Send(const std::vector<Datagram>& datagrams) { m_sender->SendAll(datagrams, 16); }

  void JunkStorm(int junkDatagrams, unsigned samples);

  korv::vexasim::SampleFrames m_frames{{kWidth, kHeight, 2, korv::fnd::datatype::Int16}};
  const unsigned N = m_frames.FrameCount();
  int m_port = 0;
  std::unique_ptr<Process> m_process;
  std::unique_ptr<UdpSender> m_sender;
};

// Tests that run long, labelled "soak" in ctest.
class ReceiverToolSoak : public ReceiverTool {};

TEST_F(ReceiverTool, ReceivesCompleteSamplesAndReports) {
  ASSERT_EQ(N, 179u);
  Start(3);
  Send(Join({Sample(10), Sample(11), Sample(12)}));
  const auto result = Finish();
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(result.out, "VEXA Receiver running...\n." + Report(3, 0, 3 * N, 0));
}

TEST_F(ReceiverTool, CountsEachLossPattern) {
  Start(6);
  Send(Join({
      Sample(1),
      Sample(2, {3}),  // payload lost: reported at its trailer and at the next leader
      Sample(3),
      Sample(4, {int(N)}),  // trailer lost: reported at the next leader
      Sample(5),
      Sample(6, {1}),  // leader lost: its frames are foreign, its trailer closes sample 5 short
      Sample(7),
  }));
  const auto result = Finish();
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  // Loss reports: at the trailer of 2, the leader of 3 (for 2), the leader of 5 (for 4)
  // and the leader of 7, since sample 6's frames were counted against sample 5; sample 6's
  // trailer closes sample 5 as complete. Packets: N + (N - 2) + N + (N - 1) + (N + 1) + N
  // (the trailer of an incomplete sample is not counted).
  EXPECT_EQ(result.out, "VEXA Receiver running...\n." + Report(6, 4, 6 * N - 2, 4));
}

TEST_F(ReceiverTool, SeveralLossReportsWithinOneSampleCountItOnce) {
  Start(3);
  auto twoPayloadsLost = Sample(2, {3, 4});
  twoPayloadsLost.push_back(twoPayloadsLost.back());  // its trailer again, still short
  Send(Join({Sample(1), twoPayloadsLost, Sample(3)}));
  const auto result = Finish();
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  // Loss reports: at both trailers of sample 2, which count sample 2 once, and at the
  // leader of 3 (for 2), which counts sample 3. Packets: N + (N - 3) + N, the short
  // trailers not counted.
  EXPECT_EQ(result.out, "VEXA Receiver running...\n." + Report(3, 2, 3 * N - 3, 3));
}

TEST_F(ReceiverTool, ForeignAndDuplicateFrames) {
  Start(3);
  auto withForeign = Sample(1);
  withForeign.insert(withForeign.begin() + 2, Sample(99)[2]);  // a payload frame of another sample
  auto withDuplicate = Sample(2);
  withDuplicate.insert(withDuplicate.begin() + 2, withDuplicate[2]);
  Send(Join({withForeign, withDuplicate, Sample(3)}));
  const auto result = Finish();
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  // The foreign frame leaves sample 1 complete, and the duplicate is counted as a received
  // packet, but each makes the next leader report a loss.
  EXPECT_EQ(result.out, "VEXA Receiver running...\n." + Report(3, 2, 3 * N + 1, 2));
}

TEST_F(ReceiverTool, SampleLimitZeroActsAsOneAndAnIncompleteLastSampleRunsOn) {
  Start(0);
  Send(Join({Sample(1), Sample(2)}));
  auto result = Finish();
  EXPECT_EQ(result.out, "VEXA Receiver running...\n." + Report(1, 0, N, 0));

  Start(2);
  Send(Join({Sample(1), Sample(2, {4}), Sample(3), Sample(4)}));
  result = Finish();
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  // Sample 2 is short, so the tool stops only at the trailer of sample 3.
  EXPECT_EQ(result.out, "VEXA Receiver running...\n." + Report(3, 2, 3 * N - 2, 2));
}

TEST_F(ReceiverTool, JoiningMidSampleCountsFromTheFirstLeader) {
  Start(1);
  Send(Join({Sample(7, {1, 2}), Sample(8)}));
  const auto result = Finish();
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(result.out, "VEXA Receiver running...\n." + Report(1, 0, N, 0));
}

TEST_F(ReceiverTool, JoinsAMulticastGroupOnLoopback) {
  Start(2, {"-n", "127.0.0.1"}, "239.255.42.99");
  Send(Join({Sample(1), Sample(2)}));
  const auto result = Finish();
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(result.out, "VEXA Receiver running...\n." + Report(2, 0, 2 * N, 0));
}

TEST_F(ReceiverTool, JunkDatagramsAreDroppedWithoutEndingReception) {
  Start(2);
  Datagram tooShort(20, 0x01);
  Datagram tooLong(9000, 0x02);
  auto lyingLeader = Sample(1);
  lyingLeader[0][28] = 0x22;  // payloadSize 0x22xx: far more than the leader datagram holds
  Send({tooShort, tooLong});
  Send(Join({lyingLeader, {tooShort, tooLong}, Sample(2)}));
  const auto result = Finish();
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(result.out, "VEXA Receiver running...\n." + Report(2, 0, 2 * N, 0));
}

// Reception that ends before the requested samples arrived is reported with
// the counts reached, and is a failure: status 1, and the reason on standard
// error even when the logging in force shows no ERROR record.
TEST_F(ReceiverTool, ReceptionEndingEarlyReportsTheCountsAndFails) {
  korv::vexasim::SampleLayout extended{kWidth, kHeight, 2, korv::fnd::datatype::Int16};
  extended.extendedInfo = true;
  const korv::vexasim::SampleFrames extendedFrames(extended);
  const std::string reason = "Failed to parse leader packet for sample 2 (payload 36 bytes)";
  const std::string silentLogging = ::testing::TempDir() + "/silent.properties";
  std::ofstream(silentLogging) << "log4cplus.rootLogger=OFF\n";

  for (const std::vector<std::string>& logging : {std::vector<std::string>{}, {"-f", silentLogging}}) {
    Start(5, logging);
    Send(Join({Sample(1), extendedFrames.BuildSample(2)}));
    const auto result = Finish();
    EXPECT_EQ(result.exitStatus, 1) << result.err;
    EXPECT_EQ(result.out, "VEXA Receiver running...\n." + Report(1, 0, N, 0));
    EXPECT_TRUE(result.err.find(reason) != std::string::npos) << result.err;
    EXPECT_EQ(result.err.find(reason), result.err.rfind(reason)) << "shown once:\n" << result.err;
  }
}

// Every kind of junk, interleaved with a valid stream and sent as fast as
// the tool takes it: the valid samples are counted exactly, no junk is
// counted, and the tool's memory does not grow with the junk.
void ReceiverTool::JunkStorm(int junkDatagrams, unsigned samples) {
  std::mt19937 random(20261207);
  const int junkPerFrame = junkDatagrams / int(samples * N) + 1;
  ASSERT_NO_FATAL_FAILURE(Start(samples));
  m_sender->FollowReceiveQueue();
  long residentAfterFirstSample = 0;
  int junkSent = 0;
  for (std::uint32_t id = 1; id <= samples; ++id) {
    for (const Datagram& frame : Sample(id)) {
      m_sender->Send(frame);
      for (int i = 0; i < junkPerFrame && junkSent < junkDatagrams; ++i, ++junkSent) {
        m_sender->Send(vexatools::testsupport::JunkDatagram(random, junkSent % vexatools::testsupport::kJunkKinds));
      }
    }
    // Memory is compared once the tool has handled the first sample and
    // before the last one ends it.
    if (id == 1 || id == samples - 1) {
      ASSERT_TRUE(vexatools::testsupport::WaitFor(
          [&] { return vexatools::testsupport::UdpQueueOf(m_port).queuedBytes == 0; }, 30s));
      const long resident = vexatools::testsupport::ResidentKilobytes(m_process->Pid()).value_or(0);
      if (id == 1) {
        residentAfterFirstSample = resident;
      } else if (vexatools::testsupport::kResidentMemoryShowsGrowth) {
        EXPECT_LE(resident - residentAfterFirstSample, 4096) << "kB of growth over the storm";
      }
    }
  }
  ASSERT_EQ(junkSent, junkDatagrams);
  EXPECT_FALSE(m_sender->Stalled());
  EXPECT_EQ(vexatools::testsupport::UdpQueueOf(m_port).drops, 0u);
  const auto result = Finish();
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  // One progress dot for each ten seconds the storm takes.
  const auto dots = std::min(result.out.find_first_not_of('.', 25), result.out.size());
  EXPECT_EQ(result.out.substr(0, 25), "VEXA Receiver running...\n") << result.out;
  EXPECT_EQ(result.out.substr(dots), Report(samples, 0, samples * N, 0)) << result.out;
}

TEST_F(ReceiverTool, AJunkStormChangesNoCount) { JunkStorm(100000, 10); }

// The same with a million junk datagrams (label "soak").
TEST_F(ReceiverToolSoak, AMillionJunkDatagramsChangeNoCountNorMemory) { JunkStorm(1000000, 20); }

// The `key=value` pairs of the last --stats line on standard error.
std::map<std::string, std::string> LastStatsLine(const std::string& err) {
  std::map<std::string, std::string> pairs;
  std::istringstream lines(err);
  for (std::string line; std::getline(lines, line);) {
    if (!line.starts_with("elapsed=")) continue;
    pairs.clear();
    std::istringstream words(line);
    for (std::string word; words >> word;) {
      const auto equals = word.find('=');
      if (equals == std::string::npos || equals == 0) return {};  // not key=value: fails the test below
      pairs[word.substr(0, equals)] = word.substr(equals + 1);
    }
  }
  return pairs;
}

// Ctrl-C or SIGTERM before the sample limit: the report with the counts
// reached, the loss summary with --stats, and status 0.
TEST_F(ReceiverTool, AStopSignalEndsTheRunWithTheReportOfTheCountsReached) {
  for (const int signal : {SIGINT, SIGTERM}) {
    Start(100, {"--stats"});
    Send(Join({Sample(1), Sample(2), Sample(3, {5})}));
    ASSERT_TRUE(vexatools::testsupport::WaitFor(
        [&] { return m_process->Err().find("complete=2 incomplete=1") != std::string::npos; }, 10s))
        << m_process->Err();
    EXPECT_EQ(m_process->Stop(signal), 0) << "signal " << signal;
    // Sample 3 lacks a payload frame; its trailer counts as a loss report.
    EXPECT_EQ(m_process->Out(), "VEXA Receiver running...\n." + Report(3, 1, 3 * N - 2, 1));
    EXPECT_NE(m_process->Err().find("Losses by cause:\n  incomplete samples: 1 of 3, 1 frame(s) missing\n"),
              std::string::npos)
        << m_process->Err();
  }
}

// With --stats the report on standard output is unchanged; standard error
// gets lines whose last one holds the final figures, and a summary by cause.
TEST_F(ReceiverTool, StatsLeaveTheReportAloneAndAddUp) {
  auto withForeign = Sample(5);
  withForeign.insert(withForeign.begin() + 2, Sample(99)[2]);
  const auto stream =
      Join({Sample(1), Sample(2, {3}), Sample(3), Sample(4, {int(N)}), withForeign, Sample(6, {1}), Sample(7)});
  Start(6);
  Send(stream);
  const auto plain = Finish();
  Start(6, {"--stats"});
  Send(stream);
  const auto result = Finish();
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(result.out, plain.out);
  EXPECT_EQ(plain.err.find("elapsed="), std::string::npos) << "no statistics without --stats";

  const auto stats = LastStatsLine(result.err);
  for (const char* key : {"elapsed", "datagrams", "bytes", "samples_per_s", "mb_per_s", "complete", "incomplete",
                          "frames_missing", "other_sample_frames", "socket_drops", "junk"}) {
    EXPECT_EQ(stats.count(key), 1u) << key << " missing from:\n" << result.err;
  }
  if (stats.empty()) return;
  // Samples 1, 3, 5 and 7 complete; 2 (one payload frame), 4 (its trailer)
  // and 6 (its leader) incomplete.
  EXPECT_EQ(stats.at("datagrams"), std::to_string(7 * N - 2));
  EXPECT_EQ(stats.at("complete"), "4");
  EXPECT_EQ(stats.at("incomplete"), "3");
  EXPECT_EQ(stats.at("frames_missing"), "3");
  EXPECT_EQ(stats.at("other_sample_frames"), std::to_string(N - 2 + 1));
  EXPECT_EQ(stats.at("socket_drops"), "0");
  EXPECT_EQ(stats.at("junk"), "0");
  EXPECT_TRUE(result.err.find("Losses by cause:\n  incomplete samples: 3 of 7, 3 frame(s) missing\n") !=
              std::string::npos)
      << result.err;
}

// Without CAP_NET_ADMIN the buffer is capped at net.core.rmem_max: the
// warning with its fix reaches standard error once, although the log
// level in force (ERROR) hides WARN records.
TEST_F(ReceiverTool, ACappedReceiveBufferIsShownOnceWhateverTheLogLevel) {
  constexpr int kLargeSide = 4096;  // 3759 frames a sample at Int16
  const std::uint64_t setting = 3ull * 3759 * 16640 / 2;
  std::uint64_t rmemMax = 0;
  std::ifstream("/proc/sys/net/core/rmem_max") >> rmemMax;
  if (rmemMax == 0 || rmemMax >= setting) GTEST_SKIP() << "net.core.rmem_max does not cap the request";
  const std::string fix = "Fix: sysctl -w net.core.rmem_max=" + std::to_string(setting);

  m_port = FreeUdpPort();
  Process tool("/usr/bin/setpriv",
               {"--bounding-set=-net_admin", "--inh-caps=-net_admin", RECEIVER_PROGRAM, "-p", std::to_string(m_port),
                "-w", std::to_string(kLargeSide), "-e", std::to_string(kLargeSide), "-s", "1"});
  EXPECT_TRUE(vexatools::testsupport::WaitFor([&] { return tool.Err().find(fix) != std::string::npos; }, 10s))
      << tool.Err();
  tool.Stop(SIGTERM);
  const std::string err = tool.Err();
  EXPECT_EQ(err.find(fix), err.rfind(fix)) << "shown once:\n" << err;
  EXPECT_EQ(err.find("WARN"), std::string::npos) << "not as a log record:\n" << err;
  EXPECT_EQ(tool.Out(), "VEXA Receiver running...\n" + Report(0, 0, 0, 0));
}

TEST_F(ReceiverTool, AcceptsDataTypeNamesInEitherSpelling) {
  for (const char* name : {"UInt32", "Uint32", "uint32", "FLOAT"}) {
    m_frames = korv::vexasim::SampleFrames({kWidth, kHeight, 4, korv::fnd::datatype::UInt32});
    Start(1, {"-t", name});
    Send(Sample(1));
    const auto result = Finish();
    EXPECT_EQ(result.exitStatus, 0) << name << ": " << result.err;
    EXPECT_EQ(result.out, "VEXA Receiver running...\n." + Report(1, 0, m_frames.FrameCount(), 0)) << name;
  }
}

}  // namespace
