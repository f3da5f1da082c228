// How an image is described on a LUMO stream: the LUMO data type of a pixel
// data type, and the meta-data record published with each image.
#pragma once

#include "korv/fnd/datatype/DataType.hpp"
#include "lumo/LumoEncDec.hpp"

namespace korv::vexatools::lumopublish {

// kLumoUnsigned8 for Byte, kLumoUnsigned32 for UInt32, kLumoFloat for
// Float, kLumoInteger for every other data type.
int LumoDataTypeOf(korv::fnd::datatype::DataType dataType);

// The record of a width x height image: two dimensions, little-endian,
// row-major and contiguous, one plane, one channel, one frame.
// `layoutCode` is the publishing application's own tag.
lumo::MetaDataElementsImage3D ImageRecord(int width, int height, int bytesPerPixel, int lumoDataType, int layoutCode);

}  // namespace korv::vexatools::lumopublish
