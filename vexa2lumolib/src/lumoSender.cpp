#include "korv/vexatools/LumoSender.hpp"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "ImageQueuedSignal.hpp"
#include "korv/vexatools/AppLogger.hpp"
#include "korv/vexatools/ImageBytes.hpp"
#include "korv/vexatools/LogRecord.hpp"
#include "korv/vexatools/lumopublish/HandOver.hpp"
#include "korv/vexatools/lumopublish/ImageRecord.hpp"
#include "korv/vexatools/lumopublish/ImageWriter.hpp"

namespace korv::vexatools {
namespace dt = korv::fnd::datatype;

namespace {

constexpr int kRegistrationAttempts = 5;
// Attempts start this far apart, so that the five span four seconds: more
// than the broker's lease (3 s unless it is configured otherwise) plus a
// margin. A publisher restarted after a crash finds its stream still held by
// the stale registration and takes it over once that lease has expired.
constexpr auto kRegistrationSpacing = std::chrono::seconds(1);
// How soon a pause between registration attempts notices `stopped`.
constexpr auto kStopCheck = std::chrono::milliseconds(10);
// Without a publishing interval an idle sender sleeps until the receiver
// signals an image, or at most this long: the longest it takes to notice
// `stopped`, or an image queued by a producer that does not signal.
constexpr auto kIdleWait = std::chrono::milliseconds(5);
// The publisher's buffer is sized for one image; clamped, since it only
// bounds the memory a stuck subscriber holds.
int BufferBytes(int width, int height, dt::DataType dataType) {
  const auto bytes = ImageBytes(std::max(width, 0), std::max(height, 0), dt::ElementSize(dataType));
  return static_cast<int>(std::min<std::uint64_t>(bytes.value_or(INT_MAX), INT_MAX));
}

// The layout tag of this library's images.
constexpr int kLayoutCode = 2;

// Sleeps until `until`, in short slices; false as soon as `stopped` is set.
bool SleepUnlessStopped(std::chrono::steady_clock::time_point until) {
  for (auto now = std::chrono::steady_clock::now(); now < until; now = std::chrono::steady_clock::now()) {
    if (LumoSender::stopped) return false;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(until - now, kStopCheck));
  }
  return !LumoSender::stopped;
}

}  // namespace

LumoSender::ImageQueue LumoSender::spsc_queue;
std::atomic<bool> LumoSender::new_data{false};
std::atomic<bool> LumoSender::stopped{false};

LumoPixelFormat LumoPixelFormatOf(dt::DataType dataType) {
  return {dt::ElementSize(dataType), lumopublish::LumoDataTypeOf(dataType)};
}

lumo::MetaDataElementsImage3D MakeImageRecord(const LumoImage& image, dt::DataType dataType) {
  const LumoPixelFormat format = LumoPixelFormatOf(dataType);
  return lumopublish::ImageRecord(image.GetWidth(), image.GetHeight(), format.bytesPerPixel, format.lumoDataType,
                                  kLayoutCode);
}

LumoSender::LumoSender(int width, int height, dt::DataType dataType, std::string brokerUri, std::string streamName,
                       int interval)
    : width(width), height(height), dataType(dataType),
      brokerUri(std::move(brokerUri)), streamName(std::move(streamName)), interval(interval),
      logger(GetAppLogger()),
      publisher(lumopublish::CreatePublisher()) {
  const int imageBytes = BufferBytes(width, height, dataType);
  publisher->SetBufferSize(imageBytes, lumopublish::BufferedImages(imageBytes));
}

LumoSender::~LumoSender() = default;

void LumoSender::RegisterPublisher() {
  const auto firstAttempt = std::chrono::steady_clock::now();
  for (int attempt = 1;; ++attempt) {
    if (stopped) return;
    VEXA_LOG_STREAM(logger, kWarn, "Problems registering LUMO publisher!");
    if (!SleepUnlessStopped(firstAttempt + (attempt - 1) * kRegistrationSpacing)) return;
    if (publisher->Register(brokerUri, streamName, 0) != -1) {
      registered = true;
      return;
    }
    if (attempt == kRegistrationAttempts) {
      VEXA_LOG_STREAM(logger, kError, "Giving up registering LUMO publisher!");
      throw std::runtime_error("Could not register LUMO publisher");
    }
  }
}

void LumoSender::Run() {
  RegisterPublisher();
  if (!registered) return;
  publisher->set_topic_id(encoder.get_topic_id());
  lumopublish::LateFlag lateFlag;
  while (!stopped) {
    PauseAfterPass(ServeQueue(lateFlag));
    if (passDone) passDone();
  }
  PublishQueued();
  Unregister();
}

// The owner sets `stopped` once reception has ended: what the receiver
// queued before is still published, without pauses.
void LumoSender::PublishQueued() {
  std::shared_ptr<LumoImage> image;
  while (spsc_queue.pop(image)) {
    if (image) Publish(*image);
  }
  new_data = false;
}

// Frees the stream at the broker at once, rather than when its lease runs
// out, so that a publisher started right after this one can take it.
void LumoSender::Unregister() {
  try {
    publisher->Unregister();
  } catch (const std::exception& error) {
    VEXA_LOG_STREAM(logger, kWarn, "Failed to unregister LUMO publisher: " << error.what());
  }
  registered = false;
}

// The pass runs when notified and also whenever the ring holds an image, so
// that images queued while the sender was busy are not left behind until
// the next notification.
bool LumoSender::ServeQueue(lumopublish::LateFlag& lateFlag) {
  const bool notified = new_data.exchange(false);
  if (!notified && spsc_queue.read_available() == 0) return false;

  VEXA_LOG_STREAM(logger, kInfo, "Sending assembled image to LUMO ...");
  std::shared_ptr<LumoImage> image;
  const bool took = spsc_queue.pop(image) && image;
  if (took) {
    Publish(*image);
    lateFlag.Took(notified);
  } else if (lateFlag.IsFault()) {
    VEXA_LOG_STREAM(logger, kError, "No image in the queue after new image notification!");
  }
  return took;
}

void LumoSender::Publish(const LumoImage& image) {
  const lumo::MetaDataElementsImage3D record = MakeImageRecord(image, dataType);
  VEXA_LOG_FMT(logger, kDebug, "VDX image info: Datatype: {} - BPP: {} - LUMO Datatype: {} - Width: {} - Height: {}",
               static_cast<std::uint32_t>(dataType), record.bytesPerPixel, record.lumoDataType, record.width,
               record.height);
  // The one copy of the pixels; the publisher takes the vector over.
  const auto* pixels = reinterpret_cast<const std::uint8_t*>(image.GetImage());
  std::vector<std::uint8_t> data(pixels, pixels + image.GetSize());
  try {
    lumopublish::WriteImage(*publisher, encoder, record, std::move(data));
    published.Add();
    VEXA_LOG_STREAM(logger, kInfo, "Image succesfully published in LUMO");
  } catch (const std::exception& error) {
    publishFailures.Add();
    VEXA_LOG_STREAM(logger, kError, "Failure publishing image in LUMO: " << error.what());
  }
}

// With an interval every pass ends with it, so at most one image goes out
// per interval. Without one, a pass that published goes straight on to the
// next image and an idle pass sleeps until the next signal. The signals
// counted meanwhile are dropped: the next pass looks at the ring anyway.
void LumoSender::PauseAfterPass(bool tookImage) const {
  if (interval > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(interval));
  } else if (!tookImage) {
    ImageQueuedSignal().Wait(kIdleWait);
  }
}

}  // namespace korv::vexatools
