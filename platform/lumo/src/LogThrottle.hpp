// Bounds the log lines that peers can trigger: a peer that repeats what
// causes a line must not be able to fill the log.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace lumo::detail {

// Lets at most `burst` lines through per `period`; the lines held back are
// counted and reported with the next line let through.
class LogThrottle {
 public:
  using Clock = std::chrono::steady_clock;

  explicit LogThrottle(int burst = 10, Clock::duration period = std::chrono::seconds(1))
      : burst_(burst), period_(period) {}

  // Counts one event. True when its line should be written now; `held` is
  // then the number of earlier lines held back since the last one written.
  bool Admit(Clock::time_point now, std::uint64_t& held) {
    if (now - periodStart_ >= period_) {
      periodStart_ = now;
      admitted_ = 0;
    }
    if (admitted_ >= burst_) {
      ++held_;
      return false;
    }
    ++admitted_;
    held = held_;
    held_ = 0;
    return true;
  }
  bool Admit(std::uint64_t& held) { return Admit(Clock::now(), held); }

  // " (N similar lines held back)" when `held` is not 0, for the end of a line.
  static std::string Note(std::uint64_t held) {
    return held == 0 ? std::string() : " (" + std::to_string(held) + " similar line(s) held back)";
  }

 private:
  int burst_;
  Clock::duration period_;
  Clock::time_point periodStart_{};
  int admitted_ = 0;
  std::uint64_t held_ = 0;
};

}  // namespace lumo::detail
