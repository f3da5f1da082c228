#include <log4cplus/loggingmacros.h>

#include <zmq.hpp>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "ControlClient.hpp"
#include "LogThrottle.hpp"
#include "PeerAccess.hpp"
#include "lumo/LumoDataTransfer.hpp"
#include "lumo/LumoLogger.hpp"
#include "lumo/LumoWire.hpp"

namespace lumo {

namespace {

using std::chrono::milliseconds;

constexpr milliseconds kDefaultRegisterTimeout{1000};
constexpr milliseconds kMaxRegisterTimeout{10000};
// Inbound frames on the data socket are subscriptions: stream names.
constexpr std::int64_t kMaxSubscriptionFrameSize = 1024;
// Messages that may wait for the multicast group.
constexpr int kMulticastQueue = 16;
// Data below this size is copied rather than handed over.
constexpr std::size_t kHandOverThreshold = 1024;

enum class RegistrationState : int { kUnregistered = -1, kLost = 0, kRegistered = 1 };

struct Lease {
  std::string token;
  milliseconds duration{0};
};

// "OK token lease-ms" with a sane token and lease.
std::optional<Lease> ParseLease(const detail::ControlReply& reply) {
  if (!reply.ok || reply.fields.size() != 2 || reply.fields[0].empty() || reply.fields[0].size() > 64) return std::nullopt;
  const std::string& text = reply.fields[1];
  long long ms = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), ms);
  if (error != std::errc() || end != text.data() + text.size() || ms < 1 || ms > 24LL * 3600 * 1000) return std::nullopt;
  return Lease{reply.fields[0], milliseconds(ms)};
}

// Heartbeats three times per lease, so one lost heartbeat does not end it.
milliseconds HeartbeatInterval(milliseconds lease) { return std::clamp(lease / 3, milliseconds(20), milliseconds(5000)); }

}  // namespace

LumoDataTransferLib::~LumoDataTransferLib() = default;

void LumoDataTransferLib::SetQoS(int peerTimeoutMs, int lingerMs) {
  peerTimeoutMs_ = std::max(peerTimeoutMs, 0);
  lingerMs_ = std::max(lingerMs, 0);
}

struct LumoDataPublisher::Impl {
  explicit Impl(LumoLogger* lumoLogger) : logger(LoggerOrDefault(lumoLogger)) {}

  log4cplus::Logger logger;
  zmq::context_t context{1};
  // Started by the first Register with an allow-list; declared after the
  // context, so that it closes its socket before the context ends.
  std::unique_ptr<detail::ZapThread> zap;
  std::optional<detail::AddressAllowList> allowedPeers;  // as set, applied at Register
  std::optional<zmq::socket_t> dataSocket;

  int bufferBytes = 0;
  int bufferCount = 10;
  bool warnedOversize = false;
  std::int32_t topicId = 0;
  std::uint64_t sequence = 0;

  std::string brokerUri;
  std::string streamName;
  std::string endpoint;  // as registered
  MulticastOptions multicast;         // as set, applied at Register
  std::string multicastEndpoint;      // as registered
  milliseconds timeout = kDefaultRegisterTimeout;
  Lease lease;           // owned by the heartbeat thread while it runs

  std::atomic<RegistrationState> state{RegistrationState::kUnregistered};
  std::thread heartbeatThread;
  std::mutex stopMutex;
  std::condition_variable stopSignal;
  std::atomic<bool> stopRequested{false};
  // The broker's answers decide the heartbeat thread's lines.
  detail::LogThrottle heartbeatLog = detail::PeerLineThrottle();

  void OpenDataSocket(const LumoDataTransferLib& qos);
  void OpenMulticast();
  void ApplyBufferSize();
  void CloseDataSocket() { dataSocket.reset(); }
  std::optional<Lease> RequestRegistration(detail::ControlClient& client, milliseconds waitLimit,
                                           std::string& failure, const std::atomic<bool>* cancel);
  void RunHeartbeats();
  void StopHeartbeats();
  void Send(int topicOverride, const std::vector<std::uint8_t>& metaData, zmq::message_t data);
};

