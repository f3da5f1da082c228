// Turns SIGINT and SIGTERM into a stop request that a program's loops test,
// so that the program ends its work and reports instead of dying:
//
//   const korv::fnd::StopSignals stop;  // installs the handlers
//   while (!stop.StopRequested()) {
//     DoSomeWork();
//     stop.WaitFor(std::chrono::milliseconds(100));  // a pause that a signal cuts short
//   }
//
// The handlers are installed without SA_RESTART: a blocking call that the
// signal interrupts on the waiting thread returns (EINTR), so the loop
// around it sees the request at once. One object at a time; its destructor
// puts the previous handlers back.
#pragma once

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

namespace korv::fnd {

class StopSignals {
 public:
  StopSignals() {
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &m_previousInt);
    sigaction(SIGTERM, &action, &m_previousTerm);
  }
  ~StopSignals() {
    sigaction(SIGINT, &m_previousInt, nullptr);
    sigaction(SIGTERM, &m_previousTerm, nullptr);
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  bool StopRequested() const { return s_requested.load(std::memory_order_relaxed); }
  // The signal that asked for the stop; 0 while none came.
  int Signal() const { return s_signal.load(std::memory_order_relaxed); }
  // The request as a flag, for code that takes one.
  const std::atomic<bool>& Flag() const { return s_requested; }

  // Sleeps until a stop is requested or `timeout` has passed, whichever is
  // first; wakes within kWakeSlice of a signal on any thread. True when a
  // stop was requested.
  template <typename Rep, typename Period>
  bool WaitFor(std::chrono::duration<Rep, Period> timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (auto now = std::chrono::steady_clock::now(); !StopRequested() && now < deadline;
         now = std::chrono::steady_clock::now()) {
      std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(deadline - now, kWakeSlice));
    }
    return StopRequested();
  }

  static constexpr std::chrono::milliseconds kWakeSlice{10};

 private:
  static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
                "set from a signal handler");
  static void OnSignal(int signal) {
    s_signal.store(signal, std::memory_order_relaxed);
    s_requested.store(true, std::memory_order_relaxed);
  }

  static inline std::atomic<bool> s_requested{false};
  static inline std::atomic<int> s_signal{0};
  struct sigaction m_previousInt {};
  struct sigaction m_previousTerm {};
};

}  // namespace korv::fnd
