// The pixel bytes of one sample with their geometry and data type, shared
// through std::shared_ptr between the gateway, the hand-over ring and the
// sender.
#pragma once

#include <cstdint>
#include <memory>

#include "korv/fnd/datatype/DataType.hpp"
#include "korv/vexatools/vexa2lumolib_wirefast/Export.hpp"

namespace korv::vexatools::vexa2lumolib_wirefast {

class KORV_VEXA2LUMOLIB_WIREFAST_EXPORT LumoImage {
 public:
  // Allocates width x height x bpp bytes, not initialised; a negative factor
  // counts as 0, so no dimension makes the allocation fail.
  LumoImage(int width, int height, int bpp, korv::fnd::datatype::DataType dataType);
  virtual ~LumoImage();

  LumoImage(const LumoImage&) = delete;
  LumoImage& operator=(const LumoImage&) = delete;

  int GetWidth() const { return width; }
  int GetHeight() const { return height; }
  int GetBpp() const { return bpp; }
  // width x height x bpp of the stored values. Meaningful when the product
  // fits an int, which the sender checks before it uses it.
  int GetSize() const;
  std::uint8_t* GetImage() { return image.get(); }
  const std::uint8_t* GetImage() const { return image.get(); }
  korv::fnd::datatype::DataType GetDataType() const { return dataType; }

 private:
  int width;
  int height;
  int bpp;
  std::unique_ptr<std::uint8_t[]> image;
  korv::fnd::datatype::DataType dataType;
};

}  // namespace korv::vexatools::vexa2lumolib_wirefast