void LumoDataPublisher::Impl::OpenDataSocket(const LumoDataTransferLib& qos) {
  zmq::socket_t socket(context, zmq::socket_type::pub);
  if (allowedPeers) {
    if (!zap) zap = std::make_unique<detail::ZapThread>(context, logger);
    zap->SetAllowList(*allowedPeers);
    detail::ZapHandler::Guard(socket);
  }
  socket.set(zmq::sockopt::linger, qos.linger_ms());
  socket.set(zmq::sockopt::maxmsgsize, kMaxSubscriptionFrameSize);
  if (qos.peer_timeout_ms() > 0) {
    socket.set(zmq::sockopt::heartbeat_ivl, std::max(qos.peer_timeout_ms() / 4, 1));
    socket.set(zmq::sockopt::heartbeat_timeout, qos.peer_timeout_ms());
  }
  dataSocket.emplace(std::move(socket));
  ApplyBufferSize();
  // Bind where subscribers can reach us: loopback only when the broker is
  // local (over TCP or IPC), every interface otherwise; the broker fills in
  // the address it sees us connect from.
  const auto brokerTcp = ParseTcpEndpoint(brokerUri);
  const bool local = !brokerTcp || IsLoopbackHost(brokerTcp->host);
  dataSocket->bind(local ? "tcp://127.0.0.1:*" : "tcp://*:*");
  endpoint = dataSocket->get(zmq::sockopt::last_endpoint);
  if (!multicast.endpoint.empty()) OpenMulticast();
}

// Adds the multicast endpoint to the data socket. libzmq reads a socket's
// options when an endpoint is added, so the multicast settings are set for
// it alone and the TCP connections keep the defaults.
void LumoDataPublisher::Impl::OpenMulticast() {
  std::string problem;
  const auto parsed = ParseMulticastEndpoint(multicast.endpoint, problem);
  if (!parsed) throw std::invalid_argument("multicast endpoint '" + multicast.endpoint + "': " + problem);
  const int mtu = InterfaceMtu(parsed->interfaceAddress);
  const auto zmqEndpoint = ZmqMulticastEndpoint(*parsed, parsed->interfaceAddress, problem);
  if (!zmqEndpoint || mtu <= 0) throw std::invalid_argument("multicast endpoint '" + multicast.endpoint + "': " + problem);
  const int linkMbit = InterfaceSpeedMbit(parsed->interfaceAddress);
  const auto settings =
      DeriveMulticastSettings(bufferBytes, multicast.imagesPerSecond, multicast.rateMbit, mtu, linkMbit);
  dataSocket->set(zmq::sockopt::rate, settings.rateKbit);
  dataSocket->set(zmq::sockopt::recovery_ivl, settings.recoveryMs);
  dataSocket->set(zmq::sockopt::multicast_maxtpdu, settings.maxTpdu);
  dataSocket->set(zmq::sockopt::sndbuf, settings.socketBufferBytes);
  // Images still queued behind the rate limit leave before the socket closes.
  dataSocket->set(zmq::sockopt::linger, std::max(dataSocket->get(zmq::sockopt::linger), settings.recoveryMs));
  // The group is one queue however many receivers: a deeper one rides out
  // the moments the sending thread is not scheduled, at little memory.
  dataSocket->set(zmq::sockopt::sndhwm, std::max(bufferCount, kMulticastQueue));
  dataSocket->connect(*zmqEndpoint);
  dataSocket->set(zmq::sockopt::sndbuf, -1);
  dataSocket->set(zmq::sockopt::sndhwm, std::max(bufferCount, 1));
  multicastEndpoint = FormatMulticastEndpoint(*parsed);
  std::ostringstream basis;
  if (multicast.rateMbit > 0)
    basis << "as set";
  else if (bufferBytes > 0 && multicast.imagesPerSecond > 0)
    basis << kMulticastRateHeadroom << " x images of " << bufferBytes << " bytes at " << multicast.imagesPerSecond
          << "/s, at most the link's " << (linkMbit > 0 ? std::to_string(linkMbit) + " Mbit/s" : "unknown speed");
  else
    basis << "image size or rate unknown: the link's speed";
  LOG4CPLUS_INFO(logger, "LUMO stream '" << streamName << "' by multicast on " << multicastEndpoint << ": rate "
                         << settings.rateKbit / 1000 << " Mbit/s (" << basis.str() << "), recovery "
                         << settings.recoveryMs << " ms, datagrams up to " << settings.maxTpdu
                         << " bytes (the MTU), send buffer " << settings.socketBufferBytes << " bytes");
}

