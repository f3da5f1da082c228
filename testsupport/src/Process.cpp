#include "vexatools/testsupport/Process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

extern char** environ;

namespace vexatools::testsupport {
namespace {

using Clock = std::chrono::steady_clock;

std::chrono::milliseconds Left(Clock::time_point deadline) {
  return std::max(std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()), 0ms);
}

std::string TempPath(const char* kind) {
  static std::atomic<int> counter{0};
  return "/tmp/vexatools-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + "." + kind;
}

// posix_spawn's file actions, destroyed on every path.
class SpawnActions {
 public:
  SpawnActions() { posix_spawn_file_actions_init(&m_actions); }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&m_actions); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  posix_spawn_file_actions_t* Get() { return &m_actions; }

 private:
  posix_spawn_file_actions_t m_actions;
};

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) Reset(other.Release());
  return *this;
}

int UniqueFd::Release() { return std::exchange(m_fd, -1); }

void UniqueFd::Reset(int fd) {
  if (m_fd >= 0) close(m_fd);
  m_fd = fd;
}

Process::Process(const std::string& program, const std::vector<std::string>& arguments) : m_errPath(TempPath("err")) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  m_stdout.Reset(pipeFds[0]);
  const UniqueFd writeEnd(pipeFds[1]);  // the child's copy stays open; ours closes here

  SpawnActions actions;
  posix_spawn_file_actions_addopen(actions.Get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(actions.Get(), writeEnd.Get(), STDOUT_FILENO);
  posix_spawn_file_actions_addopen(actions.Get(), STDERR_FILENO, m_errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::vector<char*> pointers;
  for (auto& argument : argv) pointers.push_back(argument.data());
  pointers.push_back(nullptr);
  if (posix_spawn(&m_pid, program.c_str(), actions.Get(), nullptr, pointers.data(), environ) != 0) {
    m_pid = -1;
    throw std::runtime_error("cannot start " + program);
  }
}

Process::~Process() {
  if (m_pid > 0 && !m_status) {
    kill(m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
  }
  std::remove(m_errPath.c_str());
}

bool Process::ReadSome(std::chrono::milliseconds timeout) {
  if (m_outEnded) return false;
  pollfd item{m_stdout.Get(), POLLIN, 0};
  if (poll(&item, 1, static_cast<int>(timeout.count())) <= 0) return false;
  char chunk[4096];
  const ssize_t count = read(m_stdout.Get(), chunk, sizeof chunk);
  if (count <= 0) {
    m_outEnded = true;
    return false;
  }
  m_out.append(chunk, static_cast<std::size_t>(count));
  return true;
}

std::optional<std::string> Process::ReadLine(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (const auto end = m_out.find('\n', m_consumed); end != std::string::npos) {
      std::string line = m_out.substr(m_consumed, end - m_consumed);
      m_consumed = end + 1;
      return line;
    }
    if (m_outEnded || Clock::now() >= deadline) return std::nullopt;
    ReadSome(std::min(Left(deadline), 100ms));
  }
}

std::string Process::ReadAll(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!m_outEnded && Clock::now() < deadline) ReadSome(std::min(Left(deadline), 100ms));
  return m_out.substr(std::exchange(m_consumed, m_out.size()));
}

std::string Process::Out() {
  while (ReadSome(0ms)) {
  }
  return m_out;
}

std::string Process::Err() const {
  std::ifstream file(m_errPath, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

std::optional<int> Process::Wait(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!m_status) {
    int status = 0;
    if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
      m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      break;
    }
    if (Clock::now() >= deadline) break;
    // Reading doubles as the pause between looks.
    if (!ReadSome(std::min(Left(deadline), 10ms)) && m_outEnded) std::this_thread::sleep_for(5ms);
  }
  return m_status;
}

ProcessResult Process::Finish(std::chrono::milliseconds timeout) {
  ProcessResult result;
  if (!Wait(timeout)) {
    result.timedOut = true;
    Stop(SIGKILL);
  }
  result.exitStatus = result.timedOut ? -1 : m_status.value_or(-1);
  result.out = Out();
  result.err = Err();
  return result;
}

void Process::Signal(int signal) {
  if (!m_status) kill(m_pid, signal);
}

std::optional<int> Process::Stop(int signal, std::chrono::milliseconds timeout) {
  Signal(signal);
  return Wait(timeout);
}

ProcessResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                         std::chrono::milliseconds timeout) {
  Process process(program, arguments);
  return process.Finish(timeout);
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
             std::chrono::milliseconds step) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (condition()) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(step);
  }
}

std::optional<long> ResidentKilobytes(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return std::nullopt;
}

}  // namespace vexatools::testsupport
