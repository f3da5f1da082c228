#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "korv/fnd/datatype/DataTypeNames.hpp"

namespace {

namespace dt = korv::fnd::datatype;
using dt::dataTypeNames;
using dt::dataTypeNamesUpper;
using dt::LookUpDataType;

TEST(DataTypeNames, EveryNameResolvesInItsOwnAndUpperCaseSpelling) {
  ASSERT_EQ(dataTypeNames.size(), 19u);
  ASSERT_EQ(dataTypeNamesUpper.size(), 19u);
  for (const auto& entry : dataTypeNames) {
    EXPECT_EQ(LookUpDataType(entry.left), entry.right) << entry.left;
    std::string upper = entry.left;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(LookUpDataType(upper), entry.right) << upper;
  }
  // The help text's spelling and any other case find the same values.
  EXPECT_EQ(LookUpDataType("Uint32"), dt::UInt32);
  EXPECT_EQ(LookUpDataType("complexFloat"), dt::ComplexFloat);
  EXPECT_EQ(LookUpDataType("String"), dt::String);
  EXPECT_EQ(dataTypeNames.right.at(dt::ComplexDouble), "ComplexDouble");
  EXPECT_EQ(dataTypeNamesUpper.right.at(dt::UInt16), "UINT16");
}

TEST(DataTypeNames, UnknownNamesAreInvalid) {
  for (const char* name : {"", "Int17", "Int16 ", "int 16", "Invalid"}) {
    EXPECT_EQ(LookUpDataType(name), dt::Invalid) << '"' << name << '"';
  }
}

}  // namespace