void LumoDataPublisher::Impl::ApplyBufferSize() {
  if (!dataSocket) return;
  // The kernel's send buffer stays self-tuning: fixing it at one message
  // costs a fifth of the throughput of large images on loopback.
  dataSocket->set(zmq::sockopt::sndhwm, std::max(bufferCount, 1));
}

std::optional<Lease> LumoDataPublisher::Impl::RequestRegistration(detail::ControlClient& client,
                                                                  milliseconds waitLimit, std::string& failure,
                                                                  const std::atomic<bool>* cancel) {
  std::vector<std::string> request{"REGISTER", streamName, endpoint};
  if (!multicastEndpoint.empty()) request.push_back(multicastEndpoint);
  const auto reply = client.Exchange(request, waitLimit, failure, cancel);
  if (!reply) return std::nullopt;
  if (!reply->ok) {
    failure = "refused: " + reply->reason;
    return std::nullopt;
  }
  auto lease = ParseLease(*reply);
  if (!lease) failure = "malformed REGISTER reply";
  return lease;
}

// Keeps the lease alive; registers again when the broker no longer knows
// the stream (it restarted, or the lease ran out while it was unreachable).
void LumoDataPublisher::Impl::RunHeartbeats() {
  detail::ControlClient client(context, brokerUri);
  for (;;) {
    {
      std::unique_lock lock(stopMutex);
      if (stopSignal.wait_for(lock, HeartbeatInterval(lease.duration), [this] { return stopRequested.load(); })) return;
    }
    const milliseconds waitLimit = std::min(timeout, HeartbeatInterval(lease.duration));
    std::string failure;
    const auto reply = client.Exchange({"HEARTBEAT", streamName, lease.token}, waitLimit, failure, &stopRequested);
    if (stopRequested) return;
    std::uint64_t events = 0;
    if (reply && reply->ok) {
      if (state.exchange(RegistrationState::kRegistered) != RegistrationState::kRegistered &&
          heartbeatLog.Allow(events))
        LOG4CPLUS_INFO(logger, "LUMO broker at " << brokerUri << " holds stream '" << streamName << "' again"
                                                 << detail::LogThrottle::HeldBackNote(events));
      continue;
    }
    if (!reply) {
      if (state.exchange(RegistrationState::kLost) == RegistrationState::kRegistered && heartbeatLog.Allow(events))
        LOG4CPLUS_WARN(logger, "LUMO broker at " << brokerUri << " did not answer a heartbeat for stream '"
                                                 << streamName << "' (" << failure << "); data keeps flowing, retrying"
                                                 << detail::LogThrottle::HeldBackNote(events));
      continue;
    }
    const bool wasRegistered = state.exchange(RegistrationState::kLost) == RegistrationState::kRegistered;
    if (wasRegistered && heartbeatLog.Allow(events))
      LOG4CPLUS_WARN(logger, "LUMO broker at " << brokerUri << " refused the heartbeat for stream '" << streamName
                                               << "' (" << reply->reason.substr(0, 200) << "); registering again"
                                               << detail::LogThrottle::HeldBackNote(events));
    if (auto renewed = RequestRegistration(client, waitLimit, failure, &stopRequested)) {
      lease = *renewed;
      state = RegistrationState::kRegistered;
      if (heartbeatLog.Allow(events))
        LOG4CPLUS_INFO(logger, "Registered LUMO stream '" << streamName << "' again at broker " << brokerUri
                                                          << detail::LogThrottle::HeldBackNote(events));
    } else if (wasRegistered && !stopRequested && heartbeatLog.Allow(events)) {
      LOG4CPLUS_WARN(logger, "Registering LUMO stream '" << streamName << "' again failed (" << failure.substr(0, 200)
                                                         << "); retrying" << detail::LogThrottle::HeldBackNote(events));
    }
  }
}

void LumoDataPublisher::Impl::StopHeartbeats() {
  if (!heartbeatThread.joinable()) return;
  {
    std::lock_guard lock(stopMutex);
    stopRequested = true;
  }
  stopSignal.notify_all();
  heartbeatThread.join();
}

