#include "ViewFrame.hpp"

#include <algorithm>
#include <stdexcept>

#include "korv/vexatools/ImageBytes.hpp"

namespace korv::vexatools::viewer {

std::optional<PixelKind> PixelKindOf(std::int32_t lumoDataType, std::int32_t bytesPerPixel) {
  switch (lumoDataType) {
    case lumo::kLumoUnsigned8:
      if (bytesPerPixel == 1) return PixelKind::UInt8;
      break;
    case lumo::kLumoInteger:
      if (bytesPerPixel == 1) return PixelKind::UInt8;
      if (bytesPerPixel == 2) return PixelKind::UInt16;
      if (bytesPerPixel == 4) return PixelKind::Int32;
      if (bytesPerPixel == 8) return PixelKind::Int64;
      break;
    case lumo::kLumoUnsigned32:
      if (bytesPerPixel == 4) return PixelKind::UInt32;
      break;
    case lumo::kLumoFloat:
      if (bytesPerPixel == 4) return PixelKind::Float32;
      if (bytesPerPixel == 8) return PixelKind::Float64;
      break;
    default:
      break;
  }
  return std::nullopt;
}

std::string_view PixelKindName(PixelKind kind) {
  switch (kind) {
    case PixelKind::UInt8: return "uint8";
    case PixelKind::UInt16: return "uint16";
    case PixelKind::Int32: return "int32";
    case PixelKind::UInt32: return "uint32";
    case PixelKind::Float32: return "float32";
    case PixelKind::Float64: return "float64";
    case PixelKind::Int64: return "int64";
  }
  return "unknown";
}

int BytesPerPixel(PixelKind kind) {
  switch (kind) {
    case PixelKind::UInt8: return 1;
    case PixelKind::UInt16: return 2;
    case PixelKind::Int32:
    case PixelKind::UInt32:
    case PixelKind::Float32: return 4;
    case PixelKind::Float64:
    case PixelKind::Int64: return 8;
  }
  return 1;
}

int ReductionStep(int width, int height, int bytesPerPixel, std::size_t maxBytes) {
  auto viewBytes = [&](std::int64_t step) {
    return static_cast<std::uint64_t>((width + step - 1) / step) * static_cast<std::uint64_t>((height + step - 1) / step) *
           static_cast<std::uint64_t>(bytesPerPixel);
  };
  std::int64_t step = 1;
  while (step < std::max(width, height) && viewBytes(step) > maxBytes) ++step;
  return static_cast<int>(step);
}

void AppendLe(std::vector<std::uint8_t>& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

namespace {

// Copies one pixel of `bytes` bytes, turning big-endian into little-endian.
void CopyPixel(const std::uint8_t* from, std::uint8_t* to, int bytes, bool littleEndian) {
  if (littleEndian) {
    std::copy_n(from, bytes, to);
  } else {
    std::reverse_copy(from, from + bytes, to);
  }
}

}  // namespace

ReceivedImage ReceivedImage::From(const lumo::LumoSample& sample) {
  auto owner = std::make_shared<const lumo::LumoSample>(sample);  // shares the received frame, no copy
  return {sample.stream, sample.header, sample.metaData, owner->data(), owner};
}

std::shared_ptr<const ViewFrame> ViewFrame::Make(ReceivedImage image, std::size_t maxViewBytes, std::string& problem) {
  std::shared_ptr<ViewFrame> frame(new ViewFrame);
  try {
    frame->meta_ = lumo::LumoEncDecImage3D::Decode(image.metaData);
  } catch (const std::invalid_argument& error) {
    problem = std::string("meta-data not readable: ") + error.what();
    return nullptr;
  }
  const auto& meta = frame->meta_;
  const auto kind = PixelKindOf(meta.lumoDataType, meta.bytesPerPixel);
  if (!kind) {
    problem = "pixel type " + std::to_string(meta.lumoDataType) + " with " + std::to_string(meta.bytesPerPixel) +
              " bytes per pixel cannot be shown";
    return nullptr;
  }
  const int bpp = meta.bytesPerPixel;
  // Width and height come off the network: a product that wraps, even in 64
  // bits, must not pass for the data size.
  if (meta.width <= 0 || meta.height <= 0 || ImageBytes(meta.width, meta.height, bpp) != image.data.size()) {
    problem = "geometry " + std::to_string(meta.width) + " x " + std::to_string(meta.height) + " x " +
              std::to_string(bpp) + " bytes does not match the " + std::to_string(image.data.size()) + " data bytes";
    return nullptr;
  }
  frame->kind_ = *kind;
  frame->step_ = ReductionStep(meta.width, meta.height, bpp, maxViewBytes);
  const int step = frame->step_;
  frame->viewWidth_ = (meta.width + step - 1) / step;
  frame->viewHeight_ = (meta.height + step - 1) / step;
  const bool little = meta.littleEndian != 0 || bpp == 1;
  if (step > 1 || !little) {
    auto& view = frame->ownPixels_;
    view.resize(std::size_t(frame->viewWidth_) * std::size_t(frame->viewHeight_) * std::size_t(bpp));
    const auto data = image.data;
    std::uint8_t* to = view.data();
    for (int y = 0; y < meta.height; y += step) {
      const std::uint8_t* row = data.data() + std::size_t(y) * std::size_t(meta.width) * std::size_t(bpp);
      for (int x = 0; x < meta.width; x += step, to += bpp) CopyPixel(row + std::size_t(x) * std::size_t(bpp), to, bpp, little);
    }
  }

  auto& header = frame->header_;
  const std::string& name = image.stream;
  const std::size_t headerSize = (kFrameFixedHeaderSize + name.size() + 7) / 8 * 8;
  header.reserve(headerSize);
  header.insert(header.end(), {'V', 'X', 'F', '1'});
  AppendLe(header, headerSize, 2);
  AppendLe(header, static_cast<std::uint8_t>(*kind), 1);
  AppendLe(header, static_cast<std::uint64_t>(bpp), 1);
  AppendLe(header, image.header.sequence, 8);
  AppendLe(header, image.header.publishTimeNs, 8);
  for (const int value : {meta.width, meta.height, step, frame->viewWidth_, frame->viewHeight_})
    AppendLe(header, static_cast<std::uint32_t>(value), 4);
  AppendLe(header, name.size(), 4);
  header.insert(header.end(), name.begin(), name.end());
  header.resize(headerSize, 0);

  frame->image_ = std::move(image);
  return frame;
}

std::span<const std::uint8_t> ViewFrame::ViewPixels() const {
  if (!ownPixels_.empty()) return ownPixels_;
  return image_.data;
}

std::optional<std::vector<std::uint8_t>> ViewFrame::PixelBytes(std::int64_t x, std::int64_t y) const {
  if (x < 0 || y < 0 || x >= meta_.width || y >= meta_.height) return std::nullopt;
  const int bpp = meta_.bytesPerPixel;
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(bpp));
  const auto index = static_cast<std::size_t>(y) * static_cast<std::size_t>(meta_.width) + static_cast<std::size_t>(x);
  CopyPixel(image_.data.data() + index * static_cast<std::size_t>(bpp), bytes.data(), bpp,
            meta_.littleEndian != 0 || bpp == 1);
  return bytes;
}

http::OutgoingMessage ViewFrame::Message(const std::shared_ptr<const ViewFrame>& self) {
  http::OutgoingMessage message;
  message.binary = true;
  message.buffers = {boost::asio::buffer(self->header_), boost::asio::buffer(self->ViewPixels().data(), self->ViewPixels().size())};
  message.owner = self;
  return message;
}

}  // namespace korv::vexatools::viewer
