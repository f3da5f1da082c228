// Streams a growing file to the disk as it is written.
//
// Left to itself, the kernel lets written pages pile up in the page cache and
// then writes them back in bursts while the writer stalls; on some machines
// that reaches a fraction of the disk's rate. WriteBehind starts the
// write-back of each new stretch of the file at once and, a few megabytes
// later, waits for it and drops those pages from the cache, so the disk is
// kept busy with large writes and the cache stays small, as with O_DIRECT.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <string>
#include <utility>

namespace vexatools::record {

class WriteBehind {
 public:
  // Stretches started but not yet waited for, in bytes.
  static constexpr off_t kWindowBytes = 16 << 20;

  // `fd` stays owned by the caller; -1 turns write-behind off.
  explicit WriteBehind(int fd) : fd_(fd) {}

  // The file has been written up to `end`. Throws std::runtime_error naming
  // `path` when the disk reports a write error.
  void Advance(off_t end, const std::string& path);

 private:
  void Check(int result, const std::string& path);

  int fd_;
  off_t started_ = 0;
  std::deque<std::pair<off_t, off_t>> inFlight_;  // [begin, end) being written back
  off_t inFlightBytes_ = 0;
};

}  // namespace vexatools::record
