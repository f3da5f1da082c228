#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "korv/vexalib/FindFile.hpp"
#include "korv/vexalib/Logger.hpp"
#include "tundra/log/TesselLogManager.hpp"

namespace {

namespace fs = std::filesystem;

TEST(FindFile, FindsTheDefaultPropertyFileFromTheBuildTree) {
  // Tests run inside the build tree, which holds a copy of config/.
  const std::string found = korv::vexalib::FindFile("config/korv/vexatools/log.properties");
  ASSERT_FALSE(found.empty());
  EXPECT_TRUE(fs::is_regular_file(found));
}

TEST(FindFile, ReturnsEmptyForMissingFilesAndDirectories) {
  EXPECT_EQ(korv::vexalib::FindFile("config/no/such/file.properties"), "");
  EXPECT_EQ(korv::vexalib::FindFile("config"), "");
  EXPECT_EQ(korv::vexalib::FindFile(""), "");
  EXPECT_EQ(korv::vexalib::FindFile("/no/such/absolute/file"), "");
}

TEST(TesselLogManager, ConfiguresFromAFileAndNamesAMissingOne) {
  const fs::path file = fs::temp_directory_path() / "vexatools-test-log.properties";
  std::ofstream(file) << "log4cplus.logger.vexalib=WARN\n";
  tundra::log::TesselLogManager::Configure(file.string());
  EXPECT_EQ(korv::vexalib::Logger().getLogLevel(), log4cplus::WARN_LOG_LEVEL);
  fs::remove(file);

  try {
    tundra::log::TesselLogManager::Configure("/no/such/log.properties");
    FAIL() << "a missing property file was accepted";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find("/no/such/log.properties"), std::string::npos);
  }
}

}  // namespace
