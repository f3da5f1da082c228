// A LUMO data message as a subscriber receives it: four records (stream
// name, data header, meta-data, image data). The header and the meta-data
// record are decoded with the subscriber's checks, and the image goes
// through the subscriber tool's PNG encoding and the viewer's preparation
// (with a small view limit, so that images are reduced). What decodes
// encodes back to the same bytes.
#include <algorithm>
#include <cstdint>
#include <exception>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "FuzzInput.hpp"
#include "PngWriter.hpp"
#include "ViewFrame.hpp"
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

void PrepareView(Bytes meta, Bytes data) {
  namespace viewer = korv::vexatools::viewer;
  viewer::ReceivedImage image;
  image.stream = "fuzz";
  image.header.sequence = 1;
  image.metaData.assign(meta.begin(), meta.end());
  image.data = data;
  std::string problem;
  const auto frame = viewer::ViewFrame::Make(std::move(image), 256, problem);
  if (!frame) {
    VEXA_FUZZ_CHECK(!problem.empty());
    return;
  }
  const auto view = frame->ViewPixels();
  VEXA_FUZZ_CHECK(view.size() == std::size_t(frame->viewWidth()) * std::size_t(frame->viewHeight()) *
                                     std::size_t(frame->meta().bytesPerPixel));
  // The pixel read-out at the corners and just outside.
  const auto& record = frame->meta();
  for (const auto& [x, y] : {std::pair<std::int64_t, std::int64_t>{0, 0}, {record.width - 1, record.height - 1},
                             {record.width, 0}, {0, record.height}, {-1, 0}}) {
    const auto pixel = frame->PixelBytes(x, y);
    VEXA_FUZZ_CHECK(pixel.has_value() == (x >= 0 && y >= 0 && x < record.width && y < record.height));
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
  if (frames[2].size() <= lumo::kMaxMetaDataSize) {
    DecodeImage(frames[2], frames[3]);
    PrepareView(frames[2], frames[3]);
  }
  return 0;
}
