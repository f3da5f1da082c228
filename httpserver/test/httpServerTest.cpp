// The HTTP server as clients meet it: handlers by exact path, refusals,
// bounds, idle and foreign-host clients, the WebSocket Origin rule and the
// pull of outgoing messages.
#include <boost/asio/connect.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "korv/vexatools/http/HttpServer.hpp"
#include "korv/vexatools/http/Metrics.hpp"
#include "vexatools/testsupport/Http.hpp"

namespace korv::vexatools::http {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
namespace websocket = boost::beast::websocket;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;
using ::vexatools::testsupport::HttpGet;
using ::vexatools::testsupport::IdleConnections;

// Sends back every text message in upper case, as one message per pull.
class ShoutingHandler : public WebSocketHandler {
 public:
  explicit ShoutingHandler(std::weak_ptr<WebSocketChannel> channel) : channel_(std::move(channel)) {}
  void OnText(std::string_view message) override {
    std::string loud(message);
    for (auto& c : loud) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    waiting_.push_back(std::make_shared<const std::string>(std::move(loud)));
    if (auto channel = channel_.lock()) channel->Wake();
  }
  std::optional<OutgoingMessage> NextMessage() override {
    if (waiting_.empty()) return std::nullopt;
    auto text = waiting_.front();
    waiting_.erase(waiting_.begin());
    return OutgoingMessage::Text(text);
  }
  void OnClose() override { closed = true; }
  bool closed = false;

 private:
  std::weak_ptr<WebSocketChannel> channel_;
  std::vector<std::shared_ptr<const std::string>> waiting_;
};

class HttpServerTest : public testing::Test {
 protected:
  void StartServer(ServerLimits limits = {}) {
    server_.emplace(io_, ParseListenAddress("127.0.0.1:0"), limits);
    server_->AddGet("/hello", [](const Request& request) {
      return Response::Text("hello " + std::string(request.query) + "\n");
    });
    server_->AddGet("/broken", [](const Request&) -> Response { throw std::runtime_error("handler fault"); });
    server_->AddWebSocket("/ws", [this](std::weak_ptr<WebSocketChannel> channel) {
      auto handler = std::make_shared<ShoutingHandler>(std::move(channel));
      lastHandler_ = handler;
      return handler;
    });
    server_->Start();
    port_ = server_->LocalEndpoint().port();
    thread_ = std::thread([this] { io_.run(); });
  }

  void TearDown() override {
    if (!thread_.joinable()) return;
    asio::post(io_, [this] { server_->Stop(); });
    thread_.join();  // returns once every connection is closed
  }

  tcp::socket Connect() {
    tcp::socket socket(clientIo_);
    socket.connect({asio::ip::address_v4::loopback(), port_});
    return socket;
  }

  bhttp::response<bhttp::string_body> Get(const std::string& target, bhttp::verb verb = bhttp::verb::get) {
    auto socket = Connect();
    bhttp::request<bhttp::string_body> request(verb, target, 11);
    request.set(bhttp::field::host, "127.0.0.1");
    bhttp::write(socket, request);
    beast::flat_buffer buffer;
    bhttp::response<bhttp::string_body> response;
    bhttp::read(socket, buffer, response);
    return response;
  }

  // Sends raw request text and returns the status code of the answer, or 0 when the connection just ended.
  unsigned RawStatus(const std::string& text) {
    auto socket = Connect();
    asio::write(socket, asio::buffer(text));
    beast::flat_buffer buffer;
    bhttp::response<bhttp::string_body> response;
    beast::error_code error;
    bhttp::read(socket, buffer, response, error);
    return error ? 0 : response.result_int();
  }

