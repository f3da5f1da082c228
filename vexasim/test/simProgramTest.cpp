// The simulator program itself: its help, its exit statuses, and a stream
// received on loopback with a plain socket and parsed back to the pixels.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "plexoif/plexoPacket.hpp"
#include "sorelif/sorelPackets.hpp"
#include "vexasim/SampleFrames.hpp"

extern char** environ;

namespace {

using namespace std::chrono_literals;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The simulator started as a child process, its output going to files.
class Simulator {
 public:
  explicit Simulator(const std::vector<std::string>& args) {
    char pattern[] = "/tmp/vexasimTestXXXXXX";
    const char* dir = mkdtemp(pattern);
    if (dir == nullptr) throw std::runtime_error("mkdtemp failed");
    m_dir = dir;
    std::vector<std::string> argv{VEXASIM_PROGRAM};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (auto& arg : argv) cargv.push_back(arg.data());
    cargv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, (m_dir + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, (m_dir + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int failed = posix_spawn(&m_pid, cargv[0], &actions, nullptr, cargv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) throw std::runtime_error("posix_spawn failed");
  }

  ~Simulator() {
    if (!m_status) {
      kill(m_pid, SIGKILL);
      waitpid(m_pid, nullptr, 0);
    }
    std::remove((m_dir + "/out").c_str());
    std::remove((m_dir + "/err").c_str());
    rmdir(m_dir.c_str());
  }

  // Exit status, or nothing if the child did not end in time (then it is killed).
  std::optional<int> Wait(std::chrono::milliseconds limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!m_status) {
      int status = 0;
      if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
        m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        break;
      }
      if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
      std::this_thread::sleep_for(10ms);
    }
    return m_status;
  }

  void Signal(int signal) const { kill(m_pid, signal); }
  std::string Out() const { return ReadFile(m_dir + "/out"); }
  std::string Err() const { return ReadFile(m_dir + "/err"); }

 private:
  std::string m_dir;
  pid_t m_pid = 0;
  std::optional<int> m_status;
};

// A UDP socket on 127.0.0.1 with an ephemeral port.
class LoopbackReceiver {
 public:
  LoopbackReceiver() {
    m_socket = socket(AF_INET, SOCK_DGRAM, 0);
    const int buffer = 4 * 1024 * 1024;
    setsockopt(m_socket, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) throw std::runtime_error("bind");
    socklen_t size = sizeof address;
    getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &size);
    m_port = ntohs(address.sin_port);
  }
  ~LoopbackReceiver() { close(m_socket); }

  std::string Port() const { return std::to_string(m_port); }

  // Datagrams until `count` arrived or none came for `idle`.
  std::vector<std::vector<unsigned char>> Receive(std::size_t count, std::chrono::milliseconds idle = 3s) {
    std::vector<std::vector<unsigned char>> datagrams;
    std::vector<unsigned char> buffer(65536);
    while (datagrams.size() < count) {
      pollfd ready{m_socket, POLLIN, 0};
      if (poll(&ready, 1, static_cast<int>(idle.count())) <= 0) break;
      const ssize_t size = recv(m_socket, buffer.data(), buffer.size(), 0);
      if (size < 0) break;
      datagrams.emplace_back(buffer.begin(), buffer.begin() + size);
    }
    return datagrams;
  }

 private:
  int m_socket = -1;
  std::uint16_t m_port = 0;
};

// Every long option name of the simulator.
const std::vector<std::string> kOptions{
    "help",          "address",  "port",         "netif",        "width",     "height",    "data_type",
    "samples",       "rate",     "sample-id",    "ttl",          "extended-info",         "drop-probability",
    "seed",          "drop-leader", "drop-trailer", "duplicate", "foreign",   "junk-short", "junk-long",
    "junk-truncated"};

TEST(VexaSimProgram, HelpDocumentsEveryOption) {
  Simulator sim({"--help"});
  ASSERT_EQ(sim.Wait(), 0);
  const std::string help = sim.Out();
  for (const auto& option : kOptions) {
    EXPECT_NE(help.find("--" + option + " "), std::string::npos) << option << " missing from:\n" << help;
  }
  for (const char* shortName : {"-h [", "-a [", "-p [", "-n [", "-w [", "-e [", "-t [", "-s [", "-r ["}) {
    EXPECT_NE(help.find(shortName), std::string::npos) << shortName;
  }
}

TEST(VexaSimProgram, BadCommandLinesExitWithStatusOne) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--nonsense"}, {"-w", "10", "-e", "10"}, {"-p", "9", "-w", "10", "-e", "10", "-t", "Int8"},
           {"-p", "9", "-w", "10", "-e", "10", "--drop-probability", "-0.1"}, {"--help", "--nonsense"}}) {
    Simulator sim(args);
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
  Simulator sim({"-p", receiver.Port(), "-w", "300", "-e", "70", "-t", "int32", "-s", "3", "-r", "200",
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

TEST(VexaSimProgram, ExtendedLeadersCarryGeometryAndSendTime) {
  LoopbackReceiver receiver;
  const double before = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  Simulator sim({"-p", receiver.Port(), "-w", "33", "-e", "17", "-t", "Double", "-s", "2", "--extended-info"});
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
  Simulator sim({"-p", receiver.Port(), "-w", "10", "-e", "10", "-s", "2", "--drop-trailer", "2", "--junk-short",
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
  Simulator sim({"-p", receiver.Port(), "-w", "64", "-e", "64", "-r", "100"});
  ASSERT_FALSE(receiver.Receive(10).empty());  // it is running
  sim.Signal(SIGTERM);
  ASSERT_EQ(sim.Wait(), 0) << sim.Err();
  EXPECT_NE(sim.Out().find("Sent "), std::string::npos) << sim.Out();
  EXPECT_NE(sim.Out().find(" Gbit/s"), std::string::npos) << sim.Out();
}

}  // namespace
