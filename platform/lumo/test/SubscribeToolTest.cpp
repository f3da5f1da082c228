// lumoSubscribe as a user runs it: its lines, summary, status and PNG files.
#include <png.h>

#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <csetjmp>
#include <cstring>
#include <filesystem>
#include <set>
#include <thread>

#include "TestSupport.hpp"
#include "lumo/Lumo.hpp"

namespace lumo::test {
namespace {

namespace fs = std::filesystem;

struct Png {
  int width = 0;
  int height = 0;
  int bitDepth = 0;
  int colorType = -1;
  std::vector<std::uint8_t> samples;  // rows one after another, 16-bit big-endian
};

// libpng jumps back here on errors; `out` lives in the caller, so no local
// with a destructor is skipped.
bool ReadPngInto(const char* path, Png& out) {
  std::FILE* file = std::fopen(path, "rb");
  if (!file) return false;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(file);
    return false;
  }
  png_init_io(png, file);
  png_read_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
  out.width = static_cast<int>(png_get_image_width(png, info));
  out.height = static_cast<int>(png_get_image_height(png, info));
  out.bitDepth = png_get_bit_depth(png, info);
  out.colorType = png_get_color_type(png, info);
  const std::size_t rowBytes = png_get_rowbytes(png, info);
  png_bytepp rows = png_get_rows(png, info);
  for (int row = 0; row < out.height; ++row) out.samples.insert(out.samples.end(), rows[row], rows[row] + rowBytes);
  png_destroy_read_struct(&png, &info, nullptr);
  std::fclose(file);
  return true;
}

std::optional<Png> ReadPng(const fs::path& path) {
  Png png;
  if (!ReadPngInto(path.c_str(), png)) return std::nullopt;
  return png;
}

// Whether all of `text` matches the sscanf `format`, which ends in %n.
template <typename... Fields>
bool Matches(const std::string& text, const char* format, Fields*... fields) {
  int consumed = -1;
  std::sscanf(text.c_str(), format, fields..., &consumed);
  return consumed == static_cast<int>(text.size());
}

// Publishes the same image every 20 ms until destroyed.
class RepeatingPublisher {
 public:
  RepeatingPublisher(const std::string& broker, const MetaDataElementsImage3D& record, std::vector<std::uint8_t> pixels,
                     const std::string& stream = "tool")
      : publisher_(LumoDataTransferFactory::CreatePublisher(nullptr)) {
    EXPECT_EQ(publisher_->Register(broker, stream, 0), 1);
    encoder_.Encode(record);
    thread_ = std::thread([this, pixels = std::move(pixels)] {
      for (int i = 0; i < 1500 && !stop_; ++i) {
        publisher_->WriteData(0, pixels, encoder_.get_meta_data());
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    });
  }
  ~RepeatingPublisher() {
    stop_ = true;
    thread_.join();
  }

 private:
  std::unique_ptr<LumoDataPublisher> publisher_;
  LumoEncDecImage3D encoder_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class SubscribeTool : public ::testing::Test {
 protected:
  void SetUp() override {
    directory = fs::temp_directory_path() /
                ("lumo-subscribe-test-" + std::to_string(getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(directory);
  }
  void TearDown() override { fs::remove_all(directory); }

  // Runs lumoSubscribe for three images and returns its output lines;
  // its standard error goes to `errors`.
  std::vector<std::string> RunForThreeImages(const BrokerProcess& broker, int expectedStatus = 0,
                                             const std::string& stream = "tool", std::string* errors = nullptr) {
    Process tool(SubscribePath(), {"--broker-uri", broker.uri(), "--stream", stream, "--count", "3", "--timeout",
                                        "10", "--save", directory.string()});
    const std::string output = tool.ReadAll(30s);
    EXPECT_EQ(tool.Wait(10s), expectedStatus) << tool.Err();
    if (errors) *errors = tool.Err();
    std::vector<std::string> lines;
    std::istringstream stream(output);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
  }
  std::vector<fs::path> SavedFiles() const {
    std::vector<fs::path> files;
    if (fs::exists(directory))
      for (const auto& entry : fs::directory_iterator(directory)) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
  }

  fs::path directory;
};

TEST_F(SubscribeTool, PrintsEachImageAndASummaryAndSaves16BitPixelsAsTheyAre) {
  BrokerProcess broker;
  auto pixels = PatternImage(8 * 4 * 2, 5);
  RepeatingPublisher publisher(broker.uri(), ImageRecord(8, 4, 2, kLumoInteger), pixels);
  const auto lines = RunForThreeImages(broker);
  ASSERT_EQ(lines.size(), 4u);
  for (int i = 0; i < 3; ++i) {
    unsigned long sequence = 0;
    double latency = 0;
    EXPECT_TRUE(Matches(lines[i], "seq %lu 8x4 type 1 bpp 2 64 bytes latency %lf ms%n", &sequence, &latency)) << lines[i];
  }
  double rate = 0;
  double megabytes = 0;
  EXPECT_TRUE(Matches(lines[3], "images 3, gaps 0 (0 missed), %lf images/s, %lf MB/s%n", &rate, &megabytes)) << lines[3];

  const auto files = SavedFiles();
  ASSERT_EQ(files.size(), 3u);
  // Stream, the publisher run (publish time of its first image received), sequence.
  unsigned date = 0, time = 0, milliseconds = 0;
  unsigned long sequence = 0;
  EXPECT_TRUE(Matches(files[0].filename().string(), "tool_%8u-%6u.%3u_%8lu.png%n", &date, &time, &milliseconds,
                      &sequence))
      << files[0];
  const auto png = ReadPng(files[0]);
  ASSERT_TRUE(png);
  EXPECT_EQ(png->width, 8);
  EXPECT_EQ(png->height, 4);
  EXPECT_EQ(png->bitDepth, 16);
  EXPECT_EQ(png->colorType, PNG_COLOR_TYPE_GRAY);
  // Little-endian pixels become big-endian PNG samples.
  ASSERT_EQ(png->samples.size(), pixels.size());
  for (std::size_t i = 0; i < pixels.size(); i += 2) {
    EXPECT_EQ(png->samples[i], pixels[i + 1]);
    EXPECT_EQ(png->samples[i + 1], pixels[i]);
  }
}

TEST_F(SubscribeTool, ScalesFloatPixelsOntoTheWhole16BitRange) {
  BrokerProcess broker;
  std::vector<std::uint8_t> pixels;
  for (int i = 0; i < 6; ++i) {
    const auto bits = std::bit_cast<std::uint32_t>(static_cast<float>(i) * 0.5f - 1.0f);  // -1 .. 1.5
    for (int b = 0; b < 4; ++b) pixels.push_back(static_cast<std::uint8_t>(bits >> (8 * b)));
  }
  RepeatingPublisher publisher(broker.uri(), ImageRecord(3, 2, 4, kLumoFloat), pixels);
  RunForThreeImages(broker);
  const auto files = SavedFiles();
  ASSERT_EQ(files.size(), 3u);
  const auto png = ReadPng(files[0]);
  ASSERT_TRUE(png);
  EXPECT_EQ(png->bitDepth, 16);
  std::vector<int> values;
  for (std::size_t i = 0; i + 1 < png->samples.size(); i += 2) values.push_back(png->samples[i] << 8 | png->samples[i + 1]);
  EXPECT_EQ(values, (std::vector<int>{0, 13107, 26214, 39321, 52428, 65535}));
}

// Images that cannot be saved are listed, counted in the summary, reported
// on standard error at most once a second, and make the exit status 3.
TEST_F(SubscribeTool, ImagesWhoseGeometryDoesNotMatchTheDataAreListedButNotSaved) {
  BrokerProcess broker;
  RepeatingPublisher publisher(broker.uri(), ImageRecord(100, 100, 2, kLumoInteger), PatternImage(10, 1));
  std::string errors;
  const auto lines = RunForThreeImages(broker, 3, "tool", &errors);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_NE(lines[0].find("100x100"), std::string::npos);
  EXPECT_TRUE(lines[3].ends_with(", 3 not saved")) << lines[3];
  EXPECT_TRUE(SavedFiles().empty());
  EXPECT_LE(CountLines(errors, "lumoSubscribe: seq "), 2u) << errors;
  EXPECT_NE(errors.find("lumoSubscribe: 3 image(s) could not be saved"), std::string::npos) << errors;
}

// The longest stream names would make file names longer than the 255 bytes
// a file system allows; two names that differ only at the end still get
// files of their own.
TEST_F(SubscribeTool, LongStreamNamesGiveShortUniqueFileNames) {
  BrokerProcess broker;
  std::vector<std::string> prefixes;
  for (const char last : {'a', 'b'}) {
    const std::string stream = std::string(kMaxStreamNameSize - 1, 'n') + last;
    RepeatingPublisher publisher(broker.uri(), ImageRecord(8, 4, 2, kLumoInteger), PatternImage(64, 1), stream);
    RunForThreeImages(broker, 0, stream);
  }
  const auto files = SavedFiles();
  ASSERT_EQ(files.size(), 6u);
  std::set<std::string> streamParts;
  for (const auto& file : files) {
    const std::string name = file.filename().string();
    EXPECT_LE(name.size(), 255u) << name;
    EXPECT_TRUE(ReadPng(file)) << name;
    streamParts.insert(name.substr(0, name.find('_')));
  }
  EXPECT_EQ(streamParts.size(), 2u);
}

TEST_F(SubscribeTool, ImagesOverTheMaximumSizeNeverArrive) {
  BrokerProcess broker;
  RepeatingPublisher publisher(broker.uri(), ImageRecord(8, 4, 2, kLumoInteger), PatternImage(64, 1));
  Process tool(SubscribePath(), {"--broker-uri", broker.uri(), "--stream", "tool", "--timeout", "2",
                                 "--max-image-bytes", "63"});
  const std::string output = tool.ReadAll(30s);
  EXPECT_EQ(tool.Wait(10s), 2) << output;
  EXPECT_EQ(CountLines(output, "seq "), 0u) << output;
}

TEST_F(SubscribeTool, ShowsTheTestPatternOfLumoPublish) {
  BrokerProcess broker;
  Process publisher(LUMO_PUBLISH_PATH,
                         {"-b", broker.uri(), "-s", "tool", "-w", "32", "-e", "8", "-B", "1", "-r", "50"});
  const auto announced = publisher.ReadLine(20s);
  ASSERT_TRUE(announced);
  EXPECT_EQ(*announced, "Publishing 32 x 8 x 1 bytes on stream 'tool' at 50 images/s");

  const auto lines = RunForThreeImages(broker);
  ASSERT_EQ(lines.size(), 4u);
  unsigned long sequence = 0;
  double latency = 0;
  EXPECT_TRUE(Matches(lines[0], "seq %lu 32x8 type 0 bpp 1 256 bytes latency %lf ms%n", &sequence, &latency))
      << lines[0];
  const auto files = SavedFiles();
  ASSERT_EQ(files.size(), 3u);
  const auto png = ReadPng(files[0]);
  ASSERT_TRUE(png);
  EXPECT_EQ(png->width, 32);
  EXPECT_EQ(png->height, 8);
  EXPECT_EQ(png->bitDepth, 8);

  // Ctrl-C unregisters the stream and ends the publisher cleanly.
  EXPECT_EQ(publisher.Stop(SIGINT), 0);
  RawBrokerClient monitor(broker.uri());
  const auto reply = monitor.Ask({"LOOKUP", "tool"});
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->at(0), "ERROR");
}

TEST_F(SubscribeTool, EndsWithStatus2WhenNoImageComes) {
  BrokerProcess broker;
  Process tool(SubscribePath(), {"--broker-uri", broker.uri(), "--stream", "silent", "--timeout", "1"});
  const std::string output = tool.ReadAll(20s);
  EXPECT_EQ(tool.Wait(10s), 2);
  EXPECT_EQ(output, "images 0, gaps 0 (0 missed), 0.0 images/s, 0.0 MB/s\n");

  Process help(SubscribePath(), {"--help"});
  EXPECT_NE(help.ReadAll(10s).find("--save"), std::string::npos);
  EXPECT_EQ(help.Wait(10s), 0);
  Process badTimeout(SubscribePath(), {"--timeout", "-1"});
  EXPECT_EQ(badTimeout.Wait(10s), 1);
  Process badStream(SubscribePath(), {"--stream", "two words", "--timeout", "1"});
  EXPECT_EQ(badStream.Wait(10s), 1);
}

TEST(PythonExample, PrintsTheImagesOfARunningPublisher) {
  Process probe("/usr/bin/python3", {"-c", "import zmq"});
  if (probe.Wait(20s) != 0) GTEST_SKIP() << "/usr/bin/python3 with pyzmq is not installed";
  BrokerProcess broker;
  Process publisher(TestPublisherPath(), {broker.uri(), "python", "0", "20", "64"});
  ASSERT_TRUE(publisher.ReadLine(20s));
  Process example("/usr/bin/python3", {LUMO_PYTHON_EXAMPLE, broker.uri(), "python", "2"});
  const std::string output = example.ReadAll(20s);
  EXPECT_EQ(example.Wait(10s), 0);
  std::istringstream lines(output);
  int count = 0;
  for (std::string line; std::getline(lines, line); ++count) {
    unsigned long sequence = 0;
    EXPECT_TRUE(Matches(line, "seq %lu 64x1 type 0 bpp 1 64 bytes%n", &sequence)) << line;
  }
  EXPECT_EQ(count, 2);
}

}  // namespace
}  // namespace lumo::test
