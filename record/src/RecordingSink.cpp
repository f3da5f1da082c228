#include "RecordingSink.hpp"

#include <fmt/format.h>

#include <filesystem>

namespace vexatools::record {

std::string NumberedPath(const std::string& path, unsigned number) {
  if (number == 0) return path;
  const std::filesystem::path original(path);
  auto numbered = original;
  numbered.replace_filename(fmt::format("{}_{:04}{}", original.stem().string(), number, original.extension().string()));
  return numbered.string();
}

RecordingSink::RecordingSink(std::string path, std::string stream, Compression compression, std::uint64_t maxFileSize)
    : path_(std::move(path)), stream_(std::move(stream)), compression_(compression), maxFileSize_(maxFileSize) {}

RecordingSink::~RecordingSink() = default;

void RecordingSink::Write(const QueuedImage& item) {
  const bool full = file_ && maxFileSize_ > 0 && file_->images() > 0 &&
                    file_->FileSize() + item.bytes() + kGrowthReserve > maxFileSize_;
  if (!file_ || full || !(file_->layout() == item.layout)) StartFile(item.layout);
  WriteGaps(item.gapsBefore);
  file_->Append(item.image);
  files_.back().images = file_->images();
  ++images_;
  bytes_ += item.bytes();
  unflushed_ = true;
  FlushIfDue();
}

void RecordingSink::FlushIfDue() {
  const auto now = Clock::now();
  if (!file_ || !unflushed_ || now - lastFlush_ < kFlushInterval) return;
  file_->Flush();
  lastFlush_ = now;
  unflushed_ = false;
}

void RecordingSink::Finish(const std::vector<Gap>& gaps) {
  WriteGaps(gaps);
  CloseFile();
}

void RecordingSink::Abandon() noexcept {
  if (file_) file_->CloseAfterFailure();
  file_.reset();
}

void RecordingSink::StartFile(const ImageLayout& layout) {
  CloseFile();
  const auto path = NumberedPath(path_, static_cast<unsigned>(files_.size()));
  file_ = std::make_unique<RecordingWriter>(path, stream_, layout, compression_);
  files_.push_back({path, 0, 0});
  lastFlush_ = Clock::now();
  WriteGaps(std::exchange(pendingGaps_, {}));
}

void RecordingSink::CloseFile() {
  if (!file_) return;
  // The file is let go even when closing fails: its images were flushed.
  auto file = std::move(file_);
  file->Close();
  files_.back().missed = file->missed();
}

void RecordingSink::WriteGaps(const std::vector<Gap>& gaps) {
  if (!file_) {
    pendingGaps_.insert(pendingGaps_.end(), gaps.begin(), gaps.end());
    return;
  }
  for (const auto& gap : gaps) file_->AddGap(gap);
  if (!gaps.empty()) {
    files_.back().missed = file_->missed();
    unflushed_ = true;
  }
}

}  // namespace vexatools::record
