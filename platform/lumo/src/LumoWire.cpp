#include "lumo/LumoWire.hpp"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>

#include "ByteCodec.hpp"

namespace lumo {

namespace {

constexpr char kDataMagic[4] = {'L', 'U', 'M', 'O'};

// Length of the UTF-8 sequence starting at `text[i]`, or 0 when it is not a
// well-formed, shortest-form encoding of a scalar value; `value` is set to
// that value.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t i, char32_t& value) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  std::size_t length = 0;
  value = lead;
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) length = 2, value = lead & 0x1F;
  else if ((lead & 0xF0) == 0xE0) length = 3, value = lead & 0x0F;
  else if ((lead & 0xF8) == 0xF0) length = 4, value = lead & 0x07;
  else return 0;
  if (text.size() - i < length) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    value = (value << 6) | (byte(i + k) & 0x3F);
  }
  constexpr char32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (value < kShortest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  return length;
}

// Characters that control or reorder text, or show as blanks or nothing at
// all: in a stream name they would break log lines and listings, or make one
// name look like another (U+202E shows the rest of a line reversed).
bool IsControlOrInvisible(char32_t c) {
  struct Range {
    char32_t first, last;
  };
  static constexpr Range kRefused[] = {
      {0x0000, 0x0020}, {0x007F, 0x00A0},  // C0 and C1 controls (U+0085 next line), blank, no-break space
      {0x00AD, 0x00AD},                    // soft hyphen
      {0x061C, 0x061C},                    // Arabic letter mark
      {0x1680, 0x1680}, {0x180E, 0x180E},  // Ogham space, Mongolian vowel separator
      {0x2000, 0x200F},                    // spaces, zero-width characters, left-to-right and right-to-left marks
      {0x2028, 0x202F},                    // line and paragraph separators, bidirectional embeddings and overrides
      {0x205F, 0x206F},                    // medium space, invisible operators, bidirectional isolates
      {0x3000, 0x3000},                    // ideographic space
      {0xFEFF, 0xFEFF},                    // zero-width no-break space
      {0xFFF9, 0xFFFB},                    // interlinear annotation controls
  };
  return std::any_of(std::begin(kRefused), std::end(kRefused),
                     [c](const Range& range) { return c >= range.first && c <= range.last; });
}

bool IsHostCharacter(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_' || c == '*';
}

}  // namespace

void EncodeDataHeader(const DataHeader& header, std::span<std::uint8_t, kDataHeaderSize> out) {
  std::vector<std::uint8_t> bytes;
  bytes.reserve(kDataHeaderSize);
  detail::ByteWriter writer(bytes);
  writer.Bytes(std::string_view(kDataMagic, sizeof kDataMagic));
  writer.U16(header.version);
  writer.U16(header.flags);
  writer.I32(header.topicId);
  writer.U64(header.sequence);
  writer.U64(header.publishTimeNs);
  writer.U32(0);
  std::copy(bytes.begin(), bytes.end(), out.begin());
}

std::optional<DataHeader> DecodeDataHeader(std::span<const std::uint8_t> bytes) {
  if (bytes.size() != kDataHeaderSize || std::memcmp(bytes.data(), kDataMagic, sizeof kDataMagic) != 0)
    return std::nullopt;
  detail::ByteReader reader(bytes.subspan(sizeof kDataMagic));
  DataHeader header;
  header.version = reader.U16("version");
  if (header.version != kDataHeaderVersion) return std::nullopt;
  header.flags = reader.U16("flags");
  header.topicId = reader.I32("topic id");
  header.sequence = reader.U64("sequence");
  header.publishTimeNs = reader.U64("publish time");
  return header;
}

bool IsValidStreamName(std::string_view name) {
  if (name.empty() || name.size() > kMaxStreamNameSize) return false;
  for (std::size_t i = 0; i < name.size();) {
    char32_t c = 0;
    const std::size_t length = Utf8SequenceLength(name, i, c);
    if (length == 0 || IsControlOrInvisible(c)) return false;
    i += length;
  }
  return true;
}

std::optional<TcpEndpoint> ParseTcpEndpoint(std::string_view endpoint) {
  constexpr std::string_view kScheme = "tcp://";
  if (endpoint.size() > kMaxEndpointSize || !endpoint.starts_with(kScheme)) return std::nullopt;
  std::string_view rest = endpoint.substr(kScheme.size());
  std::string_view host;
  std::string_view port;
  if (rest.starts_with('[')) {  // [IPv6]:port
    const auto close = rest.find(']');
    if (close == std::string_view::npos || rest.substr(close + 1, 1) != ":") return std::nullopt;
    host = rest.substr(1, close - 1);
    port = rest.substr(close + 2);
    if (host.empty() || !std::all_of(host.begin(), host.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.'; }))
      return std::nullopt;
  } else {
    const auto colon = rest.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    host = rest.substr(0, colon);
    port = rest.substr(colon + 1);
    if (host.empty() || !std::all_of(host.begin(), host.end(), IsHostCharacter)) return std::nullopt;
  }
  if (port.empty() || port.size() > 5 || !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  const int number = std::stoi(std::string(port));
  if (number < 1 || number > 65535) return std::nullopt;
  return TcpEndpoint{std::string(host), std::string(port)};
}

std::string FormatTcpEndpoint(std::string_view host, std::string_view port) {
  const bool ipv6 = host.find(':') != std::string_view::npos;
  std::string endpoint = "tcp://";
  endpoint += ipv6 ? "[" : "";
  endpoint += host;
  endpoint += ipv6 ? "]:" : ":";
  endpoint += port;
  return endpoint;
}

bool IsWildcardHost(std::string_view host) { return host == "*" || host == "0.0.0.0" || host == "::"; }

bool IsLoopbackHost(std::string_view host) {
  return host == "localhost" || host == "::1" || host.starts_with("127.");
}

std::uint64_t NowNs() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch()).count());
}

}  // namespace lumo
