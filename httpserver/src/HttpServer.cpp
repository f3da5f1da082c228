#include "korv/vexatools/http/HttpServer.hpp"

#include <boost/asio/ip/address.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <atomic>
#include <charconv>
#include <list>
#include <stdexcept>
#include <system_error>

namespace korv::vexatools::http {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
namespace websocket = boost::beast::websocket;
using tcp = asio::ip::tcp;

Response Response::Text(std::string body, std::string contentType) {
  Response response;
  response.contentType = std::move(contentType);
  response.body = std::move(body);
  return response;
}

Response Response::Error(bhttp::status status) {
  Response response;
  response.status = status;
  response.contentType = "text/plain; charset=utf-8";
  response.body = std::string(bhttp::obsolete_reason(status)) + "\n";
  return response;
}

OutgoingMessage OutgoingMessage::Text(std::shared_ptr<const std::string> text) {
  OutgoingMessage message;
  message.buffers.push_back(asio::buffer(*text));
  message.owner = std::move(text);
  return message;
}

OutgoingMessage OutgoingMessage::Binary(std::shared_ptr<const std::vector<std::uint8_t>> bytes) {
  OutgoingMessage message;
  message.binary = true;
  message.buffers.push_back(asio::buffer(*bytes));
  message.owner = std::move(bytes);
  return message;
}

namespace {

constexpr const char* kServerName = "vexatools";

std::string_view View(beast::string_view text) { return {text.data(), text.size()}; }

// Splits "host:port" from the right, so that a bracketed IPv6 address keeps its colons.
bool SplitHostPort(std::string_view text, std::string_view& host, std::string_view& port) {
  const auto colon = text.rfind(':');
  if (colon == std::string_view::npos) return false;
  host = text.substr(0, colon);
  port = text.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') return host = host.substr(1, host.size() - 2), true;
  return host.find(':') == std::string_view::npos;  // an IPv6 address needs its brackets
}

}  // namespace

tcp::endpoint ParseListenAddress(std::string_view text) {
  std::string_view host;
  std::string_view portText;
  if (!SplitHostPort(text, host, portText) || host.empty() || portText.empty())
    throw std::invalid_argument("'" + std::string(text) + "' is not ADDRESS:PORT");
  unsigned port = 0;
  const auto [end, error] = std::from_chars(portText.data(), portText.data() + portText.size(), port);
  if (error != std::errc() || end != portText.data() + portText.size() || port > 65535)
    throw std::invalid_argument("'" + std::string(portText) + "' is not a port number (0 to 65535)");
  if (host == "localhost") return {asio::ip::address_v4::loopback(), static_cast<unsigned short>(port)};
  boost::system::error_code parseError;
  const auto address = asio::ip::make_address(std::string(host), parseError);
  if (parseError) throw std::invalid_argument("'" + std::string(host) + "' is not an IP address");
  return {address, static_cast<unsigned short>(port)};
}

bool IsOriginAllowed(std::string_view host, std::string_view origin) {
  if (origin.empty()) return true;
  constexpr std::string_view kScheme = "http://";
  return !host.empty() && origin.size() == kScheme.size() + host.size() && origin.starts_with(kScheme) &&
         beast::iequals(beast::string_view(origin.data() + kScheme.size(), host.size()),
                        beast::string_view(host.data(), host.size()));
}

namespace detail {

// An open connection, as Stop sees it.
class Connection {
 public:
  virtual ~Connection() = default;
  virtual void CloseNow() = 0;
};

// Everything the sessions share with the server. Sessions hold it by
// shared_ptr, so a server destroyed first leaves them a valid registry.
struct ServerState : std::enable_shared_from_this<ServerState> {
  ServerState(asio::io_context& context, ServerLimits serverLimits) : io(context), acceptor(context), limits(serverLimits) {}

  void Accept();
  Response Dispatch(const bhttp::request<bhttp::empty_body>& request) const;

  asio::io_context& io;
  tcp::acceptor acceptor;
  ServerLimits limits;
  std::map<std::string, GetHandler, std::less<>> getHandlers;
  std::map<std::string, WebSocketOpener, std::less<>> webSocketOpeners;
  std::atomic<std::size_t> connections{0};
  // Open connections, closed by Stop.
  std::list<std::weak_ptr<Connection>> openConnections;
  bool stopped = false;

  void Register(const std::shared_ptr<Connection>& connection) {
    openConnections.remove_if([](const auto& weak) { return weak.expired(); });
    openConnections.push_back(connection);
  }
};

}  // namespace detail

namespace {

// Counts a connection against ServerLimits::maxConnections while it lives.
class ConnectionSlot {
 public:
  explicit ConnectionSlot(std::shared_ptr<detail::ServerState> server) : server_(std::move(server)) {}
  ~ConnectionSlot() {
    if (server_) --server_->connections;
  }
  ConnectionSlot(ConnectionSlot&&) = default;
  ConnectionSlot& operator=(ConnectionSlot&&) = delete;
  detail::ServerState& server() const { return *server_; }
  const std::shared_ptr<detail::ServerState>& shared() const { return server_; }

