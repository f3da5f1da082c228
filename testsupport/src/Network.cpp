#include "vexatools/testsupport/Network.hpp"

#include <boost/asio/ip/multicast.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "vexatools/testsupport/Process.hpp"

namespace vexatools::testsupport {

namespace asio = boost::asio;

std::uint16_t FreeUdpPort() {
  asio::io_context context;
  const asio::ip::udp::socket probe(context, {asio::ip::udp::v4(), 0});
  return probe.local_endpoint().port();
}

std::uint16_t FreeTcpPort() {
  asio::io_context context;
  const asio::ip::tcp::acceptor probe(context, {asio::ip::tcp::v4(), 0});
  return probe.local_endpoint().port();
}

namespace {

// Calls `visit` with the fields of each line of /proc/net/udp whose local
// address has `port`; returns how many there were.
template <typename Visit>
int ForEachUdpSocket(int port, Visit visit) {
  std::ifstream table("/proc/net/udp");
  std::string line;
  std::getline(table, line);  // column titles
  char wanted[8];
  std::snprintf(wanted, sizeof(wanted), ":%04X", port);
  int found = 0;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local;
    fields >> slot >> local;
    if (local.size() > 5 && local.compare(local.size() - 5, 5, wanted) == 0) {
      ++found;
      visit(fields);
    }
  }
  return found;
}

}  // namespace

bool UdpPortBound(int port) {
  return ForEachUdpSocket(port, [](std::istringstream&) {}) > 0;
}

// Fields after the local address: rem_address st tx_queue:rx_queue tr
// tm->when retrnsmt uid timeout inode ref pointer drops.
UdpQueueState UdpQueueOf(int port) {
  UdpQueueState state;
  ForEachUdpSocket(port, [&state](std::istringstream& fields) {
    std::string remote, socketState, queues, timer, retransmits, uid, timeout, inode, references, pointer;
    std::uint64_t drops = 0;
    fields >> remote >> socketState >> queues >> timer >> retransmits >> uid >> timeout >> inode >> references >>
        pointer >> drops;
    state.queuedBytes += std::stoull(queues.substr(queues.find(':') + 1), nullptr, 16);
    state.drops += drops;
  });
  return state;
}

bool WaitForUdpPort(int port, std::chrono::milliseconds timeout) {
  return WaitFor([port] { return UdpPortBound(port); }, timeout, std::chrono::milliseconds(5));
}

UdpSender::UdpSender(const std::string& address, std::uint16_t port)
    : m_socket(m_context, asio::ip::udp::v4()), m_destination(asio::ip::make_address_v4(address), port) {
  m_socket.set_option(asio::ip::multicast::outbound_interface(asio::ip::address_v4::loopback()));
}

void UdpSender::Send(std::span<const unsigned char> datagram) {
  if (m_maxQueuedBytes > 0) WaitForRoom();
  m_socket.send_to(asio::buffer(datagram.data(), datagram.size()), m_destination);
  // Loopback queues about 1 kB of bookkeeping with each datagram.
  m_bytesSinceCheck += datagram.size() + 1024;
  ++m_datagramsSinceCheck;
}

void UdpSender::FollowReceiveQueue(std::uint64_t maxQueuedBytes, std::chrono::milliseconds stallLimit) {
  m_maxQueuedBytes = maxQueuedBytes;
  m_stallLimit = stallLimit;
  m_bytesSinceCheck = maxQueuedBytes;  // check before the first datagram
}

// The queue is read only after a quarter of the allowance went out since
// the last look, so that reading /proc costs little beside the sending.
void UdpSender::WaitForRoom() {
  if (m_bytesSinceCheck < m_maxQueuedBytes / 4 && m_datagramsSinceCheck < 64) return;
  m_bytesSinceCheck = 0;
  m_datagramsSinceCheck = 0;
  const int port = m_destination.port();
  if (UdpQueueOf(port).queuedBytes <= m_maxQueuedBytes / 2) return;
  if (!WaitFor([&] { return UdpQueueOf(port).queuedBytes <= m_maxQueuedBytes / 2; }, m_stallLimit,
               std::chrono::milliseconds(1))) {
    m_stalled = true;
  }
}

void UdpSender::SendAll(const std::vector<Datagram>& datagrams, int pauseEvery) {
  int sent = 0;
  for (const auto& datagram : datagrams) {
    Send(datagram);
    if (pauseEvery > 0 && ++sent % pauseEvery == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void UdpSender::SendFrames(const std::vector<Datagram>& sample, std::initializer_list<int> frameIds) {
  for (const int frameId : frameIds) Send(sample.at(static_cast<std::size_t>(frameId - 1)));
}

}  // namespace vexatools::testsupport
