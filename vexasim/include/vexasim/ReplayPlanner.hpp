// Fault injection for a replayed capture: groups the captured datagrams into
// samples as they come and decides, datagram by datagram, what is sent in
// their place, with the same decisions as for the simulator's own samples.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "vexasim/FrameScheduler.hpp"

namespace korv::vexasim {

class ReplayPlanner {
 public:
  explicit ReplayPlanner(const FaultSettings& faults);

  // Whether `datagram` begins a new sample: a frame whose header can be
  // real (see below) and that is a leader or carries another sample id than
  // the sample before it. Other datagrams belong to the sample under way.
  bool BeginsSample(std::span<const unsigned char> datagram) const;

  // Replaces `plan` with what goes out for `datagram`: the datagram itself
  // ({Frame, its sample id, its frame id}) unless a drop hits it, and after
  // the first payload frame of a sample the extra datagrams, made from that
  // frame with DeriveFromFrame. Datagrams without a possible header pass
  // unchanged. Returns the number of the sample the datagram belongs to
  // (1 for the first sample; 0 before it).
  std::uint64_t Plan(std::span<const unsigned char> datagram, std::vector<PlannedDatagram>& plan);

  // What fault injection did to the current sample so far; resets it.
  FaultCounters TakeSampleFaults();

  // True for a datagram of 32 to 8972 bytes whose frame id is 1 to its
  // frame count, and frame count at least 2: one a receiver takes as a frame.
  static bool HasPossibleHeader(std::span<const unsigned char> datagram);

 private:
  FaultInjector m_faults;
  std::uint64_t m_sampleNumber = 0;
  std::uint32_t m_sampleId = 0;
  bool m_payloadSeen = false;  // the current sample's first payload frame went by
  FaultCounters m_sampleFaults;
};

}  // namespace korv::vexasim
