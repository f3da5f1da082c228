#include <gtest/gtest.h>

#include <array>
#include <cstdint>

#include "korv/fnd/BigEndian.hpp"

namespace {

using korv::fnd::LoadBig;
using korv::fnd::StoreBig;

TEST(BigEndian, MostSignificantByteFirstAtAnyAlignment) {
  std::array<unsigned char, 11> bytes{};
  StoreBig<std::uint64_t>(bytes.data() + 1, 0x0102030405060708u);
  StoreBig<std::uint16_t>(bytes.data() + 9, 0xA0B1);
  EXPECT_EQ(bytes, (std::array<unsigned char, 11>{0, 1, 2, 3, 4, 5, 6, 7, 8, 0xA0, 0xB1}));
  EXPECT_EQ(LoadBig<std::uint64_t>(bytes.data() + 1), 0x0102030405060708u);
  EXPECT_EQ(LoadBig<std::uint32_t>(bytes.data() + 7), 0x0708A0B1u);
  EXPECT_EQ(LoadBig<std::uint16_t>(bytes.data() + 9), 0xA0B1u);
  static_assert(LoadBig<std::uint32_t>(std::array<unsigned char, 4>{0xFF, 0, 0, 1}.data()) == 0xFF000001u);
}

}  // namespace
