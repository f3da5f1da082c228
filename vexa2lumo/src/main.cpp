// vexatoolsVexa2Lumo: receives a VEXA stream and publishes every complete
// sample as an image on a LUMO stream, until SIGINT or SIGTERM.
#include <chrono>
#include <exception>
#include <iostream>
#include <optional>
#include <string>

#include <fmt/format.h>

#include "PublisherMetrics.hpp"
#include "ServiceNotifier.hpp"
#include "korv/fnd/StopSignals.hpp"
#include "korv/vexatools/LogRecord.hpp"
#include "korv/vexatools/LumoSender.hpp"
#include "korv/vexatools/StatsReport.hpp"
#include "korv/vexatools/ToolFrame.hpp"
#include "korv/vexatools/Vexa2LumoReceiver.hpp"
#include "korv/vexatools/Version.hpp"
#include "korv/vexatools/Worker.hpp"
#include "korv/vexatools/http/HttpServer.hpp"
#include "korv/vexatools/http/Metrics.hpp"

namespace {

using korv::vexatools::LumoSender;
using korv::vexatools::PublishingFigures;
using korv::vexatools::Vexa2LumoReceiver;
using korv::vexatools::Worker;

struct PublisherOptions {
  std::string streamName;
  int interval = 100;
  std::string brokerUri;
  bool stats = false;
  std::string metricsAddress;  // empty: no /metrics
  lumo::MulticastOptions multicast;
};

PublishingFigures FiguresOf(const Vexa2LumoReceiver& receiver, const LumoSender& sender) {
  return {sender.GetPublished(), receiver.GetRingDrops(), sender.GetPublishFailures()};
}

// --stats and --metrics, while they live. Made before reception starts, so
// that a --metrics address that cannot be listened on ends the tool first.
class Reporting {
 public:
  Reporting(const PublisherOptions& options, const Vexa2LumoReceiver& receiver, const LumoSender& sender) {
    if (!options.metricsAddress.empty()) {
      m_metrics.emplace(korv::vexatools::http::ParseListenAddress(options.metricsAddress), [&receiver, &sender] {
        return korv::vexatools::MetricsText(receiver.GetReceptionStatistics(), FiguresOf(receiver, sender));
      });
    }
    if (options.stats) {
      m_stats.emplace([&receiver] { return receiver.GetReceptionStatistics(); },
                      [&receiver, &sender](korv::vexatools::StatsLine& line) {
                        const PublishingFigures figures = FiguresOf(receiver, sender);
                        line.Add("published", figures.published)
                            .Add("ring_drops", figures.ringDrops)
                            .Add("publish_failures", figures.publishFailures);
                      });
    }
  }

