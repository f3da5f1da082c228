// Little-endian writing and bounds-checked reading of the LUMO wire formats.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace lumo::detail {

class ByteWriter {
 public:
  explicit ByteWriter(std::vector<std::uint8_t>& out) : out_(out) {}

  template <typename Integer>
  void Put(Integer value) {
    using Unsigned = std::make_unsigned_t<Integer>;
    auto bits = static_cast<Unsigned>(value);
    for (std::size_t i = 0; i < sizeof(Integer); ++i) {
      out_.push_back(static_cast<std::uint8_t>(bits & 0xFF));
      bits = static_cast<Unsigned>(bits >> 8);
    }
  }
  void U8(std::uint8_t v) { out_.push_back(v); }
  void U16(std::uint16_t v) { Put(v); }
  void U32(std::uint32_t v) { Put(v); }
  void I32(std::int32_t v) { Put(v); }
  void U64(std::uint64_t v) { Put(v); }
  void Double(double v) { U64(std::bit_cast<std::uint64_t>(v)); }
  void Bytes(std::string_view bytes) {
    if (bytes.empty()) return;
    const std::size_t offset = out_.size();
    out_.resize(offset + bytes.size());
    std::memcpy(out_.data() + offset, bytes.data(), bytes.size());
  }
  void String(const std::string& text) {
    if (text.size() > std::numeric_limits<std::uint32_t>::max()) throw std::length_error("LUMO string too long");
    U32(static_cast<std::uint32_t>(text.size()));
    Bytes(text);
  }

 private:
  std::vector<std::uint8_t>& out_;
};

// Every read checks the remaining length first and throws
// std::invalid_argument naming the field, so no read passes the end.
class ByteReader {
 public:
  explicit ByteReader(std::span<const std::uint8_t> in) : in_(in) {}

  template <typename Unsigned>
  Unsigned Take(const char* field) {
    Need(sizeof(Unsigned), field);
    Unsigned value = 0;
    for (std::size_t i = 0; i < sizeof(Unsigned); ++i)
      value = static_cast<Unsigned>(value | static_cast<Unsigned>(static_cast<Unsigned>(in_[pos_ + i]) << (8 * i)));
    pos_ += sizeof(Unsigned);
    return value;
  }
  std::uint8_t U8(const char* field) { return Take<std::uint8_t>(field); }
  std::uint16_t U16(const char* field) { return Take<std::uint16_t>(field); }
  std::uint32_t U32(const char* field) { return Take<std::uint32_t>(field); }
  std::int32_t I32(const char* field) { return static_cast<std::int32_t>(Take<std::uint32_t>(field)); }
  std::uint64_t U64(const char* field) { return Take<std::uint64_t>(field); }
  double Double(const char* field) { return std::bit_cast<double>(U64(field)); }
  std::string_view Bytes(std::size_t count, const char* field) {
    Need(count, field);
    std::string_view bytes(reinterpret_cast<const char*>(in_.data() + pos_), count);
    pos_ += count;
    return bytes;
  }
  std::string String(const char* field) {
    const std::uint32_t length = U32(field);
    return std::string(Bytes(length, field));
  }
  std::size_t Remaining() const { return in_.size() - pos_; }

 private:
  void Need(std::size_t count, const char* field) const {
    if (count > in_.size() - pos_)
      throw std::invalid_argument(std::string("truncated at field '") + field + "' (byte " + std::to_string(pos_) + ")");
  }

  std::span<const std::uint8_t> in_;
  std::size_t pos_ = 0;
};

}  // namespace lumo::detail
