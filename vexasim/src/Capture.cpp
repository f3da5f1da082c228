#include "vexasim/Capture.hpp"

#include <netinet/in.h>
#include <pcap/pcap.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <fmt/format.h>
#include <stdexcept>

#include "korv/fnd/BigEndian.hpp"

namespace korv::vexasim {
namespace {

using korv::fnd::LoadBig;
using korv::fnd::StoreBig;
using Bytes = std::span<const unsigned char>;

constexpr std::size_t kEthernetHeaderSize = 14;
constexpr std::size_t kVlanTagSize = 4;
constexpr std::size_t kMaxVlanTags = 2;  // 802.1ad: an outer and an inner tag
constexpr std::size_t kLoopbackHeaderSize = 4;
constexpr std::size_t kSllHeaderSize = 16;
constexpr std::size_t kSll2HeaderSize = 20;
constexpr std::size_t kIpv4HeaderSize = 20;
constexpr std::size_t kUdpHeaderSize = 8;
constexpr std::uint16_t kEtherTypeIpv4 = 0x0800;
constexpr std::uint16_t kEtherTypeVlan = 0x8100;
constexpr std::uint16_t kEtherTypeQinQ = 0x88a8;
constexpr std::uint8_t kIpProtocolUdp = 17;
// Large enough for every datagram the simulator writes, and for a 64 KiB
// datagram read back.
constexpr int kSnapLength = 65535 + 64;
// Year 2255: far enough, and nanoseconds since the epoch still fit 63 bits.
constexpr std::int64_t kMaxTimestampSeconds = 9'000'000'000;

// The IPv4 packet after an Ethernet header and up to two VLAN tags.
std::optional<Bytes> AfterEthernet(Bytes frame) {
  if (frame.size() < kEthernetHeaderSize) return std::nullopt;
  std::size_t offset = kEthernetHeaderSize - 2;
  for (std::size_t tags = 0;; ++tags) {
    const auto etherType = LoadBig<std::uint16_t>(frame.data() + offset);
    if (etherType == kEtherTypeIpv4) return frame.subspan(offset + 2);
    if ((etherType != kEtherTypeVlan && etherType != kEtherTypeQinQ) || tags == kMaxVlanTags) return std::nullopt;
    offset += kVlanTagSize;
    if (frame.size() < offset + 2) return std::nullopt;
  }
}

// The IPv4 packet after a BSD loopback header, whose address family is in
// the capturing host's byte order (DLT_NULL) or in network order (DLT_LOOP).
std::optional<Bytes> AfterLoopback(Bytes frame) {
  if (frame.size() < kLoopbackHeaderSize) return std::nullopt;
  const auto family = LoadBig<std::uint32_t>(frame.data());
  if (family != AF_INET && family != (std::uint32_t{AF_INET} << 24)) return std::nullopt;
  return frame.subspan(kLoopbackHeaderSize);
}

// The IPv4 packet after a Linux cooked header, whose protocol field is at `protocolOffset`.
std::optional<Bytes> AfterCooked(Bytes frame, std::size_t headerSize, std::size_t protocolOffset) {
  if (frame.size() < headerSize || LoadBig<std::uint16_t>(frame.data() + protocolOffset) != kEtherTypeIpv4) {
    return std::nullopt;
  }
  return frame.subspan(headerSize);
}

// The UDP payload of an IPv4 packet, when it holds a whole, unfragmented
// UDP datagram. Link-layer padding after the packet is ignored.
std::optional<Bytes> UdpPayloadOfIpv4(Bytes packet) {
  if (packet.size() < kIpv4HeaderSize || (packet[0] >> 4) != 4) return std::nullopt;
  const std::size_t headerSize = std::size_t{packet[0] & 0x0fu} * 4;
  const std::size_t totalLength = LoadBig<std::uint16_t>(packet.data() + 2);
  const auto fragment = LoadBig<std::uint16_t>(packet.data() + 6);
  const bool fragmented = (fragment & 0x3fffu) != 0;  // more-fragments flag or an offset
  if (headerSize < kIpv4HeaderSize || totalLength < headerSize + kUdpHeaderSize || totalLength > packet.size() ||
      fragmented || packet[9] != kIpProtocolUdp) {
    return std::nullopt;
  }
  const Bytes udp = packet.subspan(headerSize, totalLength - headerSize);
  const std::size_t udpLength = LoadBig<std::uint16_t>(udp.data() + 4);
  if (udpLength < kUdpHeaderSize || udpLength > udp.size()) return std::nullopt;
  return udp.subspan(kUdpHeaderSize, udpLength - kUdpHeaderSize);
}

std::uint16_t Ipv4HeaderChecksum(const unsigned char* header) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < kIpv4HeaderSize; i += 2) sum += LoadBig<std::uint16_t>(header + i);
  while (sum > 0xffff) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

}  // namespace

