// What a VexaReceiver received and why data was lost, as counted on its
// receive path. Counters are totals since StartReceiver began.
#pragma once

#include <atomic>
#include <cstdint>

namespace korv::vexatools {

// One consistent-enough copy of the counters, taken from any thread.
struct ReceptionStatistics {
  std::uint64_t datagrams = 0;  // datagrams read from the socket, junk included
  std::uint64_t bytes = 0;      // their bytes
  std::uint64_t completeSamples = 0;    // samples whose trailer found every frame
  std::uint64_t incompleteSamples = 0;  // samples closed with frames missing, or whose leader never came
  std::uint64_t framesMissing = 0;      // frames of those samples that never arrived (a leaderless sample counts 1)
  std::uint64_t otherSampleFrames = 0;  // frames of another sample than the one being assembled
  std::uint64_t junkShort = 0;          // datagrams shorter than a frame header
  std::uint64_t junkOversize = 0;       // datagrams longer than the largest frame
  // Impossible frame headers, malformed leaders, trailers of no sample that
  // arrived or with another frame count than their leader's, payload frames
  // that do not fit the image (publisher).
  std::uint64_t junkMalformed = 0;
  std::uint64_t socketDrops = 0;        // datagrams the kernel dropped because the socket buffer was full
  // Socket receive buffer as the kernel counts it (what getsockopt reports):
  // what bufferedSamples whole samples need, and what is in force.
  std::uint64_t receiveBufferWanted = 0;
  std::uint64_t receiveBufferInForce = 0;
  std::uint64_t duplicateLeaders = 0;  // repeated leaders of the sample being assembled

  std::uint64_t Junk() const { return junkShort + junkOversize + junkMalformed; }
};

// A counter with one writer (the receive thread) and any number of readers.
// The writer's increment is a plain load and store, no locked instruction.
class RelaxedCounter {
 public:
#ifndef VEXA_COUNTERS_COMPILED_OUT
  void Add(std::uint64_t amount = 1) {
    m_value.store(m_value.load(std::memory_order_relaxed) + amount, std::memory_order_relaxed);
  }
#else
  // Only in the receiver benchmark's baseline copy of the library, which
  // measures what counting costs.
  void Add(std::uint64_t = 1) {}
#endif
  void Set(std::uint64_t value) { m_value.store(value, std::memory_order_relaxed); }
  std::uint64_t Get() const { return m_value.load(std::memory_order_relaxed); }

 private:
  std::atomic<std::uint64_t> m_value{0};
};

// The counters a receiver keeps, written only on its receive thread.
struct ReceptionCounters {
  RelaxedCounter datagrams, bytes, completeSamples, incompleteSamples, framesMissing, otherSampleFrames, junkShort,
      junkOversize, junkMalformed, receiveBufferWanted, receiveBufferInForce, duplicateLeaders;

  ReceptionStatistics Snapshot() const {
    ReceptionStatistics s;
    s.datagrams = datagrams.Get();
    s.bytes = bytes.Get();
    s.completeSamples = completeSamples.Get();
    s.incompleteSamples = incompleteSamples.Get();
    s.framesMissing = framesMissing.Get();
    s.otherSampleFrames = otherSampleFrames.Get();
    s.junkShort = junkShort.Get();
    s.junkOversize = junkOversize.Get();
    s.junkMalformed = junkMalformed.Get();
    s.receiveBufferWanted = receiveBufferWanted.Get();
    s.receiveBufferInForce = receiveBufferInForce.Get();
    s.duplicateLeaders = duplicateLeaders.Get();
    return s;
  }
};

}  // namespace korv::vexatools
