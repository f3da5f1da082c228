#include "SampleTracker.hpp"

#include <algorithm>
#include <climits>
#include <exception>
#include <stdexcept>

#include <fmt/format.h>

#include "korv/fnd/BigEndian.hpp"

namespace korv::vexatools {

bool SampleTracker::Take(ReceiveSlot& slot, std::size_t bytes, SampleEvents& events) {
  m_counters.datagrams.Add();
  m_counters.bytes.Add(bytes);
  Frame& frame = slot.frame;
  m_leader.reset();
  // A datagram without a whole header, or longer than any frame, cannot be
  // classified: counted as junk, so that it neither skews the sample counts
  // nor ends reception.
  if (bytes < Frame::kHeaderSize || bytes > Frame::kCapacity) {
    const bool tooShort = bytes < Frame::kHeaderSize;
    (tooShort ? m_counters.junkShort : m_counters.junkOversize).Add();
    events.Junk(tooShort ? JunkCause::Short : JunkCause::Oversize, frame, bytes, {});
    return true;
  }
  const std::size_t receivedPayload = bytes - Frame::kHeaderSize;
  unsigned char* payloadSizeField = slot.Bytes() + plexoif::kPayloadSizeOffset;
  if (korv::fnd::LoadBig<std::uint16_t>(payloadSizeField) > receivedPayload) {
    korv::fnd::StoreBig(payloadSizeField, static_cast<std::uint16_t>(receivedPayload));
  }
  std::fill_n(slot.Bytes() + bytes, kCopySlack, 0);

  if (DropImpossibleHeader(frame, events)) return true;
  if (frame.GetFrameId() == 1 && !ParseLeader(frame, events)) return true;
  // Saturates instead of overflowing on an endless stream without leaders.
  if (m_fields.framesInSample < INT_MAX) ++m_fields.framesInSample;
  events.FrameArrived(frame, bytes);
  if (frame.GetFrameId() == 1) return TakeLeader(frame, events);
  TakeOtherFrame(frame, events);
  return true;
}

// A header no sender writes (no frame 0, no sample of fewer than two frames,
// no frame past the sample's count) is junk: taken as a trailer or payload
// frame it would close or skew the sample being assembled.
bool SampleTracker::DropImpossibleHeader(const Frame& frame, SampleEvents& events) {
  const std::uint16_t frameId = frame.GetFrameId();
  const std::uint16_t frameCount = frame.GetFrameCount();
  if (frameId != 0 && frameCount >= 2 && frameId <= frameCount) return false;
  m_counters.junkMalformed.Add();
  events.Junk(JunkCause::ImpossibleHeader, frame, Frame::kHeaderSize + frame.GetPayloadSize(), {});
  return true;
}

// Parses the leader once, for the counts, the refusal and the hooks. A
// payload that is no well-formed SOREL leader (too short, another packet
// type, an extension longer than the payload) is junk, dropped before it
// touches the sample state: false. A well-formed leader with extended info
// is kept to be refused, which ends reception.
bool SampleTracker::ParseLeader(const Frame& frame, SampleEvents& events) {
  m_refusal.clear();
  try {
    m_leader.emplace(frame.GetPayload(), frame.GetPayloadSize());
    return true;
  } catch (const std::length_error& extended) {
    try {
      sorelif::sorelExtendedLeaderPacket(frame.GetPayload(), frame.GetPayloadSize());
      m_refusal = extended.what();
      return true;
    } catch (const std::exception& error) {
      m_counters.junkMalformed.Add();
      events.Junk(JunkCause::MalformedLeader, frame, Frame::kHeaderSize + frame.GetPayloadSize(), error.what());
    }
  } catch (const std::exception& error) {
    m_counters.junkMalformed.Add();
    events.Junk(JunkCause::MalformedLeader, frame, Frame::kHeaderSize + frame.GetPayloadSize(), error.what());
  }
  return false;
}

bool SampleTracker::TakeLeader(const Frame& frame, SampleEvents& events) {
  const std::uint32_t sampleId = frame.GetSampleId();
  m_fields.currentSampleId = sampleId;
  if (m_fields.framesExpected != kNoSample && m_fields.framesExpected != m_fields.packetsReceived) {
    events.LossBeforeLeader();
  }
  // A repeated leader of the sample being assembled is a duplicate, not the
  // end of that sample. Otherwise the sample before this leader never saw its
  // trailer: at least that is missing, even when a trailer of another sample
  // made up the count.
  if (m_sampleState == SampleState::Open && sampleId == m_fields.sampleId &&
      frame.GetFrameCount() == m_fields.framesExpected) {
    m_counters.duplicateLeaders.Add();
  } else if (m_sampleState == SampleState::Open) {
    CountIncompleteSample(m_fields.framesExpected,
                          std::min<std::int64_t>(m_fields.framesInSample - 1, m_fields.framesExpected - 1));
    m_sampleState = SampleState::Closed;
  }
  m_fields.sampleId = sampleId;
  m_otherSampleSeen = false;
  m_fields.packetsReceived = 1;
  m_fields.framesInSample = 1;
  m_fields.framesExpected = frame.GetFrameCount();
  events.LeaderArrived(frame);

  if (!m_refusal.empty()) {
    return RefuseLeader(fmt::format("Failed to parse leader packet for sample {} (payload {} bytes): {}. This receiver "
                                    "only supports legacy leader packets without extended info.",
                                    sampleId, frame.GetPayloadSize(), m_refusal),
                        events);
  }
  try {
    events.DescribeLeader(frame, *m_leader);
  } catch (const std::exception& error) {
    return RefuseLeader(fmt::format("Unexpected error parsing leader packet for sample {}: {}", sampleId, error.what()),
                        events);
  }
  m_sampleState = SampleState::Open;
  events.LeaderAccepted();
  return true;
}

// Puts the fields back to "no sample" and reports why.
bool SampleTracker::RefuseLeader(const std::string& reason, SampleEvents& events) {
  m_leader.reset();
  m_fields.framesInSample = 0;
  m_fields.framesExpected = kNoSample;
  m_fields.packetsReceived = kNoSample;
  events.LeaderRefused(reason);
  return false;
}

void SampleTracker::TakeOtherFrame(Frame& frame, SampleEvents& events) {
  ++m_fields.packetsReceived;
  const std::uint16_t frameCount = frame.GetFrameCount();
  if (frame.GetFrameId() == frameCount) {
    // A trailer closes the sample being assembled, whatever its sample id.
    const bool incomplete = m_fields.framesInSample < int{frameCount};
    m_reportedOutcome.reset();
    events.Trailer(frame, incomplete);
    CountClosedSample(frame, incomplete);
  } else if (frame.GetSampleId() == m_fields.sampleId) {
    events.Payload(frame);
  } else {
    m_counters.otherSampleFrames.Add();
    m_otherSampleId = frame.GetSampleId();
    m_otherSampleSeen = true;
    events.OtherSampleFrame(frame);
    --m_fields.framesInSample;
  }
}

// Counts the sample a trailer closes, once, after the trailer's hook: a
// subclass that assembled the sample may have reported what it found. A
// trailer of another sample than the last leader's stands for a sample whose
// leader never came when frames of that sample arrived; without them it is
// junk, as is a trailer whose frame count is not its leader's. A repeated
// trailer counts nothing.
void SampleTracker::CountClosedSample(const Frame& trailer, bool incomplete) {
  if (trailer.GetSampleId() != m_fields.sampleId) {
    if (m_sampleState == SampleState::NoLeaderYet) return;  // counting starts at the first leader
    if (m_otherSampleSeen && trailer.GetSampleId() == m_otherSampleId) {
      CountIncompleteSample(1, 0);
      m_otherSampleSeen = false;
    } else {
      m_counters.junkMalformed.Add();
    }
  } else if (m_sampleState == SampleState::Open) {
    if (trailer.GetFrameCount() != m_fields.framesExpected) {
      m_counters.junkMalformed.Add();
      return;
    }
    if (m_reportedOutcome) {
      if (m_reportedOutcome->complete) {
        m_counters.completeSamples.Add();
      } else {
        CountIncompleteSample(m_reportedOutcome->framesMissing, 0);
      }
    } else if (incomplete) {
      CountIncompleteSample(trailer.GetFrameCount(), m_fields.framesInSample);
    } else {
      m_counters.completeSamples.Add();
    }
    m_sampleState = SampleState::Closed;
  }
}

void SampleTracker::CountIncompleteSample(std::uint64_t framesExpected, std::int64_t framesArrived) {
  m_counters.incompleteSamples.Add();
  const std::uint64_t arrived = framesArrived > 0 ? static_cast<std::uint64_t>(framesArrived) : 0;
  if (framesExpected != kNoSample && framesExpected > arrived) m_counters.framesMissing.Add(framesExpected - arrived);
}

}  // namespace korv::vexatools
