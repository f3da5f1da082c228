#pragma once

#include <log4cplus/logger.h>

namespace korv::vexalib {

// The library's own logger, named "vexalib".
log4cplus::Logger& Logger();

}  // namespace korv::vexalib
