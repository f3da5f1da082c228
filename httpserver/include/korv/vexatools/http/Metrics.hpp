// Figures for a Prometheus scraper: a page in the text exposition format,
// and a server that answers GET /metrics with it.
//
//   MetricsServer server(ParseListenAddress("127.0.0.1:9464"), [&] {
//     return MetricsPage().Family("jobs_total", "counter", "Jobs done.", {{"", jobs}}).Text();
//   });
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

namespace korv::vexatools::http {

class HttpServer;

class MetricsPage {
 public:
  struct Sample {
    std::string_view labels;  // empty, or `name="value"` pairs separated by commas
    std::uint64_t value;
  };

  // One metric family: its HELP and TYPE lines, then its samples. Counters
  // are named ..._total by convention.
  MetricsPage& Family(std::string_view name, std::string_view type, std::string_view help,
                      std::initializer_list<Sample> samples);
  const std::string& Text() const { return text_; }

 private:
  std::string text_;
};

// Serves GET /metrics on `endpoint` from a thread of its own while it
// lives; every other path is 404. `page` is called for each request, on
// that thread.
class MetricsServer {
 public:
  using PageSource = std::function<std::string()>;

  // Throws std::system_error naming the address when it cannot listen.
  MetricsServer(const boost::asio::ip::tcp::endpoint& endpoint, PageSource page);
  ~MetricsServer();
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;

 private:
  boost::asio::io_context io_;
  std::unique_ptr<HttpServer> server_;
  std::thread thread_;
};

}  // namespace korv::vexatools::http
