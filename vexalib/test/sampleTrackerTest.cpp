// The sample tracker alone, fed datagrams as the receiver reads them: what
// each datagram is, the hook it leads to, and every count of what arrived
// and was lost. No socket: each test runs in microseconds.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "SampleTracker.hpp"
#include "TestSupport.hpp"

namespace vexatest {
namespace {

using namespace korv::vexatools;
using Datagram = std::vector<unsigned char>;

// A tracker with the fields a receiver's hooks read, and its events as the
// hooks they stand for: "L P T" for leader, payload frame and trailer,
// "Lost" for a loss (at a short trailer or at the leader after an
// incomplete sample), "W" for a frame of another sample, "J" for junk, "R"
// for a refused leader.
class Tracker : public SampleEvents {
 public:
  // Takes each datagram in turn; false once reception ended.
  bool Take(const std::vector<Datagram>& datagrams) {
    for (const Datagram& datagram : datagrams) {
      const std::size_t bytes = std::min(datagram.size(), sizeof slot);
      std::memcpy(slot.Bytes(), datagram.data(), bytes);
      if (!tracker.Take(slot, bytes, *this)) return false;
    }
    return true;
  }
  ReceptionStatistics Statistics() const { return tracker.Counters().Snapshot(); }

  std::string events;
  std::vector<JunkCause> junk;
  std::vector<std::uint32_t> announcedUnits;  // at each accepted leader
  std::string refusal;
  // What a subclass reports at the next trailer, if anything.
  std::optional<std::pair<bool, std::uint64_t>> reportAtTrailer;

  OwnSampleFields fields;
  SampleTracker tracker{fields.Fields()};
  ReceiveSlot slot;

 private:
  void Add(const char* event) { events += events.empty() ? event : std::string(" ") + event; }

  void Junk(JunkCause cause, const Frame&, std::size_t, const std::string&) override {
    junk.push_back(cause);
    Add("J");
  }
  void FrameArrived(const Frame&, std::size_t) override {}
  void LossBeforeLeader() override { Add("Lost"); }
  void LeaderArrived(const Frame&) override {}
  void DescribeLeader(const Frame&, const sorelif::sorelLeaderPacket&) override {}
  void LeaderRefused(const std::string& reason) override {
    refusal = reason;
    Add("R");
  }
  void LeaderAccepted() override {
    announcedUnits.push_back(tracker.Leader().GetPayloadDataUnits());
    Add("L");
  }
  void Trailer(const Frame&, bool incomplete) override {
    Add(incomplete ? "Lost" : "T");
    if (reportAtTrailer) tracker.ReportSampleOutcome(reportAtTrailer->first, reportAtTrailer->second);
  }
  void Payload(Frame&) override { Add("P"); }
  void OtherSampleFrame(const Frame&) override { Add("W"); }
};

class SampleTrackerTest : public ::testing::Test {
 protected:
  // Frames `frameIds` (1 = leader) of sample `id` of the test stream (five frames).
  std::vector<Datagram> Frames(std::uint32_t id, std::initializer_list<int> frameIds) const {
    const auto sample = frames.BuildSample(id);
    std::vector<Datagram> out;
    for (int frameId : frameIds) out.push_back(sample[static_cast<std::size_t>(frameId - 1)]);
    return out;
  }
  std::vector<Datagram> Whole(std::uint32_t id) const { return frames.BuildSample(id); }
  Datagram Header(std::uint32_t id, std::uint16_t frameId, std::uint16_t frameCount, std::size_t bytes = 40) const {
    Datagram frame(bytes, 0);
    frames.WriteHeader(frame.data(), id, frameId, frameCount, static_cast<std::uint16_t>(bytes - 32));
    return frame;
  }

