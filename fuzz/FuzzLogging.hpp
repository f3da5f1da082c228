// Logging for the fuzz targets: every level is enabled, so that each log
// record is formatted from the hostile values, and then thrown away.
#pragma once

#include <log4cplus/logger.h>
#include <log4cplus/nullappender.h>

namespace vexafuzz {

inline void FormatAndDiscard(log4cplus::Logger logger) {
  logger.removeAllAppenders();
  logger.addAppender(log4cplus::SharedAppenderPtr(new log4cplus::NullAppender));
  logger.setAdditivity(false);
  logger.setLogLevel(log4cplus::TRACE_LOG_LEVEL);
}

}  // namespace vexafuzz
