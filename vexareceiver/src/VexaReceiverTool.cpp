#include "VexaReceiverTool.hpp"

#include <chrono>
#include <iostream>
#include <utility>

namespace korv::vexatools {
namespace {

constexpr double kProgressInterval = 10.0;  // seconds between progress dots

double NowInSeconds() {
  const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
  return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(sinceEpoch).count()) / 1e9;
}

}  // namespace

VexaReceiverTool::VexaReceiverTool(std::string address, int port, std::string networkInterface, int width,
                                   int height, int bytesPerPixel, std::uint32_t sampleLimit)
    : VexaReceiver(std::move(address), port, std::move(networkInterface), width, height, bytesPerPixel,
                   kBufferedSamples),
      m_sampleLimit(sampleLimit) {}

void VexaReceiverTool::HandleLeaderPacket() {
  const double now = NowInSeconds();
  if (now - m_lastProgressTime > kProgressInterval) {
    std::cout << ".";
    m_lastProgressTime = now;
  }
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
