#include "vexasim/SimOptions.hpp"

#include <arpa/inet.h>

#include <array>
#include <boost/program_options.hpp>
#include <cmath>
#include <fmt/format.h>
#include <ostream>
#include <stdexcept>
#include <utility>

#include "korv/fnd/datatype/DataTypeNames.hpp"
#include "korv/vexatools/Version.hpp"

namespace korv::vexasim {
namespace {

namespace po = boost::program_options;
using korv::fnd::datatype::DataType;

// A value the user gave that the option parser itself cannot judge.
class BadValue : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

template <typename T>
void RequireRange(const char* option, T value, T low, T high) {
  if (value < low || value > high) {
    throw BadValue(fmt::format("--{} must be between {} and {}, not {}", option, low, high, value));
  }
}

void RequireIpv4(const char* option, const std::string& text) {
  in_addr parsed{};
  if (inet_pton(AF_INET, text.c_str(), &parsed) != 1) {
    throw BadValue(fmt::format("--{} must be a dotted IPv4 address, not '{}'", option, text));
  }
}

struct RawOptions {
  std::string dataTypeName;
  std::int64_t samples = 0;
  std::int64_t sampleId = 0;
  int ttl = 0;
  std::string pcapLink;
  std::array<std::int64_t, 7> every{};  // in the order of kEveryOptions
};

// The "every Nth sample" fault options, with where each value goes.
struct EveryOption {
  const char* name;
  std::uint64_t FaultSettings::*field;
  const char* description;
};
constexpr std::array<EveryOption, 7> kEveryOptions{{
    {"drop-leader", &FaultSettings::dropLeaderEvery, "drop the leader of every Nth sample"},
    {"drop-trailer", &FaultSettings::dropTrailerEvery, "drop the trailer of every Nth sample"},
    {"duplicate", &FaultSettings::duplicateEvery,
     "send the first payload frame (frame 2) of every Nth sample twice in a row"},
    {"foreign", &FaultSettings::foreignEvery,
     "in every Nth sample, follow frame 2 with frame 2 of a foreign sample (sample id XOR 0x80000000)"},
    {"junk-short", &FaultSettings::junkShortEvery,
     "in every Nth sample, after frame 2, send a 20-byte datagram (shorter than a PLEXO header)"},
    {"junk-long", &FaultSettings::junkLongEvery,
     "in every Nth sample, after frame 2, send a 9000-byte datagram (longer than the 8972-byte maximum frame)"},
    {"junk-truncated", &FaultSettings::junkTruncatedEvery,
     "in every Nth sample, after frame 2, send the first 64 bytes of frame 2 with a header announcing 8940 "
     "payload bytes"},
}};

// Declares every option, storing values into `config` and `raw`.
void Describe(po::options_description& all, SimConfig& config, RawOptions& raw) {
  po::options_description stream("Stream options");
  stream.add_options()
      ("help,h", "print this help and exit")
      ("version", "print the version and exit")
      ("address,a", po::value<std::string>(&config.address)->default_value(config.address)->value_name("ADDR"),
       "VEXA destination IP address: a multicast group (224.0.0.0 to 239.255.255.255) or a unicast address")
      ("port,p", po::value<int>(&config.port)->required()->value_name("PORT"), "VEXA UDP port (required)")
      ("netif,n", po::value<std::string>(&config.netif)->default_value("")->value_name("ADDR"),
       "IPv4 address of the local interface that sends multicast (default: the system's choice); "
       "ignored for unicast")
      ("width,w", po::value<int>(&config.width)->value_name("W"), "image width in pixels (required unless --replay)")
      ("height,e", po::value<int>(&config.height)->value_name("H"), "image height in pixels (required unless --replay)")
      ("data_type,t", po::value<std::string>(&raw.dataTypeName)->default_value("Int16")->value_name("TYPE"),
       "Image data type: Char, Byte, Int16, UInt16, Int32, UInt32, Int64, UInt64, Float, Double "
       "(any letter case)")
      ("samples,s", po::value<std::int64_t>(&raw.samples)->default_value(0)->value_name("N"),
       "number of samples to send (0: until interrupted with Ctrl-C or SIGTERM)")
      ("rate,r", po::value<double>(&config.rate)->default_value(0.0)->value_name("R"),
       "samples per second, frames spread evenly over each sample period (0: as fast as possible)")
      ("sample-id", po::value<std::int64_t>(&raw.sampleId)->default_value(config.firstSampleId)->value_name("ID"),
       "identifier of the first sample; each next sample adds 1, wrapping after 4294967295")
      ("ttl", po::value<int>(&raw.ttl)->value_name("HOPS"),
       "time-to-live of the datagrams, 1 to 255 (default: 1 for multicast, the system's default for unicast)")
      ("extended-info", po::bool_switch(&config.extendedInfo),
       "leaders carry the Basic Image Info (send time, data type, width, height)");

  po::options_description faults("Fault injection (for tests; N = 0 turns an option off)");
  faults.add_options()
      ("drop-probability", po::value<double>(&config.faults.dropProbability)->default_value(0.0)->value_name("P"),
       "drop each payload frame with this probability, 0 to 1")
      ("seed", po::value<std::uint64_t>(&config.faults.seed)->default_value(config.faults.seed)->value_name("N"),
       "seed of the random drops: the same seed drops the same frames");
  for (std::size_t i = 0; i < kEveryOptions.size(); ++i) {
    faults.add_options()(kEveryOptions[i].name,
                         po::value<std::int64_t>(&raw.every[i])->default_value(0)->value_name("N"),
                         kEveryOptions[i].description);
  }
  po::options_description captures("Capture files (fault injection applies to replayed datagrams too)");
  captures.add_options()
      ("replay", po::value<std::string>(&config.replayFile)->value_name("FILE"),
       "send the UDP payloads of this pcap or pcapng capture, in capture order, instead of simulated samples; "
       "-w, -e, -t, -r, --sample-id and --extended-info do not apply, -s N stops after N samples")
      ("speed", po::value<double>(&config.speed)->default_value(config.speed)->value_name("X"),
       "with --replay: play the captured timing X times as fast (0: as fast as possible)")
      ("filter", po::value<std::string>(&config.filter)->value_name("BPF"),
       "with --replay: replay only packets matching this capture filter, e.g. 'udp dst port 50000'")
      ("pcap", po::value<std::string>(&config.pcapFile)->value_name("FILE"),
       "write the datagrams into this pcap file instead of sending them, time-stamped as they would be sent "
       "(without waiting); needs -s N unless it writes a replay")
      ("pcap-link", po::value<std::string>(&raw.pcapLink)->default_value("ethernet")->value_name("LINK"),
       "with --pcap: the framing around each IPv4 UDP datagram, 'ethernet' or 'loopback' (BSD loopback)");
  all.add(stream).add(faults).add(captures);
}

void RequireWith(const po::variables_map& values, const char* option, const char* needed, bool given) {
  if (values.count(option) != 0 && !values[option].defaulted() && !given) {
    throw BadValue(fmt::format("--{} needs {}", option, needed));
  }
}

// Replay takes its samples from the capture: the options that describe
// simulated samples are refused, not silently ignored.
void ValidateCaptureOptions(const po::variables_map& values, const RawOptions& raw, SimConfig& config) {
  const bool replay = !config.replayFile.empty();
  if (replay) {
    for (const char* option : {"width", "height", "data_type", "rate", "sample-id", "extended-info"}) {
      if (values.count(option) != 0 && !values[option].defaulted()) {
        throw BadValue(fmt::format("--{} does not apply to --replay", option));
      }
    }
  } else {
    for (const char* option : {"width", "height"}) {
      if (values.count(option) == 0) throw BadValue(fmt::format("the option '--{}' is required but missing", option));
    }
  }
  RequireWith(values, "speed", "--replay", replay);
  RequireWith(values, "filter", "--replay", replay);
  RequireWith(values, "pcap-link", "--pcap", !config.pcapFile.empty());
  if (!std::isfinite(config.speed) || config.speed < 0.0) {
    throw BadValue(fmt::format("--speed must be 0 or a positive factor, not {}", config.speed));
  }
  if (raw.pcapLink == "ethernet") {
    config.pcapLink = CaptureLink::Ethernet;
  } else if (raw.pcapLink == "loopback") {
    config.pcapLink = CaptureLink::Loopback;
  } else {
    throw BadValue(fmt::format("--pcap-link must be 'ethernet' or 'loopback', not '{}'", raw.pcapLink));
  }
  if (!config.pcapFile.empty() && !replay && raw.samples == 0) {
    throw BadValue("--pcap needs -s N: a capture file should not grow without end");
  }
}

// The geometry and timing of simulated samples.
void ValidateSampleOptions(const RawOptions& raw, SimConfig& config) {
  RequireRange("width", config.width, 1, INT32_MAX);
  RequireRange("height", config.height, 1, INT32_MAX);

  // The same names as the receiver tools take.
  config.dataType = korv::fnd::datatype::LookUpDataType(raw.dataTypeName);
  if (config.dataType == DataType::Invalid) throw BadValue(fmt::format("Invalid data_type: {}", raw.dataTypeName));
  config.bytesPerPixel = korv::fnd::datatype::ElementSize(config.dataType);
  if (config.bytesPerPixel == 0) {
    throw BadValue(fmt::format("data_type {} has no fixed element size; the simulator cannot send it", raw.dataTypeName));
  }
  if (!std::isfinite(config.rate) || config.rate < 0.0) {
    throw BadValue(fmt::format("--rate must be 0 or a positive number of samples per second, not {}", config.rate));
  }
  RequireRange<std::int64_t>("sample-id", raw.sampleId, 0, UINT32_MAX);
  config.firstSampleId = static_cast<std::uint32_t>(raw.sampleId);

  // The sample must fit the frame numbering; SampleFrames says why not.
  SampleLayout layout;
  layout.width = config.width;
  layout.height = config.height;
  layout.bytesPerPixel = config.bytesPerPixel;
  try {
    SampleFrames check(layout);
  } catch (const std::invalid_argument& error) {
    throw BadValue(error.what());
  }
}

// Checks what the option parser cannot and completes `config`.
void Validate(const po::variables_map& values, const RawOptions& raw, SimConfig& config) {
  RequireIpv4("address", config.address);
  if (!config.netif.empty()) RequireIpv4("netif", config.netif);
  RequireRange("port", config.port, 1, 65535);
  ValidateCaptureOptions(values, raw, config);
  if (config.replayFile.empty()) ValidateSampleOptions(raw, config);

  RequireRange<std::int64_t>("samples", raw.samples, 0, INT64_MAX);
  config.samples = static_cast<std::uint64_t>(raw.samples);
  if (values.count("ttl") != 0) {
    RequireRange("ttl", raw.ttl, 1, 255);
    config.ttl = raw.ttl;
  }

  const double p = config.faults.dropProbability;
  if (!(p >= 0.0 && p <= 1.0)) throw BadValue(fmt::format("--drop-probability must be between 0 and 1, not {}", p));
  for (std::size_t i = 0; i < kEveryOptions.size(); ++i) {
    RequireRange<std::int64_t>(kEveryOptions[i].name, raw.every[i], 0, INT64_MAX);
    config.faults.*kEveryOptions[i].field = static_cast<std::uint64_t>(raw.every[i]);
  }
}

}  // namespace

ParsedCommandLine ParseCommandLine(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  SimConfig config;
  RawOptions raw;
  po::options_description all;
  Describe(all, config, raw);
  auto printUsage = [&](std::ostream& to) {
    to << "Usage: vexatoolsVexaSim -p PORT -w W -e H [options]\n"
          "       vexatoolsVexaSim -p PORT --replay FILE [options]\n"
          "Sends a simulated VEXA sample stream (PLEXO frames carrying SOREL packets) over UDP\n"
          "and ends with a one-line send report.\n"
       << all
       << "\nPixel byte i of sample s is (i + 7 * (i >> 8) + 13 * s) mod 256, so a receiver can check\n"
          "every byte. The extra datagrams of fault injection follow frame 2 in the order of the options.\n"
          "Example: vexatoolsVexaSim -p 5000 -w 1024 -e 768 -s 100 -r 50\n"
       << std::endl;
  };
  try {
    po::variables_map values;
    // An empty positional description makes stray words an error instead of ignoring them.
    const po::positional_options_description noPositionals;
    po::store(po::command_line_parser(argc, argv).options(all).positional(noPositionals).run(), values);
    if (values.count("help") != 0) {
      printUsage(out);
      return {std::nullopt, 0};
    }
    if (values.count("version") != 0) {
      out << korv::vexatools::VersionLine("vexatoolsVexaSim") << std::endl;
      return {std::nullopt, 0};
    }
    po::notify(values);
    Validate(values, raw, config);
  } catch (const po::error& error) {
    err << "ERROR: " << error.what() << "\n\n";
    printUsage(err);
    return {std::nullopt, 1};
  } catch (const BadValue& error) {
    err << "ERROR: " << error.what() << "\n\n";
    printUsage(err);
    return {std::nullopt, 1};
  }
  return {config, 0};
}

}  // namespace korv::vexasim
