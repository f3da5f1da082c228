#include "korv/vexatools/vexa2lumolib_wirefast/LumoSender.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <exception>
#include <optional>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "ImageHandedOverSignal.hpp"
#include "korv/vexalib/Logger.hpp"
#include "korv/vexatools/ImageBytes.hpp"
#include "korv/vexatools/LogRecord.hpp"
#include "korv/vexatools/lumopublish/HandOver.hpp"
#include "korv/vexatools/lumopublish/ImageRecord.hpp"
#include "korv/vexatools/lumopublish/ImageWriter.hpp"

namespace korv::vexatools::vexa2lumolib_wirefast {
namespace {

namespace dt = korv::fnd::datatype;

constexpr int kRetrySeconds = 5;
// After the first failed registration, every twelfth is reported (one a minute).
constexpr int kFailuresPerReport = 12;
// Without an interval an idle sender sleeps until the gateway hands an image
// over, or at most this long: how soon it notices `stopped`.
constexpr auto kIdleWait = std::chrono::milliseconds(5);
// The layout tag of the gateway's images.
constexpr int kLayoutCode = 1;

// Width x height x bpp of an image LUMO can carry (its sizes are ints), or
// nothing.
std::optional<std::int64_t> PublishableBytes(int width, int height, int bpp) {
  const auto bytes = ImageBytes(width, height, bpp);
  if (width <= 0 || height <= 0 || bpp <= 0 || !bytes || *bytes > INT_MAX) return std::nullopt;
  return static_cast<std::int64_t>(*bytes);
}

// True when no one but the caller holds `image`. The acquire fence orders
// what an earlier holder did with the image before it let go (the release
// of its reference) before what the caller does next.
bool SoleHolder(const std::shared_ptr<LumoImage>& image) {
  if (image.use_count() != 1) return false;
  std::atomic_thread_fence(std::memory_order_acquire);
  return true;
}

lumo::MetaDataElementsImage3D MetaData(const LumoImage& image) {
  return lumopublish::ImageRecord(image.GetWidth(), image.GetHeight(), image.GetBpp(),
                                  lumopublish::LumoDataTypeOf(image.GetDataType()), kLayoutCode);
}

}  // namespace

LumoSender::ImageRing LumoSender::spsc_queue;
std::atomic<bool> LumoSender::new_data{false};
std::atomic<bool> LumoSender::stopped{false};

LumoSender::LumoSender(int width, int height, dt::DataType dataType, std::string brokerUri, std::string streamName,
                       int interval)
    : width(width), height(height), dataType(dataType),
      brokerUri(std::move(brokerUri)), streamName(std::move(streamName)), interval(interval),
      logger(korv::vexalib::Logger()),
      publisher(lumopublish::CreatePublisher()) {
  if (const auto size = PublishableBytes(width, height, dt::ElementSize(dataType))) {
    publisher->SetBufferSize(static_cast<int>(*size), lumopublish::BufferedImages(*size));
    bufferSize = *size;
  }
}

LumoSender::~LumoSender() = default;

void LumoSender::RegisterPublisher() {
  int failures = 0;
  while (true) {
    if (stopped) {
      VEXA_LOG_STREAM(logger, kInfo, "LUMO publisher registration aborted (stopping)");
      return;
    }
    const int status = publisher->Register(brokerUri, streamName, 0);
    if (status == 1) break;
    ++failures;
    if (failures == 1) {
      VEXA_LOG_FMT(logger, kWarn,
                   "Unable to register LUMO publisher at {} (error {}). Is the broker running? Will retry in "
                   "background...",
                   brokerUri, status);
    } else if (failures % kFailuresPerReport == 0) {
      VEXA_LOG_FMT(logger, kWarn, "Still unable to register LUMO publisher at {} after {} attempts (last error {}).",
                   brokerUri, failures, status);
    }
    for (int second = 0; second < kRetrySeconds && !stopped; ++second) std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  if (failures == 0) {
    VEXA_LOG_STREAM(logger, kInfo, "Registered LUMO publisher");
  } else {
    VEXA_LOG_FMT(logger, kInfo, "Registered LUMO publisher after {} attempt(s)", failures);
  }
}

// One image per pass while the ring holds any, so that no image waits for a
// later notification; `new_data` only wakes the sender. An image taken
// before the gateway raised its flag leaves a late flag over an empty ring:
// that is no fault and is cleared without the empty-ring error.
void LumoSender::Run() {
  // Both would use the publisher that the first run or Shutdown() released.
  if (hasRun.exchange(true)) throw std::logic_error("LumoSender::Run() called a second time: a sender runs once");
  if (!publisher) throw std::logic_error("LumoSender::Run() called after Shutdown(): the publisher is released");
  RegisterPublisher();
  publisher->set_topic_id(encoder.get_topic_id());
  VEXA_LOG_STREAM(logger, kDebug, "LumoSender thread running");
  std::uint64_t publishCount = 0;
  lumopublish::LateFlag lateFlag;
  while (!stopped) {
    const bool notified = new_data;
    if (!notified && spsc_queue.read_available() == 0) {
      WaitForImage();
      continue;
    }
    std::shared_ptr<LumoImage> image;
    const bool popped = spsc_queue.pop(image);
    if (!popped || !image) {
      if (lateFlag.IsFault() || popped) {
        VEXA_LOG_STREAM(logger, kError, "No image in the queue after new image notification!");
      }
      new_data = false;
      Pause();
      continue;
    }
    lateFlag.Took(notified);
    const auto size = PublishableSize(*image);
    if (!size) continue;  // next image at once, flag untouched
    GrowBuffer(*image, *size);
    Publish(*image, SoleHolder(image), *size, publishCount);
    new_data = false;
    image.reset();
    Pause();
  }
  StopSequence();
}

std::optional<std::int64_t> LumoSender::PublishableSize(const LumoImage& image) {
  const auto size = PublishableBytes(image.GetWidth(), image.GetHeight(), image.GetBpp());
  if (!size) {
    VEXA_LOG_FMT(logger, kWarn, "Discarding image with invalid geometry {}x{} {} Bpp", image.GetWidth(),
                 image.GetHeight(), image.GetBpp());
  }
  return size;
}

void LumoSender::GrowBuffer(const LumoImage& image, std::int64_t size) {
  if (bufferSize >= size) return;
  publisher->SetBufferSize(static_cast<int>(size), lumopublish::BufferedImages(size));
  bufferSize = size;
  VEXA_LOG_FMT(logger, kInfo, "Resized LUMO buffer to {} bytes to handle {}x{} {} Bpp frames", size,
               image.GetWidth(), image.GetHeight(), image.GetBpp());
}

void LumoSender::Publish(LumoImage& image, bool soleHolder, std::int64_t size, std::uint64_t& publishCount) {
  const lumo::MetaDataElementsImage3D record = MetaData(image);
  VEXA_LOG_FMT(logger, kDebug, "VDX image info: Datatype: {} - BPP: {} - LUMO Datatype: {} - Width: {} - Height: {}",
               static_cast<std::uint32_t>(image.GetDataType()), record.bytesPerPixel, record.lumoDataType,
               record.width, record.height);
  // The publisher takes the pixel vector over: moved out of an image that no
  // one else holds (as the gateway hands them over), copied otherwise.
  std::vector<std::uint8_t> pixels = soleHolder ? std::move(image.image) : image.image;
  try {
    lumopublish::WriteImage(*publisher, encoder, record, std::move(pixels));
  } catch (const std::exception& error) {
    VEXA_LOG_STREAM(logger, kError, "Failure publishing image in LUMO: " << error.what());
    return;
  }
  ++publishCount;
  VEXA_LOG_FMT(logger, kDebug, "LUMO publish #{}, stream='{}', {}x{} {} Bpp ({} bytes)", publishCount, streamName,
               image.GetWidth(), image.GetHeight(), image.GetBpp(), size);
  width = image.GetWidth();
  height = image.GetHeight();
  dataType = image.GetDataType();
}

void LumoSender::Pause() {
  for (int i = 0; i < interval && !stopped; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// With an interval an empty poll pauses as a publication does. Without one,
// the sender sleeps until the gateway signals an image rather than polling
// the empty ring; the signals counted meanwhile are dropped, since the next
// pass looks at the ring anyway.
void LumoSender::WaitForImage() {
  if (interval > 0) return Pause();
  ImageHandedOverSignal().Wait(kIdleWait);
}

void LumoSender::StopSequence() {
  std::shared_ptr<LumoImage> image;
  while (spsc_queue.pop(image)) image.reset();
  new_data = false;
  ReleasePublisher();
  VEXA_LOG_STREAM(logger, kInfo, "LumoSender thread stopping");
}

void LumoSender::Shutdown() {
  stopped = true;
  new_data = false;
  ReleasePublisher();
}

void LumoSender::ReleasePublisher() {
  if (!publisher) return;
  try {
    publisher->Unregister();
  } catch (const std::exception& error) {
    VEXA_LOG_FMT(logger, kWarn, "Failed to unregister LUMO publisher during shutdown: {}", error.what());
  }
  publisher.reset();
}

}  // namespace korv::vexatools::vexa2lumolib_wirefast
