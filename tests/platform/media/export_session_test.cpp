#include "fixtures.h"
#include "vantrel/media/export_session.h"
#include "vantrel/testing/process.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace vantrel::media {
namespace {

using test::range;
using test::sec;

class ExportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    source_ = test::testPattern320(2, 30);  // key frames at 0 s and 1 s
    asset_ = Asset::open(source_);
    video_ = asset_->firstTrack(MediaType::video).trackId;
    audio_ = asset_->firstTrack(MediaType::audio).trackId;
  }
  // Both tracks cut the same way: source ranges (start, duration) laid end to end.
  Composition cut(const std::vector<std::pair<double, double>>& pieces) const {
    Composition c;
    CompositionTrack& v = c.addTrack(MediaType::video);
    CompositionTrack& a = c.addTrack(MediaType::audio);
    double at = 0;
    for (auto [start, duration] : pieces) {
      v.insertTimeRange(range(start, duration), asset_, video_, sec(at));
      a.insertTimeRange(range(start, duration), asset_, audio_, sec(at));
      at += duration;
    }
    return c;
  }
  void runExport(ExportSession& session) {
    session.exportAsynchronously().wait();
  }
  std::string source_;
  AssetRef asset_;
  int video_ = 0, audio_ = 0;
};

TEST_F(ExportTest, PresetCompatibility) {
  Composition scaled = cut({{0, 2}});
  scaled.scaleTimeRange(range(0, 2), sec(1));
  Composition gap = cut({{0, 1}});
  gap.tracks(MediaType::video)[0]->insertEmptyTimeRange(range(1, 0.5));
  struct Case {
    const char* name;
    Composition composition;
    bool passThrough;
  } cases[] = {
      {"whole asset", Composition::fromAsset(asset_), true},
      {"cuts at sync samples", cut({{1, 1}, {0, 1}}), true},
      {"cut between sync samples", cut({{0.5, 1}}), false},
      {"scaled", scaled, false},
      {"empty range", gap, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(isExportPresetCompatible(kExportPresetPassthrough, c.composition), c.passThrough) << c.name;
    EXPECT_TRUE(isExportPresetCompatible(kExportPresetHighestQuality, c.composition)) << c.name;
  }
  EXPECT_FALSE(isExportPresetCompatible("NoSuchPreset", Composition::fromAsset(asset_)));
  EXPECT_FALSE(isExportPresetCompatible(kExportPresetHighestQuality, Composition{}));
  EXPECT_THROW(ExportSession(Composition{}, "NoSuchPreset", {}), MediaError);
}

TEST_F(ExportTest, PassThroughOfAWholeFileIsAPacketExactRemux) {
  const std::string out = test::scratchPath("remux.mp4");
  ExportSession session(Composition::fromAsset(asset_), kExportPresetPassthrough, {out, true, std::nullopt});
  runExport(session);
  ASSERT_EQ(session.status(), ExportStatus::completed) << session.errorText();
  for (const char* stream : {"v:0", "a:0"}) {
    EXPECT_EQ(test::packetHashes(out, stream), test::packetHashes(source_, stream)) << stream;
  }
  EXPECT_NEAR(Asset::open(out)->duration().seconds(), asset_->duration().seconds(), 0.001);
}

TEST_F(ExportTest, PassThroughKeepsReorderedVideoIntact) {
  const std::string bframes =
      test::fixture("bframes.mp4", {"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=30:duration=2", "-c:v",
                                    "libx264", "-preset", "ultrafast", "-bf", "2", "-g", "30", "-x264-params",
                                    "b-adapt=0:scenecut=0"});
  const auto asset = Asset::open(bframes);
  const TrackInfo& v = asset->firstTrack(MediaType::video);
  ASSERT_TRUE(v.reordersFrames);
  ASSERT_EQ(v.keyFrameTimes.size(), 2u);
  EXPECT_EQ(v.keyFrameTimes[1], MediaTime(1, 1));
  // A cut ending between sync samples would lose frames that earlier ones refer to.
  Composition endsMidGop;
  endsMidGop.addTrack(MediaType::video).insertTimeRange(range(0, 1.5), asset, v.trackId, sec(0));
  EXPECT_FALSE(isExportPresetCompatible(kExportPresetPassthrough, endsMidGop));

  const std::string out = test::scratchPath("bframes_copy.mp4");
  ExportSession session(Composition::fromAsset(asset), kExportPresetPassthrough, {out, true, std::nullopt});
  runExport(session);
  ASSERT_EQ(session.status(), ExportStatus::completed) << session.errorText();
  EXPECT_EQ(test::packetHashes(out, "v:0"), test::packetHashes(bframes, "v:0"));
  const auto src = test::probePackets(bframes, "v:0");
  const auto got = test::probePackets(out, "v:0");
  ASSERT_EQ(got.size(), src.size());
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i]["pts_time"], src[i]["pts_time"]) << i;
  }
}

