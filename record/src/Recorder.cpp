#include "Recorder.hpp"

#include <fmt/format.h>
#include <fmt/ostream.h>

#include <chrono>
#include <mutex>
#include <optional>
#include <ostream>
#include <thread>

#include "ImageQueue.hpp"
#include "RecordingSink.hpp"
#include "lumo/Lumo.hpp"

namespace vexatools::record {

namespace {

using Clock = std::chrono::steady_clock;

// Gap entries held for the next queued image; beyond this (the writer stuck
// for long while the network loses messages) gaps are only counted.
constexpr std::size_t kMaxPendingGaps = 10000;

// What both threads update and the status line shows.
struct Counters {
  std::atomic<std::uint64_t> written{0};
  std::atomic<std::uint64_t> writtenBytes{0};
  std::atomic<std::uint64_t> lost{0};
  std::atomic<std::uint64_t> droppedDiskTooSlow{0};
  std::atomic<std::uint64_t> droppedUnreadable{0};
  std::atomic<std::uint64_t> gapsNotListed{0};
  std::atomic<bool> writerFailed{false};
};

// Gaps in arrival order, neighbours of the same cause merged.
class GapList {
 public:
  void Add(const Gap& gap, Counters& counters) {
    if (!gaps_.empty()) {
      auto& last = gaps_.back();
      if (last.cause == gap.cause && last.first + last.count == gap.first) {
        last.count += gap.count;
        return;
      }
    }
    if (gaps_.size() >= kMaxPendingGaps) {
      ++counters.gapsNotListed;
      return;
    }
    gaps_.push_back(gap);
  }
  std::vector<Gap>& pending() { return gaps_; }

 private:
  std::vector<Gap> gaps_;
};

class WriterThread {
 public:
  WriterThread(const RecordOptions& options, ImageQueue& queue, Counters& counters)
      : sink_(options.output, options.stream, options.compression, options.maxFileSize),
        queue_(queue),
        counters_(counters),
        thread_([this] { Run(); }) {}
  ~WriterThread() {
    if (thread_.joinable()) thread_.join();
  }
  void Join() { thread_.join(); }

  // After Join.
  const std::string& error() const { return error_; }
  const std::vector<FileSummary>& files() const { return sink_.files(); }

 private:
  void Run() {
    QuietHdf5Errors();
    try {
      for (;;) {
        auto item = queue_.Pop(std::chrono::milliseconds(100));
        if (!item) {
          sink_.FlushIfDue();
          continue;
        }
        if (item->last) {
          sink_.Finish(item->gapsBefore);
          return;
        }
        sink_.Write(*item);
        counters_.written = sink_.images();
        counters_.writtenBytes = sink_.bytes();
      }
    } catch (const std::exception& failure) {
      error_ = failure.what();
      sink_.Abandon();
      counters_.writerFailed = true;
    }
  }

  RecordingSink sink_;
  ImageQueue& queue_;
  Counters& counters_;
  std::string error_;
  std::thread thread_;  // last: starts when the rest is ready
};

std::string Megabytes(double bytes) { return fmt::format("{:.1f} MB", bytes / 1e6); }

class StatusLine {
 public:
  void PrintIfDue(std::ostream& out, const Counters& counters, const ImageQueue& queue) {
    const auto now = Clock::now();
    if (now - last_ < std::chrono::seconds(1)) return;
    const double seconds = std::chrono::duration<double>(now - last_).count();
    const std::uint64_t bytes = counters.writtenBytes;
    const auto [images, queued] = queue.Fill();
    fmt::print(out, "vexatoolsRecord: {} images, {:.1f} MB/s, queue {}/{} ({}), dropped {} (disk too slow {}, unreadable {}), lost {}\n",
               counters.written.load(), static_cast<double>(bytes - lastBytes_) / seconds / 1e6, images,
               queue.maxImages(), Megabytes(static_cast<double>(queued)),
               counters.droppedDiskTooSlow + counters.droppedUnreadable, counters.droppedDiskTooSlow.load(),
               counters.droppedUnreadable.load(), counters.lost.load());
    out.flush();
    last_ = now;
    lastBytes_ = bytes;
  }

