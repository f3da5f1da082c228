#include "vexasim/SampleFrames.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>
#include <string>

namespace korv::vexasim {
namespace {

constexpr std::uint8_t kSimulatorSource = 1;

// 0, 1, ..., 255, 0, 1, ..., 255: any run of up to 256 consecutive byte
// values (mod 256) is a slice of it.
constexpr auto kRamp = [] {
  std::array<unsigned char, 512> ramp{};
  for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<unsigned char>(i);
  return ramp;
}();

// A payload frame carries at least one pixel, and the leader fits in the
// same packet size (68 bytes with the Basic Image Info).
void CheckPacketSize(const SampleLayout& layout) {
  if (layout.packetSize < kMinPacketSize || layout.packetSize > kMaxFrameSize) {
    throw std::invalid_argument("Packet size " + std::to_string(layout.packetSize) + " must be between " +
                                std::to_string(kMinPacketSize) + " and " + std::to_string(kMaxFrameSize) + " bytes");
  }
  const std::size_t leaderSize =
      plexoif::kPlexoHeaderSize + sorelif::kLeaderSize + (layout.extendedInfo ? sorelif::kBasicImageInfoSize : 0);
  if (leaderSize > layout.packetSize) {
    throw std::invalid_argument("Packet size " + std::to_string(layout.packetSize) + " is too small for a leader of " +
                                std::to_string(leaderSize) + " bytes");
  }
  if (static_cast<std::size_t>(layout.bytesPerPixel) > layout.packetSize - kPayloadFrameOverhead) {
    throw std::invalid_argument("Packet size " + std::to_string(layout.packetSize) + " has no room for a pixel of " +
                                std::to_string(layout.bytesPerPixel) + " bytes");
  }
}

}  // namespace

// Within one 256-byte-aligned block of the sample, byteIndex >> 8 is fixed,
// so the pattern counts up by one per byte: each block is one copy from the ramp.
void FillPattern(std::uint32_t sampleId, std::uint64_t firstByte, unsigned char* out, std::size_t count) {
  std::uint64_t position = firstByte;
  while (count > 0) {
    const std::size_t run = std::min<std::size_t>(256 - (position & 0xFF), count);
    std::memcpy(out, kRamp.data() + PatternByte(sampleId, position), run);
    out += run;
    position += run;
    count -= run;
  }
}

SampleFrames::SampleFrames(const SampleLayout& layout) : m_layout(layout) {
  if (layout.width <= 0 || layout.height <= 0 || layout.bytesPerPixel <= 0 ||
      static_cast<std::size_t>(layout.bytesPerPixel) > kMaxPayloadDataBytes) {
    throw std::invalid_argument("Sample geometry must be positive: width " + std::to_string(layout.width) +
                                ", height " + std::to_string(layout.height) + ", bytes per pixel " +
                                std::to_string(layout.bytesPerPixel));
  }
  CheckPacketSize(layout);
  const std::uint64_t units = std::uint64_t(layout.width) * std::uint64_t(layout.height);
  if (units > UINT32_MAX) throw std::invalid_argument("Sample has more than 2^32 - 1 pixels");
  m_dataUnits = static_cast<std::uint32_t>(units);
  m_sampleBytes = units * std::uint64_t(layout.bytesPerPixel);
  m_unitsPerFrame = static_cast<std::uint32_t>((layout.packetSize - kPayloadFrameOverhead) / layout.bytesPerPixel);
  const std::uint64_t payloadFrames = (units + m_unitsPerFrame - 1) / m_unitsPerFrame;
  if (payloadFrames + 2 > UINT16_MAX) {
    throw std::invalid_argument("Sample of " + std::to_string(m_sampleBytes) +
                                " bytes needs more than 65535 frames");
  }
  m_frameCount = static_cast<std::uint16_t>(payloadFrames + 2);
  // Pixels are written as bytes in memory order of this (little-endian) host.
  m_frameInfo = sorelif::MakeFrameInfo(sorelif::sorelEndianness::Little, kSimulatorSource);
}

std::uint32_t SampleFrames::UnitsInFrame(std::uint16_t frameId) const {
  if (frameId < 2 || frameId >= m_frameCount) return 0;
  const std::uint64_t first = std::uint64_t(frameId - 2) * m_unitsPerFrame;
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(m_unitsPerFrame, m_dataUnits - first));
}

