// What a recording file holds per image: geometry and pixel type, taken
// from each image's LUMO meta-data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "lumo/LumoEncDec.hpp"

namespace vexatools::record {

struct ImageLayout {
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t bytesPerPixel = 0;
  std::int32_t lumoDataType = 0;
  bool littleEndian = true;

  std::size_t ImageBytes() const {
    return static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * static_cast<std::size_t>(bytesPerPixel);
  }
  // "1024x768 uint16", for messages.
  std::string Describe() const;
  bool operator==(const ImageLayout&) const = default;
};

// Most pixels of one image, as lumoPublish and the viewer accept.
inline constexpr std::int64_t kMaxPixels = std::int64_t{1} << 28;

// The layout of an image, or empty when its meta-data describe something
// that cannot be stored as such: geometry not positive or too large, pixel
// width not 1, 2, 4 or 8 bytes (or a float not 4 or 8), or a pixel count
// that does not match the `dataSize` bytes that came with it.
std::optional<ImageLayout> LayoutOf(const lumo::MetaDataElementsImage3D& meta, std::size_t dataSize);

// The numeric type a reader sees ("uint8", "uint16", "int32", "float32", ...).
// LUMO's integer code leaves 1- and 2-byte pixels unsigned and wider ones
// signed; the stream's own code and pixel width are stored beside it, so a
// playback gives back exactly what was recorded.
std::string PixelTypeName(const ImageLayout& layout);

}  // namespace vexatools::record
