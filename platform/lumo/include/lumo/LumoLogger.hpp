// The LUMO library's logger: a named log4cplus logger.
#pragma once

#include <log4cplus/logger.h>

#include <string>

namespace lumo {

// Level scale of SetLogLevel: lower numbers show more.
enum LumoLogLevel : int {
  kLumoTrace = 0,
  kLumoDebug = 1,
  kLumoInfo = 2,
  kLumoWarn = 3,
  kLumoError = 4,
  kLumoFatal = 5,
  kLumoOff = 6,
};

// Name of the logger the library writes to when given no LumoLogger.
inline constexpr const char* kDefaultLoggerName = "lumo";

class LumoLogger {
 public:
  explicit LumoLogger(const std::string& name);

  // Configures log4cplus from a property file. Returns false, changing
  // nothing, when the file cannot be read.
  bool Configure(const std::string& propertyFile);
  // Sets the level on the LumoLogLevel scale; values below 0 count as 0
  // (everything), values above 6 as 6 (nothing).
  void SetLogLevel(int level);

  const std::string& name() const { return name_; }
  log4cplus::Logger& logger() { return logger_; }

  // The log4cplus level of a LumoLogLevel value.
  static log4cplus::LogLevel ToLog4cplusLevel(int level);

 private:
  std::string name_;
  log4cplus::Logger logger_;
};

// The log4cplus logger the library writes to for `logger` (may be null).
log4cplus::Logger LoggerOrDefault(LumoLogger* logger);

}  // namespace lumo
