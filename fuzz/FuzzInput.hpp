// How the fuzz targets read their input: a sequence of records, each a
// 2-byte big-endian length and that many bytes (fewer when the input ends
// first). A datagram, a message frame or a request frame is one record, so
// that the fuzzer can grow, shrink and reorder them independently.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace vexafuzz {

class RecordReader {
 public:
  RecordReader(const std::uint8_t* data, std::size_t size) : m_rest(data, size) {}

  bool empty() const { return m_rest.empty(); }

  // The next record, or nothing when the input is used up.
  std::optional<std::span<const std::uint8_t>> Next() {
    if (m_rest.size() < 2) return std::nullopt;
    const std::size_t length = std::size_t{m_rest[0]} << 8 | m_rest[1];
    m_rest = m_rest.subspan(2);
    const auto record = m_rest.first(std::min(length, m_rest.size()));
    m_rest = m_rest.subspan(record.size());
    return record;
  }

  // One byte, 0 when the input is used up.
  std::uint8_t Byte() {
    if (m_rest.empty()) return 0;
    const std::uint8_t byte = m_rest[0];
    m_rest = m_rest.subspan(1);
    return byte;
  }

 private:
  std::span<const std::uint8_t> m_rest;
};

// Appends one record in the format RecordReader reads.
inline void AppendRecord(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> record) {
  const std::size_t length = std::min<std::size_t>(record.size(), 0xFFFF);
  out.push_back(static_cast<std::uint8_t>(length >> 8));
  out.push_back(static_cast<std::uint8_t>(length));
  out.insert(out.end(), record.begin(), record.begin() + static_cast<std::ptrdiff_t>(length));
}

// Stops the fuzzer with a finding when a property the code promises fails.
#define VEXA_FUZZ_CHECK(condition)                                                      \
  do {                                                                                  \
    if (!(condition)) {                                                                 \
      __builtin_printf("%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);    \
      __builtin_trap();                                                                 \
    }                                                                                   \
  } while (false)

}  // namespace vexafuzz
