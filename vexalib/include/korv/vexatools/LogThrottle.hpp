// Lets a message that can repeat for every frame or image through at most
// once per period, and counts the events it held back, so that the next
// message can say how many there were. Used on one thread.
#pragma once

#include <chrono>
#include <cstdint>

namespace korv::vexatools {

class LogThrottle {
 public:
  using Clock = std::chrono::steady_clock;

  explicit LogThrottle(Clock::duration period = std::chrono::seconds(1)) : m_period(period) {}

  // Counts one event. True when its message may be logged now; `events` is
  // then the number of events since the last message, this one included.
  bool Allow(std::uint64_t& events, Clock::time_point now = Clock::now()) {
    ++m_events;
    if (m_logged && now - m_lastMessage <= m_period) return false;
    m_logged = true;
    m_lastMessage = now;
    events = m_events;
    m_events = 0;
    return true;
  }
  bool Allow() {
    std::uint64_t events = 0;
    return Allow(events);
  }

 private:
  Clock::duration m_period;
  Clock::time_point m_lastMessage{};
  bool m_logged = false;
  std::uint64_t m_events = 0;
};

}  // namespace korv::vexatools
