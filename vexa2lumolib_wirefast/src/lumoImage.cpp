#include "korv/vexatools/vexa2lumolib_wirefast/LumoImage.hpp"

#include <algorithm>

namespace korv::vexatools::vexa2lumolib_wirefast {
namespace {

std::size_t PixelBytes(int width, int height, int bpp) {
  return std::size_t(std::max(height, 0)) * std::size_t(std::max(bpp, 0)) * std::size_t(std::max(width, 0));
}

}  // namespace

LumoImage::LumoImage(int width, int height, int bpp, korv::fnd::datatype::DataType dataType)
    : width(width),
      height(height),
      bpp(bpp),
      image(std::make_unique_for_overwrite<std::uint8_t[]>(PixelBytes(width, height, bpp))),
      dataType(dataType) {}

LumoImage::~LumoImage() = default;

// Unsigned arithmetic wraps where a signed product would overflow.
int LumoImage::GetSize() const {
  return static_cast<int>(static_cast<std::uint32_t>(width) * static_cast<std::uint32_t>(height) *
                          static_cast<std::uint32_t>(bpp));
}

}  // namespace korv::vexatools::vexa2lumolib_wirefast
