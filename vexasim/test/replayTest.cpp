// The simulator's capture files end to end: --pcap writes what would be
// sent, --replay sends a capture again (timing, filter, fault injection),
// and the receiver tool reports a replayed stream as it reported it live.
#include <gtest/gtest.h>

#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "plexoif/plexoPacket.hpp"
#include "vexasim/Capture.hpp"
#include "vexatools/testsupport/Network.hpp"
#include "vexatools/testsupport/Process.hpp"

namespace {

using namespace std::chrono_literals;
using korv::vexasim::CapturedDatagram;
using korv::vexasim::CaptureReader;
using vexatools::testsupport::Process;
using vexatools::testsupport::ProcessResult;
using vexatools::testsupport::RunProgram;

std::string TempPath(const std::string& name) {
  return ::testing::TempDir() + "/replay-" + std::to_string(getpid()) + "-" + name + ".pcap";
}

ProcessResult Simulate(std::vector<std::string> arguments) {
  auto result = RunProgram(VEXASIM_PROGRAM, arguments, 30s);
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  return result;
}

std::vector<CapturedDatagram> ReadCapture(const std::string& path) {
  CaptureReader reader(path, "");
  std::vector<CapturedDatagram> datagrams;
  for (CapturedDatagram datagram; reader.Next(datagram);) datagrams.push_back(datagram);
  return datagrams;
}

std::vector<std::string> Append(std::vector<std::string> arguments, const std::vector<std::string>& more) {
  arguments.insert(arguments.end(), more.begin(), more.end());
  return arguments;
}

// The receiver tool's report of the stream the simulator sends with `simulatorArguments`.
ProcessResult ReceiverReport(const std::vector<std::string>& simulatorArguments, const std::string& samples) {
  const int port = vexatools::testsupport::FreeUdpPort();
  Process receiver(RECEIVER_PROGRAM, {"-p", std::to_string(port), "-w", "256", "-e", "256", "-s", samples});
  EXPECT_TRUE(vexatools::testsupport::WaitForUdpPort(port));
  Simulate(Append(simulatorArguments, {"-p", std::to_string(port)}));
  return receiver.Finish(20s);
}

// 256 x 256 Int16 samples: 17 frames each. More samples than the receiver
// needs, at a rate a sanitizer build of it keeps up with.
const std::vector<std::string> kFaultyStream{"-w", "256", "-e", "256", "-s", "10", "-r", "50",
                                             "--drop-probability", "0.05", "--seed", "5", "--duplicate", "2",
                                             "--foreign", "3", "--junk-short", "2", "--junk-long", "3",
                                             "--junk-truncated", "4", "--drop-trailer", "5"};

TEST(Replay, ReceiverReportsAReplayedCaptureAsTheLiveStream) {
  const ProcessResult live = ReceiverReport(kFaultyStream, "6");
  ASSERT_EQ(live.exitStatus, 0) << live.err;
  ASSERT_NE(live.out.find("lost"), std::string::npos) << live.out;

  const std::string capture = TempPath("faulty");
  Simulate(Append(kFaultyStream, {"-p", "50000", "--pcap", capture}));
  const ProcessResult replayed = ReceiverReport({"--replay", capture}, "6");
  EXPECT_EQ(replayed.exitStatus, 0) << replayed.err;
  EXPECT_EQ(replayed.out, live.out);
}

// Fault injection on a replayed clean capture sends what the simulator
// sends with the same options: the same datagrams in the same order. Only a
// foreign frame differs: the simulator builds it with the foreign sample's
// pixels, the replay rewrites the sample id of the captured frame.
TEST(Replay, FaultInjectionActsOnReplayedFramesAsOnSimulatedOnes) {
  const std::vector<std::string> stream{"-p", "50000", "-w", "5000", "-e", "1", "-s", "6"};
  const std::vector<std::string> faults{"--drop-probability", "0.25", "--seed", "9", "--drop-leader", "4",
                                        "--drop-trailer", "3", "--duplicate", "2", "--foreign", "5",
                                        "--junk-short", "3", "--junk-long", "4", "--junk-truncated", "2"};
  const std::string clean = TempPath("clean");
  const std::string simulated = TempPath("simulated");
  const std::string replayed = TempPath("replayed");
  Simulate(Append(stream, {"--pcap", clean}));
  const auto direct = Simulate(Append(Append(stream, faults), {"--pcap", simulated}));
  const auto replay = Simulate(Append({"-p", "50000", "--replay", clean, "--pcap", replayed}, faults));

  const auto expected = ReadCapture(simulated);
  const auto actual = ReadCapture(replayed);
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < actual.size(); ++i) {
    const auto& bytes = expected[i].bytes;
    const bool foreign = bytes.size() >= plexoif::kPlexoHeaderSize && bytes[plexoif::kSampleIdOffset] == 0x80;
    if (foreign) {
      ASSERT_EQ(actual[i].bytes.size(), bytes.size()) << "datagram " << i;
      EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + plexoif::kPlexoHeaderSize, actual[i].bytes.begin()))
          << "datagram " << i;
    } else {
      EXPECT_EQ(actual[i].bytes, bytes) << "datagram " << i;
    }
  }
  // The same counts in both reports, times aside.
  auto counts = [](const std::string& out) {
    const auto report = out.substr(out.find("Wrote "));
    return report.substr(0, report.find(" to ")) + report.substr(report.find(';'));
  };
  EXPECT_EQ(counts(replay.out), counts(direct.out));
  EXPECT_NE(replay.out.find("; faults: "), std::string::npos) << replay.out;
}

