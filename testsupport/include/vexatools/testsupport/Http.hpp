// A plain HTTP/1.1 GET on loopback, for tests of the programs' HTTP endpoints.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace vexatools::testsupport {

struct HttpReply {
  unsigned status = 0;
  std::string contentType;
  std::string body;
};

// GET `target` from 127.0.0.1:`port`, bounded to 10 s. Throws on a
// connection or protocol failure.
HttpReply HttpGet(std::uint16_t port, const std::string& target);
// The same with the Host header `host`.
HttpReply HttpGet(std::uint16_t port, const std::string& target, const std::string& host);
// The same from the loopback address `source` (127.0.0.200, say): a client at
// another address than the ones holding connections.
HttpReply HttpGetFrom(const std::string& source, std::uint16_t port, const std::string& target);

// What hostile clients achieve against GET `target` on 127.0.0.1:`port`:
// 64 connections that send nothing while 10 requests are made, then a
// request with the Host of a DNS name rebound to 127.0.0.1. Empty when the
// server serves the requests and refuses the rebound name with 421;
// otherwise what went wrong.
std::string HostileClientProblems(std::uint16_t port, const std::string& target);

// Connections to 127.0.0.1:`port` that send nothing, as a client that
// holds sockets to lock others out does: `count` of them, from the loopback
// addresses 127.0.0.1 onwards, `perAddress` from each.
class IdleConnections {
 public:
  IdleConnections(std::uint16_t port, int count, int perAddress);
  // How many the server has not closed yet (reads each one without waiting).
  int StillOpen();

 private:
  boost::asio::io_context m_io;
  std::vector<boost::asio::ip::tcp::socket> m_sockets;
};

}  // namespace vexatools::testsupport
