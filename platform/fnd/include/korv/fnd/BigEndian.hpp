// Unsigned integers read from and written to big-endian (network order)
// bytes, whatever the host's byte order and alignment. The compiler turns
// each loop into one load or store and a byte swap.
#pragma once

#include <concepts>
#include <cstddef>

namespace korv::fnd {

template <std::unsigned_integral T>
constexpr T LoadBig(const unsigned char* bytes) {
  T value = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) value = static_cast<T>((value << 8) | bytes[i]);
  return value;
}

template <std::unsigned_integral T>
constexpr void StoreBig(unsigned char* bytes, T value) {
  for (std::size_t i = sizeof(T); i-- > 0;) {
    bytes[i] = static_cast<unsigned char>(value);
    value = static_cast<T>(value >> 8);
  }
}

}  // namespace korv::fnd
