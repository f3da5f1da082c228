#include <gtest/gtest.h>
#include <log4cplus/consoleappender.h>
#include <log4cplus/hierarchy.h>
#include <log4cplus/nullappender.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

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

// The host's file, where it exists, comes before the packaged default (the
// build tree's copy here); a missing one or a directory in its place does not.
TEST(FindLogPropertyFile, TakesTheHostFileBeforeThePackagedOne) {
  namespace fs = std::filesystem;
  const fs::path scratch = fs::temp_directory_path() / ("toolFrameTest-" + std::to_string(::getpid()));
  fs::create_directories(scratch / "directory");
  const std::string hostFile = (scratch / "log.properties").string();

  const std::string packaged = korv::vexatools::FindLogPropertyFile(hostFile);
  EXPECT_TRUE(packaged.ends_with(korv::vexatools::kDefaultLogPropertyFile)) << packaged;
  EXPECT_EQ(korv::vexatools::FindLogPropertyFile((scratch / "directory").string()), packaged);

  std::ofstream(hostFile) << "log4cplus.rootLogger=ERROR\n";
  EXPECT_EQ(korv::vexatools::FindLogPropertyFile(hostFile), hostFile);
  fs::remove_all(scratch);
}

}  // namespace
