#include "vexatools/testsupport/Http.hpp"

#include <chrono>

#include <boost/asio/ip/address.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

namespace vexatools::testsupport {

HttpReply HttpGet(std::uint16_t port, const std::string& target) {
  namespace http = boost::beast::http;
  boost::asio::io_context io;
  boost::beast::tcp_stream stream(io);
  stream.expires_after(std::chrono::seconds(10));
  stream.connect(boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), port));
  http::request<http::empty_body> request(http::verb::get, target, 11);
  request.set(http::field::host, "127.0.0.1");
  http::write(stream, request);
  boost::beast::flat_buffer buffer;
  http::response<http::string_body> response;
  http::read(stream, buffer, response);
  return {response.result_int(), std::string(response[http::field::content_type]), response.body()};
}

}  // namespace vexatools::testsupport
