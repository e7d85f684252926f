// The planar frame path against the regular BGRA compositor, frame by frame,
// on small styled exports made from ffmpeg's testsrc2.

#include <gtest/gtest.h>

#include <deque>

#include "composition/timeline.h"
#include "encode/pipeline.h"
#include "render/composition_bundle.h"
#include "vantrel/media/bgra_to_i420.h"
#include "vantrel/testing/process.h"

namespace vantrel::exporter {
namespace {

using testing::runProcess;

class PipelineTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new testing::TempDir();
    // Moving test pattern, then the last frame held still for half a second.
    makeVideo(moving(), {"-f", "lavfi", "-i", "testsrc2=s=640x360:r=30:d=0.5", "-vf",
                         "tpad=stop_mode=clone:stop_duration=0.5"});
    // Lossless, so that the held frames decode to identical pictures.
    makeVideo(held(), {"-f", "lavfi", "-i", "testsrc2=s=640x360:r=30:d=0.5", "-vf",
                       "tpad=stop_mode=clone:stop_duration=0.5", "-qp", "0"});
    makeVideo(large(), {"-f", "lavfi", "-i", "testsrc2=s=1280x720:r=30:d=0.2"});
    // A still desktop where a small box moves down and a caret blinks, losslessly
    // coded: the untouched rows decode identically from frame to frame.
    makeVideo(banded(), {"-f", "lavfi", "-i",
                         "testsrc2=s=640x360:r=30:d=0.04,loop=loop=-1:size=1,trim=duration=1,setpts=N/30/TB[bg];"
                         "color=c=white:s=60x24:r=30:d=1[box];[bg][box]overlay=x=100:y='20+t*250',"
                         "drawbox=x=400:y=301:w=3:h=17:color=black:t=fill:enable='lt(mod(t,0.4),0.2)'",
                         "-qp", "0"});
    makeVideo(dir_->file("upright.mp4"), {"-f", "lavfi", "-i", "testsrc2=s=640x360:r=30:d=0.3"});
    auto r = runProcess({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-y", "-i", dir_->file("upright.mp4"), "-c",
                         "copy", "-metadata:s:v:0", "rotate=90", rotated()});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static void makeVideo(const std::string& path, std::vector<std::string> inputs) {
    std::vector<std::string> argv{"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-y"};
    argv.insert(argv.end(), inputs.begin(), inputs.end());
    for (const char* a : {"-c:v", "libx264", "-pix_fmt", "yuv420p", "-g", "30", "-bf", "0"}) argv.push_back(a);
    argv.push_back(path);
    auto r = runProcess(argv);
    ASSERT_EQ(r.exitStatus, 0) << r.err;
  }
  static std::string moving() { return dir_->file("moving.mp4"); }
  static std::string rotated() { return dir_->file("rotated.mp4"); }
  static std::string large() { return dir_->file("large.mp4"); }
  static std::string held() { return dir_->file("held.mp4"); }
  static std::string banded() { return dir_->file("banded.mp4"); }

  static NativeExportManifestV1 styled(const std::string& source, double seconds) {
    NativeExportManifestV1 m;
    auto& video = m.scene.settings.video;
    video.aspectRatio = "16:9";
    video.videoScale = 100;
    video.padding = 64;
    video.borderRadius = 24;
    video.stroke.enabled = true;
    video.stroke.width = 2;
    video.stroke.opacity = 35;
    video.shadow.enabled = true;
    video.shadow.opacity = 60;
    video.shadow.size = 50;
    auto& bg = m.scene.settings.background;
    bg.type = "gradient";
    bg.color = "#4F46E5";
    bg.secondaryColor = "#EC4899";
    bg.gradientAngle = 135;
    m.qualityPlan.frameRate = 30;
    m.qualityPlan.compression = "high";
    m.videoPlan.sourceVideoPath = source;
    m.videoPlan.sourceVideoPaths = {source};
    NativeVideoSegmentPlan s;
    s.segmentId = "s1";
    s.sourceEndTime = seconds;
    s.outputEndTime = seconds;
    m.videoPlan.segments = {s};
    m.videoPlan.durationSeconds = seconds;
    return m;
  }

