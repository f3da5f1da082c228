#include "tundra/log/TesselLogManager.hpp"

#include <log4cplus/configurator.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace tundra::log {

const std::string kTesselFullLayout =
    "Cref=%F:%L, Date=%D{%Y-%m-%dT%X.%q%z}, HostName=%H, LogType=%p, SourceID=%t, LogID=%c.%M-%L, "
    "Message=%m%E{TESSEL_LOG_AUXFIELDS} %n";
const std::string kTesselShortLayout = "%D{%Y-%m-%dT%X.%q%z}, %p, %c/%t, %m %n";

void TesselLogManager::Configure(const std::string& path) {
  // log4cplus silently ignores a missing or unreadable file (a directory
  // opens but reads nothing); a caller asking for a file wants to know.
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) throw std::runtime_error("Log property file is a directory: " + path);
  if (!std::ifstream(path).good()) throw std::runtime_error("Cannot read log property file: " + path);
  log4cplus::PropertyConfigurator::doConfigure(path);
}

}  // namespace tundra::log
