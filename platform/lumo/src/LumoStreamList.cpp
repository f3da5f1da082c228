#include "lumo/LumoStreamList.hpp"

#include <zmq.hpp>

#include <algorithm>

#include "ControlClient.hpp"
#include "lumo/LumoMulticast.hpp"
#include "lumo/LumoWire.hpp"

namespace lumo {

struct LumoStreamList::Impl {
  explicit Impl(std::string brokerUri) : broker(context, std::move(brokerUri)) {}
  zmq::context_t context{1};
  detail::ControlClient broker;
};

LumoStreamList::LumoStreamList(std::string brokerUri) : impl_(std::make_unique<Impl>(std::move(brokerUri))) {}

LumoStreamList::~LumoStreamList() = default;

std::optional<std::vector<std::string>> LumoStreamList::List(int timeoutMs, std::string& failure) {
  auto reply = impl_->broker.Exchange({"LIST"}, std::chrono::milliseconds(std::max(timeoutMs, 0)), failure);
  if (!reply) return std::nullopt;
  if (!reply->ok) {
    failure = "refused: " + reply->reason;
    return std::nullopt;
  }
  std::erase_if(reply->fields, [](const std::string& name) { return !IsValidStreamName(name); });
  return std::move(reply->fields);
}

std::optional<std::vector<StreamEntry>> LumoStreamList::ListWithMulticast(int timeoutMs, std::string& failure) {
  auto reply =
      impl_->broker.Exchange({"LIST", "", "MULTICAST"}, std::chrono::milliseconds(std::max(timeoutMs, 0)), failure);
  if (!reply) return std::nullopt;
  if (!reply->ok) {
    failure = "refused: " + reply->reason;
    return std::nullopt;
  }
  if (reply->fields.size() % 2 != 0) {
    failure = "malformed LIST reply: not name and endpoint pairs";
    return std::nullopt;
  }
  std::vector<StreamEntry> entries;
  for (std::size_t i = 0; i + 1 < reply->fields.size(); i += 2) {
    std::string problem;
    const std::string& multicast = reply->fields[i + 1];
    if (!IsValidStreamName(reply->fields[i]) || (!multicast.empty() && !ParseMulticastEndpoint(multicast, problem)))
      continue;
    entries.push_back({reply->fields[i], multicast});
  }
  return entries;
}

}  // namespace lumo
