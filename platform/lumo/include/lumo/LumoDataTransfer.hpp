// Publishing images on a LUMO stream.
//
// A publisher binds its own ZeroMQ PUB socket, registers that endpoint
// under a stream name at a broker, and sends one message per WriteData
// straight to the subscribers. A background thread keeps the registration
// alive with heartbeats and registers again when a restarted broker no
// longer knows the stream; it never touches the data socket, so WriteData
// is never held up by the broker.
//
// A publisher is used from one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "lumo/LumoMulticast.hpp"

namespace lumo {

class LumoLogger;

// Settings common to LUMO endpoints.
class LumoDataTransferLib {
 public:
  virtual ~LumoDataTransferLib();

  // Quality of service, applied to the data socket at the next Register:
  // - peerTimeoutMs: a subscriber that has not answered ZeroMQ heartbeats
  //   for this long (host gone, cable pulled) is disconnected and its queued
  //   messages freed; 0 or less turns heartbeats off. Default 10000.
  // - lingerMs: the longest Unregister or destruction waits to hand queued
  //   messages to the network; 0 or less drops them at once. Default 10.
  void SetQoS(int peerTimeoutMs, int lingerMs);

  int peer_timeout_ms() const { return peerTimeoutMs_; }
  int linger_ms() const { return lingerMs_; }

 protected:
  LumoDataTransferLib() = default;

 private:
  int peerTimeoutMs_ = 10000;
  int lingerMs_ = 10;
};

class LumoDataPublisher : public LumoDataTransferLib {
 public:
  // Logs through `logger`, or through the log4cplus logger "lumo" when it is
  // null. The publisher keeps no pointer to `logger`.
  explicit LumoDataPublisher(LumoLogger* logger = nullptr);
  // Unregisters (waiting at most the registration timeout) and closes.
  ~LumoDataPublisher() override;

  LumoDataPublisher(const LumoDataPublisher&) = delete;
  LumoDataPublisher& operator=(const LumoDataPublisher&) = delete;

  // Binds the data socket and registers it as `streamName` at the broker
  // `brokerUri`. `timeoutMs` bounds the wait for the broker; 0 or less
  // means 1000 ms, and more than 10000 counts as 10000. Returns 1 when
  // registered; -1 for an invalid name or URI, a broker that does not
  // answer in time, or a refusal, with the reason logged at ERROR.
  // Registering again first unregisters the earlier registration.
  // Sequence numbers start again at 1.
  virtual int Register(std::string brokerUri, std::string streamName, int timeoutMs);
  // Stops the heartbeats, unregisters at the broker and closes the data
  // socket. Does nothing when not registered. Throws std::runtime_error when
  // the broker does not answer in time or refuses (the publisher is closed
  // all the same; the stream is then freed when its lease ends).
  virtual void Unregister();
  // Called after each WriteData. Returns 1 while the broker holds the
  // registration, 0 while the broker is unreachable or the publisher is
  // registering again (data keeps flowing to connected subscribers), -1
  // when not registered.
  virtual int CompleteWrite();

  // Bounds the memory and latency of each subscriber's queue: at most
  // `count` messages wait for a subscriber (further ones are dropped for it,
  // never blocking WriteData), so a stuck subscriber holds at most about
  // `count` x `bytes` of this process's memory and a slow one sees data at
  // most `count` messages old, where `bytes` is the largest data size the
  // caller will write (a larger message is sent all the same, with one
  // warning in the log). Count below 1 counts as 1. Default: 0 bytes (no
  // size stated), 10 messages. Applies to subscribers that connect after
  // the call.
  void SetBufferSize(int bytes, int count);
  // Only hosts in these networks ("ADDRESS/PREFIX", or one ADDRESS; IPv4 or
  // IPv6) may connect to the data socket; others are refused during
  // ZeroMQ's handshake, before anything they send is stored. Empty (the
  // default) allows every host. Returns false, changing nothing, when an
  // entry is malformed. Applies at the next Register.
  bool SetAllowedPeers(const std::vector<std::string>& networks);
  // Also publishes on a reliable-multicast endpoint (epgm://, see
  // LumoMulticast.hpp) of the same data socket, and registers it beside the
  // TCP endpoint; TCP subscribers are served as before. Rate, recovery
  // window, datagram size and socket buffers follow from SetBufferSize's
  // image size, `options` and the interface's MTU; they are logged at INFO.
  // An empty endpoint turns multicast off. Returns false, changing nothing,
  // when the endpoint is malformed (the reason is logged). Applies at the
  // next Register, which fails when the endpoint cannot be opened.
  bool SetMulticast(const MulticastOptions& options);
  // Topic identifier put in the header of every message.
  void set_topic_id(int topicId);

  // Sends one message: stream name, header, `metaData`, `data`. A non-zero
  // `topicId` replaces the one of set_topic_id for this message. Copies the
  // data. Returns 1. Throws std::logic_error when not registered and
  // std::length_error when `metaData` exceeds kMaxMetaDataSize.
  int WriteData(int topicId, const std::vector<std::uint8_t>& data, const std::vector<std::uint8_t>& metaData);
  // As above, taking over `data` without copying it.
  int WriteData(int topicId, std::vector<std::uint8_t>&& data, const std::vector<std::uint8_t>& metaData);

  // The endpoint of the data socket as registered ("" when not registered).
  std::string endpoint() const;
  // The multicast endpoint as registered ("" when none).
  std::string multicast_endpoint() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

class LumoDataTransferFactory {
 public:
  static std::unique_ptr<LumoDataPublisher> CreatePublisher(LumoLogger* logger);
};

}  // namespace lumo
