// A LUMO data message as a subscriber receives it: four records (stream
// name, data header, meta-data, image data). The header and the meta-data
// record are decoded with the subscriber's checks, and a decoded image goes
// through the subscriber tool's PNG encoding. What decodes encodes back to
// the same bytes.
#include <algorithm>
#include <cstdint>
#include <exception>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "FuzzInput.hpp"
#include "PngWriter.hpp"
#include "lumo/LumoEncDec.hpp"
#include "lumo/LumoWire.hpp"

namespace {

using Bytes = std::span<const std::uint8_t>;

void DecodeHeader(Bytes bytes) {
  const auto header = lumo::DecodeDataHeader(bytes);
  if (!header) return;
  VEXA_FUZZ_CHECK(bytes.size() == lumo::kDataHeaderSize && header->version == lumo::kDataHeaderVersion);
  std::uint8_t encoded[lumo::kDataHeaderSize];
  lumo::EncodeDataHeader(*header, encoded);
  // The last four bytes are reserved and not read.
  VEXA_FUZZ_CHECK(std::equal(encoded, encoded + lumo::kDataHeaderSize - 4, bytes.begin()));
}

void DecodeImage(Bytes meta, Bytes data) {
  lumo::MetaDataElementsImage3D record;
  try {
    record = lumo::LumoEncDecImage3D::Decode(meta);
  } catch (const std::invalid_argument&) {
    return;
  }
  lumo::LumoEncDecImage3D encoder;
  encoder.Encode(record);
  const auto encoded = encoder.get_meta_data();
  VEXA_FUZZ_CHECK(std::equal(encoded.begin(), encoded.end(), meta.begin(), meta.end()));

  std::vector<std::uint8_t> png;
  std::string error;
  if (!lumo::subscribe::EncodeGreyPng(record, data, png, error)) {
    VEXA_FUZZ_CHECK(!error.empty());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vexafuzz::RecordReader input(data, size);
  // Each frame in a buffer of its own exact size, as ZeroMQ hands them over.
  std::vector<std::vector<std::uint8_t>> frames;
  while (frames.size() < 4) {
    const auto record = input.Next();
    if (!record) break;
    frames.emplace_back(record->begin(), record->end());
  }
  if (frames.size() != 4) return 0;
  const std::string_view name(reinterpret_cast<const char*>(frames[0].data()), frames[0].size());
  static_cast<void>(lumo::IsValidStreamName(name));
  DecodeHeader(frames[1]);
  if (frames[2].size() <= lumo::kMaxMetaDataSize) DecodeImage(frames[2], frames[3]);
  return 0;
}