void LumoDataPublisher::Impl::Send(int topicOverride, const std::vector<std::uint8_t>& metaData, zmq::message_t data) {
  if (!dataSocket) throw std::logic_error("LUMO WriteData called while the publisher is not registered");
  if (metaData.size() > kMaxMetaDataSize)
    throw std::length_error("LUMO meta-data of " + std::to_string(metaData.size()) + " bytes exceeds the limit");
  if (bufferBytes > 0 && data.size() > static_cast<std::size_t>(bufferBytes) && !warnedOversize) {
    warnedOversize = true;
    LOG4CPLUS_WARN(logger, "LUMO stream '" << streamName << "': message of " << data.size()
                           << " bytes exceeds the buffer size of " << bufferBytes << " bytes; each subscriber may hold "
                           << bufferCount << " such messages");
  }
  DataHeader header;
  header.topicId = topicOverride != 0 ? topicOverride : topicId;
  header.sequence = ++sequence;
  header.publishTimeNs = NowNs();
  zmq::message_t headerFrame(kDataHeaderSize);
  EncodeDataHeader(header, std::span<std::uint8_t, kDataHeaderSize>(headerFrame.data<std::uint8_t>(), kDataHeaderSize));

  // A PUB socket drops rather than blocks for a subscriber whose queue is
  // full, and sends the four frames to each subscriber all or none.
  constexpr auto more = zmq::send_flags::sndmore | zmq::send_flags::dontwait;
  dataSocket->send(zmq::buffer(streamName), more);
  dataSocket->send(headerFrame, more);
  dataSocket->send(zmq::buffer(metaData), more);
  dataSocket->send(data, zmq::send_flags::dontwait);
}

LumoDataPublisher::LumoDataPublisher(LumoLogger* logger) : impl_(std::make_unique<Impl>(logger)) {}

LumoDataPublisher::~LumoDataPublisher() {
  try {
    Unregister();
  } catch (const std::exception& error) {
    LOG4CPLUS_WARN(impl_->logger, "Closing LUMO publisher: " << error.what());
  }
}

int LumoDataPublisher::Register(std::string brokerUri, std::string streamName, int timeoutMs) {
  auto& impl = *impl_;
  if (impl.state != RegistrationState::kUnregistered) {
    try {
      Unregister();
    } catch (const std::exception& error) {
      LOG4CPLUS_WARN(impl.logger, "Replacing LUMO registration: " << error.what());
    }
  }
  if (!IsValidStreamName(streamName)) {
    LOG4CPLUS_ERROR(impl.logger, "Cannot register LUMO stream: invalid stream name '" << streamName
                                 << "' (1 to 255 bytes of UTF-8, no blanks or control characters)");
    return -1;
  }
  impl.brokerUri = std::move(brokerUri);
  impl.streamName = std::move(streamName);
  impl.timeout = timeoutMs > 0 ? std::min(milliseconds(timeoutMs), kMaxRegisterTimeout) : kDefaultRegisterTimeout;
  std::string failure;
  try {
    detail::ControlClient client(impl.context, impl.brokerUri);
    if (!client.Open(failure)) throw std::invalid_argument("invalid broker URI: " + failure);
    impl.OpenDataSocket(*this);
    if (auto lease = impl.RequestRegistration(client, impl.timeout, failure, nullptr)) {
      impl.lease = *lease;
      impl.sequence = 0;
      impl.stopRequested = false;
      impl.state = RegistrationState::kRegistered;
      impl.heartbeatThread = std::thread([&impl] { impl.RunHeartbeats(); });
      LOG4CPLUS_INFO(impl.logger, "Registered LUMO stream '" << impl.streamName << "' at broker " << impl.brokerUri
                                  << ", data on " << impl.endpoint
                                  << (impl.multicastEndpoint.empty() ? "" : " and " + impl.multicastEndpoint) << ", lease " << impl.lease.duration.count()
                                  << " ms");
      return 1;
    }
  } catch (const std::exception& error) {
    failure = error.what();
  }
  impl.CloseDataSocket();
  impl.endpoint.clear();
  impl.multicastEndpoint.clear();
  LOG4CPLUS_ERROR(impl.logger, "Cannot register LUMO stream '" << impl.streamName << "' at broker " << impl.brokerUri
                               << ": " << failure);
  return -1;
}

