// SOREL packets: the leader, payload and trailer packets carried in the
// payload of PLEXO frames. All integers are big-endian.
//
// Parsers check every length against the bytes they are given and keep a
// pointer into the caller's buffer, which must outlive them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace sorelif {

enum class sorelPacketType : std::uint8_t { Leader = 1, Payload = 2, Trailer = 3 };

inline constexpr std::size_t kCommonHeaderSize = 4;
inline constexpr std::size_t kLeaderSize = 8;          // legacy leader, no extension
inline constexpr std::size_t kPayloadHeaderSize = 8;   // data units start here
inline constexpr std::size_t kBasicImageInfoSize = 28; // smallest extension that carries it

// Frame info byte: bit 0 payload endianness, bits 1-3 simulation source.
enum class sorelEndianness : std::uint8_t { Big = 0, Little = 1 };
std::uint8_t MakeFrameInfo(sorelEndianness endianness, std::uint8_t simSource);

// Geometry and time of a sample, carried at the start of a leader's extension.
struct BasicImageInfo {
  double timestamp = 0.0;  // seconds since 1970-01-01 UTC
  std::uint32_t dataType = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t offsetX = 0;
  std::int32_t offsetY = 0;
};

class sorelCommonPacket {
 public:
  // Throws std::invalid_argument when fewer than 4 bytes are given.
  sorelCommonPacket(const unsigned char* data, std::size_t length);

  int getCommonHeaderPacketType() const;
  int getCommonHeaderFrameInfoPayloadEndianness() const;
  int getCommonHeaderFrameInfoSimSource() const;
  std::uint16_t getCommonHeaderExtensionLength() const;

 protected:
  const unsigned char* m_data;
  std::size_t m_length;
};

// Legacy leader: exactly the 8-byte form without extended info.
class sorelLeaderPacket : public sorelCommonPacket {
 public:
  // Fewer than 8 bytes or not a leader: std::invalid_argument.
  // Extension length not 0 (extended info): std::length_error.
  sorelLeaderPacket(const unsigned char* data, std::size_t length);

  std::uint32_t GetPayloadDataUnits() const;
};

// Leader in either form; gives the Basic Image Info when the extension has it.
class sorelExtendedLeaderPacket : public sorelCommonPacket {
 public:
  // Fewer than 8 bytes or not a leader: std::invalid_argument.
  // Extension longer than the bytes given: std::length_error.
  sorelExtendedLeaderPacket(const unsigned char* data, std::size_t length);

  std::uint32_t GetPayloadDataUnits() const;
  std::optional<BasicImageInfo> GetBasicImageInfo() const;
};

// What keeps bytes from being a payload packet of data units of `unitSize`
// bytes, checked without parsing them, so that code reading packets off the
// network can drop a bad one without an exception.
enum class sorelPayloadFault {
  None,
  NotPayload,   // fewer than 8 bytes, or another packet type
  DataTooLong,  // more data units than the bytes hold
};
sorelPayloadFault CheckPayloadPacket(const unsigned char* data, std::size_t length, std::size_t unitSize);

class sorelPayloadPacket : public sorelCommonPacket {
 public:
  // Fewer than 8 bytes or not a payload packet: std::invalid_argument.
  // More data units than the bytes given hold: std::length_error.
  sorelPayloadPacket(const unsigned char* data, std::size_t length, std::size_t unitSize);

  std::uint16_t GetDataUnits() const;
  const unsigned char* GetData() const { return m_data + kPayloadHeaderSize; }
  // The first data unit; the name the publishing receiver knows it by.
  const unsigned char* getPayload() const { return GetData(); }
  std::size_t GetDataSize() const { return m_dataSize; }

 private:
  std::size_t m_dataSize;
};

// Builders for senders. Each writes one packet at the start of `out` and
// returns its length; std::length_error if `out` is too small.
std::size_t EncodeLeader(std::span<unsigned char> out, std::uint8_t frameInfo, std::uint32_t payloadDataUnits,
                         const std::optional<BasicImageInfo>& info = std::nullopt);
// Writes only the 8-byte payload header; the caller puts the data units after it.
std::size_t EncodePayloadHeader(std::span<unsigned char> out, std::uint8_t frameInfo, std::uint16_t dataUnits);
std::size_t EncodeTrailer(std::span<unsigned char> out, std::uint8_t frameInfo);

}  // namespace sorelif
