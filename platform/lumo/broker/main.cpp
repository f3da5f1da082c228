// lumoBroker: the directory where LUMO publishers register their streams and
// subscribers look them up. Data never passes through it.
#include <malloc.h>

#include <log4cplus/configurator.h>
#include <log4cplus/loggingmacros.h>

#include <boost/program_options.hpp>
#include <fmt/format.h>
#include <zmq.hpp>

#include <cstdio>
#include <iostream>

#include "CommandLine.hpp"
#include "ConsoleLogging.hpp"
#include "DefaultAllowList.hpp"
#include "PeerAccess.hpp"
#include "StreamDirectory.hpp"
#include "ZmqWait.hpp"
#include "korv/fnd/StopSignals.hpp"
#include "korv/vexatools/Version.hpp"
#include "lumo/LumoLogger.hpp"
#include "lumo/LumoWire.hpp"

namespace {

using Clock = lumo::broker::StreamDirectory::Clock;
namespace po = boost::program_options;

struct Options {
  std::string uri;
  int leaseMs = 3000;
  int maxStreams = 1024;
  std::string logLevel;
  std::vector<std::string> allow;
  lumo::detail::AddressAllowList allowList;
};

// Frames kept from one request: routing id, delimiter and four text frames.
constexpr std::size_t kMaxRequestFrames = 6;
// Messages queued per client: replies it has not read yet, requests not yet
// answered. Replies beyond this are dropped, so a client that never reads
// holds at most this many replies (each at most one LIST page).
constexpr int kReplyQueue = 8;
constexpr int kRequestQueue = 16;
// How often free heap pages go back to the system.
constexpr auto kHeapTrimInterval = std::chrono::seconds(1);

// ZeroMQ takes a port number modulo 65536; refuse it instead.
bool IsBindableUri(const std::string& uri) {
  if (!uri.starts_with("tcp://")) return true;  // ZeroMQ checks the others when binding
  std::string checked = uri;
  if (checked.ends_with(":*")) checked.back() = '1';
  return lumo::ParseTcpEndpoint(checked).has_value();
}

void CheckOptions(Options& options) {
  if (!IsBindableUri(options.uri)) {
    throw po::error("--uri '" + options.uri + "' is not tcp://HOST:PORT (PORT 1 to 65535 or *)");
  }
  if (options.leaseMs < 200 || options.leaseMs > 600000) throw po::error("--lease-ms must be between 200 and 600000");
  if (options.maxStreams < 1 || options.maxStreams > 65536) {
    throw po::error("--max-streams must be between 1 and 65536");
  }
  for (const auto& network : options.allow)
    if (!options.allowList.Add(network)) throw po::error("--allow '" + network + "' is not ADDRESS/PREFIX");
  if (options.allow.empty()) options.allowList = lumo::broker::DefaultAllowList(options.uri);
}

// The status to end with at once (--help, --version, a command-line error), or nothing.
std::optional<int> ParseOptions(int argc, char** argv, Options& options) {
  lumo::tools::CommandLine line("lumoBroker", "Usage: lumoBroker [options]",
                                korv::vexatools::VersionLine("lumoBroker"));
  line.Add()("uri,u", po::value(&options.uri)->default_value(std::string(lumo::kDefaultBrokerUri)),
             "control endpoint to bind, e.g. tcp://127.0.0.1:5570, tcp://*:5570 (all interfaces), "
             "tcp://127.0.0.1:* (any free port, printed at start-up) or ipc:///tmp/lumo")(
      "lease-ms", po::value(&options.leaseMs)->default_value(3000),
      "registration lease in milliseconds (200 to 600000); a publisher silent this long loses its stream")(
      "max-streams", po::value(&options.maxStreams)->default_value(1024), "most streams registered at once (1 to 65536)")(
      "allow", po::value(&options.allow)->composing(),
      "network whose hosts may connect, as ADDRESS/PREFIX or one ADDRESS; repeatable (default: loopback and the "
      "networks of the interfaces --uri binds)");
  line.AddLogLevel(options.logLevel, "INFO");
  return line.Parse(argc, argv, "\nLogs go to standard error; the bound endpoint is printed on standard output.\n",
                    [&options] { CheckOptions(options); });
}

log4cplus::Logger SetUpLogging(const std::string& levelName) {
  auto logger = log4cplus::Logger::getInstance(LOG4CPLUS_TEXT("lumoBroker"));
  lumo::tools::LogToStandardError(logger, lumo::tools::LevelNamed(levelName));
  return logger;
}

// Reads one whole request. Returns false when nothing was waiting.
bool ReceiveRequest(zmq::socket_t& socket, std::vector<zmq::message_t>& frames, std::size_t& received) {
  frames.clear();
  received = 0;
  bool more = true;
  while (more) {
    zmq::message_t frame;
    if (!socket.recv(frame, zmq::recv_flags::dontwait)) break;
    more = frame.more();
    if (frames.size() < kMaxRequestFrames) frames.push_back(std::move(frame));
    ++received;
  }
  return received > 0;
}

// Answers one request on the ROUTER socket. The envelope (routing id, and
// the empty delimiter of a REQ client if present) is echoed on the reply.
void Serve(zmq::socket_t& socket, lumo::broker::StreamDirectory& directory) {
  std::vector<zmq::message_t> frames;
  std::size_t received = 0;
  if (!ReceiveRequest(socket, frames, received)) return;
  const bool delimited = frames.size() >= 2 && frames[1].size() == 0;
  const std::size_t envelope = delimited ? 2 : 1;

  // The routing id is made by the ROUTER socket itself; the frames the peer
  // sent carry its address.
  std::string peerAddress;
  try {
    if (frames.size() >= 2) peerAddress = frames[1].gets("Peer-Address");
  } catch (const zmq::error_t&) {
    // Not known over IPC.
  }
  lumo::broker::StreamDirectory::Frames request;
  for (std::size_t i = envelope; i < frames.size(); ++i) request.push_back(frames[i].to_string());
  if (received > kMaxRequestFrames) request = {"(too many frames)"};
  const auto reply = directory.Handle(request, peerAddress, Clock::now());

  // A ROUTER socket drops a reply it cannot deliver rather than block.
  constexpr auto more = zmq::send_flags::sndmore | zmq::send_flags::dontwait;
  socket.send(frames[0], more);
  if (delimited) socket.send(zmq::message_t(), more);
  for (std::size_t i = 0; i < reply.size(); ++i)
    socket.send(zmq::buffer(reply[i]), i + 1 < reply.size() ? more : zmq::send_flags::dontwait);
}

// Serves until SIGINT or SIGTERM; a signal interrupts the socket wait, which then sees the request.
int Run(Options& options, const korv::fnd::StopSignals& stop) {
  auto logger = SetUpLogging(options.logLevel);
  zmq::context_t context(1);
  // Strangers are refused during the handshake, before ZeroMQ stores a byte
  // they send. IPC peers are local users, whom file permissions govern.
  lumo::detail::ZapHandler zap(context, logger);
  zap.SetAllowList(options.allowList);
  zmq::socket_t socket(context, zmq::socket_type::router);
  if (options.uri.starts_with("tcp://")) lumo::detail::ZapHandler::Guard(socket);
  socket.set(zmq::sockopt::linger, 0);
  socket.set(zmq::sockopt::maxmsgsize, lumo::kMaxControlFrameSize);
  socket.set(zmq::sockopt::sndhwm, kReplyQueue);
  socket.set(zmq::sockopt::rcvhwm, kRequestQueue);
  try {
    socket.bind(options.uri);
  } catch (const zmq::error_t& error) {
    std::cerr << "lumoBroker: cannot bind " << options.uri << ": " << error.what() << "\n";
    return 1;
  }
  const std::string endpoint = socket.get(zmq::sockopt::last_endpoint);
  std::cout << "lumoBroker listening on " << endpoint << " (lease " << options.leaseMs << " ms)" << std::endl;
  LOG4CPLUS_INFO(logger, "Listening on " << endpoint << ", lease " << options.leaseMs << " ms, allowing "
                                         << (options.uri.starts_with("tcp://") ? options.allowList.ToString() : "local users"));

  lumo::broker::StreamDirectory directory(std::chrono::milliseconds(options.leaseMs),
                                          static_cast<std::size_t>(options.maxStreams), logger);
  // ZeroMQ keeps a request whole until its last frame, in many small blocks;
  // after a peer that sent a huge one left, the allocator would keep those
  // pages for the rest of the run. Free pages go back to the system once a
  // second, which costs a walk over a small heap.
  auto lastHeapTrim = Clock::now();
  while (!stop.StopRequested()) {
    auto wait = std::chrono::milliseconds(200);
    if (const auto next = directory.NextExpiry())
      wait = std::clamp(std::chrono::ceil<std::chrono::milliseconds>(*next - Clock::now()), std::chrono::milliseconds(0), wait);
    const bool ready = lumo::detail::WaitReadable(std::array{&socket, &zap.socket()}, wait);
    zap.AnswerPending();
    // Serve what is waiting, a bounded batch at a time.
    for (int i = 0; ready && i < 1000 && !stop.StopRequested(); ++i) {
      if (!(socket.get(zmq::sockopt::events) & ZMQ_POLLIN)) break;
      Serve(socket, directory);
    }
    directory.Expire(Clock::now());
    if (Clock::now() - lastHeapTrim >= kHeapTrimInterval) {
      malloc_trim(0);
      lastHeapTrim = Clock::now();
    }
  }
  LOG4CPLUS_INFO(logger, "Stopping on signal " << stop.Signal() << " with " << directory.size()
                                               << " stream(s) registered");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return lumo::tools::RunTool<Options>("lumoBroker", argc, argv, ParseOptions, Run);
}
