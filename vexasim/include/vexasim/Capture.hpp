// Capture files of the stream, read and written with libpcap: the simulator
// replays the UDP datagrams of a capture taken in the field, and writes the
// datagrams it would send into a capture that Wireshark and the replay read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

struct pcap;
struct pcap_dumper;

namespace korv::vexasim {

// The link layer a written capture shows.
enum class CaptureLink {
  Ethernet,  // Ethernet II, IPv4, UDP: how a Linux capture on "lo" or a NIC looks
  Loopback,  // BSD loopback (DLT_NULL): a 4-byte address family, IPv4, UDP
};

// The UDP payload of one captured packet, or nothing when the packet does not
// hold one whole IPv4 UDP datagram (another protocol, an IP fragment, a packet
// cut by the capture's snap length, malformed headers). `frame` is the packet
// from its link-layer header on; `linkType` a DLT_ value. Takes Ethernet (with
// 802.1Q tags), BSD loopback, raw IPv4 and Linux cooked captures (SLL, SLL2).
std::optional<std::span<const unsigned char>> UdpPayloadOf(int linkType, std::span<const unsigned char> frame);

struct CapturedDatagram {
  std::vector<unsigned char> bytes;  // the UDP payload
  std::int64_t timestampNs = 0;      // capture time, ns since the epoch
};

// Reads the UDP datagrams of a pcap or pcapng file in capture order.
class CaptureReader {
 public:
  // `filter`: a BPF expression (pcap-filter(7)) packets must match; empty
  // takes every packet. Throws std::runtime_error naming the file or the
  // filter when the file cannot be read or the expression does not compile.
  CaptureReader(const std::string& path, const std::string& filter);
  ~CaptureReader();
  CaptureReader(const CaptureReader&) = delete;
  CaptureReader& operator=(const CaptureReader&) = delete;

  // The next datagram, skipping packets that carry none; false at the end.
  // Throws std::runtime_error when the file is damaged.
  bool Next(CapturedDatagram& datagram);
  // Packets that matched the filter but held no whole UDP datagram.
  std::uint64_t Skipped() const { return m_skipped; }

 private:
  std::string m_path;
  pcap* m_handle = nullptr;
  int m_linkType = 0;
  std::uint64_t m_skipped = 0;
};

// Where the written datagrams appear to go, and come from.
struct CaptureEndpoints {
  std::uint32_t sourceAddress = 0x7f000001;  // host order
  std::uint16_t sourcePort = 0;
  std::uint32_t destinationAddress = 0x7f000001;
  std::uint16_t destinationPort = 0;
  std::uint8_t ttl = 64;
};

// Writes datagrams as IPv4 UDP packets into a pcap file (nanosecond time
// stamps), each whole and unfragmented, as on a jumbo-frame network.
class CaptureWriter {
 public:
  // Throws std::runtime_error naming the file when it cannot be created.
  CaptureWriter(const std::string& path, CaptureLink link, const CaptureEndpoints& endpoints);
  ~CaptureWriter();
  CaptureWriter(const CaptureWriter&) = delete;
  CaptureWriter& operator=(const CaptureWriter&) = delete;

  void Write(std::span<const unsigned char> datagram, std::int64_t timestampNs);
  // Later datagrams appear between these endpoints: one file, several streams.
  void SetEndpoints(const CaptureEndpoints& endpoints) { m_endpoints = endpoints; }
  // Writes buffered packets to the file; throws std::runtime_error when that fails.
  void Flush();

 private:
  std::string m_path;
  CaptureLink m_link;
  CaptureEndpoints m_endpoints;
  pcap* m_handle = nullptr;
  pcap_dumper* m_dumper = nullptr;
  std::uint16_t m_ipId = 0;
  std::vector<unsigned char> m_packet;
};

}  // namespace korv::vexasim
