#include "lumo/LumoEncDec.hpp"

#include <stdexcept>

#include "ByteCodec.hpp"
#include "lumo/LumoWire.hpp"

namespace lumo {

namespace {
constexpr std::string_view kImage3DMagic = "LM3D";
}

LumoEncDec::~LumoEncDec() = default;

int LumoEncDecImage3D::Encode(const MetaDataElementsImage3D& record) {
  std::vector<std::uint8_t> bytes;
  detail::ByteWriter writer(bytes);
  writer.Bytes(kImage3DMagic);
  writer.U16(kVersion);
  writer.I32(record.bytesPerPixel);
  writer.I32(record.numberOfDimensions);
  writer.String(record.description);
  writer.U8(record.littleEndian);
  writer.U8(record.rowMajor);
  writer.U8(record.contiguous);
  writer.I32(record.lumoDataType);
  writer.String(record.units);
  writer.I32(record.width);
  writer.I32(record.height);
  writer.I32(record.depth);
  writer.I32(record.channels);
  writer.I32(record.layoutCode);
  writer.I32(record.frameCount);
  writer.I32(record.offsetX);
  writer.I32(record.offsetY);
  writer.Double(record.timestamp);
  writer.String(record.source);
  writer.String(record.comment);
  if (bytes.size() > kMaxMetaDataSize)
    throw std::length_error("LUMO meta-data of " + std::to_string(bytes.size()) + " bytes exceeds the limit of " +
                            std::to_string(kMaxMetaDataSize));
  metaData_ = std::move(bytes);
  return static_cast<int>(metaData_.size());
}

MetaDataElementsImage3D LumoEncDecImage3D::Decode(std::span<const std::uint8_t> bytes) {
  try {
    detail::ByteReader reader(bytes);
    if (reader.Bytes(kImage3DMagic.size(), "magic") != kImage3DMagic) throw std::invalid_argument("bad magic");
    if (const auto version = reader.U16("version"); version != kVersion)
      throw std::invalid_argument("unsupported version " + std::to_string(version));
    MetaDataElementsImage3D record;
    record.bytesPerPixel = reader.I32("bytesPerPixel");
    record.numberOfDimensions = reader.I32("numberOfDimensions");
    record.description = reader.String("description");
    record.littleEndian = reader.U8("littleEndian");
    record.rowMajor = reader.U8("rowMajor");
    record.contiguous = reader.U8("contiguous");
    record.lumoDataType = reader.I32("lumoDataType");
    record.units = reader.String("units");
    record.width = reader.I32("width");
    record.height = reader.I32("height");
    record.depth = reader.I32("depth");
    record.channels = reader.I32("channels");
    record.layoutCode = reader.I32("layoutCode");
    record.frameCount = reader.I32("frameCount");
    record.offsetX = reader.I32("offsetX");
    record.offsetY = reader.I32("offsetY");
    record.timestamp = reader.Double("timestamp");
    record.source = reader.String("source");
    record.comment = reader.String("comment");
    if (reader.Remaining() != 0)
      throw std::invalid_argument(std::to_string(reader.Remaining()) + " bytes after the record");
    return record;
  } catch (const std::invalid_argument& error) {
    throw std::invalid_argument(std::string("LUMO image meta-data: ") + error.what());
  }
}

}  // namespace lumo
