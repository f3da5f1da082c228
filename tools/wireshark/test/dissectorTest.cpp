// The Wireshark dissector, run in tshark on captures the simulator writes
// (and a few it never would): the field values, the Info column and the
// expert findings as `tshark -T fields` prints them.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "plexoif/plexoPacket.hpp"
#include "vexasim/Capture.hpp"
#include "vexatools/testsupport/Process.hpp"

namespace {

using vexatools::testsupport::RunProgram;
using Rows = std::vector<std::vector<std::string>>;

bool HaveTshark() { return std::string(TSHARK_PROGRAM).empty() == false && access(TSHARK_PROGRAM, X_OK) == 0; }

#define REQUIRE_TSHARK() \
  if (!HaveTshark()) GTEST_SKIP() << "tshark is not installed"

std::string TempFile(const std::string& name) {
  return ::testing::TempDir() + "/dissector-" + std::to_string(getpid()) + "-" + name + ".pcap";
}

// Runs the simulator with `arguments` into a capture file and returns its path.
std::string SimulatorCapture(const std::string& name, std::vector<std::string> arguments) {
  const std::string path = TempFile(name);
  arguments.insert(arguments.end(), {"--pcap", path});
  const auto result = RunProgram(VEXASIM_PROGRAM, arguments);
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  return path;
}

// One row per packet, one column per field; several occurrences of a field
// are joined with commas.
Rows Fields(const std::string& capture, const std::vector<std::string>& fields,
            const std::vector<std::string>& options = {}) {
  std::vector<std::string> arguments{"-X", "lua_script:" DISSECTOR_SCRIPT, "-r", capture, "-T", "fields",
                                     "-E", "occurrence=a"};
  arguments.insert(arguments.end(), options.begin(), options.end());
  for (const auto& field : fields) arguments.insert(arguments.end(), {"-e", field});
  const auto result = RunProgram(TSHARK_PROGRAM, arguments, std::chrono::seconds(60));
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  Rows rows;
  std::istringstream lines(result.out);
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> row;
    std::size_t start = 0;
    for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
      row.push_back(line.substr(start, tab - start));
    }
    row.push_back(line.substr(start));
    rows.push_back(row);
  }
  return rows;
}

TEST(Dissector, NormalSamplesShowEveryHeaderField) {
  REQUIRE_TSHARK();
  // 300 x 70 Int32: 21000 units, 2233 per payload frame, the tenth carries 903; 12 frames.
  const auto capture = SimulatorCapture("normal", {"-p", "50000", "-w", "300", "-e", "70", "-t", "Int32", "-s", "2",
                                                   "--sample-id", "4294967295"});
  const Rows rows = Fields(capture, {"plexo.topic_id", "plexo.component_id", "plexo.version", "plexo.sample_id",
                                     "plexo.frame_id", "plexo.frame_count", "plexo.payload_size", "plexo.role",
                                     "sorel.type", "sorel.frame_info.endianness", "sorel.frame_info.source",
                                     "sorel.units", "sorel.data_units", "_ws.col.Info", "_ws.expert.message"});
  ASSERT_EQ(rows.size(), 24u);
  EXPECT_EQ(rows[0], (std::vector<std::string>{"0x56455841", "1", "1", "4294967295", "1", "12", "8", "1", "1", "1",
                                               "1", "21000", "", "Sample 4294967295 frame 1/12 leader 21000 units",
                                               ""}));
  EXPECT_EQ(rows[1][6], "8940");
  EXPECT_EQ(rows[1][12], "2233");
  EXPECT_EQ(rows[1][13], "Sample 4294967295 frame 2/12 payload 2233 units");
  EXPECT_EQ(rows[10][6], "3620");
  EXPECT_EQ(rows[10][12], "903");
  EXPECT_EQ(rows[11][7], "3");
  EXPECT_EQ(rows[11][13], "Sample 4294967295 frame 12/12 trailer");
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i][3], i < 12 ? "4294967295" : "0") << "row " << i;  // the identifier wraps
    EXPECT_EQ(rows[i][4], std::to_string(i % 12 + 1)) << "row " << i;
    EXPECT_EQ(rows[i][8], rows[i][7]) << "role and packet type agree, row " << i;
    EXPECT_EQ(rows[i][14], "") << "no expert finding, row " << i;
  }
}

