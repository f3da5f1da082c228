#include <gtest/gtest.h>
#include <log4cplus/consoleappender.h>
#include <log4cplus/hierarchy.h>
#include <log4cplus/nullappender.h>

#include "korv/vexatools/ToolFrame.hpp"

namespace {

namespace dt = korv::fnd::datatype;
using korv::vexatools::LookUpDataType;

TEST(DataTypeNames, EveryNameResolvesInItsOwnAndUpperCaseSpelling) {
  ASSERT_EQ(korv::vexatools::dataTypeNames.size(), 19u);
  ASSERT_EQ(korv::vexatools::dataTypeNamesUpper.size(), 19u);
  for (const auto& entry : korv::vexatools::dataTypeNames) {
    EXPECT_EQ(LookUpDataType(entry.left), entry.right) << entry.left;
    std::string upper = entry.left;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(LookUpDataType(upper), entry.right) << upper;
  }
  // The help text's spelling and any other case find the same values.
  EXPECT_EQ(LookUpDataType("Uint32"), dt::UInt32);
  EXPECT_EQ(LookUpDataType("complexFloat"), dt::ComplexFloat);
  EXPECT_EQ(LookUpDataType("String"), dt::String);
  EXPECT_EQ(korv::vexatools::dataTypeNames.right.at(dt::ComplexDouble), "ComplexDouble");
  EXPECT_EQ(korv::vexatools::dataTypeNamesUpper.right.at(dt::UInt16), "UINT16");
}

TEST(DataTypeNames, UnknownNamesAreInvalid) {
  for (const char* name : {"", "Int17", "Int16 ", "int 16", "Invalid"}) {
    EXPECT_EQ(LookUpDataType(name), dt::Invalid) << '"' << name << '"';
  }
}

TEST(LoggingWouldShow, FollowsLevelsAppendersAndAdditivity) {
  log4cplus::Hierarchy hierarchy;
  log4cplus::Logger root = hierarchy.getRoot();
  log4cplus::Logger child = hierarchy.getInstance("vexatools");
  root.setLogLevel(log4cplus::TRACE_LOG_LEVEL);

  EXPECT_FALSE(korv::vexatools::LoggingWouldShow(child, log4cplus::ERROR_LOG_LEVEL)) << "no appender anywhere";

  root.addAppender(log4cplus::SharedAppenderPtr(new log4cplus::NullAppender()));
  EXPECT_TRUE(korv::vexatools::LoggingWouldShow(child, log4cplus::ERROR_LOG_LEVEL));

  child.setLogLevel(log4cplus::OFF_LOG_LEVEL);
  EXPECT_FALSE(korv::vexatools::LoggingWouldShow(child, log4cplus::ERROR_LOG_LEVEL)) << "level off";

  child.setLogLevel(log4cplus::ERROR_LOG_LEVEL);
  child.setAdditivity(false);
  EXPECT_FALSE(korv::vexatools::LoggingWouldShow(child, log4cplus::ERROR_LOG_LEVEL)) << "cut off from root";
}

}  // namespace
