// Decides, sample by sample, which datagrams the simulator sends: the
// frames of the sample in order, minus the ones fault injection drops, plus
// the duplicates, foreign frames and junk it adds. Knows nothing of sockets,
// so the fault injection can be checked without a network.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <span>
#include <vector>

#include "vexasim/SampleFrames.hpp"

namespace korv::vexasim {

// Fault injection settings. An "every" value N affects the Nth, 2Nth, ...
// sample of a run (counting the first sample sent as 1); 0 turns it off.
struct FaultSettings {
  double dropProbability = 0.0;  // each payload frame is dropped with this probability
  std::uint64_t seed = 1;        // seed of the drop decisions: same seed, same drops
  std::uint64_t dropLeaderEvery = 0;
  std::uint64_t dropTrailerEvery = 0;
  std::uint64_t duplicateEvery = 0;     // frame 2 is sent twice
  std::uint64_t foreignEvery = 0;       // frame 2 of a foreign sample follows frame 2
  std::uint64_t junkShortEvery = 0;     // a datagram shorter than a PLEXO header
  std::uint64_t junkLongEvery = 0;      // a datagram longer than the largest frame
  std::uint64_t junkTruncatedEvery = 0; // a frame whose payloadSize exceeds the datagram

  bool Any() const;
};

// What the faults did, summed over samples.
struct FaultCounters {
  std::uint64_t droppedPayloadFrames = 0;
  std::uint64_t droppedLeaders = 0;
  std::uint64_t droppedTrailers = 0;
  std::uint64_t duplicatedFrames = 0;
  std::uint64_t foreignFrames = 0;
  std::uint64_t junkDatagrams = 0;

  FaultCounters& operator+=(const FaultCounters& other);
  bool operator==(const FaultCounters&) const = default;
};

enum class DatagramKind : std::uint8_t {
  Frame,          // frame `frameId` of sample `sampleId`, as SampleFrames builds it
  JunkShort,      // the first kJunkShortSize bytes of a payload frame header
  JunkLong,       // kJunkLongSize bytes: a payload frame header, then filler
  JunkTruncated,  // the first kJunkTruncatedSize bytes of payload frame 2, announcing a full payload area
};

inline constexpr std::size_t kJunkShortSize = 20;
inline constexpr std::size_t kJunkLongSize = 9000;
inline constexpr std::size_t kJunkTruncatedSize = 64;
// Room every datagram buffer needs.
inline constexpr std::size_t kMaxDatagramSize = kJunkLongSize;

struct PlannedDatagram {
  DatagramKind kind = DatagramKind::Frame;
  std::uint32_t sampleId = 0;
  std::uint16_t frameId = 0;

  bool operator==(const PlannedDatagram&) const = default;
};

// The foreign sample whose frame is interleaved into `sampleId`: an
// identifier the stream does not reach for 2^31 samples.
constexpr std::uint32_t ForeignSampleId(std::uint32_t sampleId) { return sampleId ^ 0x80000000u; }

// The fault decisions, one sample or frame at a time. The simulator's own
// samples and replayed captures take them from here alike.
class FaultInjector {
 public:
  explicit FaultInjector(const FaultSettings& faults);

  const FaultSettings& Settings() const { return m_faults; }
  // `sampleNumber` counts the samples of the run from 1.
  bool DropsLeader(std::uint64_t sampleNumber) const;
  bool DropsTrailer(std::uint64_t sampleNumber) const;
  // The next drop decision of the random sequence: one per payload frame, in sending order.
  bool DropPayloadFrame();
  // Appends the extra datagrams that follow the first payload frame
  // (`firstPayloadFrameId`) of a sample, in their order, and counts them.
  void AddExtras(std::uint64_t sampleNumber, std::uint32_t sampleId, std::uint16_t firstPayloadFrameId,
                 bool firstPayloadDropped, std::vector<PlannedDatagram>& plan, FaultCounters& faults) const;

 private:
  FaultSettings m_faults;
  std::mt19937_64 m_random;
};

class FrameScheduler {
 public:
  FrameScheduler(std::uint16_t frameCount, const FaultSettings& faults);

  // Replaces `plan` with the datagrams of the sample with 0-based position
  // `sampleIndex` in the run and identifier `sampleId`, in sending order, and
  // returns what fault injection did to it. Call once per sample, in order:
  // the drop decisions come from one random sequence.
  FaultCounters PlanSample(std::uint64_t sampleIndex, std::uint32_t sampleId, std::vector<PlannedDatagram>& plan);

 private:
  std::uint16_t m_frameCount;
  FaultInjector m_faults;
};

// Turns the frame in buffer[0, frameLength) into the datagram `kind` made
// from it, in place, and returns the new length: the junk kinds as the
// simulator sends them, or for Frame the frame with its sample id set to
// `sampleId` (a duplicate, or a foreign frame). `buffer` holds at least
// kMaxDatagramSize bytes; the frame has a whole PLEXO header.
std::size_t DeriveFromFrame(DatagramKind kind, std::uint32_t sampleId, std::span<unsigned char> buffer,
                            std::size_t frameLength);

// Writes `datagram` into `out` (at least kMaxDatagramSize bytes) and
// returns its length. `timestamp` goes into extended leaders.
std::size_t RenderDatagram(const SampleFrames& frames, const PlannedDatagram& datagram, std::span<unsigned char> out,
                           double timestamp);

}  // namespace korv::vexasim
