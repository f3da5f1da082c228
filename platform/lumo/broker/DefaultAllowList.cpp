#include "DefaultAllowList.hpp"

#include <ifaddrs.h>
#include <netinet/in.h>

#include <bit>
#include <memory>
#include <span>

#include "lumo/LumoWire.hpp"

namespace lumo::broker {

namespace {

namespace ip = boost::asio::ip;

std::span<const unsigned char> AddressBytes(const sockaddr* address) {
  if (address->sa_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
    return {reinterpret_cast<const unsigned char*>(&v4->sin_addr), 4};
  }
  const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
  return {v6->sin6_addr.s6_addr, 16};
}

ip::address ToAddress(const sockaddr* address) {
  const auto bytes = AddressBytes(address);
  if (bytes.size() == 4) {
    ip::address_v4::bytes_type v4{};
    std::copy(bytes.begin(), bytes.end(), v4.begin());
    return ip::address_v4(v4);
  }
  ip::address_v6::bytes_type v6{};
  std::copy(bytes.begin(), bytes.end(), v6.begin());
  return ip::address_v6(v6);
}

unsigned short PrefixLength(const sockaddr* netmask) {
  unsigned short bits = 0;
  for (unsigned char byte : AddressBytes(netmask)) bits += static_cast<unsigned short>(std::popcount(byte));
  return bits;
}

}  // namespace

detail::AddressAllowList DefaultAllowList(const std::string& uri) {
  auto allowList = detail::AddressAllowList::Loopback();
  if (!uri.starts_with("tcp://")) return allowList;
  const auto colon = uri.rfind(':');
  std::string host = uri.substr(6, colon == std::string::npos || colon < 6 ? std::string::npos : colon - 6);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);

  ifaddrs* interfaces = nullptr;
  if (getifaddrs(&interfaces) != 0) return allowList;
  const std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> owner(interfaces, freeifaddrs);
  for (const ifaddrs* entry = interfaces; entry; entry = entry->ifa_next) {
    if (!entry->ifa_addr || !entry->ifa_netmask) continue;
    const int family = entry->ifa_addr->sa_family;
    if (family != AF_INET && family != AF_INET6) continue;
    const auto address = ToAddress(entry->ifa_addr);
    if (IsWildcardHost(host) || host == entry->ifa_name || host == address.to_string())
      allowList.Add(address, PrefixLength(entry->ifa_netmask));
  }
  return allowList;
}

}  // namespace lumo::broker
