#include "PublishingTestSupport.hpp"

#include "korv/vexatools/AppLogger.hpp"
#include "korv/vexatools/LumoSender.hpp"
#include "vexasim/SampleFrames.hpp"

namespace vexa2lumotest {

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

AppLogCapture::AppLogCapture() : LoggerCapture(korv::vexatools::GetAppLogger(), log4cplus::DEBUG_LOG_LEVEL) {
  korv::vexatools::GetAppLogger().setAdditivity(false);
}

AppLogCapture::~AppLogCapture() { korv::vexatools::GetAppLogger().setAdditivity(true); }

}  // namespace vexa2lumotest
