#include "lumo/LumoDataSubscriber.hpp"

#include <log4cplus/loggingmacros.h>

#include <zmq.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <thread>

#include "ControlClient.hpp"
#include "LogThrottle.hpp"
#include "ZmqWait.hpp"
#include "lumo/LumoLogger.hpp"
#include "lumo/LumoMulticast.hpp"

namespace lumo {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kLookupTimeout{500};
// Pause between look-ups while the stream has no publisher.
constexpr milliseconds kLookupRetry{200};
// A sequence jump beyond this is not loss (2^32 messages is years of images
// at any real rate) but a publisher that started a new sequence.
constexpr std::uint64_t kMaxPlausibleGap = std::uint64_t{1} << 32;

bool IsFollowableEndpoint(const std::string& endpoint) {
  if (ParseTcpEndpoint(endpoint)) return true;
  return endpoint.starts_with("ipc://") && endpoint.size() > 6 && endpoint.size() <= kMaxEndpointSize &&
         std::none_of(endpoint.begin(), endpoint.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; });
}

milliseconds Until(Clock::time_point from, Clock::time_point to) {
  return std::max(std::chrono::ceil<milliseconds>(to - from), milliseconds(0));
}

// Follows the connection of a data socket through its monitor events.
class ConnectionMonitor : public zmq::monitor_t {
 public:
  bool connected = false;

 private:
  void on_event_handshake_succeeded(const zmq_event_t&, const char*) override { connected = true; }
  void on_event_disconnected(const zmq_event_t&, const char*) override { connected = false; }
};

// Monitor addresses are unique in the process, as subscribers may share a context.
std::atomic<std::uint64_t> monitorCount{0};

}  // namespace

struct LumoContext::Impl {
  zmq::context_t context{1};
};

LumoContext::LumoContext() : impl_(std::make_shared<Impl>()) {}

struct LumoDataSubscriber::Impl {
  Impl(std::shared_ptr<LumoContext::Impl> sharedContext, LumoLogger* lumoLogger)
      : contextOwner(std::move(sharedContext)), context(contextOwner->context), logger(LoggerOrDefault(lumoLogger)) {}

  // First, so that it outlives every socket below.
  std::shared_ptr<LumoContext::Impl> contextOwner;
  zmq::context_t& context;
  log4cplus::Logger logger;
  std::optional<detail::ControlClient> broker;
  std::optional<zmq::socket_t> dataSocket;
  // Connection events of dataSocket. ZeroMQ gives up for good on a peer that
  // breaks the protocol (a frame over the size limit, say), so a silent
  // stream whose connection is down is connected afresh.
  // Declared after dataSocket: it must close before the socket it watches.
  std::unique_ptr<ConnectionMonitor> monitor;

  int receiveQueue = 4;
  std::int64_t maxDataSize = kDefaultMaxImageSize;
  milliseconds lookupInterval{1000};
  bool preferMulticast = false;
  std::string multicastNetif;  // "" : the interface that routes to the publisher

  std::string streamName;
  std::string endpoint;
  bool joinedMulticast = false;  // endpoint is a multicast group
  std::string fallbackReason;    // why TCP was taken although multicast was preferred
  Clock::time_point lastActivity;  // last message, or the connection
  Clock::time_point nextLookup;
  std::optional<std::uint64_t> lastSequence;  // empty: no message since connecting
  bool followedRestart = false;               // connected to a new endpoint after receiving from another
  LumoSubscriberStats stats;
  // Lines that the broker's answers or the publisher's messages trigger.
  detail::LogThrottle malformedLog = detail::PeerLineThrottle();
  detail::LogThrottle connectionLog = detail::PeerLineThrottle();

  void Lookup(milliseconds waitLimit);
  // The endpoint to follow from a LOOKUP reply's endpoints: the TCP one, or
  // with multicast preferred the multicast one and how libzmq joins it here.
  struct Choice {
    std::string endpoint;
    std::string zmqEndpoint;
    std::optional<MulticastSettings> multicast;
  };
  Choice Choose(const std::vector<std::string>& endpoints);
  void FallBackToTcp(const std::string& reason);
  // False when the socket could not be connected (the reason is logged).
  bool Connect(const Choice& choice);
  void Disconnect();
  void ReadConnectionEvents();
  bool Receive(LumoSample& sample);
  void CountMalformed(const char* why);
  void DropPublisher(const char* why);
  void FollowSequence(LumoSample& sample);
  bool LookupDue(Clock::time_point now) const {
    return now >= nextLookup && (!dataSocket || now - lastActivity >= lookupInterval);
  }
  Clock::time_point NextLookupTime() const {
    return dataSocket ? std::max(nextLookup, lastActivity + lookupInterval) : nextLookup;
  }
};

