// lumoPublish: publishes a moving test pattern on a LUMO stream, so that a
// broker and its subscribers can be tried out without a camera.
#include <log4cplus/initializer.h>
#include <log4cplus/logger.h>

#include <boost/program_options.hpp>
#include <fmt/format.h>

#include <chrono>
#include <ctime>
#include <iostream>
#include <optional>

#include "ConsoleLogging.hpp"
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
};

std::optional<Options> ParseOptions(int argc, char** argv, int& status) {
  Options options;
  po::options_description description("Usage: lumoPublish [options]\n\nOptions");
  description.add_options()("help,h", "show this help and exit")("version", "show the version and exit")(
      "broker-uri,b", po::value(&options.brokerUri)->default_value(std::string(lumo::kDefaultBrokerUri)),
      "LUMO broker to register the stream at")(
      "stream,s", po::value(&options.stream)->default_value("vexa_stream"), "LUMO stream name")(
      "width,w", po::value(&options.width)->default_value(640), "image width in pixels")(
      "height,e", po::value(&options.height)->default_value(480), "image height in pixels")(
      "bytes-per-pixel,B", po::value(&options.bytesPerPixel)->default_value(2), "1 (8-bit grey) or 2 (16-bit grey)")(
      "rate,r", po::value(&options.rate)->default_value(10), "images per second")(
      "count,n", po::value(&options.count)->default_value(0), "stop after this many images (0: until interrupted)");
  try {
    po::variables_map values;
    const po::positional_options_description noPositionalArguments;  // a stray word is an error
    po::store(po::command_line_parser(argc, argv).options(description).positional(noPositionalArguments).run(),
              values);
    if (values.count("version")) {  // before the checks, like --help
      std::cout << korv::vexatools::VersionLine("lumoPublish") << "\n";
      status = 0;
      return std::nullopt;
    }
    po::notify(values);
    if (values.count("help")) {
      std::cout << description << "\nExit status: 0 after the images were published or on Ctrl-C,\n"
                                  "1 for a command-line error or when the broker refuses the stream.\n";
      status = 0;
      return std::nullopt;
    }
    if (options.width < 1 || options.height < 1 || std::int64_t{options.width} * options.height > (1 << 28))
      throw po::error("--width and --height must be positive, at most 2^28 pixels in all");
    if (options.bytesPerPixel != 1 && options.bytesPerPixel != 2) throw po::error("--bytes-per-pixel must be 1 or 2");
    if (options.count < 0) throw po::error("--count must not be negative");
    if (!(options.rate > 0 && options.rate <= 10000)) throw po::error("--rate must be above 0 and at most 10000");
    return options;
  } catch (const po::error& error) {
    std::cerr << "lumoPublish: " << error.what() << "\nTry 'lumoPublish --help'.\n";
    status = 1;
    return std::nullopt;
  }
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

}  // namespace

int main(int argc, char** argv) {
  int status = 0;
  const auto options = ParseOptions(argc, argv, status);
  if (!options) return status;

  log4cplus::Initializer initializer;
  lumo::tools::LogToStandardError(log4cplus::Logger::getRoot(), log4cplus::WARN_LOG_LEVEL);
  const korv::fnd::StopSignals stop;

  auto publisher = lumo::LumoDataTransferFactory::CreatePublisher(nullptr);
  const std::size_t imageBytes = std::size_t(options->width) * options->height * options->bytesPerPixel;
  publisher->SetBufferSize(static_cast<int>(imageBytes), 2);
  if (publisher->Register(options->brokerUri, options->stream, 0) != 1) {
    std::cerr << fmt::format("lumoPublish: could not register stream '{}' at {}\n", options->stream,
                             options->brokerUri);
    return 1;
  }
  lumo::LumoEncDecImage3D encoder;
  publisher->set_topic_id(encoder.get_topic_id());
  fmt::print("Publishing {} x {} x {} bytes on stream '{}' at {:g} images/s\n", options->width, options->height,
             options->bytesPerPixel, options->stream, options->rate);
  std::fflush(stdout);

  auto record = ImageRecord(*options);
  const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / options->rate));
  auto next = Clock::now();
  std::uint64_t published = 0;
  const auto wanted = static_cast<std::uint64_t>(options->count);
  while (!stop.StopRequested() && (wanted == 0 || published < wanted)) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    record.timestamp = double(now.tv_sec) + now.tv_nsec / 1e9;
    encoder.Encode(record);
    publisher->WriteData(0, TestPattern(*options, published * 4), encoder.get_meta_data());
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
  return 0;
}
