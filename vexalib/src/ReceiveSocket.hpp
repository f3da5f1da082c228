// The receiving socket's set-up beyond what boost.asio offers: failures
// that say what to do, multicast membership, and the receive buffer sized
// for whole samples.
#pragma once

#include <cstdint>
#include <string>

#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/udp.hpp>

namespace korv::vexatools {

// Binds `socket`; a failure names the address and port, and what a port in
// use means, before the system's own text.
void BindForReception(boost::asio::ip::udp::socket& socket, const boost::asio::ip::udp::endpoint& endpoint);

// Joins `group` on the interface with the address `interfaceAddress` (any:
// the system's choice); a failure names both.
void JoinGroup(boost::asio::ip::udp::socket& socket, const boost::asio::ip::address_v4& group,
               const boost::asio::ip::address_v4& interfaceAddress);

// Only the groups as joined on this socket, on their interface: by default
// Linux also hands a socket a group's datagrams from every interface on
// which another program of the host joined it.
void ReceiveOnlyOwnMemberships(boost::asio::ip::udp::socket& socket);

// The socket receive buffer as the kernel counts it (it doubles the value
// set, for its bookkeeping): what whole samples need, what was set, and
// what is in force.
struct ReceiveBufferSize {
  std::uint64_t wanted = 0;
  int setting = 0;
  std::uint64_t inForce = 0;
};
ReceiveBufferSize SizeReceiveBuffer(boost::asio::ip::udp::socket& socket, std::uint64_t wanted);
// The WARN for a buffer that holds fewer than `bufferedSamples` samples,
// the commonest silent cause of loss, with the sysctl that fixes it.
std::string ReceiveBufferShortMessage(const ReceiveBufferSize& size, int bufferedSamples);

}  // namespace korv::vexatools
