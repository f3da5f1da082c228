#include "korv/vexatools/Vexa2LumoReceiver.hpp"

#include <cstring>
#include <stdexcept>
#include <utility>

#include <fmt/format.h>

#include "ImageQueuedSignal.hpp"
#include "korv/vexatools/LogRecord.hpp"
#include "korv/vexatools/LumoSender.hpp"
#include "sorelif/sorelPackets.hpp"

namespace korv::vexatools {
namespace {

// Depth of the socket receive buffer, in whole images.
constexpr int kBufferedSamples = 3;
// Image bytes one payload frame can carry: its payload less the SOREL payload header.
constexpr std::size_t kMaxFrameImageBytes = plexoif::plexoPacketJumbo::kPayloadCapacity - sorelif::kPayloadHeaderSize;

int CheckedBytesPerPixel(int width, int height, int bytesPerPixel) {
  if (width < 1 || height < 1 || bytesPerPixel < 1) {
    throw std::invalid_argument(fmt::format(
        "Invalid image geometry: width {}, height {}, bytes per pixel {}; each must be at least 1", width, height,
        bytesPerPixel));
  }
  return bytesPerPixel;
}

}  // namespace

Vexa2LumoReceiver::Vexa2LumoReceiver(std::string address, int port, std::string networkInterface, int width,
                                     int height, int bytesPerPixel)
    : VexaReceiver(std::move(address), port, std::move(networkInterface), width, height,
                   CheckedBytesPerPixel(width, height, bytesPerPixel), kBufferedSamples) {}

Vexa2LumoReceiver::~Vexa2LumoReceiver() = default;

void Vexa2LumoReceiver::HandleLeaderPacket() {
  // A repeated leader of the sample being assembled keeps its image.
  if (m_assembly == Assembly::Assembling && m_sampleId == m_imageSampleId &&
      CurrentFrame().GetFrameCount() == m_imageFrameCount) {
    return;
  }
  image.reset();
  imageOffset = 0;
  m_imageSampleId = m_sampleId;
  const std::uint64_t announced = CurrentLeader().GetPayloadDataUnits();
  const std::uint64_t configured = std::uint64_t(m_width) * std::uint64_t(m_height);
  if (announced != configured) {
    m_assembly = Assembly::Refused;
    if (MayLog(kGeometry)) {
      VEXA_LOG_FMT(m_logger, kError,
                   "Leader of sample {} announces {} pixels, not the {} x {} = {} pixels of the configured image; "
                   "sample not published",
                   m_sampleId, announced, m_width, m_height, configured);
    }
    return;
  }
  image = std::make_shared<LumoImage>(m_width, m_height, m_bytesPerPixel);
  m_imageFrameCount = static_cast<std::uint16_t>(m_framesExpected);
  m_frameArrived.assign(m_imageFrameCount, false);
  m_payloadFramesArrived = 0;
  m_payloadFrameLength.reset();
  m_assembly = Assembly::Assembling;
  VEXA_LOG_STREAM(m_logger, kDebug, "Image data object created");
}

void Vexa2LumoReceiver::HandlePayloadPacket(plexoif::plexoPacketBase<8940>& packet) {
  const std::uint16_t frameId = packet.GetFrameId();
  const auto drop = [&](Fault fault, const char* why) {
    if (MayLog(fault)) {
      VEXA_LOG_FMT(m_logger, kError, "Payload frame {} of {} of sample {} dropped: {}", frameId,
                   packet.GetFrameCount(), packet.GetSampleId(), why);
    }
  };
  switch (m_assembly) {
    case Assembly::WaitingForLeader:
      return drop(kBeforeLeader, "no leader received yet");
    case Assembly::Closed:
      return drop(kAfterTrailer, "it arrived after the sample's trailer");
    case Assembly::Refused:
      return;  // the leader's ERROR covers the whole sample
    case Assembly::Assembling:
      break;
  }
  if (packet.GetFrameCount() != m_imageFrameCount || frameId < 2 || frameId >= m_imageFrameCount) {
    return drop(kFrameNumber, "its frame number does not fit the sample's leader");
  }
  const unsigned char* payload = packet.GetPayload();
  const std::size_t payloadSize = packet.GetPayloadSize();
  const auto unitSize = static_cast<std::size_t>(m_bytesPerPixel);
  if (sorelif::CheckPayloadPacket(payload, payloadSize, unitSize) != sorelif::sorelPayloadFault::None) {
    return drop(kMalformed, "not a SOREL payload packet, or more data units than it carries");
  }
  const sorelif::sorelPayloadPacket parsed(payload, payloadSize, unitSize);
  const std::size_t length = std::size_t{parsed.GetDataUnits()} * unitSize;
  if (m_frameArrived[frameId]) {
    VEXA_LOG_FMT(m_logger, kDebug, "Duplicate payload frame {} of sample {} ignored", frameId, m_imageSampleId);
    return;
  }
  const std::int64_t offset = Placement(frameId, length);
  if (offset < 0) {
    // Junk that must not take the place of the frame it claims to be.
    CountJunkFrame();
    return drop(kOutsideImage, "its data units do not fit the image");
  }
  std::memcpy(image->GetImage() + offset, parsed.getPayload(), length);
  m_frameArrived[frameId] = true;
  ++m_payloadFramesArrived;
  imageOffset += static_cast<std::int64_t>(length);
}

// Every payload frame but the last carries the same number of data units,
// so frame n starts (n - 2) lengths in; the last one, which may be shorter,
// ends the image. Placement does not depend on the order of arrival.
std::int64_t Vexa2LumoReceiver::Placement(std::uint16_t frameId, std::size_t length) {
  const auto size = static_cast<std::size_t>(image->GetSize());
  if (length > size) return -1;
  if (frameId == m_imageFrameCount - 1) return PlaceLastFrame(length);
  if (m_payloadFrameLength && *m_payloadFrameLength != length) return -1;
  const std::size_t offset = std::size_t(frameId - 2) * length;  // < 2^16 * 2^14: no overflow
  if (offset > size - length) return -1;
  m_payloadFrameLength = length;
  return static_cast<std::int64_t>(offset);
}

// The last payload frame holds what the others leave: with n payload
// frames of `full` bytes before it, size - (n x full) bytes, between 1 and
// `full`, and no frame carries more than a frame's payload. A last frame of
// another length (a truncated copy, say) is refused, so that the real one
// can still take its place; when it comes first it sets `full`.
std::int64_t Vexa2LumoReceiver::PlaceLastFrame(std::size_t length) {
  const auto size = static_cast<std::size_t>(image->GetSize());
  const std::size_t framesBefore = m_imageFrameCount - 3u;
  if (length == 0) return -1;
  if (framesBefore == 0) return length == size ? 0 : -1;
  const std::size_t rest = size - length;
  if (rest % framesBefore != 0) return -1;
  const std::size_t full = rest / framesBefore;
  if (full < length || full > kMaxFrameImageBytes || full % static_cast<std::size_t>(m_bytesPerPixel) != 0) return -1;
  if (m_payloadFrameLength && *m_payloadFrameLength != full) return -1;
  m_payloadFrameLength = full;
  return static_cast<std::int64_t>(rest);
}

// With every payload frame in once, equal lengths before the last and the
// last at the end, the frames tile the image exactly when their bytes add up
// to its size.
bool Vexa2LumoReceiver::SampleComplete() const {
  return m_payloadFramesArrived == m_imageFrameCount - 2 && imageOffset == image->GetSize();
}

void Vexa2LumoReceiver::HandleTrailerPacket() { CloseAtTrailer(); }

// Called at the trailer of a sample with too few frames, and at a leader that
// follows an incomplete sample. Only the sample's own trailer closes it: a
// stray trailer of another sample leaves the open image to its own frames.
void Vexa2LumoReceiver::HandleLostPackets() {
  if (CurrentFrame().GetFrameId() != 1) CloseAtTrailer();
}

// Whether the image is published depends on its own frames, not on the
// number of frames the base counted (which counts repeats and junk): a
// repeated leader in mid-sample makes the base report a loss for a sample
// whose frames all arrived.
void Vexa2LumoReceiver::CloseAtTrailer() {
  const plexoif::plexoPacketBase<8940>& trailer = CurrentFrame();
  const std::uint32_t trailerSampleId = trailer.GetSampleId();
  const bool ownTrailer = trailerSampleId == m_imageSampleId;
  if (m_assembly != Assembly::Assembling || !ownTrailer) {
    // A repeated trailer of the last sample is harmless; any other trailer
    // belongs to a sample whose leader this receiver did not take.
    if ((m_assembly == Assembly::WaitingForLeader || !ownTrailer) && MayLog(kForeignTrailer)) {
      VEXA_LOG_FMT(m_logger, kError, "Trailer of sample {} ignored: no leader of that sample is being assembled",
                   trailerSampleId);
    }
    return;
  }
  if (trailer.GetFrameCount() != m_imageFrameCount) {
    // Junk (the base counts it): the sample's own trailer may still come.
    if (MayLog(kForeignTrailer)) {
      VEXA_LOG_FMT(m_logger, kError, "Trailer of sample {} ignored: it counts {} frames, its leader {}",
                   trailerSampleId, trailer.GetFrameCount(), m_imageFrameCount);
    }
    return;
  }
  const bool complete = SampleComplete();
  ReportSampleOutcome(complete, complete ? 0 : m_imageFrameCount - 2u - static_cast<unsigned>(m_payloadFramesArrived));
  if (complete) {
    if (!LumoSender::spsc_queue.push(image)) CountRingDrop();
    LumoSender::new_data = true;
    ImageQueuedSignal().Raise();
    VEXA_LOG_STREAM(m_logger, kInfo, "Activating trigger for LUMO sender ...");
  } else if (MayLog(kIncomplete)) {
    VEXA_LOG_FMT(m_logger, kError,
                 "Sample {} not published: {} of {} payload frames and {} of {} bytes arrived at its trailer",
                 m_imageSampleId, m_payloadFramesArrived, m_imageFrameCount - 2, imageOffset, image->GetSize());
  }
  CloseImage();
}

// The sender fell behind: the image is lost. Counted, and logged at most
// once per 10 seconds with the number dropped since the last message.
void Vexa2LumoReceiver::CountRingDrop() {
  m_ringDrops.Add();
  std::uint64_t dropped = 0;
  if (m_ringDropLog.Allow(dropped)) {
    VEXA_LOG_FMT(m_logger, kWarn,
                 "Hand-over ring to the LUMO sender full: {} complete image(s) dropped since the last such message "
                 "(the last: sample {})",
                 dropped, m_imageSampleId);
  }
}

void Vexa2LumoReceiver::CloseImage() {
  image.reset();
  imageOffset = 0;
  m_assembly = Assembly::Closed;
}

}  // namespace korv::vexatools
