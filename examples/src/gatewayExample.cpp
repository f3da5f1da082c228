// vexatoolsGatewayExample: how an application uses the gateway library.
// It receives a VEXA stream through the outside receiver library and
// publishes every complete sample as an image on a LUMO stream, until
// SIGINT or SIGTERM; then it prints the gateway's statistics. With --metrics
// it serves them at GET /metrics meanwhile.
//
// The application contract: construct the gateway, then the sender; run the
// sender on a thread of its own and start the receiver. To stop: stop the
// receiver, set LumoSender::stopped and join the sender thread (which
// unregisters the stream at the broker).
#include <chrono>
#include <exception>
#include <optional>
#include <string>

#include <fmt/format.h>

#include "korv/fnd/StopSignals.hpp"
#include "korv/vexalib/FindFile.hpp"
#include "korv/vexalib/Logger.hpp"
#include "korv/vexatools/ToolFrame.hpp"
#include "korv/vexatools/Version.hpp"
#include "korv/vexatools/Worker.hpp"
#include "korv/vexatools/http/HttpServer.hpp"
#include "korv/vexatools/http/Metrics.hpp"
#include "korv/vexatools/vexa2lumolib_wirefast/LumoSender.hpp"
#include "korv/vexatools/vexa2lumolib_wirefast/Vexa2LumoGateway.hpp"

