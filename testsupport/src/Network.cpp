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

bool UdpPortBound(int port) {
  std::ifstream table("/proc/net/udp");
  std::string line;
  std::getline(table, line);  // column titles
  char wanted[8];
  std::snprintf(wanted, sizeof(wanted), ":%04X", port);
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local;
    fields >> slot >> local;
    if (local.size() > 5 && local.compare(local.size() - 5, 5, wanted) == 0) return true;
  }
  return false;
}

bool WaitForUdpPort(int port, std::chrono::milliseconds timeout) {
  return WaitFor([port] { return UdpPortBound(port); }, timeout, std::chrono::milliseconds(5));
}

UdpSender::UdpSender(const std::string& address, std::uint16_t port)
    : m_socket(m_context, asio::ip::udp::v4()), m_destination(asio::ip::make_address_v4(address), port) {
  m_socket.set_option(asio::ip::multicast::outbound_interface(asio::ip::address_v4::loopback()));
}

void UdpSender::Send(std::span<const unsigned char> datagram) {
  m_socket.send_to(asio::buffer(datagram.data(), datagram.size()), m_destination);
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
