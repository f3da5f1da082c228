// LUMO throughput beside raw ZeroMQ, and the publisher's memory with a
// stuck subscriber.
//
//   lumoBench throughput BROKER_URI [SECONDS] [ROUNDS] [ONLY_PATH 0-3]
//   lumoBench stuck BROKER_URI QUEUE_MESSAGES [IMAGES]
//   lumoBench stuck-header
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>
#include <log4cplus/configurator.h>
#include <log4cplus/initializer.h>
#include <zmq.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lumo/Lumo.hpp"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kWidth = 1024;
constexpr int kHeight = 768;
constexpr int kBytesPerPixel = 2;
constexpr std::size_t kImageBytes = std::size_t{kWidth} * kHeight * kBytesPerPixel;
// Messages in flight between publisher and subscriber, the same for every
// variant: the publisher waits for the subscriber rather than have messages
// dropped, so each variant runs at the rate its path sustains.
constexpr std::uint64_t kWindow = 8;
// LUMO queues, well above the window: ZeroMQ learns of the reader's progress
// in batches, so a queue only as deep as the window drops messages.
constexpr int kLumoQueue = 64;
const std::string kStream = "bench";

std::vector<std::uint8_t> MakeImage() {
  std::vector<std::uint8_t> image(kImageBytes);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 31 + 7);
  return image;
}

std::vector<std::uint8_t> MakeMetaData() {
  lumo::MetaDataElementsImage3D record;
  record.bytesPerPixel = kBytesPerPixel;
  record.numberOfDimensions = 2;
  record.littleEndian = record.rowMajor = record.contiguous = 1;
  record.lumoDataType = lumo::kLumoInteger;
  record.width = kWidth;
  record.height = kHeight;
  record.depth = record.channels = record.frameCount = 1;
  record.layoutCode = 2;
  lumo::LumoEncDecImage3D encoder;
  encoder.Encode(record);
  return encoder.get_meta_data();
}

// Credit shared by the publishing and the receiving thread of one run.
struct Flow {
  std::atomic<std::uint64_t> received{0};
  std::uint64_t lost = 0;  // guarded by mutex
  std::atomic<bool> stop{false};

  // Waits until fewer than kWindow messages are in flight. Messages that do
  // not arrive within 100 ms count as lost and give their credit back.
  void WaitForCredit(std::uint64_t sent) {
    std::unique_lock lock(mutex);
    const auto settled = [&] { return stop || sent - received - lost < kWindow; };
    if (!arrival.wait_for(lock, 100ms, settled)) lost += sent - received - lost - kWindow + 1;
  }
  void Count() {
    {
      std::lock_guard lock(mutex);
      ++received;
    }
    arrival.notify_one();
  }
  void Stop() {
    {
      std::lock_guard lock(mutex);
      stop = true;
    }
    arrival.notify_all();
  }

  std::mutex mutex;
  std::condition_variable arrival;
};

struct Result {
  std::uint64_t lost = 0;
  double imagesPerSecond = 0;
  double gigabytesPerSecond = 0;
  double cpuMicrosecondsPerImage = 0;  // all threads of the process
};

double ProcessCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Runs `publish(flow)` and `receive(flow)` on two threads for `duration`
// and counts what arrives in that time.
Result Measure(const std::function<void(Flow&)>& publish, const std::function<void(Flow&)>& receive,
               const std::function<void()>& warmUp, std::chrono::duration<double> duration) {
  warmUp();
  Flow flow;
  std::thread receiver([&] { receive(flow); });
  std::thread publisher([&] { publish(flow); });
  std::this_thread::sleep_for(200ms);  // settle
  const auto startCount = flow.received.load();
  const auto start = Clock::now();
  const double startCpu = ProcessCpuSeconds();
  std::this_thread::sleep_for(duration);
  const auto count = flow.received.load() - startCount;
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const double cpu = ProcessCpuSeconds() - startCpu;
  flow.Stop();
  publisher.join();
  receiver.join();
  const double rate = static_cast<double>(count) / seconds;
  return {flow.lost, rate, rate * static_cast<double>(kImageBytes) / 1e9,
          count > 0 ? cpu * 1e6 / static_cast<double>(count) : 0};
}

