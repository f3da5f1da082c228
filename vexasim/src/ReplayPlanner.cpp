#include "vexasim/ReplayPlanner.hpp"

#include <utility>

#include "korv/fnd/BigEndian.hpp"
#include "plexoif/plexoPacket.hpp"

namespace korv::vexasim {
namespace {

struct FrameHeader {
  std::uint32_t sampleId;
  std::uint16_t frameId;
  std::uint16_t frameCount;
};

FrameHeader HeaderOf(std::span<const unsigned char> datagram) {
  using korv::fnd::LoadBig;
  return {LoadBig<std::uint32_t>(datagram.data() + plexoif::kSampleIdOffset),
          LoadBig<std::uint16_t>(datagram.data() + plexoif::kFrameIdOffset),
          LoadBig<std::uint16_t>(datagram.data() + plexoif::kFrameCountOffset)};
}

}  // namespace

ReplayPlanner::ReplayPlanner(const FaultSettings& faults) : m_faults(faults) {}

bool ReplayPlanner::HasPossibleHeader(std::span<const unsigned char> datagram) {
  if (datagram.size() < plexoif::kPlexoHeaderSize || datagram.size() > plexoif::plexoPacketJumbo::kCapacity) {
    return false;
  }
  const FrameHeader header = HeaderOf(datagram);
  return header.frameId != 0 && header.frameCount >= 2 && header.frameId <= header.frameCount;
}

bool ReplayPlanner::BeginsSample(std::span<const unsigned char> datagram) const {
  if (!HasPossibleHeader(datagram)) return false;
  const FrameHeader header = HeaderOf(datagram);
  return m_sampleNumber == 0 || header.frameId == 1 || header.sampleId != m_sampleId;
}

std::uint64_t ReplayPlanner::Plan(std::span<const unsigned char> datagram, std::vector<PlannedDatagram>& plan) {
  plan.clear();
  if (!HasPossibleHeader(datagram)) {
    plan.push_back({DatagramKind::Frame, 0, 0});
    return m_sampleNumber;
  }
  const FrameHeader header = HeaderOf(datagram);
  if (BeginsSample(datagram)) {
    ++m_sampleNumber;
    m_sampleId = header.sampleId;
    m_payloadSeen = false;
  }
  const PlannedDatagram itself{DatagramKind::Frame, header.sampleId, header.frameId};
  if (header.frameId == 1) {
    if (m_faults.DropsLeader(m_sampleNumber)) {
      ++m_sampleFaults.droppedLeaders;
    } else {
      plan.push_back(itself);
    }
  } else if (header.frameId == header.frameCount) {
    if (m_faults.DropsTrailer(m_sampleNumber)) {
      ++m_sampleFaults.droppedTrailers;
    } else {
      plan.push_back(itself);
    }
  } else {
    const bool dropped = m_faults.DropPayloadFrame();
    if (dropped) {
      ++m_sampleFaults.droppedPayloadFrames;
    } else {
      plan.push_back(itself);
    }
    if (!m_payloadSeen) {
      m_payloadSeen = true;
      m_faults.AddExtras(m_sampleNumber, header.sampleId, header.frameId, dropped, plan, m_sampleFaults);
    }
  }
  return m_sampleNumber;
}

FaultCounters ReplayPlanner::TakeSampleFaults() { return std::exchange(m_sampleFaults, FaultCounters{}); }

}  // namespace korv::vexasim
