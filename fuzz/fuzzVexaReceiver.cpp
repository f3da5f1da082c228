// Datagram sequences through the reception library's sample assembly and
// its hooks, without a socket: each record of the input is handed to
// ReceivePacket as one received datagram, until reception ends.
#include <cstdint>
#include <cstring>

#include "FuzzInput.hpp"
#include "FuzzLogging.hpp"
#include "korv/vexatools/AppLogger.hpp"
#include "korv/vexatools/VexaReceiver.hpp"

namespace {

using Frame = plexoif::plexoPacketBase<8940>;

class FedReceiver : public korv::vexatools::VexaReceiver {
 public:
  FedReceiver() : VexaReceiver("127.0.0.1", 0, "", 8, 8, 2, 1) {}

  // Hands one datagram over as if it had just been received. False when
  // reception has ended, so that no further datagram would be read.
  bool Feed(std::span<const std::uint8_t> datagram) {
    const std::size_t bytes = std::min(datagram.size(), m_receiveBuffer.size());
    std::memcpy(m_receiveBuffer.data(), datagram.data(), bytes);
    m_datagramBytes = bytes;
    m_nextWanted = false;
    ReceivePacket({}, bytes);
    return m_nextWanted;
  }

 protected:
  // Never started: nothing to arm, only the wish for the next datagram.
  void Wait() override { m_nextWanted = true; }

  void HandleLeaderPacket() override {
    VEXA_FUZZ_CHECK(CurrentFrame().GetFrameId() == 1);
    CheckWithinDatagram(CurrentFrame());
  }
  void HandlePayloadPacket(Frame& packet) override {
    VEXA_FUZZ_CHECK(packet.GetFrameId() > 1 && packet.GetFrameId() < packet.GetFrameCount());
    VEXA_FUZZ_CHECK(packet.GetSampleId() == m_sampleId);
    CheckWithinDatagram(packet);
  }
  void HandleTrailerPacket() override {
    VEXA_FUZZ_CHECK(CurrentFrame().GetFrameId() == CurrentFrame().GetFrameCount());
    VEXA_FUZZ_CHECK(m_framesInSample >= int{CurrentFrame().GetFrameCount()});
    CheckWithinDatagram(CurrentFrame());
  }
  void HandleLostPackets() override { CheckWithinDatagram(CurrentFrame()); }

 private:
  // A hook never sees a payload size beyond the bytes that arrived.
  void CheckWithinDatagram(const Frame& frame) const {
    VEXA_FUZZ_CHECK(Frame::kHeaderSize + frame.GetPayloadSize() <= m_datagramBytes);
    unsigned sum = 0;
    for (std::size_t i = 0; i < frame.GetPayloadSize(); ++i) sum += frame.GetPayload()[i];
    m_sink = sum;
  }

  std::size_t m_datagramBytes = 0;
  bool m_nextWanted = false;
  mutable volatile unsigned m_sink = 0;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vexafuzz::FormatAndDiscard(korv::vexatools::GetAppLogger());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FedReceiver receiver;
  vexafuzz::RecordReader input(data, size);
  while (const auto datagram = input.Next()) {
    if (!receiver.Feed(*datagram)) break;
  }
  return 0;
}