void LumoDataPublisher::Unregister() {
  auto& impl = *impl_;
  // Only this thread leaves or enters the unregistered state; the heartbeat
  // thread moves between registered and lost.
  if (impl.state == RegistrationState::kUnregistered) return;
  impl.StopHeartbeats();
  impl.state = RegistrationState::kUnregistered;
  std::string failure;
  std::optional<detail::ControlReply> reply;
  try {
    detail::ControlClient client(impl.context, impl.brokerUri);
    reply = client.Exchange({"UNREGISTER", impl.streamName, impl.lease.token}, impl.timeout, failure);
  } catch (const std::exception& error) {
    failure = error.what();
  }
  impl.CloseDataSocket();
  impl.endpoint.clear();
  impl.multicastEndpoint.clear();
  if (!reply) throw std::runtime_error("LUMO broker at " + impl.brokerUri + " did not confirm unregistering stream '" +
                                       impl.streamName + "': " + failure);
  if (!reply->ok)
    throw std::runtime_error("LUMO broker at " + impl.brokerUri + " refused unregistering stream '" +
                             impl.streamName + "': " + reply->reason);
  LOG4CPLUS_INFO(impl.logger, "Unregistered LUMO stream '" << impl.streamName << "' at broker " << impl.brokerUri);
}

int LumoDataPublisher::CompleteWrite() { return static_cast<int>(impl_->state.load()); }

void LumoDataPublisher::SetBufferSize(int bytes, int count) {
  impl_->bufferBytes = std::max(bytes, 0);
  impl_->bufferCount = std::max(count, 1);
  impl_->warnedOversize = false;
  impl_->ApplyBufferSize();
}

bool LumoDataPublisher::SetAllowedPeers(const std::vector<std::string>& networks) {
  if (networks.empty()) {
    impl_->allowedPeers.reset();
    return true;
  }
  detail::AddressAllowList allowList;
  for (const auto& network : networks) {
    if (!allowList.Add(network)) {
      LOG4CPLUS_ERROR(impl_->logger, "LUMO allow-list: '" << network << "' is not ADDRESS/PREFIX; allow-list unchanged");
      return false;
    }
  }
  impl_->allowedPeers = std::move(allowList);
  return true;
}

bool LumoDataPublisher::SetMulticast(const MulticastOptions& options) {
  std::string problem;
  if (!options.endpoint.empty() && !ParseMulticastEndpoint(options.endpoint, problem)) {
    LOG4CPLUS_ERROR(impl_->logger, "LUMO multicast endpoint '" << options.endpoint << "': " << problem);
    return false;
  }
  impl_->multicast = options;
  return true;
}

void LumoDataPublisher::set_topic_id(int topicId) { impl_->topicId = topicId; }

int LumoDataPublisher::WriteData(int topicId, const std::vector<std::uint8_t>& data,
                                 const std::vector<std::uint8_t>& metaData) {
  impl_->Send(topicId, metaData, zmq::message_t(data.data(), data.size()));
  return 1;
}

int LumoDataPublisher::WriteData(int topicId, std::vector<std::uint8_t>&& data,
                                 const std::vector<std::uint8_t>& metaData) {
  if (data.size() < kHandOverThreshold) return WriteData(topicId, static_cast<const std::vector<std::uint8_t>&>(data), metaData);
  // ZeroMQ frees the data once every subscriber's copy has gone out, on its
  // I/O thread. libzmq's own hand-over to that thread is invisible to
  // ThreadSanitizer (it is not built with it); the release/acquire pair on
  // `handedOver` shows it the ordering, at the cost of one atomic per message.
  struct HandedOverData {
    std::vector<std::uint8_t> bytes;
    std::atomic<bool> handedOver{false};
  };
  // Braces, not make_unique: clang 14 (the fuzz build) lacks parenthesised
  // aggregate initialisation.
  std::unique_ptr<HandedOverData> owned(new HandedOverData{std::move(data)});
  zmq::message_t frame(
      owned->bytes.data(), owned->bytes.size(),
      [](void*, void* hint) {
        auto* handed = static_cast<HandedOverData*>(hint);
        (void)handed->handedOver.load(std::memory_order_acquire);
        delete handed;
      },
      owned.get());
  owned.release()->handedOver.store(true, std::memory_order_release);  // this thread's last touch
  impl_->Send(topicId, metaData, std::move(frame));
  return 1;
}

std::string LumoDataPublisher::endpoint() const { return impl_->endpoint; }

std::string LumoDataPublisher::multicast_endpoint() const { return impl_->multicastEndpoint; }

std::unique_ptr<LumoDataPublisher> LumoDataTransferFactory::CreatePublisher(LumoLogger* logger) {
  return std::make_unique<LumoDataPublisher>(logger);
}

}  // namespace lumo
