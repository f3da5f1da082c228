#include "ControlClient.hpp"

#include <algorithm>

#include "ZmqWait.hpp"
#include "lumo/LumoWire.hpp"

namespace lumo::detail {

namespace {
// How often a wait checks its cancel flag.
constexpr std::chrono::milliseconds kCancelCheck{50};
}  // namespace

ControlClient::ControlClient(zmq::context_t& context, std::string brokerUri)
    : context_(context), brokerUri_(std::move(brokerUri)) {}

void ControlClient::Connect() {
  socket_.reset();
  zmq::socket_t socket(context_, zmq::socket_type::dealer);
  socket.set(zmq::sockopt::linger, 0);
  socket.set(zmq::sockopt::maxmsgsize, kMaxReplyFrameSize);
  socket.connect(brokerUri_);  // throws zmq::error_t for a malformed URI
  socket_.emplace(std::move(socket));
}

bool ControlClient::Open(std::string& failure) {
  // ZeroMQ takes a port number modulo 65536; refuse it instead.
  if (brokerUri_.starts_with("tcp://") && !ParseTcpEndpoint(brokerUri_)) {
    failure = "not tcp://HOST:PORT with PORT 1 to 65535";
    return false;
  }
  try {
    Connect();
    return true;
  } catch (const zmq::error_t& error) {
    failure = error.what();
    return false;
  }
}

std::optional<ControlReply> ControlClient::Exchange(const std::vector<std::string>& request,
                                                    std::chrono::milliseconds timeout, std::string& failure,
                                                    const std::atomic<bool>* cancel) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  try {
    if (!socket_) Connect();
    // An empty delimiter first, as a REQ socket sends it: the broker answers
    // REQ and DEALER clients alike.
    bool sent = socket_->send(zmq::message_t(), zmq::send_flags::sndmore | zmq::send_flags::dontwait).has_value();
    for (std::size_t i = 0; sent && i < request.size(); ++i) {
      const auto more = i + 1 < request.size() ? zmq::send_flags::sndmore : zmq::send_flags::none;
      sent = socket_->send(zmq::buffer(request[i]), more | zmq::send_flags::dontwait).has_value();
    }
    if (!sent) {
      failure = "cannot queue the request";
      socket_.reset();
      return std::nullopt;
    }
    for (;;) {
      const auto now = std::chrono::steady_clock::now();
      if (now >= deadline || (cancel && cancel->load())) break;
      const auto slice = std::min(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now), kCancelCheck);
      if (WaitReadable(*socket_, std::max(slice, std::chrono::milliseconds(1)))) {
        auto reply = ReceiveReply(failure);
        if (!reply) socket_.reset();
        return reply;
      }
    }
    failure = cancel && cancel->load() ? "cancelled" : "no answer within " + std::to_string(timeout.count()) + " ms";
  } catch (const zmq::error_t& error) {
    failure = error.what();
  }
  socket_.reset();
  return std::nullopt;
}

std::optional<ControlReply> ControlClient::ReceiveReply(std::string& failure) {
  std::vector<std::string> frames;
  bool more = true;
  while (more) {
    zmq::message_t frame;
    if (!socket_->recv(frame, zmq::recv_flags::dontwait)) break;
    more = frame.more();
    if (frames.size() < kMaxReplyFrames + 2) frames.push_back(frame.to_string());
  }
  if (more || frames.size() < 2 || !frames[0].empty()) {
    failure = "malformed reply";
    return std::nullopt;
  }
  ControlReply reply;
  if (frames[1] == "OK") {
    reply.ok = true;
    reply.fields.assign(frames.begin() + 2, frames.end());
  } else if (frames[1] == "ERROR") {
    for (auto it = frames.begin() + 2; it != frames.end(); ++it) reply.reason += (reply.reason.empty() ? "" : " ") + *it;
  } else {
    failure = "malformed reply";
    return std::nullopt;
  }
  return reply;
}

}  // namespace lumo::detail
