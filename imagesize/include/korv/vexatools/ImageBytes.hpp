// The byte size of an image, checked: one rule for every place that sizes
// an image from a width, a height and a pixel size.
#pragma once

#include <cstdint>
#include <optional>

namespace korv::vexatools {

// Bytes of a width x height image of `bytesPerPixel`-byte pixels; nothing
// when a factor is negative or the product does not fit in 64 bits. The
// factors often come off the network or a command line: a product that
// wraps must never pass for a size.
constexpr std::optional<std::uint64_t> ImageBytes(std::int64_t width, std::int64_t height,
                                                  std::int64_t bytesPerPixel) {
  std::int64_t bytes = 0;
  if (width < 0 || height < 0 || bytesPerPixel < 0 || __builtin_mul_overflow(width, height, &bytes) ||
      __builtin_mul_overflow(bytes, bytesPerPixel, &bytes)) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(bytes);
}

}  // namespace korv::vexatools
