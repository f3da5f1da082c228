// Reliable multicast for LUMO streams: one copy of each image on the wire,
// however many subscribers. A publisher binds a multicast endpoint on its
// PUB socket beside the TCP one and registers both; subscribers that prefer
// multicast join the group on their own interface. The protocol is libzmq's
// own PGM over UDP ("epgm://"). libzmq's NORM engine ("norm://") is refused:
// in Debian's libzmq 4.3.4 its sender spins on an image-sized message and
// sends nothing, and the program no longer ends on SIGTERM.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lumo {

// "epgm://INTERFACE;GROUP:PORT": INTERFACE
// is the IPv4 address of the publisher's interface that sends, GROUP an IPv4
// multicast group (224.0.1.0 to 239.255.255.255), PORT 1 to 65535. These
// endpoints cross the network (the broker hands them to subscribers), so
// they are parsed strictly and rebuilt, never passed on as received.
struct MulticastEndpoint {
  std::string interfaceAddress;
  std::string group;
  std::uint16_t port = 0;
};

// Empty, with `problem` saying why, for anything else.
std::optional<MulticastEndpoint> ParseMulticastEndpoint(std::string_view text, std::string& problem);
// The registered form, as above.
std::string FormatMulticastEndpoint(const MulticastEndpoint& endpoint);
// The endpoint as libzmq joins it on the host whose interface has
// `localAddress`. Empty, with `problem` set, when no interface of this host
// has that address.
std::optional<std::string> ZmqMulticastEndpoint(const MulticastEndpoint& endpoint, const std::string& localAddress,
                                                std::string& problem);

// The address of this host's interface that the kernel routes `remote` (an
// IPv4 address) through; empty when there is no route.
std::string LocalAddressToward(const std::string& remote);
// MTU of the interface that has `localAddress`; 0 when none has it.
int InterfaceMtu(const std::string& localAddress);
// Speed in Mbit/s of the interface that has `localAddress`, as its driver
// tells it; 0 when unknown.
int InterfaceSpeedMbit(const std::string& localAddress);

// How a publisher sets up its multicast endpoint.
struct MulticastOptions {
  std::string endpoint;        // empty: no multicast
  double imagesPerSecond = 0;  // the stream's expected rate; 0 when unknown
  int rateMbit = 0;            // the sending rate in Mbit/s; 0 derives it
};

// Transport settings, derived from the stream so that the defaults of libzmq
// (100 kbit/s, 10 s of recovery) neither throttle an image stream nor pin
// gigabytes of repair buffer.
struct MulticastSettings {
  int rateKbit = 0;           // ZMQ_RATE: the most the sender puts on the wire
  int recoveryMs = 0;         // ZMQ_RECOVERY_IVL: how long sent data stays repairable
  int maxTpdu = 0;            // ZMQ_MULTICAST_MAXTPDU: largest datagram, the link's MTU
  int socketBufferBytes = 0;  // ZMQ_SNDBUF / ZMQ_RCVBUF (the kernel caps it)
};

// The highest rate, for a link of unknown speed.
inline constexpr int kMaxMulticastRateMbit = 10000;
// libzmq's PGM sender keeps well below its configured rate (OpenPGM's rate
// limiter sends in bursts on millisecond timers): measured with 1.5 MB
// images at 50/s, 1.25 times the stream's bits lost a third of the images,
// 4 times a few per cent, 8 times none.
inline constexpr double kMulticastRateHeadroom = 8;

// Publisher side. `imageBytes` is the largest image, `imagesPerSecond` the
// stream's rate (0: unknown), `rateMbit` a rate asked for (0: derive it:
// kMulticastRateHeadroom times the stream's bits, at most the link's speed;
// the link's speed when the stream is unknown), `mtu` and `linkMbit` the
// sending interface's (0: unknown: 1500 bytes, 10 Gbit/s).
MulticastSettings DeriveMulticastSettings(std::int64_t imageBytes, double imagesPerSecond, int rateMbit, int mtu,
                                          int linkMbit);
// Subscriber side: a receiver does not know the sender's rate, and its
// window must hold whatever is in flight, so it assumes the fastest stream.
MulticastSettings ReceiverMulticastSettings(int mtu);

}  // namespace lumo
