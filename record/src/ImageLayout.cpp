#include "ImageLayout.hpp"

#include <fmt/format.h>

namespace vexatools::record {

std::string ImageLayout::Describe() const { return fmt::format("{}x{} {}", width, height, PixelTypeName(*this)); }

std::optional<ImageLayout> LayoutOf(const lumo::MetaDataElementsImage3D& meta, std::size_t dataSize) {
  const ImageLayout layout{meta.width, meta.height, meta.bytesPerPixel, meta.lumoDataType, meta.littleEndian != 0};
  if (layout.width < 1 || layout.height < 1 || std::int64_t{layout.width} * layout.height > kMaxPixels) return {};
  const int bytes = layout.bytesPerPixel;
  if (bytes != 1 && bytes != 2 && bytes != 4 && bytes != 8) return {};
  if (layout.lumoDataType == lumo::kLumoFloat && bytes < 4) return {};
  if (layout.ImageBytes() != dataSize) return {};
  return layout;
}

std::string PixelTypeName(const ImageLayout& layout) {
  const int bits = 8 * layout.bytesPerPixel;
  switch (layout.lumoDataType) {
    case lumo::kLumoFloat:
      return fmt::format("float{}", bits);
    case lumo::kLumoUnsigned8:
    case lumo::kLumoUnsigned32:
      return fmt::format("uint{}", bits);
    default:
      return fmt::format("{}int{}", layout.bytesPerPixel <= 2 ? "u" : "", bits);
  }
}

}  // namespace vexatools::record