 private:
  std::shared_ptr<detail::ServerState> server_;
};

class WebSocketSession : public WebSocketChannel,
                         public detail::Connection,
                         public std::enable_shared_from_this<WebSocketSession> {
 public:
  WebSocketSession(tcp::socket socket, ConnectionSlot slot) : ws_(std::move(socket)), slot_(std::move(slot)) {}

  void Accept(bhttp::request<bhttp::empty_body> request, WebSocketOpener opener) {
    opener_ = std::move(opener);
    slot_.server().Register(shared_from_this());
    auto timeouts = websocket::stream_base::timeout::suggested(beast::role_type::server);
    timeouts.handshake_timeout = slot_.server().limits.requestTimeout;
    timeouts.idle_timeout = slot_.server().limits.webSocketIdleTimeout;
    ws_.set_option(timeouts);
    ws_.set_option(websocket::stream_base::decorator(
        [](websocket::response_type& response) { response.set(bhttp::field::server, kServerName); }));
    ws_.read_message_max(slot_.server().limits.maxWebSocketMessage);
    ws_.async_accept(request, [self = shared_from_this()](beast::error_code error) { self->OnAccept(error); });
  }

  void Wake() override {
    if (!handler_ || writing_) return;
    auto message = handler_->NextMessage();
    if (!message) return;
    writing_ = std::move(message);
    ws_.binary(writing_->binary);
    ws_.async_write(writing_->buffers, [self = shared_from_this()](beast::error_code error, std::size_t) {
      self->writing_.reset();
      if (error) return self->Finish();
      self->Wake();
    });
  }

  void Close() override { CloseNow(); }

  void CloseNow() override {
    beast::error_code ignored;
    beast::get_lowest_layer(ws_).socket().shutdown(tcp::socket::shutdown_both, ignored);
    beast::get_lowest_layer(ws_).socket().close(ignored);
  }

 private:
  void OnAccept(beast::error_code error) {
    if (error || slot_.server().stopped) return;
    handler_ = opener_(weak_from_this());
    opener_ = nullptr;
    if (!handler_) return Close();
    Read();
    Wake();
  }

  void Read() {
    ws_.async_read(readBuffer_, [self = shared_from_this()](beast::error_code error, std::size_t) {
      if (error) return self->Finish();
      // Binary messages mean nothing here and are dropped.
      if (self->ws_.got_text() && self->handler_) self->handler_->OnText(beast::buffers_to_string(self->readBuffer_.data()));
      self->readBuffer_.consume(self->readBuffer_.size());
      self->Read();
    });
  }

  // The connection is over: the handler hears it once, and the cycle
  // between the two is broken.
  void Finish() {
    if (!handler_) return;
    auto handler = std::move(handler_);
    handler->OnClose();
    Close();
  }

  websocket::stream<beast::tcp_stream> ws_;
  ConnectionSlot slot_;
  WebSocketOpener opener_;
  std::shared_ptr<WebSocketHandler> handler_;
  std::optional<OutgoingMessage> writing_;
  beast::flat_buffer readBuffer_;
};

class HttpSession : public detail::Connection, public std::enable_shared_from_this<HttpSession> {
 public:
  HttpSession(tcp::socket socket, ConnectionSlot slot) : stream_(std::move(socket)), slot_(std::move(slot)) {}

  void CloseNow() override {
    beast::error_code ignored;
    stream_.socket().close(ignored);
  }

  void Read() {
    parser_.emplace();
    parser_->header_limit(slot_.server().limits.maxRequestHeader);
    stream_.expires_after(slot_.server().limits.requestTimeout);
    bhttp::async_read(stream_, buffer_, *parser_,
                      [self = shared_from_this()](beast::error_code error, std::size_t) { self->OnRead(error); });
  }

 private:
  void OnRead(beast::error_code error) {
    if (error == bhttp::error::end_of_stream || error == beast::error::timeout || error == asio::error::operation_aborted ||
        error == asio::error::connection_reset || error == asio::error::eof)
      return Shut();
    if (error) {
      // Malformed, too large, or carrying a body a GET has no use for.
      const auto status =
          error == bhttp::error::header_limit ? bhttp::status::request_header_fields_too_large : bhttp::status::bad_request;
      return Reply(Response::Error(status), false, 11);
    }
    auto request = parser_->release();
    if (websocket::is_upgrade(request)) return Upgrade(std::move(request));
    Reply(slot_.server().Dispatch(request), request.keep_alive(), request.version());
  }

