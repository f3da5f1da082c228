#include "vexatools/testsupport/Junk.hpp"

#include <algorithm>
#include <cstdint>

namespace vexatools::testsupport {

namespace {

// `size` bytes, the first `randomPart` of them random and the rest zero.
Datagram RandomBytes(std::mt19937& random, std::size_t size, std::size_t randomPart = SIZE_MAX) {
  Datagram datagram(size);
  for (std::size_t i = 0; i < std::min(size, randomPart); ++i) datagram[i] = static_cast<unsigned char>(random());
  return datagram;
}

void SetWord(Datagram& datagram, std::size_t offset, unsigned value) {
  datagram[offset] = static_cast<unsigned char>(value >> 8);
  datagram[offset + 1] = static_cast<unsigned char>(value);
}

}  // namespace

// Header offsets: frame id 24, frame count 26, payload size 28; the SOREL
// packet starts at 32.
Datagram JunkDatagram(std::mt19937& random, int kind) {
  if (kind == 0) return RandomBytes(random, random() % 32);
  // Dropped for its size alone: only its header needs to be random.
  if (kind == 1) return RandomBytes(random, 8973 + random() % 600, 64);
  Datagram datagram = RandomBytes(random, 40 + random() % 200);
  const unsigned payload = static_cast<unsigned>(datagram.size() - 32);
  SetWord(datagram, 28, payload);
  switch (kind) {
    case 2: SetWord(datagram, 24, 0); break;
    case 3: SetWord(datagram, 26, random() % 2); break;
    case 4:
      SetWord(datagram, 26, 2);
      SetWord(datagram, 24, 3 + random() % 60000);
      break;
    default:
      SetWord(datagram, 24, 1);
      SetWord(datagram, 26, 2 + random() % 1000);
      if (kind == 5) datagram[32] = static_cast<unsigned char>(2 + random() % 254);
      if (kind == 6) datagram[32] = 1, SetWord(datagram, 34, payload);
      if (kind == 7) datagram.resize(32 + random() % 8), SetWord(datagram, 28, unsigned(datagram.size() - 32));
  }
  return datagram;
}

}  // namespace vexatools::testsupport
