// vexatoolsViewer as a user runs it: options, the page's files, refused
// paths and origins, a page's WebSocket talking to a live stream, and
// hostile pages and clients that must not stop it for everyone else.
#include <sys/socket.h>
#include <sys/time.h>

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string_view>
#include <thread>

#include "TestImages.hpp"
#include "TestSupport.hpp"
#include "vexatools/testsupport/Http.hpp"
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
using ::vexatools::testsupport::HttpGet;
using ::vexatools::testsupport::HttpGetFrom;
using ::vexatools::testsupport::IdleConnections;
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
  PageClient(unsigned short port, const std::string& origin, std::string host = "")
      : ws_(ConnectWithTimeout(io_, port)) {
    if (host.empty()) host = "127.0.0.1:" + std::to_string(port);
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

// Threads of process `pid` now.
std::size_t ThreadCount(pid_t pid) {
  std::error_code error;
  std::filesystem::directory_iterator tasks("/proc/" + std::to_string(pid) + "/task", error);
  return error ? 0 : static_cast<std::size_t>(std::distance(begin(tasks), end(tasks)));
}

std::size_t CountOf(const std::string& text, std::string_view what) {
  std::size_t count = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++count;
  return count;
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
                              "--log-level", "INFO"}) {
    const auto line = viewer_.ReadLine(10s);
    constexpr std::string_view kOpen = "open http://127.0.0.1:";
    const auto at = line ? line->find(kOpen) : std::string::npos;
    if (at == std::string::npos || std::sscanf(line->c_str() + at + kOpen.size(), "%hu/", &port_) != 1)
      throw std::runtime_error("the viewer did not start: " + line.value_or("") + viewer_.Err());
  }

  std::string Origin() const { return "http://127.0.0.1:" + std::to_string(port_); }

  // A page watching `stream`, with its first frame read.
  std::unique_ptr<PageClient> Watching(const std::string& stream) {
    auto page = std::make_unique<PageClient>(port_, Origin());
    page->Send("watch " + stream);
    page->ReadUntil(IsFrame);
    return page;
  }
  static int FramesIn(PageClient& page, std::chrono::milliseconds period) {
    int frames = 0;
    for (const auto end = std::chrono::steady_clock::now() + period; std::chrono::steady_clock::now() < end;)
      frames += IsFrame(page.Read()) ? 1 : 0;
    return frames;
  }

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

// A page that names stream after stream (a thread and a ZeroMQ context each,
// once) leaves the viewer with a bounded number of threads, a quiet log,
// and frames for the other pages.
TEST_F(ViewerServing, AWatchFloodLeavesThreadsAndLogBounded) {
  const auto other = Watching("alpha");  // the viewer is up, with one subscription
  const auto threadsBefore = ThreadCount(viewer_.Pid());
  PageClient flood(port_, Origin());
  for (int i = 0; i < 1000; ++i) flood.Send("watch flood" + std::to_string(i));
  std::size_t mostThreads = 0;
  for (int i = 0; i < 40; ++i) {
    mostThreads = std::max(mostThreads, ThreadCount(viewer_.Pid()));
    std::this_thread::sleep_for(50ms);
  }
  const auto frames = FramesIn(*Watching("alpha"), 2s);  // a new page: none of its frames waited
  const auto logLines = CountOf(viewer_.Err(), "ubscribed");
  std::cout << "watch flood: threads " << threadsBefore << " -> at most " << mostThreads << ", " << logLines
            << " log lines, another page " << frames / 2.0 << " frames/s\n";
  EXPECT_LE(mostThreads, threadsBefore + 15) << "at most 16 subscriptions, on one ZeroMQ context";
  EXPECT_LE(logLines, 12u);
  EXPECT_GE(frames, 10);
  EXPECT_EQ(viewer_.Stop(SIGTERM), 0);
}

// A page that asks for the PNG of a large image again and again, and reads
// nothing, must not take the io thread from the other pages.
TEST_F(ViewerServing, APngFloodDoesNotStallAnotherPage) {
  Process big(LUMO_PUBLISH_TOOL_PATH,
              {"--broker-uri", broker_.uri(), "--stream", "big", "-w", "2048", "-e", "2048", "--rate", "2"});
  const auto other = Watching("alpha");
  PageClient flood(port_, Origin());
  flood.Send("watch big");
  const auto frame = flood.ReadUntil(IsFrame);
  flood.Send("pause");  // keeps the image it asks about
  const auto request = "png " + std::to_string(ReadLe(&frame.bytes[8], 8));
  for (int i = 0; i < 300; ++i) flood.Send(request);
  const auto frames = FramesIn(*other, 2s);
  std::cout << "png flood: another page " << frames / 2.0 << " frames/s\n";
  EXPECT_GE(frames, 10);
  EXPECT_EQ(viewer_.Stop(SIGTERM), 0);
}

