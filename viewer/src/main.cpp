// vexatoolsViewer: a live view of LUMO image streams in the browser.
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/program_options.hpp>
#include <fmt/format.h>

#include <iostream>
#include <optional>

#include "CommandLine.hpp"
#include "Viewer.hpp"
#include "korv/fnd/StopSignals.hpp"
#include "korv/vexatools/AppLogger.hpp"
#include "korv/vexatools/LogRecord.hpp"
#include "korv/vexatools/ToolFrame.hpp"
#include "korv/vexatools/Version.hpp"
#include "korv/vexatools/Worker.hpp"
#include "korv/vexatools/http/HttpServer.hpp"
#include "lumo/LumoLogger.hpp"
#include "lumo/LumoMulticast.hpp"
#include "lumo/LumoWire.hpp"

namespace {

namespace po = boost::program_options;
namespace viewer = korv::vexatools::viewer;
namespace http = korv::vexatools::http;

struct Options {
  std::string brokerUri;
  std::string listen;
  std::string stream;
  double maxFps = 25;
  bool multicast = false;
  std::string multicastNetif;
  std::string logLevel;
  boost::asio::ip::tcp::endpoint endpoint;
};

void CheckOptions(Options& options) {
  if (!(options.maxFps >= 0.1 && options.maxFps <= 1000)) throw po::error("--max-fps must be from 0.1 to 1000");
  if (!options.stream.empty() && !lumo::IsValidStreamName(options.stream))
    throw po::error("--stream '" + options.stream + "' is not a stream name");
  try {
    options.endpoint = http::ParseListenAddress(options.listen);
  } catch (const std::invalid_argument& error) {
    throw po::error(std::string("--http: ") + error.what());
  }
}

// The status to end with at once (--help, --version, a command-line error), or nothing.
std::optional<int> ParseOptions(int argc, char** argv, Options& options) {
  lumo::tools::CommandLine line("vexatoolsViewer", "Usage: vexatoolsViewer [options]",
                                korv::vexatools::VersionLine("vexatoolsViewer"));
  line.Add()("broker-uri,b", po::value(&options.brokerUri)->default_value(std::string(lumo::kDefaultBrokerUri)),
             "LUMO broker whose streams are shown")(
      "http", po::value(&options.listen)->default_value("127.0.0.1:8080"),
      "ADDRESS:PORT the page is served on (0.0.0.0:PORT for other hosts)")(
      "stream,s", po::value(&options.stream), "stream shown first (default: the first one listed)")(
      "max-fps", po::value(&options.maxFps)->default_value(25), "most images per second sent to each page");
  line.AddMulticastSubscription(options.multicast, &options.multicastNetif);
  line.AddLogLevel(options.logLevel, "INFO");
  return line.Parse(argc, argv,
                    "\nOpen the address it prints in a browser. Exit status: 0 after Ctrl-C or SIGTERM,\n"
                    "1 for a command-line error or an address it cannot listen on.\n",
                    [&options] { CheckOptions(options); });
}

void ConfigureLogging(const std::string& levelName) {
  auto& logger = korv::vexatools::GetAppLogger();
  const auto level = log4cplus::getLogLevelManager().fromString(levelName);
  logger.setLogLevel(level);  // before the property file is read, which logs at DEBUG
  korv::vexatools::ConfigureToolLogging("", logger);
  // The LUMO library's INFO records (each connection it follows) are left
  // out unless DEBUG or TRACE is asked for.
  const auto lumoLevel = level <= log4cplus::DEBUG_LOG_LEVEL ? level : std::max(level, log4cplus::WARN_LOG_LEVEL);
  log4cplus::Logger::getInstance(lumo::kDefaultLoggerName).setLogLevel(lumoLevel);
}

std::string PageAddress(const boost::asio::ip::tcp::endpoint& endpoint) {
  const auto address = endpoint.address();
  if (address.is_unspecified()) return fmt::format("http://<this host>:{}/", endpoint.port());
  if (address.is_v6()) return fmt::format("http://[{}]:{}/", address.to_string(), endpoint.port());
  return fmt::format("http://{}:{}/", address.to_string(), endpoint.port());
}

// Serves the page until SIGINT or SIGTERM, or until the server fails.
int Serve(Options& options, const korv::fnd::StopSignals& stop) {
  ConfigureLogging(options.logLevel);
  auto& logger = korv::vexatools::GetAppLogger();

  const auto pageDirectory = viewer::FindPageDirectory();
  if (pageDirectory.empty()) {
    std::cerr << "vexatoolsViewer: cannot find the page files (viewer/www/index.html)\n";
    return 1;
  }

  boost::asio::io_context io;
  http::HttpServer server(io, options.endpoint);  // an address it cannot listen on ends the viewer here
  viewer::ServePageFiles(server, pageDirectory);
  viewer::ViewerSettings settings;
  settings.brokerUri = options.brokerUri;
  settings.firstStream = options.stream;
  settings.maxFps = options.maxFps;
  settings.multicast = options.multicast;
  settings.multicastNetif = options.multicastNetif;
  viewer::Viewer view(io, server, settings);
  server.Start();
  view.Start();

  fmt::print("vexatoolsViewer: open {} (streams of {})\n", PageAddress(server.LocalEndpoint()), options.brokerUri);
  std::fflush(stdout);
  VEXA_LOG_FMT(logger, log4cplus::DEBUG_LOG_LEVEL, "Page files from {}", pageDirectory.string());

  korv::vexatools::Worker serving([&io] { io.run(); });
  while (!serving.Finished() && !stop.WaitFor(std::chrono::milliseconds(200))) {
  }
  // Closing every connection lets io.run return once their last handlers ran.
  boost::asio::post(io, [&] { server.Stop(); });
  serving.Join();
  view.Stop();
  if (serving.Failure()) std::rethrow_exception(serving.Failure());  // "vexatoolsViewer: what", status 1
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return lumo::tools::RunTool<Options>("vexatoolsViewer", argc, argv, ParseOptions, Serve);
}
