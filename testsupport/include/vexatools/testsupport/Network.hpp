// Loopback networking for the tests: free ports, a check that a program has
// bound its port, and a UDP sender.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <vector>

namespace vexatools::testsupport {

// A UDP port that was free on every local address a moment ago.
std::uint16_t FreeUdpPort();
// The same for TCP.
std::uint16_t FreeTcpPort();

// True once some socket is bound to UDP `port` (read from /proc/net/udp).
bool UdpPortBound(int port);
// Waits until UDP `port` is bound, at most `timeout`.
bool WaitForUdpPort(int port, std::chrono::milliseconds timeout = std::chrono::seconds(10));

// The receive queues of the UDP sockets bound to `port`, from /proc/net/udp:
// bytes waiting (with the kernel's per-datagram overhead) and datagrams
// dropped because the queue was full.
struct UdpQueueState {
  std::uint64_t queuedBytes = 0;
  std::uint64_t drops = 0;
};
UdpQueueState UdpQueueOf(int port);

using Datagram = std::vector<unsigned char>;

// Sends datagrams to one address and port; multicast leaves through
// loopback, where a receiver under test joins its group.
class UdpSender {
 public:
  UdpSender(const std::string& address, std::uint16_t port);

  void Send(std::span<const unsigned char> datagram);
  // Sends every datagram in order. With `pauseEvery` > 0 it pauses 1 ms
  // after each `pauseEvery` datagrams, so that a receiver's socket buffer
  // keeps up with a long burst.
  void SendAll(const std::vector<Datagram>& datagrams, int pauseEvery = 0);
  // Sends the frames of `sample` whose 1-based frame ids are in `frameIds`,
  // in that order (repeats send duplicates).
  void SendFrames(const std::vector<Datagram>& sample, std::initializer_list<int> frameIds);
  // Makes Send wait, before it overfills the receive queue of the socket
  // bound to the destination port on this host, until the receiver has
  // taken enough out: a long storm then goes at the receiver's own speed
  // without a datagram lost. Each wait is bounded by `stallLimit`; after
  // that Send goes on regardless and Stalled() turns true.
  void FollowReceiveQueue(std::uint64_t maxQueuedBytes = 128 * 1024,
                          std::chrono::milliseconds stallLimit = std::chrono::seconds(10));
  bool Stalled() const { return m_stalled; }

 private:
  void WaitForRoom();

  std::uint64_t m_maxQueuedBytes = 0;  // 0: no flow control
  std::chrono::milliseconds m_stallLimit{0};
  std::uint64_t m_bytesSinceCheck = 0;
  int m_datagramsSinceCheck = 0;
  bool m_stalled = false;

  boost::asio::io_context m_context;
  boost::asio::ip::udp::socket m_socket;
  boost::asio::ip::udp::endpoint m_destination;
};

}  // namespace vexatools::testsupport