 private:
  Clock::time_point last_ = Clock::now();
  std::uint64_t lastBytes_ = 0;
};

// Hands one received sample to the writer (true), or records why it was not.
bool Offer(lumo::LumoSample& sample, ImageQueue& queue, GapList& gaps, Counters& counters) {
  const auto sequence = sample.header.sequence;
  if (sample.missedBefore > 0) {
    counters.lost += sample.missedBefore;
    gaps.Add({sequence - std::min(sample.missedBefore, sequence), sample.missedBefore, GapCause::kLost}, counters);
  }
  QueuedImage item;
  try {
    const auto meta = lumo::LumoEncDecImage3D::Decode(sample.metaData);
    const auto layout = LayoutOf(meta, sample.data().size());
    if (!layout) throw std::invalid_argument("meta-data do not match the pixel bytes");
    item.layout = *layout;
    item.image.imageTime = meta.timestamp;
  } catch (const std::invalid_argument&) {
    ++counters.droppedUnreadable;
    gaps.Add({sequence, 1, GapCause::kUnreadable}, counters);
    return false;
  }
  item.image.pixels = sample.data();
  item.image.sequence = sequence;
  item.image.publishTimeNs = sample.header.publishTimeNs;
  item.image.arrivalNs = lumo::NowNs();
  item.gapsBefore = std::move(gaps.pending());
  item.received = std::move(sample);  // the pixel bytes stay where they are
  if (queue.TryPush(item)) {
    gaps.pending().clear();
    return true;
  }
  gaps.pending() = std::move(item.gapsBefore);
  ++counters.droppedDiskTooSlow;
  gaps.Add({sequence, 1, GapCause::kDiskTooSlow}, counters);
  return false;
}

void PrintSummary(std::ostream& out, const std::vector<FileSummary>& files, const Counters& counters,
                  double seconds) {
  for (const auto& file : files) fmt::print(out, "{}: {} images, {} missed\n", file.path, file.images, file.missed);
  const double bytes = static_cast<double>(counters.writtenBytes);
  fmt::print(out, "Recorded {} images ({}) in {} file(s) in {:.1f} s, {:.1f} MB/s; lost {} on the way, dropped {} "
                  "(disk too slow {}, unreadable {})\n",
             counters.written.load(), Megabytes(bytes), files.size(), seconds, seconds > 0 ? bytes / seconds / 1e6 : 0.0,
             counters.lost.load(), counters.droppedDiskTooSlow + counters.droppedUnreadable,
             counters.droppedDiskTooSlow.load(), counters.droppedUnreadable.load());
  if (counters.gapsNotListed > 0)
    fmt::print(out, "{} gap(s) were too many to list in the file\n", counters.gapsNotListed.load());
  out.flush();
}

}  // namespace

int Record(const RecordOptions& options, const std::atomic<bool>& stop, std::ostream& status, std::ostream& summary) {
  try {
    CheckFilterAvailable(options.compression);
  } catch (const H5Failure& failure) {
    fmt::print(status, "vexatoolsRecord: --compress {}: {}\n", NameOf(options.compression), failure.what());
    return 1;
  }
  lumo::LumoDataSubscriber subscriber;
  subscriber.SetReceiveQueue(16);
  if (subscriber.Subscribe(options.brokerUri, options.stream, 1000) < 0) {
    fmt::print(status, "vexatoolsRecord: cannot subscribe to stream '{}' at {}\n", options.stream, options.brokerUri);
    return 1;
  }
  fmt::print(status, "vexatoolsRecord: recording stream '{}' at {} into {}\n", options.stream, options.brokerUri,
             options.output);
  status.flush();

  Counters counters;
  ImageQueue queue(options.bufferImages, options.bufferBytes);
  WriterThread writer(options, queue, counters);
  GapList gaps;
  StatusLine statusLine;
  const auto start = Clock::now();
  const auto duration = std::chrono::duration<double>(options.durationSeconds);
  std::optional<Clock::time_point> firstImage;  // rates count from here
  std::uint64_t handedOver = 0;
  lumo::LumoSample sample;
  while (!stop && !counters.writerFailed && (options.count == 0 || handedOver < options.count) &&
         (options.durationSeconds <= 0 || Clock::now() - start < duration)) {
    statusLine.PrintIfDue(status, counters, queue);
    if (!subscriber.Read(sample, 100)) continue;
    if (!firstImage) firstImage = Clock::now();
    if (Offer(sample, queue, gaps, counters)) ++handedOver;
  }
  queue.PushEnd(std::move(gaps.pending()));
  writer.Join();
  const double seconds = std::chrono::duration<double>(Clock::now() - firstImage.value_or(Clock::now())).count();
  PrintSummary(summary, writer.files(), counters, seconds);
  if (!writer.error().empty()) {
    fmt::print(status, "vexatoolsRecord: write error: {}\n", writer.error());
    return 1;
  }
  if (writer.files().empty()) fmt::print(status, "vexatoolsRecord: no image came; no file written\n");
  return 0;
}

}  // namespace vexatools::record
