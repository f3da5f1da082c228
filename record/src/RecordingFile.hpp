// One HDF5 recording file, written while readers follow it.
//
// Layout (NeXus-style, readable with h5py, MATLAB, ImageJ):
//   /entry/data/data       (N, height, width) pixels, one image per chunk
//   /entry/data/sequence   (N) uint64  LUMO sequence number
//   /entry/data/timestamp  (N) uint64  publisher's send time, ns since 1970 UTC
//   /entry/data/arrival    (N) uint64  arrival time here, ns since 1970 UTC
//   /entry/data/image_time (N) float64 the image's own time stamp, s since 1970 UTC
//   /entry/data/gaps       (M, 3) uint64  first missed sequence, count, cause
// with the stream name, geometry, pixel type and start/end times as
// attributes of /entry/data/data.
//
// The file is written in single-writer/multiple-reader mode: a reader that
// opens it with SWMR (h5py: File(path, "r", swmr=True)) sees every image
// flushed so far, and after a crash or a full disk the file still opens that
// way with every image flushed before.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "H5Handle.hpp"
#include "ImageLayout.hpp"
#include "WriteBehind.hpp"

namespace vexatools::record {

enum class Compression { kNone, kLz4, kBitshuffleLz4, kDeflate };

std::optional<Compression> CompressionNamed(const std::string& name);
std::string NameOf(Compression compression);
// Throws H5Failure naming the filter and its package when HDF5 cannot load
// the filter `compression` needs.
void CheckFilterAvailable(Compression compression);

// Why sequence numbers are missing from a file.
enum class GapCause : std::uint64_t {
  kLost = 0,         // never arrived here (network, publisher's queue)
  kDiskTooSlow = 1,  // arrived while the writer's queue was full
  kUnreadable = 2,   // meta-data unreadable or not matching the pixel bytes
};

struct Gap {
  std::uint64_t first = 0;  // first missed sequence number
  std::uint64_t count = 0;
  GapCause cause = GapCause::kLost;
};

struct ImageEntry {
  std::span<const std::uint8_t> pixels;  // ImageBytes() of the file's layout
  std::uint64_t sequence = 0;
  std::uint64_t publishTimeNs = 0;
  std::uint64_t arrivalNs = 0;
  double imageTime = 0;
};

class RecordingWriter {
 public:
  // Creates `path` (never overwriting a file) for images of `layout` from
  // `stream`. Throws H5Failure saying what failed.
  RecordingWriter(const std::string& path, const std::string& stream, const ImageLayout& layout,
                  Compression compression);
  // Closes without reporting failures; call Close first to hear of them.
  ~RecordingWriter();
  RecordingWriter(const RecordingWriter&) = delete;
  RecordingWriter& operator=(const RecordingWriter&) = delete;

  void Append(const ImageEntry& image);
  void AddGap(const Gap& gap);
  // Makes everything appended so far visible to readers and durable against
  // a crash of this process.
  void Flush();
  // Writes the closing attributes (end time, counts) and closes the file.
  void Close();
  // Closes after a failed write, as far as the file lets itself be written:
  // it keeps every image appended before the failure.
  void CloseAfterFailure() noexcept;

  std::uint64_t images() const { return images_; }
  std::uint64_t missed() const { return missed_; }
  const std::string& path() const { return path_; }
  const ImageLayout& layout() const { return layout_; }
  // Bytes the file takes now.
  std::uint64_t FileSize() const;

 private:
  void CreateDatasets(const std::string& stream, Compression compression);
  void AppendUnchecked(const ImageEntry& image);
  // Takes back the rows of a write that failed half-way.
  void ShrinkTo(std::uint64_t images, std::uint64_t gapRows) noexcept;
  void AppendValue(const H5Handle& dataset, hid_t memoryType, const void* value, const char* name);
  void WriteClosingAttributes();

  std::string path_;
  ImageLayout layout_;
  bool direct_ = true;  // unfiltered chunks go straight to the file
  H5Handle file_;
  H5Handle pixelType_;
  H5Handle data_, sequence_, timestamp_, arrival_, imageTime_, gaps_;
  std::optional<WriteBehind> writeBehind_;
  std::uint64_t images_ = 0;
  std::uint64_t gapRows_ = 0;
  std::uint64_t missed_ = 0;
};

// Reads a recording (also one still being written, or cut short), or any
// file with an (N, height, width) dataset at /entry/data/data.
class RecordingReader {
 public:
  // Throws H5Failure or std::runtime_error saying what is wrong with the file.
  explicit RecordingReader(const std::string& path);

  const ImageLayout& layout() const { return layout_; }
  const std::string& stream() const { return stream_; }
  std::uint64_t images() const { return images_; }
  // Image `index` into `pixels` (resized to ImageBytes()); its own time
  // stamp, 0 when the file has none.
  void Read(std::uint64_t index, std::vector<std::uint8_t>& pixels, double& imageTime);

 private:
  std::string path_;
  H5Handle file_;
  H5Handle data_;
  H5Handle pixelType_;
  H5Handle imageTimes_;
  hsize_t imageTimeCount_ = 0;
  ImageLayout layout_;
  std::string stream_;
  std::uint64_t images_ = 0;
};

}  // namespace vexatools::record
