// Writes the seed corpora of the fuzz targets, a set of its own for each,
// into <directory>/<target>/: real streams from the simulator's frame
// builder (whole samples, losses, repeats, other orders, extended leaders),
// the LUMO messages a publisher sends, and the requests a publisher and a
// subscriber send to the broker.
// Run by hand after a change to a format: fuzzMakeSeeds fuzz/corpus
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <span>
#include <string>
#include <vector>

#include "FuzzInput.hpp"
#include "korv/fnd/datatype/DataType.hpp"
#include "korv/vexatools/LumoImage.hpp"
#include "korv/vexatools/LumoSender.hpp"
#include "lumo/LumoEncDec.hpp"
#include "lumo/LumoWire.hpp"
#include "vexasim/SampleFrames.hpp"

namespace {

namespace dt = korv::fnd::datatype;
namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using Frames = std::vector<Bytes>;

class Corpus {
 public:
  Corpus(fs::path directory) : m_directory(std::move(directory)) { fs::create_directories(m_directory); }
  void Write(const std::string& name, const Bytes& input) const {
    std::ofstream(m_directory / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(input.data()), static_cast<std::streamsize>(input.size()));
  }

 private:
  fs::path m_directory;
};

korv::vexasim::SampleFrames Layout(int width, int height, dt::DataType type, bool extended) {
  return korv::vexasim::SampleFrames({width, height, dt::ElementSize(type), type, extended});
}

// Frames of samples first .. first + count - 1, in order.
Frames Stream(const korv::vexasim::SampleFrames& layout, std::uint32_t first, int count) {
  Frames frames;
  for (int i = 0; i < count; ++i) {
    for (auto& frame : layout.BuildSample(first + static_cast<std::uint32_t>(i), 1.7e9 + i)) frames.push_back(frame);
  }
  return frames;
}

Bytes Records(const Frames& frames, Bytes prefix = {}) {
  for (const auto& frame : frames) vexafuzz::AppendRecord(prefix, frame);
  return prefix;
}

// One 8 x 8 Int16 image in four payload frames of 32 bytes: the split a
// sender with small frames makes.
Frames SmallFrames(std::uint32_t sampleId) {
  const auto layout = Layout(8, 8, dt::Int16, false);
  const Frames whole = layout.BuildSample(sampleId);
  constexpr int kPayloadFrames = 4, kUnits = 16;
  const std::uint16_t frameCount = kPayloadFrames + 2;
  Frames frames;
  Bytes leader = whole.front();
  layout.WriteHeader(leader.data(), sampleId, 1, frameCount, static_cast<std::uint16_t>(leader.size() - 32));
  frames.push_back(leader);
  for (int i = 0; i < kPayloadFrames; ++i) {
    Bytes frame(32 + sorelif::kPayloadHeaderSize + kUnits * 2);
    layout.WriteHeader(frame.data(), sampleId, static_cast<std::uint16_t>(2 + i), frameCount,
                       static_cast<std::uint16_t>(frame.size() - 32));
    sorelif::EncodePayloadHeader(std::span(frame).subspan(32), 0, kUnits);
    korv::vexasim::FillPattern(sampleId, static_cast<std::uint64_t>(i) * kUnits * 2, frame.data() + 40, kUnits * 2);
    frames.push_back(frame);
  }
  Bytes trailer = whole.back();
  layout.WriteHeader(trailer.data(), sampleId, frameCount, frameCount, static_cast<std::uint16_t>(trailer.size() - 32));
  frames.push_back(trailer);
  return frames;
}

// Frames that name the sample being assembled but contradict it: every
// leader twice, trailers of samples never seen, a trailer with another frame
// count, a one-unit copy of the last payload frame before the real one.
void WriteHostileSampleSeeds(const Corpus& corpus, const korv::vexasim::SampleFrames& layout) {
  Frames repeated;
  for (std::uint32_t id = 1; id <= 2; ++id) {
    const Frames sample = layout.BuildSample(id);
    repeated.push_back(sample.front());
    repeated.insert(repeated.end(), sample.begin(), sample.end());
  }
  corpus.Write("repeated-leaders", Records(repeated));
  Frames stray = Stream(layout, 1, 1);
  for (std::uint32_t id = 50; id < 54; ++id) stray.push_back(layout.BuildSample(id).back());
  const Frames after = Stream(layout, 2, 1);
  stray.insert(stray.end(), after.begin(), after.end());
  corpus.Write("stray-trailers", Records(stray));
  Frames contradicting = Stream(layout, 1, 1);
  Bytes otherCount = contradicting.back();
  layout.WriteHeader(otherCount.data(), 1, 2, 2, static_cast<std::uint16_t>(otherCount.size() - 32));
  Bytes oneUnit = contradicting[1];  // 8 x 8 Int16: the only payload frame is the last one
  oneUnit[32 + 4] = 0;
  oneUnit[32 + 5] = 1;
  contradicting.insert(contradicting.begin() + 1, {otherCount, oneUnit});
  corpus.Write("contradicting-frames", Records(contradicting));
}

void WriteReceiverSeeds(const Corpus& corpus) {
  const auto layout = Layout(8, 8, dt::Int16, false);
  corpus.Write("one-sample", Records(Stream(layout, 1, 1)));
  corpus.Write("three-samples", Records(Stream(layout, 7, 3)));
  Frames lossy = Stream(layout, 1, 3);
  lossy.erase(lossy.begin() + 4);  // the payload frame of sample 2
  corpus.Write("lost-payload", Records(lossy));
  Frames reordered = Stream(layout, 1, 2);
  std::swap(reordered[1], reordered[2]);
  reordered.insert(reordered.begin() + 4, reordered[4]);
  corpus.Write("reordered-repeated", Records(reordered));
  corpus.Write("small-frames", Records(SmallFrames(3)));
  Frames mixed = SmallFrames(4);
  std::swap(mixed[2], mixed[4]);
  mixed.insert(mixed.begin() + 3, Stream(Layout(8, 8, dt::Int16, false), 9, 1)[1]);
  corpus.Write("small-frames-mixed", Records(mixed));
  corpus.Write("extended-leader", Records(Stream(Layout(8, 8, dt::Int16, true), 1, 2)));
  corpus.Write("other-geometry", Records(Stream(Layout(4, 4, dt::Int16, false), 1, 2)));
  WriteHostileSampleSeeds(corpus, layout);
}

// What the sample tracker counts: losses of each kind of frame, sample ids
// that wrap, a change of geometry, repeats, junk among the frames, and the
// extended leader that ends reception.
void WriteTrackerSeeds(const Corpus& corpus) {
  const auto layout = Layout(8, 8, dt::Int16, false);
  Frames losses = Stream(layout, 1, 4);
  losses.erase(losses.begin() + 9);  // the leader of sample 4
  losses.erase(losses.begin() + 5);  // the trailer of sample 2
  losses.erase(losses.begin() + 1);  // the payload frame of sample 1
  corpus.Write("lost-payload-trailer-leader", Records(losses));
  corpus.Write("wrapping-sample-ids", Records(Stream(layout, 0xFFFFFFFE, 4)));
  Frames resized = Stream(layout, 1, 1);
  const Frames larger = Stream(Layout(100, 100, dt::Byte, false), 2, 1);
  resized.insert(resized.end(), larger.begin(), larger.end());
  corpus.Write("geometry-change", Records(resized));
  Frames repeated = Stream(layout, 1, 2);
  repeated.insert(repeated.begin() + 4, repeated[3]);  // the leader of sample 2 twice
  repeated.insert(repeated.begin() + 3, repeated[2]);  // the trailer of sample 1 twice
  corpus.Write("repeated-leader-and-trailer", Records(repeated));
  Frames junk = Stream(layout, 1, 2);
  Bytes impossible = junk[1];
  layout.WriteHeader(impossible.data(), 1, 0, 3, static_cast<std::uint16_t>(impossible.size() - 32));
  Bytes notALeader = junk[0];
  notALeader[32] = 2;
  junk.insert(junk.begin() + 1, {Bytes(31, 0), Bytes(8973, 0), impossible, notALeader});
  corpus.Write("junk-among-frames", Records(junk));
  Frames extended = Stream(layout, 1, 1);
  const Frames refused = Stream(Layout(8, 8, dt::Int16, true), 2, 1);
  extended.insert(extended.end(), refused.begin(), refused.end());
  corpus.Write("extended-leader-after-a-sample", Records(extended));
}

void WriteSorelSeeds(const Corpus& corpus) {
  const auto plain = Layout(8, 8, dt::Int16, false).BuildSample(5);
  const auto extended = Layout(8, 8, dt::Int16, true).BuildSample(5);
  const auto packet = [](std::uint8_t unitChoice, const Bytes& frame) {
    Bytes input{unitChoice};
    input.insert(input.end(), frame.begin() + 32, frame.end());
    return input;
  };
  corpus.Write("leader", packet(1, plain[0]));
  corpus.Write("leader-extended", packet(1, extended[0]));
  corpus.Write("payload-int16", packet(1, plain[1]));
  corpus.Write("payload-bytes", packet(0, plain[1]));
  corpus.Write("trailer", packet(1, plain[2]));
}

void WriteAssemblerSeeds(const Corpus& corpus) {
  constexpr std::uint8_t kInt16 = 0, kByte = 1, kExtended = 8, kUnspecified = 4;
  corpus.Write("int16", Records(Stream(Layout(8, 8, dt::Int16, false), 1, 2), {kInt16}));
  corpus.Write("int16-extended", Records(Stream(Layout(8, 8, dt::Int16, true), 1, 2), {kInt16 | kExtended}));
  corpus.Write("double-extended-unspecified",
               Records(Stream(Layout(4, 4, dt::Double, true), 1, 2), {kUnspecified | kExtended}));
  corpus.Write("bytes-multi-frame", Records(Stream(Layout(100, 100, dt::Byte, false), 1, 1), {kByte}));
  Frames lossy = Stream(Layout(8, 8, dt::Int16, true), 1, 3);
  lossy.erase(lossy.begin() + 5);  // the trailer of sample 2
  corpus.Write("lost-trailer", Records(lossy, {kInt16 | kExtended}));
  // A legacy leader announcing 134,217,728 Int16 pixels (256 MiB), with the
  // frame count that size needs, then an ordinary sample.
  const auto small = Layout(8, 8, dt::Int16, false);
  Bytes oversized = small.BuildSample(1).front();
  constexpr std::uint32_t kUnits = 134217728;
  for (int i = 0; i < 4; ++i) oversized[32 + 4 + i] = static_cast<std::uint8_t>(kUnits >> (24 - 8 * i));
  small.WriteHeader(oversized.data(), 1, 1, static_cast<std::uint16_t>(2 + (kUnits + 4465) / 4466), 8);
  Frames afterOversized{oversized};
  for (auto& frame : small.BuildSample(2)) afterOversized.push_back(frame);
  corpus.Write("oversized-leader", Records(afterOversized, {kInt16}));
}

// The messages a publisher of 8 x 8 images sends, with the meta-data record
// the publishing library makes.
Bytes LumoMessage(dt::DataType type, std::uint64_t sequence, int width, int height) {
  korv::vexatools::LumoImage image(width, height, dt::ElementSize(type));
  korv::vexasim::FillPattern(static_cast<std::uint32_t>(sequence), 0, reinterpret_cast<unsigned char*>(image.GetImage()),
                             static_cast<std::size_t>(image.GetSize()));
  lumo::LumoEncDecImage3D encoder;
  encoder.Encode(korv::vexatools::MakeImageRecord(image, type));
  lumo::DataHeader header;
  header.topicId = encoder.get_topic_id();
  header.sequence = sequence;
  header.publishTimeNs = 1'700'000'000'000'000'000ull + sequence;
  std::uint8_t headerBytes[lumo::kDataHeaderSize];
  lumo::EncodeDataHeader(header, headerBytes);
  const std::string stream = "vexa_stream";
  const auto* data = reinterpret_cast<const std::uint8_t*>(image.GetImage());
  return Records({Bytes(stream.begin(), stream.end()), Bytes(headerBytes, headerBytes + sizeof headerBytes),
                  encoder.get_meta_data(), Bytes(data, data + image.GetSize())});
}

// A message whose geometry, multiplied out in 64 bits, wraps onto its 64
// data bytes: 2147352580 x 1073807362 x 8 = 2^64 + 64.
Bytes WrappingGeometryMessage() {
  lumo::MetaDataElementsImage3D record;
  record.bytesPerPixel = 8;
  record.numberOfDimensions = 2;
  record.lumoDataType = lumo::kLumoFloat;
  record.width = 2147352580;
  record.height = 1073807362;
  record.depth = record.channels = record.frameCount = 1;
  lumo::LumoEncDecImage3D encoder;
  encoder.Encode(record);
  lumo::DataHeader header;
  header.topicId = encoder.get_topic_id();
  header.sequence = 1;
  std::uint8_t headerBytes[lumo::kDataHeaderSize];
  lumo::EncodeDataHeader(header, headerBytes);
  const std::string stream = "vexa_stream";
  return Records({Bytes(stream.begin(), stream.end()), Bytes(headerBytes, headerBytes + sizeof headerBytes),
                  encoder.get_meta_data(), Bytes(64, 0x3F)});
}

void WriteLumoSeeds(const Corpus& corpus) {
  corpus.Write("wrapping-geometry", WrappingGeometryMessage());
  corpus.Write("int16", LumoMessage(dt::Int16, 1, 8, 8));
  corpus.Write("byte", LumoMessage(dt::Byte, 2, 8, 8));
  corpus.Write("float", LumoMessage(dt::Float, 3, 4, 4));
  corpus.Write("double", LumoMessage(dt::Double, 4, 4, 2));
  corpus.Write("uint32", LumoMessage(dt::UInt32, 5, 3, 3));
}

Bytes Requests(const std::vector<std::vector<std::string>>& requests) {
  Bytes input;
  for (const auto& request : requests) {
    input.push_back(static_cast<std::uint8_t>(request.size() | (1 << 3)));  // and 100 ms on
    for (const auto& frame : request) vexafuzz::AppendRecord(input, Bytes(frame.begin(), frame.end()));
  }
  return input;
}

void WriteBrokerSeeds(const Corpus& corpus) {
  corpus.Write("publisher-lifetime", Requests({{"REGISTER", "vexa_stream", "tcp://*:5571"},
                                               {"HEARTBEAT", "vexa_stream", "$TOKEN"},
                                               {"LOOKUP", "vexa_stream"},
                                               {"UNREGISTER", "vexa_stream", "$TOKEN"}}));
  corpus.Write("list", Requests({{"REGISTER", "a", "tcp://127.0.0.1:5000"},
                                 {"REGISTER", "b", "ipc:///tmp/lumo-b"},
                                 {"REGISTER", "c", "tcp://[::1]:5002"},
                                 {"LIST"},
                                 {"LIST", "a"}}));
  corpus.Write("refusals", Requests({{"REGISTER", "a", "tcp://*:5000"},
                                     {"REGISTER", "a", "tcp://*:5001"},
                                     {"HEARTBEAT", "a", "0123"},
                                     {"LOOKUP"},
                                     {"NOPE"}}));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: fuzzMakeSeeds <corpus directory>\n";
    return 2;
  }
  const fs::path root = argv[1];
  WriteTrackerSeeds(Corpus(root / "fuzzVexaReceiver"));
  WriteReceiverSeeds(Corpus(root / "fuzzPublishingReceiver"));
  WriteSorelSeeds(Corpus(root / "fuzzSorelPackets"));
  WriteAssemblerSeeds(Corpus(root / "fuzzSampleAssembler"));
  WriteLumoSeeds(Corpus(root / "fuzzLumoMessage"));
  WriteBrokerSeeds(Corpus(root / "fuzzBrokerControl"));
  return 0;
}
