#include "IsoTime.hpp"

#include <pthread.h>

#include <chrono>
#include <cmath>
#include <ctime>

#include <fmt/format.h>

namespace korv::vexatools::vexa2lumolib_wirefast {
namespace {

// Beyond this many decimals a double's fraction has no digits left.
constexpr int kMaxDecimals = 30;

// `fraction` (0 <= fraction < 1) as ".ddd" with at most `precision`
// significant digits and no trailing zeros; "" when nothing is left. Fixed
// notation throughout, so a tiny fraction gives ".00001234", not an exponent.
std::string FractionText(double fraction, int precision) {
  if (precision == 0 || !(fraction > 0.0)) return {};
  const int leadingZeros = -static_cast<int>(std::floor(std::log10(fraction))) - 1;
  const int decimals = std::min(precision + leadingZeros, kMaxDecimals);
  std::string text = fmt::format("{:.{}f}", fraction, decimals);  // "0.123457", or "1.000000" when it rounds up
  text.erase(text.find_last_not_of('0') + 1);
  if (text.back() == '.') text.pop_back();
  return text.size() > 1 ? text.substr(1) : std::string{};
}

}  // namespace

std::string IsoTime(double seconds, unsigned char precision) {
  // Outside the range of time_t (and for NaN) there is no calendar date.
  if (!(std::fabs(seconds) < 1e15)) return fmt::format("{}", seconds);
  // Rounding down keeps the fraction non-negative before 1970 as well.
  const double whole = std::floor(seconds);
  const std::time_t time = static_cast<std::time_t>(whole);
  std::tm calendar{};
  if (gmtime_r(&time, &calendar) == nullptr) return fmt::format("{}", seconds);
  char date[64];
  const std::size_t length = std::strftime(date, sizeof(date), "%Y-%m-%dT%H:%M:", &calendar);
  return fmt::format("{}{:02}{}", std::string_view(date, length), calendar.tm_sec,
                     FractionText(seconds - whole, precision));
}

std::string IsoTimeNow(signed char precision) {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count();
  return IsoTime(static_cast<double>(nanoseconds) / 1e9, static_cast<unsigned char>(precision < 0 ? 0 : precision));
}

std::string ThreadName() {
  char name[32] = {};
  if (pthread_getname_np(pthread_self(), name, sizeof(name)) != 0) name[0] = '\0';
  name[sizeof(name) - 1] = '\0';
  return name;
}

std::string LocationPrefix(const char* file, int line, const char* function) {
  return fmt::format("{}:{}:{}:{}:{}", IsoTimeNow(6), file, line, function, ThreadName());
}

}  // namespace korv::vexatools::vexa2lumolib_wirefast
