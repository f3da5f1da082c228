// Image meta-data record and its encoder/decoder.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace lumo {

// Pixel type codes carried in MetaDataElementsImage3D::lumoDataType.
enum LumoDataTypeCode : std::int32_t {
  kLumoUnsigned8 = 0,  // unsigned bytes
  kLumoInteger = 1,    // integer of bytesPerPixel bytes (signed unless 1 or 2 bytes wide), or unspecified
  kLumoUnsigned32 = 2, // unsigned 32-bit integers
  kLumoFloat = 3,      // IEEE-754 floating point of bytesPerPixel bytes
};

// Description of one image. Fields in wire order; unset fields encode as 0
// or empty. Pixels are stored row after row, `width` pixels per row.
struct MetaDataElementsImage3D {
  std::int32_t bytesPerPixel = 0;
  std::int32_t numberOfDimensions = 0;  // 2 for a plain image
  std::string description;
  std::uint8_t littleEndian = 0;  // 1: multi-byte pixels are little-endian
  std::uint8_t rowMajor = 0;      // 1: rows follow one another
  std::uint8_t contiguous = 0;    // 1: no padding between rows
  std::int32_t lumoDataType = 0;  // a LumoDataTypeCode
  std::string units;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t depth = 0;       // planes of a 3-D image; 1 for a plain image
  std::int32_t channels = 0;    // values per pixel
  std::int32_t layoutCode = 0;  // the publishing application's own layout tag
  std::int32_t frameCount = 0;  // images this message stands for
  std::int32_t offsetX = 0;     // position of the image in the sensor
  std::int32_t offsetY = 0;
  double timestamp = 0;         // seconds since 1970-01-01 UTC
  std::string source;
  std::string comment;

  bool operator==(const MetaDataElementsImage3D&) const = default;
};

// Topic identifier of the data header for each kind of meta-data.
inline constexpr int kTopicIdImage3D = 3;

// Holds the meta-data bytes of the last Encode call.
class LumoEncDec {
 public:
  virtual ~LumoEncDec();
  virtual int get_topic_id() const = 0;
  std::vector<std::uint8_t> get_meta_data() const { return metaData_; }

 protected:
  std::vector<std::uint8_t> metaData_;
};

// Encoding, little-endian: "LM3D", u16 version 1, then the fields in record
// order (int32, uint8, double as IEEE-754 bits; a string is a u32 byte
// length and its UTF-8 bytes).
class LumoEncDecImage3D : public LumoEncDec {
 public:
  static constexpr std::uint16_t kVersion = 1;

  int get_topic_id() const override { return kTopicIdImage3D; }
  // Encodes `record` into get_meta_data() and returns its size in bytes.
  // Throws std::length_error when the result would exceed kMaxMetaDataSize.
  int Encode(const MetaDataElementsImage3D& record);
  // Throws std::invalid_argument naming the fault for anything but one whole,
  // well-formed version-1 record.
  static MetaDataElementsImage3D Decode(std::span<const std::uint8_t> bytes);
};

}  // namespace lumo