void LumoDataSubscriber::Impl::Lookup(milliseconds waitLimit) {
  std::string failure;
  const auto reply = broker->Exchange({"LOOKUP", streamName}, waitLimit, failure);
  if (!reply) {
    LOG4CPLUS_DEBUG(logger, "LUMO look-up of stream '" << streamName << "' at " << broker->brokerUri() << ": "
                            << failure);
    return;
  }
  if (!reply->ok) {
    LOG4CPLUS_DEBUG(logger, "LUMO stream '" << streamName << "' not available: " << reply->reason);
    return;
  }
  if (reply->fields.empty() || !IsFollowableEndpoint(reply->fields[0])) {
    if (std::uint64_t events = 0; connectionLog.Allow(events))
      LOG4CPLUS_WARN(logger, "LUMO broker at " << broker->brokerUri() << " gave a malformed endpoint for stream '"
                             << streamName << "'" << detail::LogThrottle::HeldBackNote(events));
    return;
  }
  ReadConnectionEvents();
  const Choice choice = Choose(reply->fields);
  // A multicast group has no connection to watch: it stays joined.
  const bool connected = joinedMulticast || (monitor && monitor->connected);
  if ((choice.endpoint != endpoint || !connected) && !Connect(choice) && choice.multicast)
    Connect({reply->fields[0], reply->fields[0], std::nullopt});
}

LumoDataSubscriber::Impl::Choice LumoDataSubscriber::Impl::Choose(const std::vector<std::string>& endpoints) {
  Choice tcp{endpoints[0], endpoints[0], std::nullopt};
  if (!preferMulticast) return tcp;
  std::string problem = "the publisher registered no multicast endpoint";
  std::optional<MulticastEndpoint> group;
  for (std::size_t i = 1; i < endpoints.size() && !group; ++i) group = ParseMulticastEndpoint(endpoints[i], problem);
  if (!group) return FallBackToTcp(problem), tcp;
  const std::string local = !multicastNetif.empty() ? multicastNetif : LocalAddressToward(group->interfaceAddress);
  if (local.empty()) return FallBackToTcp("no route to the publisher's interface " + group->interfaceAddress), tcp;
  const auto zmqEndpoint = ZmqMulticastEndpoint(*group, local, problem);
  if (!zmqEndpoint) return FallBackToTcp(problem), tcp;
  return {FormatMulticastEndpoint(*group), *zmqEndpoint, ReceiverMulticastSettings(InterfaceMtu(local))};
}

// Said once per reason, not at every look-up; the reasons come from the
// broker's replies, so the lines are throttled too.
void LumoDataSubscriber::Impl::FallBackToTcp(const std::string& reason) {
  if (reason == fallbackReason) return;
  fallbackReason = reason;
  if (std::uint64_t events = 0; connectionLog.Allow(events))
    LOG4CPLUS_WARN(logger, "LUMO stream '" << streamName << "': receiving over TCP, not by multicast: "
                                           << reason.substr(0, 300) << detail::LogThrottle::HeldBackNote(events));
}

