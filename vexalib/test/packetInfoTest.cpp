// The leader's diagnostic block and the application logger.
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cstring>
#include <thread>

#include "TestSupport.hpp"
#include "korv/vexatools/AppLogger.hpp"
#include "korv/vexatools/PacketInfo.hpp"

namespace vexatest {
namespace {

korv::vexasim::SampleFrames MegapixelFrames() {
  korv::vexasim::SampleLayout layout;
  layout.width = 1024;
  layout.height = 1024;
  layout.bytesPerPixel = 2;
  return korv::vexasim::SampleFrames(layout);
}

TEST(PrintPacketInfoTest, WritesElevenDebugRecordsFromHeaderAndLeader) {
  LoggerCapture log(korv::vexatools::GetAppLogger(), log4cplus::DEBUG_LOG_LEVEL);
  const auto frames = MegapixelFrames();
  std::vector<unsigned char> buffer(korv::vexasim::kMaxFrameSize);
  const std::size_t size = frames.BuildFrame(7, 1, buffer);
  plexoif::plexoPacketJumbo frame(buffer.data(), size);
  sorelif::sorelLeaderPacket leader(frame.GetPayload(), frame.GetPayloadSize());

  korv::vexatools::PrintPacketInfo(frame, leader, 2);

  const std::string separator(44, '-');
  EXPECT_EQ(log.Messages(log4cplus::DEBUG_LOG_LEVEL),
            (std::vector<std::string>{separator, "               INFORMATION", separator,
                                      "Number of PLEXO frames for one image: " + std::to_string(frames.FrameCount()) +
                                          " (incl. leader and trailer)",
                                      "PLEXO topic-ID: 1447385153", "PLEXO component-ID: 1", "PLEXO version: 1",
                                      "Payload endianness: 1", "Simulation source: 1",
                                      "Amount of payload data units: 1048576", "Total payload (bytes): 2097152"}));
  EXPECT_EQ(log.Records().size(), 11u);
  EXPECT_EQ(log.Records().front().file, "vexalib/src/packetInfo");
}

TEST(PrintPacketInfoTest, WithDebugOffWritesNothingAndReadsNoLeaderField) {
  LoggerCapture log(korv::vexatools::GetAppLogger(), log4cplus::INFO_LOG_LEVEL);
  const auto frames = MegapixelFrames();
  std::vector<unsigned char> buffer(korv::vexasim::kMaxFrameSize);
  const std::size_t size = frames.BuildFrame(7, 1, buffer);
  plexoif::plexoPacketJumbo frame(buffer.data(), size);

  // The leader reads its fields from a page that is then made unreadable:
  // any getter call would fault.
  const long pageSize = sysconf(_SC_PAGESIZE);
  void* page = mmap(nullptr, pageSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(page, MAP_FAILED);
  std::memcpy(page, frame.GetPayload(), frame.GetPayloadSize());
  sorelif::sorelLeaderPacket leader(static_cast<unsigned char*>(page), frame.GetPayloadSize());
  ASSERT_EQ(mprotect(page, pageSize, PROT_NONE), 0);

  korv::vexatools::PrintPacketInfo(frame, leader, 2);

  munmap(page, pageSize);
  EXPECT_TRUE(log.Records().empty());
}

TEST(AppLoggerTest, IsOneLoggerNamedVexatoolsForEveryThread) {
  log4cplus::Logger* fromThread = nullptr;
  std::thread other([&] { fromThread = &korv::vexatools::GetAppLogger(); });
  log4cplus::Logger* fromMain = &korv::vexatools::GetAppLogger();
  other.join();
  EXPECT_EQ(fromThread, fromMain);
  EXPECT_EQ(&korv::vexatools::GetAppLogger(), fromMain);
  EXPECT_EQ(fromMain->getName(), "vexatools");
}

}  // namespace
}  // namespace vexatest
