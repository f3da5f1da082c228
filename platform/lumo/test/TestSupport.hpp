// A broker process, a raw broker client and image helpers for the LUMO tests.
#pragma once

#include <zmq.hpp>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "TestImages.hpp"
#include "vexatools/testsupport/Process.hpp"

namespace lumo::test {

using namespace std::chrono_literals;
using Frames = std::vector<std::string>;

using vexatools::testsupport::Process;
using vexatools::testsupport::WaitFor;

// lumoBroker on a free loopback port (or the given URI), with a short lease.
class BrokerProcess {
 public:
  explicit BrokerProcess(const std::string& uri = "tcp://127.0.0.1:*", int leaseMs = 1000,
                         const std::vector<std::string>& moreOptions = {});
  const std::string& uri() const { return uri_; }
  // The URI as seen from `source`, a local address: tcp://SOURCE:0;HOST:PORT.
  std::string UriFrom(const std::string& source) const;
  Process& process() { return process_; }

 private:
  Process process_;
  std::string uri_;
};

// Speaks the control protocol frame by frame, as a DEALER with the empty
// delimiter of a REQ socket.
class RawBrokerClient {
 public:
  explicit RawBrokerClient(const std::string& uri);
  // The reply frames (delimiter removed), or empty after `timeout`.
  std::optional<Frames> Ask(const Frames& request, std::chrono::milliseconds timeout = 3s);
  std::optional<Frames> AskBinary(const std::vector<std::string>& frames, bool delimiter,
                                  std::chrono::milliseconds timeout = 3s);

 private:
  zmq::context_t context_;
  zmq::socket_t socket_;
};

// Lines of `text` that contain `containing`.
std::size_t CountLines(const std::string& text, const std::string& containing);

// A loopback endpoint where nothing listens.
std::string DeadEndpoint();

std::string BrokerPath();
std::string SubscribePath();
std::string TestPublisherPath();
std::string AttackPath();

}  // namespace lumo::test
