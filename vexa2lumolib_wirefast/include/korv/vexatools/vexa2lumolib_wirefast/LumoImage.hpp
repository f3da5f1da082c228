// The pixel bytes of one sample with their geometry and data type, shared
// through std::shared_ptr between the gateway, the hand-over ring and the
// sender.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "korv/fnd/datatype/DataType.hpp"
#include "korv/vexatools/vexa2lumolib_wirefast/Export.hpp"

namespace korv::vexatools::vexa2lumolib_wirefast {

class KORV_VEXA2LUMOLIB_WIREFAST_EXPORT LumoImage {
 public:
  // Allocates width x height x bpp bytes, of no particular value; a negative
  // factor counts as 0, so no dimension makes the allocation fail.
  LumoImage(int width, int height, int bpp, korv::fnd::datatype::DataType dataType);
  // The same geometry, holding a copy of `pixels`, which must be width x
  // height x bpp bytes (std::invalid_argument otherwise).
  LumoImage(int width, int height, int bpp, korv::fnd::datatype::DataType dataType,
            std::span<const std::uint8_t> pixels);
  virtual ~LumoImage();

  LumoImage(const LumoImage&) = delete;
  LumoImage& operator=(const LumoImage&) = delete;

  int GetWidth() const { return width; }
  int GetHeight() const { return height; }
  int GetBpp() const { return bpp; }
  // width x height x bpp of the stored values. Meaningful when the product
  // fits an int, which the sender checks before it uses it.
  int GetSize() const;
  std::uint8_t* GetImage() { return image.data(); }
  const std::uint8_t* GetImage() const { return image.data(); }
  korv::fnd::datatype::DataType GetDataType() const { return dataType; }

 private:
  // The sender hands the pixel vector of an image no one else holds to the
  // publisher without copying it.
  friend class LumoSender;

  int width;
  int height;
  int bpp;
  std::vector<std::uint8_t> image;
  korv::fnd::datatype::DataType dataType;
};

}  // namespace korv::vexatools::vexa2lumolib_wirefast
