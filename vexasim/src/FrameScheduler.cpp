#include "vexasim/FrameScheduler.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>

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

FrameScheduler::FrameScheduler(std::uint16_t frameCount, const FaultSettings& faults)
    : m_frameCount(frameCount), m_faults(faults), m_random(faults.seed) {
  // Every real sample has a leader, at least one payload frame and a trailer.
  if (frameCount < 3) throw std::invalid_argument("A sample needs at least 3 frames");
}

bool FrameScheduler::DropPayloadFrame() {
  if (m_faults.dropProbability <= 0.0) return false;
  // 53 random bits as a double in [0, 1): the same on every platform for a seed.
  const double uniform = static_cast<double>(m_random() >> 11) * 0x1.0p-53;
  return uniform < m_faults.dropProbability;
}

FaultCounters FrameScheduler::PlanSample(std::uint64_t sampleIndex, std::uint32_t sampleId,
                                         std::vector<PlannedDatagram>& plan) {
  const std::uint64_t sampleNumber = sampleIndex + 1;
  FaultCounters faults;
  plan.clear();
  auto add = [&](DatagramKind kind, std::uint32_t id, std::uint16_t frameId) { plan.push_back({kind, id, frameId}); };

  if (Due(m_faults.dropLeaderEvery, sampleNumber)) {
    ++faults.droppedLeaders;
  } else {
    add(DatagramKind::Frame, sampleId, 1);
  }

  for (std::uint16_t frameId = kFirstPayloadFrame; frameId < m_frameCount; ++frameId) {
    const bool dropped = DropPayloadFrame();
    if (dropped) {
      ++faults.droppedPayloadFrames;
    } else {
      add(DatagramKind::Frame, sampleId, frameId);
    }
    if (frameId != kFirstPayloadFrame) continue;
    // The extra datagrams go right after the first payload frame, inside the sample.
    if (!dropped && Due(m_faults.duplicateEvery, sampleNumber)) {
      add(DatagramKind::Frame, sampleId, frameId);
      ++faults.duplicatedFrames;
    }
    if (Due(m_faults.foreignEvery, sampleNumber)) {
      add(DatagramKind::Frame, ForeignSampleId(sampleId), frameId);
      ++faults.foreignFrames;
    }
    for (auto [every, kind] : {std::pair{m_faults.junkShortEvery, DatagramKind::JunkShort},
                               std::pair{m_faults.junkLongEvery, DatagramKind::JunkLong},
                               std::pair{m_faults.junkTruncatedEvery, DatagramKind::JunkTruncated}}) {
      if (Due(every, sampleNumber)) {
        add(kind, sampleId, frameId);
        ++faults.junkDatagrams;
      }
    }
  }

  if (Due(m_faults.dropTrailerEvery, sampleNumber)) {
    ++faults.droppedTrailers;
  } else {
    add(DatagramKind::Frame, sampleId, m_frameCount);
  }
  return faults;
}

std::size_t RenderDatagram(const SampleFrames& frames, const PlannedDatagram& datagram, std::span<unsigned char> out,
                           double timestamp) {
  if (out.size() < kMaxDatagramSize) throw std::length_error("Datagram buffer too small");
  const std::uint16_t frameCount = frames.FrameCount();
  switch (datagram.kind) {
    case DatagramKind::Frame:
      return frames.BuildFrame(datagram.sampleId, datagram.frameId, out, timestamp);
    case DatagramKind::JunkShort: {
      std::array<unsigned char, plexoif::kPlexoHeaderSize> header;
      const auto payloadSize = static_cast<std::uint16_t>(
          sorelif::kPayloadHeaderSize + std::size_t{frames.UnitsInFrame(kFirstPayloadFrame)} * frames.Layout().bytesPerPixel);
      frames.WriteHeader(header.data(), datagram.sampleId, kFirstPayloadFrame, frameCount, payloadSize);
      std::memcpy(out.data(), header.data(), kJunkShortSize);
      return kJunkShortSize;
    }
    case DatagramKind::JunkLong:
      frames.WriteHeader(out.data(), datagram.sampleId, kFirstPayloadFrame, frameCount,
                         static_cast<std::uint16_t>(kJunkLongSize - plexoif::kPlexoHeaderSize));
      std::memset(out.data() + plexoif::kPlexoHeaderSize, 0xEE, kJunkLongSize - plexoif::kPlexoHeaderSize);
      return kJunkLongSize;
    case DatagramKind::JunkTruncated: {
      const std::size_t length = frames.BuildFrame(datagram.sampleId, kFirstPayloadFrame, out, timestamp);
      if (length < kJunkTruncatedSize) std::memset(out.data() + length, 0, kJunkTruncatedSize - length);
      frames.WriteHeader(out.data(), datagram.sampleId, kFirstPayloadFrame, frameCount,
                         static_cast<std::uint16_t>(plexoif::plexoPacketJumbo::kPayloadCapacity));
      return kJunkTruncatedSize;
    }
  }
  throw std::logic_error("Unknown datagram kind");
}

}  // namespace korv::vexasim
