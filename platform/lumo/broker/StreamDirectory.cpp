#include "StreamDirectory.hpp"

#include <fmt/format.h>
#include <log4cplus/loggingmacros.h>

#include <sys/random.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <system_error>

#include "lumo/LumoMulticast.hpp"
#include "lumo/LumoWire.hpp"

namespace lumo::broker {

namespace {

StreamDirectory::Frames Ok(std::vector<std::string> fields = {}) {
  fields.insert(fields.begin(), "OK");
  return fields;
}

StreamDirectory::Frames Error(std::string reason) { return {"ERROR", std::move(reason)}; }

bool IsPrintableWord(std::string_view text) {
  return !text.empty() && text.size() <= 16 &&
         std::all_of(text.begin(), text.end(), [](char c) { return std::isgraph(static_cast<unsigned char>(c)); });
}

// The endpoint subscribers should connect to, or empty when `endpoint`
// cannot be one.
std::optional<std::string> ResolveEndpoint(const std::string& endpoint, std::string_view peerAddress,
                                           std::string& problem) {
  if (endpoint.starts_with("ipc://")) {
    const bool ok = endpoint.size() > 6 && endpoint.size() <= kMaxEndpointSize &&
                    std::all_of(endpoint.begin(), endpoint.end(), [](char c) { return std::isgraph(static_cast<unsigned char>(c)); });
    if (!ok) problem = "malformed ipc endpoint";
    return ok ? std::optional(endpoint) : std::nullopt;
  }
  const auto tcp = ParseTcpEndpoint(endpoint);
  if (!tcp) {
    problem = "endpoint must be tcp://host:port or ipc://path";
    return std::nullopt;
  }
  if (!IsWildcardHost(tcp->host)) return endpoint;
  if (peerAddress.empty()) {
    problem = "cannot replace the wildcard host: the publisher's address is unknown";
    return std::nullopt;
  }
  return FormatTcpEndpoint(peerAddress, tcp->port);
}

// 128 random bits from the kernel's cryptographic generator, as hex: a
// token that cannot be predicted from the tokens seen before it.
std::string NewToken() {
  std::array<unsigned char, 16> bytes{};
  for (std::size_t filled = 0; filled < bytes.size();) {
    const auto got = getrandom(bytes.data() + filled, bytes.size() - filled, 0);
    if (got < 0 && errno != EINTR) throw std::system_error(errno, std::generic_category(), "getrandom");
    if (got > 0) filled += static_cast<std::size_t>(got);
  }
  std::string token;
  for (unsigned char byte : bytes) token += fmt::format("{:02x}", byte);
  return token;
}

// Compares every byte whatever the first difference, so that the time of a
// refusal tells nothing about how much of a guessed token was right.
bool ConstantTimeEquals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char difference = 0;
  for (std::size_t i = 0; i < a.size(); ++i) difference |= static_cast<unsigned char>(a[i] ^ b[i]);
  return difference == 0;
}

}  // namespace

StreamDirectory::StreamDirectory(std::chrono::milliseconds lease, std::size_t maxStreams, log4cplus::Logger logger)
    : lease_(lease), maxStreams_(maxStreams), logger_(std::move(logger)) {}

StreamDirectory::Frames StreamDirectory::Handle(const Frames& request, std::string_view peerAddress,
                                                Clock::time_point now) {
  Expire(now);
  if (request.empty()) return Malformed("empty request", now);
  const std::string& verb = request[0];
  const std::size_t arguments = request.size() - 1;
  const auto expect = [&](std::size_t count) { return arguments == count; };
  if (verb == "REGISTER" && (expect(2) || expect(3))) return Register(request, peerAddress, now);
  if (verb == "HEARTBEAT" && expect(2)) return Renew(request, now);
  if (verb == "UNREGISTER" && expect(2)) return Unregister(request, now);
  if (verb == "LOOKUP" && expect(1)) return Lookup(request);
  if (verb == "LIST" && expect(0)) return List("", false);
  if (verb == "LIST" && expect(1)) return List(request[1], false);
  if (verb == "LIST" && expect(2) && request[2] == "MULTICAST") return List(request[1], true);
  for (const char* known : {"REGISTER", "HEARTBEAT", "UNREGISTER", "LOOKUP", "LIST"})
    if (verb == known) return Malformed(fmt::format("wrong number of arguments for {}", verb), now);
  return Malformed(IsPrintableWord(verb) ? fmt::format("unknown request '{}'", verb) : "unknown request", now);
}