// Loopback framing, and a port set with the preference.
TEST(Dissector, ExtendedLeaderShowsTheBasicImageInfo) {
  REQUIRE_TSHARK();
  const double before = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  const auto capture = SimulatorCapture("extended", {"-p", "50001", "-w", "33", "-e", "17", "-t", "Double", "-s",
                                                     "1", "--extended-info", "--pcap-link", "loopback"});
  const std::vector<std::string> fields{"frame.protocols", "sorel.ext.datatype", "sorel.ext.width",
                                        "sorel.ext.height", "sorel.ext.offset_x", "sorel.ext.offset_y",
                                        "sorel.ext.timestamp", "sorel.units", "_ws.col.Info"};
  EXPECT_EQ(Fields(capture, fields)[0][0], "null:ip:udp:data") << "not on the default port 50000";

  const Rows rows = Fields(capture, fields, {"-o", "plexo.ports:50001"});
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0], (std::vector<std::string>{"null:ip:udp:plexo", "0x00020000", "33", "17", "0", "0", rows[0][6],
                                               "561", "Sample 1 frame 1/3 leader 561 units (extended)"}));
  const double timestamp = std::strtod(rows[0][6].c_str(), nullptr);
  EXPECT_GE(timestamp, before - 1.0);
  EXPECT_LT(timestamp, before + 60.0);
}

// Every fault the simulator injects, in one deterministic run: 5000 x 1 Int16
// samples of 4 frames (leader, payload frames of 4466 and 534 units, trailer).
TEST(Dissector, EveryInjectedFaultIsFlagged) {
  REQUIRE_TSHARK();
  const auto capture = SimulatorCapture(
      "faults", {"-p", "50000", "-w", "5000", "-e", "1", "-s", "4", "--drop-probability", "0.2", "--seed", "3",
                 "--drop-leader", "4", "--drop-trailer", "2", "--duplicate", "3", "--foreign", "1", "--junk-short",
                 "2", "--junk-long", "3", "--junk-truncated", "4"});
  const Rows rows = Fields(capture, {"plexo.role", "_ws.col.Info", "_ws.expert.message"});
  const Rows expected{
      {"1", "Sample 1 frame 1/4 leader 5000 units", ""},
      {"2", "Sample 1 frame 2/4 payload 4466 units", ""},
      {"2", "Sample 2147483649 frame 2/4 payload 4466 units", "Sample 2147483649: frame 1 missing"},
      // frame 3 of sample 1 dropped at random
      {"3", "Sample 1 frame 4/4 trailer", "Sample 1: frame 3 missing"},
      {"1", "Sample 2 frame 1/4 leader 5000 units", "Sample 2147483649 ended without frames 3 to 4 of 4"},
      {"2", "Sample 2 frame 2/4 payload 4466 units", ""},
      {"2", "Sample 2147483650 frame 2/4 payload 4466 units", "Sample 2147483650: frame 1 missing"},
      {"0", "Junk: 20 bytes, shorter than a PLEXO header", "20 bytes, a PLEXO header has 32"},
      {"2", "Sample 2 frame 3/4 payload 534 units", ""},
      // the trailer of sample 2 dropped
      {"1", "Sample 3 frame 1/4 leader 5000 units",
       "Sample 2 ended without frame 4 of 4,Sample 2147483650 ended without frames 3 to 4 of 4"},
      {"2", "Sample 3 frame 2/4 payload 4466 units", ""},
      {"2", "Sample 3 frame 2/4 payload 4466 units", "Sample 3: frame 2 after frame 2"},
      {"2", "Sample 2147483651 frame 2/4 payload 4466 units", "Sample 2147483651: frame 1 missing"},
      {"0", "Junk: 9000 bytes, longer than a PLEXO frame; Sample 3 frame 2/4", "9000 bytes, a frame has at most 8972"},
      {"2", "Sample 3 frame 3/4 payload 534 units", ""},
      {"3", "Sample 3 frame 4/4 trailer", ""},
      // the leader of sample 4 dropped
      {"2", "Sample 4 frame 2/4 payload 4466 units", "Sample 4: frame 1 missing"},
      {"2", "Sample 2147483652 frame 2/4 payload 4466 units", "Sample 2147483652: frame 1 missing"},
      {"0", "Junk: 20 bytes, shorter than a PLEXO header", "20 bytes, a PLEXO header has 32"},
      {"2", "Sample 4 frame 2/4 [payloadSize 8940 > 32] payload 4466 units",
       "payloadSize 8940, the datagram holds 32,Sample 4: frame 2 after frame 2"},
      {"2", "Sample 4 frame 3/4 payload 534 units", ""},
  };
  EXPECT_EQ(rows, expected);
}

