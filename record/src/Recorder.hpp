// vexatoolsRecord's run: the subscriber (the calling thread) takes images
// off the LUMO stream and hands them over a bounded queue to a writer
// thread, which puts them into recording files. The subscriber never waits
// for the disk: when the queue is full it drops the image and records the
// drop as a gap.
#pragma once

#include <atomic>
#include <cstdint>
#include <iosfwd>
#include <string>

#include "RecordingFile.hpp"

namespace vexatools::record {

struct RecordOptions {
  std::string brokerUri;
  std::string stream;
  std::string output;
  std::uint64_t count = 0;        // images; 0: no limit
  double durationSeconds = 0;     // 0: no limit
  std::uint64_t maxFileSize = 0;  // bytes; 0: no limit
  Compression compression = Compression::kNone;
  std::size_t bufferBytes = 256u << 20;
  std::size_t bufferImages = 4096;
};

// Records until `stop` is set, the count or duration is reached, or a write
// fails. Prints a status line a second to `status` and the summary to
// `summary`. Returns 0, or 1 after a set-up or write error (said on `status`).
int Record(const RecordOptions& options, const std::atomic<bool>& stop, std::ostream& status, std::ostream& summary);

}  // namespace vexatools::record
