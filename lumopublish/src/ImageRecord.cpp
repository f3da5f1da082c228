#include "korv/vexatools/lumopublish/ImageRecord.hpp"

namespace korv::vexatools::lumopublish {

namespace dt = korv::fnd::datatype;

int LumoDataTypeOf(dt::DataType dataType) {
  switch (dataType) {
    case dt::Byte:
      return lumo::kLumoUnsigned8;
    case dt::UInt32:
      return lumo::kLumoUnsigned32;
    case dt::Float:
      return lumo::kLumoFloat;
    default:
      return lumo::kLumoInteger;
  }
}

lumo::MetaDataElementsImage3D ImageRecord(int width, int height, int bytesPerPixel, int lumoDataType, int layoutCode) {
  lumo::MetaDataElementsImage3D record;
  record.bytesPerPixel = bytesPerPixel;
  record.numberOfDimensions = 2;
  record.littleEndian = 1;
  record.rowMajor = 1;
  record.contiguous = 1;
  record.lumoDataType = lumoDataType;
  record.width = width;
  record.height = height;
  record.depth = 1;
  record.channels = 1;
  record.layoutCode = layoutCode;
  record.frameCount = 1;
  return record;
}

}  // namespace korv::vexatools::lumopublish
