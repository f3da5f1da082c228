// Receiving images from a LUMO stream.
//
// A subscriber looks its stream up at the broker and connects straight to
// the publisher's data socket. While the stream is silent it looks it up
// again, and follows the stream when its publisher restarts elsewhere, so
// it may be started before its publisher. Every message is checked before
// it is handed out: four frames, the stream's exact name, a well-formed
// header, bounded sizes. A subscriber is used from one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "lumo/LumoWire.hpp"

namespace lumo {

class LumoLogger;

struct LumoSample {
  std::string stream;
  DataHeader header;
  std::vector<std::uint8_t> metaData;
  // Messages of this publisher lost right before this one (sequence gap);
  // at a restart, the messages of the new sequence sent before this one.
  std::uint64_t missedBefore = 0;
  // The sequence started again: a new publisher, one that registered anew,
  // or a jump too large to be loss.
  bool publisherRestarted = false;

  std::span<const std::uint8_t> data() const { return {dataBytes_, dataSize_}; }

 private:
  friend class LumoDataSubscriber;
  std::shared_ptr<const void> dataOwner_;  // the received frame, not copied
  const std::uint8_t* dataBytes_ = nullptr;
  std::size_t dataSize_ = 0;
};

struct LumoSubscriberStats {
  std::uint64_t received = 0;    // samples handed out
  std::uint64_t gaps = 0;        // sequence gaps seen
  std::uint64_t missed = 0;      // messages lost in those gaps
  std::uint64_t restarts = 0;    // sequences that started again
  std::uint64_t malformed = 0;   // messages dropped as malformed
  std::uint64_t connections = 0; // publisher endpoints connected to
};

// A ZeroMQ context that several subscribers share: one I/O thread for all
// of them in place of an I/O and a reaper thread for each. Copies are the
// same context; it ends with the last subscriber or copy that holds it.
class LumoContext {
 public:
  LumoContext();

 private:
  friend class LumoDataSubscriber;
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

class LumoDataSubscriber {
 public:
  // Logs through `logger`, or through the log4cplus logger "lumo". Without
  // `context` the subscriber has a ZeroMQ context of its own.
  explicit LumoDataSubscriber(LumoLogger* logger = nullptr);
  explicit LumoDataSubscriber(const LumoContext& context, LumoLogger* logger = nullptr);
  ~LumoDataSubscriber();

  LumoDataSubscriber(const LumoDataSubscriber&) = delete;
  LumoDataSubscriber& operator=(const LumoDataSubscriber&) = delete;

  // Settings; they apply from the next connection to a publisher.
  // At most `messages` received messages wait for Read (default 4); beyond
  // that the publisher drops messages for this subscriber.
  void SetReceiveQueue(int messages);
  // Longest data frame accepted (default 256 MiB); a publisher sending a
  // longer one is disconnected.
  void SetMaxDataSize(std::int64_t bytes);
  // How long the stream must be silent before it is looked up again
  // (default 1000 ms; at least 50).
  void SetLookupInterval(int milliseconds);
  // Receive by reliable multicast when the stream's publisher registered a
  // multicast endpoint: join its group on the interface with the IPv4
  // address `netif`, or ("") on the interface that routes to the
  // publisher's. When none is registered or joining fails, receive over TCP
  // and say why at WARN. Gaps, restarts and latency are told as over TCP.
  void SetMulticast(bool prefer, std::string netif = "");

  // Follows `streamName` at the broker `brokerUri`, waiting up to
  // `timeoutMs` for the first look-up. Returns 1 when connected to the
  // stream's publisher, 0 when the publisher is not known yet or the broker
  // did not answer (Read keeps looking), -1 for an invalid stream name or
  // broker URI.
  int Subscribe(std::string brokerUri, std::string streamName, int timeoutMs = 1000);
  // Waits up to `timeoutMs` for the next message of the stream. Returns true
  // with `sample` filled, false when none came in time or not subscribed.
  bool Read(LumoSample& sample, int timeoutMs);

  const LumoSubscriberStats& stats() const;
  // The publisher endpoint currently connected to (the multicast endpoint
  // when receiving by multicast), or "".
  std::string endpoint() const;
  // True while receiving by multicast.
  bool multicast() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace lumo
