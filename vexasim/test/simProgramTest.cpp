// The simulator program itself: its help, its exit statuses, and a stream
// received on loopback with a plain socket and parsed back to the pixels.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "plexoif/plexoPacket.hpp"
#include "sorelif/sorelPackets.hpp"
#include "vexasim/SampleFrames.hpp"
#include "vexatools/testsupport/Process.hpp"

namespace {

using namespace std::chrono_literals;
using vexatools::testsupport::Process;

// The simulator started as a child process.
Process Simulator(const std::vector<std::string>& arguments) { return Process(VEXASIM_PROGRAM, arguments); }

// A UDP socket on 127.0.0.1 with an ephemeral port.
class LoopbackReceiver {
 public:
  LoopbackReceiver() : m_socket(m_context, {boost::asio::ip::address_v4::loopback(), 0}) {
    m_socket.set_option(boost::asio::socket_base::receive_buffer_size(4 * 1024 * 1024));
  }

  std::string Port() const { return std::to_string(m_socket.local_endpoint().port()); }

  // Datagrams until `count` arrived or none came for `idle`.
  std::vector<std::vector<unsigned char>> Receive(std::size_t count, std::chrono::milliseconds idle = 3s) {
    std::vector<std::vector<unsigned char>> datagrams;
    std::vector<unsigned char> buffer(65536);
    while (datagrams.size() < count) {
      pollfd ready{m_socket.native_handle(), POLLIN, 0};
      if (poll(&ready, 1, static_cast<int>(idle.count())) <= 0) break;
      boost::system::error_code error;
      const std::size_t size = m_socket.receive(boost::asio::buffer(buffer), 0, error);
      if (error) break;
      datagrams.emplace_back(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(size));
    }
    return datagrams;
  }

 private:
  boost::asio::io_context m_context;
  boost::asio::ip::udp::socket m_socket;
};

TEST(VexaSimProgram, BadCommandLinesExitWithStatusOne) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--nonsense"}, {"-w", "10", "-e", "10"}, {"-p", "9", "-w", "10", "-e", "10", "-t", "Int8"},
           {"-p", "9", "-w", "10", "-e", "10", "--drop-probability", "-0.1"},
           {"-p", "9", "-w", "10", "-e", "10", "--packet-size", "63"},
           {"-p", "9", "-w", "10", "-e", "10", "--packet-size", "64", "--extended-info"}, {"--help", "--nonsense"}}) {
    auto sim = Simulator(args);
    EXPECT_EQ(sim.Wait(), 1) << args[0];
    EXPECT_EQ(sim.Err().rfind("ERROR: ", 0), 0u) << sim.Err();
  }
}

// Reassembles the samples of a stream sent in order and checks every byte.
struct Reassembled {
  std::map<std::uint32_t, std::vector<unsigned char>> pixels;  // by sample id, complete samples only
  std::vector<sorelif::BasicImageInfo> infos;
};

Reassembled Reassemble(const std::vector<std::vector<unsigned char>>& datagrams, std::size_t bytesPerPixel) {
  Reassembled result;
  std::vector<unsigned char> current;
  std::uint32_t announcedUnits = 0;
  for (const auto& datagram : datagrams) {
    const plexoif::plexoPacketJumbo packet(datagram.data(), datagram.size());
    EXPECT_EQ(packet.GetPayloadSize() + plexoif::kPlexoHeaderSize, datagram.size());
    if (packet.GetFrameId() == 1) {
      const sorelif::sorelExtendedLeaderPacket leader(packet.GetPayload(), packet.GetPayloadSize());
      announcedUnits = leader.GetPayloadDataUnits();
      if (auto info = leader.GetBasicImageInfo()) result.infos.push_back(*info);
      current.clear();
    } else if (packet.GetFrameId() == packet.GetFrameCount()) {
      EXPECT_EQ(current.size(), std::size_t{announcedUnits} * bytesPerPixel);
      result.pixels[packet.GetSampleId()] = current;
    } else {
      const sorelif::sorelPayloadPacket payload(packet.GetPayload(), packet.GetPayloadSize(), bytesPerPixel);
      current.insert(current.end(), payload.GetData(), payload.GetData() + payload.GetDataSize());
    }
  }
  return result;
}

TEST(VexaSimProgram, LoopbackStreamParsesBackToThePattern) {
  LoopbackReceiver receiver;
  // 300 x 70 Int32 is 84000 bytes: 10 payload frames, the last one short.
  auto sim = Simulator({"-p", receiver.Port(), "-w", "300", "-e", "70", "-t", "int32", "-s", "3", "-r", "200",
                 "--sample-id", "4294967295"});
  const auto datagrams = receiver.Receive(3 * 12);
  ASSERT_EQ(sim.Wait(), 0) << sim.Err();
  ASSERT_EQ(datagrams.size(), 3u * 12u);

  const Reassembled samples = Reassemble(datagrams, 4);
  // The identifiers wrap after 4294967295.
  ASSERT_EQ(samples.pixels.size(), 3u);
  for (std::uint32_t sampleId : {4294967295u, 0u, 1u}) {
    const auto& pixels = samples.pixels.at(sampleId);
    ASSERT_EQ(pixels.size(), 84000u);
    for (std::size_t i = 0; i < pixels.size(); ++i) {
      ASSERT_EQ(pixels[i], korv::vexasim::PatternByte(sampleId, i)) << "sample " << sampleId << " byte " << i;
    }
  }
  EXPECT_TRUE(samples.infos.empty());
  EXPECT_NE(sim.Out().find("Sent 3 samples, 36 frames, "), std::string::npos) << sim.Out();
}

