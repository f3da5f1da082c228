#include "sorelif/sorelPackets.hpp"

#include <bit>
#include <cstring>
#include <stdexcept>
#include <string>

namespace sorelif {
namespace {

std::uint16_t LoadBig16(const unsigned char* p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }

std::uint32_t LoadBig32(const unsigned char* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

std::uint64_t LoadBig64(const unsigned char* p) {
  return (std::uint64_t{LoadBig32(p)} << 32) | LoadBig32(p + 4);
}

void StoreBig16(unsigned char* p, std::uint16_t v) {
  p[0] = static_cast<unsigned char>(v >> 8);
  p[1] = static_cast<unsigned char>(v);
}

void StoreBig32(unsigned char* p, std::uint32_t v) {
  StoreBig16(p, static_cast<std::uint16_t>(v >> 16));
  StoreBig16(p + 2, static_cast<std::uint16_t>(v));
}

void StoreBig64(unsigned char* p, std::uint64_t v) {
  StoreBig32(p, static_cast<std::uint32_t>(v >> 32));
  StoreBig32(p + 4, static_cast<std::uint32_t>(v));
}

void RequireType(const sorelCommonPacket& packet, std::size_t length, sorelPacketType type, const char* what) {
  if (length < kLeaderSize || packet.getCommonHeaderPacketType() != static_cast<int>(type)) {
    throw std::invalid_argument(std::string("Not a SOREL ") + what + " packet");
  }
}

void RequireRoom(std::span<unsigned char> out, std::size_t needed) {
  if (out.size() < needed) throw std::length_error("SOREL packet does not fit in the buffer");
}

void WriteCommonHeader(unsigned char* out, sorelPacketType type, std::uint8_t frameInfo, std::uint16_t extension) {
  out[0] = static_cast<unsigned char>(type);
  out[1] = frameInfo;
  StoreBig16(out + 2, extension);
}

}  // namespace

std::uint8_t MakeFrameInfo(sorelEndianness endianness, std::uint8_t simSource) {
  return static_cast<std::uint8_t>(static_cast<std::uint8_t>(endianness) | ((simSource & 0x7u) << 1));
}

sorelCommonPacket::sorelCommonPacket(const unsigned char* data, std::size_t length) : m_data(data), m_length(length) {
  if (data == nullptr || length < kCommonHeaderSize) throw std::invalid_argument("SOREL packet shorter than its header");
}

int sorelCommonPacket::getCommonHeaderPacketType() const { return m_data[0]; }
int sorelCommonPacket::getCommonHeaderFrameInfoPayloadEndianness() const { return m_data[1] & 0x1; }
int sorelCommonPacket::getCommonHeaderFrameInfoSimSource() const { return (m_data[1] >> 1) & 0x7; }
std::uint16_t sorelCommonPacket::getCommonHeaderExtensionLength() const { return LoadBig16(m_data + 2); }

sorelLeaderPacket::sorelLeaderPacket(const unsigned char* data, std::size_t length) : sorelCommonPacket(data, length) {
  RequireType(*this, length, sorelPacketType::Leader, "leader");
  if (getCommonHeaderExtensionLength() != 0) {
    throw std::length_error("SOREL leader carries " + std::to_string(getCommonHeaderExtensionLength()) +
                            " bytes of extended info");
  }
}

std::uint32_t sorelLeaderPacket::GetPayloadDataUnits() const { return LoadBig32(m_data + 4); }

sorelExtendedLeaderPacket::sorelExtendedLeaderPacket(const unsigned char* data, std::size_t length)
    : sorelCommonPacket(data, length) {
  RequireType(*this, length, sorelPacketType::Leader, "leader");
  if (kLeaderSize + getCommonHeaderExtensionLength() > length) {
    throw std::length_error("SOREL leader extension longer than the packet");
  }
}

std::uint32_t sorelExtendedLeaderPacket::GetPayloadDataUnits() const { return LoadBig32(m_data + 4); }

std::optional<BasicImageInfo> sorelExtendedLeaderPacket::GetBasicImageInfo() const {
  if (getCommonHeaderExtensionLength() < kBasicImageInfoSize) return std::nullopt;
  const unsigned char* p = m_data + kLeaderSize;
  BasicImageInfo info;
  info.timestamp = std::bit_cast<double>(LoadBig64(p));
  info.dataType = LoadBig32(p + 8);
  info.width = static_cast<std::int32_t>(LoadBig32(p + 12));
  info.height = static_cast<std::int32_t>(LoadBig32(p + 16));
  info.offsetX = static_cast<std::int32_t>(LoadBig32(p + 20));
  info.offsetY = static_cast<std::int32_t>(LoadBig32(p + 24));
  return info;
}

sorelPayloadPacket::sorelPayloadPacket(const unsigned char* data, std::size_t length, std::size_t unitSize)
    : sorelCommonPacket(data, length) {
  RequireType(*this, length, sorelPacketType::Payload, "payload");
  m_dataSize = std::size_t{GetDataUnits()} * unitSize;
  if (m_dataSize > length - kPayloadHeaderSize) {
    throw std::length_error("SOREL payload packet announces " + std::to_string(m_dataSize) + " data bytes but holds " +
                            std::to_string(length - kPayloadHeaderSize));
  }
}

std::uint16_t sorelPayloadPacket::GetDataUnits() const { return LoadBig16(m_data + 4); }

std::size_t EncodeLeader(std::span<unsigned char> out, std::uint8_t frameInfo, std::uint32_t payloadDataUnits,
                         const std::optional<BasicImageInfo>& info) {
  const std::size_t extension = info ? kBasicImageInfoSize : 0;
  RequireRoom(out, kLeaderSize + extension);
  WriteCommonHeader(out.data(), sorelPacketType::Leader, frameInfo, static_cast<std::uint16_t>(extension));
  StoreBig32(out.data() + 4, payloadDataUnits);
  if (info) {
    unsigned char* p = out.data() + kLeaderSize;
    StoreBig64(p, std::bit_cast<std::uint64_t>(info->timestamp));
    StoreBig32(p + 8, info->dataType);
    StoreBig32(p + 12, static_cast<std::uint32_t>(info->width));
    StoreBig32(p + 16, static_cast<std::uint32_t>(info->height));
    StoreBig32(p + 20, static_cast<std::uint32_t>(info->offsetX));
    StoreBig32(p + 24, static_cast<std::uint32_t>(info->offsetY));
  }
  return kLeaderSize + extension;
}

std::size_t EncodePayloadHeader(std::span<unsigned char> out, std::uint8_t frameInfo, std::uint16_t dataUnits) {
  RequireRoom(out, kPayloadHeaderSize);
  WriteCommonHeader(out.data(), sorelPacketType::Payload, frameInfo, 0);
  StoreBig16(out.data() + 4, dataUnits);
  StoreBig16(out.data() + 6, 0);
  return kPayloadHeaderSize;
}

std::size_t EncodeTrailer(std::span<unsigned char> out, std::uint8_t frameInfo) {
  RequireRoom(out, kCommonHeaderSize);
  WriteCommonHeader(out.data(), sorelPacketType::Trailer, frameInfo, 0);
  return kCommonHeaderSize;
}

}  // namespace sorelif
