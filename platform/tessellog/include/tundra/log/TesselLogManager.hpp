// Logging client: loads a log4cplus property file.
#pragma once

#include <string>

namespace tundra::log {

// Record layouts offered to property files: the full record and a short one.
extern const std::string kTesselFullLayout;
extern const std::string kTesselShortLayout;

class TesselLogManager {
 public:
  // Configures log4cplus from the property file at `path`. Throws
  // std::runtime_error naming the file when it cannot be read.
  static void Configure(const std::string& path);
};

}  // namespace tundra::log