  static testing::TempDir* dir_;
};
testing::TempDir* PipelineTest::dir_ = nullptr;

media::I420Buffer planesOf(const PipelineFrame& f) {
  if (f.planes) return *f.planes;
  media::I420Buffer out(f.bgra->width(), f.bgra->height());
  media::convertBgraToI420Bt709(f.bgra->data(), f.bgra->stride(), f.bgra->width(), f.bgra->height(),
                                media::I420Planes{out.y.data(), out.strideY, out.u.data(), out.strideU, out.v.data(),
                                                  out.strideV});
  return out;
}

TEST_F(PipelineTest, PlanarFramesStayWithinPsnrOfTheRegularPath) {
  struct Case {
    const char* name;
    std::string source;
    double seconds;
    Size render;
    std::optional<NativeCropRegion> crop;
    bool expectPlanar;
  };
  NativeCropRegion crop;
  crop.x = 0.13;
  crop.y = 0.21;
  crop.width = 0.6;
  crop.height = 0.55;
  const Case cases[] = {
      {"styled", moving(), 1.0, {640, 360}, std::nullopt, true},
      {"styled 720p", large(), 0.2, {1280, 720}, std::nullopt, true},
      {"odd render size", moving(), 0.6, {801, 451}, std::nullopt, true},
      {"cropped source", moving(), 0.6, {640, 360}, crop, true},
      // A turned recording is left to the regular path.
      {"rotated source", rotated(), 0.3, {640, 360}, std::nullopt, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto m = styled(c.source, c.seconds);
    m.videoPlan.cropRegion = c.crop;
    auto asset = media::Asset::open(c.source);
    std::vector<SourceVideoTrack> sources{{asset, asset->tracks(media::MediaType::video).front()}};
    const auto base = loadTrackMetadata(*sources.front().track);
    auto bundle = buildCompositionBundle(m, sources, base, base.displaySize, c.render);
    auto settings = bundle.videoComposition;
    settings.planarSources = true;
    media::VideoCompositionReader reader(bundle.composition, settings);
    const int w = settings.renderWidth, h = settings.renderHeight;
    FramePipeline planar(bundle.compositor, bundle.renderState, w, h);
    FramePipeline regular(bundle.compositor, bundle.renderState, w, h, false);
    reader.startReading();
    int frames = 0;
    double worst = 99;
    while (auto request = reader.copyNextRequest()) {
      const auto p = planesOf(planar.compose(*request));
      const auto r = planesOf(regular.compose(*request));
      const double psnr = i420Psnr(p, r);
      worst = std::min(worst, psnr);
      EXPECT_GE(psnr, 45.0) << "frame " << frames;
      ++frames;
    }
    EXPECT_GT(frames, 5);
    const auto& s = planar.stats();
    if (c.expectPlanar) {
      EXPECT_GT(s.planarFrames, frames / 2) << "planar path not taken";
      EXPECT_FALSE(s.planarRefused) << s.firstCheckPsnr;
    } else {
      EXPECT_EQ(s.planarFrames + s.reusedFrames, 0);
    }
    std::printf("%s: %d frames, %lld planar, %lld reused, worst PSNR %.1f dB\n", c.name, frames,
                static_cast<long long>(s.planarFrames), static_cast<long long>(s.reusedFrames), worst);
  }
}

// Held source frames are handed over again and marked as repeats of the frame
// returned before, on the planar path (the very same planes) and on the BGRA
// path (the compositor's kept frame); a marked frame is never anything else.
TEST_F(PipelineTest, HeldSourceFramesAreMarkedAsRepeatsOfThePreviousOutput) {
  for (const bool planarPath : {true, false}) {
    SCOPED_TRACE(planarPath ? "planar" : "regular");
    auto m = styled(held(), 1.0);
    auto asset = media::Asset::open(held());
    std::vector<SourceVideoTrack> sources{{asset, asset->tracks(media::MediaType::video).front()}};
    const auto base = loadTrackMetadata(*sources.front().track);
    auto bundle = buildCompositionBundle(m, sources, base, base.displaySize, {320, 180});
    auto settings = bundle.videoComposition;
    settings.planarSources = true;
    media::VideoCompositionReader reader(bundle.composition, settings);
    FramePipeline pipeline(bundle.compositor, bundle.renderState, settings.renderWidth, settings.renderHeight,
                           planarPath);
    reader.startReading();
    PipelineFrame previous;
    std::vector<std::uint8_t> previousBytes;
    int repeats = 0, frames = 0;
    while (auto request = reader.copyNextRequest()) {
      const PipelineFrame f = pipeline.compose(*request);
      std::vector<std::uint8_t> bytes;
      if (f.planes) {
        const auto p = planesOf(f);
        for (const auto* plane : {&p.y, &p.u, &p.v}) bytes.insert(bytes.end(), plane->begin(), plane->end());
      } else {
        ASSERT_TRUE(f.bgra);
        for (int y = 0; y < f.bgra->height(); ++y) {
          bytes.insert(bytes.end(), f.bgra->row(y), f.bgra->row(y) + 4 * f.bgra->width());
        }
      }
      if (f.repeatsPrevious) {
        ++repeats;
        EXPECT_GT(frames, 0);
        EXPECT_EQ(bytes, previousBytes) << "frame " << frames;
      }
      // Planar reuse is the very picture returned before, and always marked.
      if (f.planes && f.planes == previous.planes) {
        EXPECT_TRUE(f.repeatsPrevious) << "frame " << frames;
      }
      previous = f;
      previousBytes = std::move(bytes);
      ++frames;
    }
    // The held half second (15 frames) is decoded as identical pictures.
    EXPECT_GE(repeats, 10);
    if (planarPath) {
      EXPECT_EQ(repeats, pipeline.stats().reusedFrames);
    }
  }
}

// Redoing only the pixels that read changed source tiles must give exactly
// the picture that redoing the whole frame gives, at the tiles' edges too:
// two boxes far apart, and full motion (the test pattern's scattered moving
// parts, frames past the share of changed tiles where the whole is redone).
TEST_F(PipelineTest, BandUpdatesEqualWholeFrames) {
  struct Case {
    const char* name;
    Size render;
    std::string source;
    bool mostlyBands;
  };
  const Case cases[] = {{"same size", {640, 360}, banded(), true},
                        {"scaled up, odd", {963, 541}, banded(), true},
                        {"scaled down", {400, 226}, banded(), true},
                        {"full motion", {900, 506}, moving(), false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto m = styled(c.source, 1.0);
    auto asset = media::Asset::open(c.source);
    std::vector<SourceVideoTrack> sources{{asset, asset->tracks(media::MediaType::video).front()}};
    const auto base = loadTrackMetadata(*sources.front().track);
    auto bundle = buildCompositionBundle(m, sources, base, base.displaySize, c.render);
    auto settings = bundle.videoComposition;
    settings.planarSources = true;
    media::VideoCompositionReader reader(bundle.composition, settings);
    const int w = settings.renderWidth, h = settings.renderHeight;
    FramePipeline bands(bundle.compositor, bundle.renderState, w, h);
    FramePipeline whole(bundle.compositor, bundle.renderState, w, h);
    whole.setBandUpdates(false);
    reader.startReading();
    int frames = 0;
    // Outputs held a while, as the encoder's queue holds them: the buffer
    // used next is then a few outputs behind and is brought up to date by the
    // boxes that changed since.
    std::deque<PipelineFrame> held;
    while (auto request = reader.copyNextRequest()) {
      held.push_back(bands.compose(*request));
      if (held.size() > 4) held.pop_front();
      const auto a = planesOf(held.back());
      const auto b = planesOf(whole.compose(*request));
      ASSERT_EQ(a.y, b.y) << "frame " << frames;
      ASSERT_EQ(a.u, b.u) << "frame " << frames;
      ASSERT_EQ(a.v, b.v) << "frame " << frames;
      ++frames;
    }
    EXPECT_GT(frames, 20);
    EXPECT_GT(bands.stats().bandFrames, c.mostlyBands ? frames / 2 : 0);
    EXPECT_EQ(whole.stats().bandFrames, 0);
    EXPECT_EQ(bands.stats().planarFrames + bands.stats().reusedFrames,
              whole.stats().planarFrames + whole.stats().reusedFrames);
  }
}

}  // namespace
}  // namespace vantrel::exporter
