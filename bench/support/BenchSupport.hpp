// Pieces the receiver benchmarks share: a loopback UDP socket, free ports,
// thread CPU time, and a paced sender of whole samples.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstdint>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include <fmt/format.h>

#include "plexoif/plexoPacket.hpp"
#include "vexasim/SampleFrames.hpp"

namespace benchsupport {

[[noreturn]] inline void ThrowErrno(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

// What the calling thread has used so far; the difference of two readings
// is what it used in between.
struct ThreadUsage {
  double cpuSeconds = 0;
  double userSeconds = 0;  // of cpuSeconds, in user space
  long sleeps = 0;         // times it went to sleep waiting (voluntary context switches)

  static ThreadUsage Now() {
    timespec cpu{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return {static_cast<double>(cpu.tv_sec) + static_cast<double>(cpu.tv_nsec) / 1e9,
            static_cast<double>(usage.ru_utime.tv_sec) + static_cast<double>(usage.ru_utime.tv_usec) / 1e6,
            usage.ru_nvcsw};
  }
  ThreadUsage operator-(const ThreadUsage& earlier) const {
    return {cpuSeconds - earlier.cpuSeconds, userSeconds - earlier.userSeconds, sleeps - earlier.sleeps};
  }
};

inline sockaddr_in LoopbackAddress(unsigned short port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

class Socket {
 public:
  Socket() : m_fd(::socket(AF_INET, SOCK_DGRAM, 0)) {
    if (m_fd < 0) ThrowErrno("socket");
  }
  ~Socket() { ::close(m_fd); }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int Fd() const { return m_fd; }

 private:
  int m_fd;
};

inline unsigned short FreeUdpPort() {
  Socket probe;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  socklen_t length = sizeof address;
  if (::bind(probe.Fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) ThrowErrno("bind");
  if (::getsockname(probe.Fd(), reinterpret_cast<sockaddr*>(&address), &length) != 0) ThrowErrno("getsockname");
  return ntohs(address.sin_port);
}

// True once some IPv4 UDP socket is bound to `port`; looked up in
// /proc/net/udp so that the check cannot get in the receiver's way.
inline bool PortTaken(unsigned short port) {
  std::ifstream table("/proc/net/udp");
  const std::string boundPort = fmt::format("{:04X}", port);
  std::string line;
  std::getline(table, line);  // column names
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, localAddress;  // e.g. "6482:" "00000000:B3AF"
    fields >> slot >> localAddress;
    if (localAddress.size() > 4 && localAddress.substr(localAddress.size() - 4) == boundPort) return true;
  }
  return false;
}

// A socket bound like the VexaReceiver's, with `bufferRequest` as SO_RCVBUF.
inline void BindLikeTheReceiver(const Socket& socket, unsigned short port, int bufferRequest) {
  const int one = 1;
  ::setsockopt(socket.Fd(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  if (::bind(socket.Fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) ThrowErrno("bind");
  const int request = bufferRequest;
  if (::setsockopt(socket.Fd(), SOL_SOCKET, SO_RCVBUF, &request, sizeof request) != 0) ThrowErrno("SO_RCVBUF");
  const timeval timeout{0, 50000};  // lets the loop see the stop flag
  ::setsockopt(socket.Fd(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

inline int ReceiveBufferInForce(int fd) {
  int value = 0;
  socklen_t length = sizeof value;
  ::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &value, &length);
  return value;
}


// ---- Sender -------------------------------------------------------------

// The frames of one sample, sent again and again with a new sample id.
class PacedSender {
 public:
  explicit PacedSender(const korv::vexasim::SampleLayout& layout) : m_frames(layout) {
    const auto sample = m_frames.BuildSample(0);
    for (const auto& frame : sample) {
      m_datagrams.push_back(frame);
    }
  }

  std::uint16_t FrameCount() const { return m_frames.FrameCount(); }

  struct Result {
    std::uint64_t samples = 0;
    double seconds = 0;
  };

  // Sends `samplesPerSecond` samples a second for `seconds`, datagrams evenly
  // spaced, in sendmmsg batches.
  Result Run(unsigned short port, double samplesPerSecond, double seconds) {
    Socket socket;
    const sockaddr_in destination = LoopbackAddress(port);
    if (::connect(socket.Fd(), reinterpret_cast<const sockaddr*>(&destination), sizeof destination) != 0) {
      ThrowErrno("connect");
    }
    const int sendBuffer = 4 << 20;
    ::setsockopt(socket.Fd(), SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);

    const std::size_t frameCount = m_datagrams.size();
    std::vector<iovec> iovecs(frameCount);
    std::vector<mmsghdr> messages(frameCount);
    for (std::size_t i = 0; i < frameCount; ++i) {
      iovecs[i] = {m_datagrams[i].data(), m_datagrams[i].size()};
      messages[i] = {};
      messages[i].msg_hdr.msg_iov = &iovecs[i];
      messages[i].msg_hdr.msg_iovlen = 1;
    }

    const auto samples = static_cast<std::uint64_t>(samplesPerSecond * seconds);
    const double datagramInterval = 1.0 / (samplesPerSecond * static_cast<double>(frameCount));
    constexpr std::size_t kBatch = 8;
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    std::uint64_t datagramIndex = 0;
    for (std::uint64_t sample = 0; sample < samples; ++sample) {
      SetSampleId(static_cast<std::uint32_t>(sample + 1));
      for (std::size_t first = 0; first < frameCount; first += kBatch) {
        SleepUntil(start, static_cast<double>(datagramIndex + first) * datagramInterval);
        std::size_t sent = first;
        const std::size_t end = std::min(first + kBatch, frameCount);
        while (sent < end) {
          const int count = ::sendmmsg(socket.Fd(), &messages[sent], static_cast<unsigned>(end - sent), 0);
          if (count < 0) {
            if (errno == EINTR || errno == ENOBUFS || errno == EAGAIN) continue;
            ThrowErrno("sendmmsg");
          }
          sent += static_cast<std::size_t>(count);
        }
      }
      datagramIndex += frameCount;
    }
    timespec end{};
    clock_gettime(CLOCK_MONOTONIC, &end);
    return {samples, Seconds(end) - Seconds(start)};
  }

 private:
  static double Seconds(const timespec& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9; }

  static void SleepUntil(const timespec& start, double offset) {
    const double target = Seconds(start) + offset;
    timespec when{};
    when.tv_sec = static_cast<time_t>(target);
    when.tv_nsec = static_cast<long>((target - static_cast<double>(when.tv_sec)) * 1e9);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr) == EINTR) {
    }
  }

  void SetSampleId(std::uint32_t sampleId) {
    for (auto& datagram : m_datagrams) {
      datagram[plexoif::kSampleIdOffset] = static_cast<unsigned char>(sampleId >> 24);
      datagram[plexoif::kSampleIdOffset + 1] = static_cast<unsigned char>(sampleId >> 16);
      datagram[plexoif::kSampleIdOffset + 2] = static_cast<unsigned char>(sampleId >> 8);
      datagram[plexoif::kSampleIdOffset + 3] = static_cast<unsigned char>(sampleId);
    }
  }

  korv::vexasim::SampleFrames m_frames;
  std::vector<std::vector<unsigned char>> m_datagrams;
};


// The value after `name` on the command line, or `fallback`.
inline double Option(int argc, char** argv, const std::string& name, double fallback) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (argv[i] == name) return std::atof(argv[i + 1]);
  }
  return fallback;
}

}  // namespace benchsupport
