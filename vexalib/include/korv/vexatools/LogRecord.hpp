// Log statements that ask the logger first and build no text when the level
// is off. Each record carries the source label `kLogSource` of the including
// file, the line and the function signature.
#pragma once

#include <sstream>

#include <fmt/format.h>
#include <log4cplus/logger.h>
#include <log4cplus/loglevel.h>

// Text built by stream insertion: VEXA_LOG_STREAM(logger, level, "a " << b).
#define VEXA_LOG_STREAM(logger, level, expr)                                                          \
  do {                                                                                                \
    if ((logger).isEnabledFor(level)) {                                                               \
      std::ostringstream vexaLogText;                                                                 \
      vexaLogText << expr;                                                                            \
      (logger).forcedLog((level), vexaLogText.str(), kLogSource, __LINE__, __PRETTY_FUNCTION__);      \
    }                                                                                                 \
  } while (false)

// Text built by fmt: VEXA_LOG_FMT(logger, level, "a {}", b).
#define VEXA_LOG_FMT(logger, level, ...)                                                                     \
  do {                                                                                                       \
    if ((logger).isEnabledFor(level)) {                                                                      \
      (logger).forcedLog((level), fmt::format(__VA_ARGS__), kLogSource, __LINE__, __PRETTY_FUNCTION__);      \
    }                                                                                                        \
  } while (false)