bool LumoDataSubscriber::Impl::Connect(const Choice& choice) {
  const std::string& newEndpoint = choice.endpoint;
  zmq::socket_t socket(context, zmq::socket_type::sub);
  socket.set(zmq::sockopt::linger, 0);
  socket.set(zmq::sockopt::rcvhwm, receiveQueue);
  socket.set(zmq::sockopt::maxmsgsize, maxDataSize);
  socket.set(zmq::sockopt::subscribe, std::string_view(streamName).substr(0, kMaxSubscriptionSize));
  if (choice.multicast) {
    socket.set(zmq::sockopt::rate, choice.multicast->rateKbit);
    socket.set(zmq::sockopt::recovery_ivl, choice.multicast->recoveryMs);
    socket.set(zmq::sockopt::multicast_maxtpdu, choice.multicast->maxTpdu);
    socket.set(zmq::sockopt::rcvbuf, choice.multicast->socketBufferBytes);
  }
  // Declared after the socket, so that on every path it closes first.
  auto newMonitor = std::make_unique<ConnectionMonitor>();
  try {
    if (!choice.multicast)
      newMonitor->init(socket, "inproc://lumo-subscriber-monitor-" + std::to_string(++monitorCount),
                       ZMQ_EVENT_HANDSHAKE_SUCCEEDED | ZMQ_EVENT_DISCONNECTED);
    socket.connect(choice.zmqEndpoint);
  } catch (const zmq::error_t& error) {
    if (choice.multicast) {
      FallBackToTcp("joining " + newEndpoint + " failed: " + error.what());
      preferMulticast = false;
      return false;
    }
    if (std::uint64_t events = 0; connectionLog.Allow(events))
      LOG4CPLUS_WARN(logger, "Cannot connect to LUMO publisher at " << newEndpoint << ": " << error.what()
                             << detail::LogThrottle::HeldBackNote(events));
    return false;
  }
  // Sequence numbers go on across a new connection to the same publisher.
  if (newEndpoint != endpoint) {
    followedRestart = dataSocket.has_value() && lastSequence.has_value();
    lastSequence.reset();
  }
  Disconnect();
  dataSocket.emplace(std::move(socket));
  if (!choice.multicast) monitor = std::move(newMonitor);
  joinedMulticast = choice.multicast.has_value();
  if (joinedMulticast) fallbackReason.clear();
  endpoint = newEndpoint;
  lastActivity = Clock::now();
  ++stats.connections;
  if (std::uint64_t events = 0; connectionLog.Allow(events))
    LOG4CPLUS_INFO(logger, "Following LUMO stream '" << streamName << "' at " << endpoint
                                                     << (joinedMulticast ? " as " + choice.zmqEndpoint : "")
                                                     << detail::LogThrottle::HeldBackNote(events));
  return true;
}

void LumoDataSubscriber::Impl::Disconnect() {
  monitor.reset();
  dataSocket.reset();
  joinedMulticast = false;
}

void LumoDataSubscriber::Impl::ReadConnectionEvents() {
  if (!monitor) return;
  try {
    while (monitor->check_event(0)) {
    }
  } catch (const zmq::error_t&) {
    // Interrupted by a signal: the events left are read at the next look-up.
  }
}

// A publisher that breaks the bounds of a message is disconnected, and
// connected again at the next look-up at the earliest: ZeroMQ keeps a
// message whole until its last frame, so each such message costs memory
// until it ends.
void LumoDataSubscriber::Impl::DropPublisher(const char* why) {
  CountMalformed(why);
  Disconnect();
  nextLookup = Clock::now() + lookupInterval;
}

void LumoDataSubscriber::Impl::CountMalformed(const char* why) {
  ++stats.malformed;
  if (std::uint64_t events = 0; malformedLog.Allow(events))
    LOG4CPLUS_WARN(logger, "Dropped a malformed LUMO message on stream '" << streamName << "' from " << endpoint
                                                                         << ": " << why
                                                                         << detail::LogThrottle::HeldBackNote(events));
}

// Sets the sample's gap and restart fields from its sequence number. A
// publisher starts at 1 after each Register, so the first message of a new
// sequence tells how many of it were missed.
void LumoDataSubscriber::Impl::FollowSequence(LumoSample& sample) {
  const std::uint64_t sequence = sample.header.sequence;
  sample.missedBefore = 0;
  sample.publisherRestarted = false;
  std::uint64_t missed = 0;
  if (!lastSequence) {
    sample.publisherRestarted = followedRestart;
    if (followedRestart) missed = sequence - 1;
  } else if (sequence <= *lastSequence || sequence - *lastSequence > kMaxPlausibleGap) {
    sample.publisherRestarted = true;
    missed = sequence - 1;
  } else {
    missed = sequence - *lastSequence - 1;
  }
  if (missed > 0 && missed <= kMaxPlausibleGap) {
    sample.missedBefore = missed;
    ++stats.gaps;
    stats.missed += missed;
  }
  if (sample.publisherRestarted) ++stats.restarts;
  followedRestart = false;
  lastSequence = sequence;
}

