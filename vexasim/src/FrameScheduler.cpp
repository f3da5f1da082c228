#include "vexasim/FrameScheduler.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>

#include "korv/fnd/BigEndian.hpp"

namespace korv::vexasim {
namespace {

constexpr std::uint16_t kFirstPayloadFrame = 2;

bool Due(std::uint64_t every, std::uint64_t sampleNumber) { return every != 0 && sampleNumber % every == 0; }

}  // namespace

bool FaultSettings::Any() const {
  return dropProbability > 0.0 || dropLeaderEvery != 0 || dropTrailerEvery != 0 || duplicateEvery != 0 ||
         foreignEvery != 0 || junkShortEvery != 0 || junkLongEvery != 0 || junkTruncatedEvery != 0;
}

FaultCounters& FaultCounters::operator+=(const FaultCounters& other) {
  droppedPayloadFrames += other.droppedPayloadFrames;
  droppedLeaders += other.droppedLeaders;
  droppedTrailers += other.droppedTrailers;
  duplicatedFrames += other.duplicatedFrames;
  foreignFrames += other.foreignFrames;
  junkDatagrams += other.junkDatagrams;
  return *this;
}

FaultInjector::FaultInjector(const FaultSettings& faults) : m_faults(faults), m_random(faults.seed) {}

bool FaultInjector::DropsLeader(std::uint64_t sampleNumber) const { return Due(m_faults.dropLeaderEvery, sampleNumber); }

bool FaultInjector::DropsTrailer(std::uint64_t sampleNumber) const {
  return Due(m_faults.dropTrailerEvery, sampleNumber);
}

bool FaultInjector::DropPayloadFrame() {
  if (m_faults.dropProbability <= 0.0) return false;
  // 53 random bits as a double in [0, 1): the same on every platform for a seed.
  const double uniform = static_cast<double>(m_random() >> 11) * 0x1.0p-53;
  return uniform < m_faults.dropProbability;
}

void FaultInjector::AddExtras(std::uint64_t sampleNumber, std::uint32_t sampleId, std::uint16_t firstPayloadFrameId,
                              bool firstPayloadDropped, std::vector<PlannedDatagram>& plan,
                              FaultCounters& faults) const {
  auto add = [&](DatagramKind kind, std::uint32_t id) { plan.push_back({kind, id, firstPayloadFrameId}); };
  if (!firstPayloadDropped && Due(m_faults.duplicateEvery, sampleNumber)) {
    add(DatagramKind::Frame, sampleId);
    ++faults.duplicatedFrames;
  }
  if (Due(m_faults.foreignEvery, sampleNumber)) {
    add(DatagramKind::Frame, ForeignSampleId(sampleId));
    ++faults.foreignFrames;
  }
  for (auto [every, kind] : {std::pair{m_faults.junkShortEvery, DatagramKind::JunkShort},
                             std::pair{m_faults.junkLongEvery, DatagramKind::JunkLong},
                             std::pair{m_faults.junkTruncatedEvery, DatagramKind::JunkTruncated}}) {
    if (Due(every, sampleNumber)) {
      add(kind, sampleId);
      ++faults.junkDatagrams;
    }
  }
}

FrameScheduler::FrameScheduler(std::uint16_t frameCount, const FaultSettings& faults)
    : m_frameCount(frameCount), m_faults(faults) {
  // Every real sample has a leader, at least one payload frame and a trailer.
  if (frameCount < 3) throw std::invalid_argument("A sample needs at least 3 frames");
}

FaultCounters FrameScheduler::PlanSample(std::uint64_t sampleIndex, std::uint32_t sampleId,
                                         std::vector<PlannedDatagram>& plan) {
  const std::uint64_t sampleNumber = sampleIndex + 1;
  FaultCounters faults;
  plan.clear();
  auto add = [&](std::uint16_t frameId) { plan.push_back({DatagramKind::Frame, sampleId, frameId}); };

  if (m_faults.DropsLeader(sampleNumber)) {
    ++faults.droppedLeaders;
  } else {
    add(1);
  }

  for (std::uint16_t frameId = kFirstPayloadFrame; frameId < m_frameCount; ++frameId) {
    const bool dropped = m_faults.DropPayloadFrame();
    if (dropped) {
      ++faults.droppedPayloadFrames;
    } else {
      add(frameId);
    }
    // The extra datagrams go right after the first payload frame, inside the sample.
    if (frameId == kFirstPayloadFrame) m_faults.AddExtras(sampleNumber, sampleId, frameId, dropped, plan, faults);
  }

  if (m_faults.DropsTrailer(sampleNumber)) {
    ++faults.droppedTrailers;
  } else {
    add(m_frameCount);
  }
  return faults;
}

std::size_t DeriveFromFrame(DatagramKind kind, std::uint32_t sampleId, std::span<unsigned char> buffer,
                            std::size_t frameLength) {
  if (buffer.size() < kMaxDatagramSize || frameLength < plexoif::kPlexoHeaderSize || frameLength > buffer.size()) {
    throw std::length_error("Datagram buffer too small");
  }
  unsigned char* out = buffer.data();
  auto setPayloadSize = [out](std::size_t size) {
    korv::fnd::StoreBig<std::uint16_t>(out + plexoif::kPayloadSizeOffset, static_cast<std::uint16_t>(size));
  };
  switch (kind) {
    case DatagramKind::Frame:
      korv::fnd::StoreBig<std::uint32_t>(out + plexoif::kSampleIdOffset, sampleId);
      return frameLength;
    case DatagramKind::JunkShort:
      return kJunkShortSize;
    case DatagramKind::JunkLong:
      setPayloadSize(kJunkLongSize - plexoif::kPlexoHeaderSize);
      std::memset(out + plexoif::kPlexoHeaderSize, 0xEE, kJunkLongSize - plexoif::kPlexoHeaderSize);
      return kJunkLongSize;
    case DatagramKind::JunkTruncated:
      if (frameLength < kJunkTruncatedSize) std::memset(out + frameLength, 0, kJunkTruncatedSize - frameLength);
      setPayloadSize(plexoif::plexoPacketJumbo::kPayloadCapacity);
      return kJunkTruncatedSize;
  }
  throw std::logic_error("Unknown datagram kind");
}

std::size_t RenderDatagram(const SampleFrames& frames, const PlannedDatagram& datagram, std::span<unsigned char> out,
                           double timestamp) {
  if (out.size() < kMaxDatagramSize) throw std::length_error("Datagram buffer too small");
  // Junk is made from frame 2 of the sample, which the plan names.
  const std::size_t length = frames.BuildFrame(datagram.sampleId, datagram.frameId, out, timestamp);
  if (datagram.kind == DatagramKind::Frame) return length;
  return DeriveFromFrame(datagram.kind, datagram.sampleId, out, length);
}

}  // namespace korv::vexasim
