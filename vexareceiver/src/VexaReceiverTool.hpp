// The receiver tool's receiver: counts samples and packets in the hooks and
// stops after the requested number of complete samples.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "korv/fnd/LogThrottle.hpp"
#include "korv/vexatools/VexaReceiver.hpp"

namespace korv::vexatools {

class VexaReceiverTool : public VexaReceiver {
 public:
  // Socket receive buffer depth in whole samples.
  static constexpr int kBufferedSamples = 3;

  VexaReceiverTool(std::string address, int port, std::string networkInterface, int width, int height,
                   int bytesPerPixel, std::uint32_t sampleLimit);

  std::uint32_t GetReceivedSamples() const { return m_receivedSamples; }
  std::uint32_t GetLostSamples() const { return m_lostSamples; }
  std::uint32_t GetReceivedPackets() const { return m_receivedPackets; }
  std::uint32_t GetLostPackets() const { return m_lostPackets; }
  // True once the requested number of complete samples arrived and the tool
  // stopped reception; false when reception ended before that.
  bool SampleLimitReached() const { return m_sampleLimitReached; }

 protected:
  void HandleLeaderPacket() override;
  void HandlePayloadPacket(plexoif::plexoPacketBase<8940>& packet) override;
  void HandleTrailerPacket() override;
  void HandleLostPackets() override;

 private:
  std::uint32_t m_sampleLimit;
  std::uint32_t m_receivedSamples = 0;
  std::uint32_t m_lostSamples = 0;
  std::uint32_t m_receivedPackets = 0;
  std::uint32_t m_lostPackets = 0;
  std::uint32_t m_lastLostSampleId = 0xFFFFFFFF;
  // A dot for the first leader, then at most one per 10 s (steady clock).
  korv::fnd::LogThrottle m_progressDots{std::chrono::seconds(10)};
  bool m_sampleLimitReached = false;
};

}  // namespace korv::vexatools