 private:
  std::optional<korv::vexatools::http::MetricsServer> m_metrics;
  std::optional<korv::vexatools::StatsReporter> m_stats;
};

// How often the main thread looks at the workers while it waits for a stop.
constexpr auto kWatchInterval = std::chrono::milliseconds(50);

// The one line on standard error with which a stopped publisher reports.
std::string StopSummary(const Vexa2LumoReceiver& receiver, const LumoSender& sender) {
  const korv::vexatools::ReceptionStatistics reception = receiver.GetReceptionStatistics();
  const PublishingFigures figures = FiguresOf(receiver, sender);
  return fmt::format(
      "Stopped: {} complete sample(s) received, {} image(s) published, dropped: {} ring full, {} publish "
      "failure(s), {} incomplete sample(s)\n",
      reception.completeSamples, figures.published, figures.ringDrops, figures.publishFailures,
      reception.incompleteSamples);
}

// Runs the receiver and the sender on threads of their own until one of them
// ends or SIGINT/SIGTERM asks for a stop. Then reception stops first and the
// sender publishes what is queued, unregisters and ends, so that the stream
// is free at the broker when the program exits. A stop by signal ends with
// the summary line and status 0; reception that ends by itself (a receive
// error, a leader this receiver cannot take) or a worker's exception ends
// the program with status 1, so that a supervisor restarts it.
int RunPublisher(Vexa2LumoReceiver& receiver, LumoSender& sender, const log4cplus::Logger& logger,
                 const korv::fnd::StopSignals& stop) {
  korv::vexatools::ServiceNotifier service;
  sender.OnPass([&service] { service.Alive(); });
  Worker receiving([&receiver] { receiver.StartReceiver(); }, [&receiver] { receiver.StopReceiver(); });
  Worker sending([&sender] { sender.Run(); }, [] { LumoSender::stopped = true; });

  bool ready = false;
  while (!receiving.Finished() && !sending.Finished() && !stop.WaitFor(kWatchInterval)) {
    if (!ready && receiver.IsRunning() && sender.IsRegistered()) {
      service.Ready();
      ready = true;
    }
  }
  const bool stopRequested = stop.StopRequested();
  if (stopRequested) service.Stopping();
  const bool receptionEndedFirst = receiving.Finished() && !stopRequested;
  receiving.Stop();
  receiving.Join();
  sending.Stop();
  sending.Join();

  if (receiving.Failure()) std::rethrow_exception(receiving.Failure());
  if (sending.Failure()) std::rethrow_exception(sending.Failure());
  if (stopRequested) {
    std::cerr << StopSummary(receiver, sender) << std::flush;
    return 0;
  }
  if (!receptionEndedFirst) return 0;
  const std::string message = "Reception has ended, publishing stopped: " + receiver.GetReceptionEndReason();
  VEXA_LOG_STREAM(logger, log4cplus::ERROR_LOG_LEVEL, message);
  korv::vexatools::ShowErrorIfLoggingHides(logger, message);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  using korv::vexatools::ToolFrame;
  ToolFrame frame(ToolFrame::InitialLevel::ToolInfo);

  korv::vexatools::SourceOptions source;
  korv::vexatools::LoggingOptions logging;
  PublisherOptions publishing;
  namespace po = boost::program_options;
  frame.AddSourceOptions(source, "image maximum width", "image maximum height");
  frame.Options().add_options()
      ("lumo-stream,s", po::value<std::string>(&publishing.streamName)->default_value("vexa_stream"),
       "LUMO stream name")
      ("interval,i", po::value<int>(&publishing.interval)->default_value(100), "publishing interval in ms")
      ("broker-uri,k", po::value<std::string>(&publishing.brokerUri)->required(), "Broker URI")
      ("multicast", po::value<std::string>(&publishing.multicast.endpoint)->notifier([](const std::string& endpoint) {
         std::string problem;
         if (!lumo::ParseMulticastEndpoint(endpoint, problem)) throw po::error("--multicast '" + endpoint + "': " + problem);
       }),
       "Also publish by reliable multicast on this endpoint: epgm://INTERFACE;GROUP:PORT (PGM over UDP), INTERFACE the IPv4 address that sends")
      ("multicast-rate", po::value<int>(&publishing.multicast.rateMbit)->default_value(0),
       "Multicast sending rate in Mbit/s (0: eight times the image size times 1000/interval, at most the link's speed; the link's speed when the interval is 0)");
  frame.AddLoggingOptions(logging);
  frame.AddStatsOption(publishing.stats);
  frame.Options().add_options()("metrics", po::value<std::string>(&publishing.metricsAddress),
                                "Serve GET /metrics (Prometheus text format) on ADDRESS:PORT");
  frame.AddVersionOption(korv::vexatools::VersionLine("vexatoolsVexa2Lumo"));
  frame.SetUp(argc, argv);

  return frame.Run([&] {
    Vexa2LumoReceiver receiver(source.address, source.port, source.networkInterface, source.width, source.height,
                               frame.GetElementSize());
    LumoSender sender(source.width, source.height, frame.GetDataType(), publishing.brokerUri, publishing.streamName,
                      publishing.interval);
    if (publishing.interval > 0) publishing.multicast.imagesPerSecond = 1000.0 / publishing.interval;
    sender.SetMulticast(publishing.multicast);
    frame.ShowReceptionWarnings(receiver);
    const Reporting reporting(publishing, receiver, sender);
    return RunPublisher(receiver, sender, frame.GetLogger(), frame.Signals());
  });
}
