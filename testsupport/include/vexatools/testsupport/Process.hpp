// Runs a program as a user would and collects what it printed, for the
// end-to-end tests of the vexatools programs.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace vexatools::testsupport {

struct ProcessResult {
  int exitStatus = -1;  // -1 when killed by a signal or timed out
  bool timedOut = false;
  std::string out;
  std::string err;
};

class Process {
 public:
  // Starts `program` with `arguments`; standard output and error go to files.
  Process(const std::string& program, const std::vector<std::string>& arguments);
  ~Process();  // kills the process if it still runs
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t Pid() const { return m_pid; }
  std::string Out() const;  // what it printed so far
  // Waits at most `timeout`, then kills it (SIGKILL) and says so.
  ProcessResult Wait(std::chrono::milliseconds timeout);
  void Signal(int signal);

 private:
  pid_t m_pid = -1;
  std::string m_outPath;
  std::string m_errPath;
};

// Runs to completion (or `timeout`) and returns what it printed.
ProcessResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                  std::chrono::milliseconds timeout = std::chrono::seconds(20));

// A UDP port that nothing on 127.0.0.1 is bound to right now.
int FreeUdpPort();

// True once some socket is bound to UDP `port` (read from /proc/net/udp).
bool UdpPortBound(int port);

// Waits until UDP `port` is bound, at most `timeout`.
bool WaitForUdpPort(int port, std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace vexatools::testsupport
