// Bounds the log lines that peers can trigger: a peer that repeats what
// causes a line must not be able to fill the log.
#pragma once

#include <chrono>

#include "korv/fnd/LogThrottle.hpp"

namespace lumo::detail {

using korv::fnd::LogThrottle;

// Ten lines of one kind a second: a few distinct events are all seen, a
// flood is cut short and counted.
inline LogThrottle PeerLineThrottle() { return LogThrottle(std::chrono::seconds(1), 10); }

}  // namespace lumo::detail
