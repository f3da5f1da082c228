// Capture files: the UDP payload found under each link layer a capture may
// have, and what the writer writes coming back through the reader.
#include <gtest/gtest.h>

#include <pcap/pcap.h>

#include <stdexcept>
#include <vector>

#include "vexasim/Capture.hpp"

namespace {

using namespace korv::vexasim;
using Bytes = std::vector<unsigned char>;

const Bytes kPayload{0xde, 0xad, 0xbe, 0xef, 0x01};

// An IPv4 UDP packet carrying kPayload; `fragment` is the flags-and-offset word.
Bytes Ipv4Udp(std::uint8_t protocol = 17, std::uint16_t fragment = 0) {
  const std::size_t total = 20 + 8 + kPayload.size();
  Bytes packet{0x45, 0, 0, static_cast<unsigned char>(total), 0, 0, static_cast<unsigned char>(fragment >> 8),
               static_cast<unsigned char>(fragment), 64, protocol, 0, 0, 127, 0, 0, 1, 127, 0, 0, 1,
               0xc0, 0x00, 0xc3, 0x50, 0, static_cast<unsigned char>(8 + kPayload.size()), 0, 0};
  packet.insert(packet.end(), kPayload.begin(), kPayload.end());
  return packet;
}

Bytes Prefixed(Bytes header, const Bytes& packet) {
  header.insert(header.end(), packet.begin(), packet.end());
  return header;
}

std::optional<Bytes> Payload(int linkType, const Bytes& frame) {
  const auto payload = UdpPayloadOf(linkType, frame);
  if (!payload) return std::nullopt;
  return Bytes(payload->begin(), payload->end());
}

TEST(Capture, UdpPayloadUnderEveryLinkLayer) {
  const Bytes ip = Ipv4Udp();
  const Bytes ethernet(12, 0);
  auto withType = [](Bytes header, std::initializer_list<unsigned char> tail) {
    header.insert(header.end(), tail);
    return header;
  };
  EXPECT_EQ(Payload(DLT_EN10MB, Prefixed(withType(ethernet, {0x08, 0x00}), ip)), kPayload);
  EXPECT_EQ(Payload(DLT_EN10MB, Prefixed(withType(ethernet, {0x81, 0x00, 0, 5, 0x08, 0x00}), ip)), kPayload);
  EXPECT_EQ(Payload(DLT_EN10MB, Prefixed(withType(ethernet, {0x88, 0xa8, 0, 5, 0x81, 0x00, 0, 6, 0x08, 0x00}), ip)),
            kPayload);
  EXPECT_EQ(Payload(DLT_NULL, Prefixed({2, 0, 0, 0}, ip)), kPayload);   // written on a little-endian host
  EXPECT_EQ(Payload(DLT_NULL, Prefixed({0, 0, 0, 2}, ip)), kPayload);   // on a big-endian one
  EXPECT_EQ(Payload(DLT_LOOP, Prefixed({0, 0, 0, 2}, ip)), kPayload);
  EXPECT_EQ(Payload(DLT_RAW, ip), kPayload);
  EXPECT_EQ(Payload(DLT_LINUX_SLL, Prefixed(withType(Bytes(14, 0), {0x08, 0x00}), ip)), kPayload);
  EXPECT_EQ(Payload(DLT_LINUX_SLL2, Prefixed(withType({0x08, 0x00}, {}), Prefixed(Bytes(18, 0), ip))), kPayload);
  // Ethernet pads short frames; the IP length decides.
  EXPECT_EQ(Payload(DLT_RAW, Prefixed(ip, Bytes(20, 0xff))), kPayload);
}

TEST(Capture, PacketsWithoutAWholeUdpDatagramAreRefused) {
  const Bytes ip = Ipv4Udp();
  EXPECT_FALSE(Payload(DLT_RAW, Ipv4Udp(6)));               // TCP
  EXPECT_FALSE(Payload(DLT_RAW, Ipv4Udp(17, 0x2000)));      // first fragment
  EXPECT_FALSE(Payload(DLT_RAW, Ipv4Udp(17, 0x0010)));      // a later fragment
  EXPECT_TRUE(Payload(DLT_RAW, Ipv4Udp(17, 0x4000)));       // don't-fragment is fine
  EXPECT_FALSE(Payload(DLT_RAW, Bytes(ip.begin(), ip.end() - 1)));  // cut by the snap length
  EXPECT_FALSE(Payload(DLT_NULL, Prefixed({24, 0, 0, 0}, ip)));     // IPv6 family
  EXPECT_FALSE(Payload(DLT_EN10MB, Prefixed(Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x86, 0xdd}, ip)));
  EXPECT_FALSE(Payload(DLT_IEEE802_11, ip));                // a link layer not taken
  Bytes lyingUdp = ip;
  lyingUdp[25] = 200;  // UDP length past the IP packet
  EXPECT_FALSE(Payload(DLT_RAW, lyingUdp));
  Bytes lyingIhl = ip;
  lyingIhl[0] = 0x4f;  // 60-byte IP header in a 33-byte packet
  EXPECT_FALSE(Payload(DLT_RAW, lyingIhl));
  // Every prefix of a good packet is refused or read within bounds.
  const Bytes good = Prefixed({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x81, 0x00, 0, 1, 0x08, 0x00}, ip);
  for (std::size_t length = 0; length < good.size(); ++length) {
    EXPECT_FALSE(Payload(DLT_EN10MB, Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(length))));
  }
}