TEST_F(ExportTest, PassThroughCopiesEveryPacketOfEachEdit) {
  const std::string out = test::scratchPath("pass.mp4");
  ExportSession session(cut({{1, 1}, {0, 1}}), kExportPresetPassthrough, {out, true, std::nullopt});
  runExport(session);
  ASSERT_EQ(session.status(), ExportStatus::completed) << session.errorText();
  EXPECT_DOUBLE_EQ(session.progress(), 1.0);
  const auto src = test::packetHashes(source_, "v:0");
  const auto got = test::packetHashes(out, "v:0");
  ASSERT_EQ(got.size(), 60u);
  EXPECT_TRUE(std::equal(got.begin(), got.begin() + 30, src.begin() + 30));
  EXPECT_TRUE(std::equal(got.begin() + 30, got.end(), src.begin()));
  const auto packets = test::probePackets(out, "v:0");
  EXPECT_NEAR(std::stod(packets[30]["pts_time"].get<std::string>()), 1.0, 1e-3);
  const std::string bytes = vantrel::testing::readFile(out);
  EXPECT_LT(bytes.find("moov"), bytes.find("mdat"));
  const auto streams = test::probeStreams(out);
  ASSERT_EQ(streams.size(), 2u);
  EXPECT_NEAR(std::stod(streams[1]["duration"].get<std::string>()), 2.0, 0.05);
}

TEST_F(ExportTest, HighestQualityReencodesAScaledComposition) {
  Composition c = cut({{0, 2}});
  c.scaleTimeRange(range(0, 2), sec(1));
  const std::string out = test::scratchPath("hq.mp4");
  ExportSession session(c, kExportPresetHighestQuality, {out, true, std::nullopt});
  runExport(session);
  ASSERT_EQ(session.status(), ExportStatus::completed) << session.errorText();
  const auto streams = test::probeStreams(out);
  ASSERT_EQ(streams.size(), 2u);
  EXPECT_EQ(streams[0]["profile"], "High");
  EXPECT_EQ(streams[0]["nb_frames"], "30");
  EXPECT_NEAR(std::stod(streams[1]["duration"].get<std::string>()), 1.0, 0.05);
  // Output frame 15 shows source frame 30 (twice the speed).
  const auto expected = test::decodeBgraWithFfmpeg(source_, 1.0, 320, 240);
  auto decoded = test::decodeBgraWithFfmpeg(out, 0.5, 320, 240);
  PixelBuffer shown(320, 240);
  for (int y = 0; y < 240; ++y) std::memcpy(shown.row(y), decoded.data() + y * 320 * 4, 320 * 4);
  EXPECT_LT(test::meanAbsDiff(shown, expected), 6.0);
}

TEST_F(ExportTest, FailureAndCancelEndWithoutAFile) {
  const std::string bad = test::scratchPath("missing/dir/out.mp4");
  ExportSession failing(Composition::fromAsset(asset_), kExportPresetPassthrough, {bad, true, std::nullopt});
  runExport(failing);
  EXPECT_EQ(failing.status(), ExportStatus::failed);
  EXPECT_NE(failing.errorText().find(bad), std::string::npos) << failing.errorText();

  const std::string notCopyable = test::scratchPath("nc.mp4");
  ExportSession refused(cut({{0.5, 1}}), kExportPresetPassthrough, {notCopyable, true, std::nullopt});
  runExport(refused);
  EXPECT_EQ(refused.status(), ExportStatus::failed);
  EXPECT_FALSE(std::filesystem::exists(notCopyable));

  const std::string out = test::scratchPath("cancelled_export.mp4");
  ExportSession session(cut({{0, 2}, {0, 2}, {0, 2}}), kExportPresetHighestQuality, {out, true, std::nullopt});
  auto done = session.exportAsynchronously();
  session.cancelExport();
  done.wait();
  EXPECT_EQ(session.status(), ExportStatus::cancelled);
  EXPECT_FALSE(std::filesystem::exists(out));
}

}  // namespace
}  // namespace vantrel::media
