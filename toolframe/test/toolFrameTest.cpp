#include <gtest/gtest.h>
#include <log4cplus/consoleappender.h>
#include <log4cplus/hierarchy.h>
#include <log4cplus/nullappender.h>

#include "korv/vexatools/ToolFrame.hpp"

namespace {

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
