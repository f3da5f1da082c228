#include "korv/vexalib/Logger.hpp"

namespace korv::vexalib {

log4cplus::Logger& Logger() {
  static log4cplus::Logger logger = log4cplus::Logger::getInstance(LOG4CPLUS_TEXT("vexalib"));
  return logger;
}

}  // namespace korv::vexalib
