// Tells what each received datagram is and what arrived and was lost,
// without a socket: junk classification, the state of the sample being
// assembled, the reception counters and the parsed leader. The receiver
// feeds it every datagram and is told, through SampleEvents, when to log
// and which hook to call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "korv/vexatools/ReceptionStatistics.hpp"
#include "korv/vexatools/VexaReceiver.hpp"
#include "plexoif/plexoPacket.hpp"
#include "sorelif/sorelPackets.hpp"

namespace korv::vexatools {

using Frame = plexoif::plexoPacketBase<8940>;

// One datagram, received straight into the frame that the hooks are given,
// with room past it so that an oversize datagram arrives whole enough to be
// recognised.
struct ReceiveSlot {
  Frame frame;
  unsigned char beyondFrame[VexaReceiver::kReceiveBufferSize - Frame::kCapacity];

  unsigned char* Bytes() { return reinterpret_cast<unsigned char*>(this); }
};
static_assert(sizeof(Frame) == Frame::kCapacity);

// Why a datagram was dropped as junk, for the message that says so.
enum class JunkCause { Short, Oversize, ImpossibleHeader, MalformedLeader };

// What the tracker reports while it takes one datagram, in this order: junk
// (and nothing else), or the frame, then at a leader a loss of the sample
// before it, the leader, and its refusal or acceptance; at any other frame
// the trailer, the payload frame or the frame of another sample.
class SampleEvents {
 public:
  virtual void Junk(JunkCause cause, const Frame& frame, std::size_t bytes, const std::string& detail) = 0;
  virtual void FrameArrived(const Frame& frame, std::size_t bytes) = 0;
  virtual void LossBeforeLeader() = 0;
  virtual void LeaderArrived(const Frame& frame) = 0;
  // Called in a guard: an exception here refuses the leader.
  virtual void DescribeLeader(const Frame& frame, const sorelif::sorelLeaderPacket& leader) = 0;
  virtual void LeaderRefused(const std::string& reason) = 0;
  virtual void LeaderAccepted() = 0;
  // `incomplete`: fewer frames arrived since the leader than the trailer counts.
  virtual void Trailer(const Frame& trailer, bool incomplete) = 0;
  virtual void Payload(Frame& frame) = 0;
  virtual void OtherSampleFrame(const Frame& frame) = 0;

 protected:
  ~SampleEvents() = default;
};

// The fields of the receiver that its hooks read; the tracker keeps them.
struct SampleFields {
  std::uint64_t& framesExpected;
  std::uint64_t& packetsReceived;
  int& framesInSample;
  std::uint32_t& currentSampleId;
  std::uint32_t& sampleId;
};

// Those fields with their starting values, for a tracker used on its own.
struct OwnSampleFields {
  std::uint64_t framesExpected = VexaReceiver::kNoSample;
  std::uint64_t packetsReceived = VexaReceiver::kNoSample;
  int framesInSample = 0;
  std::uint32_t currentSampleId = 0xFFFFFFFF;
  std::uint32_t sampleId = 0;

  SampleFields Fields() { return {framesExpected, packetsReceived, framesInSample, currentSampleId, sampleId}; }
};

class SampleTracker {
 public:
  static constexpr std::uint64_t kNoSample = VexaReceiver::kNoSample;

  explicit SampleTracker(SampleFields fields) : m_fields(fields) {}

  // Takes the datagram of `bytes` bytes in `slot`. Bounds the header's
  // payload size by the bytes that arrived and zeroes the bytes a frame
  // copy takes along past them, so that no parser, copy or hook reads bytes
  // that did not arrive. False when a leader was refused: reception ends.
  bool Take(ReceiveSlot& slot, std::size_t bytes, SampleEvents& events);

  // For a subclass that assembles samples itself, at the sample's own
  // trailer: counts the sample as it found it.
  void ReportSampleOutcome(bool complete, std::uint64_t framesMissing) {
    m_reportedOutcome = ReportedOutcome{complete, framesMissing};
  }
  void CountJunkFrame() { m_counters.junkMalformed.Add(); }

  ReceptionCounters& Counters() { return m_counters; }
  const ReceptionCounters& Counters() const { return m_counters; }
  // The last leader taken, parsed; valid until the next datagram.
  const sorelif::sorelLeaderPacket& Leader() const { return *m_leader; }

 private:
  // Bytes past the payload that copying a frame takes along (zeroed).
  static constexpr std::size_t kCopySlack = 2;
  static_assert(Frame::kCapacity + kCopySlack <= VexaReceiver::kReceiveBufferSize);

  bool DropImpossibleHeader(const Frame& frame, SampleEvents& events);
  bool ParseLeader(const Frame& frame, SampleEvents& events);
  bool TakeLeader(const Frame& frame, SampleEvents& events);
  bool RefuseLeader(const std::string& reason, SampleEvents& events);
  void TakeOtherFrame(Frame& frame, SampleEvents& events);
  void CountClosedSample(const Frame& trailer, bool incomplete);
  void CountIncompleteSample(std::uint64_t framesExpected, std::int64_t framesArrived);

  SampleFields m_fields;
  ReceptionCounters m_counters;
  // The leader of the frame being taken; empty when it is no legacy leader.
  std::optional<sorelif::sorelLeaderPacket> m_leader;
  // Why the leader being taken cannot be accepted (extended info).
  std::string m_refusal;

  // Whether the sample of the last accepted leader is still being assembled,
  // for counting each sample once as complete or incomplete.
  enum class SampleState { NoLeaderYet, Open, Closed };
  SampleState m_sampleState = SampleState::NoLeaderYet;
  // The sample of the last frame of another sample than the one being
  // assembled, so that its trailer counts a sample whose leader was lost.
  std::uint32_t m_otherSampleId = 0;
  bool m_otherSampleSeen = false;
  struct ReportedOutcome {
    bool complete;
    std::uint64_t framesMissing;
  };
  std::optional<ReportedOutcome> m_reportedOutcome;
};

}  // namespace korv::vexatools
