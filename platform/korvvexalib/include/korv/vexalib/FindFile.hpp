#pragma once

#include <string>

namespace korv::vexalib {

// Finds a data file such as "config/korv/vexatools/log.properties".
// Returns the path of the first existing regular file, or "" if none:
//   1. an absolute path: itself;
//   2. relative to the current working directory;
//   3. relative to the directory of the running program and each of its
//      parent directories, both directly and under share/vexatools/
//      (a build tree holds config/ at its top, an installed tree under
//      <prefix>/share/vexatools/);
//   4. relative to the installation's data directory, <prefix>/share/vexatools.
std::string FindFile(const std::string& relativePath);

}  // namespace korv::vexalib
