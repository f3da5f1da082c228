#include "StreamDirectory.hpp"

#include <fmt/format.h>
#include <log4cplus/loggingmacros.h>

#include <algorithm>
#include <cctype>

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

}  // namespace

StreamDirectory::StreamDirectory(std::chrono::milliseconds lease, std::size_t maxStreams, log4cplus::Logger logger)
    : lease_(lease), maxStreams_(maxStreams), logger_(std::move(logger)), random_(std::random_device{}()) {}

StreamDirectory::Frames StreamDirectory::Handle(const Frames& request, std::string_view peerAddress,
                                                Clock::time_point now) {
  Expire(now);
  if (request.empty()) return Malformed("empty request", now);
  const std::string& verb = request[0];
  const std::size_t arguments = request.size() - 1;
  const auto expect = [&](std::size_t count) { return arguments == count; };
  if (verb == "REGISTER" && expect(2)) return Register(request, peerAddress, now);
  if (verb == "HEARTBEAT" && expect(2)) return Renew(request, now);
  if (verb == "UNREGISTER" && expect(2)) return Unregister(request);
  if (verb == "LOOKUP" && expect(1)) return Lookup(request);
  if (verb == "LIST" && expect(0)) return List();
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
  if (const auto it = streams_.find(stream); it != streams_.end()) {
    LOG4CPLUS_WARN(logger_, "Refused stream '" << stream << "' for " << *endpoint << ": already registered by "
                                               << it->second.endpoint);
    return Error(fmt::format("stream '{}' is already registered by another publisher", stream));
  }
  if (streams_.size() >= maxStreams_) {
    LOG4CPLUS_WARN(logger_, "Refused stream '" << stream << "': the broker holds its maximum of " << maxStreams_
                                               << " streams");
    return Error("the broker holds its maximum number of streams");
  }
  Registration& registration = streams_[stream];
  registration = {*endpoint, NewToken(), now + lease_};
  LOG4CPLUS_INFO(logger_, "Registered stream '" << stream << "' at " << *endpoint);
  return Ok({registration.token, std::to_string(lease_.count())});
}

StreamDirectory::Frames StreamDirectory::Renew(const Frames& request, Clock::time_point now) {
  Registration* registration = Owned(request[1], request[2]);
  if (!registration) return Error("stream not registered under this token");
  registration->expires = now + lease_;
  return Ok();
}

StreamDirectory::Frames StreamDirectory::Unregister(const Frames& request) {
  if (!Owned(request[1], request[2])) return Error("stream not registered under this token");
  LOG4CPLUS_INFO(logger_, "Unregistered stream '" << request[1] << "' at " << streams_.find(request[1])->second.endpoint);
  streams_.erase(request[1]);
  return Ok();
}

StreamDirectory::Frames StreamDirectory::Lookup(const Frames& request) const {
  const auto it = streams_.find(request[1]);
  if (it == streams_.end()) return Error("no publisher registered for this stream");
  return Ok({it->second.endpoint});
}

StreamDirectory::Frames StreamDirectory::List() const {
  Frames names;
  names.reserve(streams_.size());
  for (const auto& entry : streams_) names.push_back(entry.first);
  return Ok(std::move(names));
}

StreamDirectory::Registration* StreamDirectory::Owned(const std::string& stream, const std::string& token) {
  const auto it = streams_.find(stream);
  return it != streams_.end() && it->second.token == token ? &it->second : nullptr;
}

void StreamDirectory::Expire(Clock::time_point now) {
  for (auto it = streams_.begin(); it != streams_.end();) {
    if (it->second.expires > now) {
      ++it;
      continue;
    }
    LOG4CPLUS_INFO(logger_, "Lease of stream '" << it->first << "' at " << it->second.endpoint
                                                << " expired: its publisher stopped sending heartbeats");
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
  // Junk can arrive fast; one line a second says enough.
  ++malformedSinceLog_;
  if (now - lastMalformedLog_ >= std::chrono::seconds(1)) {
    LOG4CPLUS_WARN(logger_, "Refused " << malformedSinceLog_ << " malformed request(s) (last: " << reason << ")");
    lastMalformedLog_ = now;
    malformedSinceLog_ = 0;
  }
  return Error(std::move(reason));
}

std::string StreamDirectory::NewToken() { return fmt::format("{:016x}", random_()); }

}  // namespace lumo::broker
