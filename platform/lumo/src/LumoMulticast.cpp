#include "lumo/LumoMulticast.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fstream>
#include <memory>

#include "lumo/LumoWire.hpp"

namespace lumo {

namespace {

constexpr std::string_view kPgmScheme = "epgm://";

// Dotted-quad IPv4 only: these addresses choose interfaces and groups, so
// host names (resolved by whom?) have no place in them.
std::optional<in_addr> ParseIpv4(std::string_view text) {
  if (text.empty() || text.size() > 15) return std::nullopt;
  const std::string copy(text);
  in_addr address{};
  if (inet_pton(AF_INET, copy.c_str(), &address) != 1) return std::nullopt;
  return address;
}

std::string FormatIpv4(in_addr address) {
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &address, text, sizeof text);
  return text;
}

// Closes a file descriptor when it goes out of scope.
struct FileDescriptor {
  int fd;
  ~FileDescriptor() {
    if (fd >= 0) close(fd);
  }
};

// The name of the interface that has `localAddress`; empty when none has it.
std::string InterfaceNamed(const std::string& localAddress) {
  const auto wanted = ParseIpv4(localAddress);
  if (!wanted) return {};
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return {};
  const std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> owner(list, &freeifaddrs);
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
    if (address->sin_addr.s_addr == wanted->s_addr) return entry->ifa_name;
  }
  return {};
}

}  // namespace

std::optional<MulticastEndpoint> ParseMulticastEndpoint(std::string_view text, std::string& problem) {
  MulticastEndpoint endpoint;
  if (text.size() > kMaxEndpointSize) {
    problem = "multicast endpoint longer than 255 bytes";
    return std::nullopt;
  }
  if (text.starts_with("norm://")) {
    problem = "NORM is not supported: libzmq 4.3.4's NORM sender sends nothing of image-sized messages; use epgm://";
    return std::nullopt;
  }
  if (!text.starts_with(kPgmScheme)) {
    problem = "multicast endpoint must be epgm://INTERFACE;GROUP:PORT";
    return std::nullopt;
  }
  text.remove_prefix(kPgmScheme.size());
  const auto semicolon = text.find(';');
  const auto colon = text.rfind(':');
  if (semicolon == std::string_view::npos || colon == std::string_view::npos || colon < semicolon) {
    problem = "multicast endpoint must name INTERFACE;GROUP:PORT";
    return std::nullopt;
  }
  const auto interfaceAddress = ParseIpv4(text.substr(0, semicolon));
  if (!interfaceAddress || interfaceAddress->s_addr == INADDR_ANY) {
    problem = "the interface must be given by its IPv4 address";
    return std::nullopt;
  }
  const auto group = ParseIpv4(text.substr(semicolon + 1, colon - semicolon - 1));
  const std::uint32_t groupValue = group ? ntohl(group->s_addr) : 0;
  // 224.0.0.0/24 is for routing protocols on the link, not for data.
  if (!group || groupValue < 0xE0000100u || groupValue > 0xEFFFFFFFu) {
    problem = "the group must be an IPv4 multicast address from 224.0.1.0 to 239.255.255.255";
    return std::nullopt;
  }
  const auto portText = text.substr(colon + 1);
  unsigned port = 0;
  const auto [end, error] = std::from_chars(portText.data(), portText.data() + portText.size(), port);
  if (error != std::errc() || end != portText.data() + portText.size() || port < 1 || port > 65535 ||
      portText.starts_with('0')) {
    problem = "the port must be 1 to 65535";
    return std::nullopt;
  }
  endpoint.interfaceAddress = FormatIpv4(*interfaceAddress);
  endpoint.group = FormatIpv4(*group);
  endpoint.port = static_cast<std::uint16_t>(port);
  return endpoint;
}

std::string FormatMulticastEndpoint(const MulticastEndpoint& endpoint) {
  return std::string(kPgmScheme) + endpoint.interfaceAddress + ";" + endpoint.group + ":" +
         std::to_string(endpoint.port);
}

std::optional<std::string> ZmqMulticastEndpoint(const MulticastEndpoint& endpoint, const std::string& localAddress,
                                                std::string& problem) {
  // libzmq asserts (ends the process) when it cannot open a multicast
  // socket, so the interface is checked here first.
  if (InterfaceNamed(localAddress).empty()) {
    problem = "no interface of this host has the address '" + localAddress + "'";
    return std::nullopt;
  }
  return std::string(kPgmScheme) + localAddress + ";" + endpoint.group + ":" + std::to_string(endpoint.port);
}

