// Runs a program as a user would, for the end-to-end tests: its standard
// output on a pipe, read line by line or whole, its standard error captured
// in a file. Every wait is bounded in time.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vexatools::testsupport {

using namespace std::chrono_literals;

// A file descriptor that closes itself.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : m_fd(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : m_fd(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;

  int Get() const { return m_fd; }
  int Release();
  void Reset(int fd = -1);

 private:
  int m_fd;
};

struct ProcessResult {
  int exitStatus = -1;  // 128 + signal number when a signal ended it; -1 after a time-out
  bool timedOut = false;
  std::string out;
  std::string err;
};

class Process {
 public:
  // Starts `program` with `arguments`; standard input is /dev/null.
  Process(const std::string& program, const std::vector<std::string>& arguments);
  // Kills the program (SIGKILL, by its PID) if it still runs.
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t Pid() const { return m_pid; }

  // The next line of standard output, or empty after `timeout` or at its end.
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout);
  // Standard output from the last line read to its end, waiting at most `timeout`.
  std::string ReadAll(std::chrono::milliseconds timeout);
  // All of standard output that arrived so far.
  std::string Out();
  // All of standard error so far.
  std::string Err() const;

  // Exit status (128 + signal number when killed), or empty while it still
  // runs after `timeout`. Keeps reading standard output meanwhile, so a
  // talkative program never blocks on a full pipe.
  std::optional<int> Wait(std::chrono::milliseconds timeout = 10s);
  // Waits at most `timeout`, then kills it (and says so); returns what it printed.
  ProcessResult Finish(std::chrono::milliseconds timeout);
  void Signal(int signal);
  // Sends `signal` and waits for the exit.
  std::optional<int> Stop(int signal, std::chrono::milliseconds timeout = 10s);

 private:
  bool ReadSome(std::chrono::milliseconds timeout);

  pid_t m_pid = -1;
  std::optional<int> m_status;
  UniqueFd m_stdout;
  std::string m_out;
  std::size_t m_consumed = 0;  // of m_out, by ReadLine and ReadAll
  bool m_outEnded = false;
  std::string m_errPath;
};

// Runs to completion (or `timeout`) and returns what it printed.
ProcessResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                         std::chrono::milliseconds timeout = 20s);

// Resident memory of process `pid` in kilobytes (VmRSS in /proc/PID/status),
// or empty when it cannot be read.
std::optional<long> ResidentKilobytes(pid_t pid);
// Whether resident memory shows what a program keeps: not in sanitizer
// builds, whose allocators hold freed memory back (quarantine) and map
// shadow memory as the program touches its own.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kResidentMemoryShowsGrowth = false;
#else
inline constexpr bool kResidentMemoryShowsGrowth = true;
#endif

// Tests `condition` every `step` until it holds or `timeout` passes.
bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
             std::chrono::milliseconds step = 20ms);

}  // namespace vexatools::testsupport
