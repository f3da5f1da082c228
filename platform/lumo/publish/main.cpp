// lumoPublish: publishes a moving test pattern on a LUMO stream, so that a
// broker and its subscribers can be tried out without a camera, or plays
// back a recording of vexatoolsRecord (--from FILE.h5).
#include <log4cplus/logger.h>

#include <boost/program_options.hpp>
#include <fmt/format.h>

#include <chrono>
#include <ctime>
#include <iostream>
#include <optional>

#include "CommandLine.hpp"
#include "ConsoleLogging.hpp"
#include "RecordingFile.hpp"
#include "korv/fnd/StopSignals.hpp"
#include "korv/vexatools/Version.hpp"
#include "lumo/Lumo.hpp"

namespace {

namespace po = boost::program_options;
using Clock = std::chrono::steady_clock;

struct Options {
  std::string brokerUri;
  std::string stream;
  int width = 0;
  int height = 0;
  int bytesPerPixel = 0;
  double rate = 0;
  std::int64_t count = 0;
  std::string from;  // a recording to play instead of the test pattern
  bool loop = false;
  lumo::MulticastOptions multicast;
  double delaySeconds = 0;
};

void CheckOptions(Options& options) {
  if (options.width < 1 || options.height < 1 || std::int64_t{options.width} * options.height > (1 << 28))
    throw po::error("--width and --height must be positive, at most 2^28 pixels in all");
  if (options.bytesPerPixel != 1 && options.bytesPerPixel != 2) throw po::error("--bytes-per-pixel must be 1 or 2");
  if (options.count < 0) throw po::error("--count must not be negative");
  if (!(options.rate > 0 && options.rate <= 10000)) throw po::error("--rate must be above 0 and at most 10000");
  if (options.loop && options.from.empty()) throw po::error("--loop needs --from");
  std::string problem;
  if (!options.multicast.endpoint.empty() && !lumo::ParseMulticastEndpoint(options.multicast.endpoint, problem))
    throw po::error("--multicast '" + options.multicast.endpoint + "': " + problem);
  if (options.multicast.rateMbit < 0 || options.multicast.rateMbit > 10000)
    throw po::error("--multicast-rate must be 0 to 10000 Mbit/s");
  options.multicast.imagesPerSecond = options.rate;
  if (!(options.delaySeconds >= 0 && options.delaySeconds <= 3600)) throw po::error("--delay must be 0 to 3600 s");
}

// The status to end with at once (--help, --version, a command-line error), or nothing.
std::optional<int> ParseOptions(int argc, char** argv, Options& options) {
  lumo::tools::CommandLine line("lumoPublish", "Usage: lumoPublish [options]",
                                korv::vexatools::VersionLine("lumoPublish"));
  line.Add()("broker-uri,b", po::value(&options.brokerUri)->default_value(std::string(lumo::kDefaultBrokerUri)),
             "LUMO broker to register the stream at")(
      "stream,s", po::value(&options.stream)->default_value("vexa_stream"), "LUMO stream name")(
      "width,w", po::value(&options.width)->default_value(640), "image width in pixels")(
      "height,e", po::value(&options.height)->default_value(480), "image height in pixels")(
      "bytes-per-pixel,B", po::value(&options.bytesPerPixel)->default_value(2), "1 (8-bit grey) or 2 (16-bit grey)")(
      "rate,r", po::value(&options.rate)->default_value(10), "images per second")(
      "count,n", po::value(&options.count)->default_value(0), "stop after this many images (0: until interrupted)")(
      "from", po::value(&options.from), "publish the images of this HDF5 recording (vexatoolsRecord) instead")(
      "loop", po::bool_switch(&options.loop), "with --from: start over at the end of the recording")(
      "multicast", po::value(&options.multicast.endpoint),
      "also publish by reliable multicast on this endpoint: epgm://INTERFACE;GROUP:PORT (PGM over UDP), "
      "INTERFACE the IPv4 address that sends")(
      "delay", po::value(&options.delaySeconds)->default_value(0),
      "wait this many seconds after registering before the first image, so that subscribers can join")(
      "multicast-rate", po::value(&options.multicast.rateMbit)->default_value(0),
      "multicast sending rate in Mbit/s (0: eight times the images' size times --rate, at most the link's speed)");
  return line.Parse(argc, argv,
                    "\nWith --from, the images, their geometry, pixel type and time stamps come from\n"
                    "the recording's /entry/data (--width, --height and --bytes-per-pixel do not apply),\n"
                    "at --rate images per second; without --loop it stops after the last image.\n"
                    "\nExit status: 0 after the images were published or on Ctrl-C,\n"
                    "1 for a command-line error, an unreadable recording, or when the broker refuses the stream.\n",
                    [&options] { CheckOptions(options); });
}

// A diagonal ramp that moves by `shift` pixels per image, little-endian.
std::vector<std::uint8_t> TestPattern(const Options& options, std::uint64_t shift) {
  std::vector<std::uint8_t> pixels(std::size_t(options.width) * options.height * options.bytesPerPixel);
  std::size_t at = 0;
  for (int y = 0; y < options.height; ++y) {
    for (int x = 0; x < options.width; ++x) {
      const auto level = static_cast<std::uint16_t>((x + y + shift) % (options.width + options.height) * 65535 /
                                                    (options.width + options.height));
      if (options.bytesPerPixel == 2) pixels[at++] = static_cast<std::uint8_t>(level);
      pixels[at++] = static_cast<std::uint8_t>(level >> 8);
    }
  }
  return pixels;
}

lumo::MetaDataElementsImage3D ImageRecord(const Options& options) {
  lumo::MetaDataElementsImage3D record;
  record.bytesPerPixel = options.bytesPerPixel;
  record.numberOfDimensions = 2;
  record.description = "lumoPublish test pattern";
  record.littleEndian = record.rowMajor = record.contiguous = 1;
  record.lumoDataType = options.bytesPerPixel == 1 ? lumo::kLumoUnsigned8 : lumo::kLumoInteger;
  record.width = options.width;
  record.height = options.height;
  record.depth = record.channels = record.frameCount = 1;
  return record;
}

// The images to publish: the test pattern, or those of a recording.
class ImageSource {
 public:
  explicit ImageSource(const Options& options) : options_(options), record_(ImageRecord(options)) {
    if (options.from.empty()) return;
    recording_.emplace(options.from);
    if (recording_->images() == 0) throw std::runtime_error(options.from + " holds no images");
    const auto& layout = recording_->layout();
    record_.bytesPerPixel = layout.bytesPerPixel;
    record_.lumoDataType = layout.lumoDataType;
    record_.littleEndian = layout.littleEndian ? 1 : 0;
    record_.width = layout.width;
    record_.height = layout.height;
    record_.description = "recording " + options.from;
  }

