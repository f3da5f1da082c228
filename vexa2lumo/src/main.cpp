// vexatoolsVexa2Lumo: receives a VEXA stream and publishes every complete
// sample as an image on a LUMO stream, until the process is terminated.
#include <atomic>
#include <chrono>
#include <exception>
#include <optional>
#include <string>
#include <thread>

#include "Metrics.hpp"
#include "korv/vexatools/LogRecord.hpp"
#include "korv/vexatools/LumoSender.hpp"
#include "korv/vexatools/StatsReport.hpp"
#include "korv/vexatools/ToolFrame.hpp"
#include "korv/vexatools/Vexa2LumoReceiver.hpp"
#include "korv/vexatools/http/HttpServer.hpp"
#include "korv/vexatools/http/Metrics.hpp"

namespace {

using korv::vexatools::LumoSender;
using korv::vexatools::PublishingFigures;
using korv::vexatools::Vexa2LumoReceiver;

constexpr char kLogSource[] = "vexa2lumo/src/main";

struct PublisherOptions {
  std::string streamName;
  int interval = 100;
  std::string brokerUri;
  bool stats = false;
  std::string metricsAddress;  // empty: no /metrics
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

// A worker thread that keeps what ended it, for the main thread to see.
class Worker {
 public:
  template <typename Body>
  Worker(std::atomic<int>& finishedWorkers, Body body)
      : m_thread([this, &finishedWorkers, body] {
          try {
            body();
          } catch (...) {
            m_failure = std::current_exception();
          }
          m_finished = true;
          ++finishedWorkers;
          finishedWorkers.notify_all();
        }) {}
  ~Worker() {
    if (m_thread.joinable()) m_thread.join();
  }

  bool Finished() const { return m_finished; }
  void Join() { m_thread.join(); }
  // Only after Join().
  std::exception_ptr Failure() const { return m_failure; }

 private:
  std::atomic<bool> m_finished{false};
  std::exception_ptr m_failure;
  std::thread m_thread;
};

// Runs the receiver and the sender on threads of their own until one of them
// ends, then stops the other and joins both. Reception that ends by itself
// (a receive error, a leader this receiver cannot take) or a worker's
// exception ends the program with status 1, so that a supervisor restarts
// it; otherwise the program runs until it is terminated.
int RunPublisher(Vexa2LumoReceiver& receiver, LumoSender& sender, const log4cplus::Logger& logger) {
  std::atomic<int> finishedWorkers{0};
  Worker receiving(finishedWorkers, [&receiver] { receiver.StartReceiver(); });
  Worker sending(finishedWorkers, [&sender] { sender.Run(); });

  finishedWorkers.wait(0);
  const bool receptionEndedFirst = receiving.Finished();
  LumoSender::stopped = true;
  // A stop that comes before the receiver's event loop runs is only seen
  // after the next datagram, so it is repeated until the receiver has ended.
  while (!receiving.Finished()) {
    receiver.StopReceiver();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  receiving.Join();
  sending.Join();

  if (receiving.Failure()) std::rethrow_exception(receiving.Failure());
  if (sending.Failure()) std::rethrow_exception(sending.Failure());
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
      ("broker-uri,k", po::value<std::string>(&publishing.brokerUri)->required(), "Broker URI");
  frame.AddLoggingOptions(logging);
  frame.AddStatsOption(publishing.stats);
  frame.Options().add_options()("metrics", po::value<std::string>(&publishing.metricsAddress),
                                "Serve GET /metrics (Prometheus text format) on ADDRESS:PORT");
  frame.SetUp(argc, argv);

  return frame.Run([&] {
    Vexa2LumoReceiver receiver(source.address, source.port, source.networkInterface, source.width, source.height,
                               frame.GetElementSize());
    LumoSender sender(source.width, source.height, frame.GetDataType(), publishing.brokerUri, publishing.streamName,
                      publishing.interval);
    frame.ShowReceptionWarnings(receiver);
    const Reporting reporting(publishing, receiver, sender);
    return RunPublisher(receiver, sender, frame.GetLogger());
  });
}