StreamDirectory::Frames StreamDirectory::Register(const Frames& request, std::string_view peerAddress,
                                                  Clock::time_point now) {
  const std::string& stream = request[1];
  if (!IsValidStreamName(stream)) return Malformed("invalid stream name", now);
  std::string problem;
  const auto endpoint = ResolveEndpoint(request[2], peerAddress, problem);
  if (!endpoint) return Malformed(problem, now);
  // Kept in the form rebuilt from its parts, so that what subscribers get is
  // exactly what was checked.
  std::string multicast;
  if (request.size() > 3) {
    const auto parsed = ParseMulticastEndpoint(request[3], problem);
    if (!parsed) return Malformed(problem, now);
    multicast = FormatMulticastEndpoint(*parsed);
  }
  std::uint64_t events = 0;
  if (const auto it = streams_.find(stream); it != streams_.end()) {
    if (refusedLog_.Allow(events, now))
      LOG4CPLUS_WARN(logger_, "Refused stream '" << stream << "' for " << *endpoint << ": already registered by "
                                                 << it->second.endpoint << detail::LogThrottle::HeldBackNote(events));
    return Error(fmt::format("stream '{}' is already registered by another publisher", stream));
  }
  if (streams_.size() >= maxStreams_) {
    if (refusedLog_.Allow(events, now))
      LOG4CPLUS_WARN(logger_, "Refused stream '" << stream << "': the broker holds its maximum of " << maxStreams_
                                                 << " streams" << detail::LogThrottle::HeldBackNote(events));
    return Error("the broker holds its maximum number of streams");
  }
  Registration& registration = streams_[stream];
  registration = {*endpoint, multicast, NewToken(), now + lease_};
  if (changeLog_.Allow(events, now))
    LOG4CPLUS_INFO(logger_, "Registered stream '" << stream << "' at " << *endpoint
                                                  << (multicast.empty() ? "" : " and " + multicast)
                                                  << detail::LogThrottle::HeldBackNote(events));
  return Ok({registration.token, std::to_string(lease_.count())});
}

StreamDirectory::Frames StreamDirectory::Renew(const Frames& request, Clock::time_point now) {
  Registration* registration = Owned(request[1], request[2]);
  if (!registration) return Error("stream not registered under this token");
  registration->expires = now + lease_;
  return Ok();
}

StreamDirectory::Frames StreamDirectory::Unregister(const Frames& request, Clock::time_point now) {
  if (!Owned(request[1], request[2])) return Error("stream not registered under this token");
  if (std::uint64_t events = 0; changeLog_.Allow(events, now))
    LOG4CPLUS_INFO(logger_, "Unregistered stream '" << request[1] << "' at "
                                                    << streams_.find(request[1])->second.endpoint
                                                    << detail::LogThrottle::HeldBackNote(events));
  streams_.erase(request[1]);
  return Ok();
}

StreamDirectory::Frames StreamDirectory::Lookup(const Frames& request) const {
  const auto it = streams_.find(request[1]);
  if (it == streams_.end()) return Error("no publisher registered for this stream");
  if (it->second.multicast.empty()) return Ok({it->second.endpoint});
  return Ok({it->second.endpoint, it->second.multicast});
}

// One page of names, so that a reply stays small however many streams there
// are: the queue of replies that a client does not read is bounded by
// messages, not bytes. With `withMulticast` each name is followed by the
// stream's multicast endpoint, or an empty frame when it has none.
StreamDirectory::Frames StreamDirectory::List(std::string_view after, bool withMulticast) const {
  Frames frames;
  std::size_t names = 0;
  for (auto it = after.empty() ? streams_.begin() : streams_.upper_bound(after);
       it != streams_.end() && names < kMaxListNames; ++it, ++names) {
    frames.push_back(it->first);
    if (withMulticast) frames.push_back(it->second.multicast);
  }
  return Ok(std::move(frames));
}

StreamDirectory::Registration* StreamDirectory::Owned(const std::string& stream, const std::string& token) {
  const auto it = streams_.find(stream);
  return it != streams_.end() && ConstantTimeEquals(it->second.token, token) ? &it->second : nullptr;
}

void StreamDirectory::Expire(Clock::time_point now) {
  for (auto it = streams_.begin(); it != streams_.end();) {
    if (it->second.expires > now) {
      ++it;
      continue;
    }
    if (std::uint64_t events = 0; changeLog_.Allow(events, now))
      LOG4CPLUS_INFO(logger_, "Lease of stream '" << it->first << "' at " << it->second.endpoint
                                                  << " expired: its publisher stopped sending heartbeats"
                                                  << detail::LogThrottle::HeldBackNote(events));
    it = streams_.erase(it);
  }
}

std::optional<StreamDirectory::Clock::time_point> StreamDirectory::NextExpiry() const {
  std::optional<Clock::time_point> next;
  for (const auto& entry : streams_)
    if (!next || entry.second.expires < *next) next = entry.second.expires;
  return next;
}

StreamDirectory::Frames StreamDirectory::Malformed(std::string reason, Clock::time_point now) {
  if (std::uint64_t events = 0; malformedLog_.Allow(events, now))
    LOG4CPLUS_WARN(logger_, "Refused a malformed request: " << reason << detail::LogThrottle::HeldBackNote(events));
  return Error(std::move(reason));
}

}  // namespace lumo::broker
