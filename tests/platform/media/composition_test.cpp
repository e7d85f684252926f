#include "fixtures.h"
#include "vantrel/media/composition.h"
#include "vantrel/media/video_composition_reader.h"

#include <gtest/gtest.h>

namespace vantrel::media {
namespace {

using test::range;
using test::sec;

class CompositionTest : public ::testing::Test {
 protected:
  void SetUp() override { asset_ = Asset::open(test::testPattern320(2, 30)); }
  int videoId() const { return asset_->firstTrack(MediaType::video).trackId; }
  AssetRef asset_;
};

TEST_F(CompositionTest, SegmentsFillersAndScalingLayOutTheTimeline) {
  // Segment, 1.5 s filler, a 1 s source range played in 0.5 s, and a held last frame.
  Composition c;
  CompositionTrack& t = c.addTrack(MediaType::video);
  t.insertTimeRange(range(0, 1), asset_, videoId(), sec(0));
  t.insertEmptyTimeRange(range(1, 1.5));
  t.insertTimeRange(range(1, 1), asset_, videoId(), sec(2.5));
  t.scaleTimeRange(range(2.5, 1), sec(0.5));
  t.insertTimeRange(TimeRange{MediaTime(59, 30), MediaTime(1, 30)}, asset_, videoId(), sec(3));
  t.scaleTimeRange(TimeRange{sec(3), MediaTime(1, 30)}, sec(2));
  EXPECT_EQ(c.duration(), sec(5));
  ASSERT_EQ(t.segments().size(), 4u);
  EXPECT_TRUE(t.segments()[1].isEmpty());
  EXPECT_TRUE(t.segments()[2].isScaled());

  struct Case {
    double output;
    bool empty;
    double source;
  } cases[] = {
      {0.0, false, 0.0}, {0.99, false, 0.99}, {1.0, true, 0}, {2.49, true, 0},
      {2.5, false, 1.0}, {2.75, false, 1.5},  {3.5, false, 59.0 / 30 + 1.0 / 120}, {4.999, false, 2.0},
  };
  for (const auto& k : cases) {
    const auto m = t.mappingAt(MediaTime::fromSeconds(k.output, 6000));
    ASSERT_TRUE(m) << k.output;
    EXPECT_EQ(m->segment->isEmpty(), k.empty) << k.output;
    if (!k.empty) {
      EXPECT_NEAR(m->sourceTime.seconds(), k.source, 1e-3) << k.output;
    }
  }
  EXPECT_FALSE(t.mappingAt(sec(5)));
}

TEST_F(CompositionTest, InsertingInsideASegmentSplitsItAndPushesTheRest) {
  Composition c;
  CompositionTrack& t = c.addTrack(MediaType::video);
  t.insertTimeRange(range(0, 2), asset_, videoId(), sec(0));
  t.insertTimeRange(range(0, 0.5), asset_, videoId(), sec(1));
  ASSERT_EQ(t.segments().size(), 3u);
  EXPECT_EQ(t.segments()[2].source.start, sec(1));
  EXPECT_EQ(t.segments()[2].target.start, sec(1.5));
  EXPECT_EQ(c.duration(), sec(2.5));
  // Inserting past the end leaves an empty gap.
  t.insertTimeRange(range(0, 0.5), asset_, videoId(), sec(3));
  EXPECT_TRUE(t.segments()[3].isEmpty());
  EXPECT_EQ(c.duration(), sec(3.5));
  EXPECT_THROW(t.insertTimeRange(range(0, 1), asset_, asset_->firstTrack(MediaType::audio).trackId, sec(0)),
               MediaError);
}

TEST_F(CompositionTest, ReaderComposesEveryOutputFrameFromTheMappedSourceFrame) {
  Composition c;
  CompositionTrack& t = c.addTrack(MediaType::video);
  t.insertTimeRange(range(0, 1), asset_, videoId(), sec(0));
  t.insertEmptyTimeRange(range(1, 0.5));
  t.insertTimeRange(range(1.5, 0.5), asset_, videoId(), sec(1.5));
  t.scaleTimeRange(range(1.5, 0.5), sec(1));  // half speed
  std::vector<std::pair<MediaTime, MediaTime>> seen;  // output time, source frame time
  Compositor recordAndDraw = [&](const CompositionRequest& r, PixelBuffer& out) {
    seen.emplace_back(r.outputTime, r.sources.at(0).frame ? r.sources[0].framePresentationTime : MediaTime::invalid());
    drawBaseFrameUpright(r, out);
  };
  VideoCompositionReader reader(c, {320, 240, MediaTime(1, 30), 3}, recordAndDraw);
  reader.startReading();
  std::vector<std::shared_ptr<PixelBuffer>> frames;
  int k = 0;
  while (auto f = reader.copyNextFrame()) {
    EXPECT_EQ(f->presentationTime, MediaTime(k, 30));
    frames.push_back(f->bgra);
    ++k;
  }
  EXPECT_EQ(reader.status(), ReaderStatus::completed);
  ASSERT_EQ(k, 75);
  ASSERT_EQ(seen.size(), 75u);
  EXPECT_EQ(seen[15].second, MediaTime(15, 30));
  EXPECT_FALSE(seen[30].second.isValid());  // empty range
  EXPECT_FALSE(seen[44].second.isValid());
  EXPECT_EQ(seen[45].second, MediaTime(45, 30));  // first frame after the cut
  EXPECT_EQ(seen[60].second, MediaTime(52, 30));  // 1.5 + 0.5 * 0.5 = 1.75 s -> frame 52
  EXPECT_EQ(seen[74].second, MediaTime(59, 30));

  // Content at the cut and in the empty range.
  const std::string source = test::testPattern320(2, 30);
  EXPECT_LT(test::meanAbsDiff(*frames[45], test::decodeBgraWithFfmpeg(source, 1.5, 320, 240)), 4.0);
  EXPECT_LT(test::meanAbsDiff(*frames[29], test::decodeBgraWithFfmpeg(source, 29.0 / 30, 320, 240)), 4.0);
  EXPECT_EQ(frames[35]->row(100)[4 * 100 + 1], 0);
  test::savePng(*frames[45], test::scratchPath("cut.png"));
}

TEST_F(CompositionTest, RotatedSourceIsDrawnUprightAndErrorsReachTheCaller) {
  const auto rotated = Asset::open(test::rotatedCopy(test::testPattern320(1, 30), "rotated_c.mp4"));
  Composition c = Composition::fromAsset(rotated);
  VideoCompositionReader reader(c, {240, 320, MediaTime(1, 10), 2});
  reader.startReading();
  auto f = reader.copyNextFrame();
  ASSERT_TRUE(f);
  // ffmpeg applies the display matrix when decoding, like the host's player.
  EXPECT_LT(test::meanAbsDiff(*f->bgra, test::decodeBgraWithFfmpeg(rotated->path(), 0, 240, 320)), 4.0);

  VideoCompositionReader failing(c, {240, 320, MediaTime(1, 10), 2},
                                 [](const CompositionRequest&, PixelBuffer&) { throw std::runtime_error("boom"); });
  failing.startReading();
  EXPECT_THROW(failing.copyNextFrame(), MediaError);
  EXPECT_EQ(failing.status(), ReaderStatus::failed);
  EXPECT_NE(failing.errorText().find("boom"), std::string::npos);

  VideoCompositionReader cancelled(c, {240, 320, MediaTime(1, 10), 2});
  cancelled.startReading();
  cancelled.cancelReading();
  EXPECT_FALSE(cancelled.copyNextFrame());
  EXPECT_EQ(cancelled.status(), ReaderStatus::cancelled);
}

}  // namespace
}  // namespace vantrel::media
