#include "lumo/LumoLogger.hpp"

#include <log4cplus/configurator.h>
#include <log4cplus/helpers/loglog.h>

#include <algorithm>
#include <fstream>

namespace lumo {

LumoLogger::LumoLogger(const std::string& name)
    : name_(name), logger_(log4cplus::Logger::getInstance(LOG4CPLUS_STRING_TO_TSTRING(name))) {}

bool LumoLogger::Configure(const std::string& propertyFile) {
  // log4cplus ignores a missing file without a word; say so instead.
  if (!std::ifstream(propertyFile).good()) {
    log4cplus::helpers::getLogLog().warn(LOG4CPLUS_TEXT("LUMO logger: cannot read property file ") +
                                         LOG4CPLUS_STRING_TO_TSTRING(propertyFile));
    return false;
  }
  log4cplus::PropertyConfigurator::doConfigure(LOG4CPLUS_STRING_TO_TSTRING(propertyFile));
  return true;
}

void LumoLogger::SetLogLevel(int level) { logger_.setLogLevel(ToLog4cplusLevel(level)); }

log4cplus::LogLevel LumoLogger::ToLog4cplusLevel(int level) {
  static constexpr log4cplus::LogLevel kLevels[] = {
      log4cplus::TRACE_LOG_LEVEL, log4cplus::DEBUG_LOG_LEVEL, log4cplus::INFO_LOG_LEVEL, log4cplus::WARN_LOG_LEVEL,
      log4cplus::ERROR_LOG_LEVEL, log4cplus::FATAL_LOG_LEVEL, log4cplus::OFF_LOG_LEVEL};
  return kLevels[std::clamp(level, 0, 6)];
}

log4cplus::Logger LoggerOrDefault(LumoLogger* logger) {
  return logger ? logger->logger() : log4cplus::Logger::getInstance(LOG4CPLUS_TEXT("lumo"));
}

}  // namespace lumo
