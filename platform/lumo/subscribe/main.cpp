// lumoSubscribe: receives images from a LUMO stream, prints one line per
// image and a summary, and optionally saves each image as a PNG file.
#include <log4cplus/logger.h>

#include <boost/program_options.hpp>
#include <fmt/format.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <optional>

#include "CommandLine.hpp"
#include "ConsoleLogging.hpp"
#include "PngWriter.hpp"
#include "korv/fnd/LogThrottle.hpp"
#include "korv/fnd/StopSignals.hpp"
#include "korv/vexatools/Version.hpp"
#include "lumo/Lumo.hpp"

namespace {

namespace po = boost::program_options;
using Clock = std::chrono::steady_clock;

constexpr int kExitOk = 0;
constexpr int kExitSetup = 1;
constexpr int kExitTimeout = 2;
constexpr int kExitNotSaved = 3;
// Stream names longer than this are shortened in file names, so that the
// whole name stays within the 255 bytes a Linux file system allows.
constexpr std::size_t kMaxStreamPartOfFileName = 200;

struct Options {
  std::string brokerUri;
  std::string stream;
  std::int64_t count = 0;
  double timeoutSeconds = 10;
  std::string saveDir;
  std::string logLevel;
  std::int64_t maxImageBytes = lumo::kDefaultMaxImageSize;
  bool multicast = false;
  std::string multicastNetif;
};

void CheckOptions(const Options& options) {
  if (options.count < 0) throw po::error("--count must not be negative");
  if (options.maxImageBytes < 1) throw po::error("--max-image-bytes must be at least 1");
  if (!(options.timeoutSeconds >= 0 && options.timeoutSeconds <= 86400))
    throw po::error("--timeout must be between 0 and 86400 seconds");
}

// The status to end with at once (--help, --version, a command-line error), or nothing.
std::optional<int> ParseOptions(int argc, char** argv, Options& options) {
  lumo::tools::CommandLine line("lumoSubscribe", "Usage: lumoSubscribe [options]",
                                korv::vexatools::VersionLine("lumoSubscribe"));
  line.Add()("broker-uri,b", po::value(&options.brokerUri)->default_value(std::string(lumo::kDefaultBrokerUri)),
             "LUMO broker to look the stream up at")(
      "stream,s", po::value(&options.stream)->default_value("vexa_stream"), "LUMO stream name")(
      "count,n", po::value(&options.count)->default_value(0), "stop after this many images (0: until interrupted)")(
      "timeout,t", po::value(&options.timeoutSeconds)->default_value(10),
      "give up when no image arrives for this many seconds (0: wait forever)")(
      "save", po::value(&options.saveDir), "write each image as a PNG file into this directory")(
      "max-image-bytes", po::value(&options.maxImageBytes)->default_value(lumo::kDefaultMaxImageSize),
      "largest image accepted, in bytes; a publisher that sends a larger one is disconnected");
  line.AddMulticastSubscription(options.multicast, &options.multicastNetif);
  line.AddLogLevel(options.logLevel, "WARN");
  return line.Parse(argc, argv,
                    "\nExit status: 0 when the images were received or the tool was interrupted,\n"
                    "1 for a command-line or set-up error, 2 when no image came within --timeout,\n"
                    "3 when --save could not save an image (full disk, unreadable meta-data...).\n",
                    [&options] { CheckOptions(options); });
}

void SetUpLogging(const std::string& levelName) {
  lumo::tools::LogToStandardError(log4cplus::Logger::getRoot(), lumo::tools::LevelNamed(levelName));
}

// Names the images of one publisher run: a publisher that restarts begins
// again at sequence 1, so the sequence alone would overwrite earlier files.
// The run is named by the publish time of its first image received here
// (UTC, to the millisecond), which also keeps apart the files of earlier
// runs of this tool in the same directory.
class PngNames {
 public:
  std::string Next(const lumo::LumoSample& sample) {
    if (run_.empty() || sample.publisherRestarted) run_ = RunName(sample.header.publishTimeNs);
    return fmt::format("{}_{}_{:08}.png", StreamPart(sample.stream), run_, sample.header.sequence);
  }

 private:
  // The stream name with every character but letters, digits, '-' and '.'
  // replaced by '_'. A long one keeps its beginning and ends in a hash of
  // the whole name, so that streams that differ only further on still get
  // files of their own.
  static std::string StreamPart(const std::string& stream) {
    std::string safe;
    for (char c : stream) safe += std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' ? c : '_';
    if (safe.size() <= kMaxStreamPartOfFileName) return safe;
    std::uint64_t hash = 0xcbf29ce484222325;  // FNV-1a
    for (unsigned char c : stream) hash = (hash ^ c) * 0x100000001b3;
    const std::string suffix = fmt::format("~{:016x}", hash);
    return safe.substr(0, kMaxStreamPartOfFileName - suffix.size()) + suffix;
  }

  static std::string RunName(std::uint64_t publishTimeNs) {
    const std::time_t seconds = static_cast<std::time_t>(publishTimeNs / 1000000000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    return fmt::format("{:04}{:02}{:02}-{:02}{:02}{:02}.{:03}", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
                       utc.tm_hour, utc.tm_min, utc.tm_sec, publishTimeNs / 1000000 % 1000);
  }
  std::string run_;
};

// Counts what was received for the summary line.
struct Totals {
  std::uint64_t images = 0;
  std::uint64_t notSaved = 0;  // with --save: images that could not be saved
  std::uint64_t bytes = 0;
  std::uint64_t bytesAfterFirst = 0;
  Clock::time_point first;
  Clock::time_point last;