TEST(Capture, WrittenDatagramsReadBackWithTheirTimeStamps) {
  for (const CaptureLink link : {CaptureLink::Ethernet, CaptureLink::Loopback}) {
    const std::string path = ::testing::TempDir() + "/capture-roundtrip.pcap";
    const std::vector<Bytes> datagrams{Bytes(1, 0x11), Bytes(9000, 0x22), Bytes{}, Bytes(40, 0x33)};
    const std::int64_t base = 1'700'000'000'123'456'789;
    {
      CaptureEndpoints endpoints;
      endpoints.destinationAddress = 0xefff0001;  // 239.255.0.1
      endpoints.destinationPort = 50000;
      CaptureWriter writer(path, link, endpoints);
      for (std::size_t i = 0; i < datagrams.size(); ++i) writer.Write(datagrams[i], base + std::int64_t(i) * 1001);
      endpoints.destinationPort = 50001;
      writer.SetEndpoints(endpoints);
      writer.Write(kPayload, base + 9'000'000'000);
    }
    CaptureReader reader(path, "udp dst port 50000");
    CapturedDatagram datagram;
    for (std::size_t i = 0; i < datagrams.size(); ++i) {
      ASSERT_TRUE(reader.Next(datagram));
      EXPECT_EQ(datagram.bytes, datagrams[i]);
      EXPECT_EQ(datagram.timestampNs, base + std::int64_t(i) * 1001);
    }
    EXPECT_FALSE(reader.Next(datagram)) << "the filter leaves out port 50001";
    EXPECT_EQ(reader.Skipped(), 0u);
  }
}

TEST(Capture, UnreadableFilesAndBadFiltersAreReported) {
  EXPECT_THROW(CaptureReader("/nonexistent/capture.pcap", ""), std::runtime_error);
  const std::string path = ::testing::TempDir() + "/capture-empty.pcap";
  { CaptureWriter writer(path, CaptureLink::Ethernet, {}); }
  EXPECT_THROW(CaptureReader(path, "udp port nonsense((("), std::runtime_error);
  CaptureReader empty(path, "");
  CapturedDatagram datagram;
  EXPECT_FALSE(empty.Next(datagram));
  EXPECT_THROW(CaptureWriter("/nonexistent/dir/out.pcap", CaptureLink::Ethernet, {}), std::runtime_error);
}

}  // namespace
