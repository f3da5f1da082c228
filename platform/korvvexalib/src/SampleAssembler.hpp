// Assembles whole samples from the datagrams of a VEXA stream. Pure logic,
// no socket: the receive thread feeds it every datagram it gets.
//
// Every datagram is hostile until checked: a frame is taken only when its
// header fits the bytes received, its frame id lies within its frame count,
// and its SOREL packet parses within the payload size. A leader is accepted
// only when the sample it announces is within the size limit and its frame
// count fits that size; the first payload frame fixes the data units per
// frame (senders may send smaller frames than the largest), and every
// payload frame must then carry exactly the data units of its position.
// Memory use is bounded by the largest accepted sample, and committed as
// payload frames arrive.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "korv/fnd/LogThrottle.hpp"
#include "korv/vexalib/VexaReceiver.hpp"

namespace korv::vexalib::detail {

struct AssembledSample {
  std::uint32_t sampleId = 0;
  SampleExtInfo info;
  std::vector<std::uint8_t> payload;
};

struct AssemblerSettings {
  korv::fnd::datatype::DataType dataType = korv::fnd::datatype::Unspecified;
  ExtendedInfoMode extendedInfoMode = ExtendedInfoMode::Disabled;
  std::uint16_t componentId = 0;  // 0: any
  std::uint64_t maxSampleBytes = ReceiverConfig::kDefaultMaxSampleBytes;
  bool logEveryFrame = false;
};

class SampleAssembler {
 public:
  // Gives an empty sample to fill for the next leader, or null when none is
  // free (the sample is then counted as dropped by the caller).
  using SampleSource = std::function<std::unique_ptr<AssembledSample>()>;
  // Datagrams longer than this are rejected without a look.
  static constexpr std::size_t kMaxFrameSize = 8972;

  SampleAssembler(const AssemblerSettings& settings, SampleSource source);

  // Takes one datagram. Returns the sample it completed, or null.
  std::unique_ptr<AssembledSample> Feed(std::span<const unsigned char> datagram);

  std::uint64_t SamplesIncomplete() const { return m_samplesIncomplete.load(std::memory_order_relaxed); }
  std::uint64_t SamplesWithoutSlot() const { return m_samplesWithoutSlot.load(std::memory_order_relaxed); }
  std::uint64_t FramesRejected() const { return m_framesRejected.load(std::memory_order_relaxed); }
  std::uint64_t FramesStray() const { return m_framesStray.load(std::memory_order_relaxed); }

 private:
  struct Header;

  void OnLeader(const Header& header, std::span<const unsigned char> packet);
  void OnPayload(const Header& header, std::span<const unsigned char> packet);
  std::unique_ptr<AssembledSample> OnTrailer(const Header& header, std::span<const unsigned char> packet);
  bool BelongsToCurrent(const Header& header) const;
  bool MarkReceived(std::uint16_t frameId);
  bool LearnUnitsPerFrame(std::uint16_t frameId, std::uint64_t units);
  void AbandonCurrent();
  static void ReserveFor(std::vector<std::uint8_t>& payload, std::uint64_t sampleBytes);
  void Reject();
  void Stray();
  // Counts a sample whose leader could not be accepted; logs the reason.
  void RefuseLeader(std::uint32_t sampleId, const char* reason);

  AssemblerSettings m_settings;
  SampleSource m_source;

  // The sample being assembled.
  std::unique_ptr<AssembledSample> m_current;
  bool m_assembling = false;
  std::uint32_t m_sampleId = 0;
  std::uint16_t m_frameCount = 0;
  std::uint16_t m_framesReceived = 0;
  std::size_t m_bytesPerPixel = 0;
  std::size_t m_unitsPerFrame = 0;
  std::uint32_t m_dataUnits = 0;
  std::vector<bool> m_received;  // by frame id

  korv::fnd::LogThrottle m_refusalLog;

  std::atomic<std::uint64_t> m_samplesIncomplete{0};
  std::atomic<std::uint64_t> m_samplesWithoutSlot{0};
  std::atomic<std::uint64_t> m_framesRejected{0};
  std::atomic<std::uint64_t> m_framesStray{0};
};

}  // namespace korv::vexalib::detail