  asio::io_context io_;
  asio::io_context clientIo_;
  std::optional<HttpServer> server_;
  std::thread thread_;
  unsigned short port_ = 0;
  std::weak_ptr<ShoutingHandler> lastHandler_;
};

TEST_F(HttpServerTest, AnswersRegisteredPathsAndRefusesEveryOtherOne) {
  StartServer();
  const auto hello = Get("/hello?name=x");
  EXPECT_EQ(hello.result(), bhttp::status::ok);
  EXPECT_EQ(hello.body(), "hello name=x\n");
  EXPECT_EQ(hello[bhttp::field::content_type], "text/plain; charset=utf-8");
  EXPECT_EQ(hello[bhttp::field::cache_control], "no-store");

  for (const char* target : {"/", "/hello/", "/HELLO", "/../hello", "/%68ello", "/hello/../etc/passwd", "//hello"})
    EXPECT_EQ(Get(target).result(), bhttp::status::not_found) << target;
  EXPECT_EQ(Get("hello").result(), bhttp::status::bad_request);
  EXPECT_EQ(Get("/hello", bhttp::verb::post).result(), bhttp::status::method_not_allowed);
  EXPECT_EQ(Get("/broken").result(), bhttp::status::internal_server_error);
}

TEST_F(HttpServerTest, BoundsWhatAClientSends) {
  StartServer();
  EXPECT_EQ(RawStatus("GET /hello HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Long: " + std::string(20000, 'a') + "\r\n\r\n"), 431u);
  EXPECT_EQ(RawStatus("GET /hello HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 5\r\n\r\nhello"), 400u);
  EXPECT_EQ(RawStatus("GARBAGE\r\n\r\n"), 400u);
  EXPECT_EQ(Get("/hello").result(), bhttp::status::ok);  // still serving
}

TEST_F(HttpServerTest, KeepsConnectionsAlive) {
  StartServer();
  auto socket = Connect();
  beast::flat_buffer buffer;
  for (int i = 0; i < 3; ++i) {
    bhttp::request<bhttp::empty_body> request(bhttp::verb::get, "/hello", 11);
    request.set(bhttp::field::host, "127.0.0.1");
    bhttp::write(socket, request);
    bhttp::response<bhttp::string_body> response;
    bhttp::read(socket, buffer, response);
    EXPECT_EQ(response.result(), bhttp::status::ok);
  }
}

TEST_F(HttpServerTest, ClosesConnectionsBeyondTheLimit) {
  ServerLimits limits;
  limits.maxConnections = 2;
  StartServer(limits);
  // Open WebSockets are busy connections: none of them makes room for another.
  websocket::stream<tcp::socket> first(Connect());
  first.handshake("127.0.0.1", "/ws");
  websocket::stream<tcp::socket> second(Connect());
  second.handshake("127.0.0.1", "/ws");
  auto third = Connect();
  // The third is closed by the server without an answer.
  asio::write(third, asio::buffer(std::string("GET /hello HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")));
  char byte = 0;
  beast::error_code error;
  third.read_some(asio::buffer(&byte, 1), error);
  EXPECT_TRUE(error == asio::error::eof || error == asio::error::connection_reset) << error.message();
  first.next_layer().close();
  second.next_layer().close();
  EXPECT_TRUE([&] {
    for (int i = 0; i < 100; ++i) {
      if (RawStatus("GET /hello HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n") == 200) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }());
}

// 64 sockets that never send a request, from the client's own address or
// from many, must not keep it out: the one idle longest makes room.
TEST_F(HttpServerTest, IdleConnectionsDoNotLockClientsOut) {
  StartServer();
  {
    IdleConnections idle(port_, 64, 64);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(HttpGet(port_, "/hello").status, 200u);
    const int open = idle.StillOpen();
    EXPECT_GT(open, 0);
    EXPECT_LE(open, 16) << "at most 16 connections from one address";
  }
  IdleConnections idle(port_, 64, 4);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(HttpGet(port_, "/hello").status, 200u);
  EXPECT_GE(idle.StillOpen(), 64 - 2 * 10) << "only as many idle connections are closed as needed";
}

TEST_F(HttpServerTest, AConnectionThatSaysNothingIsClosedSoon) {
  ServerLimits limits;
  limits.firstRequestTimeout = 1s;
  StartServer(limits);
  IdleConnections idle(port_, 1, 1);
  const auto opened = std::chrono::steady_clock::now();
  for (int i = 0; i < 100 && idle.StillOpen() == 1; ++i) std::this_thread::sleep_for(50ms);
  EXPECT_EQ(idle.StillOpen(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - opened, 4s);
  // A client that sends its request in time keeps its connection for the next one.
  auto socket = Connect();
  beast::flat_buffer buffer;
  for (int i = 0; i < 2; ++i) {
    if (i == 1) std::this_thread::sleep_for(1500ms);
    bhttp::request<bhttp::empty_body> request(bhttp::verb::get, "/hello", 11);
    request.set(bhttp::field::host, "127.0.0.1");
    bhttp::write(socket, request);
    bhttp::response<bhttp::string_body> response;
    bhttp::read(socket, buffer, response);
    EXPECT_EQ(response.result(), bhttp::status::ok);
  }
}

// A page on a DNS name rebound to this server's address sends that name as
// Host: it gets nothing, neither pages nor WebSockets.
TEST_F(HttpServerTest, RefusesRequestsNamingAnotherHost) {
  StartServer();
  const auto port = std::to_string(port_);
  for (const std::string& host : std::vector<std::string>{"rebound.example:" + port, "rebound.example", "127.0.0.1.rebound.example",
                                 "localhost.rebound.example:" + port, "127.0.0.1:" + port + "x", "[::1", "10.0.0.1"})
    EXPECT_EQ(HttpGet(port_, "/hello", host).status, 421u) << host;
  for (const std::string& host : std::vector<std::string>{"127.0.0.1:" + port, "localhost:" + port, "LocalHost.", "127.0.0.1:9999", "[::1]:1"})
    EXPECT_EQ(HttpGet(port_, "/hello", host).status, 200u) << host;

  websocket::stream<tcp::socket> ws(Connect());
  ws.set_option(websocket::stream_base::decorator([&](websocket::request_type& request) {
    request.set(bhttp::field::origin, "http://rebound.example:" + port);
  }));
  beast::error_code error;
  ws.handshake("rebound.example:" + port, "/ws", error);
  EXPECT_EQ(error, websocket::error::upgrade_declined);
}

TEST_F(HttpServerTest, WebSocketTalksBothWaysAndTellsTheHandlerWhenItEnds) {
  StartServer();
  websocket::stream<tcp::socket> ws(Connect());
  ws.set_option(websocket::stream_base::decorator(
      [this](websocket::request_type& request) { request.set(bhttp::field::origin, "http://127.0.0.1:" + std::to_string(port_)); }));
  ws.handshake("127.0.0.1:" + std::to_string(port_), "/ws");
  for (const std::string word : {"one", "two"}) ws.write(asio::buffer(word));
  for (const std::string expected : {"ONE", "TWO"}) {
    beast::flat_buffer buffer;
    ws.read(buffer);
    EXPECT_TRUE(ws.got_text());
    EXPECT_EQ(beast::buffers_to_string(buffer.data()), expected);
  }
  ws.close(websocket::close_code::normal);
  std::promise<bool> closed;
  for (int i = 0; i < 100; ++i) {
    std::promise<bool> seen;
    asio::post(io_, [&] { seen.set_value(lastHandler_.expired() || lastHandler_.lock()->closed); });
    if (seen.get_future().get()) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ADD_FAILURE() << "the handler never heard the connection end";
}

TEST_F(HttpServerTest, WebSocketRefusesForeignOriginsAndLargeMessages) {
  StartServer();
  {
    websocket::stream<tcp::socket> ws(Connect());
    ws.set_option(websocket::stream_base::decorator(
        [](websocket::request_type& request) { request.set(bhttp::field::origin, "http://evil.example"); }));
    beast::error_code error;
    ws.handshake("127.0.0.1:" + std::to_string(port_), "/ws", error);
    EXPECT_EQ(error, websocket::error::upgrade_declined);
  }
  {
    websocket::stream<tcp::socket> ws(Connect());
    beast::error_code error;
    ws.handshake("127.0.0.1", "/other", error);
    EXPECT_EQ(error, websocket::error::upgrade_declined);
  }
  websocket::stream<tcp::socket> ws(Connect());
  ws.handshake("127.0.0.1", "/ws");  // a program without Origin
  ws.write(asio::buffer(std::string(10000, 'x')));
  beast::flat_buffer buffer;
  beast::error_code error;
  ws.read(buffer, error);
  EXPECT_TRUE(error) << "a message over the limit must end the connection";
}

TEST(ListenAddressTest, ParsesAddressesAndRefusesOtherText) {
  EXPECT_EQ(ParseListenAddress("127.0.0.1:8080"), tcp::endpoint(asio::ip::make_address("127.0.0.1"), 8080));
  EXPECT_EQ(ParseListenAddress("0.0.0.0:80"), tcp::endpoint(asio::ip::make_address("0.0.0.0"), 80));
  EXPECT_EQ(ParseListenAddress("[::1]:9000"), tcp::endpoint(asio::ip::make_address("::1"), 9000));
  EXPECT_EQ(ParseListenAddress("localhost:1"), tcp::endpoint(asio::ip::make_address("127.0.0.1"), 1));
  for (const char* bad : {"", "8080", "127.0.0.1", "127.0.0.1:", ":8080", "127.0.0.1:65536", "127.0.0.1:80x",
                          "127.0.0.1:-1", "host.example:80", "300.1.1.1:80", "::1:80"})
    EXPECT_THROW(ParseListenAddress(bad), std::invalid_argument) << bad;
}

TEST(ListenAddressTest, PortInUseIsAClearError) {
  asio::io_context io;
  HttpServer first(io, ParseListenAddress("127.0.0.1:0"));
  try {
    HttpServer second(io, first.LocalEndpoint());
    FAIL() << "bound a port in use";
  } catch (const std::system_error& error) {
    EXPECT_NE(std::string(error.what()).find("127.0.0.1:" + std::to_string(first.LocalEndpoint().port())),
              std::string::npos)
        << error.what();
  }
}

TEST(OriginTest, OnlyThisServerOrNoOrigin) {
  EXPECT_TRUE(IsOriginAllowed("127.0.0.1:8080", ""));
  EXPECT_TRUE(IsOriginAllowed("127.0.0.1:8080", "http://127.0.0.1:8080"));
  EXPECT_TRUE(IsOriginAllowed("Viewer.Lab:8080", "http://viewer.lab:8080"));
  EXPECT_FALSE(IsOriginAllowed("127.0.0.1:8080", "http://127.0.0.1:8081"));
  EXPECT_FALSE(IsOriginAllowed("127.0.0.1:8080", "https://127.0.0.1:8080"));
  EXPECT_FALSE(IsOriginAllowed("127.0.0.1:8080", "http://127.0.0.1:8080.evil"));
  EXPECT_FALSE(IsOriginAllowed("127.0.0.1:8080", "null"));
  EXPECT_FALSE(IsOriginAllowed("", "http://"));
}

TEST(HostTest, NamesOfTheListenAddressOnly) {
  const auto loopback = asio::ip::make_address("127.0.0.1");
  const auto any = asio::ip::make_address("0.0.0.0");
  const auto lan = asio::ip::make_address("192.168.1.5");
  const auto loopback6 = asio::ip::make_address("::1");
  struct Case {
    const char* host;
    bool onLoopback, onAny, onLan;
  };
  for (const auto& [host, onLoopback, onAny, onLan] : std::vector<Case>{
           {"", true, true, true},
           {"127.0.0.1:8080", true, true, false},
           {"127.0.0.2", true, true, false},
           {"[::1]:8080", true, true, false},
           {"[::ffff:127.0.0.1]", true, true, false},
           {"localhost", true, true, false},
           {"LOCALHOST.:80", true, true, false},
           {"192.168.1.5:8080", false, true, true},
           {"labpc:8080", false, true, true},
           {"LabPC.", false, true, true},
           {"labpc.rebound.example", false, false, false},
           {"rebound.example", false, false, false},
           {"sub.localhost", false, false, false},
           {"127.1", false, false, false},
           {"::1", false, false, false},
           {"[::1]x", false, false, false},
           {"127.0.0.1:", false, false, false},
           {"127.0.0.1:65536", false, false, false},
           {"127.0.0.1:80:80", false, false, false},
           {":80", false, false, false}}) {
    EXPECT_EQ(IsHostAllowed(host, loopback, "labpc"), onLoopback) << host;
    EXPECT_EQ(IsHostAllowed(host, loopback6, "labpc"), onLoopback) << host;
    EXPECT_EQ(IsHostAllowed(host, any, "labpc"), onAny) << host;
    EXPECT_EQ(IsHostAllowed(host, lan, "labpc"), onLan) << host;
  }
  EXPECT_FALSE(IsHostAllowed("x", lan, "")) << "no machine name, no name matches";
}

TEST(MetricsPage, WritesEachFamilyInTheTextExpositionFormat) {
  MetricsPage page;
  page.Family("jobs_total", "counter", "Jobs done.", {{"", 3}})
      .Family("drops_total", "counter", "Drops by cause.",
              {{R"(cause="a")", 1}, {R"(cause="b")", 18446744073709551615u}});
  EXPECT_EQ(page.Text(),
            "# HELP jobs_total Jobs done.\n# TYPE jobs_total counter\njobs_total 3\n"
            "# HELP drops_total Drops by cause.\n# TYPE drops_total counter\n"
            "drops_total{cause=\"a\"} 1\ndrops_total{cause=\"b\"} 18446744073709551615\n");
}

}  // namespace
}  // namespace korv::vexatools::http