  std::size_t ImageBytes() const {
    return std::size_t(record_.width) * std::size_t(record_.height) * std::size_t(record_.bytesPerPixel);
  }
  std::string Describe() const {
    return fmt::format("{} x {} x {} bytes", record_.width, record_.height, record_.bytesPerPixel);
  }
  // The next image and its record; false at the end of a recording played once.
  bool Next(std::vector<std::uint8_t>& pixels, lumo::MetaDataElementsImage3D& record) {
    if (!recording_) {
      timespec now{};
      clock_gettime(CLOCK_REALTIME, &now);
      record_.timestamp = double(now.tv_sec) + now.tv_nsec / 1e9;
      pixels = TestPattern(options_, next_++ * 4);
    } else {
      if (next_ == recording_->images()) {
        if (!options_.loop) return false;
        next_ = 0;
      }
      recording_->Read(next_++, pixels, record_.timestamp);
    }
    record = record_;
    return true;
  }

 private:
  const Options& options_;
  lumo::MetaDataElementsImage3D record_;
  std::optional<vexatools::record::RecordingReader> recording_;
  std::uint64_t next_ = 0;
};

// Publishes until the images are out, the recording ends or SIGINT/SIGTERM.
int Publish(Options& options, const korv::fnd::StopSignals& stop) {
  lumo::tools::LogToStandardError(log4cplus::Logger::getRoot(), log4cplus::WARN_LOG_LEVEL);
  vexatools::record::QuietHdf5Errors();
  int status = 0;
  ImageSource source(options);  // an unreadable recording ends the tool here
  auto publisher = lumo::LumoDataTransferFactory::CreatePublisher(nullptr);
  publisher->SetBufferSize(static_cast<int>(std::min<std::size_t>(source.ImageBytes(), INT32_MAX)), 2);
  publisher->SetMulticast(options.multicast);
  if (publisher->Register(options.brokerUri, options.stream, 0) != 1) {
    std::cerr << fmt::format("lumoPublish: could not register stream '{}' at {}\n", options.stream,
                             options.brokerUri);
    return 1;
  }
  lumo::LumoEncDecImage3D encoder;
  publisher->set_topic_id(encoder.get_topic_id());
  fmt::print("Publishing {} on stream '{}' at {:g} images/s{}\n", source.Describe(), options.stream, options.rate,
             publisher->multicast_endpoint().empty() ? "" : ", also by multicast on " + publisher->multicast_endpoint());
  std::fflush(stdout);

  lumo::MetaDataElementsImage3D record;
  std::vector<std::uint8_t> pixels;
  const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / options.rate));
  auto next = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(options.delaySeconds));
  stop.WaitFor(next - Clock::now());
  std::uint64_t published = 0;
  const auto wanted = static_cast<std::uint64_t>(options.count);
  while (!stop.StopRequested() && (wanted == 0 || published < wanted)) {
    try {
      if (!source.Next(pixels, record)) break;
    } catch (const std::exception& error) {
      std::cerr << "lumoPublish: " << error.what() << "\n";
      status = 1;
      break;
    }
    encoder.Encode(record);
    publisher->WriteData(0, std::move(pixels), encoder.get_meta_data());
    publisher->CompleteWrite();
    ++published;
    next += period;
    stop.WaitFor(next - Clock::now());
  }
  try {
    publisher->Unregister();
  } catch (const std::exception& error) {
    std::cerr << "lumoPublish: " << error.what() << "\n";
  }
  fmt::print("Published {} image(s)\n", published);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  return lumo::tools::RunTool<Options>("lumoPublish", argc, argv, ParseOptions, Publish);
}
