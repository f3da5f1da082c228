// The hand-over from the subscriber thread to the writer thread.
//
// Bounded in images and in bytes. TryPush never waits: when the writer
// falls behind, the subscriber drops the image (and counts it) instead of
// letting the publisher's messages pile up.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "ImageLayout.hpp"
#include "RecordingFile.hpp"
#include "lumo/LumoDataSubscriber.hpp"

namespace vexatools::record {

struct QueuedImage {
  ImageEntry image;           // its pixels are those of `received`
  lumo::LumoSample received;  // holds the received bytes: they are not copied
  ImageLayout layout;
  std::vector<Gap> gapsBefore;  // sequence numbers missing right before this image
  bool last = false;            // no image: the recording ends after gapsBefore

  std::size_t bytes() const { return image.pixels.size(); }
};

class ImageQueue {
 public:
  ImageQueue(std::size_t maxImages, std::size_t maxBytes) : maxImages_(maxImages), maxBytes_(maxBytes) {}

  // False, leaving `item` as it was, when the queue is full. An image
  // larger than the byte bound passes when the queue is empty.
  bool TryPush(QueuedImage& item) {
    {
      std::lock_guard lock(mutex_);
      if (items_.size() >= maxImages_ || (!items_.empty() && bytes_ + item.bytes() > maxBytes_)) return false;
      bytes_ += item.bytes();
      items_.push_back(std::move(item));
    }
    ready_.notify_one();
    return true;
  }
  // The end of the recording, queued whatever the bounds.
  void PushEnd(std::vector<Gap> gaps) {
    QueuedImage end;
    end.gapsBefore = std::move(gaps);
    end.last = true;
    {
      std::lock_guard lock(mutex_);
      items_.push_back(std::move(end));
    }
    ready_.notify_one();
  }
  std::optional<QueuedImage> Pop(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (!ready_.wait_for(lock, timeout, [this] { return !items_.empty(); })) return std::nullopt;
    QueuedImage item = std::move(items_.front());
    items_.pop_front();
    bytes_ -= item.bytes();
    return item;
  }

  // Images and bytes waiting.
  std::pair<std::size_t, std::size_t> Fill() const {
    std::lock_guard lock(mutex_);
    return {items_.size(), bytes_};
  }
  std::size_t maxImages() const { return maxImages_; }

 private:
  const std::size_t maxImages_;
  const std::size_t maxBytes_;
  mutable std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<QueuedImage> items_;
  std::size_t bytes_ = 0;
};

}  // namespace vexatools::record
