#include "VexaReceiverTool.hpp"

#include <iostream>
#include <utility>

namespace korv::vexatools {

VexaReceiverTool::VexaReceiverTool(std::string address, int port, std::string networkInterface, int width,
                                   int height, int bytesPerPixel, std::uint32_t sampleLimit)
    : VexaReceiver(std::move(address), port, std::move(networkInterface), width, height, bytesPerPixel,
                   kBufferedSamples),
      m_sampleLimit(sampleLimit) {}

void VexaReceiverTool::HandleLeaderPacket() {
  if (m_progressDots.Allow()) std::cout << ".";
  ++m_receivedSamples;
  ++m_receivedPackets;
}

void VexaReceiverTool::HandlePayloadPacket(plexoif::plexoPacketBase<8940>& /*packet*/) {
  // Frames of a sample that was under way before the first leader are not counted.
  if (m_receivedSamples != 0) ++m_receivedPackets;
}

void VexaReceiverTool::HandleTrailerPacket() {
  if (m_receivedSamples == 0) return;
  ++m_receivedPackets;
  if (m_receivedSamples >= m_sampleLimit) {
    m_sampleLimitReached = true;
    StopReceiver();
  }
}

void VexaReceiverTool::HandleLostPackets() {
  if (m_receivedSamples == 0) return;
  ++m_lostPackets;
  // Several loss reports for one sample count it once.
  if (GetCurrentSampleId() != m_lastLostSampleId) {
    ++m_lostSamples;
    m_lastLostSampleId = GetCurrentSampleId();
  }
}

}  // namespace korv::vexatools
