#include "PeerAccess.hpp"

#include <log4cplus/loggingmacros.h>

#include <boost/asio/ip/address.hpp>

#include <array>
#include <charconv>

#include "ZmqWait.hpp"

namespace lumo::detail {

namespace ip = boost::asio::ip;

namespace {

// Where libzmq sends the authentication requests of a context's sockets.
constexpr const char* kZapEndpoint = "inproc://zeromq.zap.01";
constexpr const char* kZapDomain = "lumo";
// A ZAP request: version, request id, domain, address, routing id,
// mechanism (NULL sends no credentials).
constexpr std::size_t kZapRequestFrames = 6;
constexpr std::size_t kZapAddressFrame = 3;

std::optional<ip::address> ParseAddress(std::string_view text) {
  boost::system::error_code error;
  auto address = ip::make_address(std::string(text), error);
  if (error) return std::nullopt;
  if (address.is_v6() && address.to_v6().is_v4_mapped())
    return ip::address(ip::make_address_v4(ip::v4_mapped, address.to_v6()));
  return address;
}

}  // namespace

bool AddressAllowList::Add(std::string_view network) {
  const auto slash = network.find('/');
  const auto address = ParseAddress(network.substr(0, slash));
  if (!address) return false;
  const unsigned short maxPrefix = address->is_v4() ? 32 : 128;
  unsigned short prefix = maxPrefix;
  if (slash != std::string_view::npos) {
    const auto digits = network.substr(slash + 1);
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), prefix);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() || prefix > maxPrefix)
      return false;
  }
  Add(*address, prefix);
  return true;
}

void AddressAllowList::Add(const ip::address& address, unsigned short prefixLength) {
  if (address.is_v4())
    v4_.push_back(ip::network_v4(address.to_v4(), prefixLength).canonical());
  else
    v6_.push_back(ip::network_v6(address.to_v6(), prefixLength).canonical());
}

bool AddressAllowList::Allows(std::string_view text) const {
  const auto address = ParseAddress(text);
  if (!address) return false;
  if (address->is_v4()) {
    for (const auto& network : v4_)
      if (ip::network_v4(address->to_v4(), network.prefix_length()).network() == network.network()) return true;
    return false;
  }
  for (const auto& network : v6_)
    if (ip::network_v6(address->to_v6(), network.prefix_length()).network() == network.network()) return true;
  return false;
}

std::string AddressAllowList::ToString() const {
  std::string text;
  const auto append = [&text](const std::string& network) { text += (text.empty() ? "" : ", ") + network; };
  for (const auto& network : v4_) append(network.to_string());
  for (const auto& network : v6_) append(network.to_string());
  return text;
}

AddressAllowList AddressAllowList::Loopback() {
  AddressAllowList loopback;
  loopback.Add(ip::address(ip::address_v4::loopback()), 8);
  loopback.Add(ip::address(ip::address_v6::loopback()), 128);
  return loopback;
}

ZapHandler::ZapHandler(zmq::context_t& context, log4cplus::Logger logger)
    : socket_(context, zmq::socket_type::rep), logger_(std::move(logger)) {
  socket_.set(zmq::sockopt::linger, 0);
  socket_.bind(kZapEndpoint);
}

void ZapHandler::Guard(zmq::socket_t& socket) { socket.set(zmq::sockopt::zap_domain, kZapDomain); }

void ZapHandler::SetAllowList(AddressAllowList allowList) {
  std::lock_guard lock(mutex_);
  allowList_ = std::move(allowList);
}

bool ZapHandler::Allows(std::string_view address) {
  std::lock_guard lock(mutex_);
  return allowList_.Allows(address);
}

void ZapHandler::AnswerPending() {
  // libzmq sends each request whole; a bounded batch keeps the caller's
  // other work going under a connection storm.
  for (int i = 0; i < 100 && (socket_.get(zmq::sockopt::events) & ZMQ_POLLIN); ++i) {
    std::array<std::string, kZapRequestFrames> request;
    std::size_t count = 0;
    for (bool more = true; more;) {
      zmq::message_t frame;
      if (!socket_.recv(frame, zmq::recv_flags::dontwait)) break;
      more = frame.more();
      if (count < request.size()) request[count] = frame.to_string();
      ++count;
    }
    const std::string& address = request[kZapAddressFrame];
    const bool allowed = count >= kZapRequestFrames && Allows(address);
    if (!allowed) {
      std::uint64_t events = 0;
      if (refusedLog_.Allow(events))
        LOG4CPLUS_WARN(logger_, "Refused a connection from " << (address.empty() ? "an unknown address" : address)
                                                             << ": not in the allow-list"
                                                             << LogThrottle::HeldBackNote(events));
    }
    // Reply: version, request id, status code and text, user id, metadata.
    const std::array<std::string, 6> reply{"1.0", request[1], allowed ? "200" : "400",
                                           allowed ? "OK" : "address not allowed", "", ""};
    for (std::size_t f = 0; f < reply.size(); ++f)
      socket_.send(zmq::buffer(reply[f]), f + 1 < reply.size() ? zmq::send_flags::sndmore : zmq::send_flags::none);
  }
}

ZapThread::ZapThread(zmq::context_t& context, log4cplus::Logger logger)
    : handler_(context, std::move(logger)), thread_([this] {
        while (!stop_) {
          if (WaitReadable(handler_.socket(), std::chrono::milliseconds(50))) handler_.AnswerPending();
        }
      }) {}

ZapThread::~ZapThread() {
  stop_ = true;
  thread_.join();
}

}  // namespace lumo::detail
