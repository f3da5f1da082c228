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
  m_text += "# HELP " + family + ' ' + std::string(help) + "\n# TYPE " + family + ' ' + std::string(type) + '\n';
  for (const Sample& sample : samples) {
    m_text += family;
    if (!sample.labels.empty()) m_text += '{' + std::string(sample.labels) + '}';
    m_text += ' ' + std::to_string(sample.value) + '\n';
  }
  return *this;
}

MetricsServer::MetricsServer(const boost::asio::ip::tcp::endpoint& endpoint, PageSource page)
    : m_server(std::make_unique<HttpServer>(m_io, endpoint, MetricsLimits(endpoint))) {
  m_server->AddGet("/metrics", [page = std::move(page)](const Request&) {
    return Response::Text(page(), kExpositionContentType);
  });
  m_server->Start();
  m_thread = std::thread([this] { m_io.run(); });
}

MetricsServer::~MetricsServer() {
  m_io.stop();
  m_thread.join();
}

}  // namespace korv::vexatools::http
