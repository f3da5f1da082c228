// The publisher tool's figures in the Prometheus text exposition format,
// served at GET /metrics by the shared HTTP server.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "korv/vexatools/ReceptionStatistics.hpp"

namespace korv::vexatools {

namespace http {
class HttpServer;
}

// What happened to the complete samples after reception.
struct PublishingFigures {
  std::uint64_t published = 0;
  std::uint64_t ringDrops = 0;
  std::uint64_t publishFailures = 0;
};

// Counters end in _total, losses carry their cause as a label, the receive
// buffer sizes are gauges.
std::string MetricsText(const ReceptionStatistics& reception, const PublishingFigures& publishing);

// Serves MetricsText on `endpoint` from a thread of its own while it lives.
class MetricsServer {
 public:
  using Source = std::function<std::string()>;

  // Throws std::system_error when `endpoint` cannot be listened on.
  MetricsServer(const boost::asio::ip::tcp::endpoint& endpoint, Source text);
  ~MetricsServer();
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;

 private:
  boost::asio::io_context m_io;
  std::unique_ptr<http::HttpServer> m_server;
  std::thread m_thread;
};

}  // namespace korv::vexatools
