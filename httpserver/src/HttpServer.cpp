#include "korv/vexatools/http/HttpServer.hpp"

#include <boost/asio/ip/address.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <climits>
#include <list>
#include <stdexcept>
#include <system_error>

namespace korv::vexatools::http {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
namespace websocket = boost::beast::websocket;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

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

namespace {

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

// An IPv4 address written as IPv6 (::ffff:a.b.c.d) is the IPv4 address.
asio::ip::address Unmapped(const asio::ip::address& address) {
  if (address.is_v6() && address.to_v6().is_v4_mapped())
    return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
  return address;
}

bool IsLoopback(const asio::ip::address& address) { return Unmapped(address).is_loopback(); }

// The name of a Host header without its port, or nothing when the header is malformed.
std::optional<std::string_view> HostName(std::string_view host, bool& bracketed) {
  std::string_view port;
  bracketed = host.starts_with('[');
  if (bracketed) {
    const auto close = host.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    port = host.substr(close + 1);
    host = host.substr(1, close - 1);
    if (!port.empty() && !port.starts_with(':')) return std::nullopt;
  } else if (const auto colon = host.find(':'); colon != std::string_view::npos) {
    port = host.substr(colon);
    host = host.substr(0, colon);
  }
  if (!port.empty()) {
    port.remove_prefix(1);
    unsigned number = 0;
    const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), number);
    if (port.empty() || error != std::errc() || end != port.data() + port.size() || number > 65535) return std::nullopt;
  }
  if (!bracketed && host.ends_with('.')) host.remove_suffix(1);  // "localhost." is "localhost"
  if (host.empty()) return std::nullopt;
  return host;
}

std::string MachineName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0) return {};
  return Lower(name);
}

}  // namespace

bool IsHostAllowed(std::string_view host, const asio::ip::address& listenAddress, std::string_view machineName) {
  if (host.empty()) return true;
  bool bracketed = false;
  const auto name = HostName(host, bracketed);
  if (!name) return false;
  const auto listen = Unmapped(listenAddress);
  const bool onLoopback = IsLoopback(listen);
  boost::system::error_code parseError;
  const auto address = bracketed ? asio::ip::address(asio::ip::make_address_v6(std::string(*name), parseError))
                                 : asio::ip::address(asio::ip::make_address_v4(std::string(*name), parseError));
  if (!parseError) {
    const auto named = Unmapped(address);
    return listen.is_unspecified() || named == listen || (onLoopback && IsLoopback(named));
  }
  if (bracketed) return false;
  const auto lower = Lower(*name);
  if (lower == "localhost") return onLoopback || listen.is_unspecified();
  return !onLoopback && !machineName.empty() && lower == Lower(machineName);
}

namespace detail {

// An open connection, as Stop and the eviction of idle connections see it.
class Connection {
 public:
  virtual ~Connection() = default;
  virtual void CloseNow() = 0;
  // Since when it has been waiting for a request; empty while it is busy.
  virtual std::optional<Clock::time_point> IdleSince() const { return std::nullopt; }
  // Closes it to make room for another; it stops counting at once.
  virtual void Evict() { CloseNow(); }
};

// Everything the sessions share with the server. Sessions hold it by
// shared_ptr, so a server destroyed first leaves them a valid registry.
struct ServerState : std::enable_shared_from_this<ServerState> {
  ServerState(asio::io_context& context, ServerLimits serverLimits)
      : io(context), acceptor(context), limits(serverLimits), machineName(MachineName()) {}

  void Accept();
  Response Dispatch(const bhttp::request<bhttp::empty_body>& request) const;
  bool HostAllowed(std::string_view host) const {
    return !limits.checkHost || IsHostAllowed(host, listenAddress, machineName);
  }

  // Counts a new connection from `peer`, making room by evicting an idle
  // one when a limit is reached; false when there is no room.
  bool Admit(const asio::ip::address& peer);
  void Leave(const asio::ip::address& peer);
  bool EvictLongestIdle(const asio::ip::address* peer);

  void Register(const std::shared_ptr<Connection>& connection, const asio::ip::address& peer) {
    openConnections.remove_if([](const auto& open) { return open.connection.expired(); });
    openConnections.push_back({connection, peer});
  }

