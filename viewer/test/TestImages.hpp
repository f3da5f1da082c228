// Images for the viewer tests, made without a LUMO connection.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ViewFrame.hpp"
#include "lumo/LumoEncDec.hpp"

namespace korv::vexatools::viewer::test {

inline lumo::MetaDataElementsImage3D ImageRecord(int width, int height, int bytesPerPixel, int lumoDataType,
                                                 bool littleEndian = true) {
  lumo::MetaDataElementsImage3D record;
  record.bytesPerPixel = bytesPerPixel;
  record.numberOfDimensions = 2;
  record.littleEndian = littleEndian ? 1 : 0;
  record.rowMajor = record.contiguous = 1;
  record.lumoDataType = lumoDataType;
  record.width = width;
  record.height = height;
  record.depth = record.channels = record.frameCount = 1;
  return record;
}

// Pixel (x, y) of the test image holds x + 1000 * y + 7 * seed, in `bytes`
// little-endian bytes.
inline std::vector<std::uint8_t> NumberedPixels(int width, int height, int bytes, std::uint64_t seed = 0) {
  std::vector<std::uint8_t> pixels(std::size_t(width) * std::size_t(height) * std::size_t(bytes));
  std::size_t at = 0;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const std::uint64_t value = std::uint64_t(x) + 1000 * std::uint64_t(y) + 7 * seed;
      for (int i = 0; i < bytes; ++i) pixels[at++] = static_cast<std::uint8_t>(value >> (8 * i));
    }
  return pixels;
}

inline ReceivedImage MakeImage(const std::string& stream, std::uint64_t sequence,
                               const lumo::MetaDataElementsImage3D& record, std::vector<std::uint8_t> pixels) {
  lumo::LumoEncDecImage3D encoder;
  encoder.Encode(record);
  auto owner = std::make_shared<const std::vector<std::uint8_t>>(std::move(pixels));
  ReceivedImage image;
  image.stream = stream;
  image.header.topicId = lumo::kTopicIdImage3D;
  image.header.sequence = sequence;
  image.header.publishTimeNs = 1'700'000'000'000'000'000ULL + sequence;
  image.metaData = encoder.get_meta_data();
  image.data = *owner;
  image.dataOwner = owner;
  return image;
}

inline std::shared_ptr<const ViewFrame> MakeFrame(const std::string& stream, std::uint64_t sequence, int width = 8,
                                                  int height = 4) {
  std::string problem;
  return ViewFrame::Make(MakeImage(stream, sequence, ImageRecord(width, height, 2, lumo::kLumoInteger),
                                   NumberedPixels(width, height, 2, sequence)),
                         kMaxViewBytes, problem);
}

// Reads a little-endian number of `bytes` bytes at `at`.
inline std::uint64_t ReadLe(const std::uint8_t* at, int bytes) {
  std::uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value |= std::uint64_t(at[i]) << (8 * i);
  return value;
}

// The bytes of a message, all its buffers one after another.
template <typename Message>
std::vector<std::uint8_t> Bytes(const Message& message) {
  std::vector<std::uint8_t> bytes;
  for (const auto& buffer : message.buffers) {
    const auto* data = static_cast<const std::uint8_t*>(buffer.data());
    bytes.insert(bytes.end(), data, data + buffer.size());
  }
  return bytes;
}

}  // namespace korv::vexatools::viewer::test