  korv::vexasim::SampleFrames frames = TestFrames();
  Tracker t;
};

TEST_F(SampleTrackerTest, CompleteSamplesAreCountedOnceWithTheFieldsTheHooksRead) {
  ASSERT_TRUE(t.Take(Whole(5)));
  EXPECT_EQ(t.events, "L P P P T");
  EXPECT_EQ(t.fields.currentSampleId, 5u);
  EXPECT_EQ(t.fields.sampleId, 5u);
  EXPECT_EQ(t.fields.framesExpected, 5u);
  EXPECT_EQ(t.fields.packetsReceived, 5u);
  EXPECT_EQ(t.fields.framesInSample, 5);
  ASSERT_TRUE(t.Take(Whole(6)));
  EXPECT_EQ(t.events, "L P P P T L P P P T") << "the next leader reports no loss";
  EXPECT_EQ(t.announcedUnits, (std::vector<std::uint32_t>{10000, 10000})) << "the leader, parsed";

  const ReceptionStatistics s = t.Statistics();
  EXPECT_EQ(s.datagrams, 10u);
  EXPECT_EQ(s.completeSamples, 2u);
  EXPECT_EQ(s.incompleteSamples + s.framesMissing + s.otherSampleFrames + s.Junk() + s.duplicateLeaders, 0u);
}

// Each loss counted once, under the sample it belongs to, with the frames
// that never came: a payload frame, a trailer (closed by the next leader), a
// leader (its frames are another sample's, its trailer stands for it).
TEST_F(SampleTrackerTest, LostPayloadTrailerAndLeaderEachCountOneIncompleteSample) {
  ASSERT_TRUE(t.Take(Frames(1, {1, 2, 4, 5})));
  EXPECT_EQ(t.events, "L P P Lost");
  ASSERT_TRUE(t.Take(Frames(2, {1, 2, 3, 4})));
  ASSERT_TRUE(t.Take(Frames(3, {2, 3, 4, 5})));
  ASSERT_TRUE(t.Take(Whole(4)));
  // Sample 3's trailer makes up sample 2's count: no trailer loss, but its
  // leader's loss is counted there.
  EXPECT_EQ(t.events, "L P P Lost Lost L P P P W W W T Lost L P P P T");

  const ReceptionStatistics s = t.Statistics();
  EXPECT_EQ(s.completeSamples, 1u);
  EXPECT_EQ(s.incompleteSamples, 3u) << "samples 1, 2 and 3";
  EXPECT_EQ(s.framesMissing, 3u) << "one frame of each";
  EXPECT_EQ(s.otherSampleFrames, 3u);
  EXPECT_EQ(s.Junk(), 0u);
}

TEST_F(SampleTrackerTest, ReorderedAndDuplicatedFramesKeepASampleComplete) {
  ASSERT_TRUE(t.Take(Frames(1, {1, 4, 2, 3, 3, 5})));  // out of order, one payload frame twice
  ASSERT_TRUE(t.Take(Frames(2, {1, 2, 3, 4, 5, 5})));  // the trailer twice
  // The repeat skews the packet count, so the next leader reports a loss.
  EXPECT_EQ(t.events, "L P P P P T Lost L P P P T T");
  ReceptionStatistics s = t.Statistics();
  EXPECT_EQ(s.completeSamples, 2u);
  EXPECT_EQ(s.incompleteSamples, 0u) << "a repeated trailer counts nothing";

  // A repeated leader does not open a second sample: the one sample is
  // counted once, by the frames since the repeat.
  ASSERT_TRUE(t.Take(Frames(3, {1, 2, 1, 3, 4, 5})));
  s = t.Statistics();
  EXPECT_EQ(s.duplicateLeaders, 1u);
  EXPECT_EQ(s.completeSamples + s.incompleteSamples, 3u);
  EXPECT_EQ(s.Junk(), 0u);
}

TEST_F(SampleTrackerTest, ATrailerAheadOfItsLastPayloadFrameClosesTheSampleIncomplete) {
  ASSERT_TRUE(t.Take(Frames(1, {1, 2, 3, 5, 4})));
  ASSERT_TRUE(t.Take(Whole(2)));
  EXPECT_EQ(t.events, "L P P Lost P L P P P T") << "the late frame completes the packet count";
  const ReceptionStatistics s = t.Statistics();
  EXPECT_EQ(s.incompleteSamples, 1u) << "once, at its trailer, not again at the next leader";
  EXPECT_EQ(s.framesMissing, 1u);
  EXPECT_EQ(s.completeSamples, 1u);
}

// Every kind of junk is counted under its cause, reaches no hook and leaves
// the sample being assembled as it was.
TEST_F(SampleTrackerTest, JunkIsCountedUnderItsCauseAndLeavesTheSampleUntouched) {
  Datagram notALeader = Whole(7)[0], shortLeader = Whole(7)[0], extensionTooLong = Whole(7)[0];
  notALeader[32] = 2;                                  // a payload packet in a leader frame
  frames.WriteHeader(shortLeader.data(), 7, 1, 5, 7);  // shorter than a leader
  extensionTooLong[34] = 0x01;                         // an extension of 256 bytes in an 8-byte payload
  const std::vector<Datagram> junk = {Datagram(31, 0), Datagram(8973, 0), Datagram(9600, 0),
                                      Header(1, 0, 5), Header(1, 2, 1), Header(1, 1, 1), Header(1, 5, 4),
                                      Header(1, 65535, 0), notALeader, shortLeader, extensionTooLong};
  ASSERT_TRUE(t.Take(Frames(1, {1, 2})));
  ASSERT_TRUE(t.Take(junk));
  ASSERT_TRUE(t.Take(Frames(1, {3, 4, 5})));
  EXPECT_EQ(t.events, "L P J J J J J J J J J J J P P T");
  EXPECT_EQ(t.junk, (std::vector<JunkCause>{JunkCause::Short, JunkCause::Oversize, JunkCause::Oversize,
                                             JunkCause::ImpossibleHeader, JunkCause::ImpossibleHeader,
                                             JunkCause::ImpossibleHeader, JunkCause::ImpossibleHeader,
                                             JunkCause::ImpossibleHeader, JunkCause::MalformedLeader,
                                             JunkCause::MalformedLeader, JunkCause::MalformedLeader}));
  const ReceptionStatistics s = t.Statistics();
  EXPECT_EQ(s.junkShort, 1u);
  EXPECT_EQ(s.junkOversize, 2u);
  EXPECT_EQ(s.junkMalformed, 8u);
  EXPECT_EQ(s.completeSamples, 1u);
  EXPECT_EQ(s.datagrams, 16u);
}

// Trailers that close no sample: of a sample never seen, with another
// frame count than the leader's. Junk, not lost samples, and the sample's
// own trailer still closes it complete.
TEST_F(SampleTrackerTest, TrailersOfNoSampleOrAnotherFrameCountAreJunk) {
  ASSERT_TRUE(t.Take(Whole(1)));
  ASSERT_TRUE(t.Take({Frames(50, {5})[0], Frames(51, {5})[0]}));
  ASSERT_TRUE(t.Take(Frames(2, {1, 2, 3, 4})));
  ASSERT_TRUE(t.Take({Header(2, 3, 3)}));
  ASSERT_TRUE(t.Take(Frames(2, {5})));
  const ReceptionStatistics s = t.Statistics();
  EXPECT_EQ(s.junkMalformed, 3u);
  EXPECT_EQ(s.completeSamples, 2u);
  EXPECT_EQ(s.incompleteSamples, 0u);
}

TEST_F(SampleTrackerTest, NothingIsCountedBeforeTheFirstLeader) {
  ASSERT_TRUE(t.Take(Frames(0, {2})));  // sample 0 is the one "being assembled"
  ASSERT_TRUE(t.Take(Frames(4, {2, 3, 5})));
  ASSERT_TRUE(t.Take(Whole(5)));
  EXPECT_EQ(t.events, "P W W Lost L P P P T");
  const ReceptionStatistics s = t.Statistics();
  EXPECT_EQ(s.completeSamples, 1u);
  EXPECT_EQ(s.incompleteSamples, 0u);
  EXPECT_EQ(s.Junk(), 0u);
}

// The payload size a frame announces is bounded by the bytes that arrived,
// and the bytes a frame copy takes along past them are zeroed.
TEST_F(SampleTrackerTest, PayloadSizeIsBoundedByTheBytesThatArrived) {
  Datagram cut = Frames(3, {2})[0];
  cut.resize(100);
  std::memset(t.slot.Bytes(), 0xAB, sizeof t.slot);
  ASSERT_TRUE(t.Take(Frames(3, {1})));
  ASSERT_TRUE(t.Take({cut}));
  EXPECT_EQ(t.slot.frame.GetPayloadSize(), 100 - 32);
  EXPECT_EQ(t.slot.Bytes()[100], 0);
  EXPECT_EQ(t.slot.Bytes()[101], 0);
}

TEST_F(SampleTrackerTest, SampleIdsWrapAroundWithoutALoss) {
  for (std::uint32_t id : {0xFFFFFFFEu, 0xFFFFFFFFu, 0u, 1u}) ASSERT_TRUE(t.Take(Whole(id)));
  const ReceptionStatistics s = t.Statistics();
  EXPECT_EQ(s.completeSamples, 4u);
  EXPECT_EQ(s.incompleteSamples + s.otherSampleFrames + s.Junk(), 0u);
  EXPECT_EQ(t.fields.currentSampleId, 1u);
}

// A source that changes its geometry: samples of another frame count are
// whole samples too, and a sample cut short by the change is counted lost
// with the frames its own leader announced.
TEST_F(SampleTrackerTest, AChangeOfGeometryCountsSamplesByTheirOwnLeader) {
  const korv::vexasim::SampleFrames small({10, 10, 2, 0x100});  // three frames
  ASSERT_TRUE(t.Take(Whole(1)));
  ASSERT_TRUE(t.Take(Frames(2, {1, 2})));
  ASSERT_TRUE(t.Take(small.BuildSample(3)));
  ASSERT_TRUE(t.Take(small.BuildSample(4)));
  EXPECT_EQ(t.events, "L P P P T L P Lost L P T L P T");
  EXPECT_EQ(t.announcedUnits, (std::vector<std::uint32_t>{10000, 10000, 100, 100}));
  const ReceptionStatistics s = t.Statistics();
  EXPECT_EQ(s.completeSamples, 3u);
  EXPECT_EQ(s.incompleteSamples, 1u);
  EXPECT_EQ(s.framesMissing, 3u) << "sample 2 lacked three of its five frames";
}

TEST_F(SampleTrackerTest, ASubclassReportCountsTheSampleAsItFoundIt) {
  t.reportAtTrailer = {false, 2};
  ASSERT_TRUE(t.Take(Whole(1)));
  t.reportAtTrailer = {true, 0};
  ASSERT_TRUE(t.Take(Frames(2, {1, 2, 4, 5})));
  const ReceptionStatistics s = t.Statistics();
  EXPECT_EQ(s.incompleteSamples, 1u);
  EXPECT_EQ(s.framesMissing, 2u);
  EXPECT_EQ(s.completeSamples, 1u);
}

// The one leader reception cannot take ends it: the fields go back to "no
// sample" and the reason names the sample and the extension.
TEST_F(SampleTrackerTest, AnExtendedLeaderIsRefusedAndEndsReception) {
  ASSERT_TRUE(t.Take(Whole(1)));
  EXPECT_FALSE(t.Take(TestFrames(true).BuildSample(2)));
  EXPECT_EQ(t.events, "L P P P T R");
  EXPECT_EQ(t.refusal,
            "Failed to parse leader packet for sample 2 (payload 36 bytes): SOREL leader carries 28 bytes of extended "
            "info. This receiver only supports legacy leader packets without extended info.");
  EXPECT_EQ(t.fields.currentSampleId, 2u);
  EXPECT_EQ(t.fields.framesInSample, 0);
  EXPECT_EQ(t.fields.framesExpected, SampleTracker::kNoSample);
  EXPECT_EQ(t.fields.packetsReceived, SampleTracker::kNoSample);
}

}  // namespace
}  // namespace vexatest
