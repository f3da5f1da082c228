#include "korv/vexalib/FindFile.hpp"

#include <filesystem>
#include <system_error>

namespace korv::vexalib {
namespace fs = std::filesystem;

namespace {

bool IsFile(const fs::path& path) {
  std::error_code ignored;
  return fs::is_regular_file(path, ignored);
}

fs::path ProgramDirectory() {
  std::error_code error;
  const fs::path program = fs::read_symlink("/proc/self/exe", error);
  return error ? fs::path{} : program.parent_path();
}

}  // namespace

std::string FindFile(const std::string& relativePath) {
  if (relativePath.empty()) return {};
  const fs::path wanted(relativePath);
  if (wanted.is_absolute()) return IsFile(wanted) ? wanted.string() : std::string{};
  if (IsFile(wanted)) return fs::absolute(wanted).string();

  for (fs::path dir = ProgramDirectory(); !dir.empty(); dir = dir.parent_path()) {
    for (const fs::path& candidate : {dir / wanted, dir / "share" / "vexatools" / wanted}) {
      if (IsFile(candidate)) return candidate.string();
    }
    if (dir == dir.root_path()) break;
  }

  const fs::path installed = fs::path(VEXALIB_INSTALL_DATADIR) / wanted;
  return IsFile(installed) ? installed.string() : std::string{};
}

}  // namespace korv::vexalib
