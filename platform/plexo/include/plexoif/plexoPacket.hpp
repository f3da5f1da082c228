// One PLEXO frame as a value: a 32-byte big-endian header followed by a
// payload area. Senders use EncodePlexoHeader to write a header.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "korv/fnd/BigEndian.hpp"

namespace plexoif {

inline constexpr std::size_t kPlexoHeaderSize = 32;

// Byte offsets of the header fields the system interprets.
enum PlexoHeaderOffset : std::size_t {
  kTopicIdOffset = 0,
  kComponentIdOffset = 4,
  kVersionOffset = 10,
  kSampleIdOffset = 12,
  kFrameIdOffset = 24,
  kFrameCountOffset = 26,
  kPayloadSizeOffset = 28,
};

template <std::size_t PayloadCapacity>
class plexoPacketBase {
 public:
  static constexpr std::size_t kHeaderSize = kPlexoHeaderSize;
  static constexpr std::size_t kPayloadCapacity = PayloadCapacity;
  static constexpr std::size_t kCapacity = kHeaderSize + PayloadCapacity;

  // Leaves the bytes uninitialised, like a receive buffer.
  plexoPacketBase() = default;

  // Copies a received datagram. Bytes beyond `length` stay uninitialised.
  plexoPacketBase(const unsigned char* data, std::size_t length) {
    if (length > kCapacity) throw std::overflow_error("Input data too large for PLEXO packet");
    std::memcpy(m_bytes, data, length);
  }

  // Copies the header and the payload bytes the header announces, plus two;
  // the sum wraps at 16 bits and never exceeds the payload area.
  plexoPacketBase(const plexoPacketBase& other) { CopyFrom(other); }
  plexoPacketBase& operator=(const plexoPacketBase& other) {
    if (this != &other) CopyFrom(other);
    return *this;
  }

  std::uint32_t GetTopicId() const { return korv::fnd::LoadBig<std::uint32_t>(m_bytes + kTopicIdOffset); }
  std::uint16_t GetComponentId() const { return korv::fnd::LoadBig<std::uint16_t>(m_bytes + kComponentIdOffset); }
  std::uint16_t GetVersion() const { return korv::fnd::LoadBig<std::uint16_t>(m_bytes + kVersionOffset); }
  std::uint32_t GetSampleId() const { return korv::fnd::LoadBig<std::uint32_t>(m_bytes + kSampleIdOffset); }
  std::uint16_t GetFrameId() const { return korv::fnd::LoadBig<std::uint16_t>(m_bytes + kFrameIdOffset); }
  std::uint16_t GetFrameCount() const { return korv::fnd::LoadBig<std::uint16_t>(m_bytes + kFrameCountOffset); }
  std::uint16_t GetPayloadSize() const { return korv::fnd::LoadBig<std::uint16_t>(m_bytes + kPayloadSizeOffset); }

  const unsigned char* GetPayload() const { return m_bytes + kHeaderSize; }
  unsigned char* GetPayload() { return m_bytes + kHeaderSize; }
  const unsigned char* GetData() const { return m_bytes; }

 private:
  void CopyFrom(const plexoPacketBase& other) {
    const auto announced = static_cast<std::uint16_t>(other.GetPayloadSize() + 2);
    const std::size_t payloadBytes = std::min<std::size_t>(announced, kPayloadCapacity);
    std::memcpy(m_bytes, other.m_bytes, kHeaderSize + payloadBytes);
  }

  unsigned char m_bytes[kCapacity];
};

using plexoPacketJumbo = plexoPacketBase<8940>;

// Header fields a sender writes; uninterpreted bytes are written as zero.
struct PlexoHeaderFields {
  std::uint32_t topicId = 0;
  std::uint16_t componentId = 0;
  std::uint16_t version = 1;
  std::uint32_t sampleId = 0;
  std::uint16_t frameId = 0;
  std::uint16_t frameCount = 0;
  std::uint16_t payloadSize = 0;
};

// Writes a 32-byte header at `out`, which must have room for it.
inline void EncodePlexoHeader(unsigned char* out, const PlexoHeaderFields& fields) {
  std::memset(out, 0, kPlexoHeaderSize);
  korv::fnd::StoreBig<std::uint32_t>(out + kTopicIdOffset, fields.topicId);
  korv::fnd::StoreBig<std::uint16_t>(out + kComponentIdOffset, fields.componentId);
  korv::fnd::StoreBig<std::uint16_t>(out + kVersionOffset, fields.version);
  korv::fnd::StoreBig<std::uint32_t>(out + kSampleIdOffset, fields.sampleId);
  korv::fnd::StoreBig<std::uint16_t>(out + kFrameIdOffset, fields.frameId);
  korv::fnd::StoreBig<std::uint16_t>(out + kFrameCountOffset, fields.frameCount);
  korv::fnd::StoreBig<std::uint16_t>(out + kPayloadSizeOffset, fields.payloadSize);
}

}  // namespace plexoif