std::string LocalAddressToward(const std::string& remote) {
  const auto address = ParseIpv4(remote);
  if (!address) return {};
  const FileDescriptor socket{::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
  if (socket.fd < 0) return {};
  // Connecting a UDP socket sends nothing; it only asks the kernel's routes.
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_addr = *address;
  peer.sin_port = htons(9);
  if (connect(socket.fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) return {};
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (getsockname(socket.fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) return {};
  return FormatIpv4(local.sin_addr);
}

int InterfaceMtu(const std::string& localAddress) {
  const std::string name = InterfaceNamed(localAddress);
  if (name.empty() || name.size() >= IFNAMSIZ) return 0;
  const FileDescriptor socket{::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
  if (socket.fd < 0) return 0;
  ifreq request{};
  std::memcpy(request.ifr_name, name.c_str(), name.size() + 1);
  if (ioctl(socket.fd, SIOCGIFMTU, &request) != 0) return 0;
  return request.ifr_mtu;
}

int InterfaceSpeedMbit(const std::string& localAddress) {
  const std::string name = InterfaceNamed(localAddress);
  if (name.empty() || name.find('/') != std::string::npos || name.starts_with('.')) return 0;
  std::ifstream file("/sys/class/net/" + name + "/speed");
  long speed = 0;
  return file >> speed && speed > 0 && speed <= kMaxMulticastRateMbit ? static_cast<int>(speed) : 0;
}

namespace {

constexpr int kMinRateKbit = 100'000;                       // 100 Mbit/s
constexpr int kMaxRateKbit = kMaxMulticastRateMbit * 1000;  // OpenPGM counts bytes/s in an int
constexpr int kMinRecoveryMs = 200;         // a few rounds of repair requests
constexpr int kMaxRecoveryMs = 5000;
constexpr double kRepairedImages = 8;       // images a lagging receiver can still have repaired
constexpr int kMinSocketBuffer = 1 << 20;
constexpr int kMaxSocketBuffer = 64 << 20;
constexpr double kSocketBufferSeconds = 0.05;

int TpduFor(int mtu) { return mtu > 0 ? std::clamp(mtu, 576, 65535) : 1500; }

int SocketBufferFor(int rateKbit) {
  const double bytes = rateKbit * 1000.0 / 8 * kSocketBufferSeconds;
  return static_cast<int>(std::clamp(bytes, double{kMinSocketBuffer}, double{kMaxSocketBuffer}));
}

}  // namespace

MulticastSettings DeriveMulticastSettings(std::int64_t imageBytes, double imagesPerSecond, int rateMbit, int mtu,
                                          int linkMbit) {
  const double linkKbit = linkMbit > 0 ? std::min(linkMbit, kMaxMulticastRateMbit) * 1000.0 : kMaxRateKbit;
  double kbit = linkKbit;
  if (rateMbit > 0) {
    kbit = std::min(rateMbit * 1000.0, double{kMaxRateKbit});
  } else if (imageBytes > 0 && imagesPerSecond > 0) {
    kbit = std::min(std::ceil(static_cast<double>(imageBytes) * 8 * imagesPerSecond * kMulticastRateHeadroom / 1000),
                    linkKbit);
  }
  MulticastSettings settings;
  settings.rateKbit = static_cast<int>(std::clamp(kbit, double{kMinRateKbit}, double{kMaxRateKbit}));
  const double imagesMs = imagesPerSecond > 0 ? kRepairedImages * 1000 / imagesPerSecond : 1000;
  settings.recoveryMs = static_cast<int>(std::clamp(std::ceil(imagesMs), double{kMinRecoveryMs}, double{kMaxRecoveryMs}));
  settings.maxTpdu = TpduFor(mtu);
  settings.socketBufferBytes = SocketBufferFor(settings.rateKbit);
  return settings;
}

MulticastSettings ReceiverMulticastSettings(int mtu) {
  MulticastSettings settings;
  settings.rateKbit = kMaxRateKbit;
  settings.recoveryMs = 1000;
  settings.maxTpdu = TpduFor(mtu);
  settings.socketBufferBytes = kMaxSocketBuffer;
  return settings;
}

}  // namespace lumo
