// Datagram sequences through the publishing receiver: the sample assembly
// and the hooks that place payload frames into the image, with every check
// they make. Images it queues for the sender are taken out after each
// datagram.
#include <cstdint>
#include <cstring>
#include <memory>

#include "FuzzInput.hpp"
#include "FuzzLogging.hpp"
#include "korv/vexatools/AppLogger.hpp"
#include "korv/vexatools/LumoSender.hpp"
#include "korv/vexatools/Vexa2LumoReceiver.hpp"

namespace {

using korv::vexatools::LumoImage;
using korv::vexatools::LumoSender;

constexpr int kWidth = 8, kHeight = 8, kBytesPerPixel = 2;

class FedReceiver : public korv::vexatools::Vexa2LumoReceiver {
 public:
  FedReceiver() : Vexa2LumoReceiver("127.0.0.1", 0, "", kWidth, kHeight, kBytesPerPixel) {}

  // Hands one datagram over as if it had just been received. False when
  // reception has ended.
  bool Feed(std::span<const std::uint8_t> datagram) {
    const std::size_t bytes = std::min(datagram.size(), m_receiveBuffer.size());
    std::memcpy(m_receiveBuffer.data(), datagram.data(), bytes);
    m_nextWanted = false;
    ReceivePacket({}, bytes);
    // An open image never holds more bytes than it has.
    VEXA_FUZZ_CHECK(!image || (imageOffset >= 0 && imageOffset <= image->GetSize()));
    return m_nextWanted;
  }

 protected:
  void Wait() override { m_nextWanted = true; }

 private:
  bool m_nextWanted = false;
};

// Takes the queued images out; each is a whole image of the configured size.
void TakeQueuedImages() {
  std::shared_ptr<LumoImage> image;
  while (LumoSender::spsc_queue.pop(image)) {
    VEXA_FUZZ_CHECK(image->GetWidth() == kWidth && image->GetHeight() == kHeight);
    VEXA_FUZZ_CHECK(image->GetSize() == kWidth * kHeight * kBytesPerPixel);
  }
  LumoSender::new_data = false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vexafuzz::FormatAndDiscard(korv::vexatools::GetAppLogger());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  {
    FedReceiver receiver;
    vexafuzz::RecordReader input(data, size);
    while (const auto datagram = input.Next()) {
      const bool more = receiver.Feed(*datagram);
      TakeQueuedImages();
      if (!more) break;
    }
  }
  TakeQueuedImages();
  return 0;
}
