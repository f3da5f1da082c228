// The broker's directory of streams: which publisher endpoint serves each
// stream, under a lease that the publisher renews with heartbeats.
#pragma once

#include <log4cplus/logger.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "LogThrottle.hpp"

namespace lumo::broker {

class StreamDirectory {
 public:
  using Clock = std::chrono::steady_clock;
  using Frames = std::vector<std::string>;

  StreamDirectory(std::chrono::milliseconds lease, std::size_t maxStreams, log4cplus::Logger logger);

  // Answers one request, given as its text frames. `peerAddress` is the IP
  // address the request came from ("" when unknown); it replaces a wildcard
  // host in a registered endpoint. Every request gets a reply.
  Frames Handle(const Frames& request, std::string_view peerAddress, Clock::time_point now);
  // Ends the registrations whose lease has run out by `now`.
  void Expire(Clock::time_point now);
  // When the next lease runs out, if any stream is registered.
  std::optional<Clock::time_point> NextExpiry() const;
  std::size_t size() const { return streams_.size(); }

 private:
  struct Registration {
    std::string endpoint;
    std::string multicast;  // "" when the publisher registered none
    std::string token;
    Clock::time_point expires;
  };

  Frames Register(const Frames& request, std::string_view peerAddress, Clock::time_point now);
  Frames Renew(const Frames& request, Clock::time_point now);
  Frames Unregister(const Frames& request, Clock::time_point now);
  Frames Lookup(const Frames& request) const;
  Frames List(std::string_view after, bool withMulticast) const;
  // The registration of `stream` if `token` is its token.
  Registration* Owned(const std::string& stream, const std::string& token);
  Frames Malformed(std::string reason, Clock::time_point now);

  std::chrono::milliseconds lease_;
  std::size_t maxStreams_;
  log4cplus::Logger logger_;
  std::map<std::string, Registration, std::less<>> streams_;
  // Every line below is triggered by peers, so each kind is throttled.
  detail::LogThrottle changeLog_ = detail::PeerLineThrottle();     // registered, unregistered, expired
  detail::LogThrottle refusedLog_ = detail::PeerLineThrottle();    // registration refused
  detail::LogThrottle malformedLog_ = detail::PeerLineThrottle();  // malformed request
};

}  // namespace lumo::broker