  void Upgrade(bhttp::request<bhttp::empty_body> request) {
    auto& server = slot_.server();
    const auto opener = server.webSocketOpeners.find(View(request.target()));
    if (opener == server.webSocketOpeners.end()) return Reply(Response::Error(bhttp::status::not_found), false, 11);
    if (!IsOriginAllowed(View(request[bhttp::field::host]), View(request[bhttp::field::origin])))
      return Reply(Response::Error(bhttp::status::forbidden), false, 11);
    stream_.expires_never();
    auto session = std::make_shared<WebSocketSession>(stream_.release_socket(), std::move(slot_));
    session->Accept(std::move(request), opener->second);
  }

  void Reply(const Response& response, bool keepAlive, unsigned version) {
    response_.emplace(response.status, version);
    response_->set(bhttp::field::server, kServerName);
    response_->set(bhttp::field::content_type, response.contentType);
    response_->set(bhttp::field::cache_control, "no-store");
    response_->set("X-Content-Type-Options", "nosniff");
    response_->set("X-Frame-Options", "DENY");
    response_->body() = response.body;
    response_->keep_alive(keepAlive);
    response_->prepare_payload();
    bhttp::async_write(stream_, *response_, [self = shared_from_this(), keepAlive](beast::error_code error, std::size_t) {
      if (error || !keepAlive) return self->Shut();
      self->Read();
    });
  }

  void Shut() {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
  }

  beast::tcp_stream stream_;
  ConnectionSlot slot_;
  beast::flat_buffer buffer_;
  std::optional<bhttp::request_parser<bhttp::empty_body>> parser_;
  std::optional<bhttp::response<bhttp::string_body>> response_;
};

}  // namespace

void detail::ServerState::Accept() {
  acceptor.async_accept([self = shared_from_this()](beast::error_code error, tcp::socket socket) {
    if (error == asio::error::operation_aborted || self->stopped) return;
    if (!error) {
      // Over the limit a connection is closed at once: a flood of clients
      // cannot make the server hold more sockets and buffers.
      if (self->connections < self->limits.maxConnections) {
        ++self->connections;
        auto session = std::make_shared<HttpSession>(std::move(socket), ConnectionSlot(self));
        self->Register(session);
        session->Read();
      }
    }
    self->Accept();
  });
}

Response detail::ServerState::Dispatch(const bhttp::request<bhttp::empty_body>& request) const {
  if (request.method() != bhttp::verb::get) return Response::Error(bhttp::status::method_not_allowed);
  const std::string_view target = View(request.target());
  if (!target.starts_with('/')) return Response::Error(bhttp::status::bad_request);
  const auto question = target.find('?');
  Request view{target.substr(0, question), question == std::string_view::npos ? "" : target.substr(question + 1)};
  const auto handler = getHandlers.find(view.path);
  if (handler == getHandlers.end()) return Response::Error(bhttp::status::not_found);
  try {
    return handler->second(view);
  } catch (const std::exception&) {
    return Response::Error(bhttp::status::internal_server_error);
  }
}

HttpServer::HttpServer(asio::io_context& io, const tcp::endpoint& endpoint, ServerLimits limits)
    : impl_(std::make_shared<detail::ServerState>(io, limits)) {
  auto fail = [&](const boost::system::error_code& error) {
    throw std::system_error(error, "cannot listen on " + endpoint.address().to_string() + ":" +
                                       std::to_string(endpoint.port()));
  };
  boost::system::error_code error;
  impl_->acceptor.open(endpoint.protocol(), error);
  if (!error) impl_->acceptor.set_option(tcp::acceptor::reuse_address(true), error);
  if (!error) impl_->acceptor.bind(endpoint, error);
  if (!error) impl_->acceptor.listen(asio::socket_base::max_listen_connections, error);
  if (error) fail(error);
}

HttpServer::~HttpServer() { Stop(); }

void HttpServer::AddGet(std::string path, GetHandler handler) { impl_->getHandlers[std::move(path)] = std::move(handler); }

void HttpServer::AddWebSocket(std::string path, WebSocketOpener opener) {
  impl_->webSocketOpeners[std::move(path)] = std::move(opener);
}

void HttpServer::Start() { impl_->Accept(); }

void HttpServer::Stop() {
  if (impl_->stopped) return;
  impl_->stopped = true;
  boost::system::error_code ignored;
  impl_->acceptor.close(ignored);
  for (auto& weak : impl_->openConnections)
    if (auto connection = weak.lock()) connection->CloseNow();
  impl_->openConnections.clear();
}

tcp::endpoint HttpServer::LocalEndpoint() const {
  boost::system::error_code ignored;
  return impl_->acceptor.local_endpoint(ignored);
}

}  // namespace korv::vexatools::http
