// The simulator's command line, read in-process.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "vexasim/SimOptions.hpp"

namespace {

using korv::vexasim::ParseCommandLine;
namespace dt = korv::fnd::datatype;

struct Outcome {
  korv::vexasim::ParsedCommandLine parsed;
  std::string out;
  std::string err;
};

Outcome Parse(std::vector<const char*> args) {
  args.insert(args.begin(), "vexatoolsVexaSim");
  std::ostringstream out, err;
  auto parsed = ParseCommandLine(static_cast<int>(args.size()), args.data(), out, err);
  return {parsed, out.str(), err.str()};
}

TEST(SimOptions, DataTypeNamesInAnyLetterCase) {
  for (const char* name : {"UInt32", "Uint32", "uint32", "UINT32"}) {  // "Uint32" as the receiver's help spells it
    const auto result = Parse({"-p", "1", "-w", "1", "-e", "1", "-t", name});
    ASSERT_TRUE(result.parsed.config) << name << ": " << result.err;
    EXPECT_EQ(result.parsed.config->dataType, dt::UInt32) << name;
  }
}

TEST(SimOptions, EveryOptionReachesTheConfiguration) {
  const auto result = Parse({"--address", "239.1.2.3", "--port", "7000", "--netif", "127.0.0.1", "--width", "3",
                             "--height", "4", "--data_type", "double", "--samples", "9", "--rate", "2.5",
                             "--sample-id", "4294967295", "--ttl", "4", "--extended-info", "--drop-probability",
                             "0.5", "--seed", "77", "--drop-leader", "2", "--drop-trailer", "3", "--duplicate", "4",
                             "--foreign", "5", "--junk-short", "6", "--junk-long", "7", "--junk-truncated", "8"});
  ASSERT_TRUE(result.parsed.config) << result.err;
  const auto& c = *result.parsed.config;
  EXPECT_EQ(c.address, "239.1.2.3");
  EXPECT_EQ(c.netif, "127.0.0.1");
  EXPECT_EQ(c.dataType, dt::Double);
  EXPECT_EQ(c.bytesPerPixel, 8);
  EXPECT_EQ(c.samples, 9u);
  EXPECT_EQ(c.rate, 2.5);
  EXPECT_EQ(c.firstSampleId, 4294967295u);
  EXPECT_EQ(c.ttl, 4);
  EXPECT_TRUE(c.extendedInfo);
  const auto& f = c.faults;
  EXPECT_EQ(f.dropProbability, 0.5);
  EXPECT_EQ(f.seed, 77u);
  EXPECT_EQ(std::vector<std::uint64_t>({f.dropLeaderEvery, f.dropTrailerEvery, f.duplicateEvery, f.foreignEvery,
                                        f.junkShortEvery, f.junkLongEvery, f.junkTruncatedEvery}),
            std::vector<std::uint64_t>({2, 3, 4, 5, 6, 7, 8}));
}

TEST(SimOptions, ReplayAndCaptureOptions) {
  auto result = Parse({"-p", "9", "--replay", "in.pcap", "--speed", "0", "--filter", "udp port 9", "--pcap", "out.pcap",
                       "--pcap-link", "loopback", "-s", "4", "--drop-leader", "2"});
  ASSERT_TRUE(result.parsed.config) << result.err;
  const auto& c = *result.parsed.config;
  EXPECT_EQ(c.replayFile, "in.pcap");
  EXPECT_EQ(c.speed, 0.0);
  EXPECT_EQ(c.filter, "udp port 9");
  EXPECT_EQ(c.pcapFile, "out.pcap");
  EXPECT_EQ(c.pcapLink, korv::vexasim::CaptureLink::Loopback);
  EXPECT_EQ(c.samples, 4u);
  EXPECT_EQ(c.faults.dropLeaderEvery, 2u);

  result = Parse({"-p", "9", "-w", "2", "-e", "2", "-s", "1", "--pcap", "out.pcap"});
  ASSERT_TRUE(result.parsed.config) << result.err;
  EXPECT_EQ(result.parsed.config->pcapLink, korv::vexasim::CaptureLink::Ethernet);
  EXPECT_EQ(result.parsed.config->speed, 1.0);
}

TEST(SimOptions, BadValuesAreRefusedWithAClearMessage) {
  const std::vector<std::pair<std::vector<const char*>, std::string>> cases{
      {{"-w", "1", "-e", "1"}, "'--port' is required"},
      {{"-p", "1", "-w", "1", "-e", "1", "--bogus"}, "unrecognised option '--bogus'"},
      {{"-p", "x", "-w", "1", "-e", "1"}, "'--port' is invalid"},
      {{"-p", "0", "-w", "1", "-e", "1"}, "--port must be between 1 and 65535, not 0"},
      {{"-p", "70000", "-w", "1", "-e", "1"}, "--port must be between 1 and 65535, not 70000"},
      {{"-p", "1", "-w", "0", "-e", "1"}, "--width must be between"},
      {{"-p", "1", "-w", "1", "-e", "-5"}, "--height must be between"},
      {{"-p", "1", "-w", "1", "-e", "1", "-t", "Int8"}, "Invalid data_type: Int8"},
      {{"-p", "1", "-w", "1", "-e", "1", "-t", "invalid"}, "Invalid data_type: invalid"},
      {{"-p", "1", "-w", "1", "-e", "1", "-t", "Bool"}, "no fixed element size"},
      {{"-p", "1", "-w", "1", "-e", "1", "-a", "localhost"}, "--address must be a dotted IPv4 address"},
      {{"-p", "1", "-w", "1", "-e", "1", "-n", "eth0"}, "--netif must be a dotted IPv4 address"},
      {{"-p", "1", "-w", "1", "-e", "1", "-s", "-1"}, "--samples must be between 0"},
      {{"-p", "1", "-w", "1", "-e", "1", "-r", "-2"}, "--rate must be 0 or a positive number"},
      {{"-p", "1", "-w", "1", "-e", "1", "-r", "nan"}, "--rate must be 0 or a positive number"},
      {{"-p", "1", "-w", "1", "-e", "1", "--sample-id", "4294967296"}, "--sample-id must be between 0 and 4294967295"},
      {{"-p", "1", "-w", "1", "-e", "1", "--ttl", "0"}, "--ttl must be between 1 and 255"},
      {{"-p", "1", "-w", "1", "-e", "1", "--drop-probability", "1.5"}, "--drop-probability must be between 0 and 1"},
      {{"-p", "1", "-w", "1", "-e", "1", "--junk-long", "-3"}, "--junk-long must be between 0"},
      {{"-p", "1", "-w", "1", "-e", "1", "-p", "2"}, "'--port' cannot be specified more than once"},
      {{"-p", "1", "-w", "100000", "-e", "100000", "-t", "Byte"}, "more than 2^32 - 1 pixels"},
      {{"-p", "1", "-w", "60000", "-e", "60000", "-t", "Byte"}, "needs more than 65535 frames"},
      {{"-p", "1", "-w", "1", "-e", "1", "stray"}, "too many positional options"},
      {{"-p", "1", "-e", "1"}, "the option '--width' is required but missing"},
      {{"-p", "1", "--replay", "x.pcap", "-w", "1"}, "--width does not apply to --replay"},
      {{"-p", "1", "--replay", "x.pcap", "-t", "Byte"}, "--data_type does not apply to --replay"},
      {{"-p", "1", "--replay", "x.pcap", "--extended-info"}, "--extended-info does not apply to --replay"},
      {{"-p", "1", "--replay", "x.pcap", "--packet-size", "1472"}, "--packet-size does not apply to --replay"},
      {{"-p", "1", "-w", "1", "-e", "1", "--speed", "2"}, "--speed needs --replay"},
      {{"-p", "1", "-w", "1", "-e", "1", "--filter", "udp"}, "--filter needs --replay"},
      {{"-p", "1", "--replay", "x.pcap", "--speed", "-1"}, "--speed must be 0 or a positive factor"},
      {{"-p", "1", "-w", "1", "-e", "1", "--pcap", "x.pcap"}, "--pcap needs -s N"},
      {{"-p", "1", "-w", "1", "-e", "1", "--pcap-link", "null"}, "--pcap-link needs --pcap"},
      {{"-p", "1", "--replay", "x", "--pcap", "y", "--pcap-link", "null"}, "--pcap-link must be 'ethernet' or"},
  };
  for (const auto& [args, message] : cases) {
    const auto result = Parse(args);
    EXPECT_FALSE(result.parsed.config) << message;
    EXPECT_EQ(result.parsed.exitStatus, 1) << message;
    EXPECT_EQ(result.err.rfind("ERROR: ", 0), 0u) << result.err;
    EXPECT_NE(result.err.find(message), std::string::npos) << "expected '" << message << "' in:\n" << result.err;
    EXPECT_NE(result.err.find("Usage:"), std::string::npos);
  }
}

}  // namespace
