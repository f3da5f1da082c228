// vexatoolsViewer as a user runs it: options, the page's files, refused
// paths and origins, and a page's WebSocket talking to a live stream.
#include <sys/socket.h>
#include <sys/time.h>

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <string_view>

#include "TestImages.hpp"
#include "TestSupport.hpp"
#include "vexatools/testsupport/Process.hpp"

namespace korv::vexatools::viewer::test {
namespace {

using namespace std::chrono_literals;
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
namespace websocket = boost::beast::websocket;
using tcp = asio::ip::tcp;
using lumo::test::BrokerProcess;
using ::vexatools::testsupport::Process;

// Every read gives up after 10 s, so a silent server fails the test instead of hanging it.
tcp::socket ConnectWithTimeout(asio::io_context& io, unsigned short port) {
  tcp::socket socket(io);
  socket.connect({asio::ip::address_v4::loopback(), port});
  const timeval timeout{10, 0};
  setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  return socket;
}

struct PageMessage {
  bool binary = false;
  std::vector<std::uint8_t> bytes;
  std::string text() const { return {bytes.begin(), bytes.end()}; }
};

// The WebSocket side of the page.
class PageClient {
 public:
  PageClient(unsigned short port, const std::string& origin) : ws_(ConnectWithTimeout(io_, port)) {
    const std::string host = "127.0.0.1:" + std::to_string(port);
    ws_.set_option(websocket::stream_base::decorator(
        [origin](websocket::request_type& request) { request.set(bhttp::field::origin, origin); }));
    ws_.handshake(host, "/ws", error);
  }
  PageMessage Read() {
    beast::flat_buffer buffer;
    ws_.read(buffer);
    const auto* data = static_cast<const std::uint8_t*>(buffer.data().data());
    return {ws_.got_binary(), std::vector<std::uint8_t>(data, data + buffer.size())};
  }
  // Reads until `wanted` holds, at most `limit` messages.
  PageMessage ReadUntil(const std::function<bool(const PageMessage&)>& wanted, int limit = 200) {
    for (int i = 0; i < limit; ++i) {
      auto message = Read();
      if (wanted(message)) return message;
    }
    throw std::runtime_error("the wanted message did not come");
  }
  void Send(const std::string& text) { ws_.write(asio::buffer(text)); }

  beast::error_code error;

 private:
  asio::io_context io_;
  websocket::stream<tcp::socket> ws_;
};

unsigned Status(unsigned short port, const std::string& target) {
  asio::io_context io;
  auto socket = ConnectWithTimeout(io, port);
  bhttp::request<bhttp::empty_body> request(bhttp::verb::get, target, 11);
  request.set(bhttp::field::host, "127.0.0.1");
  bhttp::write(socket, request);
  beast::flat_buffer buffer;
  bhttp::response<bhttp::string_body> response;
  bhttp::read(socket, buffer, response);
  return response.result_int();
}

bool IsFrame(const PageMessage& message) {
  return message.binary && message.bytes.size() >= 48 && message.text().starts_with("VXF1");
}

// lumoPublish's pattern: a diagonal ramp moved by 4 pixels per image.
std::uint16_t PublishedLevel(int x, int y, std::uint64_t sequence, int width, int height) {
  const std::uint64_t shift = (sequence - 1) * 4;
  return static_cast<std::uint16_t>((x + y + shift) % (width + height) * 65535 / (width + height));
}

TEST(ViewerProgram, HelpAndCommandLineErrors) {
  auto help = ::vexatools::testsupport::RunProgram(VIEWER_PATH, {"--help"});
  EXPECT_EQ(help.exitStatus, 0);
  for (const char* option : {"--broker-uri", "--http", "--stream", "--max-fps"})
    EXPECT_NE(help.out.find(option), std::string::npos) << option;

  for (const auto& [arguments, expected] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"--http", "nonsense"}, "--http"},
           {{"--http", "127.0.0.1:99999"}, "port"},
           {{"--http", "10.1.2.3.4:80"}, "IP address"},
           {{"--max-fps", "0"}, "--max-fps"},
           {{"--stream", "two words"}, "stream name"},
           {{"stray"}, "stray"}}) {
    const auto result = ::vexatools::testsupport::RunProgram(VIEWER_PATH, arguments);
    EXPECT_EQ(result.exitStatus, 1) << arguments.front();
    EXPECT_NE(result.err.find(expected), std::string::npos) << result.err;
  }
}

TEST(ViewerProgram, PortInUseIsAClearError) {
  asio::io_context io;
  tcp::acceptor taken(io, {asio::ip::address_v4::loopback(), 0});
  const auto address = "127.0.0.1:" + std::to_string(taken.local_endpoint().port());
  const auto result = ::vexatools::testsupport::RunProgram(VIEWER_PATH, {"--http", address});
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_NE(result.err.find("cannot listen on " + address), std::string::npos) << result.err;
}

