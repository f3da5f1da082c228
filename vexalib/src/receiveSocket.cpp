#include "ReceiveSocket.hpp"

#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <string>

#include <boost/asio/error.hpp>
#include <boost/asio/ip/multicast.hpp>
#include <boost/asio/socket_base.hpp>
#include <boost/system/system_error.hpp>
#include <fmt/format.h>

#include "SampleTracker.hpp"

namespace korv::vexatools {
namespace {

// Image bytes one full frame carries: its payload less the SOREL payload header.
constexpr std::int64_t kImageBytesPerFrame = Frame::kPayloadCapacity - sorelif::kPayloadHeaderSize;
// The largest value SO_RCVBUF and SO_RCVBUFFORCE take; the kernel doubles it.
constexpr std::int64_t kLargestBufferSetting = INT_MAX / 2;

}  // namespace

void BindForReception(boost::asio::ip::udp::socket& socket, const boost::asio::ip::udp::endpoint& endpoint) {
  boost::system::error_code error;
  socket.bind(endpoint, error);
  if (!error) return;
  std::string what = fmt::format("cannot receive on UDP {}:{}", endpoint.address().to_string(), endpoint.port());
  if (error == boost::asio::error::address_in_use) {
    what += " (another program holds this port without sharing it: stop it or choose another port)";
  }
  throw boost::system::system_error(error, what);
}

void JoinGroup(boost::asio::ip::udp::socket& socket, const boost::asio::ip::address_v4& group,
               const boost::asio::ip::address_v4& interfaceAddress) {
  boost::system::error_code error;
  socket.set_option(boost::asio::ip::multicast::join_group(group, interfaceAddress), error);
  if (!error) return;
  std::string what = fmt::format("cannot join the multicast group {}", group.to_string());
  if (interfaceAddress.is_unspecified()) {
    what += " (no interface routes it: give the interface's address)";
  } else if (error == boost::asio::error::no_such_device) {
    what += fmt::format(" on the interface {}: no local interface has the address {}", interfaceAddress.to_string(),
                        interfaceAddress.to_string());
  } else {
    what += fmt::format(" on the interface {}", interfaceAddress.to_string());
  }
  throw boost::system::system_error(error, what);
}

void ReceiveOnlyOwnMemberships(boost::asio::ip::udp::socket& socket) {
  const int onlyOwnMemberships = 0;
  if (::setsockopt(socket.native_handle(), IPPROTO_IP, IP_MULTICAST_ALL, &onlyOwnMemberships,
                   sizeof onlyOwnMemberships) != 0) {
    throw boost::system::system_error(errno, boost::system::system_category(), "set_option");
  }
}

// A sample of n bytes travels as ceil(n / kImageBytesPerFrame) payload
// frames plus leader and trailer, each charged as a full datagram.
std::uint64_t VexaReceiver::ReceiveBufferWanted(int bufferedSamples, int imageBytes) {
  if (bufferedSamples <= 0 || imageBytes < 0) return 0;
  const std::uint64_t payloadFrames = (std::uint64_t(imageBytes) + kImageBytesPerFrame - 1) / kImageBytesPerFrame;
  const std::uint64_t datagramsPerSample = payloadFrames + 2;
  return std::uint64_t(bufferedSamples) * datagramsPerSample * kBufferChargePerDatagram;  // < 2^31 * 2^19 * 2^15
}

// Sets beyond net.core.rmem_max when the process may (SO_RCVBUFFORCE needs
// CAP_NET_ADMIN), then reads back what is in force.
ReceiveBufferSize SizeReceiveBuffer(boost::asio::ip::udp::socket& socket, std::uint64_t wanted) {
  ReceiveBufferSize size;
  size.wanted = wanted;
  size.setting = static_cast<int>(std::min<std::int64_t>((wanted + 1) / 2, kLargestBufferSetting));
  if (::setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVBUFFORCE, &size.setting, sizeof size.setting) != 0) {
    socket.set_option(boost::asio::socket_base::receive_buffer_size(size.setting));
  }
  // Read directly: boost.asio halves the value it reports on Linux.
  int inForce = 0;
  socklen_t length = sizeof inForce;
  if (::getsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVBUF, &inForce, &length) != 0) {
    throw boost::system::system_error(errno, boost::system::system_category(), "get_option");
  }
  size.inForce = static_cast<std::uint64_t>(std::max(inForce, 0));
  return size;
}

std::string ReceiveBufferShortMessage(const ReceiveBufferSize& size, int bufferedSamples) {
  const std::uint64_t sampleCharge = size.wanted / static_cast<std::uint64_t>(bufferedSamples);
  return fmt::format(
      "Socket receive buffer holds {:.2f} of the {} sample(s) asked for: {} bytes in force, {} bytes wanted "
      "({} bytes per {}-byte datagram as the kernel counts it); samples will be lost at full rate. Fix: sysctl "
      "-w net.core.rmem_max={}",
      static_cast<double>(size.inForce) / static_cast<double>(sampleCharge), bufferedSamples, size.inForce,
      size.wanted, VexaReceiver::kBufferChargePerDatagram, Frame::kCapacity, size.setting);
}

// The socket's drop count (SO_MEMINFO): datagrams refused because its
// receive buffer was full, and the few the kernel refuses for a bad checksum.
ReceptionStatistics VexaReceiver::GetReceptionStatistics() const {
  ReceptionStatistics statistics = m_tracker->Counters().Snapshot();
  const int handle = m_socketHandle.load();
  std::uint32_t memoryInfo[SK_MEMINFO_VARS] = {};
  socklen_t length = sizeof memoryInfo;
  if (handle >= 0 && ::getsockopt(handle, SOL_SOCKET, SO_MEMINFO, memoryInfo, &length) == 0 &&
      length > SK_MEMINFO_DROPS * sizeof(std::uint32_t)) {
    statistics.socketDrops = memoryInfo[SK_MEMINFO_DROPS];
  }
  return statistics;
}

}  // namespace korv::vexatools
