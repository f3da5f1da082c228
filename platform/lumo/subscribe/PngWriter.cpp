#include "PngWriter.hpp"

#include <png.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

namespace lumo::subscribe {

namespace {

// Reads pixel `index` as an unsigned integer of `bytes` bytes.
std::uint64_t RawPixel(std::span<const std::uint8_t> data, std::size_t index, int bytes, bool littleEndian) {
  std::uint64_t value = 0;
  const std::uint8_t* pixel = data.data() + index * static_cast<std::size_t>(bytes);
  for (int i = 0; i < bytes; ++i) value |= std::uint64_t{pixel[littleEndian ? i : bytes - 1 - i]} << (8 * i);
  return value;
}

// Value of a 4- or 8-byte pixel for scaling.
double WidePixel(std::uint64_t raw, int bytes, int dataType) {
  if (bytes == 4) {
    const auto bits = static_cast<std::uint32_t>(raw);
    if (dataType == kLumoFloat) return std::bit_cast<float>(bits);
    if (dataType == kLumoUnsigned32) return bits;
    return static_cast<std::int32_t>(bits);
  }
  if (dataType == kLumoFloat) return std::bit_cast<double>(raw);
  if (dataType == kLumoUnsigned32) return static_cast<double>(raw);
  return static_cast<double>(static_cast<std::int64_t>(raw));
}

// PNG samples, big-endian for 16-bit.
std::vector<std::uint8_t> GreySamples(const MetaDataElementsImage3D& meta, std::span<const std::uint8_t> data) {
  const std::size_t pixels = data.size() / static_cast<std::size_t>(meta.bytesPerPixel);
  const bool little = meta.littleEndian != 0;
  if (meta.bytesPerPixel == 1) return {data.begin(), data.end()};
  std::vector<std::uint16_t> values(pixels);
  if (meta.bytesPerPixel == 2) {
    for (std::size_t i = 0; i < pixels; ++i) values[i] = static_cast<std::uint16_t>(RawPixel(data, i, 2, little));
  } else {
    std::vector<double> wide(pixels);
    double low = std::numeric_limits<double>::infinity();
    double high = -low;
    for (std::size_t i = 0; i < pixels; ++i) {
      wide[i] = WidePixel(RawPixel(data, i, meta.bytesPerPixel, little), meta.bytesPerPixel, meta.lumoDataType);
      if (std::isfinite(wide[i])) low = std::min(low, wide[i]), high = std::max(high, wide[i]);
    }
    const double scale = high > low ? 65535.0 / (high - low) : 0.0;
    for (std::size_t i = 0; i < pixels; ++i)
      values[i] = std::isfinite(wide[i]) ? static_cast<std::uint16_t>(std::lround((wide[i] - low) * scale)) : 0;
  }
  std::vector<std::uint8_t> samples(pixels * 2);
  for (std::size_t i = 0; i < pixels; ++i) {
    samples[2 * i] = static_cast<std::uint8_t>(values[i] >> 8);
    samples[2 * i + 1] = static_cast<std::uint8_t>(values[i] & 0xFF);
  }
  return samples;
}

void OnPngError(png_structp png, png_const_charp message) {
  auto* error = static_cast<std::string*>(png_get_error_ptr(png));
  *error = message;
  png_longjmp(png, 1);
}

void OnPngWarning(png_structp, png_const_charp) {}

void AppendToVector(png_structp png, png_bytep bytes, png_size_t size) {
  auto* out = static_cast<std::vector<std::uint8_t>*>(png_get_io_ptr(png));
  out->insert(out->end(), bytes, bytes + size);
}

void FlushNothing(png_structp) {}

// Everything libpng touches between setjmp and longjmp lives here, so no
// object with a destructor is skipped by the jump.
bool EncodePng(std::vector<std::uint8_t>& out, int width, int height, int bitDepth, const std::uint8_t* samples,
               std::string& error) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &error, OnPngError, OnPngWarning);
  if (!png) return error = "out of memory", false;
  png_infop info = png_create_info_struct(png);
  if (!info || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    if (error.empty()) error = "out of memory";
    return false;
  }
  png_set_write_fn(png, &out, AppendToVector, FlushNothing);
  // Every size a PNG can hold, not libpng's default of a million pixels.
  png_set_user_limits(png, PNG_UINT_31_MAX, PNG_UINT_31_MAX);
  png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), bitDepth,
               PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_set_compression_level(png, 1);
  png_write_info(png, info);
  const std::size_t rowBytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(bitDepth / 8);
  for (int row = 0; row < height; ++row)
    png_write_row(png, const_cast<png_bytep>(samples + static_cast<std::size_t>(row) * rowBytes));
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

}  // namespace

bool EncodeGreyPng(const MetaDataElementsImage3D& meta, std::span<const std::uint8_t> data,
                   std::vector<std::uint8_t>& png, std::string& error) {
  const int bpp = meta.bytesPerPixel;
  if (bpp != 1 && bpp != 2 && bpp != 4 && bpp != 8) return error = "unsupported pixel size " + std::to_string(bpp), false;
  // Width and height come off the network: a product that wraps must not
  // pass for the data size.
  std::size_t expected = 0;
  if (meta.width <= 0 || meta.height <= 0 ||
      __builtin_mul_overflow(static_cast<std::size_t>(meta.width), static_cast<std::size_t>(meta.height), &expected) ||
      __builtin_mul_overflow(expected, static_cast<std::size_t>(bpp), &expected) || expected != data.size())
    return error = "geometry " + std::to_string(meta.width) + "x" + std::to_string(meta.height) + "x" +
                   std::to_string(bpp) + " does not match " + std::to_string(data.size()) + " data bytes",
           false;
  const auto samples = GreySamples(meta, data);
  png.clear();
  return EncodePng(png, meta.width, meta.height, bpp == 1 ? 8 : 16, samples.data(), error);
}

bool WriteGreyPng(const std::string& path, const MetaDataElementsImage3D& meta, std::span<const std::uint8_t> data,
                  std::string& error) {
  std::vector<std::uint8_t> png;
  if (!EncodeGreyPng(meta, data, png, error)) return false;
  // Written under a temporary name and renamed when complete, so that a
  // failure leaves no file, or the earlier one, behind.
  const std::string partial = path + ".part";
  {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(partial.c_str(), "wb"), std::fclose);
    if (!file) return error = "cannot create " + partial + ": " + std::strerror(errno), false;
    if (std::fwrite(png.data(), 1, png.size(), file.get()) != png.size() || std::fflush(file.get()) != 0) {
      error = "cannot write " + partial + ": " + std::strerror(errno);
      file.reset();
      std::remove(partial.c_str());
      return false;
    }
  }
  if (std::rename(partial.c_str(), path.c_str()) != 0) {
    error = "cannot rename " + partial + ": " + std::strerror(errno);
    std::remove(partial.c_str());
    return false;
  }
  return true;
}

}  // namespace lumo::subscribe