  void Add(std::size_t size) {
    const auto now = Clock::now();
    if (images++ == 0) first = now;
    else bytesAfterFirst += size;
    bytes += size;
    last = now;
  }
  // Rates over the time from the first image to the last.
  std::string Summary(const lumo::LumoSubscriberStats& stats) const {
    const double seconds = std::chrono::duration<double>(last - first).count();
    const double rate = images > 1 && seconds > 0 ? static_cast<double>(images - 1) / seconds : 0.0;
    const double megabytes = images > 1 && seconds > 0 ? static_cast<double>(bytesAfterFirst) / seconds / 1e6 : 0.0;
    return fmt::format("images {}, gaps {} ({} missed), {:.1f} images/s, {:.1f} MB/s{}", images, stats.gaps,
                       stats.missed, rate, megabytes, notSaved == 0 ? "" : fmt::format(", {} not saved", notSaved));
  }
};

std::string DescribeImage(const lumo::LumoSample& sample, std::string& savedError, const std::string& saveDir,
                          PngNames& names) {
  const double latencyMs = (static_cast<double>(lumo::NowNs()) - static_cast<double>(sample.header.publishTimeNs)) / 1e6;
  std::string line = fmt::format("seq {}", sample.header.sequence);
  try {
    const auto meta = lumo::LumoEncDecImage3D::Decode(sample.metaData);
    line += fmt::format(" {}x{} type {} bpp {}", meta.width, meta.height, meta.lumoDataType, meta.bytesPerPixel);
    if (!saveDir.empty()) {
      const auto path = std::filesystem::path(saveDir) / names.Next(sample);
      if (!lumo::subscribe::WriteGreyPng(path.string(), meta, sample.data(), savedError))
        savedError = "not saved: " + savedError;
    }
  } catch (const std::invalid_argument& error) {
    line += " (meta-data unreadable)";
    savedError = error.what();
  }
  line += fmt::format(" {} bytes latency {:.3f} ms", sample.data().size(), latencyMs);
  if (sample.missedBefore > 0) line += fmt::format(" (after {} missed)", sample.missedBefore);
  if (sample.publisherRestarted) line += " (publisher restarted)";
  return line;
}

int Run(Options& options, const korv::fnd::StopSignals& stop) {
  SetUpLogging(options.logLevel);
  if (!options.saveDir.empty()) {
    std::error_code error;
    std::filesystem::create_directories(options.saveDir, error);
    if (error || !std::filesystem::is_directory(options.saveDir)) {
      std::cerr << "lumoSubscribe: cannot create directory " << options.saveDir << ": " << error.message() << "\n";
      return kExitSetup;
    }
  }
  lumo::LumoDataSubscriber subscriber;
  subscriber.SetMaxDataSize(options.maxImageBytes);
  subscriber.SetMulticast(options.multicast, options.multicastNetif);
  if (subscriber.Subscribe(options.brokerUri, options.stream, 1000) < 0) {
    std::cerr << "lumoSubscribe: cannot subscribe to stream '" << options.stream << "' at " << options.brokerUri
              << " (see the log above)\n";
    return kExitSetup;
  }
  std::cerr << "Waiting for images of stream '" << options.stream << "' at " << options.brokerUri << " ..."
            << std::endl;

  // Reads in short slices so that a signal ends the wait promptly.
  constexpr int kSliceMs = 200;
  const auto timeout = std::chrono::duration<double>(options.timeoutSeconds);
  Totals totals;
  int status = kExitOk;
  auto lastImage = Clock::now();
  lumo::LumoSample sample;
  PngNames names;
  // A full disk fails every image: one error line a second tells enough.
  korv::fnd::LogThrottle errorLines;  // one line a second
  const auto wanted = static_cast<std::uint64_t>(options.count);
  while (!stop.StopRequested() && (wanted == 0 || totals.images < wanted)) {
    if (!subscriber.Read(sample, kSliceMs)) {
      if (options.timeoutSeconds > 0 && Clock::now() - lastImage >= timeout) {
        std::cerr << "lumoSubscribe: no image for " << options.timeoutSeconds << " s\n";
        status = kExitTimeout;
        break;
      }
      continue;
    }
    lastImage = Clock::now();
    totals.Add(sample.data().size());
    std::string saveError;
    std::cout << DescribeImage(sample, saveError, options.saveDir, names) << "\n";
    if (saveError.empty()) continue;
    if (!options.saveDir.empty()) ++totals.notSaved;
    if (std::uint64_t events = 0; errorLines.Allow(events))
      std::cerr << "lumoSubscribe: seq " << sample.header.sequence << ": " << saveError
                << korv::fnd::LogThrottle::HeldBackNote(events) << "\n";
  }
  std::cout << totals.Summary(subscriber.stats()) << std::endl;
  if (totals.notSaved > 0) {
    std::cerr << "lumoSubscribe: " << totals.notSaved << " image(s) could not be saved\n";
    return kExitNotSaved;
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  return lumo::tools::RunTool<Options>("lumoSubscribe", argc, argv, ParseOptions, Run);
}