class ViewerServing : public testing::Test {
 protected:
  // The viewer picks its own port (0): a port found free beforehand could be
  // taken by another test's connection before the viewer binds it.
  ViewerServing()
      : publisher_(LUMO_PUBLISH_TOOL_PATH,
                   {"--broker-uri", broker_.uri(), "--stream", "alpha", "-w", "64", "-e", "48", "--rate", "40"}),
        viewer_(VIEWER_PATH, {"--broker-uri", broker_.uri(), "--http", "127.0.0.1:0", "--stream", "alpha",
                              "--log-level", "WARN"}) {
    const auto line = viewer_.ReadLine(10s);
    constexpr std::string_view kOpen = "open http://127.0.0.1:";
    const auto at = line ? line->find(kOpen) : std::string::npos;
    if (at == std::string::npos || std::sscanf(line->c_str() + at + kOpen.size(), "%hu/", &port_) != 1)
      throw std::runtime_error("the viewer did not start: " + line.value_or("") + viewer_.Err());
  }

  std::string Origin() const { return "http://127.0.0.1:" + std::to_string(port_); }

  BrokerProcess broker_;
  unsigned short port_ = 0;
  Process publisher_;
  Process viewer_;
};

TEST_F(ViewerServing, ServesOnlyThePageFiles) {
  EXPECT_EQ(Status(port_, "/"), 200u);
  EXPECT_EQ(Status(port_, "/index.html"), 200u);
  EXPECT_EQ(Status(port_, "/viewer.js"), 200u);
  for (const char* outside : {"/../CMakeLists.txt", "/www/index.html", "/%2e%2e/CMakeLists.txt", "/..%2fmain.cpp",
                              "/etc/passwd", "/viewer.js/..", "/./index.html", "/ws/../index.html"})
    EXPECT_EQ(Status(port_, outside), 404u) << outside;
  PageClient foreign(port_, "http://attacker.example");
  EXPECT_EQ(foreign.error, websocket::error::upgrade_declined);
  EXPECT_EQ(viewer_.Stop(SIGTERM), 0);
}

TEST_F(ViewerServing, PageGetsTheStreamListFramesTrueValuesAndPng) {
  PageClient page(port_, Origin());
  ASSERT_FALSE(page.error) << page.error.message();
  const auto hello = page.Read();
  EXPECT_NE(hello.text().find(R"("stream":"alpha")"), std::string::npos) << hello.text();
  page.ReadUntil([](const PageMessage& m) { return m.text().find(R"("streams":["alpha"])") != std::string::npos; });

  page.Send("watch alpha");
  const auto frame = page.ReadUntil(IsFrame);
  const auto& bytes = frame.bytes;
  const auto headerSize = ReadLe(&bytes[4], 2);
  const auto sequence = ReadLe(&bytes[8], 8);
  ASSERT_EQ(ReadLe(&bytes[24], 4), 64u);
  ASSERT_EQ(ReadLe(&bytes[28], 4), 48u);
  ASSERT_EQ(bytes.size(), headerSize + 64 * 48 * 2);
  for (const auto& [x, y] : std::vector<std::pair<int, int>>{{0, 0}, {63, 0}, {0, 47}, {63, 47}, {17, 29}})
    EXPECT_EQ(ReadLe(&bytes[headerSize + (std::size_t(y) * 64 + x) * 2], 2), PublishedLevel(x, y, sequence, 64, 48))
        << x << "," << y;

  page.Send("pause");
  page.Send("pixel " + std::to_string(sequence) + " 40 7");
  const auto pixel = page.ReadUntil([](const PageMessage& m) { return m.text().starts_with("VXP1"); });
  EXPECT_EQ(ReadLe(&pixel.bytes[24], 2), PublishedLevel(40, 7, sequence, 64, 48));

  page.Send("png " + std::to_string(sequence));
  const auto png = page.ReadUntil([](const PageMessage& m) { return m.text().starts_with("VXN1"); });
  EXPECT_EQ(std::string(png.bytes.begin() + 17, png.bytes.begin() + 20), "PNG");

  const auto figures = page.ReadUntil([](const PageMessage& m) { return m.text().find(R"("type":"figures")") != std::string::npos; });
  EXPECT_NE(figures.text().find(R"("pixelType":"uint16")"), std::string::npos) << figures.text();
  EXPECT_EQ(viewer_.Stop(SIGINT), 0);
}

TEST_F(ViewerServing, AStalledPageDoesNotHoldUpAnother) {
  // This page asks for frames and never reads them.
  PageClient stalled(port_, Origin());
  stalled.Send("watch alpha");
  PageClient page(port_, Origin());
  page.Send("watch alpha");
  std::uint64_t last = 0;
  for (int i = 0; i < 20; ++i) {
    const auto frame = page.ReadUntil(IsFrame);
    const auto sequence = ReadLe(&frame.bytes[8], 8);
    EXPECT_GT(sequence, last) << "frames must come newest first, never older";
    last = sequence;
  }
  EXPECT_EQ(viewer_.Stop(SIGTERM), 0);
}

}  // namespace
}  // namespace korv::vexatools::viewer::test
