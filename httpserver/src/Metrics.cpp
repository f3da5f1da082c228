#include "korv/vexatools/http/Metrics.hpp"

#include <utility>

#include "korv/vexatools/http/HttpServer.hpp"

namespace korv::vexatools::http {
namespace {

constexpr char kExpositionContentType[] = "text/plain; version=0.0.4; charset=utf-8";

// A scraper on another host may know this one by any DNS name, so the Host
// is checked only on loopback, where the only readers are local programs
// and a page on a rebound name is the one risk.
ServerLimits MetricsLimits(const boost::asio::ip::tcp::endpoint& endpoint) {
  ServerLimits limits;
  limits.checkHost = endpoint.address().is_loopback();
  return limits;
}

}  // namespace

MetricsPage& MetricsPage::Family(std::string_view name, std::string_view type, std::string_view help,
                                 std::initializer_list<Sample> samples) {
  const std::string family(name);
  text_ += "# HELP " + family + ' ' + std::string(help) + "\n# TYPE " + family + ' ' + std::string(type) + '\n';
  for (const Sample& sample : samples) {
    text_ += family;
    if (!sample.labels.empty()) text_ += '{' + std::string(sample.labels) + '}';
    text_ += ' ' + std::to_string(sample.value) + '\n';
  }
  return *this;
}

MetricsServer::MetricsServer(const boost::asio::ip::tcp::endpoint& endpoint, PageSource page)
    : server_(std::make_unique<HttpServer>(io_, endpoint, MetricsLimits(endpoint))) {
  server_->AddGet("/metrics", [page = std::move(page)](const Request&) {
    return Response::Text(page(), kExpositionContentType);
  });
  server_->Start();
  thread_ = std::thread([this] { io_.run(); });
}

MetricsServer::~MetricsServer() {
  io_.stop();
  thread_.join();
}

}  // namespace korv::vexatools::http
