// vexatoolsRecord: records a LUMO image stream into HDF5 files.
#include <log4cplus/logger.h>

#include <boost/program_options.hpp>
#include <fmt/format.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <optional>

#include "CommandLine.hpp"
#include "ConsoleLogging.hpp"
#include "H5Handle.hpp"
#include "Recorder.hpp"
#include "RecordingSink.hpp"
#include "korv/fnd/StopSignals.hpp"
#include "korv/vexatools/Version.hpp"
#include "lumo/LumoWire.hpp"

namespace {

namespace po = boost::program_options;
using vexatools::record::RecordOptions;

constexpr const char* kHelpEpilogue = R"(
Writes the images of a LUMO stream into FILE.h5: /entry/data/data of shape
(N, height, width) in the stream's pixel type, one image per chunk, with each
image's sequence number, publisher time stamp and arrival time beside it, and
the missed sequence numbers in /entry/data/gaps. A reader may follow the file
while it is written: h5py.File(FILE, "r", swmr=True). A change of image size
or pixel type, or --max-file-size, continues in FILE_0001.h5, FILE_0002.h5, ...
An existing file is never overwritten.

The disk never slows the stream: when writing falls behind, images are
dropped, counted and listed as gaps. A status line a second goes to standard
error, a summary to standard output. Ctrl-C (SIGINT) or SIGTERM ends the
recording and closes the file.

Exit status: 0 when the recording ended as asked, 1 for a command-line or
set-up error or when writing failed (the message says what and where; the
images flushed before are in the file).

Example:
  vexatoolsRecord -s vexa_stream -o run1.h5 --duration 60 --compress lz4
)";

// "1000000", "512K", "100M", "2G" (K, M, G: powers of 1024).
std::optional<std::uint64_t> ParseSize(const std::string& text) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return {};
  errno = 0;
  char* end = nullptr;
  const unsigned long long number = std::strtoull(text.c_str(), &end, 10);
  if (errno != 0) return {};
  const std::string suffix(end);
  unsigned shift = 0;
  if (suffix == "K" || suffix == "k") shift = 10;
  else if (suffix == "M") shift = 20;
  else if (suffix == "G") shift = 30;
  else if (!suffix.empty()) return {};
  if (number > (~0ull >> shift)) return {};
  return std::uint64_t{number} << shift;
}

// The values that need more than a conversion, taken into `options`.
struct RawValues {
  std::int64_t count = 0;
  std::string maxFileSize = "0";
  std::string compression = "none";
  std::size_t bufferMegabytes = 256;
};

void CheckOptions(const RawValues& raw, RecordOptions& options) {
  if (raw.count < 0) throw po::error("--count must not be negative");
  options.count = static_cast<std::uint64_t>(raw.count);
  if (!(options.durationSeconds >= 0 && options.durationSeconds <= 1e9))
    throw po::error("--duration must be between 0 and 1e9 seconds");
  const auto size = ParseSize(raw.maxFileSize);
  if (!size) throw po::error("--max-file-size must be a number of bytes, optionally with K, M or G");
  options.maxFileSize = *size;
  if (*size > 0 && *size < vexatools::record::RecordingSink::kMinFileSizeLimit)
    throw po::error("--max-file-size must be 0 or at least 1M");
  const auto named = vexatools::record::CompressionNamed(raw.compression);
  if (!named) throw po::error("--compress must be none, lz4, bitshuffle-lz4 or deflate, not '" + raw.compression + "'");
  options.compression = *named;
  if (raw.bufferMegabytes < 1 || raw.bufferMegabytes > (1u << 20)) throw po::error("--buffer-mb must be 1 to 1048576");
  options.bufferBytes = raw.bufferMegabytes << 20;
  if (!lumo::IsValidStreamName(options.stream)) throw po::error("invalid --stream '" + options.stream + "'");
}

struct Options {
  RecordOptions recording;
  std::string logLevel;
};

// The status to end with at once (--help, --version, a command-line error), or nothing.
std::optional<int> ParseOptions(int argc, char** argv, Options& all) {
  RecordOptions& options = all.recording;
  RawValues raw;
  lumo::tools::CommandLine line("vexatoolsRecord", "Usage: vexatoolsRecord -o FILE.h5 [options]",
                                korv::vexatools::VersionLine("vexatoolsRecord"));
  line.Add()("broker-uri,b", po::value(&options.brokerUri)->default_value(std::string(lumo::kDefaultBrokerUri)),
             "LUMO broker to look the stream up at")(
      "stream,s", po::value(&options.stream)->default_value("vexa_stream"), "LUMO stream name")(
      "output,o", po::value(&options.output)->required(), "HDF5 file to write (FILE.h5)")(
      "count,n", po::value(&raw.count)->default_value(0), "stop after this many images (0: no limit)")(
      "duration,d", po::value(&options.durationSeconds)->default_value(0),
      "stop after this many seconds (0: no limit)")(
      "max-file-size", po::value(&raw.maxFileSize)->default_value("0"),
      "start a new numbered file before one grows beyond this many bytes (suffix K, M or G; 0: no limit)")(
      "compress", po::value(&raw.compression)->default_value("none"),
      "none, lz4, bitshuffle-lz4 or deflate (LZ4 and bitshuffle need their HDF5 filter plugins)")(
      "buffer-mb", po::value(&raw.bufferMegabytes)->default_value(256),
      "images waiting for the disk may take this much memory; beyond it images are dropped");
  line.AddLogLevel(all.logLevel, "WARN");
  return line.Parse(argc, argv, kHelpEpilogue, [&] { CheckOptions(raw, options); });
}

int RunRecording(Options& options, const korv::fnd::StopSignals& stop) {
  lumo::tools::LogToStandardError(log4cplus::Logger::getRoot(), lumo::tools::LevelNamed(options.logLevel));
  vexatools::record::QuietHdf5Errors();
  return vexatools::record::Record(options.recording, stop.Flag(), std::cerr, std::cout);
}

}  // namespace

int main(int argc, char** argv) {
  return lumo::tools::RunTool<Options>("vexatoolsRecord", argc, argv, ParseOptions, RunRecording);
}