// Raw ZeroMQ PUB -> SUB over tcp, the same four frames as a LUMO message.
Result RawZeroMq(bool zeroCopy, std::chrono::duration<double> duration) {
  zmq::context_t publisherContext(1);
  zmq::context_t subscriberContext(1);
  zmq::socket_t pub(publisherContext, zmq::socket_type::pub);
  pub.set(zmq::sockopt::linger, 0);
  pub.bind("tcp://127.0.0.1:*");
  zmq::socket_t sub(subscriberContext, zmq::socket_type::sub);
  sub.set(zmq::sockopt::linger, 0);
  sub.set(zmq::sockopt::subscribe, kStream);
  sub.connect(pub.get(zmq::sockopt::last_endpoint));
  const auto image = MakeImage();
  const auto meta = MakeMetaData();
  std::array<std::uint8_t, lumo::kDataHeaderSize> header{};

  const auto send = [&] {
    constexpr auto more = zmq::send_flags::sndmore;
    pub.send(zmq::buffer(kStream), more);
    pub.send(zmq::buffer(header), more);
    pub.send(zmq::buffer(meta), more);
    if (zeroCopy) {
      zmq::message_t frame(const_cast<std::uint8_t*>(image.data()), image.size(), nullptr, nullptr);
      pub.send(frame, zmq::send_flags::none);
    } else {
      pub.send(zmq::buffer(image), zmq::send_flags::none);
    }
  };
  const auto receiveOne = [&](int timeoutMs) {
    zmq::pollitem_t item{sub.handle(), 0, ZMQ_POLLIN, 0};
    if (zmq::poll(&item, 1, std::chrono::milliseconds(timeoutMs)) <= 0) return false;
    for (bool more = true; more;) {
      zmq::message_t frame;
      (void)sub.recv(frame);
      more = frame.more();
    }
    return true;
  };
  const auto warmUp = [&] {
    for (int i = 0; i < 500; ++i) {
      send();
      if (receiveOne(10)) break;
    }
    while (receiveOne(100)) {
    }
  };
  return Measure(
      [&](Flow& flow) {
        for (std::uint64_t sent = 0; !flow.stop; ++sent) {
          flow.WaitForCredit(sent);
          send();
        }
      },
      [&](Flow& flow) {
        while (!flow.stop)
          if (receiveOne(50)) flow.Count();
      },
      warmUp, duration);
}

// LUMO publisher -> LumoDataSubscriber. `handOver`: each image is built in
// a fresh vector (one copy, as a sender makes it) and moved into WriteData;
// otherwise a prepared vector is passed by reference and WriteData copies it.
Result Lumo(const std::string& broker, bool handOver, std::chrono::duration<double> duration) {
  auto publisher = lumo::LumoDataTransferFactory::CreatePublisher(nullptr);
  publisher->SetBufferSize(static_cast<int>(kImageBytes), kLumoQueue);
  if (publisher->Register(broker, kStream, 0) != 1) throw std::runtime_error("cannot register at " + broker);
  lumo::LumoDataSubscriber subscriber;
  subscriber.SetReceiveQueue(kLumoQueue);
  if (subscriber.Subscribe(broker, kStream) != 1) throw std::runtime_error("cannot subscribe at " + broker);
  const auto image = MakeImage();
  const auto meta = MakeMetaData();
  lumo::LumoSample sample;

  const auto send = [&] {
    if (handOver)
      publisher->WriteData(0, std::vector<std::uint8_t>(image.begin(), image.end()), meta);
    else
      publisher->WriteData(0, image, meta);
    publisher->CompleteWrite();
  };
  const auto warmUp = [&] {
    for (int i = 0; i < 500; ++i) {
      send();
      if (subscriber.Read(sample, 10)) break;
    }
    while (subscriber.Read(sample, 100)) {
    }
  };
  return Measure(
      [&](Flow& flow) {
        for (std::uint64_t sent = 0; !flow.stop; ++sent) {
          flow.WaitForCredit(sent);
          send();
        }
      },
      [&](Flow& flow) {
        while (!flow.stop)
          if (subscriber.Read(sample, 50)) flow.Count();
      },
      warmUp, duration);
}

