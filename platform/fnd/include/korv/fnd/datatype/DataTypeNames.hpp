// The data type names every program takes on its command line: as written
// in kDataTypeNames, or in any letter case ("uint32" as well as "UInt32").
#pragma once

#include <boost/bimap.hpp>

#include <string>
#include <string_view>

#include "korv/fnd/datatype/DataType.hpp"

namespace korv::fnd::datatype {

using DataTypeNameMap = boost::bimap<std::string, DataType>;

// The names as written, and the same names in upper case.
extern const DataTypeNameMap dataTypeNames;
extern const DataTypeNameMap dataTypeNamesUpper;

// Looks `name` up as written, then in upper case. Returns Invalid when the
// name is unknown (and for "Invalid" itself).
DataType LookUpDataType(std::string_view name);

}  // namespace korv::fnd::datatype
