// Tells the service manager how the publisher tool is doing, when it runs as
// a systemd service of Type=notify: ready once it is registered and
// receiving, stopping at a stop, and alive at each pass of the sender loop
// when the unit asks for a watchdog, so that a wedged publisher is
// restarted. Outside such a service (no NOTIFY_SOCKET) every call does
// nothing.
#pragma once

#include <atomic>
#include <chrono>

namespace korv::vexatools {

class ServiceNotifier {
 public:
  // Reads whether, and with what time-out, the manager expects watchdog
  // messages from this process.
  ServiceNotifier();

  void Ready();
  void Stopping() const;
  // Called from one thread only (the sender's); after Ready(), sends a
  // watchdog message at most every quarter of the watchdog time-out.
  void Alive();

  bool WatchdogEnabled() const { return m_watchdogPeriod.count() > 0; }

 private:
  std::chrono::microseconds m_watchdogPeriod{0};
  std::atomic<bool> m_ready{false};
  std::chrono::steady_clock::time_point m_lastAlive{};
};

}  // namespace korv::vexatools