TEST(Replay, SpeedScalesTheCapturedTiming) {
  const std::string paced = TempPath("paced");
  const std::string faster = TempPath("faster");
  const std::string asFastAsPossible = TempPath("unpaced");
  // 3 frames a sample at 20 samples/s: one datagram every 1/60 s.
  Simulate({"-p", "50000", "-w", "10", "-e", "10", "-s", "3", "-r", "20", "--pcap", paced});
  Simulate({"-p", "50000", "--replay", paced, "--speed", "2.5", "--pcap", faster});
  Simulate({"-p", "50000", "--replay", paced, "--speed", "0", "--pcap", asFastAsPossible});
  const auto original = ReadCapture(paced);
  const auto scaled = ReadCapture(faster);
  const auto unpaced = ReadCapture(asFastAsPossible);
  ASSERT_EQ(original.size(), 9u);
  ASSERT_EQ(scaled.size(), 9u);
  ASSERT_EQ(unpaced.size(), 9u);
  for (std::size_t i = 0; i < original.size(); ++i) {
    EXPECT_EQ(original[i].timestampNs - original[0].timestampNs, std::int64_t(i) * 1'000'000'000 / 60) << i;
    EXPECT_NEAR(double(scaled[i].timestampNs - scaled[0].timestampNs),
                double(original[i].timestampNs - original[0].timestampNs) / 2.5, 2.0) << i;
    EXPECT_EQ(scaled[i].bytes, original[i].bytes);
  }
  EXPECT_LT(unpaced.back().timestampNs - unpaced.front().timestampNs, 100'000'000) << "no waiting";

  // Sent for real at half speed, the 0.133 s of the capture take twice as long.
  // To a socket of its own, so that no other test's receiver gets the datagrams.
  boost::asio::io_context context;
  const boost::asio::ip::udp::socket sink(context, {boost::asio::ip::address_v4::loopback(), 0});
  const auto port = std::to_string(sink.local_endpoint().port());
  const auto slow = Simulate({"-p", port, "--replay", paced, "--speed", "0.5"});
  const auto seconds = std::strtod(slow.out.substr(slow.out.find(" in ") + 4).c_str(), nullptr);
  EXPECT_GE(seconds, 0.26) << slow.out;
  EXPECT_NE(slow.out.find("Sent 3 samples, 9 frames, "), std::string::npos) << slow.out;
}

TEST(Replay, FilterPicksOneStreamOutOfAMixedCapture) {
  const std::string mixed = TempPath("mixed");
  const std::string picked = TempPath("picked");
  const std::string first = TempPath("first");
  const std::string second = TempPath("second");
  Simulate({"-p", "50000", "-w", "10", "-e", "10", "-s", "2", "--pcap", first});
  Simulate({"-p", "50001", "-w", "20", "-e", "10", "-s", "3", "--sample-id", "100", "--pcap", second});
  {
    // Interleave the two streams in one file, each on its own port.
    korv::vexasim::CaptureEndpoints endpoints;
    korv::vexasim::CaptureWriter writer(mixed, korv::vexasim::CaptureLink::Ethernet, endpoints);
    const auto a = ReadCapture(first);
    const auto b = ReadCapture(second);
    for (std::size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
      for (const auto* stream : {&a, &b}) {
        if (i >= stream->size()) continue;
        endpoints.destinationPort = stream == &a ? 50000 : 50001;
        writer.SetEndpoints(endpoints);
        writer.Write((*stream)[i].bytes, 0);
      }
    }
  }
  const auto result = Simulate({"-p", "50000", "--replay", mixed, "--filter", "udp dst port 50001", "--pcap", picked});
  EXPECT_NE(result.out.find("Wrote 3 samples, 9 frames, "), std::string::npos) << result.out;
  const auto expected = ReadCapture(second);
  const auto actual = ReadCapture(picked);
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < actual.size(); ++i) EXPECT_EQ(actual[i].bytes, expected[i].bytes) << i;
}

TEST(Replay, UnreadableCapturesAndBadFiltersFailWithAMessage) {
  auto result = RunProgram(VEXASIM_PROGRAM, {"-p", "50000", "--replay", "/nonexistent.pcap"});
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_NE(result.err.find("ERROR: Cannot read capture /nonexistent.pcap"), std::string::npos) << result.err;

  const std::string capture = TempPath("for-filter");
  Simulate({"-p", "50000", "-w", "10", "-e", "10", "-s", "1", "--pcap", capture});
  result = RunProgram(VEXASIM_PROGRAM, {"-p", "50000", "--replay", capture, "--filter", "udp port ((("});
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_NE(result.err.find("ERROR: Invalid filter 'udp port ((('"), std::string::npos) << result.err;

  // A filter that matches nothing is no successful replay of nothing.
  result = RunProgram(VEXASIM_PROGRAM, {"-p", "50000", "--replay", capture, "--filter", "udp dst port 50001"});
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_NE(result.err.find("ERROR: The filter 'udp dst port 50001' matches no IPv4 UDP datagram of " + capture),
            std::string::npos)
      << result.err;
}

// A capture file is written as fast as it goes: its report names the file
// and the span of its time stamps, and gives no rate.
TEST(Replay, WritingACaptureReportsNoRate) {
  const std::string capture = TempPath("report");
  const auto result = Simulate({"-p", "50000", "-w", "10", "-e", "10", "-s", "3", "-r", "20", "--pcap", capture});
  EXPECT_NE(result.out.find("Wrote 3 samples, 9 frames, "), std::string::npos) << result.out;
  EXPECT_NE(result.out.find(" to " + capture + ", time-stamped over 0.133 s"), std::string::npos) << result.out;
  EXPECT_EQ(result.out.find(" samples/s"), std::string::npos) << result.out;
}

}  // namespace
