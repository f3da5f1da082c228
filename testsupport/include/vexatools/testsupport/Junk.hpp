// Junk datagrams for storm tests: random bytes made into one definite kind
// of datagram that no sender of a VEXA stream writes, so that a receiver
// must drop each one without counting it or touching the sample it
// assembles.
#pragma once

#include <random>

#include "vexatools/testsupport/Network.hpp"

namespace vexatools::testsupport {

// Kinds: 0 shorter than a PLEXO header, 1 longer than any frame, 2 frame 0,
// 3 a sample of fewer than two frames, 4 a frame past its sample's count,
// 5 a leader frame carrying another SOREL packet type, 6 a leader whose
// extension runs past its payload, 7 a leader frame too short for a leader.
inline constexpr int kJunkKinds = 8;

Datagram JunkDatagram(std::mt19937& random, int kind);

}  // namespace vexatools::testsupport
