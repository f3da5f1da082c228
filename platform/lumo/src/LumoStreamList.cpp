#include "lumo/LumoStreamList.hpp"

#include <zmq.hpp>

#include <algorithm>

#include "ControlClient.hpp"
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

}  // namespace lumo
