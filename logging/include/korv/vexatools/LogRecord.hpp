// The logging vocabulary of vexatools: the level names and the log
// statements. A statement asks the logger first and builds no text when the
// level is off. Each record carries the source label of the file it is
// written in, the line and the function signature.
#pragma once

#include <cstddef>
#include <sstream>

#include <fmt/format.h>
#include <log4cplus/logger.h>
#include <log4cplus/loglevel.h>

namespace korv::vexatools {

inline constexpr log4cplus::LogLevel kTrace = log4cplus::TRACE_LOG_LEVEL;
inline constexpr log4cplus::LogLevel kDebug = log4cplus::DEBUG_LOG_LEVEL;
inline constexpr log4cplus::LogLevel kInfo = log4cplus::INFO_LOG_LEVEL;
inline constexpr log4cplus::LogLevel kWarn = log4cplus::WARN_LOG_LEVEL;
inline constexpr log4cplus::LogLevel kError = log4cplus::ERROR_LOG_LEVEL;

// A source file's label: its path in the source tree without the extension,
// "vexalib/src/vexaReceiver" for vexalib/src/vexaReceiver.cpp. The build
// strips the tree's own location from __FILE__ (-fmacro-prefix-map).
template <std::size_t N>
struct SourceLabel {
  consteval explicit SourceLabel(const char (&file)[N]) {
    std::size_t end = N - 1;
    for (std::size_t i = N - 1; i > 0 && file[i - 1] != '/'; --i) {
      if (file[i - 1] == '.') {
        end = i - 1;
        break;
      }
    }
    for (std::size_t i = 0; i < end; ++i) text[i] = file[i];
  }
  char text[N]{};
};

}  // namespace korv::vexatools

// The source label of the file this expands in, as a C string.
#define VEXA_SOURCE_LABEL                                                       \
  ([] {                                                                         \
    static constexpr ::korv::vexatools::SourceLabel vexaSourceLabel{__FILE__}; \
    return vexaSourceLabel.text;                                                \
  }())

// Text built by stream insertion: VEXA_LOG_STREAM(logger, level, "a " << b).
#define VEXA_LOG_STREAM(logger, level, expr)                                                            \
  do {                                                                                                  \
    if ((logger).isEnabledFor(level)) {                                                                 \
      std::ostringstream vexaLogText;                                                                   \
      vexaLogText << expr;                                                                              \
      (logger).forcedLog((level), vexaLogText.str(), VEXA_SOURCE_LABEL, __LINE__, __PRETTY_FUNCTION__); \
    }                                                                                                   \
  } while (false)

// Text built by fmt: VEXA_LOG_FMT(logger, level, "a {}", b).
#define VEXA_LOG_FMT(logger, level, ...)                                                                       \
  do {                                                                                                         \
    if ((logger).isEnabledFor(level)) {                                                                        \
      (logger).forcedLog((level), fmt::format(__VA_ARGS__), VEXA_SOURCE_LABEL, __LINE__, __PRETTY_FUNCTION__); \
    }                                                                                                          \
  } while (false)