namespace {

namespace po = boost::program_options;
namespace gw = korv::vexatools::vexa2lumolib_wirefast;
constexpr char kLumoLogPropertyFile[] = "config/korv/vexalib/log.properties";

struct GatewayOptions {
  std::string brokerUri;
  std::string streamName;
  int interval = 100;
  bool extendedInfo = false;
  std::string metricsAddress;  // empty: no /metrics
  lumo::MulticastOptions multicast;
};

void DeclareOptions(korv::vexatools::ToolFrame& frame, korv::vexatools::SourceOptions& source,
                    GatewayOptions& gateway) {
  frame.AddConnectionOptions(source);
  frame.Options().add_options()
      ("width,w", po::value<int>(&source.width)->default_value(0),
       "Image width in pixels; 0: unknown, taken from the Basic Image Info (-x)")
      ("height,e", po::value<int>(&source.height)->default_value(0),
       "Image height in pixels; 0: unknown, taken from the Basic Image Info (-x)")
      ("broker-uri,k", po::value<std::string>(&gateway.brokerUri)->required(),
       "LUMO broker URI, for example tcp://127.0.0.1:5570")
      ("lumo-stream,s", po::value<std::string>(&gateway.streamName)->default_value("vexa_stream"),
       "LUMO stream name")
      ("interval,i", po::value<int>(&gateway.interval)->default_value(100),
       "Pause after each publication, in milliseconds (0: none)")
      ("extended-info,x", po::bool_switch(&gateway.extendedInfo),
       "Take the image geometry from the Basic Image Info of the VEXA Extended Info when present")
      ("metrics", po::value<std::string>(&gateway.metricsAddress),
       "Serve GET /metrics (Prometheus text format) on ADDRESS:PORT")
      ("multicast", po::value<std::string>(&gateway.multicast.endpoint)->notifier([](const std::string& endpoint) {
         std::string problem;
         if (!lumo::ParseMulticastEndpoint(endpoint, problem)) throw po::error("--multicast '" + endpoint + "': " + problem);
       }),
       "Also publish by reliable multicast on this endpoint: epgm://INTERFACE;GROUP:PORT (PGM over UDP), INTERFACE the IPv4 address that sends")
      ("multicast-rate", po::value<int>(&gateway.multicast.rateMbit)->default_value(0),
       "Multicast sending rate in Mbit/s (0: eight times the image size times 1000/interval, at most the link's speed; the link's speed when the interval is 0)");
}

std::string MetricsText(const gw::GatewayStatistics& statistics) {
  return korv::vexatools::http::MetricsPage()
      .Family("vexa_gateway_samples_total", "counter", "Samples forwarded to the sender.", {{"", statistics.samples}})
      .Family("vexa_gateway_missed_samples_total", "counter",
              "Gaps in the sample identifiers between forwarded samples.", {{"", statistics.missedSamples}})
      .Family("vexa_gateway_bytes_total", "counter", "Payload bytes forwarded.", {{"", statistics.bytes}})
      .Family("vexa_gateway_sample_id_jumps_total", "counter",
              "Sample identifier jumps too large for a loss, between forwarded samples.",
              {{"", statistics.sampleIdJumps}})
      .Family("vexa_images_dropped_total", "counter",
              "Images not published, by cause: the ring to the sender was full.",
              {{R"(cause="ring_full")", statistics.ringDrops}})
      .Text();
}

void PrintStatistics(const gw::GatewayStatistics& statistics) {
  fmt::print("samples {}\n", statistics.samples);
  fmt::print("missedSamples {}\n", statistics.missedSamples);
  fmt::print("bytes {}\n", statistics.bytes);
  fmt::print("ringDrops {}\n", statistics.ringDrops);
  fmt::print("elapsedSeconds {}\n", statistics.elapsedSeconds);
  fmt::print("samplesPerSecond {}\n", statistics.samplesPerSecond);
  fmt::print("minIntervalSeconds {}\n", statistics.minIntervalSeconds);
  fmt::print("meanIntervalSeconds {}\n", statistics.meanIntervalSeconds);
  fmt::print("maxIntervalSeconds {}\n", statistics.maxIntervalSeconds);
  fmt::print("stddevIntervalSeconds {}\n", statistics.stddevIntervalSeconds);
  fmt::print("sampleIdJumps {}\n", statistics.sampleIdJumps);
  std::fflush(stdout);
}

int RunGateway(const korv::vexatools::ToolFrame& frame, const korv::vexatools::SourceOptions& source,
                const GatewayOptions& options, const std::string& logPropertyFile, const korv::fnd::StopSignals& stop) {
  const auto mode =
      options.extendedInfo ? korv::vexalib::ExtendedInfoMode::Enabled : korv::vexalib::ExtendedInfoMode::Disabled;
  const std::string lumoLogPropertyFile =
      logPropertyFile.empty() ? korv::vexalib::FindFile(kLumoLogPropertyFile) : logPropertyFile;
  // The gateway and the sender log to the outside library's logger: the
  // command line's level applies there too.
  korv::vexalib::Logger().setLogLevel(frame.GetLogger().getLogLevel());
  gw::Vexa2LumoGateway gateway(source.address, source.networkInterface, source.port, frame.GetDataType(),
                               source.width, source.height, "", "", 0.0, 0, 0, mode, lumoLogPropertyFile, "");
  gw::LumoSender sender(source.width, source.height, frame.GetDataType(), options.brokerUri, options.streamName,
                        options.interval);
  lumo::MulticastOptions multicast = options.multicast;
  if (options.interval > 0) multicast.imagesPerSecond = 1000.0 / options.interval;
  sender.SetMulticast(multicast);
  std::optional<korv::vexatools::http::MetricsServer> metrics;
  if (!options.metricsAddress.empty()) {
    metrics.emplace(korv::vexatools::http::ParseListenAddress(options.metricsAddress),
                    [&gateway] { return MetricsText(gateway.GetStatistics()); });
  }
  // Stopped and joined on every way out, so that a failed receiver start
  // still ends the sender (which unregisters the stream).
  korv::vexatools::Worker sending([&sender] { sender.Run(); }, [] { gw::LumoSender::stopped = true; });
  gateway.StartReceiver();
  // The socket is open from here on: whoever waits for this line may start
  // the source without losing its first sample. Standard output stays for
  // the statistics.
  fmt::print(stderr, "vexatoolsGatewayExample: receiving on UDP {}:{}\n", source.address, gateway.GetLocalPort());
  std::fflush(stderr);

  // The sender retries its registration without end: it finishes only by a failure.
  while (!sending.Finished() && !stop.WaitFor(std::chrono::milliseconds(100))) {
  }
  gateway.StopReceiver();
  sending.Stop();
  sending.Join();
  PrintStatistics(gateway.GetStatistics());
  if (sending.Failure()) std::rethrow_exception(sending.Failure());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  korv::vexatools::ToolFrame frame(korv::vexatools::ToolFrame::InitialLevel::ToolInfo);
  korv::vexatools::SourceOptions source;
  korv::vexatools::LoggingOptions logging;
  GatewayOptions gateway;
  DeclareOptions(frame, source, gateway);
  frame.AddLoggingOptions(logging);
  frame.AddVersionOption(korv::vexatools::VersionLine("vexatoolsGatewayExample"));
  frame.SetUp(argc, argv);
  return frame.Run([&] { return RunGateway(frame, source, gateway, logging.logPropertyFile, frame.Signals()); });
}
