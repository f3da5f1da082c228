// The one application logger, named "vexatools". The programs set its level
// and appenders; the libraries log through copies of it.
#pragma once

#include <log4cplus/logger.h>

#include "korv/vexatools/Export.hpp"

namespace korv::vexatools {

// Created on first use (thread-safe) and kept until the program ends.
KORV_VEXATOOLS_EXPORT log4cplus::Logger& GetAppLogger();

}  // namespace korv::vexatools
