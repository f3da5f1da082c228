// The recording file library: what it stores, how it starts new files, what
// it refuses, and the hand-over queue.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "ImageQueue.hpp"
#include "RecordingFile.hpp"
#include "RecordingSink.hpp"

namespace vexatools::record {
namespace {

namespace fs = std::filesystem;

class RecordingFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QuietHdf5Errors();
    directory_ = fs::temp_directory_path() / ("vexatools-recording-" + std::to_string(getpid()) + "-" +
                                              ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(directory_);
    fs::create_directories(directory_);
  }
  void TearDown() override { fs::remove_all(directory_); }
  std::string Path(const std::string& name) const { return (directory_ / name).string(); }

  fs::path directory_;
};

ImageLayout Layout(int width, int height, int bytesPerPixel, int lumoType, bool littleEndian = true) {
  return {width, height, bytesPerPixel, lumoType, littleEndian};
}

// Distinct bytes per image, so that a swapped or shifted image shows.
std::vector<std::uint8_t> Pixels(const ImageLayout& layout, int image) {
  std::vector<std::uint8_t> pixels(layout.ImageBytes());
  for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<std::uint8_t>(i * 7 + image * 31 + 1);
  return pixels;
}

void WriteImages(RecordingWriter& writer, int count, std::uint64_t firstSequence = 1) {
  for (int i = 0; i < count; ++i) {
    const auto pixels = Pixels(writer.layout(), i);
    writer.Append({pixels, firstSequence + i, 1000u + i, 2000u + i, 1.5 + i});
  }
}

TEST_F(RecordingFileTest, KeepsPixelBytesTypeByteOrderAndTimesOfEveryPixelType) {
  const ImageLayout layouts[] = {
      Layout(5, 3, 1, lumo::kLumoUnsigned8),        Layout(4, 2, 2, lumo::kLumoInteger),
      Layout(4, 2, 2, lumo::kLumoInteger, false),   Layout(3, 3, 4, lumo::kLumoInteger),
      Layout(3, 2, 4, lumo::kLumoUnsigned32),       Layout(2, 2, 4, lumo::kLumoFloat, false),
      Layout(2, 3, 8, lumo::kLumoFloat),            Layout(1, 1, 8, lumo::kLumoInteger),
  };
  int fileNumber = 0;
  for (const auto& layout : layouts) {
    SCOPED_TRACE(layout.Describe() + (layout.littleEndian ? " LE" : " BE"));
    const auto path = Path(std::to_string(fileNumber++) + ".h5");
    {
      RecordingWriter writer(path, "cam", layout, Compression::kNone);
      WriteImages(writer, 3);
      writer.Close();
    }
    RecordingReader reader(path);
    EXPECT_EQ(reader.layout(), layout);
    EXPECT_EQ(reader.stream(), "cam");
    ASSERT_EQ(reader.images(), 3u);
    std::vector<std::uint8_t> pixels;
    double imageTime = 0;
    for (int i = 0; i < 3; ++i) {
      reader.Read(i, pixels, imageTime);
      EXPECT_EQ(pixels, Pixels(layout, i));
      EXPECT_EQ(imageTime, 1.5 + i);
    }
  }
}

TEST_F(RecordingFileTest, AFileLargerThanTheWriteBehindWindowReadsBackExactly) {
  // Past the window the writer waits for the disk and drops the written pages
  // from the cache: what a reader gets must not change.
  const auto layout = Layout(1024, 512, 2, lumo::kLumoInteger);  // 1 MiB an image
  const int images = static_cast<int>(2 * WriteBehind::kWindowBytes / layout.ImageBytes());
  const auto path = Path("large.h5");
  {
    RecordingWriter writer(path, "cam", layout, Compression::kNone);
    WriteImages(writer, images);
    writer.Close();
  }
  RecordingReader reader(path);
  ASSERT_EQ(reader.images(), static_cast<std::uint64_t>(images));
  std::vector<std::uint8_t> pixels;
  double imageTime = 0;
  for (int i = 0; i < images; ++i) {
    reader.Read(i, pixels, imageTime);
    ASSERT_EQ(pixels, Pixels(layout, i)) << "image " << i;
  }
}

TEST_F(RecordingFileTest, PixelTypesAreTheNumbersAReaderExpects) {
  EXPECT_EQ(PixelTypeName(Layout(1, 1, 1, lumo::kLumoUnsigned8)), "uint8");
  EXPECT_EQ(PixelTypeName(Layout(1, 1, 2, lumo::kLumoInteger)), "uint16");
  EXPECT_EQ(PixelTypeName(Layout(1, 1, 4, lumo::kLumoInteger)), "int32");
  EXPECT_EQ(PixelTypeName(Layout(1, 1, 4, lumo::kLumoUnsigned32)), "uint32");
  EXPECT_EQ(PixelTypeName(Layout(1, 1, 8, lumo::kLumoFloat)), "float64");
  // In the file: a big-endian 16-bit integer stays big-endian.
  const auto path = Path("be.h5");
  {
    RecordingWriter writer(path, "cam", Layout(2, 2, 2, lumo::kLumoInteger, false), Compression::kNone);
    writer.Close();
  }
  const hid_t file = H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
  const hid_t data = H5Dopen2(file, "/entry/data/data", H5P_DEFAULT);
  const hid_t type = H5Dget_type(data);
  EXPECT_EQ(H5Tequal(type, H5T_STD_U16BE), 1);
  H5Tclose(type);
  H5Dclose(data);
  H5Fclose(file);
}

TEST_F(RecordingFileTest, LayoutsThatCannotBeStoredAreRefused) {
  lumo::MetaDataElementsImage3D meta;
  meta.width = 4;
  meta.height = 2;
  meta.bytesPerPixel = 2;
  meta.lumoDataType = lumo::kLumoInteger;
  meta.littleEndian = 1;
  ASSERT_TRUE(LayoutOf(meta, 16));
  EXPECT_FALSE(LayoutOf(meta, 15));  // pixel bytes that do not match the geometry
  auto bad = meta;
  bad.bytesPerPixel = 3;
  EXPECT_FALSE(LayoutOf(bad, 24));
  bad = meta;
  bad.lumoDataType = lumo::kLumoFloat;  // a 2-byte float
  EXPECT_FALSE(LayoutOf(bad, 16));
  bad = meta;
  bad.width = -4;
  bad.height = -2;
  EXPECT_FALSE(LayoutOf(bad, 16));
  bad = meta;
  bad.width = bad.height = 1 << 20;  // 2^40 pixels: the product must not wrap
  bad.bytesPerPixel = 1;
  EXPECT_FALSE(LayoutOf(bad, 0));
  bad.bytesPerPixel = 0;
  EXPECT_FALSE(LayoutOf(bad, 0));
}

TEST_F(RecordingFileTest, GapsAndCountsAreStoredAndAnExistingFileIsNeverOverwritten) {
  const auto path = Path("gaps.h5");
  {
    RecordingWriter writer(path, "cam", Layout(2, 2, 1, lumo::kLumoUnsigned8), Compression::kNone);
    WriteImages(writer, 2);
    writer.AddGap({3, 5, GapCause::kLost});
    writer.AddGap({9, 1, GapCause::kDiskTooSlow});
    WriteImages(writer, 1, 10);
    EXPECT_EQ(writer.missed(), 6u);
    writer.Close();
  }
  const auto size = fs::file_size(path);
  try {
    RecordingWriter again(path, "cam", Layout(2, 2, 1, lumo::kLumoUnsigned8), Compression::kNone);
    ADD_FAILURE() << "an existing file was opened for writing";
  } catch (const H5Failure& failure) {
    EXPECT_NE(std::string(failure.what()).find("cannot create " + path), std::string::npos) << failure.what();
  }
  EXPECT_EQ(fs::file_size(path), size);

  const hid_t file = H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
  ASSERT_GE(file, 0);
  const hid_t gaps = H5Dopen2(file, "/entry/data/gaps", H5P_DEFAULT);
  std::uint64_t rows[2][3] = {};
  ASSERT_GE(H5Dread(gaps, H5T_NATIVE_UINT64, H5S_ALL, H5S_ALL, H5P_DEFAULT, rows), 0);
  EXPECT_EQ((std::vector<std::uint64_t>{rows[0][0], rows[0][1], rows[0][2], rows[1][0], rows[1][1], rows[1][2]}),
            (std::vector<std::uint64_t>{3, 5, 0, 9, 1, 1}));
  const hid_t sequence = H5Dopen2(file, "/entry/data/sequence", H5P_DEFAULT);
  std::uint64_t numbers[3] = {};
  ASSERT_GE(H5Dread(sequence, H5T_NATIVE_UINT64, H5S_ALL, H5S_ALL, H5P_DEFAULT, numbers), 0);
  EXPECT_EQ((std::vector<std::uint64_t>{numbers[0], numbers[1], numbers[2]}), (std::vector<std::uint64_t>{1, 2, 10}));
  const hid_t data = H5Dopen2(file, "/entry/data/data", H5P_DEFAULT);
  const hid_t missed = H5Aopen(data, "missed", H5P_DEFAULT);
  std::int64_t missedValue = 0;
  H5Aread(missed, H5T_NATIVE_INT64, &missedValue);
  EXPECT_EQ(missedValue, 6);
  H5Aclose(missed);
  for (hid_t dataset : {gaps, sequence, data}) H5Dclose(dataset);
  H5Fclose(file);
}

TEST_F(RecordingFileTest, CompressedImagesComeBackAsTheyWere) {
  for (auto compression : {Compression::kDeflate, Compression::kLz4, Compression::kBitshuffleLz4}) {
    SCOPED_TRACE(NameOf(compression));
    try {
      CheckFilterAvailable(compression);
    } catch (const H5Failure& missing) {
      // Debian 12 ships no bitshuffle plugin with hdf5-filter-plugin: the message says what to install.
      EXPECT_NE(std::string(missing.what()).find("install the Debian package"), std::string::npos);
      continue;
    }
    const auto path = Path(NameOf(compression) + ".h5");
    const auto layout = Layout(64, 32, 2, lumo::kLumoInteger);
    // A smooth image packs well with every filter; a noisy one not at all.
    std::vector<std::uint8_t> smooth(layout.ImageBytes());
    for (std::size_t i = 0; i < smooth.size(); i += 2) smooth[i] = static_cast<std::uint8_t>(i / 2 % 64 + i / 128);
    {
      RecordingWriter writer(path, "cam", layout, compression);
      writer.Append({smooth, 1, 0, 0, 0});
      WriteImages(writer, 3, 2);
      writer.Close();
    }
    RecordingReader reader(path);
    std::vector<std::uint8_t> pixels;
    double imageTime = 0;
    reader.Read(0, pixels, imageTime);
    EXPECT_EQ(pixels, smooth);
    for (int i = 0; i < 3; ++i) {
      reader.Read(i + 1, pixels, imageTime);
      EXPECT_EQ(pixels, Pixels(layout, i));
    }
    // Compressed for real: the smooth image takes a fraction of its size.
    const hid_t file = H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    const hid_t data = H5Dopen2(file, "/entry/data/data", H5P_DEFAULT);
    hsize_t offset[3] = {0, 0, 0};
    hsize_t stored = 0;
    EXPECT_GE(H5Dget_chunk_storage_size(data, offset, &stored), 0);
    EXPECT_LT(stored, layout.ImageBytes() / 3);
    H5Dclose(data);
    H5Fclose(file);
  }
}

TEST_F(RecordingFileTest, ANewLayoutOrAFullFileContinuesInTheNextNumberedFile) {
  EXPECT_EQ(NumberedPath("/data/run.h5", 0), "/data/run.h5");
  EXPECT_EQ(NumberedPath("/data/run.h5", 12), "/data/run_0012.h5");
  EXPECT_EQ(NumberedPath("run", 1), "run_0001");

  const auto layout = Layout(32, 32, 2, lumo::kLumoInteger);  // 2 KiB an image
  const auto pixels = Pixels(layout, 0);
  const auto other = Layout(16, 8, 4, lumo::kLumoFloat);
  const auto otherPixels = Pixels(other, 1);
  std::uint64_t files = 0;
  {
    // Room for about 40 images.
    RecordingSink sink(Path("run.h5"), "cam", Compression::kNone, 128 * 1024);
    QueuedImage item;
    item.layout = layout;
    item.image.pixels = pixels;
    for (int i = 1; i <= 121; ++i) {
      item.image.sequence = i;
      item.gapsBefore = i == 30 ? std::vector<Gap>{{29, 1, GapCause::kUnreadable}} : std::vector<Gap>{};
      if (i != 29) sink.Write(item);
    }
    item.layout = other;
    item.image.pixels = otherPixels;
    item.gapsBefore.clear();
    sink.Write(item);
    sink.Finish({{62, 3, GapCause::kDiskTooSlow}});
    files = sink.files().size();
    ASSERT_GE(files, 3u);
    std::uint64_t images = 0;
    std::uint64_t missed = 0;
    for (std::size_t i = 0; i < files; ++i) {
      const auto& file = sink.files()[i];
      EXPECT_EQ(file.path, NumberedPath(Path("run.h5"), static_cast<unsigned>(i)));
      EXPECT_LE(fs::file_size(file.path), 128u * 1024) << file.path;
      images += file.images;
      missed += file.missed;
    }
    EXPECT_EQ(images, 121u);
    EXPECT_EQ(missed, 4u);
    EXPECT_EQ(sink.files().back().images, 1u);  // the new layout alone in the last file
    EXPECT_EQ(sink.files().back().missed, 3u);
  }
  RecordingReader last(NumberedPath(Path("run.h5"), static_cast<unsigned>(files - 1)));
  EXPECT_EQ(last.layout(), other);
  std::vector<std::uint8_t> read;
  double imageTime = 0;
  last.Read(0, read, imageTime);
  EXPECT_EQ(read, otherPixels);
}

TEST(ImageQueueTest, FullByCountOrBytesRefusesWithoutWaitingAndTheEndAlwaysPasses) {
  ImageQueue queue(2, 100);
  QueuedImage item;
  EXPECT_TRUE(queue.TryPush(item));
  EXPECT_TRUE(queue.TryPush(item));
  EXPECT_FALSE(queue.TryPush(item));  // two images wait
  queue.PushEnd({{5, 1, GapCause::kDiskTooSlow}});
  EXPECT_EQ(queue.Fill().first, 3u);
  ASSERT_TRUE(queue.Pop(std::chrono::milliseconds(0)));
  ASSERT_TRUE(queue.Pop(std::chrono::milliseconds(0)));
  const auto end = queue.Pop(std::chrono::milliseconds(0));
  ASSERT_TRUE(end);
  EXPECT_TRUE(end->last);
  ASSERT_EQ(end->gapsBefore.size(), 1u);
  EXPECT_EQ(end->gapsBefore[0].first, 5u);
  EXPECT_FALSE(queue.Pop(std::chrono::milliseconds(10)));
}

}  // namespace
}  // namespace vexatools::record
