// Hostile LUMO peers for the memory soak (bench/lumo/soak.sh). Each mode
// does one thing a hostile peer can do, then waits `HOLD_MS` so that the
// script can read the victim's memory, and exits.
//
//   lumoAttack unfinished BROKER_URI MEGABYTES HOLD_MS
//       sends one multipart request of 1000-byte frames that never ends
//   lumoAttack list BROKER_URI CLIENTS REQUESTS HOLD_MS
//       registers 1024 streams of 255-byte names, then CLIENTS connections
//       that never read (receive high-water mark 1) send REQUESTS LISTs in all
//   lumoAttack publisher BROKER_URI BIND_HOST FRAMES MEGABYTES HOLD_MS
//       registers stream "soak" with a PUB socket on BIND_HOST, waits up to
//       10 s for a subscriber and sends it one message of FRAMES frames of
//       MEGABYTES each
//
// A BROKER_URI of the form tcp://SOURCE;HOST:PORT connects from SOURCE.
// Every mode prints one line saying what it did.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fmt/format.h>
#include <zmq.hpp>
#include <zmq_addon.hpp>

#include <chrono>
#include <stdexcept>
#include <cstring>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

zmq::socket_t Dealer(zmq::context_t& context, const std::string& uri) {
  zmq::socket_t socket(context, zmq::socket_type::dealer);
  socket.set(zmq::sockopt::linger, 0);
  socket.connect(uri);
  return socket;
}

// One request with a REQ-style empty delimiter; true when a reply came.
bool Ask(zmq::socket_t& socket, const std::vector<std::string>& request, std::chrono::milliseconds timeout) {
  socket.send(zmq::message_t(), zmq::send_flags::sndmore);
  for (std::size_t i = 0; i < request.size(); ++i)
    socket.send(zmq::buffer(request[i]), i + 1 < request.size() ? zmq::send_flags::sndmore : zmq::send_flags::none);
  zmq::pollitem_t item{socket.handle(), 0, ZMQ_POLLIN, 0};
  if (zmq::poll(&item, 1, timeout) <= 0) return false;
  std::vector<zmq::message_t> reply;
  (void)zmq::recv_multipart(socket, std::back_inserter(reply));
  return reply.size() >= 2 && reply[1].to_string() == "OK";
}

