#include "sorelif/sorelPackets.hpp"

#include <bit>
#include <cstring>
#include <stdexcept>
#include <string>

#include "korv/fnd/BigEndian.hpp"

namespace sorelif {
namespace {

using korv::fnd::LoadBig;
using korv::fnd::StoreBig;

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
  StoreBig<std::uint16_t>(out + 2, extension);
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
std::uint16_t sorelCommonPacket::getCommonHeaderExtensionLength() const { return LoadBig<std::uint16_t>(m_data + 2); }

sorelLeaderPacket::sorelLeaderPacket(const unsigned char* data, std::size_t length) : sorelCommonPacket(data, length) {
  RequireType(*this, length, sorelPacketType::Leader, "leader");
  if (getCommonHeaderExtensionLength() != 0) {
    throw std::length_error("SOREL leader carries " + std::to_string(getCommonHeaderExtensionLength()) +
                            " bytes of extended info");
  }
}

std::uint32_t sorelLeaderPacket::GetPayloadDataUnits() const { return LoadBig<std::uint32_t>(m_data + 4); }

sorelExtendedLeaderPacket::sorelExtendedLeaderPacket(const unsigned char* data, std::size_t length)
    : sorelCommonPacket(data, length) {
  RequireType(*this, length, sorelPacketType::Leader, "leader");
  if (kLeaderSize + getCommonHeaderExtensionLength() > length) {
    throw std::length_error("SOREL leader extension longer than the packet");
  }
}

std::uint32_t sorelExtendedLeaderPacket::GetPayloadDataUnits() const { return LoadBig<std::uint32_t>(m_data + 4); }

std::optional<BasicImageInfo> sorelExtendedLeaderPacket::GetBasicImageInfo() const {
  if (getCommonHeaderExtensionLength() < kBasicImageInfoSize) return std::nullopt;
  const unsigned char* p = m_data + kLeaderSize;
  BasicImageInfo info;
  info.timestamp = std::bit_cast<double>(LoadBig<std::uint64_t>(p));
  info.dataType = LoadBig<std::uint32_t>(p + 8);
  info.width = static_cast<std::int32_t>(LoadBig<std::uint32_t>(p + 12));
  info.height = static_cast<std::int32_t>(LoadBig<std::uint32_t>(p + 16));
  info.offsetX = static_cast<std::int32_t>(LoadBig<std::uint32_t>(p + 20));
  info.offsetY = static_cast<std::int32_t>(LoadBig<std::uint32_t>(p + 24));
  return info;
}

sorelPayloadFault CheckPayloadPacket(const unsigned char* data, std::size_t length, std::size_t unitSize) {
  if (data == nullptr || length < kPayloadHeaderSize || data[0] != static_cast<unsigned char>(sorelPacketType::Payload)) {
    return sorelPayloadFault::NotPayload;
  }
  if (std::size_t{LoadBig<std::uint16_t>(data + 4)} * unitSize > length - kPayloadHeaderSize) return sorelPayloadFault::DataTooLong;
  return sorelPayloadFault::None;
}

sorelPayloadPacket::sorelPayloadPacket(const unsigned char* data, std::size_t length, std::size_t unitSize)
    : sorelCommonPacket(data, length) {
  switch (CheckPayloadPacket(data, length, unitSize)) {
    case sorelPayloadFault::NotPayload:
      throw std::invalid_argument("Not a SOREL payload packet");
    case sorelPayloadFault::DataTooLong:
      throw std::length_error("SOREL payload packet announces " + std::to_string(GetDataUnits() * unitSize) +
                              " data bytes but holds " + std::to_string(length - kPayloadHeaderSize));
    case sorelPayloadFault::None:
      break;
  }
  m_dataSize = std::size_t{GetDataUnits()} * unitSize;
}

std::uint16_t sorelPayloadPacket::GetDataUnits() const { return LoadBig<std::uint16_t>(m_data + 4); }

std::size_t EncodeLeader(std::span<unsigned char> out, std::uint8_t frameInfo, std::uint32_t payloadDataUnits,
                         const std::optional<BasicImageInfo>& info) {
  const std::size_t extension = info ? kBasicImageInfoSize : 0;
  RequireRoom(out, kLeaderSize + extension);
  WriteCommonHeader(out.data(), sorelPacketType::Leader, frameInfo, static_cast<std::uint16_t>(extension));
  StoreBig<std::uint32_t>(out.data() + 4, payloadDataUnits);
  if (info) {
    unsigned char* p = out.data() + kLeaderSize;
    StoreBig<std::uint64_t>(p, std::bit_cast<std::uint64_t>(info->timestamp));
    StoreBig<std::uint32_t>(p + 8, info->dataType);
    StoreBig<std::uint32_t>(p + 12, static_cast<std::uint32_t>(info->width));
    StoreBig<std::uint32_t>(p + 16, static_cast<std::uint32_t>(info->height));
    StoreBig<std::uint32_t>(p + 20, static_cast<std::uint32_t>(info->offsetX));
    StoreBig<std::uint32_t>(p + 24, static_cast<std::uint32_t>(info->offsetY));
  }
  return kLeaderSize + extension;
}

std::size_t EncodePayloadHeader(std::span<unsigned char> out, std::uint8_t frameInfo, std::uint16_t dataUnits) {
  RequireRoom(out, kPayloadHeaderSize);
  WriteCommonHeader(out.data(), sorelPacketType::Payload, frameInfo, 0);
  StoreBig<std::uint16_t>(out.data() + 4, dataUnits);
  StoreBig<std::uint16_t>(out.data() + 6, 0);
  return kPayloadHeaderSize;
}

std::size_t EncodeTrailer(std::span<unsigned char> out, std::uint8_t frameInfo) {
  RequireRoom(out, kCommonHeaderSize);
  WriteCommonHeader(out.data(), sorelPacketType::Trailer, frameInfo, 0);
  return kCommonHeaderSize;
}

}  // namespace sorelif
