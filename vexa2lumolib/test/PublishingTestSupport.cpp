#include "PublishingTestSupport.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <log4cplus/consoleappender.h>
#include <log4cplus/logger.h>

#include <stdexcept>
#include <thread>

#include "korv/vexatools/LumoSender.hpp"
#include "vexasim/SampleFrames.hpp"

namespace vexa2lumotest {
namespace {

// The LUMO library's warnings and errors go to standard error, and nothing
// else of it: the tests' own checks read the application logger.
class LumoLoggingEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    log4cplus::Logger lumo = log4cplus::Logger::getInstance("lumo");
    lumo.setAdditivity(false);
    lumo.setLogLevel(log4cplus::WARN_LOG_LEVEL);
    lumo.addAppender(log4cplus::SharedAppenderPtr(new log4cplus::ConsoleAppender(true)));
  }
};
const auto* const kLumoLogging = ::testing::AddGlobalTestEnvironment(new LumoLoggingEnvironment);

}  // namespace

Broker::Broker()
    : m_process(std::make_unique<vexatools::testsupport::Process>(
          LUMO_BROKER_PROGRAM,
          std::vector<std::string>{"--uri", "tcp://127.0.0.1:*", "--lease-ms", "1000", "--log-level", "WARN"})) {
  // It prints "lumoBroker listening on <uri> ..." once bound.
  const std::string prefix = "lumoBroker listening on ";
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < deadline) {
    const std::string out = m_process->Out();
    if (const auto start = out.find(prefix); start != std::string::npos) {
      const auto begin = start + prefix.size();
      const auto end = out.find_first_of(" \n", begin);
      if (end != std::string::npos) {
        m_uri = out.substr(begin, end - begin);
        return;
      }
    }
    std::this_thread::sleep_for(10ms);
  }
  throw std::runtime_error("lumoBroker did not start");
}

std::string DeadBrokerUri() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("cannot find a free TCP port");
  }
  close(fd);
  return "tcp://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
}

// Byte 0 of sample s is 13 s mod 256, and 13 is invertible mod 256 (197).
std::optional<std::uint32_t> PatternSampleId(std::span<const std::uint8_t> pixels) {
  if (pixels.empty()) return std::nullopt;
  const std::uint32_t sampleId = (pixels[0] * 197u) & 0xFF;
  for (std::size_t i = 0; i < pixels.size(); ++i) {
    if (pixels[i] != korv::vexasim::PatternByte(sampleId, i)) return std::nullopt;
  }
  return sampleId;
}

std::optional<lumo::LumoSample> ReadImage(lumo::LumoDataSubscriber& subscriber, std::chrono::milliseconds timeout) {
  lumo::LumoSample sample;
  if (!subscriber.Read(sample, static_cast<int>(timeout.count()))) return std::nullopt;
  return sample;
}

void ResetHandOver() {
  using korv::vexatools::LumoSender;
  std::shared_ptr<korv::vexatools::LumoImage> image;
  while (LumoSender::spsc_queue.pop(image)) {
  }
  LumoSender::new_data = false;
  LumoSender::stopped = false;
}

}  // namespace vexa2lumotest
