// Console logging shared by the LUMO command-line tools.
#pragma once

#include <log4cplus/consoleappender.h>
#include <log4cplus/layout.h>
#include <log4cplus/logger.h>

#include <memory>
#include <string>

namespace lumo::tools {

// Sends the records of `logger` and its descendants at `level` and above to
// standard error, one readable line each.
inline void LogToStandardError(log4cplus::Logger logger, log4cplus::LogLevel level) {
  log4cplus::SharedAppenderPtr console(new log4cplus::ConsoleAppender(true));
  console->setLayout(
      std::make_unique<log4cplus::PatternLayout>(LOG4CPLUS_TEXT("%D{%Y-%m-%d %H:%M:%S.%q} %-5p [%c] %m%n")));
  logger.addAppender(console);
  logger.setLogLevel(level);
}

inline log4cplus::LogLevel LevelNamed(const std::string& name) {
  return log4cplus::getLogLevelManager().fromString(LOG4CPLUS_STRING_TO_TSTRING(name));
}

}  // namespace lumo::tools
