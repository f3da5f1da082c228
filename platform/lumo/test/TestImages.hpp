// Image data and meta-data records for the LUMO tests.
#pragma once

#include <cstdint>
#include <vector>

#include "lumo/LumoEncDec.hpp"
#include "vexatools/testsupport/ImageRecord.hpp"

namespace lumo::test {

// Pixel bytes with a pattern that depends on `seed`.
inline std::vector<std::uint8_t> PatternImage(std::size_t bytes, std::uint32_t seed) {
  std::vector<std::uint8_t> image(bytes);
  std::uint32_t state = seed * 2654435761u + 1;
  for (auto& byte : image) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<std::uint8_t>(state >> 24);
  }
  return image;
}

// The record an image sender fills for a width x height image.
using vexatools::testsupport::ImageRecord;

}  // namespace lumo::test
