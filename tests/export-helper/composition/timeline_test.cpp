#include <gtest/gtest.h>

#include <string>

#include "composition/timeline.h"
#include "job/job_errors.h"
#include "vantrel/testing/process.h"

namespace vantrel::exporter {
namespace {

using media::MediaTime;

class Timeline : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new testing::TempDir();
    auto r = testing::runProcess({"/usr/bin/ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                                  "testsrc2=size=160x120:rate=30:duration=12", "-c:v", "libx264", "-preset",
                                  "ultrafast", "-bf", "0", "-pix_fmt", "yuv420p", dir_->file("a.mp4")});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    asset_ = media::Asset::open(dir_->file("a.mp4"));
  }
  static void TearDownTestSuite() {
    asset_.reset();
    delete dir_;
  }

  static NativeExportManifestV1 manifest(std::vector<std::pair<double, double>> sourceRanges,
                                         std::vector<double> outputLengths) {
    NativeExportManifestV1 m;
    m.qualityPlan.frameRate = 30;
    m.videoPlan.sourceVideoPaths = {dir_->file("a.mp4")};
    double cursor = 0;
    for (std::size_t i = 0; i < sourceRanges.size(); ++i) {
      NativeVideoSegmentPlan s;
      s.segmentId = "s" + std::to_string(i);
      s.sourceStartTime = sourceRanges[i].first;
      s.sourceEndTime = sourceRanges[i].second;
      s.outputStartTime = cursor;
      s.outputEndTime = cursor + outputLengths[i];
      cursor = s.outputEndTime;
      m.videoPlan.segments.push_back(s);
    }
    return m;
  }
  static void addFiller(NativeExportManifestV1& m, std::int64_t index, double duration) {
    NativeFillerBlock f;
    f.id = "f" + std::to_string(m.overlayPlan.fillerBlocks.size());
    f.sequenceIndex = index;
    f.duration = duration;
    m.overlayPlan.fillerBlocks.push_back(f);
  }
  static std::vector<SourceVideoTrack> sources(int count = 1) {
    return std::vector<SourceVideoTrack>(static_cast<std::size_t>(count),
                                         SourceVideoTrack{asset_, &asset_->firstTrack(media::MediaType::video)});
  }
  // (empty?, output start, output duration, source start) of each piece, in seconds.
  static std::string layout(const VideoOnlyCompositionBundle& b) {
    std::string out;
    for (const auto& s : b.composition.tracks(media::MediaType::video).front()->segments()) {
      char line[128];
      std::snprintf(line, sizeof line, "%s %.4f+%.4f%s\n", s.isEmpty() ? "empty" : "video", s.target.start.seconds(),
                    s.target.duration.seconds(),
                    s.isEmpty() ? "" : (" from " + std::to_string(s.source.start.seconds()).substr(0, 6)).c_str());
      out += line;
    }
    return out;
  }

  static testing::TempDir* dir_;
  static media::AssetRef asset_;
};

testing::TempDir* Timeline::dir_ = nullptr;
media::AssetRef Timeline::asset_;

TEST_F(Timeline, SegmentsAndFillerGapsFollowEachOther) {
  auto m = manifest({{0, 2}, {5, 7}}, {2, 2});
  addFiller(m, 1, 1.5);
  addFiller(m, 7, 3);   // beyond the segments: not placed
  addFiller(m, -1, 3);  // negative index: not placed
  addFiller(m, 1, -2);  // negative length counts as nothing
  auto b = buildVideoOnlyComposition(m, sources());
  EXPECT_EQ(layout(b), "video 0.0000+2.0000 from 0.0000\nempty 2.0000+1.5000\nvideo 3.5000+2.0000 from 5.0000\n");
  EXPECT_DOUBLE_EQ(b.composition.duration().seconds(), 5.5);
}

TEST_F(Timeline, ScaledSegmentsAndTheScalingThreshold) {
  auto b = buildVideoOnlyComposition(manifest({{0, 4}, {6, 8}}, {2, 2.0004}), sources());
  EXPECT_EQ(layout(b), "video 0.0000+2.0000 from 0.0000\nvideo 2.0000+2.0000 from 6.0000\n");
  // The cursor still advances by the unscaled segment's output length.
  EXPECT_NEAR(b.composition.duration().seconds(), 4.0, 0.002);
}

TEST_F(Timeline, TrailingFillerHoldsTheLastFrame) {
  auto m = manifest({{0, 10}}, {10});
  addFiller(m, 1, 3);
  auto b = buildVideoOnlyComposition(m, sources());
  const auto& pieces = b.composition.tracks(media::MediaType::video).front()->segments();
  ASSERT_EQ(pieces.size(), 2u);
  EXPECT_FALSE(pieces[1].isEmpty());
  EXPECT_NEAR(pieces[1].source.start.seconds(), 10 - 1.0 / 30, 0.002);
  EXPECT_NEAR(pieces[1].target.duration.seconds(), 3, 0.002);

  // A last segment with no source length leaves empty time instead.
  auto empty = manifest({{4, 4}}, {0});
  addFiller(empty, 1, 3);
  auto e = buildVideoOnlyComposition(empty, sources());
  EXPECT_EQ(layout(e), "empty 0.0000+3.0000\n");
}

TEST_F(Timeline, OutOfRangeSourceIndexNamesTheSegment) {
  auto m = manifest({{0, 1}, {1, 2}}, {1, 1});
  m.videoPlan.segments[1].sourceIndex = 2;
  try {
    buildVideoOnlyComposition(m, sources(2));
    FAIL();
  } catch (const JobRunnerError& e) {
    EXPECT_EQ(e.payload(), "native_helper_invalid_source_index:s1:2");
  }
}

TEST_F(Timeline, CanvasReferenceSize) {
  auto m = manifest({{0, 1}}, {1});
  EXPECT_EQ(resolveCanvasReferenceDisplaySize(m, sources(), {7, 7}), (Size{160, 120}));
  m.scene.canvasReferenceDimensions = NativeCanvasReferenceDimensions{2880, 1800};
  EXPECT_EQ(resolveCanvasReferenceDisplaySize(m, sources(), {7, 7}), (Size{2880, 1800}));
  m.scene.canvasReferenceDimensions = NativeCanvasReferenceDimensions{0, 1800};
  m.videoPlan.segments[0].sourceIndex = 5;  // no used source can be measured
  EXPECT_EQ(resolveCanvasReferenceDisplaySize(m, sources(), {7, 7}), (Size{7, 7}));
}

}  // namespace
}  // namespace vantrel::exporter
