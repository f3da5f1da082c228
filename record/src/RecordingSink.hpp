// The writer thread's side of a recording: puts queued images into
// recording files, starting a new file when the images' geometry or pixel
// type changes or the file would outgrow its size limit, and flushes at
// least once a second.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ImageQueue.hpp"
#include "RecordingFile.hpp"

namespace vexatools::record {

struct FileSummary {
  std::string path;
  std::uint64_t images = 0;
  std::uint64_t missed = 0;
};

// FILE.h5 for the first file, then FILE_0001.h5, FILE_0002.h5, ...
std::string NumberedPath(const std::string& path, unsigned number);

class RecordingSink {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kFlushInterval{1000};
  // Room kept below the size limit for what a file grows by besides the
  // image: blocks of per-image values and gaps, and the closing attributes.
  static constexpr std::uint64_t kGrowthReserve = 32 * 1024;
  // The smallest size limit worth having.
  static constexpr std::uint64_t kMinFileSizeLimit = 1 << 20;

  // `maxFileSize` 0: no limit.
  RecordingSink(std::string path, std::string stream, Compression compression, std::uint64_t maxFileSize);
  // Closes an open file, ignoring failures: call Finish to hear of them.
  ~RecordingSink();

  // Writes the gaps and the image of `item`. Throws H5Failure.
  void Write(const QueuedImage& item);
  // Flushes when the last flush is kFlushInterval ago and anything is new.
  void FlushIfDue();
  // Writes `gaps` and closes the file.
  void Finish(const std::vector<Gap>& gaps);
  // After a failure: closes the file as far as it still can be written.
  void Abandon() noexcept;

  const std::vector<FileSummary>& files() const { return files_; }
  std::uint64_t images() const { return images_; }
  std::uint64_t bytes() const { return bytes_; }

 private:
  void StartFile(const ImageLayout& layout);
  void CloseFile();
  void WriteGaps(const std::vector<Gap>& gaps);

  const std::string path_;
  const std::string stream_;
  const Compression compression_;
  const std::uint64_t maxFileSize_;
  std::unique_ptr<RecordingWriter> file_;
  std::vector<FileSummary> files_;
  std::vector<Gap> pendingGaps_;  // before the first file opens
  Clock::time_point lastFlush_ = Clock::now();
  bool unflushed_ = false;
  std::uint64_t images_ = 0;
  std::uint64_t bytes_ = 0;
};

}  // namespace vexatools::record
