// Who may connect to a LUMO socket: an allow-list of IP networks, enforced
// by ZeroMQ's authentication protocol (ZAP) during the connection handshake,
// before ZeroMQ reads any message from the peer.
#pragma once

#include <log4cplus/logger.h>

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/network_v4.hpp>
#include <boost/asio/ip/network_v6.hpp>
#include <zmq.hpp>

#include <atomic>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "LogThrottle.hpp"

namespace lumo::detail {

// IPv4 and IPv6 networks, such as 127.0.0.0/8 or ::1/128.
class AddressAllowList {
 public:
  // Adds "ADDRESS/PREFIX", or a bare address for that host alone. False
  // when `network` is neither.
  bool Add(std::string_view network);
  void Add(const boost::asio::ip::address& address, unsigned short prefixLength);
  // Whether the address (as text) lies in one of the networks; an
  // IPv4-mapped IPv6 address counts as the IPv4 address.
  bool Allows(std::string_view address) const;
  bool empty() const { return v4_.empty() && v6_.empty(); }
  // "127.0.0.0/8, ::1/128"
  std::string ToString() const;

  static AddressAllowList Loopback();

 private:
  std::vector<boost::asio::ip::network_v4> v4_;
  std::vector<boost::asio::ip::network_v6> v6_;
};

// Answers the ZAP requests of one ZeroMQ context: binds the context's ZAP
// endpoint and allows the peers whose address the allow-list holds. Only
// sockets that called Guard ask it.
class ZapHandler {
 public:
  ZapHandler(zmq::context_t& context, log4cplus::Logger logger);

  // Makes `socket` ask the handler about each peer before talking to it.
  static void Guard(zmq::socket_t& socket);

  void SetAllowList(AddressAllowList allowList);
  zmq::socket_t& socket() { return socket_; }
  // Answers the requests already waiting, without blocking.
  void AnswerPending();

 private:
  bool Allows(std::string_view address);

  zmq::socket_t socket_;
  log4cplus::Logger logger_;
  std::mutex mutex_;  // guards allowList_
  AddressAllowList allowList_;
  LogThrottle refusedLog_ = PeerLineThrottle();
};

// A ZapHandler on a thread of its own, for sockets whose owner does not
// wait on the handler's socket (a publisher's data socket).
class ZapThread {
 public:
  ZapThread(zmq::context_t& context, log4cplus::Logger logger);
  ~ZapThread();
  ZapThread(const ZapThread&) = delete;
  ZapThread& operator=(const ZapThread&) = delete;

  void SetAllowList(AddressAllowList allowList) { handler_.SetAllowList(std::move(allowList)); }

 private:
  ZapHandler handler_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace lumo::detail
