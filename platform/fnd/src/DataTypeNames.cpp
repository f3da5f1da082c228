#include "korv/fnd/datatype/DataTypeNames.hpp"

#include <boost/algorithm/string/case_conv.hpp>

#include <locale>

namespace korv::fnd::datatype {
namespace {

DataTypeNameMap MakeDataTypeNames(bool upperCase) {
  DataTypeNameMap map;
  for (const auto& [name, value] : kDataTypeNames) {
    const std::string text(name);
    map.insert({upperCase ? boost::algorithm::to_upper_copy(text, std::locale()) : text, value});
  }
  return map;
}

}  // namespace

const DataTypeNameMap dataTypeNames = MakeDataTypeNames(false);
const DataTypeNameMap dataTypeNamesUpper = MakeDataTypeNames(true);

DataType LookUpDataType(std::string_view name) {
  const std::string text(name);
  if (auto found = dataTypeNames.left.find(text); found != dataTypeNames.left.end()) return found->second;
  const std::string upper = boost::algorithm::to_upper_copy(text, std::locale());
  if (auto found = dataTypeNamesUpper.left.find(upper); found != dataTypeNamesUpper.left.end()) return found->second;
  return Invalid;
}

}  // namespace korv::fnd::datatype