// A TCP connection to `uri` (tcp://HOST:PORT or tcp://SOURCE:0;HOST:PORT)
// that speaks ZMTP 3.0 by hand: ZeroMQ's own sockets never send a part of
// a multipart message before its last frame is queued.
class RawZmtpPeer {
 public:
  explicit RawZmtpPeer(const std::string& uri) {
    std::string rest = uri.substr(uri.find("//") + 2);
    std::string source;
    if (const auto semicolon = rest.find(';'); semicolon != std::string::npos) {
      source = rest.substr(0, rest.rfind(':', semicolon));
      rest = rest.substr(semicolon + 1);
    }
    const auto colon = rest.rfind(':');
    m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const timeval timeout{5, 0};  // a peer that stops reading or answering ends the attack
    ::setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (!source.empty()) {
      sockaddr_in local{};
      local.sin_family = AF_INET;
      ::inet_pton(AF_INET, source.c_str(), &local.sin_addr);
      if (::bind(m_fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) throw std::runtime_error("bind");
    }
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(static_cast<std::uint16_t>(std::stoi(rest.substr(colon + 1))));
    ::inet_pton(AF_INET, rest.substr(0, colon).c_str(), &remote.sin_addr);
    if (::connect(m_fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) throw std::runtime_error("connect");
    // Greeting: signature, version 3.0, mechanism NULL, not a server.
    std::string greeting(64, '\0');
    greeting[0] = '\xFF';
    greeting[9] = '\x7F';
    greeting[10] = 3;
    std::memcpy(&greeting[12], "NULL", 4);
    // READY with Socket-Type DEALER.
    const std::string ready = std::string("\x05READY\x0BSocket-Type\0\0\0\x06", 22) + "DEALER";
    Write(greeting + '\x04' + static_cast<char>(ready.size()) + ready);
    m_accepted = PeerIsReady();
  }
  ~RawZmtpPeer() { ::close(m_fd); }

  // Whether the peer finished the handshake with READY (else ERROR, or it
  // closed the connection).
  bool accepted() const { return m_accepted; }

  // One frame with the MORE flag. False once the peer closed the connection.
  bool WriteMoreFrame(const std::string& body) {
    std::string frame(9, '\0');
    frame[0] = 0x03;  // MORE, 8-byte length
    for (int i = 0; i < 8; ++i) frame[1 + i] = static_cast<char>(std::uint64_t{body.size()} >> (8 * (7 - i)));
    return Write(frame + body);
  }

 private:
  bool Write(const std::string& bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
      const auto sent = ::send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (sent <= 0) return false;
      done += static_cast<std::size_t>(sent);
    }
    return true;
  }
  // Reads the peer's greeting and its first command, a short one.
  bool PeerIsReady() {
    std::string reply;
    char buffer[256];
    while (reply.size() < 66 || reply.size() < 66u + static_cast<unsigned char>(reply[65])) {
      const auto got = ::recv(m_fd, buffer, sizeof buffer, 0);
      if (got <= 0) return false;
      reply.append(buffer, static_cast<std::size_t>(got));
    }
    return reply.compare(66, 6, "\x05READY") == 0;
  }

  int m_fd = -1;
  bool m_accepted = false;
};

int Unfinished(const std::string& uri, long megabytes, std::chrono::milliseconds hold) {
  RawZmtpPeer peer(uri);
  if (!peer.accepted()) {
    fmt::print("refused at the handshake\n");
    std::fflush(stdout);
    std::this_thread::sleep_for(hold);
    return 0;
  }
  const std::string frame(1000, 'x');
  long sent = 0;
  while (sent < megabytes * 1000 && peer.WriteMoreFrame(frame)) ++sent;
  if (sent == megabytes * 1000)
    fmt::print("sent {} MB in {} frames without a last one\n", megabytes, sent);
  else
    fmt::print("the connection was closed after {} kB\n", sent);
  std::fflush(stdout);
  std::this_thread::sleep_for(hold);
  return 0;
}

int List(const std::string& uri, int clients, int requests, std::chrono::milliseconds hold) {
  zmq::context_t context(1);
  auto registrar = Dealer(context, uri);
  int registered = 0;
  for (int i = 0; i < 1024; ++i)
    registered += Ask(registrar, {"REGISTER", fmt::format("{:x>251}{:04}", "", i), "tcp://127.0.0.1:1"}, 2s);
  std::vector<zmq::socket_t> readers;
  for (int c = 0; c < clients; ++c) {
    zmq::socket_t socket(context, zmq::socket_type::dealer);
    socket.set(zmq::sockopt::linger, 0);
    socket.set(zmq::sockopt::rcvhwm, 1);
    socket.set(zmq::sockopt::rcvbuf, 4096);
    socket.connect(uri);
    readers.push_back(std::move(socket));
  }
  const std::string list = "LIST";
  for (int i = 0; i < requests; ++i) {
    auto& socket = readers[static_cast<std::size_t>(i % clients)];
    socket.send(zmq::message_t(), zmq::send_flags::sndmore);
    socket.send(zmq::buffer(list));
  }
  fmt::print("registered {} streams, sent {} LISTs on {} connections that never read\n", registered, requests, clients);
  std::fflush(stdout);
  std::this_thread::sleep_for(hold);
  return 0;
}

int Publisher(const std::string& uri, const std::string& bindHost, int frames, long megabytes,
              std::chrono::milliseconds hold) {
  zmq::context_t context(1);
  zmq::socket_t data(context, zmq::socket_type::xpub);
  data.set(zmq::sockopt::linger, 0);
  data.set(zmq::sockopt::sndhwm, 0);
  data.bind("tcp://" + bindHost + ":*");
  auto control = Dealer(context, uri);
  if (!Ask(control, {"REGISTER", "soak", data.get(zmq::sockopt::last_endpoint)}, 2s)) {
    fmt::print("the broker did not register the stream\n");
    std::this_thread::sleep_for(hold);
    return 0;
  }
  zmq::pollitem_t item{data.handle(), 0, ZMQ_POLLIN, 0};
  if (zmq::poll(&item, 1, 10s) <= 0) {
    fmt::print("no subscriber came\n");
    return 0;
  }
  zmq::message_t subscription;
  (void)data.recv(subscription);
  // Every frame refers to one buffer, so the attacker itself stays small.
  static std::vector<char> block(static_cast<std::size_t>(megabytes) << 20, 'p');
  data.send(zmq::buffer(std::string("soak")), zmq::send_flags::sndmore);
  for (int i = 0; i < frames; ++i) {
    zmq::message_t frame(block.data(), block.size(), [](void*, void*) {}, nullptr);
    data.send(frame, i + 1 < frames ? zmq::send_flags::sndmore : zmq::send_flags::none);
  }
  fmt::print("sent one message of {} frames of {} MiB to a subscriber\n", frames + 1, megabytes);
  std::fflush(stdout);
  std::this_thread::sleep_for(hold);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const auto ms = [](const std::string& text) { return std::chrono::milliseconds(std::stol(text)); };
  try {
    if (args.size() == 4 && args[0] == "unfinished") return Unfinished(args[1], std::stol(args[2]), ms(args[3]));
    if (args.size() == 5 && args[0] == "list") return List(args[1], std::stoi(args[2]), std::stoi(args[3]), ms(args[4]));
    if (args.size() == 6 && args[0] == "publisher")
      return Publisher(args[1], args[2], std::stoi(args[3]), std::stol(args[4]), ms(args[5]));
  } catch (const std::exception& error) {
    fmt::print(stderr, "lumoAttack: {}\n", error.what());
    return 1;
  }
  fmt::print(stderr, "usage: see the comment at the top of lumoAttack.cpp\n");
  return 1;
}