void SampleFrames::WriteHeader(unsigned char* out, std::uint32_t sampleId, std::uint16_t frameId,
                               std::uint16_t frameCount, std::uint16_t payloadSize) const {
  plexoif::PlexoHeaderFields fields;
  fields.topicId = m_layout.topicId;
  fields.componentId = m_layout.componentId;
  fields.version = m_layout.version;
  fields.sampleId = sampleId;
  fields.frameId = frameId;
  fields.frameCount = frameCount;
  fields.payloadSize = payloadSize;
  plexoif::EncodePlexoHeader(out, fields);
}

std::size_t SampleFrames::BuildFrame(std::uint32_t sampleId, std::uint16_t frameId, std::span<unsigned char> out,
                                     double timestamp) const {
  if (out.size() < kMaxFrameSize) throw std::length_error("Frame buffer smaller than a PLEXO frame");
  if (frameId == 0 || frameId > m_frameCount) throw std::out_of_range("No such frame: " + std::to_string(frameId));
  if (frameId == 1) return BuildLeader(sampleId, out, timestamp);
  if (frameId == m_frameCount) return BuildTrailer(sampleId, out);
  return BuildPayload(sampleId, frameId, out);
}

std::size_t SampleFrames::BuildLeader(std::uint32_t sampleId, std::span<unsigned char> out, double timestamp) const {
  std::optional<sorelif::BasicImageInfo> info;
  if (m_layout.extendedInfo) {
    info = sorelif::BasicImageInfo{timestamp, m_layout.dataType, m_layout.width, m_layout.height, 0, 0};
  }
  const std::size_t size = sorelif::EncodeLeader(out.subspan(plexoif::kPlexoHeaderSize), m_frameInfo, m_dataUnits, info);
  WriteHeader(out.data(), sampleId, 1, m_frameCount, static_cast<std::uint16_t>(size));
  return plexoif::kPlexoHeaderSize + size;
}

std::size_t SampleFrames::BuildPayload(std::uint32_t sampleId, std::uint16_t frameId,
                                       std::span<unsigned char> out) const {
  const std::uint32_t units = UnitsInFrame(frameId);
  const std::size_t dataBytes = std::size_t{units} * m_layout.bytesPerPixel;
  auto packet = out.subspan(plexoif::kPlexoHeaderSize);
  sorelif::EncodePayloadHeader(packet, m_frameInfo, static_cast<std::uint16_t>(units));
  unsigned char* data = packet.data() + sorelif::kPayloadHeaderSize;
  const std::uint64_t firstByte = std::uint64_t(frameId - 2) * m_unitsPerFrame * m_layout.bytesPerPixel;
  FillPattern(sampleId, firstByte, data, dataBytes);
  const std::size_t size = sorelif::kPayloadHeaderSize + dataBytes;
  WriteHeader(out.data(), sampleId, frameId, m_frameCount, static_cast<std::uint16_t>(size));
  return plexoif::kPlexoHeaderSize + size;
}

std::size_t SampleFrames::BuildTrailer(std::uint32_t sampleId, std::span<unsigned char> out) const {
  const std::size_t size = sorelif::EncodeTrailer(out.subspan(plexoif::kPlexoHeaderSize), m_frameInfo);
  WriteHeader(out.data(), sampleId, m_frameCount, m_frameCount, static_cast<std::uint16_t>(size));
  return plexoif::kPlexoHeaderSize + size;
}

std::vector<std::vector<unsigned char>> SampleFrames::BuildSample(std::uint32_t sampleId, double timestamp) const {
  std::vector<std::vector<unsigned char>> frames;
  frames.reserve(m_frameCount);
  std::vector<unsigned char> buffer(kMaxFrameSize);
  for (std::uint16_t frameId = 1; frameId <= m_frameCount; ++frameId) {
    const std::size_t size = BuildFrame(sampleId, frameId, buffer, timestamp);
    frames.emplace_back(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(size));
  }
  return frames;
}

}  // namespace korv::vexasim
