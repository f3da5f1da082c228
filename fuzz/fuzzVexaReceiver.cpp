// Datagram sequences through the reception library's sample tracker, as the
// receiver feeds it (no socket, no event loop): each record of the input is
// one received datagram, until a refused leader ends reception. The events
// stand in for the receiver's hooks and check what those would be given.
#include <cstdint>
#include <cstring>

#include "FuzzInput.hpp"
#include "SampleTracker.hpp"

namespace {

using korv::vexatools::Frame;
using korv::vexatools::JunkCause;
using korv::vexatools::ReceptionStatistics;
using korv::vexatools::SampleTracker;

class CheckingEvents final : public korv::vexatools::SampleEvents {
 public:
  // Hands one datagram over as if it had just been received. False when
  // reception has ended, so that no further datagram would be read.
  bool Feed(std::span<const std::uint8_t> datagram) {
    m_bytes = std::min(datagram.size(), sizeof m_slot);
    std::memcpy(m_slot.Bytes(), datagram.data(), m_bytes);
    m_junk = m_framed = false;
    const ReceptionStatistics before = m_tracker.Counters().Snapshot();
    const bool goesOn = m_tracker.Take(m_slot, m_bytes, *this);
    const ReceptionStatistics after = m_tracker.Counters().Snapshot();
    VEXA_FUZZ_CHECK(after.datagrams == before.datagrams + 1);
    VEXA_FUZZ_CHECK(m_junk != m_framed);
    // Junk is counted as junk and changes nothing else.
    if (m_junk) VEXA_FUZZ_CHECK(after.Junk() == before.Junk() + 1 && after.completeSamples == before.completeSamples);
    VEXA_FUZZ_CHECK(after.Junk() <= after.datagrams && after.completeSamples <= after.datagrams);
    if (!goesOn) {
      VEXA_FUZZ_CHECK(m_fields.framesExpected == SampleTracker::kNoSample && m_fields.framesInSample == 0);
    }
    return goesOn;
  }

  void Junk(JunkCause, const Frame&, std::size_t, const std::string&) override { m_junk = true; }
  void FrameArrived(const Frame& frame, std::size_t) override {
    m_framed = true;
    CheckWithinDatagram(frame);
  }
  void LossBeforeLeader() override { VEXA_FUZZ_CHECK(m_fields.framesExpected != SampleTracker::kNoSample); }
  void LeaderArrived(const Frame& frame) override { VEXA_FUZZ_CHECK(frame.GetFrameId() == 1); }
  void DescribeLeader(const Frame& frame, const sorelif::sorelLeaderPacket& leader) override {
    VEXA_FUZZ_CHECK(frame.GetFrameId() == 1 && leader.getCommonHeaderExtensionLength() == 0);
    m_sink = leader.GetPayloadDataUnits();
  }
  void LeaderRefused(const std::string& reason) override { VEXA_FUZZ_CHECK(!reason.empty()); }
  void LeaderAccepted() override {
    VEXA_FUZZ_CHECK(m_fields.framesInSample == 1 && m_fields.packetsReceived == 1);
    VEXA_FUZZ_CHECK(m_fields.sampleId == m_fields.currentSampleId);
    m_sink = m_tracker.Leader().GetPayloadDataUnits();
  }
  void Trailer(const Frame& trailer, bool incomplete) override {
    VEXA_FUZZ_CHECK(trailer.GetFrameId() == trailer.GetFrameCount());
    VEXA_FUZZ_CHECK(incomplete == (m_fields.framesInSample < int{trailer.GetFrameCount()}));
    // Now and then a subclass's own finding, as the publishing receiver reports it.
    if (m_slot.Bytes()[m_bytes - 1] & 1) m_tracker.ReportSampleOutcome(!incomplete, incomplete ? 1 : 0);
  }
  void Payload(Frame& frame) override {
    VEXA_FUZZ_CHECK(frame.GetFrameId() > 1 && frame.GetFrameId() < frame.GetFrameCount());
    VEXA_FUZZ_CHECK(frame.GetSampleId() == m_fields.sampleId);
  }
  void OtherSampleFrame(const Frame& frame) override {
    VEXA_FUZZ_CHECK(frame.GetFrameId() != 1 && frame.GetFrameId() != frame.GetFrameCount());
    VEXA_FUZZ_CHECK(frame.GetSampleId() != m_fields.sampleId);
  }

 private:
  // No event sees a payload size beyond the bytes that arrived.
  void CheckWithinDatagram(const Frame& frame) {
    VEXA_FUZZ_CHECK(Frame::kHeaderSize + frame.GetPayloadSize() <= m_bytes);
    unsigned sum = 0;
    for (std::size_t i = 0; i < frame.GetPayloadSize(); ++i) sum += frame.GetPayload()[i];
    m_sink = sum;
  }

  korv::vexatools::OwnSampleFields m_fields;
  SampleTracker m_tracker{m_fields.Fields()};
  korv::vexatools::ReceiveSlot m_slot;
  std::size_t m_bytes = 0;
  bool m_junk = false;
  bool m_framed = false;
  volatile unsigned m_sink = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  CheckingEvents events;
  vexafuzz::RecordReader input(data, size);
  while (const auto datagram = input.Next()) {
    if (!events.Feed(*datagram)) break;
  }
  return 0;
}
