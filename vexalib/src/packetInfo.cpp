#include "korv/vexatools/PacketInfo.hpp"

#include <cstdint>

#include "korv/vexatools/LogRecord.hpp"
#include "korv/vexatools/AppLogger.hpp"

namespace korv::vexatools {

void PrintPacketInfo(plexoif::plexoPacketBase<8940> packet, sorelif::sorelLeaderPacket& leader, int bytesPerPixel) {
  const log4cplus::Logger logger = GetAppLogger();
  VEXA_LOG_STREAM(logger, kDebug, "--------------------------------------------");
  VEXA_LOG_STREAM(logger, kDebug, "               INFORMATION");
  VEXA_LOG_STREAM(logger, kDebug, "--------------------------------------------");
  VEXA_LOG_STREAM(logger, kDebug,
                  "Number of PLEXO frames for one image: " << packet.GetFrameCount() << " (incl. leader and trailer)");
  VEXA_LOG_STREAM(logger, kDebug, "PLEXO topic-ID: " << packet.GetTopicId());
  VEXA_LOG_STREAM(logger, kDebug, "PLEXO component-ID: " << packet.GetComponentId());
  VEXA_LOG_STREAM(logger, kDebug, "PLEXO version: " << packet.GetVersion());
  VEXA_LOG_STREAM(logger, kDebug, "Payload endianness: " << leader.getCommonHeaderFrameInfoPayloadEndianness());
  VEXA_LOG_STREAM(logger, kDebug, "Simulation source: " << leader.getCommonHeaderFrameInfoSimSource());
  VEXA_LOG_STREAM(logger, kDebug, "Amount of payload data units: " << leader.GetPayloadDataUnits());
  // A 32-bit product, as the stream's consumers size their buffers.
  VEXA_LOG_STREAM(logger, kDebug,
                  "Total payload (bytes): " << leader.GetPayloadDataUnits() * static_cast<std::uint32_t>(bytesPerPixel));
}

}  // namespace korv::vexatools
