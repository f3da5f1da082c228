// The publisher tool's metrics page: its figures in the Prometheus text exposition format.
#pragma once

#include <cstdint>
#include <string>

#include "korv/vexatools/ReceptionStatistics.hpp"

namespace korv::vexatools {

// What happened to the complete samples after reception.
struct PublishingFigures {
  std::uint64_t published = 0;
  std::uint64_t ringDrops = 0;
  std::uint64_t publishFailures = 0;
};

// Counters end in _total, losses carry their cause as a label, the receive
// buffer sizes are gauges.
std::string MetricsText(const ReceptionStatistics& reception, const PublishingFigures& publishing);

}  // namespace korv::vexatools
