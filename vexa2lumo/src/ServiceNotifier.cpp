#include "ServiceNotifier.hpp"

#include <systemd/sd-daemon.h>

#include <cstdint>

namespace korv::vexatools {

ServiceNotifier::ServiceNotifier() {
  std::uint64_t timeoutMicroseconds = 0;
  if (sd_watchdog_enabled(0, &timeoutMicroseconds) > 0) {
    m_watchdogPeriod = std::chrono::microseconds(timeoutMicroseconds / 4);
  }
}

void ServiceNotifier::Ready() {
  sd_notify(0, "READY=1");
  m_ready = true;
}

void ServiceNotifier::Stopping() const { sd_notify(0, "STOPPING=1"); }

void ServiceNotifier::Alive() {
  if (!WatchdogEnabled() || !m_ready) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - m_lastAlive < m_watchdogPeriod) return;
  m_lastAlive = now;
  sd_notify(0, "WATCHDOG=1");
}

}  // namespace korv::vexatools
