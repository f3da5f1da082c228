// Bounds the log lines that an event repeating for every datagram, frame,
// image or peer request can cause: at most `burst` lines per period. The
// events held back are counted, so that the next line let through can say
// how many there were. On the steady clock, so that a wall clock stepped
// back cannot silence it. Used on one thread.
//
//   korv::fnd::LogThrottle throttle;  // one line a second
//   std::uint64_t events = 0;
//   if (throttle.Allow(events)) Log("...", events);  // `events` since the last line
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace korv::fnd {

class LogThrottle {
 public:
  using Clock = std::chrono::steady_clock;

  explicit LogThrottle(Clock::duration period = std::chrono::seconds(1), int burst = 1)
      : m_period(period), m_burst(burst) {}

  // Counts one event. True when its line may be written now; `events` is
  // then the number of events since the last line written, this one
  // included. A period starts with the first line let through more than
  // `period` after the start of the previous one.
  bool Allow(std::uint64_t& events, Clock::time_point now = Clock::now()) {
    ++m_events;
    if (!m_started || now - m_periodStart > m_period) {
      m_started = true;
      m_periodStart = now;
      m_linesInPeriod = 0;
    }
    if (m_linesInPeriod >= m_burst) return false;
    ++m_linesInPeriod;
    events = m_events;
    m_events = 0;
    return true;
  }
  bool Allow() {
    std::uint64_t events = 0;
    return Allow(events);
  }

  // " (N similar line(s) held back)" for the end of a line let through after
  // `events` events; empty when none was held back.
  static std::string HeldBackNote(std::uint64_t events) {
    return events <= 1 ? std::string() : " (" + std::to_string(events - 1) + " similar line(s) held back)";
  }

 private:
  Clock::duration m_period;
  int m_burst;
  bool m_started = false;
  Clock::time_point m_periodStart{};
  int m_linesInPeriod = 0;
  std::uint64_t m_events = 0;
};

}  // namespace korv::fnd
