// Describes a sample from its leader frame in a block of DEBUG records.
#pragma once

#include "korv/vexatools/Export.hpp"
#include "plexoif/plexoPacket.hpp"
#include "sorelif/sorelPackets.hpp"

namespace korv::vexatools {

// Writes eleven DEBUG records through the application logger: frame count,
// topic, component and version from the frame header, endianness, simulation
// source and payload data units from the leader, and the payload in bytes
// (data units x bytesPerPixel, 32-bit). Writes nothing and calls no getter
// when DEBUG is off. Exceptions from logging or the getters pass through.
KORV_VEXATOOLS_EXPORT void PrintPacketInfo(plexoif::plexoPacketBase<8940> packet, sorelif::sorelLeaderPacket& leader,
                                           int bytesPerPixel);

}  // namespace korv::vexatools
