// The LUMO wire format shared by publishers, subscribers and the broker:
// limits, the 32-byte data header and the checks applied to names and
// endpoints that arrive over the network.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace lumo {

inline constexpr std::string_view kDefaultBrokerUri = "tcp://127.0.0.1:5570";

// Longest stream name and endpoint a broker accepts, in bytes.
inline constexpr std::size_t kMaxStreamNameSize = 255;
inline constexpr std::size_t kMaxEndpointSize = 255;
// Longest subscription a subscriber sends: libzmq 4.3 loses subscriptions
// of 246 bytes or more, so a longer stream name is subscribed to by this
// prefix (a subscriber compares every message's name with its own anyway).
inline constexpr std::size_t kMaxSubscriptionSize = 245;
// Longest frame the broker accepts on its control socket; a peer that sends
// a longer one is disconnected by ZeroMQ before the frame is stored.
inline constexpr std::int64_t kMaxControlFrameSize = 1024;
// Most stream names in one LIST reply; "LIST name" lists the names after
// `name`, so a client pages through a longer directory.
inline constexpr std::size_t kMaxListNames = 100;
// Largest image a subscriber accepts unless told otherwise
// (LumoDataSubscriber::SetMaxDataSize): ZeroMQ drops a publisher that sends
// a longer frame before it is stored.
inline constexpr std::int64_t kDefaultMaxImageSize = 256LL * 1024 * 1024;
// Frames of a data message; a publisher that sends more in one message is
// dropped.
inline constexpr std::size_t kDataFrames = 4;
// Largest encoded meta-data record.
inline constexpr std::size_t kMaxMetaDataSize = 64 * 1024;

// Frame 2 of every data message.
inline constexpr std::size_t kDataHeaderSize = 32;
inline constexpr std::uint16_t kDataHeaderVersion = 1;

struct DataHeader {
  std::uint16_t version = kDataHeaderVersion;
  std::uint16_t flags = 0;
  std::int32_t topicId = 0;
  std::uint64_t sequence = 0;       // 1 for the first message after Register
  std::uint64_t publishTimeNs = 0;  // nanoseconds since the epoch
};

// Little-endian: "LUMO", u16 version, u16 flags, i32 topic id, u64 sequence,
// u64 publish time, u32 zero.
void EncodeDataHeader(const DataHeader& header, std::span<std::uint8_t, kDataHeaderSize> out);
// Empty unless `bytes` is exactly 32 bytes with the magic and version 1.
std::optional<DataHeader> DecodeDataHeader(std::span<const std::uint8_t> bytes);

// A stream name is 1 to 255 bytes of UTF-8 without control characters,
// blanks, bidirectional controls or invisible characters, so that it reads
// well, and as itself, in logs and listings.
bool IsValidStreamName(std::string_view name);

// Splits "tcp://host:port" into host and port; empty for any other shape.
struct TcpEndpoint {
  std::string host;  // without brackets for IPv6
  std::string port;
};
std::optional<TcpEndpoint> ParseTcpEndpoint(std::string_view endpoint);
std::string FormatTcpEndpoint(std::string_view host, std::string_view port);
bool IsWildcardHost(std::string_view host);
bool IsLoopbackHost(std::string_view host);

// Nanoseconds since the epoch, as carried in the data header.
std::uint64_t NowNs();

}  // namespace lumo