std::optional<Bytes> UdpPayloadOf(int linkType, Bytes frame) {
  std::optional<Bytes> packet;
  switch (linkType) {
    case DLT_EN10MB: packet = AfterEthernet(frame); break;
    case DLT_NULL:
    case DLT_LOOP: packet = AfterLoopback(frame); break;
    case DLT_RAW:
    case DLT_IPV4: packet = frame; break;
    case DLT_LINUX_SLL: packet = AfterCooked(frame, kSllHeaderSize, 14); break;
    case DLT_LINUX_SLL2: packet = AfterCooked(frame, kSll2HeaderSize, 0); break;
    default: return std::nullopt;
  }
  return packet ? UdpPayloadOfIpv4(*packet) : std::nullopt;
}

CaptureReader::CaptureReader(const std::string& path, const std::string& filter) : m_path(path) {
  std::array<char, PCAP_ERRBUF_SIZE> error{};
  m_handle = pcap_open_offline_with_tstamp_precision(path.c_str(), PCAP_TSTAMP_PRECISION_NANO, error.data());
  if (m_handle == nullptr) throw std::runtime_error(fmt::format("Cannot read capture {}: {}", path, error.data()));
  m_linkType = pcap_datalink(m_handle);
  if (filter.empty()) return;
  bpf_program program{};
  if (pcap_compile(m_handle, &program, filter.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0) {
    const std::string reason = pcap_geterr(m_handle);
    pcap_close(m_handle);
    throw std::runtime_error(fmt::format("Invalid filter '{}': {}", filter, reason));
  }
  const int set = pcap_setfilter(m_handle, &program);
  pcap_freecode(&program);
  if (set != 0) {
    const std::string reason = pcap_geterr(m_handle);
    pcap_close(m_handle);
    throw std::runtime_error(fmt::format("Cannot apply filter '{}': {}", filter, reason));
  }
}

CaptureReader::~CaptureReader() { pcap_close(m_handle); }

bool CaptureReader::Next(CapturedDatagram& datagram) {
  for (;;) {
    pcap_pkthdr* header = nullptr;
    const unsigned char* data = nullptr;
    const int result = pcap_next_ex(m_handle, &header, &data);
    if (result == PCAP_ERROR_BREAK) return false;  // end of file
    if (result != 1) throw std::runtime_error(fmt::format("Cannot read capture {}: {}", m_path, pcap_geterr(m_handle)));
    const auto payload = UdpPayloadOf(m_linkType, Bytes(data, header->caplen));
    if (!payload) {
      ++m_skipped;
      continue;
    }
    datagram.bytes.assign(payload->begin(), payload->end());
    // With nanosecond precision libpcap puts nanoseconds in tv_usec. A file
    // may hold any seconds: keep them where the sum cannot overflow.
    const std::int64_t seconds = std::clamp<std::int64_t>(header->ts.tv_sec, 0, kMaxTimestampSeconds);
    datagram.timestampNs = seconds * 1'000'000'000 + std::clamp<std::int64_t>(header->ts.tv_usec, 0, 999'999'999);
    return true;
  }
}

CaptureWriter::CaptureWriter(const std::string& path, CaptureLink link, const CaptureEndpoints& endpoints)
    : m_path(path), m_link(link), m_endpoints(endpoints) {
  const int linkType = link == CaptureLink::Ethernet ? DLT_EN10MB : DLT_NULL;
  m_handle = pcap_open_dead_with_tstamp_precision(linkType, kSnapLength, PCAP_TSTAMP_PRECISION_NANO);
  if (m_handle == nullptr) throw std::runtime_error("Cannot set up a capture writer");
  m_dumper = pcap_dump_open(m_handle, path.c_str());
  if (m_dumper == nullptr) {
    const std::string reason = pcap_geterr(m_handle);
    pcap_close(m_handle);
    throw std::runtime_error(fmt::format("Cannot write capture {}: {}", path, reason));
  }
}

CaptureWriter::~CaptureWriter() {
  pcap_dump_close(m_dumper);
  pcap_close(m_handle);
}

void CaptureWriter::Write(Bytes datagram, std::int64_t timestampNs) {
  const std::size_t linkSize = m_link == CaptureLink::Ethernet ? kEthernetHeaderSize : kLoopbackHeaderSize;
  const std::size_t ipLength = kIpv4HeaderSize + kUdpHeaderSize + datagram.size();
  if (ipLength > 0xffff) throw std::length_error("Datagram too long for an IPv4 packet");
  m_packet.assign(linkSize + ipLength, 0);
  unsigned char* out = m_packet.data();

  if (m_link == CaptureLink::Ethernet) {
    // Source MAC zero; destination zero for unicast (as on "lo"), the group's MAC for multicast.
    const std::uint32_t destination = m_endpoints.destinationAddress;
    if ((destination >> 28) == 0xe) {
      const std::array<unsigned char, 6> groupMac{0x01, 0x00, 0x5e, static_cast<unsigned char>((destination >> 16) & 0x7f),
                                                  static_cast<unsigned char>(destination >> 8),
                                                  static_cast<unsigned char>(destination)};
      std::memcpy(out, groupMac.data(), groupMac.size());
    }
    StoreBig<std::uint16_t>(out + 12, kEtherTypeIpv4);
  } else {
    const std::uint32_t family = AF_INET;  // in this host's byte order, as DLT_NULL has it
    std::memcpy(out, &family, sizeof family);
  }

  unsigned char* ip = out + linkSize;
  ip[0] = 0x45;  // version 4, 20-byte header
  StoreBig<std::uint16_t>(ip + 2, static_cast<std::uint16_t>(ipLength));
  StoreBig<std::uint16_t>(ip + 4, m_ipId++);
  ip[8] = m_endpoints.ttl;
  ip[9] = kIpProtocolUdp;
  StoreBig<std::uint32_t>(ip + 12, m_endpoints.sourceAddress);
  StoreBig<std::uint32_t>(ip + 16, m_endpoints.destinationAddress);
  StoreBig<std::uint16_t>(ip + 10, Ipv4HeaderChecksum(ip));

  unsigned char* udp = ip + kIpv4HeaderSize;
  StoreBig<std::uint16_t>(udp, m_endpoints.sourcePort);
  StoreBig<std::uint16_t>(udp + 2, m_endpoints.destinationPort);
  StoreBig<std::uint16_t>(udp + 4, static_cast<std::uint16_t>(kUdpHeaderSize + datagram.size()));
  // UDP checksum 0: none, which IPv4 allows.
  if (!datagram.empty()) std::memcpy(udp + kUdpHeaderSize, datagram.data(), datagram.size());

  pcap_pkthdr header{};
  header.ts.tv_sec = static_cast<time_t>(timestampNs / 1'000'000'000);
  header.ts.tv_usec = static_cast<suseconds_t>(timestampNs % 1'000'000'000);  // nanoseconds, see above
  header.caplen = header.len = static_cast<bpf_u_int32>(m_packet.size());
  pcap_dump(reinterpret_cast<unsigned char*>(m_dumper), &header, m_packet.data());
}

void CaptureWriter::Flush() {
  if (pcap_dump_flush(m_dumper) != 0) throw std::runtime_error(fmt::format("Cannot write capture {}", m_path));
}

}  // namespace korv::vexasim
