#include "korv/vexatools/LumoImage.hpp"

#include <climits>
#include <stdexcept>

#include <fmt/format.h>

#include "korv/vexatools/ImageBytes.hpp"

namespace korv::vexatools {
namespace {

int CheckedSize(int width, int height, int bpp) {
  const auto bytes = ImageBytes(width, height, bpp);
  if (!bytes || *bytes > INT_MAX) {
    throw std::invalid_argument(
        fmt::format("Invalid image geometry: width {}, height {}, bytes per pixel {}", width, height, bpp));
  }
  return static_cast<int>(*bytes);
}

}  // namespace

LumoImage::LumoImage(int width, int height, int bpp)
    : m_width(width),
      m_height(height),
      m_bpp(bpp),
      m_size(CheckedSize(width, height, bpp)),
      // Every byte is written by the payload frames before the image is queued.
      m_image(std::make_unique_for_overwrite<char[]>(static_cast<std::size_t>(m_size))) {}

LumoImage::~LumoImage() = default;

}  // namespace korv::vexatools
