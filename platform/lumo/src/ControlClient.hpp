// Request/reply exchanges with a LUMO broker, each bounded in time.
#pragma once

#include <zmq.hpp>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace lumo::detail {

struct ControlReply {
  bool ok = false;                  // first frame "OK"
  std::vector<std::string> fields;  // frames after "OK"
  std::string reason;               // text after "ERROR", or why no reply came
};

class ControlClient {
 public:
  ControlClient(zmq::context_t& context, std::string brokerUri);

  // Sends `request` as text frames and waits for the reply until `timeout`
  // or until `*cancel` becomes true. Empty when no well-formed reply came
  // (`failure` says why); the socket is then replaced, so a late reply is
  // never taken for the answer to a later request.
  std::optional<ControlReply> Exchange(const std::vector<std::string>& request, std::chrono::milliseconds timeout,
                                       std::string& failure, const std::atomic<bool>* cancel = nullptr);

  // Connects now, so that a malformed URI shows at once. False with
  // `failure` set when the URI is not usable.
  bool Open(std::string& failure);

  const std::string& brokerUri() const { return brokerUri_; }

 private:
  void Connect();
  std::optional<ControlReply> ReceiveReply(std::string& failure);

  zmq::context_t& context_;
  std::string brokerUri_;
  std::optional<zmq::socket_t> socket_;
};

// Reply frames kept and frame size accepted from a broker; LIST replies
// list at most this many streams.
inline constexpr std::size_t kMaxReplyFrames = 4096;
inline constexpr std::int64_t kMaxReplyFrameSize = 4096;

}  // namespace lumo::detail
