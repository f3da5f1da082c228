// Processes, a raw broker client and image helpers for the LUMO tests.
#pragma once

#include <sys/types.h>

#include <zmq.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "TestImages.hpp"

namespace lumo::test {

using namespace std::chrono_literals;
using Frames = std::vector<std::string>;

// A program started by a test, with its standard output on a pipe. The
// destructor kills it (by its PID) if it still runs.
class ChildProcess {
 public:
  ChildProcess(const std::string& program, const std::vector<std::string>& arguments);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  // The next line of standard output, or empty after `timeout` or at its end.
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout);
  // Everything up to the end of standard output, waiting at most `timeout`.
  std::string ReadAll(std::chrono::milliseconds timeout);
  // Exit status (128 + signal number when killed), or empty after `timeout`.
  std::optional<int> Wait(std::chrono::milliseconds timeout);
  // Sends `signal` and waits for the exit.
  std::optional<int> Stop(int signal, std::chrono::milliseconds timeout = 10s);

 private:
  bool Fill(std::chrono::milliseconds timeout);

  pid_t pid_ = -1;
  int stdoutFd_ = -1;
  std::string buffer_;
  bool eof_ = false;
  std::optional<int> status_;
};

// lumoBroker on a free loopback port (or the given URI), with a short lease.
class BrokerProcess {
 public:
  explicit BrokerProcess(const std::string& uri = "tcp://127.0.0.1:*", int leaseMs = 1000);
  const std::string& uri() const { return uri_; }
  ChildProcess& process() { return process_; }

 private:
  ChildProcess process_;
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

// Polls `condition` until it holds or `timeout` passes.
bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
             std::chrono::milliseconds step = 20ms);

// A loopback endpoint where nothing listens.
std::string DeadEndpoint();

std::string BrokerPath();
std::string SubscribePath();
std::string TestPublisherPath();

}  // namespace lumo::test
