// The log throttle under the name the reception library's classes use.
#pragma once

#include "korv/fnd/LogThrottle.hpp"

namespace korv::vexatools {
using korv::fnd::LogThrottle;
}  // namespace korv::vexatools
