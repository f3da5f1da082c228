// Pixel data types. The values are bit flags: composite types combine a
// base type with Array or Complex.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace korv::fnd::datatype {

enum DataType : std::uint32_t {
  Array = 0x1,
  Invalid = 0x10,
  Char = 0x20,
  Byte = 0x40,
  Bool = 0x80,
  Int16 = 0x100,
  UInt16 = 0x200,
  Int32 = 0x400,
  UInt32 = 0x800,
  Int64 = 0x1000,
  UInt64 = 0x2000,
  Float = 0x10000,
  Double = 0x20000,
  Complex = 0x80000,
  String = Char | Array,
  ComplexFloat = Complex | Float,
  ComplexDouble = Complex | Double,
  Bitmask = 0x200000,
  Unspecified = 0x100000,
};

struct DataTypeName {
  std::string_view name;
  DataType value;
};

// The name of every data type, spelled as users type it.
inline constexpr std::array<DataTypeName, 19> kDataTypeNames{{
    {"Array", Array},       {"Invalid", Invalid},         {"Char", Char},
    {"Byte", Byte},         {"Bool", Bool},               {"Int16", Int16},
    {"UInt16", UInt16},     {"Int32", Int32},             {"UInt32", UInt32},
    {"Int64", Int64},       {"UInt64", UInt64},           {"Float", Float},
    {"Double", Double},     {"Complex", Complex},         {"String", String},
    {"ComplexFloat", ComplexFloat}, {"ComplexDouble", ComplexDouble}, {"Bitmask", Bitmask},
    {"Unspecified", Unspecified},
}};

// Bytes of one element; 0 for types that have no fixed element size.
constexpr int ElementSize(DataType type) {
  switch (type) {
    case Char:
    case Byte:
      return 1;
    case Int16:
    case UInt16:
      return 2;
    case Int32:
    case UInt32:
    case Float:
      return 4;
    case Int64:
    case UInt64:
    case Double:
      return 8;
    default:
      return 0;
  }
}

}  // namespace korv::fnd::datatype
