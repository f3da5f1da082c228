#include "korv/vexatools/vexa2lumolib_wirefast/LumoSender.hpp"

#include <algorithm>
#include <chrono>
#include <climits>
#include <exception>
#include <stdexcept>
#include <thread>
#include <vector>

#include "ImageHandedOverSignal.hpp"
#include "korv/vexalib/Logger.hpp"
#include "korv/vexatools/LogRecord.hpp"

namespace korv::vexatools::vexa2lumolib_wirefast {
namespace {

namespace dt = korv::fnd::datatype;

constexpr int kRetrySeconds = 5;
// After the first failed registration, every twelfth is reported (one a minute).
constexpr int kFailuresPerReport = 12;
// Images that may wait for a subscriber before the publisher drops further
// ones for it: enough to ride out a subscriber that is descheduled for a few
// images on a loaded host (with 2, a busy two-core machine loses images at
// 100 samples/s), within about 64 MiB per subscriber. The same depth as the
// publisher tool's.
int BufferedImages(std::int64_t imageBytes) {
  constexpr std::int64_t kMostBytes = 64 << 20;
  return static_cast<int>(std::clamp<std::int64_t>(kMostBytes / std::max<std::int64_t>(imageBytes, 1), 2, 8));
}
// Without an interval an idle sender sleeps until the gateway hands an image
// over, or at most this long: how soon it notices `stopped`.
constexpr auto kIdleWait = std::chrono::milliseconds(5);

std::int32_t LumoDataType(dt::DataType type) {
  switch (type) {
    case dt::UInt32:
      return lumo::kLumoUnsigned32;
    case dt::Float:
      return lumo::kLumoFloat;
    case dt::Byte:
      return lumo::kLumoUnsigned8;
    default:
      return lumo::kLumoInteger;
  }
}

lumo::MetaDataElementsImage3D MetaData(const LumoImage& image) {
  lumo::MetaDataElementsImage3D record;
  record.bytesPerPixel = image.GetBpp();
  record.numberOfDimensions = 2;
  record.littleEndian = 1;
  record.rowMajor = 1;
  record.contiguous = 1;
  record.lumoDataType = LumoDataType(image.GetDataType());
  record.width = image.GetWidth();
  record.height = image.GetHeight();
  record.depth = 1;
  record.channels = 1;
  record.layoutCode = 1;
  record.frameCount = 1;
  return record;
}

}  // namespace

std::counting_semaphore<>& ImageHandedOverSignal() {
  static std::counting_semaphore<> signal(0);
  return signal;
}

LumoSender::ImageRing LumoSender::spsc_queue;
std::atomic<bool> LumoSender::new_data{false};
std::atomic<bool> LumoSender::stopped{false};

LumoSender::LumoSender(int width, int height, dt::DataType dataType, std::string brokerUri, std::string streamName,
                       int interval)
    : width(width),
      height(height),
      dataType(dataType),
      brokerUri(std::move(brokerUri)),
      streamName(std::move(streamName)),
      interval(interval),
      logger(korv::vexalib::Logger()),
      publisher(lumo::LumoDataTransferFactory::CreatePublisher(nullptr)) {
  publisher->SetQoS(10000, 10);
  const int bpp = dt::ElementSize(dataType);
  const std::int64_t size = std::int64_t{width} * height * bpp;
  if (bpp > 0 && width > 0 && height > 0 && size <= INT_MAX) {
    publisher->SetBufferSize(static_cast<int>(size), BufferedImages(size));
    bufferSize = size;
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
  bool imageTakenAhead = false;
  while (!stopped) {
    const bool notified = new_data;
    if (!notified && spsc_queue.read_available() == 0) {
      WaitForImage();
      continue;
    }
    std::shared_ptr<LumoImage> image;
    const bool popped = spsc_queue.pop(image);
    if (!popped || !image) {
      if (popped || !imageTakenAhead) {
        VEXA_LOG_STREAM(logger, kError, "No image in the queue after new image notification!");
      }
      new_data = false;
      imageTakenAhead = false;
      Pause();
      continue;
    }
    if (!notified) imageTakenAhead = true;
    if (!HasPublishableGeometry(*image)) continue;  // next image at once, flag untouched
    const std::int64_t size = std::int64_t{image->GetHeight()} * image->GetWidth() * image->GetBpp();
    GrowBuffer(*image, size);
    Publish(*image, size, publishCount);
    new_data = false;
    image.reset();
    Pause();
  }
  StopSequence();
}

bool LumoSender::HasPublishableGeometry(const LumoImage& image) {
  const int w = image.GetWidth(), h = image.GetHeight(), bpp = image.GetBpp();
  // LUMO sizes are ints: a larger image cannot be published either.
  if (w <= 0 || h <= 0 || bpp <= 0 || std::int64_t{w} * h * bpp > INT_MAX) {
    VEXA_LOG_FMT(logger, kWarn, "Discarding image with invalid geometry {}x{} {} Bpp", w, h, bpp);
    return false;
  }
  return true;
}

void LumoSender::GrowBuffer(const LumoImage& image, std::int64_t size) {
  if (bufferSize >= size) return;
  publisher->SetBufferSize(static_cast<int>(size), BufferedImages(size));
  bufferSize = size;
  VEXA_LOG_FMT(logger, kInfo, "Resized LUMO buffer to {} bytes to handle {}x{} {} Bpp frames", size,
               image.GetWidth(), image.GetHeight(), image.GetBpp());
}

void LumoSender::Publish(const LumoImage& image, std::int64_t size, std::uint64_t& publishCount) {
  const lumo::MetaDataElementsImage3D record = MetaData(image);
  VEXA_LOG_FMT(logger, kDebug, "VDX image info: Datatype: {} - BPP: {} - LUMO Datatype: {} - Width: {} - Height: {}",
               static_cast<std::uint32_t>(image.GetDataType()), record.bytesPerPixel, record.lumoDataType,
               record.width, record.height);
  // The one copy of the pixels; the publisher takes the vector over.
  std::vector<std::uint8_t> bytes(image.GetImage(), image.GetImage() + size);
  try {
    encoder.Encode(record);
    const std::vector<std::uint8_t> meta = encoder.get_meta_data();
    publisher->WriteData(0, std::move(bytes), meta);
    publisher->CompleteWrite();
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
  auto& signal = ImageHandedOverSignal();
  if (signal.try_acquire_for(kIdleWait)) {
    while (signal.try_acquire()) {
    }
  }
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
