#include "fixtures.h"
#include "vantrel/media/export_session.h"
#include "vantrel/media/readers.h"
#include "vantrel/testing/process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <map>

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
  // Reordered video may end only at a sync sample or at the track's end; an
  // edit to the end of a 29.97 fps track (2.002 s) stops a fraction of a tick
  // short once the timeline rounds it to 1/600 s, and still reaches the end.
  const std::string ntsc =
      test::fixture("bframes_2997.mp4", {"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=30000/1001", "-frames:v",
                                         "60", "-c:v", "libx264", "-preset", "veryfast", "-bf", "2", "-g", "30"});
  const auto ntscAsset = Asset::open(ntsc);
  const TrackInfo& ntscVideo = ntscAsset->firstTrack(MediaType::video);
  ASSERT_TRUE(ntscVideo.reordersFrames);
  ASSERT_EQ(ntscVideo.timeRange.end(), MediaTime(2002, 1000));
  struct EndCase {
    double end;
    bool passThrough;
  } ends[] = {{2.002, true}, {2.001, true}, {1.9, false}};
  for (const auto& e : ends) {
    Composition c;
    c.addTrack(MediaType::video).insertTimeRange(range(0, e.end), ntscAsset, ntscVideo.trackId, sec(0));
    EXPECT_EQ(isExportPresetCompatible(kExportPresetPassthrough, c), e.passThrough) << "ends at " << e.end;
  }

  // Streams that would not play everywhere once copied are re-encoded instead.
  const struct {
    const char* name;
    std::vector<std::string> encode;
    bool passThrough;
  } formats[] = {
      {"H.264 High 10", {"-c:v", "libx264", "-pix_fmt", "yuv420p10le"}, false},
      {"H.264 4:4:4", {"-c:v", "libx264", "-pix_fmt", "yuv444p"}, false},
      {"H.264 8-bit 4:2:0", {"-c:v", "libx264", "-pix_fmt", "yuv420p"}, true},
      {"HEVC Main 10", {"-c:v", "libx265", "-pix_fmt", "yuv420p10le", "-tag:v", "hvc1", "-x265-params", "log-level=none"},
       true},
  };
  for (const auto& f : formats) {
    std::vector<std::string> args = {"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=30:duration=1"};
    args.insert(args.end(), f.encode.begin(), f.encode.end());
    const auto a = Asset::open(test::fixture(std::string("format_") + std::to_string(&f - formats) + ".mp4", args));
    EXPECT_EQ(isExportPresetCompatible(kExportPresetPassthrough, Composition::fromAsset(a)), f.passThrough) << f.name;
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

// 4.008 s: 120 reordered H.264 frames (a sync sample each second) and Opus
// sound, timed in milliseconds, without decode times.
std::string matroskaWithBFrames() {
  return test::fixture("bframes_opus.mkv",
                       {"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=30:duration=4", "-f", "lavfi", "-i",
                        "sine=frequency=440:sample_rate=48000:duration=4", "-c:v", "libx264", "-preset", "veryfast",
                        "-bf", "3", "-g", "30", "-keyint_min", "30", "-sc_threshold", "0", "-c:a", "libopus"});
}

// The demuxer leaves out the decode times of the first packets of a reordered
// Matroska stream, and again after each seek: the reader infers them, so they
// rise, precede presentation, and agree with those the demuxer does give.
TEST(PacketReader, DecodeTimesMissingFromMatroskaAreInferred) {
  const std::string mkv = matroskaWithBFrames();
  const auto asset = Asset::open(mkv);
  const TrackInfo& video = asset->firstTrack(MediaType::video);
  // Decode times ffprobe reads without seeking, by presentation time (ms).
  std::map<std::int64_t, std::int64_t> known;
  for (const auto& p : test::probePackets(mkv, "v:0")) {
    if (p.contains("dts_time")) {
      known[std::llround(std::stod(p["pts_time"].get<std::string>()) * 1000)] =
          std::llround(std::stod(p["dts_time"].get<std::string>()) * 1000);
    }
  }
  ASSERT_LT(known.size(), 120u);  // the fixture shows the gap
  const std::optional<TimeRange> ranges[] = {std::nullopt, TimeRange{video.timeRange.start + sec(1), sec(1)}};
  for (const auto& r : ranges) {
    SCOPED_TRACE(r ? "from the second sync sample" : "whole track");
    PacketReader reader(asset, video.trackId, r);
    std::int64_t previous = INT64_MIN;
    size_t count = 0, agreeing = 0;
    while (auto p = reader.next()) {
      ASSERT_TRUE(p->decodeTime.isValid());
      const std::int64_t dts = p->decodeTime.convertScale(1000).value;
      const std::int64_t pts = p->presentationTime.convertScale(1000).value;
      EXPECT_GT(dts, previous);
      EXPECT_LE(dts, pts);
      if (auto it = known.find(pts); it != known.end()) {
        EXPECT_EQ(dts, it->second) << "packet shown at " << pts << " ms";
        ++agreeing;
      }
      previous = dts;
      ++count;
    }
    EXPECT_EQ(count, r ? 30u : 120u);
    EXPECT_GE(agreeing + 3, count);
  }
}

// What players read from the copied video track besides its samples: the
// sample entry (QuickTime, Safari and iOS play HEVC only as hvc1), the display
// matrix (a phone recording stays upright), the timescale, and presentation
// and decode times that still cover the whole track when the source container
// (Matroska) stores no decode times.
TEST_F(ExportTest, PassThroughKeepsWhatPlayersReadFromTheVideoTrack) {
  const std::string x265 = "log-level=error";
  const std::string hevc = test::fixture(
      "hevc_hvc1.mp4", {"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=30:duration=1", "-c:v", "libx265", "-preset",
                        "ultrafast", "-x265-params", x265, "-tag:v", "hvc1"});
  const std::string hevcMkv = test::fixture("hevc.mkv", {"-i", hevc, "-c", "copy"});
  const std::string mkv = matroskaWithBFrames();
  struct Case {
    const char* name;
    std::string source;
    const char* sampleEntry;
  } cases[] = {
      {"rotated H.264", test::rotatedCopy(source_, "rotated_source.mp4"), "avc1"},
      {"HEVC tagged hvc1", hevc, "hvc1"},
      {"HEVC from Matroska", hevcMkv, "hvc1"},
      {"reordered H.264 from Matroska", mkv, "avc1"},
  };
  auto videoStream = [](const std::string& path) {
    return test::ffprobe({"-select_streams", "v:0", "-show_entries",
                          "stream=codec_tag_string,time_base,duration,nb_frames:stream_side_data=displaymatrix",
                          path})["streams"][0];
  };
  auto seconds = [](const nlohmann::json& v) { return std::stod(v.get<std::string>()); };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto asset = Asset::open(c.source);
    const TrackInfo& video = asset->firstTrack(MediaType::video);
    Composition composition;
    composition.addTrack(MediaType::video).insertTimeRange(video.timeRange, asset, video.trackId, sec(0));
    const std::string out = test::scratchPath(std::string("kept_") + std::to_string(&c - cases) + ".mp4");
    ExportSession session(composition, kExportPresetPassthrough, {out, true, std::nullopt});
    runExport(session);
    ASSERT_EQ(session.status(), ExportStatus::completed) << session.errorText();

    const auto src = videoStream(c.source);
    const auto got = videoStream(out);
    EXPECT_EQ(got["codec_tag_string"], c.sampleEntry);
    EXPECT_EQ(got["time_base"], src["time_base"]);
    ASSERT_EQ(src.contains("side_data_list"), &c == cases);  // only the first source is rotated
    EXPECT_EQ(got.value("side_data_list", nlohmann::json()), src.value("side_data_list", nlohmann::json()));
    EXPECT_EQ(test::packetHashes(out, "v:0"), test::packetHashes(c.source, "v:0"));

    // Every frame is shown at its own time, decodes before it is shown, and
    // the track lasts from the first frame to the end of the last.
    const auto srcPackets = test::probePackets(c.source, "v:0");
    const auto packets = test::probePackets(out, "v:0");
    ASSERT_EQ(packets.size(), srcPackets.size());
    std::vector<double> srcPts, pts;
    double srcEnd = 0, previousDts = -1e9;
    for (const auto& p : srcPackets) {
      srcPts.push_back(seconds(p["pts_time"]));
      srcEnd = std::max(srcEnd, srcPts.back() + seconds(p["duration_time"]));
    }
    for (const auto& p : packets) {
      pts.push_back(seconds(p["pts_time"]));
      const double dts = seconds(p["dts_time"]);
      EXPECT_GT(dts, previousDts);
      EXPECT_LE(dts, pts.back());
      previousDts = dts;
    }
    std::sort(srcPts.begin(), srcPts.end());
    std::sort(pts.begin(), pts.end());
    // The edit starts where the track does, so the times move by that start.
    for (size_t i = 0; i < pts.size(); ++i) {
      EXPECT_NEAR(pts[i] - pts.front(), srcPts[i] - srcPts.front(), 1e-6) << "frame " << i;
    }
    EXPECT_NEAR(seconds(got["duration"]), srcEnd - srcPts.front(), 0.002);
  }
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
