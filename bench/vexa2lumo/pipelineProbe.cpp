// One trial of the publishing pipeline benchmark. Sends `samples` samples at
// `rate` to the publisher tool with the simulator's paced sender, and reads
// the images the tool publishes. Since the sender spreads each sample's
// frames evenly over its period, the trailer of sample k leaves at a known
// offset from the start of the run; the latency of an image is its arrival
// minus that time. Prints one line of key=value results. Given the PID of the
// publishing program, it also reports the CPU time that program spent from
// the start of the paced stream to the last image (cpu_s).
//
// Usage: vexa2lumoBenchProbe PORT BROKER_URI STREAM WIDTH HEIGHT RATE SAMPLES [PID]
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <log4cplus/configurator.h>
#include <log4cplus/initializer.h>
#include <log4cplus/logger.h>

#include "lumo/LumoDataSubscriber.hpp"
#include "vexasim/SampleFrames.hpp"
#include "vexasim/StreamSender.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::uint32_t kFirstSampleId = 1;
constexpr std::uint32_t kWarmUpSampleId = 100000;

korv::vexasim::SimConfig Config(int port, int width, int height, double rate, std::uint64_t samples,
                                std::uint32_t firstSampleId) {
  korv::vexasim::SimConfig config;
  config.port = port;
  config.width = width;
  config.height = height;
  config.rate = rate;
  config.samples = samples;
  config.firstSampleId = firstSampleId;
  return config;
}

// The sample id modulo 256 of an image that follows the simulator's pattern
// at its first, middle and last byte, or -1. (13 * 197 = 1 mod 256.)
int SampleResidue(std::span<const std::uint8_t> pixels) {
  if (pixels.empty()) return -1;
  const std::uint32_t residue = (pixels[0] * 197u) & 0xFF;
  for (const std::size_t i : {pixels.size() / 2, pixels.size() - 1}) {
    if (pixels[i] != korv::vexasim::PatternByte(residue, i)) return -1;
  }
  return static_cast<int>(residue);
}

// User plus system CPU seconds of process `pid` so far, from /proc; 0 when unreadable.
double CpuSeconds(int pid) {
  if (pid <= 0) return 0.0;
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const auto nameEnd = stat.rfind(')');
  if (nameEnd == std::string::npos) return 0.0;
  std::istringstream fields(stat.substr(nameEnd + 2));
  std::string field;
  unsigned long long userTicks = 0, systemTicks = 0;
  // After the name: state is field 3; utime and stime are fields 14 and 15.
  for (int index = 3; index <= 15 && fields >> field; ++index) {
    if (index == 14) userTicks = std::stoull(field);
    if (index == 15) systemTicks = std::stoull(field);
  }
  return static_cast<double>(userTicks + systemTicks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double Percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  return values[static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1))];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 8 && argc != 9) {
    std::fprintf(stderr, "usage: %s PORT BROKER_URI STREAM WIDTH HEIGHT RATE SAMPLES [PID]\n", argv[0]);
    return 2;
  }
  const int port = std::atoi(argv[1]);
  const std::string broker = argv[2], stream = argv[3];
  const int width = std::atoi(argv[4]), height = std::atoi(argv[5]);
  const double rate = std::atof(argv[6]);
  const auto samples = static_cast<std::uint64_t>(std::atoll(argv[7]));
  const int watchedPid = argc == 9 ? std::atoi(argv[8]) : 0;

  // The LUMO library's warnings go to standard error; standard output is the result line.
  log4cplus::Initializer initializer;
  log4cplus::BasicConfigurator(log4cplus::Logger::getDefaultHierarchy(), true).configure();
  log4cplus::Logger::getRoot().setLogLevel(log4cplus::WARN_LOG_LEVEL);

  lumo::LumoDataSubscriber subscriber;
  subscriber.SetLookupInterval(50);
  subscriber.SetReceiveQueue(16);
  subscriber.Subscribe(broker, stream, 2000);
  lumo::LumoSample image;

  // Single samples until one comes through: the subscription then stands.
  bool connected = false;
  for (std::uint32_t id = kWarmUpSampleId; id < kWarmUpSampleId + 100 && !connected; ++id) {
    korv::vexasim::StreamSender warmUp(Config(port, width, height, 0, 1, id));
    std::atomic<bool> stop{false};
    warmUp.Run(stop);
    connected = subscriber.Read(image, 200);
  }
  if (!connected) {
    std::puts("error=no image reached the subscriber");
    return 1;
  }
  while (subscriber.Read(image, 300)) {
  }

  korv::vexasim::StreamSender sender(Config(port, width, height, rate, samples, kFirstSampleId));
  const std::size_t frames = sender.Frames()->FrameCount();
  const korv::vexasim::SendPacer pacer(rate);
  std::atomic<bool> stop{false};
  // Set by the sending thread just before its run starts the pacing clock.
  std::atomic<Clock::rep> startTicks{0};
  double achieved = 0.0;
  std::atomic<bool> sent{false};
  const double cpuAtStart = CpuSeconds(watchedPid);
  std::thread sending([&] {
    startTicks = Clock::now().time_since_epoch().count();
    const auto report = sender.Run(stop);
    achieved = report.seconds > 0 ? static_cast<double>(report.samples) / report.seconds : 0.0;
    sent = true;
  });

  std::vector<double> latenciesMs;
  std::uint64_t received = 0, malformed = 0;
  std::uint64_t nextId = kFirstSampleId;
  auto lastArrival = Clock::now();
  while (received < samples) {
    if (!subscriber.Read(image, 100)) {
      if (sent && Clock::now() - lastArrival > 2s) break;
      continue;
    }
    const auto arrival = Clock::now();
    lastArrival = arrival;
    const int residue = SampleResidue(image.data());
    if (residue < 0) {
      ++malformed;
      continue;
    }
    // The first id from nextId on with this residue: images arrive in order.
    const std::uint64_t id = nextId + ((static_cast<std::uint64_t>(residue) - nextId) & 0xFF);
    nextId = id + 1;
    ++received;
    const Clock::time_point start{Clock::duration{startTicks.load()}};
    const auto trailerDue = start + pacer.Offset(id - kFirstSampleId, frames - 1, frames);
    latenciesMs.push_back(std::chrono::duration<double, std::milli>(arrival - trailerDue).count());
  }
  const double cpuSeconds = CpuSeconds(watchedPid) - cpuAtStart;
  stop = true;
  sending.join();
  std::printf("%s\n", fmt::format("received={} samples={} malformed={} achieved={:.1f} p50_ms={:.3f} p99_ms={:.3f} "
                                  "gaps={} cpu_s={:.3f}",
                                  received, samples, malformed, achieved, Percentile(latenciesMs, 0.5),
                                  Percentile(latenciesMs, 0.99), subscriber.stats().missed, cpuSeconds)
                          .c_str());
  return 0;
}
