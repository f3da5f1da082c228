// Builds the PLEXO frames of one VEXA sample: a leader, payload frames that
// carry the pixel bytes, and a trailer. Used by the stream simulator and by
// tests that need a real stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "plexoif/plexoPacket.hpp"
#include "sorelif/sorelPackets.hpp"

namespace korv::vexasim {

inline constexpr std::size_t kMaxFrameSize = plexoif::plexoPacketJumbo::kCapacity;  // 8972
inline constexpr std::size_t kMaxPayloadDataBytes =
    plexoif::plexoPacketJumbo::kPayloadCapacity - sorelif::kPayloadHeaderSize;  // 8932
// Headers of a payload frame: PLEXO (32 bytes) and SOREL payload (8 bytes).
inline constexpr std::size_t kPayloadFrameOverhead = plexoif::kPlexoHeaderSize + sorelif::kPayloadHeaderSize;
// The smallest datagram a payload frame may be sent in: room for 24 pixel
// bytes, three pixels of the widest type.
inline constexpr std::size_t kMinPacketSize = 64;

// Pixel byte `byteIndex` of sample `sampleId`, so that a receiver can check
// every byte it got: (byteIndex + 7 * (byteIndex >> 8) + 13 * sampleId) mod 256.
constexpr std::uint8_t PatternByte(std::uint32_t sampleId, std::uint64_t byteIndex) {
  return static_cast<std::uint8_t>(byteIndex + 7 * (byteIndex >> 8) + 13ull * sampleId);
}

// Writes PatternByte(sampleId, firstByte + i) to out[i] for i < count.
void FillPattern(std::uint32_t sampleId, std::uint64_t firstByte, unsigned char* out, std::size_t count);

struct SampleLayout {
  int width = 0;
  int height = 0;
  int bytesPerPixel = 0;
  std::uint32_t dataType = 0;    // korv::fnd::datatype::DataType value
  bool extendedInfo = false;     // leaders carry the Basic Image Info
  std::uint32_t topicId = 0x56455841;  // "VEXA"
  std::uint16_t componentId = 1;
  std::uint16_t version = 1;
  // UDP payload of a full payload frame, kMinPacketSize to kMaxFrameSize:
  // 1472 fits an MTU of 1500 without IP fragments.
  std::size_t packetSize = kMaxFrameSize;
};

class SampleFrames {
 public:
  // Throws std::invalid_argument for a non-positive geometry or element
  // size, a packet size out of range or too small for the leader, or a
  // sample that would need more than 65535 frames.
  explicit SampleFrames(const SampleLayout& layout);

  const SampleLayout& Layout() const { return m_layout; }
  std::uint64_t SampleBytes() const { return m_sampleBytes; }
  std::uint32_t DataUnits() const { return m_dataUnits; }
  std::uint16_t FrameCount() const { return m_frameCount; }
  // Data units in every payload frame but the last one.
  std::uint32_t UnitsPerFrame() const { return m_unitsPerFrame; }
  // Data units carried by payload frame `frameId` (2 .. FrameCount() - 1).
  std::uint32_t UnitsInFrame(std::uint16_t frameId) const;

  // Writes frame `frameId` (1 = leader, FrameCount() = trailer) of sample
  // `sampleId` into `out` and returns its length. `out` needs kMaxFrameSize
  // bytes. `timestamp` goes into the Basic Image Info of an extended leader.
  std::size_t BuildFrame(std::uint32_t sampleId, std::uint16_t frameId, std::span<unsigned char> out,
                         double timestamp = 0.0) const;

  // All frames of one sample, in order; convenient for tests.
  std::vector<std::vector<unsigned char>> BuildSample(std::uint32_t sampleId, double timestamp = 0.0) const;

  // Writes a frame header for `sampleId` with arbitrary fields, for tests
  // and fault injection that need frames no real sender would build.
  void WriteHeader(unsigned char* out, std::uint32_t sampleId, std::uint16_t frameId, std::uint16_t frameCount,
                   std::uint16_t payloadSize) const;

 private:
  std::size_t BuildLeader(std::uint32_t sampleId, std::span<unsigned char> out, double timestamp) const;
  std::size_t BuildPayload(std::uint32_t sampleId, std::uint16_t frameId, std::span<unsigned char> out) const;
  std::size_t BuildTrailer(std::uint32_t sampleId, std::span<unsigned char> out) const;

  SampleLayout m_layout;
  std::uint64_t m_sampleBytes = 0;
  std::uint32_t m_dataUnits = 0;
  std::uint32_t m_unitsPerFrame = 0;
  std::uint16_t m_frameCount = 0;
  std::uint8_t m_frameInfo = 0;
};

}  // namespace korv::vexasim