  asio::io_context& io;
  tcp::acceptor acceptor;
  ServerLimits limits;
  asio::ip::address listenAddress;
  const std::string machineName;
  std::map<std::string, GetHandler, std::less<>> getHandlers;
  std::map<std::string, WebSocketOpener, std::less<>> webSocketOpeners;
  std::size_t connections = 0;
  std::map<asio::ip::address, std::size_t> connectionsPerAddress;
  // Open connections, closed by Stop and evicted when idle.
  struct OpenConnection {
    std::weak_ptr<Connection> connection;
    asio::ip::address peer;
  };
  std::list<OpenConnection> openConnections;
  bool stopped = false;
};

bool ServerState::Admit(const asio::ip::address& peer) {
  const auto fromPeer = connectionsPerAddress.find(peer);
  if (fromPeer != connectionsPerAddress.end() && fromPeer->second >= limits.maxConnectionsPerAddress &&
      !EvictLongestIdle(&peer))
    return false;
  if (connections >= limits.maxConnections && !EvictLongestIdle(nullptr)) return false;
  ++connections;
  ++connectionsPerAddress[peer];
  return true;
}

void ServerState::Leave(const asio::ip::address& peer) {
  --connections;
  const auto fromPeer = connectionsPerAddress.find(peer);
  if (fromPeer != connectionsPerAddress.end() && --fromPeer->second == 0) connectionsPerAddress.erase(fromPeer);
}

bool ServerState::EvictLongestIdle(const asio::ip::address* peer) {
  std::shared_ptr<Connection> victim;
  Clock::time_point victimIdleSince{};
  for (const auto& open : openConnections) {
    if (peer && open.peer != *peer) continue;
    const auto connection = open.connection.lock();
    const auto idleSince = connection ? connection->IdleSince() : std::nullopt;
    if (idleSince && (!victim || *idleSince < victimIdleSince)) {
      victim = connection;
      victimIdleSince = *idleSince;
    }
  }
  if (!victim) return false;
  victim->Evict();
  return true;
}

}  // namespace detail

namespace {

// Counts an admitted connection against the server's limits until it ends
// or is evicted.
class ConnectionSlot {
 public:
  ConnectionSlot(std::shared_ptr<detail::ServerState> server, asio::ip::address peer)
      : server_(std::move(server)), peer_(peer), counted_(true) {}
  ~ConnectionSlot() { Release(); }
  ConnectionSlot(ConnectionSlot&& other) noexcept
      : server_(other.server_), peer_(other.peer_), counted_(std::exchange(other.counted_, false)) {}
  ConnectionSlot& operator=(ConnectionSlot&&) = delete;

  void Release() {
    if (std::exchange(counted_, false)) server_->Leave(peer_);
  }
  detail::ServerState& server() const { return *server_; }
  const asio::ip::address& peer() const { return peer_; }

 private:
  std::shared_ptr<detail::ServerState> server_;
  asio::ip::address peer_;
  bool counted_;
};

class WebSocketSession : public WebSocketChannel,
                         public detail::Connection,
                         public std::enable_shared_from_this<WebSocketSession> {
 public:
  WebSocketSession(tcp::socket socket, ConnectionSlot slot) : ws_(std::move(socket)), slot_(std::move(slot)) {}

  void Accept(bhttp::request<bhttp::empty_body> request, WebSocketOpener opener) {
    opener_ = std::move(opener);
    slot_.server().Register(shared_from_this(), slot_.peer());
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

  std::optional<Clock::time_point> IdleSince() const override { return idleSince_; }

  void Evict() override {
    idleSince_.reset();
    slot_.Release();
    CloseNow();
  }

  void Read() {
    const auto& limits = slot_.server().limits;
    parser_.emplace();
    parser_->header_limit(limits.maxRequestHeader);
    // A connection that says nothing soon after it opens is not a client's.
    stream_.expires_after(answered_ ? limits.requestTimeout : limits.firstRequestTimeout);
    idleSince_ = Clock::now();
    bhttp::async_read(stream_, buffer_, *parser_,
                      [self = shared_from_this()](beast::error_code error, std::size_t) { self->OnRead(error); });
  }

 private:
  void OnRead(beast::error_code error) {
    idleSince_.reset();
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
    if (!slot_.server().HostAllowed(View(request[bhttp::field::host])))
      return Reply(Response::Error(bhttp::status::misdirected_request), false, request.version());
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
      self->answered_ = true;
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
  std::optional<Clock::time_point> idleSince_;
  bool answered_ = false;
};

}  // namespace

void detail::ServerState::Accept() {
  acceptor.async_accept([self = shared_from_this()](beast::error_code error, tcp::socket socket) {
    if (error == asio::error::operation_aborted || self->stopped) return;
    boost::system::error_code peerError;
    const auto peer = error ? asio::ip::address() : Unmapped(socket.remote_endpoint(peerError).address());
    // Without room a connection is closed at once: a flood of clients
    // cannot make the server hold more sockets and buffers.
    if (!error && !peerError && self->Admit(peer)) {
      auto session = std::make_shared<HttpSession>(std::move(socket), ConnectionSlot(self, peer));
      self->Register(session, peer);
      session->Read();
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
  impl_->listenAddress = endpoint.address();
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
  for (auto& open : impl_->openConnections)
    if (auto connection = open.connection.lock()) connection->CloseNow();
  impl_->openConnections.clear();
}

tcp::endpoint HttpServer::LocalEndpoint() const {
  boost::system::error_code ignored;
  return impl_->acceptor.local_endpoint(ignored);
}

}  // namespace korv::vexatools::http