// `only` (0 to 3) runs one path alone, for profiling; -1 runs them all.
int Throughput(const std::string& broker, double seconds, int rounds, int only) {
  const auto duration = std::chrono::duration<double>(seconds);
  const std::vector<std::string> names{"raw ZeroMQ, copying send", "raw ZeroMQ, zero-copy send",
                                       "LUMO WriteData(const&) (copies)", "LUMO WriteData(&&) (hands over)"};
  std::map<std::string, std::vector<Result>> results;
  std::uint64_t lost = 0;
  // Interleaved rounds, so that load from elsewhere falls on every variant.
  const std::vector<std::function<Result()>> runs{[&] { return RawZeroMq(false, duration); },
                                                  [&] { return RawZeroMq(true, duration); },
                                                  [&] { return Lumo(broker, false, duration); },
                                                  [&] { return Lumo(broker, true, duration); }};
  if (only >= 0) {
    const auto result = runs.at(static_cast<std::size_t>(only))();
    fmt::print("{}: {:.0f} images/s, {:.0f} CPU us/image, {} lost\n", names.at(static_cast<std::size_t>(only)),
               result.imagesPerSecond, result.cpuMicrosecondsPerImage, result.lost);
    return 0;
  }
  for (int round = 0; round < rounds; ++round)
    for (std::size_t i = 0; i < runs.size(); ++i) {
      results[names[i]].push_back(runs[i]());
      lost += results[names[i]].back().lost;
    }
  const auto median = [&](const std::string& name) {
    auto runs = results[name];
    std::sort(runs.begin(), runs.end(), [](const Result& a, const Result& b) { return a.imagesPerSecond < b.imagesPerSecond; });
    return runs[runs.size() / 2];
  };
  const double rawCopy = median(names[0]).imagesPerSecond;
  const double rawZeroCopy = median(names[1]).imagesPerSecond;
  fmt::print("{}x{}x{} images ({} bytes), tcp loopback, {} in flight, LUMO queues of {}, median of {} x {:.1f} s\n\n",
             kWidth, kHeight, kBytesPerPixel, kImageBytes, kWindow, kLumoQueue, rounds, seconds);
  fmt::print("| {:<33} | {:>9} | {:>6} | {:>12} | {:>16} | {:>12} |\n", "path", "images/s", "GB/s", "vs raw copy",
             "vs raw zero-copy", "CPU us/image");
  fmt::print("|{:-<35}|{:->11}|{:->8}|{:->14}|{:->18}|{:->14}|\n", "", "", "", "", "", "");
  for (const auto& name : names) {
    const auto result = median(name);
    fmt::print("| {:<33} | {:>9.0f} | {:>6.2f} | {:>12.2f} | {:>16.2f} | {:>12.0f} |\n", name, result.imagesPerSecond,
               result.gigabytesPerSecond, result.imagesPerSecond / rawCopy, result.imagesPerSecond / rawZeroCopy,
               result.cpuMicrosecondsPerImage);
  }
  fmt::print("\nCPU us/image: CPU time of all threads of the run (publisher, subscriber, both ZeroMQ I/O\n"
             "threads) per image received. Messages lost in all runs: {}\n", lost);
  return 0;
}

// Kilobytes of a /proc/self/status field such as "VmHWM".
long StatusKilobytes(const std::string& field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.starts_with(field + ":")) return std::stol(line.substr(field.size() + 1));
  return -1;
}

// A subscriber that reads one image, says "ready" on standard output, and
// then never reads again. Run as a process of its own by Stuck().
int StuckSubscriber(const std::string& broker) {
  lumo::LumoDataSubscriber subscriber;
  subscriber.SetReceiveQueue(2);
  subscriber.Subscribe(broker, kStream, 1000);
  lumo::LumoSample sample;
  for (int i = 0; i < 200 && !subscriber.Read(sample, 50); ++i) {
  }
  fmt::print("ready\n");
  std::fflush(stdout);
  for (;;) pause();
}