// 64 sockets that say nothing, and a page on a DNS name rebound to
// 127.0.0.1, get nothing from the viewer and keep nobody out.
TEST_F(ViewerServing, IdleSocketsAndReboundNamesGetNothing) {
  EXPECT_EQ(::vexatools::testsupport::HostileClientProblems(port_, "/"), "");
  IdleConnections idle(port_, 64, 64);
  PageClient page(port_, Origin());
  ASSERT_FALSE(page.error) << page.error.message();
  EXPECT_NE(page.Read().text().find(R"("type":"hello")"), std::string::npos);
  EXPECT_EQ(viewer_.Stop(SIGTERM), 0);
}

// A page on a DNS name rebound to 127.0.0.1 reaches the viewer with its own
// name as Host and Origin: it gets no WebSocket.
TEST_F(ViewerServing, APageOnAReboundNameGetsNoWebSocket) {
  const std::string rebound = "rebound.example:" + std::to_string(port_);
  PageClient page(port_, "http://" + rebound, rebound);
  EXPECT_EQ(page.error, websocket::error::upgrade_declined);
  EXPECT_EQ(HttpGet(port_, "/", "localhost:" + std::to_string(port_)).status, 200u);
  EXPECT_EQ(viewer_.Stop(SIGTERM), 0);
}

// All of the above at once for 20 s, several pages at a time (label soak):
// the viewer keeps its threads and memory bounded, serves a page its frames
// and every page load, and ends normally.
using ViewerSoak = ViewerServing;

TEST_F(ViewerSoak, HostilePagesAndClientsFor20Seconds) {
  Process big(LUMO_PUBLISH_TOOL_PATH,
              {"--broker-uri", broker_.uri(), "--stream", "big", "-w", "1024", "-e", "1024", "--rate", "5"});
  const auto watcher = Watching("alpha");  // the viewer is up, with one subscription
  const auto threadsBefore = ThreadCount(viewer_.Pid());
  std::atomic<bool> stop{false};
  std::atomic<int> pagesOpened{0};
  const auto untilStopped = [&](const std::function<void()>& round) {
    for (int i = 0; i < 100000 && !stop; ++i) {
      try {
        round();
      } catch (const std::exception& error) {
        std::cerr << error.what() << "\n";
        std::this_thread::sleep_for(50ms);  // the viewer closed it or refused: a new round
      }
    }
  };
  std::vector<std::thread> attackers;
  for (int flooder = 0; flooder < 3; ++flooder)
    attackers.emplace_back([&, flooder] {
      untilStopped([&] {
        PageClient page(port_, Origin());
        ++pagesOpened;
        for (int i = 0; i < 500 && !stop; ++i) page.Send("watch f" + std::to_string(flooder) + "_" + std::to_string(i));
      });
    });
  attackers.emplace_back([&] {
    untilStopped([&] {
      PageClient page(port_, Origin());
      page.Send("watch big");
      const auto frame = page.ReadUntil([](const PageMessage& message) {
        // The flooding pages may hold every subscription for a moment.
        if (message.text().find("cannot watch") != std::string::npos) throw std::runtime_error(message.text());
        return IsFrame(message);
      });
      page.Send("pause");
      for (int i = 0; i < 200 && !stop; ++i) page.Send("png " + std::to_string(ReadLe(&frame.bytes[8], 8)));
    });
  });
  attackers.emplace_back([&] {
    untilStopped([&] {
      IdleConnections idle(port_, 64, 16);
      std::this_thread::sleep_for(500ms);
      HttpGet(port_, "/", "rebound.example");
    });
  });

  int frames = 0;
  int loads = 0;
  int loadsServed = 0;
  std::size_t mostThreads = 0;
  long mostKilobytes = 0;
  const auto start = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - start < 20s) {
    frames += FramesIn(*watcher, 500ms);
    ++loads;
    try {
      // A user at another address than the attackers': the per-address
      // bound must keep room for them.
      loadsServed += HttpGetFrom("127.0.0.200", port_, "/").status == 200 ? 1 : 0;
    } catch (const std::exception& error) {
      std::cerr << "page load: " << error.what() << "\n";
    }
    mostThreads = std::max(mostThreads, ThreadCount(viewer_.Pid()));
    mostKilobytes = std::max(mostKilobytes, ::vexatools::testsupport::ResidentKilobytes(viewer_.Pid()).value_or(0));
  }
  stop = true;
  for (auto& attacker : attackers) attacker.join();
  std::cout << "soak: " << pagesOpened << " hostile pages; a page " << frames / 20.0 << " frames/s; " << loadsServed
            << " of " << loads << " page loads; threads " << threadsBefore << " -> at most " << mostThreads
            << "; RSS at most " << mostKilobytes / 1024 << " MB\n";
  EXPECT_GE(frames, 20 * 10);
  EXPECT_EQ(loadsServed, loads);
  EXPECT_LE(mostThreads, threadsBefore + 15);
  if (::vexatools::testsupport::kResidentMemoryShowsGrowth) {
    EXPECT_LT(mostKilobytes, 300 * 1024);
  }
  EXPECT_EQ(viewer_.Stop(SIGTERM), 0);
}

}  // namespace
}  // namespace korv::vexatools::viewer::test