bool LumoDataSubscriber::Impl::Receive(LumoSample& sample) {
  // ZeroMQ hands over a multipart message whole, so this loop only reads
  // frames already received, and keeps no more than four.
  zmq::message_t frames[kDataFrames];
  std::size_t count = 0;
  bool more = true;
  while (more) {
    zmq::message_t frame;
    if (!dataSocket->recv(frame, zmq::recv_flags::dontwait)) break;
    more = frame.more();
    if (count < kDataFrames) frames[count] = std::move(frame);
    ++count;
  }
  if (count == 0) return false;
  // A group cannot be left for one sender, and a loss in the middle of a
  // message can join its start to the next one: count it, stay joined.
  if (count > kDataFrames && joinedMulticast) return CountMalformed("more than four frames in one message"), false;
  if (count > kDataFrames) return DropPublisher("more than four frames in one message"), false;
  if (more || count != kDataFrames) return CountMalformed("not four frames"), false;
  if (frames[0].size() != streamName.size() || std::memcmp(frames[0].data(), streamName.data(), streamName.size()) != 0)
    return CountMalformed("another stream name"), false;
  const auto header = DecodeDataHeader({frames[1].data<std::uint8_t>(), frames[1].size()});
  if (!header) return CountMalformed("bad header"), false;
  if (header->sequence == 0) return CountMalformed("sequence number 0"), false;
  if (frames[2].size() > kMaxMetaDataSize) return CountMalformed("meta-data too long"), false;

  lastActivity = Clock::now();
  sample.stream = streamName;
  sample.header = *header;
  FollowSequence(sample);
  ++stats.received;

  const auto* meta = frames[2].data<std::uint8_t>();
  sample.metaData.assign(meta, meta + frames[2].size());
  auto data = std::make_shared<zmq::message_t>(std::move(frames[3]));
  sample.dataBytes_ = data->data<std::uint8_t>();
  sample.dataSize_ = data->size();
  sample.dataOwner_ = std::move(data);
  return true;
}

LumoDataSubscriber::LumoDataSubscriber(LumoLogger* logger) : LumoDataSubscriber(LumoContext(), logger) {}

LumoDataSubscriber::LumoDataSubscriber(const LumoContext& context, LumoLogger* logger)
    : impl_(std::make_unique<Impl>(context.impl_, logger)) {}

LumoDataSubscriber::~LumoDataSubscriber() = default;

void LumoDataSubscriber::SetReceiveQueue(int messages) { impl_->receiveQueue = std::max(messages, 1); }

void LumoDataSubscriber::SetMaxDataSize(std::int64_t bytes) { impl_->maxDataSize = std::max<std::int64_t>(bytes, 1); }

void LumoDataSubscriber::SetMulticast(bool prefer, std::string netif) {
  impl_->preferMulticast = prefer;
  impl_->multicastNetif = std::move(netif);
}

void LumoDataSubscriber::SetLookupInterval(int ms) { impl_->lookupInterval = milliseconds(std::max(ms, 50)); }

int LumoDataSubscriber::Subscribe(std::string brokerUri, std::string streamName, int timeoutMs) {
  auto& impl = *impl_;
  if (!IsValidStreamName(streamName)) {
    LOG4CPLUS_ERROR(impl.logger, "Cannot subscribe: invalid LUMO stream name '" << streamName << "'");
    return -1;
  }
  impl.Disconnect();
  impl.endpoint.clear();
  impl.lastSequence.reset();
  impl.streamName = std::move(streamName);
  impl.broker.emplace(impl.context, std::move(brokerUri));
  std::string failure;
  if (!impl.broker->Open(failure)) {
    LOG4CPLUS_ERROR(impl.logger, "Cannot subscribe: LUMO broker URI '" << impl.broker->brokerUri() << "': " << failure);
    impl.broker.reset();
    return -1;
  }
  impl.Lookup(milliseconds(std::max(timeoutMs, 0)));
  impl.nextLookup = Clock::now() + kLookupRetry;
  return impl.dataSocket ? 1 : 0;
}

bool LumoDataSubscriber::Read(LumoSample& sample, int timeoutMs) {
  auto& impl = *impl_;
  if (!impl.broker) return false;
  const auto deadline = Clock::now() + milliseconds(std::max(timeoutMs, 0));
  for (bool first = true;; first = false) {
    auto now = Clock::now();
    if (!first && now >= deadline) return false;
    if (impl.LookupDue(now) && deadline - now >= milliseconds(1)) {
      impl.Lookup(std::min(Until(now, deadline), kLookupTimeout));
      now = Clock::now();
      impl.nextLookup = now + (impl.dataSocket ? impl.lookupInterval : kLookupRetry);
    }
    const auto wait = std::min(Until(now, deadline), Until(now, impl.NextLookupTime()));
    if (impl.dataSocket) {
      if (detail::WaitReadable(*impl.dataSocket, wait) && impl.Receive(sample)) return true;
    } else {
      std::this_thread::sleep_for(wait);
    }
  }
}

const LumoSubscriberStats& LumoDataSubscriber::stats() const { return impl_->stats; }

std::string LumoDataSubscriber::endpoint() const { return impl_->endpoint; }

bool LumoDataSubscriber::multicast() const { return impl_->joinedMulticast; }

}  // namespace lumo
