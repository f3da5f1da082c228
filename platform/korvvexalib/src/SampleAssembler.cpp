#include "SampleAssembler.hpp"

#include <cstring>
#include <exception>
#include <optional>

#include <log4cplus/loggingmacros.h>

#include "korv/fnd/BigEndian.hpp"
#include "korv/vexalib/Logger.hpp"
#include "plexoif/plexoPacket.hpp"
#include "sorelif/sorelPackets.hpp"

namespace korv::vexalib::detail {
namespace {

namespace dt = korv::fnd::datatype;
constexpr std::size_t kHeaderSize = plexoif::kPlexoHeaderSize;
constexpr std::size_t kMaxPayloadDataBytes =
    plexoif::plexoPacketJumbo::kPayloadCapacity - sorelif::kPayloadHeaderSize;  // 8932

}  // namespace

// The header fields the assembler reads, taken straight from the datagram.
struct SampleAssembler::Header {
  std::uint16_t componentId;
  std::uint32_t sampleId;
  std::uint16_t frameId;
  std::uint16_t frameCount;
  std::uint16_t payloadSize;

  explicit Header(const unsigned char* bytes)
      : componentId(korv::fnd::LoadBig<std::uint16_t>(bytes + plexoif::kComponentIdOffset)),
        sampleId(korv::fnd::LoadBig<std::uint32_t>(bytes + plexoif::kSampleIdOffset)),
        frameId(korv::fnd::LoadBig<std::uint16_t>(bytes + plexoif::kFrameIdOffset)),
        frameCount(korv::fnd::LoadBig<std::uint16_t>(bytes + plexoif::kFrameCountOffset)),
        payloadSize(korv::fnd::LoadBig<std::uint16_t>(bytes + plexoif::kPayloadSizeOffset)) {}
};

SampleAssembler::SampleAssembler(const AssemblerSettings& settings, SampleSource source)
    : m_settings(settings), m_source(std::move(source)) {}

std::unique_ptr<AssembledSample> SampleAssembler::Feed(std::span<const unsigned char> datagram) {
  if (datagram.size() < kHeaderSize || datagram.size() > kMaxFrameSize) {
    Reject();
    return nullptr;
  }
  const Header header(datagram.data());
  // The payload size must fit the bytes that arrived; bytes beyond it are ignored.
  const bool wellFormed = header.payloadSize <= datagram.size() - kHeaderSize && header.frameCount >= 2 &&
                          header.frameId >= 1 && header.frameId <= header.frameCount;
  if (!wellFormed || (m_settings.componentId != 0 && header.componentId != m_settings.componentId)) {
    Reject();
    return nullptr;
  }
  if (m_settings.logEveryFrame) {
    LOG4CPLUS_DEBUG(Logger(), "Frame - sample " << header.sampleId << " - frame " << header.frameId << "/"
                                                << header.frameCount << " - payload " << header.payloadSize
                                                << " bytes");
  }
  const auto packet = datagram.subspan(kHeaderSize, header.payloadSize);
  if (header.frameId == 1) {
    OnLeader(header, packet);
    return nullptr;
  }
  if (header.frameId == header.frameCount) return OnTrailer(header, packet);
  OnPayload(header, packet);
  return nullptr;
}

void SampleAssembler::OnLeader(const Header& header, std::span<const unsigned char> packet) {
  std::optional<sorelif::sorelExtendedLeaderPacket> leader;
  try {
    leader.emplace(packet.data(), packet.size());
  } catch (const std::exception& error) {
    // No sender writes this: junk, which must not cost the sample being
    // assembled its frames.
    RefuseLeader(header.sampleId, error.what());
    return;
  }
  AbandonCurrent();
  SampleExtInfo info;
  info.payloadDataUnits = leader->GetPayloadDataUnits();
  info.extensionLength = leader->getCommonHeaderExtensionLength();
  std::size_t bytesPerPixel = static_cast<std::size_t>(dt::ElementSize(m_settings.dataType));
  if (m_settings.extendedInfoMode == ExtendedInfoMode::Enabled) {
    if (const auto basic = leader->GetBasicImageInfo()) {
      info.timestamp = basic->timestamp;
      info.datatype = static_cast<dt::DataType>(basic->dataType);
      info.width = basic->width;
      info.height = basic->height;
      info.offsetX = basic->offsetX;
      info.offsetY = basic->offsetY;
      if (const int size = dt::ElementSize(info.datatype); size > 0) bytesPerPixel = static_cast<std::size_t>(size);
    }
  }
  if (bytesPerPixel == 0) {
    RefuseLeader(header.sampleId, "no bytes per pixel for its data type");
    return;
  }
  const std::uint64_t sampleBytes = std::uint64_t{info.payloadDataUnits} * bytesPerPixel;
  if (sampleBytes > m_settings.maxSampleBytes) {
    RefuseLeader(header.sampleId, "sample larger than the largest accepted");
    return;
  }
  // Senders may use frames smaller than the largest (to fit an MTU of 1500),
  // so the frame count only bounds the size: fewer payload frames than
  // full ones need, or more than there are data units, cannot be.
  const std::uint64_t payloadFrames = header.frameCount - 2u;
  const std::uint64_t largestUnitsPerFrame = kMaxPayloadDataBytes / bytesPerPixel;
  const std::uint64_t fewestPayloadFrames = (info.payloadDataUnits + largestUnitsPerFrame - 1) / largestUnitsPerFrame;
  if (payloadFrames < fewestPayloadFrames || payloadFrames > info.payloadDataUnits) {
    RefuseLeader(header.sampleId, "frame count does not match the announced size");
    return;
  }
  if (!m_current) m_current = m_source();
  if (!m_current) {
    m_samplesWithoutSlot.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  m_current->sampleId = header.sampleId;
  m_current->info = info;
  ReserveFor(m_current->payload, sampleBytes);
  m_assembling = true;
  m_sampleId = header.sampleId;
  m_frameCount = header.frameCount;
  m_bytesPerPixel = bytesPerPixel;
  m_unitsPerFrame = 0;  // set by the first payload frame that arrives
  m_dataUnits = info.payloadDataUnits;
  m_received.assign(header.frameCount + std::size_t{1}, false);
  m_received[1] = true;
  m_framesReceived = 1;
}

void SampleAssembler::OnPayload(const Header& header, std::span<const unsigned char> packet) {
  if (!BelongsToCurrent(header)) {
    Stray();
    return;
  }
  std::optional<sorelif::sorelPayloadPacket> payload;
  try {
    payload.emplace(packet.data(), packet.size(), m_bytesPerPixel);
  } catch (const std::exception&) {
    Reject();
    return;
  }
  // A sender fills a payload packet with its data units and nothing else;
  // a packet with room to spare was read with the wrong pixel size.
  if (payload->GetDataSize() != packet.size() - sorelif::kPayloadHeaderSize) {
    Reject();
    return;
  }
  if (m_unitsPerFrame == 0 && !LearnUnitsPerFrame(header.frameId, payload->GetDataUnits())) {
    Reject();
    return;
  }
  const std::uint64_t firstUnit = std::uint64_t{header.frameId - 2u} * m_unitsPerFrame;
  const std::uint64_t unitsHere = std::min<std::uint64_t>(m_unitsPerFrame, m_dataUnits - firstUnit);
  if (payload->GetDataUnits() != unitsHere) {
    Reject();
    return;
  }
  if (!MarkReceived(header.frameId)) return;
  // The buffer grows to the end of the furthest frame received (the bytes
  // between zero-filled until their frames come), so memory is committed as
  // frames arrive, not at the leader.
  std::vector<std::uint8_t>& bytes = m_current->payload;
  const std::size_t offset = firstUnit * m_bytesPerPixel;
  const std::size_t end = offset + payload->GetDataSize();
  if (bytes.size() < end) bytes.resize(end);
  std::memcpy(bytes.data() + offset, payload->GetData(), payload->GetDataSize());
}

std::unique_ptr<AssembledSample> SampleAssembler::OnTrailer(const Header& header,
                                                            std::span<const unsigned char> packet) {
  if (!BelongsToCurrent(header)) {
    Stray();
    return nullptr;
  }
  if (packet.size() < sorelif::kCommonHeaderSize ||
      packet[0] != static_cast<unsigned char>(sorelif::sorelPacketType::Trailer)) {
    Reject();
    return nullptr;
  }
  if (!MarkReceived(header.frameId)) return nullptr;
  m_assembling = false;
  if (m_framesReceived != m_frameCount) {
    m_samplesIncomplete.fetch_add(1, std::memory_order_relaxed);
    return nullptr;
  }
  return std::move(m_current);
}

// Every payload frame but the last carries the same number of data units U,
// the last one the rest, so the first payload frame to arrive tells U: a
// full one directly, the last one as (D - rest) / (P - 1). U must give the
// sample exactly its P payload frames: (P - 1) * U < D <= P * U.
bool SampleAssembler::LearnUnitsPerFrame(std::uint16_t frameId, std::uint64_t units) {
  const std::uint64_t payloadFrames = m_frameCount - 2u;
  std::uint64_t unitsPerFrame = units;
  if (frameId == m_frameCount - 1 && payloadFrames > 1) {
    if (units >= m_dataUnits || (m_dataUnits - units) % (payloadFrames - 1) != 0) return false;
    unitsPerFrame = (m_dataUnits - units) / (payloadFrames - 1);
  }
  const bool fits = unitsPerFrame >= 1 && unitsPerFrame <= kMaxPayloadDataBytes / m_bytesPerPixel &&
                    (payloadFrames - 1) * unitsPerFrame < m_dataUnits && m_dataUnits <= payloadFrames * unitsPerFrame;
  if (fits) m_unitsPerFrame = unitsPerFrame;
  return fits;
}

bool SampleAssembler::BelongsToCurrent(const Header& header) const {
  return m_assembling && header.sampleId == m_sampleId && header.frameCount == m_frameCount;
}

// False for a frame already received: a repeat is stray and changes nothing.
bool SampleAssembler::MarkReceived(std::uint16_t frameId) {
  if (m_received[frameId]) {
    Stray();
    return false;
  }
  m_received[frameId] = true;
  ++m_framesReceived;
  return true;
}

// Empties the buffer and reserves room for a sample of `sampleBytes`; only
// address space, which the payload frames commit as they arrive. A buffer
// more than twice that size, left by an oversized sample, is freed first so
// that its memory goes back to the system.
void SampleAssembler::ReserveFor(std::vector<std::uint8_t>& payload, std::uint64_t sampleBytes) {
  payload.clear();
  if (payload.capacity() / 2 > sampleBytes) std::vector<std::uint8_t>().swap(payload);
  payload.reserve(sampleBytes);
}

// A sample still being assembled when the next leader comes lost its trailer
// or more; its buffer is reused.
void SampleAssembler::AbandonCurrent() {
  if (!m_assembling) return;
  m_assembling = false;
  m_samplesIncomplete.fetch_add(1, std::memory_order_relaxed);
}

void SampleAssembler::Reject() { m_framesRejected.fetch_add(1, std::memory_order_relaxed); }
void SampleAssembler::Stray() { m_framesStray.fetch_add(1, std::memory_order_relaxed); }

void SampleAssembler::RefuseLeader(std::uint32_t sampleId, const char* reason) {
  m_samplesIncomplete.fetch_add(1, std::memory_order_relaxed);
  Reject();
  // At most one record a second: a hostile stream can send a leader per datagram.
  if (!m_refusalLog.Allow()) return;
  LOG4CPLUS_ERROR(Logger(), "Leader of sample " << sampleId << " refused: " << reason);
}

}  // namespace korv::vexalib::detail
