// Highest sample rate of 1024 x 768 Int16 samples that each receiver takes
// without loss on loopback, and its CPU time per datagram, side by side:
//   vexa      a VexaReceiver subclass that counts its hooks
//   recvfrom  a bare receiver, one recvfrom per datagram
//   recvmmsg  a bare receiver, recvmmsg in batches of 64
// One paced sender thread (sendmmsg) feeds every trial; every receiver
// requests the same socket buffer, three whole samples, as the programs do.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <log4cplus/logger.h>
#include <log4cplus/nullappender.h>

#include "korv/vexatools/AppLogger.hpp"
#include "korv/vexatools/VexaReceiver.hpp"
#include "vexasim/SampleFrames.hpp"

namespace {

constexpr int kWidth = 1024, kHeight = 768, kBytesPerPixel = 2, kBufferedSamples = 3;
constexpr int kReceiveBufferRequest = kWidth * kHeight * kBytesPerPixel * kBufferedSamples;
constexpr std::size_t kDatagramBuffer = korv::vexatools::VexaReceiver::kReceiveBufferSize;

[[noreturn]] void ThrowErrno(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

double ThreadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

sockaddr_in LoopbackAddress(unsigned short port) {
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

unsigned short FreeUdpPort() {
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
bool PortTaken(unsigned short port) {
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

// A socket bound like the VexaReceiver's, with the same buffer request.
void BindLikeTheReceiver(const Socket& socket, unsigned short port) {
  const int one = 1;
  ::setsockopt(socket.Fd(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  if (::bind(socket.Fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) ThrowErrno("bind");
  const int request = kReceiveBufferRequest;
  if (::setsockopt(socket.Fd(), SOL_SOCKET, SO_RCVBUF, &request, sizeof request) != 0) ThrowErrno("SO_RCVBUF");
  const timeval timeout{0, 50000};  // lets the loop see the stop flag
  ::setsockopt(socket.Fd(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

int ReceiveBufferInForce(int fd) {
  int value = 0;
  socklen_t length = sizeof value;
  ::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &value, &length);
  return value;
}

// ---- Sender -------------------------------------------------------------

// The frames of one sample, sent again and again with a new sample id.
class PacedSender {
 public:
  PacedSender() : m_frames(Layout()) {
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
  static korv::vexasim::SampleLayout Layout() {
    korv::vexasim::SampleLayout layout;
    layout.width = kWidth;
    layout.height = kHeight;
    layout.bytesPerPixel = kBytesPerPixel;
    layout.dataType = 0x10;  // Int16
    return layout;
  }

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

// ---- Receivers ----------------------------------------------------------

struct ReceiverStats {
  std::uint64_t datagrams = 0;  // datagrams that arrived
  double cpuSeconds = 0;
  int bufferInForce = 0;
};

// Counts its hooks, as a minimal subclass would.
class CountingReceiver : public korv::vexatools::VexaReceiver {
 public:
  explicit CountingReceiver(unsigned short port)
      : VexaReceiver("127.0.0.1", port, "", kWidth, kHeight, kBytesPerPixel, kBufferedSamples) {}

  std::uint64_t leaders = 0, payloads = 0, trailers = 0, lost = 0, wrong = 0;
  int bufferInForce = 0;

 protected:
  void HandleLeaderPacket() override {
    // Asio halves SO_RCVBUF on Linux; the bare receivers report the raw value.
    if (leaders++ == 0) bufferInForce = ReceiveBufferInForce(m_socket.native_handle());
  }
  void HandlePayloadPacket(plexoif::plexoPacketBase<8940>&) override { ++payloads; }
  void HandleTrailerPacket() override { ++trailers; }
  void HandleLostPackets() override { ++lost; }
  void HandleWrongFrameId() override { ++wrong; }
};

// Runs `receive` on a thread while the sender runs, then stops it.
using ReceiveLoop = std::function<ReceiverStats(unsigned short port, std::atomic<bool>& stop)>;

ReceiverStats RunVexaReceiver(unsigned short port, std::atomic<bool>& stop) {
  CountingReceiver receiver(port);
  double cpuSeconds = 0;
  std::atomic<bool> finished{false};
  std::thread thread([&] {
    const double start = ThreadCpuSeconds();
    receiver.StartReceiver();
    cpuSeconds = ThreadCpuSeconds() - start;
    finished = true;
  });
  while (!stop) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  // A stop that lands before the loop runs needs one more datagram to end it.
  Socket wake;
  const sockaddr_in address = LoopbackAddress(port);
  for (int attempt = 0; attempt < 100 && !finished; ++attempt) {
    receiver.StopReceiver();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (finished) break;
    const unsigned char byte = 0;
    ::sendto(wake.Fd(), &byte, 1, 0, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  }
  thread.join();
  ReceiverStats stats;
  stats.datagrams = receiver.leaders + receiver.payloads + receiver.trailers + receiver.lost + receiver.wrong;
  stats.cpuSeconds = cpuSeconds;
  stats.bufferInForce = receiver.bufferInForce;
  return stats;
}

ReceiverStats RunRecvfrom(unsigned short port, std::atomic<bool>& stop) {
  Socket socket;
  BindLikeTheReceiver(socket, port);
  ReceiverStats stats;
  stats.bufferInForce = ReceiveBufferInForce(socket.Fd());
  const double start = ThreadCpuSeconds();
  std::vector<unsigned char> buffer(kDatagramBuffer);
  sockaddr_in sender{};
  while (!stop) {
    socklen_t length = sizeof sender;
    if (::recvfrom(socket.Fd(), buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&sender), &length) > 0) {
      ++stats.datagrams;
    }
  }
  stats.cpuSeconds = ThreadCpuSeconds() - start;
  return stats;
}

ReceiverStats RunRecvmmsg(unsigned short port, std::atomic<bool>& stop) {
  Socket socket;
  BindLikeTheReceiver(socket, port);
  ReceiverStats stats;
  stats.bufferInForce = ReceiveBufferInForce(socket.Fd());
  const double start = ThreadCpuSeconds();
  constexpr std::size_t kBatch = 64;
  std::vector<unsigned char> buffers(kBatch * kDatagramBuffer);
  std::array<iovec, kBatch> iovecs{};
  std::array<mmsghdr, kBatch> messages{};
  std::array<sockaddr_in, kBatch> senders{};
  while (!stop) {
    for (std::size_t i = 0; i < kBatch; ++i) {
      iovecs[i] = {buffers.data() + i * kDatagramBuffer, kDatagramBuffer};
      messages[i] = {};
      messages[i].msg_hdr.msg_iov = &iovecs[i];
      messages[i].msg_hdr.msg_iovlen = 1;
      messages[i].msg_hdr.msg_name = &senders[i];
      messages[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
    }
    const int count = ::recvmmsg(socket.Fd(), messages.data(), kBatch, MSG_WAITFORONE, nullptr);
    if (count > 0) stats.datagrams += static_cast<std::uint64_t>(count);
  }
  stats.cpuSeconds = ThreadCpuSeconds() - start;
  return stats;
}

// How many full-size frames the socket buffer holds: fill it without reading.
int DatagramsTheBufferHolds() {
  const unsigned short port = FreeUdpPort();
  Socket receiver, transmitter;
  BindLikeTheReceiver(receiver, port);
  const sockaddr_in address = LoopbackAddress(port);
  const std::vector<unsigned char> frame(8972, 0);
  for (int i = 0; i < 4000; ++i) {
    ::sendto(transmitter.Fd(), frame.data(), frame.size(), 0, reinterpret_cast<const sockaddr*>(&address),
             sizeof address);
  }
  int held = 0;
  std::vector<unsigned char> buffer(kDatagramBuffer);
  while (::recv(receiver.Fd(), buffer.data(), buffer.size(), MSG_DONTWAIT) > 0) ++held;
  return held;
}

// ---- Trials and search --------------------------------------------------

struct Trial {
  double targetRate = 0;
  double sentRate = 0;   // samples per second the sender achieved
  std::uint64_t datagramsSent = 0;
  ReceiverStats stats;
  bool Lossless() const { return stats.datagrams >= datagramsSent; }
  bool SenderKeptUp() const { return sentRate >= 0.97 * targetRate; }
  double CpuMicrosPerDatagram() const {
    return stats.datagrams == 0 ? 0 : stats.cpuSeconds * 1e6 / static_cast<double>(stats.datagrams);
  }
};

Trial RunOneTrial(PacedSender& sender, const ReceiveLoop& receive, double rate, double seconds) {
  const unsigned short port = FreeUdpPort();
  std::atomic<bool> stop{false};
  ReceiverStats stats;
  std::thread receiver([&] { stats = receive(port, stop); });
  for (int i = 0; i < 2000 && !PortTaken(port); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const PacedSender::Result sent = sender.Run(port, rate, seconds);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // drain the socket buffer
  stop = true;
  receiver.join();
  Trial trial;
  trial.targetRate = rate;
  trial.sentRate = static_cast<double>(sent.samples) / sent.seconds;
  trial.datagramsSent = sent.samples * sender.FrameCount();
  trial.stats = stats;
  return trial;
}

// A lossy trial is run once more: on a shared two-core machine a single
// preemption of the receiver can overflow the buffer, whatever the receiver.
Trial RunTrial(PacedSender& sender, const ReceiveLoop& receive, double rate, double seconds) {
  const Trial trial = RunOneTrial(sender, receive, rate, seconds);
  return trial.Lossless() ? trial : RunOneTrial(sender, receive, rate, seconds);
}

struct Search {
  std::string name;
  ReceiveLoop receive;
  double good = 0;         // highest lossless rate seen
  double bad = 0;          // lowest lossy rate seen; 0 = none yet
  double next = 0;
  bool senderBound = false;

  bool Done(double precision) const { return senderBound || (bad > 0 && good > 0 && bad - good <= precision * good); }

  void Record(const Trial& trial) {
    if (trial.Lossless() && trial.SenderKeptUp()) {
      good = trial.targetRate;
    } else if (trial.Lossless()) {
      // The sender, not the receiver, was the limit.
      good = trial.sentRate;
      senderBound = true;
    } else {
      bad = trial.targetRate;
    }
    next = bad == 0 ? good * 2 : (good + bad) / 2;
    if (good == 0) next = bad / 2;
  }
};

double Option(int argc, char** argv, const std::string& name, double fallback) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (argv[i] == name) return std::atof(argv[i + 1]);
  }
  return fallback;
}

int ReadRmemMax() {
  std::ifstream file("/proc/sys/net/core/rmem_max");
  int value = 0;
  file >> value;
  return value;
}

}  // namespace

int main(int argc, char** argv) {
  // Sender and receivers run at nice -10 when allowed, so that other work on
  // the machine preempts them less; threads inherit it from main.
  const bool raisedPriority = setpriority(PRIO_PROCESS, 0, -10) == 0;
  const double seconds = Option(argc, argv, "--seconds", 10);
  const double startRate = Option(argc, argv, "--start-rate", 200);
  const int rounds = static_cast<int>(Option(argc, argv, "--rounds", 7));
  const double precision = Option(argc, argv, "--precision", 0.05);
  // As a program runs it: INFO, records going nowhere.
  log4cplus::Logger& logger = korv::vexatools::GetAppLogger();
  logger.setLogLevel(log4cplus::INFO_LOG_LEVEL);
  logger.addAppender(log4cplus::SharedAppenderPtr(new log4cplus::NullAppender));

  PacedSender sender;
  std::vector<Search> searches{{"VexaReceiver subclass", RunVexaReceiver},
                               {"bare recvfrom", RunRecvfrom},
                               {"bare recvmmsg (64)", RunRecvmmsg}};
  for (Search& search : searches) search.next = startRate;
  // --only N (0, 1 or 2) runs one receiver alone, for profiling.
  const int only = static_cast<int>(Option(argc, argv, "--only", -1));
  if (only >= 0 && only < static_cast<int>(searches.size())) {
    const Search& search = searches[static_cast<std::size_t>(only)];
    const Trial trial = RunOneTrial(sender, search.receive, startRate, seconds);
    fmt::print("{}: {} of {} datagrams at {} samples/s, {:.2f} us CPU each\n", search.name, trial.stats.datagrams,
               trial.datagramsSent, startRate, trial.CpuMicrosPerDatagram());
    return 0;
  }

  // Rounds interleave the receivers so that load from elsewhere on the
  // machine falls on all of them alike.
  int bufferInForce = 0;
  for (int round = 0; round < rounds; ++round) {
    for (Search& search : searches) {
      if (search.Done(precision)) continue;
      const Trial trial = RunTrial(sender, search.receive, search.next, seconds);
      if (trial.stats.bufferInForce != 0) bufferInForce = trial.stats.bufferInForce;
      std::fprintf(stderr, "  %-22s %7.1f samples/s: sent %7.1f/s, %llu of %llu datagrams, %.2f us CPU each\n",
                   search.name.c_str(), trial.targetRate, trial.sentRate,
                   static_cast<unsigned long long>(trial.stats.datagrams),
                   static_cast<unsigned long long>(trial.datagramsSent), trial.CpuMicrosPerDatagram());
      search.Record(trial);
    }
  }

  // CPU per datagram compared at one rate that every receiver takes with
  // room to spare: the median of three interleaved trials each.
  double commonRate = searches.front().good;
  for (const Search& search : searches) commonRate = std::min(commonRate, search.good);
  commonRate = std::floor(0.75 * commonRate);
  std::vector<std::vector<Trial>> repeats(searches.size());
  for (int repeat = 0; repeat < 3; ++repeat) {
    for (std::size_t i = 0; i < searches.size(); ++i) {
      repeats[i].push_back(RunOneTrial(sender, searches[i].receive, commonRate, seconds));
      std::fprintf(stderr, "  %-22s %7.1f samples/s: %.2f us CPU per datagram\n", searches[i].name.c_str(),
                   commonRate, repeats[i].back().CpuMicrosPerDatagram());
    }
  }
  std::vector<Trial> atCommonRate;
  for (auto& trials : repeats) {
    std::sort(trials.begin(), trials.end(),
              [](const Trial& a, const Trial& b) { return a.CpuMicrosPerDatagram() < b.CpuMicrosPerDatagram(); });
    atCommonRate.push_back(trials[1]);
  }

  const double datagramsPerSample = sender.FrameCount();
  fmt::print("Samples {} x {} Int16 ({} frames each) on loopback, {:.0f} s per trial, threads at nice {}\n", kWidth,
             kHeight, sender.FrameCount(), seconds, raisedPriority ? -10 : getpriority(PRIO_PROCESS, 0));
  fmt::print("Socket buffer: requested {} B, in force {} B (net.core.rmem_max {}), holds {} datagrams of 8972 B\n",
             kReceiveBufferRequest, bufferInForce, ReadRmemMax(), DatagramsTheBufferHolds());
  fmt::print("\n{:<24}{:>18}{:>14}{:>10}{:>24}\n", "receiver", "lossless samples/s", "datagrams/s", "MB/s",
             fmt::format("CPU us/datagram @{:.0f}/s", commonRate));
  for (std::size_t i = 0; i < searches.size(); ++i) {
    const Search& search = searches[i];
    const Trial& common = atCommonRate[i];
    fmt::print("{:<24}{:>17.0f}{}{:>14.0f}{:>10.0f}{:>22.2f}{}\n", search.name, search.good,
               search.senderBound ? "+" : " ", search.good * datagramsPerSample,
               search.good * static_cast<double>(kWidth * kHeight * kBytesPerPixel) / 1e6,
               common.CpuMicrosPerDatagram(), common.Lossless() ? "  " : " !");
  }
  const double rateRatio = searches[0].good / searches[1].good;
  const double cpuRatio = atCommonRate[0].CpuMicrosPerDatagram() / atCommonRate[2].CpuMicrosPerDatagram();
  fmt::print("\nVexaReceiver / recvfrom lossless rate: {:.2f} (goal >= 0.90)\n", rateRatio);
  fmt::print("VexaReceiver / recvmmsg CPU per datagram: {:.2f} (goal <= 1.50)\n", cpuRatio);
  fmt::print("(+ = the sender was the limit; ! = loss at the common rate)\n");
  return 0;
}
