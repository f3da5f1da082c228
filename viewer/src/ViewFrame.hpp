// One received image made ready for the browsers: its pixel type, its view
// (the image itself, or every n-th pixel of every n-th row when it is too
// large to send at full size), and the binary message that carries it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "korv/vexatools/http/HttpServer.hpp"
#include "lumo/LumoDataSubscriber.hpp"
#include "lumo/LumoEncDec.hpp"

namespace korv::vexatools::viewer {

// How the page reads a pixel. The codes travel in the frame message.
enum class PixelKind : std::uint8_t { UInt8 = 0, UInt16 = 1, Int32 = 2, UInt32 = 3, Float32 = 4, Float64 = 5, Int64 = 6 };

// The kind of a LUMO image's pixels: type 0 is unsigned 8-bit; type 1 is an
// integer, unsigned when 1 or 2 bytes wide and signed when 4 or 8; type 2 is
// unsigned 32-bit; type 3 is IEEE floating point of 4 or 8 bytes. Empty for
// any other combination.
std::optional<PixelKind> PixelKindOf(std::int32_t lumoDataType, std::int32_t bytesPerPixel);
std::string_view PixelKindName(PixelKind kind);
int BytesPerPixel(PixelKind kind);

// Largest view sent to a browser, in bytes of pixels.
inline constexpr std::size_t kMaxViewBytes = 2 * 1024 * 1024;

// The smallest step n such that every n-th pixel of every n-th row fits in
// `maxBytes`.
int ReductionStep(int width, int height, int bytesPerPixel, std::size_t maxBytes);

// Frame message, little-endian: "VXF1", u16 header size (a multiple of 8),
// u8 pixel kind, u8 bytes per pixel, u64 sequence, u64 publish time (ns),
// u32 width, u32 height (of the image), u32 step, u32 view width, u32 view
// height, u32 stream name size, the stream name padded with zeros to the
// header size; then the view's pixels, row after row.
inline constexpr std::size_t kFrameFixedHeaderSize = 48;

// One received image: what a LUMO sample holds, with the owner of its bytes.
struct ReceivedImage {
  std::string stream;
  lumo::DataHeader header;
  std::vector<std::uint8_t> metaData;
  std::span<const std::uint8_t> data;
  std::shared_ptr<const void> dataOwner;  // keeps `data` valid

  static ReceivedImage From(const lumo::LumoSample& sample);
};

class ViewFrame {
 public:
  // The view of `image`, or null with `problem` saying why it cannot be
  // shown (meta-data not readable, pixel type unknown, geometry that does
  // not match the data).
  static std::shared_ptr<const ViewFrame> Make(ReceivedImage image, std::size_t maxViewBytes, std::string& problem);

  const std::string& stream() const { return image_.stream; }
  std::uint64_t sequence() const { return image_.header.sequence; }
  // The full-resolution pixels as received.
  std::span<const std::uint8_t> data() const { return image_.data; }
  const lumo::MetaDataElementsImage3D& meta() const { return meta_; }
  PixelKind kind() const { return kind_; }
  int step() const { return step_; }
  int viewWidth() const { return viewWidth_; }
  int viewHeight() const { return viewHeight_; }
  // The view's pixels, little-endian.
  std::span<const std::uint8_t> ViewPixels() const;

  // The raw bytes of the full-resolution pixel (x, y), little-endian;
  // empty outside the image.
  std::optional<std::vector<std::uint8_t>> PixelBytes(std::int64_t x, std::int64_t y) const;

  // The frame message; `self` keeps this frame alive while it is written.
  static http::OutgoingMessage Message(const std::shared_ptr<const ViewFrame>& self);

 private:
  ViewFrame() = default;

  ReceivedImage image_;  // the full-resolution image, shared with the subscriber's buffer
  lumo::MetaDataElementsImage3D meta_;
  PixelKind kind_ = PixelKind::UInt8;
  int step_ = 1;
  int viewWidth_ = 0;
  int viewHeight_ = 0;
  std::vector<std::uint8_t> header_;
  // The view when it differs from the sample's bytes (reduced, or big-endian pixels).
  std::vector<std::uint8_t> ownPixels_;
};

// Little-endian writing for the browser messages.
void AppendLe(std::vector<std::uint8_t>& out, std::uint64_t value, int bytes);

}  // namespace korv::vexatools::viewer
