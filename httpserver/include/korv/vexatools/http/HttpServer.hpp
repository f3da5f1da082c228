// A small HTTP and WebSocket server on Boost.Beast for the tools' web pages
// and figures.
//
// Handlers are registered per exact path; every other path is answered 404,
// so a request never reaches the file system. What a client sends is
// bounded: request headers, WebSocket messages, the number of connections
// (in all and per peer address) and the time a request may take; when the
// server is full, the connection that has waited longest without sending a
// request makes room for a new one, so idle sockets cannot lock clients
// out. A request whose Host names another server is refused (421), so that
// a web page on a rebound domain name cannot read the server. Everything
// runs on the one thread that runs the io_context the server is given;
// handlers are called there.
//
//   HttpServer server(io, ParseListenAddress("127.0.0.1:8080"));
//   server.AddGet("/status", [](const Request&) { return Response::Text("ok\n"); });
//   server.Start();
//   io.run();
#pragma once

#include <boost/asio/buffer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/http/status.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korv::vexatools::http {

struct Request {
  std::string_view path;   // the target up to '?'
  std::string_view query;  // the raw text after '?', or empty
};

struct Response {
  boost::beast::http::status status = boost::beast::http::status::ok;
  std::string contentType;
  std::string body;

  static Response Text(std::string body, std::string contentType = "text/plain; charset=utf-8");
  static Response Error(boost::beast::http::status status);
};

using GetHandler = std::function<Response(const Request&)>;

// One message for a WebSocket client. `buffers` point into memory that
// `owner` keeps alive until the message is written, so that one frame can be
// shared by many clients without copies.
struct OutgoingMessage {
  bool binary = false;
  std::vector<boost::asio::const_buffer> buffers;
  std::shared_ptr<const void> owner;

  static OutgoingMessage Text(std::shared_ptr<const std::string> text);
  static OutgoingMessage Binary(std::shared_ptr<const std::vector<std::uint8_t>> bytes);
};

// The server's side of one WebSocket connection, as its handler sees it.
class WebSocketChannel {
 public:
  virtual ~WebSocketChannel() = default;
  // Tells the channel the handler has something to send: the channel calls
  // NextMessage as soon as no other message is being written.
  virtual void Wake() = 0;
  virtual void Close() = 0;
};

// What a WebSocket path does with its connections. The channel pulls the
// messages to send one at a time, so the handler decides what is sent next
// and what is dropped: a slow client never makes a queue grow.
class WebSocketHandler {
 public:
  virtual ~WebSocketHandler() = default;
  // A text message from the client (at most ServerLimits::maxWebSocketMessage bytes).
  virtual void OnText(std::string_view message) = 0;
  // The next message to write, or nothing for now.
  virtual std::optional<OutgoingMessage> NextMessage() = 0;
  // The connection ended; no more calls follow.
  virtual void OnClose() = 0;
};

namespace detail {
struct ServerState;
}

using WebSocketOpener = std::function<std::shared_ptr<WebSocketHandler>(std::weak_ptr<WebSocketChannel>)>;

struct ServerLimits {
  std::size_t maxConnections = 64;
  // Connections from one address; the rest are left to other hosts.
  std::size_t maxConnectionsPerAddress = 16;
  std::uint32_t maxRequestHeader = 8 * 1024;
  std::uint64_t maxWebSocketMessage = 4 * 1024;
  // A new connection must deliver its first request within this time.
  std::chrono::seconds firstRequestTimeout{5};
  // Later requests on a kept-alive connection, from the end of the last answer.
  std::chrono::seconds requestTimeout{30};
  // A WebSocket client that answers nothing, not even pings, for this long is dropped.
  std::chrono::seconds webSocketIdleTimeout{60};
  // Refuse requests whose Host header names another server (see
  // IsHostAllowed). Off only for servers read by programs that may use any
  // DNS name of this host, and never by pages.
  bool checkHost = true;
};

class HttpServer {
 public:
  // Binds and listens on `endpoint`. Throws std::system_error naming the
  // address when it cannot (in use, not local, no permission).
  HttpServer(boost::asio::io_context& io, const boost::asio::ip::tcp::endpoint& endpoint, ServerLimits limits = {});
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Register before Start.
  void AddGet(std::string path, GetHandler handler);
  // WebSocket upgrades of `path`. A browser's Origin must be this server
  // (http://HOST as the request names it); requests without Origin come
  // from programs, not pages, and are let through.
  void AddWebSocket(std::string path, WebSocketOpener opener);

  void Start();
  // Stops accepting; open connections end when the io_context stops.
  void Stop();

  boost::asio::ip::tcp::endpoint LocalEndpoint() const;

 private:
  std::shared_ptr<detail::ServerState> impl_;
};

// "ADDRESS:PORT" with an IPv4 address, a bracketed IPv6 address or
// "localhost". Throws std::invalid_argument with a readable reason.
boost::asio::ip::tcp::endpoint ParseListenAddress(std::string_view text);

// Whether a request's Host header (`host`, "NAME" or "NAME:PORT") names a
// server listening on `listenAddress` of the machine called `machineName`:
// the address it listens on (any IP address when that is 0.0.0.0 or ::),
// any loopback address and "localhost" when it listens on loopback or on
// all addresses, and the machine's name when it listens off loopback. Any
// port is accepted (a forwarded port is fine), and so is an empty Host (no
// browser omits it). A page on a rebound DNS name sends that name, which
// none of these are.
bool IsHostAllowed(std::string_view host, const boost::asio::ip::address& listenAddress, std::string_view machineName);

// The WebSocket Origin rule above, for a request's Host and Origin headers
// (`origin` empty when absent).
bool IsOriginAllowed(std::string_view host, std::string_view origin);

}  // namespace korv::vexatools::http