// Frames for an MTU of 1500: no datagram is longer than --packet-size, and
// the samples read back bit-exact.
TEST(VexaSimProgram, PacketSizeLimitsEveryDatagram) {
  LoopbackReceiver receiver;
  // 300 x 70 Int32: 358 pixels per 1472-byte frame, 59 payload frames, the last one short.
  auto sim = Simulator({"-p", receiver.Port(), "-w", "300", "-e", "70", "-t", "int32", "-s", "2", "-r", "200",
                        "--packet-size", "1472"});
  const auto datagrams = receiver.Receive(2 * 61);
  ASSERT_EQ(sim.Wait(), 0) << sim.Err();
  ASSERT_EQ(datagrams.size(), 2u * 61u);
  for (const auto& datagram : datagrams) EXPECT_LE(datagram.size(), 1472u);
  EXPECT_EQ(datagrams[1].size(), 1472u);
  const Reassembled samples = Reassemble(datagrams, 4);
  for (std::uint32_t sampleId : {1u, 2u}) {
    const auto& pixels = samples.pixels.at(sampleId);
    ASSERT_EQ(pixels.size(), 84000u);
    for (std::size_t i = 0; i < pixels.size(); ++i) {
      ASSERT_EQ(pixels[i], korv::vexasim::PatternByte(sampleId, i)) << "sample " << sampleId << " byte " << i;
    }
  }
  EXPECT_NE(sim.Out().find("61 frames each"), std::string::npos) << sim.Out();
}

TEST(VexaSimProgram, ExtendedLeadersCarryGeometryAndSendTime) {
  LoopbackReceiver receiver;
  const double before = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  auto sim = Simulator({"-p", receiver.Port(), "-w", "33", "-e", "17", "-t", "Double", "-s", "2", "--extended-info"});
  const auto datagrams = receiver.Receive(2 * 3);
  ASSERT_EQ(sim.Wait(), 0) << sim.Err();
  const Reassembled samples = Reassemble(datagrams, 8);
  ASSERT_EQ(samples.infos.size(), 2u);
  for (const auto& info : samples.infos) {
    EXPECT_EQ(info.width, 33);
    EXPECT_EQ(info.height, 17);
    EXPECT_EQ(info.dataType, 0x20000u);  // Double
    EXPECT_GE(info.timestamp, before);
    EXPECT_LT(info.timestamp, before + 60.0);
  }
  EXPECT_EQ(samples.pixels.size(), 2u);
}

// The junk really leaves the program with the sizes it promises.
TEST(VexaSimProgram, FaultInjectionReachesTheWire) {
  LoopbackReceiver receiver;
  auto sim = Simulator({"-p", receiver.Port(), "-w", "10", "-e", "10", "-s", "2", "--drop-trailer", "2", "--junk-short",
                 "1", "--junk-long", "2", "--junk-truncated", "1"});
  // Sample 1: leader, frame 2, short, truncated, trailer. Sample 2: leader, frame 2, short, long, truncated.
  const auto datagrams = receiver.Receive(10);
  ASSERT_EQ(sim.Wait(), 0) << sim.Err();
  std::vector<std::size_t> sizes;
  for (const auto& datagram : datagrams) sizes.push_back(datagram.size());
  const std::vector<std::size_t> expected{40, 240, 20, 64, 36, 40, 240, 20, 9000, 64};
  EXPECT_EQ(sizes, expected);
  EXPECT_NE(sim.Out().find("1 trailers dropped"), std::string::npos) << sim.Out();
  EXPECT_NE(sim.Out().find("5 junk datagrams"), std::string::npos) << sim.Out();
}

TEST(VexaSimProgram, EndlessRunEndsOnSigtermWithTheReport) {
  LoopbackReceiver receiver;
  auto sim = Simulator({"-p", receiver.Port(), "-w", "64", "-e", "64", "-r", "100"});
  ASSERT_FALSE(receiver.Receive(10).empty());  // it is running
  sim.Signal(SIGTERM);
  ASSERT_EQ(sim.Wait(), 0) << sim.Err();
  EXPECT_NE(sim.Out().find("Sent "), std::string::npos) << sim.Out();
  EXPECT_NE(sim.Out().find(" Gbit/s"), std::string::npos) << sim.Out();
}

}  // namespace
