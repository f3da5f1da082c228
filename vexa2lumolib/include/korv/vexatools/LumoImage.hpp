// The pixel bytes of one assembled sample, shared between the receiver that
// fills it, the image queue and the sender that publishes it.
#pragma once

#include <memory>

#include "korv/vexatools/Export.hpp"

namespace korv::vexatools {

class KORV_VEXATOOLS_EXPORT LumoImage {
 public:
  // Allocates width x height x bpp bytes, not initialised. Throws
  // std::invalid_argument when a factor is negative or the size does not
  // fit in a 32-bit int.
  LumoImage(int width, int height, int bpp);
  virtual ~LumoImage();

  LumoImage(const LumoImage&) = delete;
  LumoImage& operator=(const LumoImage&) = delete;

  int GetWidth() const { return m_width; }
  int GetHeight() const { return m_height; }
  int GetBpp() const { return m_bpp; }
  // Bytes of the pixel array: width x height x bpp.
  int GetSize() const { return m_size; }
  char* GetImage() { return m_image.get(); }
  const char* GetImage() const { return m_image.get(); }

 private:
  int m_width;
  int m_height;
  int m_bpp;
  int m_size;
  std::unique_ptr<char[]> m_image;
};

}  // namespace korv::vexatools
