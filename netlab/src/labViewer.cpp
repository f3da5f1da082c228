// netlabViewer: a viewer host of the network lab. Subscribes to a LUMO
// stream like lumoSubscribe, checks every byte of every image against the
// stream simulator's pixel pattern, and ends with one line of counts.
//
// The pattern gives byte i of sample s as (i + 7 * (i >> 8) + 13 * s) mod 256,
// so the first byte of an image tells s mod 256 (13 * 197 = 1 mod 256) and
// with it every other byte. An image with a frame missing, misplaced or from
// another sample fails the check.
#include <boost/program_options.hpp>
#include <fmt/format.h>
#include <log4cplus/configurator.h>
#include <log4cplus/logger.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "CommandLine.hpp"
#include "korv/fnd/StopSignals.hpp"
#include "korv/vexatools/Version.hpp"
#include "lumo/LumoDataSubscriber.hpp"
#include "vexasim/SampleFrames.hpp"

namespace {

namespace po = boost::program_options;
using Clock = std::chrono::steady_clock;

struct Options {
  std::string brokerUri;
  std::string stream;
  std::string name;
  std::uint64_t count = 0;
  double idleSeconds = 3;
  double timeoutSeconds = 20;
  bool multicast = false;
};

// The status to end with at once (--help, --version, a command-line error), or nothing.
std::optional<int> ParseOptions(int argc, char** argv, Options& options) {
  lumo::tools::CommandLine line(
      "netlabViewer",
      "Usage: netlabViewer -b BROKER_URI [options]\n"
      "Receives the images of a LUMO stream and checks each one, byte for byte, against the\n"
      "pixel pattern of vexatoolsVexaSim. Ends with one line:\n"
      "  NAME: images N, bit-exact N, wrong N, missed N (publisher's sequence gaps)\n"
      "Exit status 0 when at least one image came and every image was bit-exact, 1 otherwise.",
      korv::vexatools::VersionLine("netlabViewer"));
  line.Add()("broker-uri,b", po::value(&options.brokerUri)->required(), "LUMO broker to look the stream up at")(
      "stream,s", po::value(&options.stream)->default_value("vexa_stream"), "LUMO stream name")(
      "name", po::value(&options.name)->default_value("viewer"), "name of this host in the result line")(
      "count,n", po::value(&options.count)->default_value(0), "stop after this many images (0: no limit)")(
      "idle", po::value(&options.idleSeconds)->default_value(3),
      "stop when no image came for this many seconds after the first one")(
      "timeout,t", po::value(&options.timeoutSeconds)->default_value(20),
      "give up when the first image does not come within this many seconds");
  line.AddMulticastSubscription(options.multicast);
  return line.Parse(argc, argv, "\n", [&options] {
    if (!(options.idleSeconds > 0 && options.timeoutSeconds > 0)) throw po::error("--idle and --timeout must be positive");
  });
}

// True when `pixels` is a whole sample of the simulator's pattern.
bool FollowsPattern(std::span<const std::uint8_t> pixels, std::vector<unsigned char>& expected) {
  if (pixels.empty()) return false;
  const std::uint32_t residue = (pixels[0] * 197u) & 0xFF;
  expected.resize(pixels.size());
  korv::vexasim::FillPattern(residue, 0, expected.data(), expected.size());
  return std::memcmp(pixels.data(), expected.data(), pixels.size()) == 0;
}

struct Counts {
  std::uint64_t images = 0;
  std::uint64_t bitExact = 0;
  std::uint64_t wrong = 0;
};

Counts Receive(const Options& options, lumo::LumoDataSubscriber& subscriber, const korv::fnd::StopSignals& stop) {
  constexpr int kSliceMs = 100;  // a signal ends the wait within this
  Counts counts;
  std::vector<unsigned char> expected;
  lumo::LumoSample sample;
  auto last = Clock::now();
  bool connected = false;
  while (!stop.StopRequested() && (options.count == 0 || counts.images < options.count)) {
    const bool got = subscriber.Read(sample, kSliceMs);
    if (!connected && !subscriber.endpoint().empty()) {
      connected = true;  // the lab starts the stream once every viewer says this
      std::cerr << options.name << ": connected to " << subscriber.endpoint() << std::endl;
    }
    if (got) {
      last = Clock::now();
      ++counts.images;
      if (FollowsPattern(sample.data(), expected)) {
        ++counts.bitExact;
      } else {
        ++counts.wrong;
        std::cerr << options.name << ": image seq " << sample.header.sequence << " of " << sample.data().size()
                  << " bytes does not follow the pattern\n";
      }
      continue;
    }
    const double waited = std::chrono::duration<double>(Clock::now() - last).count();
    if (waited >= (counts.images == 0 ? options.timeoutSeconds : options.idleSeconds)) break;
  }
  return counts;
}

// Receives and checks until the count, the idle time or SIGINT/SIGTERM.
int Check(Options& options, const korv::fnd::StopSignals& stop) {
  log4cplus::BasicConfigurator(log4cplus::Logger::getDefaultHierarchy(), true).configure();
  log4cplus::Logger::getRoot().setLogLevel(log4cplus::WARN_LOG_LEVEL);

  lumo::LumoDataSubscriber subscriber;
  subscriber.SetMulticast(options.multicast);
  if (subscriber.Subscribe(options.brokerUri, options.stream, 1000) < 0) {
    std::cerr << "netlabViewer: cannot subscribe to '" << options.stream << "' at " << options.brokerUri << "\n";
    return 1;
  }
  const Counts counts = Receive(options, subscriber, stop);
  fmt::print("{}: images {}, bit-exact {}, wrong {}, missed {} from {}\n", options.name, counts.images,
             counts.bitExact, counts.wrong, subscriber.stats().missed,
             subscriber.endpoint().empty() ? std::string("no publisher") : subscriber.endpoint());
  return counts.images > 0 && counts.wrong == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  return lumo::tools::RunTool<Options>("netlabViewer", argc, argv, ParseOptions, Check);
}
