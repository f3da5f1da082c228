// Recording benchmark: writes 1024x768 Int16 images through the recorder's
// writer (RecordingSink, as the writer thread does) into a file and syncs it
// to the disk, then prints the rate. bench/record/run.sh runs it beside dd.
//
//   recordBench FILE COMPRESSION IMAGES
//
// prints "MB/s images/s stored-bytes". The images are a smooth gradient with
// 8 bits of noise, like a detector's frames, so that compression is neither
// trivial nor hopeless.
//
//   recordBench publish BROKER STREAM RATE IMAGES
//
// publishes such images on a LUMO stream at RATE images/s, for a
// vexatoolsRecord started before it, and prints "published N".
#include <fcntl.h>
#include <unistd.h>

#include <fmt/format.h>
#include <log4cplus/configurator.h>
#include <log4cplus/initializer.h>
#include <log4cplus/logger.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <thread>
#include <vector>

#include "RecordingSink.hpp"
#include "lumo/Lumo.hpp"

using namespace vexatools::record;

namespace {

constexpr int kWidth = 1024;
constexpr int kHeight = 768;
constexpr int kDistinctImages = 8;

std::vector<std::vector<std::uint8_t>> DetectorImages(const ImageLayout& layout) {
  std::mt19937 random(7);
  std::vector<std::vector<std::uint8_t>> images;
  for (int image = 0; image < kDistinctImages; ++image) {
    std::vector<std::uint8_t> pixels(layout.ImageBytes());
    for (int y = 0; y < kHeight; ++y) {
      for (int x = 0; x < kWidth; ++x) {
        const auto value = static_cast<std::uint16_t>(1000 + 8 * (x + y + image) + (random() & 0xFF));
        const std::size_t at = 2 * (std::size_t(y) * kWidth + x);
        pixels[at] = static_cast<std::uint8_t>(value);
        pixels[at + 1] = static_cast<std::uint8_t>(value >> 8);
      }
    }
    images.push_back(std::move(pixels));
  }
  return images;
}

int Publish(const std::string& broker, const std::string& stream, double rate, long count) {
  log4cplus::Initializer initializer;
  log4cplus::BasicConfigurator(log4cplus::Logger::getDefaultHierarchy(), true).configure();
  log4cplus::Logger::getRoot().setLogLevel(log4cplus::WARN_LOG_LEVEL);
  const ImageLayout layout{kWidth, kHeight, 2, lumo::kLumoInteger, true};
  const auto images = DetectorImages(layout);
  auto publisher = lumo::LumoDataTransferFactory::CreatePublisher(nullptr);
  publisher->SetBufferSize(static_cast<int>(layout.ImageBytes()), 64);
  if (publisher->Register(broker, stream, 0) != 1) return 1;
  lumo::MetaDataElementsImage3D record;
  record.bytesPerPixel = 2;
  record.numberOfDimensions = 2;
  record.littleEndian = record.rowMajor = record.contiguous = 1;
  record.lumoDataType = lumo::kLumoInteger;
  record.width = kWidth;
  record.height = kHeight;
  lumo::LumoEncDecImage3D encoder;
  encoder.Encode(record);
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // the recorder looks the stream up and connects
  const auto period = std::chrono::duration<double>(1.0 / rate);
  const auto start = std::chrono::steady_clock::now();
  for (long i = 0; i < count; ++i) {
    std::this_thread::sleep_until(start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(period * i));
    publisher->WriteData(0, images[i % kDistinctImages], encoder.get_meta_data());
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the last messages leave
  fmt::print("published {}\n", count);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 6 && std::string(argv[1]) == "publish") return Publish(argv[2], argv[3], std::atof(argv[4]), std::atol(argv[5]));
  if (argc != 4) {
    fmt::print(stderr, "usage: recordBench FILE none|lz4|bitshuffle-lz4|deflate IMAGES\n");
    return 2;
  }
  const std::string path = argv[1];
  const auto compression = CompressionNamed(argv[2]);
  const long count = std::atol(argv[3]);
  if (!compression || count < 1) return 2;
  QuietHdf5Errors();
  const ImageLayout layout{kWidth, kHeight, 2, lumo::kLumoInteger, true};
  const auto images = DetectorImages(layout);
  try {
    CheckFilterAvailable(*compression);
    const auto start = std::chrono::steady_clock::now();
    {
      RecordingSink sink(path, "bench", *compression, 0);
      QueuedImage item;
      item.layout = layout;
      for (long i = 0; i < count; ++i) {
        item.image.pixels = images[i % kDistinctImages];
        item.image.sequence = i + 1;
        sink.Write(item);
      }
      sink.Finish({});
    }
    // On the disk, as dd oflag=direct is.
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0 || fsync(fd) != 0) throw std::runtime_error("cannot sync " + path);
    close(fd);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double bytes = static_cast<double>(layout.ImageBytes()) * static_cast<double>(count);
    const auto stored = std::filesystem::file_size(path);
    fmt::print("{:.1f} {:.1f} {}\n", bytes / seconds / 1e6, static_cast<double>(count) / seconds, stored);
  } catch (const std::exception& error) {
    fmt::print(stderr, "recordBench: {}\n", error.what());
    return 1;
  }
  return 0;
}
