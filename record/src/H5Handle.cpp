#include "H5Handle.hpp"

namespace vexatools::record {

void QuietHdf5Errors() { H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr); }

std::string Hdf5ErrorMessage() {
  std::string message;
  // Walking upward starts at the most specific entry: the one that says why.
  H5Ewalk2(
      H5E_DEFAULT, H5E_WALK_UPWARD,
      [](unsigned, const H5E_error2_t* entry, void* out) -> herr_t {
        auto& text = *static_cast<std::string*>(out);
        if (text.empty() && entry->desc && *entry->desc) text = entry->desc;
        return 0;
      },
      &message);
  H5Eclear2(H5E_DEFAULT);
  // A failed system call is described at length; its error text says it all.
  const std::string marker = "error message = '";
  const auto start = message.find(marker);
  if (start != std::string::npos) {
    const auto end = message.find('\'', start + marker.size());
    if (end != std::string::npos) return message.substr(start + marker.size(), end - start - marker.size());
  }
  return message;
}

}  // namespace vexatools::record
