// SOREL packet parsing: the input's first byte picks the data unit size,
// the rest is one packet as carried in a frame's payload. Every parser sees
// it; what parses must stay within the bytes given and read back the same
// when encoded again.
#include <array>
#include <cstdint>
#include <cstring>
#include <exception>
#include <vector>

#include "FuzzInput.hpp"
#include "sorelif/sorelPackets.hpp"

namespace {

void ParseLeaders(const unsigned char* packet, std::size_t length) {
  try {
    const sorelif::sorelLeaderPacket leader(packet, length);
    VEXA_FUZZ_CHECK(length >= sorelif::kLeaderSize && leader.getCommonHeaderExtensionLength() == 0);
    static_cast<void>(leader.GetPayloadDataUnits());
  } catch (const std::exception&) {
  }
  try {
    const sorelif::sorelExtendedLeaderPacket leader(packet, length);
    VEXA_FUZZ_CHECK(sorelif::kLeaderSize + leader.getCommonHeaderExtensionLength() <= length);
    static_cast<void>(leader.getCommonHeaderFrameInfoPayloadEndianness());
    static_cast<void>(leader.getCommonHeaderFrameInfoSimSource());
    const auto info = leader.GetBasicImageInfo();
    if (!info) return;
    // Encoded again, the leader and its Basic Image Info read the same.
    std::array<unsigned char, sorelif::kLeaderSize + sorelif::kBasicImageInfoSize> encoded{};
    sorelif::EncodeLeader(encoded, packet[1], leader.GetPayloadDataUnits(), info);
    VEXA_FUZZ_CHECK(encoded[0] == packet[0] && encoded[1] == packet[1]);
    VEXA_FUZZ_CHECK(std::memcmp(encoded.data() + 4, packet + 4, encoded.size() - 4) == 0);
  } catch (const std::exception&) {
  }
}

void ParsePayload(const unsigned char* packet, std::size_t length, std::size_t unitSize) {
  const auto fault = sorelif::CheckPayloadPacket(packet, length, unitSize);
  try {
    const sorelif::sorelPayloadPacket payload(packet, length, unitSize);
    // The check without exceptions and the parser agree.
    VEXA_FUZZ_CHECK(fault == sorelif::sorelPayloadFault::None);
    VEXA_FUZZ_CHECK(payload.GetDataSize() == std::size_t{payload.GetDataUnits()} * unitSize);
    VEXA_FUZZ_CHECK(sorelif::kPayloadHeaderSize + payload.GetDataSize() <= length);
    unsigned sum = 0;
    for (std::size_t i = 0; i < payload.GetDataSize(); ++i) sum += payload.GetData()[i];
    static_cast<void>(sum);
  } catch (const std::exception&) {
    VEXA_FUZZ_CHECK(fault != sorelif::sorelPayloadFault::None);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  constexpr std::size_t kUnitSizes[] = {1, 2, 4, 8};
  const std::size_t unitSize = kUnitSizes[data[0] % 4];
  // A copy of exactly the packet's length, so that a read past it is caught.
  const std::vector<unsigned char> packet(data + 1, data + size);
  const unsigned char* bytes = packet.empty() ? nullptr : packet.data();
  try {
    const sorelif::sorelCommonPacket common(bytes, packet.size());
    static_cast<void>(common.getCommonHeaderPacketType());
    static_cast<void>(common.getCommonHeaderExtensionLength());
  } catch (const std::exception&) {
    VEXA_FUZZ_CHECK(packet.size() < sorelif::kCommonHeaderSize);
  }
  ParseLeaders(bytes, packet.size());
  ParsePayload(bytes, packet.size(), unitSize);
  return 0;
}
