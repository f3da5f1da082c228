#include "korv/vexatools/AppLogger.hpp"

namespace korv::vexatools {

log4cplus::Logger& GetAppLogger() {
  static log4cplus::Logger logger = log4cplus::Logger::getInstance(LOG4CPLUS_TEXT("vexatools"));
  return logger;
}

}  // namespace korv::vexatools
