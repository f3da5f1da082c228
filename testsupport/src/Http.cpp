#include "vexatools/testsupport/Http.hpp"

#include <chrono>

#include <boost/asio/ip/address.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

namespace vexatools::testsupport {

HttpReply HttpGet(std::uint16_t port, const std::string& target) { return HttpGet(port, target, "127.0.0.1"); }

namespace {

HttpReply Get(const std::string& source, std::uint16_t port, const std::string& target, const std::string& host) {
  namespace http = boost::beast::http;
  using boost::asio::ip::tcp;
  boost::asio::io_context io;
  boost::beast::tcp_stream stream(io);
  stream.expires_after(std::chrono::seconds(10));
  if (!source.empty()) {
    stream.socket().open(tcp::v4());
    stream.socket().bind(tcp::endpoint(boost::asio::ip::make_address(source), 0));
  }
  stream.connect(tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), port));
  http::request<http::empty_body> request(http::verb::get, target, 11);
  request.set(http::field::host, host);
  http::write(stream, request);
  boost::beast::flat_buffer buffer;
  http::response<http::string_body> response;
  http::read(stream, buffer, response);
  return {response.result_int(), std::string(response[http::field::content_type]), response.body()};
}

}  // namespace

HttpReply HttpGet(std::uint16_t port, const std::string& target, const std::string& host) {
  return Get("", port, target, host);
}

HttpReply HttpGetFrom(const std::string& source, std::uint16_t port, const std::string& target) {
  return Get(source, port, target, "127.0.0.1");
}

std::string HostileClientProblems(std::uint16_t port, const std::string& target) {
  std::string problems;
  {
    IdleConnections idle(port, 64, 64);
    int served = 0;
    for (int i = 0; i < 10; ++i) {
      try {
        served += HttpGet(port, target).status == 200 ? 1 : 0;
      } catch (const std::exception&) {
      }
    }
    if (served != 10) problems += "with 64 idle connections open, " + std::to_string(served) + " of 10 requests served; ";
  }
  const auto rebound = "rebound.example:" + std::to_string(port);
  const auto status = HttpGet(port, target, rebound).status;
  if (status != 421) problems += "Host " + rebound + " answered " + std::to_string(status);
  return problems;
}

IdleConnections::IdleConnections(std::uint16_t port, int count, int perAddress) {
  using boost::asio::ip::tcp;
  const tcp::endpoint server(boost::asio::ip::address_v4::loopback(), port);
  for (int i = 0; i < count; ++i) {
    tcp::socket socket(m_io, tcp::v4());
    socket.bind({boost::asio::ip::address_v4(0x7F000001u + static_cast<unsigned>(i / perAddress)), 0});
    socket.connect(server);
    socket.non_blocking(true);
    m_sockets.push_back(std::move(socket));
  }
}

int IdleConnections::StillOpen() {
  int open = 0;
  for (auto& socket : m_sockets) {
    char byte = 0;
    boost::system::error_code error;
    socket.read_some(boost::asio::buffer(&byte, 1), error);
    if (error == boost::asio::error::would_block) ++open;
  }
  return open;
}

}  // namespace vexatools::testsupport
