// The sample receiver of the publisher tool: assembles every complete sample
// into a LumoImage and queues it for the LumoSender.
//
// The leader creates the image, each payload frame copies its data units
// into it, and the trailer queues it when the sample is whole: the trailer
// carries the leader's sample id, every payload frame arrived once, and
// together they wrote exactly the image's bytes. Nothing else is ever
// queued, so no image goes out with a byte that no frame wrote. Frames that
// do not fit the image are dropped, with an ERROR at most once per second
// for each kind of fault, and reception goes on.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "korv/fnd/LogThrottle.hpp"
#include "korv/vexatools/Export.hpp"
#include "korv/vexatools/LumoImage.hpp"
#include "korv/vexatools/ReceptionStatistics.hpp"
#include "korv/vexatools/VexaReceiver.hpp"

namespace korv::vexatools {

class KORV_VEXATOOLS_EXPORT Vexa2LumoReceiver : public VexaReceiver {
 public:
  // The socket buffer holds three whole images. Throws std::invalid_argument
  // when the image would be empty (width, height or bytes per pixel below 1)
  // or larger than a 32-bit int, or for a port outside 0 to 65535.
  Vexa2LumoReceiver(std::string address, int port, std::string networkInterface, int width, int height,
                    int bytesPerPixel);
  // Stop reception and join its thread first.
  ~Vexa2LumoReceiver() override;

  // Complete images dropped because the hand-over ring to the sender was
  // full; from any thread.
  std::uint64_t GetRingDrops() const { return m_ringDrops.Get(); }

 protected:
  void HandleLeaderPacket() override;
  void HandlePayloadPacket(plexoif::plexoPacketBase<8940>& packet) override;
  void HandleTrailerPacket() override;
  void HandleLostPackets() override;

  // The image of the sample being assembled; empty when none is open.
  std::shared_ptr<LumoImage> image;
  // Bytes written into `image` so far. 64 bits: a last frame that overlaps
  // the others may carry the sum past the image size before the trailer
  // refuses the sample.
  std::int64_t imageOffset = 0;

 private:
  enum class Assembly {
    WaitingForLeader,  // no leader yet
    Assembling,        // `image` is open
    Closed,            // its trailer came, or a loss was reported at it
    Refused,           // the leader announced another image size
  };
  enum Fault { kBeforeLeader, kAfterTrailer, kFrameNumber, kOutsideImage, kMalformed, kForeignTrailer, kIncomplete, kGeometry,
               kFaultKinds };

  // Where in the image a payload frame of `length` bytes goes, or -1 when it
  // does not fit.
  std::int64_t Placement(std::uint16_t frameId, std::size_t length);
  std::int64_t PlaceLastFrame(std::size_t length);
  // Queues the image at its own trailer when it is whole; else drops it.
  void CloseAtTrailer();
  bool SampleComplete() const;
  void CloseImage();
  // True when an ERROR about `fault` may be logged now (at most once a second).
  bool MayLog(Fault fault) { return m_faultLog[fault].Allow(); }
  void CountRingDrop();

  Assembly m_assembly = Assembly::WaitingForLeader;
  std::uint32_t m_imageSampleId = 0;
  std::uint16_t m_imageFrameCount = 0;
  // Indexed by frame id: which payload frames of the open image arrived.
  std::vector<bool> m_frameArrived;
  int m_payloadFramesArrived = 0;
  // Length of every payload frame but the last, set by the first to arrive.
  std::optional<std::size_t> m_payloadFrameLength;
  korv::fnd::LogThrottle m_faultLog[kFaultKinds];
  RelaxedCounter m_ringDrops;
  korv::fnd::LogThrottle m_ringDropLog{std::chrono::seconds(10)};
};

}  // namespace korv::vexatools