// Frames no sender writes, which the receivers drop as junk.
TEST(Dissector, MalformedLeadersAndImpossibleHeadersAreFlagged) {
  REQUIRE_TSHARK();
  const std::string path = TempFile("handmade");
  {
    korv::vexasim::CaptureEndpoints endpoints;
    endpoints.destinationPort = 50000;
    korv::vexasim::CaptureWriter writer(path, korv::vexasim::CaptureLink::Ethernet, endpoints);
    auto frame = [&](std::uint16_t frameId, std::uint16_t frameCount, std::vector<unsigned char> payload,
                     int payloadSize = -1) {
      std::vector<unsigned char> datagram(plexoif::kPlexoHeaderSize);
      plexoif::PlexoHeaderFields fields;
      fields.sampleId = 7;
      fields.frameId = frameId;
      fields.frameCount = frameCount;
      fields.payloadSize = static_cast<std::uint16_t>(payloadSize >= 0 ? payloadSize : int(payload.size()));
      plexoif::EncodePlexoHeader(datagram.data(), fields);
      datagram.insert(datagram.end(), payload.begin(), payload.end());
      writer.Write(datagram, 0);
    };
    frame(1, 3, {1, 0, 0, 0, 0});                         // a leader of 5 bytes
    frame(1, 3, {2, 0, 0, 0, 0, 0, 0, 4});                // a payload packet in the leader's place
    frame(1, 3, {1, 0, 0, 100, 0, 0, 0, 4});              // extension length past the leader's end
    frame(0, 3, {});                                      // frame id 0
    frame(4, 3, {});                                      // frame id above the frame count
    frame(1, 1, {1, 0, 0, 0, 0, 0, 0, 4});                // a one-frame sample
    frame(1, 3, {1, 0, 0, 0, 0, 0, 0, 4});                // the leader, well-formed at last
    frame(1, 3, {1, 0, 0, 0, 0, 0, 0, 4});                // and again
    frame(3, 3, {3, 0, 0, 0, 0xAA, 0xBB}, 4);             // two bytes after the payload
  }
  const Rows rows = Fields(path, {"plexo.role", "_ws.expert.message"});
  const Rows expected{
      {"1", "Leader of 5 bytes, shorter than 8"},
      {"1", "Leader frame carries packet type 2"},
      {"1", "Extension length 100 runs past the 8-byte leader"},
      {"0", "Frame id 0 of frame count 3"},
      {"0", "Frame id 4 of frame count 3"},
      {"0", "Frame id 1 of frame count 1"},
      {"1", ""},  // the well-formed leader starts the sequence
      {"1", "Sample 7: frame 1 after frame 1"},
      {"3", "2 bytes after the 4 payload bytes,Sample 7: frame 2 missing"},
  };
  EXPECT_EQ(rows, expected);
}

}  // namespace
