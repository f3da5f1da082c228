#include "korv/vexatools/vexa2lumolib_wirefast/LumoImage.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "korv/vexatools/ImageBytes.hpp"

namespace korv::vexatools::vexa2lumolib_wirefast {
namespace {

// A product beyond 64 bits asks for more than any vector holds, which the
// vector refuses with std::length_error.
std::size_t PixelBytes(int width, int height, int bpp) {
  return ImageBytes(std::max(width, 0), std::max(height, 0), std::max(bpp, 0))
      .value_or(std::numeric_limits<std::size_t>::max());
}

}  // namespace

LumoImage::LumoImage(int width, int height, int bpp, korv::fnd::datatype::DataType dataType)
    : width(width), height(height), bpp(bpp), image(PixelBytes(width, height, bpp)), dataType(dataType) {}

LumoImage::LumoImage(int width, int height, int bpp, korv::fnd::datatype::DataType dataType,
                     std::span<const std::uint8_t> pixels)
    : width(width), height(height), bpp(bpp), dataType(dataType) {
  if (pixels.size() != PixelBytes(width, height, bpp)) {
    throw std::invalid_argument("LumoImage: the pixel bytes do not match the geometry");
  }
  image.assign(pixels.begin(), pixels.end());
}

LumoImage::~LumoImage() = default;

// Unsigned arithmetic wraps where a signed product would overflow.
int LumoImage::GetSize() const {
  return static_cast<int>(static_cast<std::uint32_t>(width) * static_cast<std::uint32_t>(height) *
                          static_cast<std::uint32_t>(bpp));
}

}  // namespace korv::vexatools::vexa2lumolib_wirefast