int Stuck(const std::string& broker, int queueMessages, int images) {
  auto publisher = lumo::LumoDataTransferFactory::CreatePublisher(nullptr);
  publisher->SetBufferSize(static_cast<int>(kImageBytes), queueMessages);
  if (publisher->Register(broker, kStream, 0) != 1) return 1;

  int readyPipe[2];
  if (pipe(readyPipe) != 0) return 1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, readyPipe[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, readyPipe[0]);
  std::string self = "/proc/self/exe", mode = "stuck-subscriber", uri = broker;
  char* argv[] = {self.data(), mode.data(), uri.data(), nullptr};
  pid_t child = -1;
  const int spawned = posix_spawn(&child, self.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(readyPipe[1]);
  if (spawned != 0) return 1;

  const auto meta = MakeMetaData();
  const auto image = MakeImage();
  // Small images until the subscriber has read one.
  pollfd item{readyPipe[0], POLLIN, 0};
  for (int i = 0; i < 500 && poll(&item, 1, 0) == 0; ++i) {
    publisher->WriteData(0, std::vector<std::uint8_t>(16), meta);
    std::this_thread::sleep_for(10ms);
  }
  const long baseline = StatusKilobytes("VmHWM");
  double slowestMs = 0;
  const auto start = Clock::now();
  for (int i = 0; i < images; ++i) {
    const auto before = Clock::now();
    publisher->WriteData(0, image, meta);
    slowestMs = std::max(slowestMs, std::chrono::duration<double, std::milli>(Clock::now() - before).count());
  }
  const double totalMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  std::this_thread::sleep_for(500ms);  // let the I/O thread settle
  const long peak = StatusKilobytes("VmHWM");
  fmt::print("| {:>14} | {:>6} | {:>13.1f} | {:>15.1f} | {:>12.3f} | {:>13.3f} |\n", queueMessages, images,
             static_cast<double>(baseline) / 1024, static_cast<double>(peak - baseline) / 1024, totalMs / images,
             slowestMs);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  close(readyPipe[0]);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  log4cplus::Initializer initializer;
  log4cplus::BasicConfigurator(log4cplus::Logger::getDefaultHierarchy(), true).configure();
  log4cplus::Logger::getRoot().setLogLevel(log4cplus::WARN_LOG_LEVEL);
  const std::vector<std::string> args(argv + 1, argv + argc);
  try {
    if (args.size() >= 2 && args[0] == "throughput")
      return Throughput(args[1], args.size() > 2 ? std::stod(args[2]) : 2.0, args.size() > 3 ? std::stoi(args[3]) : 5,
                        args.size() > 4 ? std::stoi(args[4]) : -1);
    if (args.size() >= 3 && args[0] == "stuck")
      return Stuck(args[1], std::stoi(args[2]), args.size() > 3 ? std::stoi(args[3]) : 1000);
    if (args.size() == 2 && args[0] == "stuck-subscriber") return StuckSubscriber(args[1]);
    if (args.size() == 1 && args[0] == "stuck-header") {
      fmt::print("| {:>14} | {:>6} | {:>13} | {:>15} | {:>12} | {:>13} |\n", "queue (images)", "images", "baseline MiB",
                 "peak growth MiB", "WriteData ms", "slowest ms");
      fmt::print("|{:->16}|{:->8}|{:->15}|{:->17}|{:->14}|{:->15}|\n", "", "", "", "", "", "");
      return 0;
    }
  } catch (const std::exception& error) {
    fmt::print(stderr, "lumoBench: {}\n", error.what());
    return 1;
  }
  fmt::print(stderr, "usage: lumoBench throughput BROKER [SECONDS] [ROUNDS] | stuck BROKER QUEUE [IMAGES]\n");
  return 1;
}
