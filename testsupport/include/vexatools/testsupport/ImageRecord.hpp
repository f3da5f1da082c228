// The meta-data record an image sender publishes with each image, built
// field by field for the tests that check what the senders write (needs the
// LUMO headers: link vexatoolsImageRecordTestSupport).
#pragma once

#include "lumo/LumoEncDec.hpp"

namespace vexatools::testsupport {

// A width x height image: two dimensions, little-endian, row-major and
// contiguous, one plane, one channel, one frame. The publisher tool's
// sender tags its images with layout code 2, the gateway's with 1.
inline lumo::MetaDataElementsImage3D ImageRecord(int width, int height, int bytesPerPixel, int lumoDataType,
                                                 int layoutCode = 2) {
  lumo::MetaDataElementsImage3D record;
  record.bytesPerPixel = bytesPerPixel;
  record.numberOfDimensions = 2;
  record.littleEndian = record.rowMajor = record.contiguous = 1;
  record.lumoDataType = lumoDataType;
  record.width = width;
  record.height = height;
  record.depth = record.channels = record.frameCount = 1;
  record.layoutCode = layoutCode;
  return record;
}

}  // namespace vexatools::testsupport
