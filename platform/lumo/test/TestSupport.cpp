#include "TestSupport.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <log4cplus/configurator.h>
#include <log4cplus/initializer.h>

#include <stdexcept>
#include <thread>

extern char** environ;

namespace lumo::test {

namespace {

using Clock = std::chrono::steady_clock;

// Library records go to standard error at WARN and above.
class LoggingEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    log4cplus::BasicConfigurator(log4cplus::Logger::getDefaultHierarchy(), true).configure();
    log4cplus::Logger::getRoot().setLogLevel(log4cplus::WARN_LOG_LEVEL);
  }
};
const auto* const kLoggingEnvironment = ::testing::AddGlobalTestEnvironment(new LoggingEnvironment);

std::chrono::milliseconds Left(Clock::time_point deadline) {
  return std::max(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()), 0ms);
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::vector<char*> pointers;
  for (auto& argument : argv) pointers.push_back(argument.data());
  pointers.push_back(nullptr);
  const int result = posix_spawn(&pid_, program.c_str(), &actions, nullptr, pointers.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  stdoutFd_ = pipeFds[0];
  if (result != 0) {
    close(stdoutFd_);
    throw std::runtime_error("cannot start " + program);
  }
}

ChildProcess::~ChildProcess() {
  if (!status_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  close(stdoutFd_);
}

bool ChildProcess::Fill(std::chrono::milliseconds timeout) {
  if (eof_) return false;
  pollfd item{stdoutFd_, POLLIN, 0};
  if (poll(&item, 1, static_cast<int>(timeout.count())) <= 0) return false;
  char chunk[4096];
  const ssize_t count = read(stdoutFd_, chunk, sizeof chunk);
  if (count <= 0) {
    eof_ = true;
    return false;
  }
  buffer_.append(chunk, static_cast<std::size_t>(count));
  return true;
}

std::optional<std::string> ChildProcess::ReadLine(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (const auto end = buffer_.find('\n'); end != std::string::npos) {
      std::string line = buffer_.substr(0, end);
      buffer_.erase(0, end + 1);
      return line;
    }
    if (eof_ || Clock::now() >= deadline) return std::nullopt;
    Fill(std::min(Left(deadline), 100ms));
  }
}

std::string ChildProcess::ReadAll(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!eof_ && Clock::now() < deadline) Fill(std::min(Left(deadline), 100ms));
  return std::exchange(buffer_, {});
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!status_) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      break;
    }
    if (Clock::now() >= deadline) break;
    std::this_thread::sleep_for(10ms);
  }
  return status_;
}

std::optional<int> ChildProcess::Stop(int signal, std::chrono::milliseconds timeout) {
  if (!status_) kill(pid_, signal);
  return Wait(timeout);
}

BrokerProcess::BrokerProcess(const std::string& uri, int leaseMs)
    : process_(BrokerPath(), {"--uri", uri, "--lease-ms", std::to_string(leaseMs), "--log-level", "WARN"}) {
  const auto line = process_.ReadLine(10s);
  const std::string prefix = "lumoBroker listening on ";
  if (!line || !line->starts_with(prefix)) throw std::runtime_error("lumoBroker did not start on " + uri);
  uri_ = line->substr(prefix.size(), line->find(' ', prefix.size()) - prefix.size());
}

RawBrokerClient::RawBrokerClient(const std::string& uri) : context_(1), socket_(context_, zmq::socket_type::dealer) {
  socket_.set(zmq::sockopt::linger, 0);
  socket_.connect(uri);
}

std::optional<Frames> RawBrokerClient::Ask(const Frames& request, std::chrono::milliseconds timeout) {
  return AskBinary(request, true, timeout);
}

std::optional<Frames> RawBrokerClient::AskBinary(const std::vector<std::string>& frames, bool delimiter,
                                                 std::chrono::milliseconds timeout) {
  if (delimiter) socket_.send(zmq::message_t(), frames.empty() ? zmq::send_flags::none : zmq::send_flags::sndmore);
  for (std::size_t i = 0; i < frames.size(); ++i)
    socket_.send(zmq::buffer(frames[i]), i + 1 < frames.size() ? zmq::send_flags::sndmore : zmq::send_flags::none);
  zmq::pollitem_t item{socket_.handle(), 0, ZMQ_POLLIN, 0};
  if (zmq::poll(&item, 1, timeout) <= 0) return std::nullopt;
  Frames reply;
  bool more = true;
  while (more) {
    zmq::message_t frame;
    if (!socket_.recv(frame)) break;
    more = frame.more();
    reply.push_back(frame.to_string());
  }
  if (delimiter && !reply.empty() && reply.front().empty()) reply.erase(reply.begin());
  return reply;
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout, std::chrono::milliseconds step) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (condition()) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(step);
  }
}

std::string DeadEndpoint() {
  // Bind an ephemeral port, note it and let it go: nothing listens there.
  zmq::context_t context(1);
  zmq::socket_t socket(context, zmq::socket_type::router);
  socket.set(zmq::sockopt::linger, 0);
  socket.bind("tcp://127.0.0.1:*");
  return socket.get(zmq::sockopt::last_endpoint);
}

std::string BrokerPath() { return LUMO_BROKER_PATH; }
std::string SubscribePath() { return LUMO_SUBSCRIBE_PATH; }
std::string TestPublisherPath() { return LUMO_TEST_PUBLISHER_PATH; }

}  // namespace lumo::test
