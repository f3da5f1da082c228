// Bounds the log lines that peers can trigger: a peer that repeats what
// causes a line must not be able to fill the log.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "korv/fnd/LogThrottle.hpp"

namespace lumo::detail {

// Lets at most `burst` lines through per `period`; the lines held back are
// counted and reported with the next line let through.
class LogThrottle {
 public:
  using Clock = korv::fnd::LogThrottle::Clock;

  explicit LogThrottle(int burst = 10, Clock::duration period = std::chrono::seconds(1)) : throttle_(period, burst) {}

  // Counts one event. True when its line should be written now; `held` is
  // then the number of earlier lines held back since the last one written.
  bool Admit(Clock::time_point now, std::uint64_t& held) {
    std::uint64_t events = 0;
    if (!throttle_.Allow(events, now)) return false;
    held = events - 1;
    return true;
  }
  bool Admit(std::uint64_t& held) { return Admit(Clock::now(), held); }

  // " (N similar line(s) held back)" when `held` is not 0, for the end of a line.
  static std::string Note(std::uint64_t held) { return korv::fnd::LogThrottle::HeldBackNote(held + 1); }

 private:
  korv::fnd::LogThrottle throttle_;
};

}  // namespace lumo::detail
