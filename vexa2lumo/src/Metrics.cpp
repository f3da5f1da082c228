#include "Metrics.hpp"

#include <fmt/format.h>

#include <initializer_list>
#include <iterator>
#include <utility>

#include "korv/vexatools/http/HttpServer.hpp"

namespace korv::vexatools {
namespace {

struct Sample {
  const char* labels;  // "" or `name="value"`
  std::uint64_t value;
};

void AddFamily(std::string& text, const char* name, const char* type, const char* help,
               std::initializer_list<Sample> samples) {
  auto out = std::back_inserter(text);
  fmt::format_to(out, "# HELP {} {}\n# TYPE {} {}\n", name, help, name, type);
  for (const Sample& sample : samples) {
    if (*sample.labels == '\0') {
      fmt::format_to(out, "{} {}\n", name, sample.value);
    } else {
      fmt::format_to(out, "{}{{{}}} {}\n", name, sample.labels, sample.value);
    }
  }
}

}  // namespace

std::string MetricsText(const ReceptionStatistics& r, const PublishingFigures& p) {
  std::string text;
  AddFamily(text, "vexa_datagrams_received_total", "counter", "Datagrams read from the socket, junk included.",
            {{"", r.datagrams}});
  AddFamily(text, "vexa_received_bytes_total", "counter", "Bytes of the datagrams read from the socket.",
            {{"", r.bytes}});
  AddFamily(text, "vexa_samples_total", "counter",
            "Samples closed, by outcome: every frame arrived, or some never did.",
            {{"outcome=\"complete\"", r.completeSamples}, {"outcome=\"incomplete\"", r.incompleteSamples}});
  AddFamily(text, "vexa_frames_missing_total", "counter", "Frames of incomplete samples that never arrived.",
            {{"", r.framesMissing}});
  AddFamily(text, "vexa_other_sample_frames_total", "counter",
            "Frames of another sample than the one being assembled, skipped.", {{"", r.otherSampleFrames}});
  AddFamily(text, "vexa_datagrams_dropped_total", "counter",
            "Datagrams lost before assembly, by cause: the full socket buffer, or junk.",
            {{"cause=\"socket_buffer\"", r.socketDrops},
             {"cause=\"junk_short\"", r.junkShort},
             {"cause=\"junk_oversize\"", r.junkOversize},
             {"cause=\"junk_malformed\"", r.junkMalformed}});
  AddFamily(text, "vexa_images_published_total", "counter", "Images written to the LUMO stream.",
            {{"", p.published}});
  AddFamily(text, "vexa_images_dropped_total", "counter",
            "Complete images not published, by cause: the hand-over ring was full, or writing failed.",
            {{"cause=\"ring_full\"", p.ringDrops}, {"cause=\"publish_failure\"", p.publishFailures}});
  AddFamily(text, "vexa_receive_buffer_wanted_bytes", "gauge",
            "Socket receive buffer that holds the buffered samples, as the kernel counts it.",
            {{"", r.receiveBufferWanted}});
  AddFamily(text, "vexa_receive_buffer_in_force_bytes", "gauge", "Socket receive buffer in force.",
            {{"", r.receiveBufferInForce}});
  return text;
}

MetricsServer::MetricsServer(const boost::asio::ip::tcp::endpoint& endpoint, Source text)
    : m_server(std::make_unique<http::HttpServer>(m_io, endpoint)) {
  m_server->AddGet("/metrics", [text = std::move(text)](const http::Request&) {
    return http::Response::Text(text(), "text/plain; version=0.0.4; charset=utf-8");
  });
  m_server->Start();
  m_thread = std::thread([this] { m_io.run(); });
}

MetricsServer::~MetricsServer() {
  m_io.stop();
  m_thread.join();
}

}  // namespace korv::vexatools
