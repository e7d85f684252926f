// Composed frames checked by pixel samples, on small recordings made with the
// ffmpeg CLI. Frames are also written to PNG in the scratch directory when
// VANTREL_KEEP_FRAMES names a directory at build time, for looking at them.

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "composition/timeline.h"
#include "job/job_errors.h"
#include "render/composition_bundle.h"
#include "vantrel/graphics/image_file.h"
#include "vantrel/testing/process.h"

namespace vantrel::exporter {
namespace {

using testing::runProcess;

struct Pixel {
  int b, g, r, a;
};

// Drawing space (y up) sample of a composed frame.
Pixel pixelAt(const media::PixelBuffer& frame, double x, double yUp) {
  const int px = static_cast<int>(std::floor(x));
  const int py = frame.height() - 1 - static_cast<int>(std::floor(yUp));
  const std::uint8_t* p = frame.row(py) + px * 4;
  return {p[0], p[1], p[2], p[3]};
}

void expectColor(const Pixel& p, int r, int g, int b, int tolerance, const std::string& where) {
  EXPECT_NEAR(p.r, r, tolerance) << where;
  EXPECT_NEAR(p.g, g, tolerance) << where;
  EXPECT_NEAR(p.b, b, tolerance) << where;
}

class ComposeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new testing::TempDir();
    // One second of red, then one of blue, so a cut between them shows which side it took.
    makeVideo(cutSource(), {"-f", "lavfi", "-i", "color=c=red:s=160x90:r=30:d=1", "-f", "lavfi", "-i",
                            "color=c=blue:s=160x90:r=30:d=1", "-filter_complex", "[0][1]concat=n=2:v=1"});
    // Left half red, right half blue, shown turned a quarter.
    // (ffmpeg only writes the display matrix when copying the stream.)
    makeVideo(dir_->file("upright.mp4"),
              {"-f", "lavfi", "-i", "color=c=red:s=160x90:r=30:d=0.5,drawbox=x=80:y=0:w=80:h=90:color=blue:t=fill"});
    auto r = runProcess({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-y", "-i", dir_->file("upright.mp4"), "-c",
                         "copy", "-metadata:s:v:0", "rotate=90", rotatedSource()});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static void makeVideo(const std::string& path, std::vector<std::string> inputs) {
    std::vector<std::string> argv{"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-y"};
    argv.insert(argv.end(), inputs.begin(), inputs.end());
    for (const char* a : {"-c:v", "libx264", "-pix_fmt", "yuv420p", "-g", "1"}) argv.push_back(a);
    argv.push_back(path);
    auto r = runProcess(argv);
    ASSERT_EQ(r.exitStatus, 0) << r.err;
  }
  static std::string cutSource() { return dir_->file("cut.mp4"); }
  static std::string rotatedSource() { return dir_->file("rotated.mp4"); }

  static NativeExportManifestV1 manifestFor(const std::string& source) {
    NativeExportManifestV1 m;
    auto& video = m.scene.settings.video;
    video.aspectRatio = "16:9";
    video.videoScale = 100;
    m.scene.settings.background.type = "color";
    m.scene.settings.background.color = "#204060";
    m.qualityPlan.frameRate = 30;
    m.qualityPlan.compression = "high";
    m.videoPlan.sourceVideoPath = source;
    m.videoPlan.sourceVideoPaths = {source};
    NativeVideoSegmentPlan s;
    s.segmentId = "s1";
    s.sourceEndTime = 1;
    s.outputEndTime = 1;
    m.videoPlan.segments = {s};
    m.videoPlan.durationSeconds = 1;
    return m;
  }

  struct Opened {
    std::vector<SourceVideoTrack> sources;
    VideoTrackMetadata base;
  };
  static Opened open(const NativeExportManifestV1& m) {
    Opened o;
    for (const auto& path : m.videoPlan.sourceVideoPaths) {
      auto asset = media::Asset::open(path);
      o.sources.push_back({asset, asset->tracks(media::MediaType::video).front()});
    }
    o.base = loadTrackMetadata(*o.sources.front().track);
    return o;
  }

  // One frame composed from a synthetic solid green source frame of 160x90.
  static std::unique_ptr<media::PixelBuffer> composeSynthetic(const NativeExportManifestV1& m, Size renderSize,
                                                              double t = 0.2, bool withSource = true) {
    auto o = open(m);
    auto bundle = buildCompositionBundle(m, o.sources, o.base, o.base.displaySize, renderSize);
    auto source = std::make_shared<media::PixelBuffer>(160, 90);
    source->fill(0, 255, 0, 255);
    media::CompositionRequest request;
    request.outputTime = media::MediaTime::fromSeconds(t, 600);
    media::SourceFrame frame;
    frame.compositionTrackId = bundle.videoTrackId;
    if (withSource) frame.frame = source;
    request.sources.push_back(frame);
    auto out = std::make_unique<media::PixelBuffer>(static_cast<int>(renderSize.width),
                                                    static_cast<int>(renderSize.height));
    bundle.compositor(request, *out);
    keep(*out, "synthetic");
    return out;
  }

  static void keep([[maybe_unused]] const media::PixelBuffer& frame, [[maybe_unused]] const std::string& name) {
#ifdef VANTREL_KEEP_FRAMES
    graphics::PixelBuffer copy(frame.width(), frame.height(), graphics::PixelFormat::bgra8);
    for (int y = 0; y < frame.height(); ++y) std::copy_n(frame.row(y), frame.width() * 4, copy.row(y));
    static int n = 0;
    graphics::writePng(copy, std::string(VANTREL_KEEP_FRAMES) + "/" + name + std::to_string(n++) + ".png");
#endif
  }

  static testing::TempDir* dir_;
};

testing::TempDir* ComposeTest::dir_ = nullptr;

// 320x180 canvas, layout scale 1/6: padding 240 leaves 240x100, so the 16:9
// video sits at (71.11, 40, 177.78, 100); radius 216 is 20 pixels on it.
constexpr double kLeft = 40 + (240 - 1600.0 / 9) / 2, kBottom = 40, kWidth = 1600.0 / 9, kHeight = 100;

NativeExportManifestV1 padded(NativeExportManifestV1 m) {
  m.scene.settings.video.padding = 240;
  m.scene.settings.video.borderRadius = 216;
  return m;
}

TEST_F(ComposeTest, VideoSitsInsideItsRoundedRectangleOnTheBackground) {
  auto out = composeSynthetic(padded(manifestFor(cutSource())), {320, 180});
  const struct {
    const char* where;
    double x, y;
    bool video;
  } probes[] = {
      {"canvas corner", 2, 2, false},
      {"video centre", kLeft + kWidth / 2, kBottom + kHeight / 2, true},
      {"inside left edge", kLeft + 2, kBottom + kHeight / 2, true},
      {"outside left edge", kLeft - 2, kBottom + kHeight / 2, false},
      {"rounded top-left corner", kLeft + 1.5, kBottom + kHeight - 1.5, false},
      {"just inside the corner arc", kLeft + 8, kBottom + kHeight - 8, true},
      {"above the video", kLeft + kWidth / 2, kBottom + kHeight + 2, false},
  };
  for (const auto& p : probes) {
    const Pixel px = pixelAt(*out, p.x, p.y);
    if (p.video) {
      expectColor(px, 0, 255, 0, 3, p.where);
    } else {
      expectColor(px, 0x20, 0x40, 0x60, 3, p.where);
    }
    EXPECT_EQ(px.a, 255) << p.where;
  }
}

TEST_F(ComposeTest, BackgroundAloneWhenThereIsNoVideoToPlace) {
  const struct {
    const char* why;
    double padding;
    bool withSource;
  } cases[] = {{"padding eats the canvas", 540, true}, {"no source frame", 0, false}};
  for (const auto& c : cases) {
    auto m = manifestFor(cutSource());
    m.scene.settings.video.padding = c.padding;
    auto out = composeSynthetic(m, {320, 180}, 0.2, c.withSource);
    for (auto [x, y] : {std::pair{2.0, 2.0}, {160.0, 90.0}, {317.0, 177.0}}) {
      expectColor(pixelAt(*out, x, y), 0x20, 0x40, 0x60, 1, c.why);
    }
  }
}

TEST_F(ComposeTest, GradientRunsAlongItsAngleAcrossTheDiagonal) {
  // Colour share of c1 at a point: projection onto the axis through the centre,
  // over the canvas diagonal.
  const double h = std::hypot(320, 180) / 2;
  const struct {
    double angle, x, y;
  } probes[] = {{0, 0.5, 90.5}, {0, 319.5, 90.5}, {90, 160.5, 0.5}, {90, 160.5, 179.5}, {45, 2.5, 2.5}};
  for (const auto& p : probes) {
    auto m = padded(manifestFor(cutSource()));
    m.scene.settings.background.type = "gradient";
    m.scene.settings.background.color = "#FF0000";
    m.scene.settings.background.secondaryColor = "0000ff";
    m.scene.settings.background.gradientAngle = p.angle;
    auto out = composeSynthetic(m, {320, 180});
    const double th = p.angle * M_PI / 180;
    const double u = ((p.x - 160) * std::cos(th) + (p.y - 90) * std::sin(th) + h) / (2 * h);
    expectColor(pixelAt(*out, p.x, p.y), static_cast<int>(255 * (1 - u)), 0, static_cast<int>(255 * u), 3,
                "angle " + std::to_string(p.angle));
  }
}

TEST_F(ComposeTest, UnparsableGradientColoursRunFromBlackToDarkGrey) {
  auto m = padded(manifestFor(cutSource()));
  m.scene.settings.background.type = "gradient";
  m.scene.settings.background.color = "red";
  m.scene.settings.background.secondaryColor = "#abc";
  auto out = composeSynthetic(m, {320, 180});
  const Pixel right = pixelAt(*out, 319.5, 90.5);
  EXPECT_NEAR(right.r, 0.1 * 255 * 0.934, 3);
  EXPECT_LT(pixelAt(*out, 0.5, 90.5).r, 3);
}

TEST_F(ComposeTest, ShadowFallsBelowTheFrame) {
  auto m = padded(manifestFor(cutSource()));
  m.scene.settings.video.borderRadius = 0;
  m.scene.settings.background.color = "#FFFFFF";
  m.scene.settings.video.shadow = {true, "#000000", 100, 50};
  auto out = composeSynthetic(m, {320, 180});
  const double midX = kLeft + kWidth / 2;
  const Pixel below = pixelAt(*out, midX, kBottom - 4);
  const Pixel above = pixelAt(*out, midX, kBottom + kHeight + 4);
  EXPECT_LT(below.r + 40, above.r) << "below " << below.r << " above " << above.r;
  EXPECT_LT(below.r, 200);
  expectColor(pixelAt(*out, 1, 178), 255, 255, 255, 2, "far corner");

  m.scene.settings.video.shadow.enabled = false;
  auto plain = composeSynthetic(m, {320, 180});
  expectColor(pixelAt(*plain, midX, kBottom - 4), 255, 255, 255, 0, "no shadow");
}

TEST_F(ComposeTest, StrokeLiesInsideOrOutsideTheEdge) {
  // Width 30 reference pixels is 5 canvas pixels.
  const double midX = kLeft + kWidth / 2, top = kBottom + kHeight;
  for (const std::string position : {"inside", "outside"}) {
    auto m = padded(manifestFor(cutSource()));
    m.scene.settings.video.borderRadius = 0;
    m.scene.settings.video.stroke = {true, 30, "#FF00FF", 100, position};
    auto out = composeSynthetic(m, {320, 180});
    const bool inside = position == "inside";
    const Pixel in = pixelAt(*out, midX, top - 2.5), outside = pixelAt(*out, midX, top + 2.5);
    if (inside) {
      expectColor(in, 255, 0, 255, 3, position + " stroke");
      expectColor(outside, 0x20, 0x40, 0x60, 3, position + " background");
    } else {
      expectColor(in, 0, 255, 0, 3, position + " video");
      expectColor(outside, 255, 0, 255, 3, position + " stroke");
    }
    expectColor(pixelAt(*out, midX, top + 7), 0x20, 0x40, 0x60, 3, position + " beyond");
  }
}

TEST_F(ComposeTest, PerspectiveCameraWithoutItsKernelFailsTheFrame) {
  auto m = manifestFor(cutSource());
  NativeResolvedZoomFrame f;
  f.zoom = 1.5;
  f.perspective = NativePerspectiveFrame{};
  m.videoPlan.resolvedZoomFrames = std::vector{f};
  try {
    composeSynthetic(m, {320, 180});
    FAIL() << "composed a perspective frame";
  } catch (const JobRunnerError& e) {
    EXPECT_NE(std::string(e.what()).find("native_compositor_compose_failed"), std::string::npos) << e.what();
  }
}

// Frames pulled through the real reader: decoding, timeline and compositor together.
std::vector<std::unique_ptr<media::PixelBuffer>> readAll(const NativeExportManifestV1& m, Size renderSize,
                                                         media::Compositor wrap(media::Compositor) = nullptr) {
  std::vector<SourceVideoTrack> sources;
  for (const auto& path : m.videoPlan.sourceVideoPaths) {
    auto asset = media::Asset::open(path);
    sources.push_back({asset, asset->tracks(media::MediaType::video).front()});
  }
  const auto base = loadTrackMetadata(*sources.front().track);
  auto bundle = buildCompositionBundle(m, sources, base, base.displaySize, renderSize);
  media::VideoCompositionReader reader(bundle.composition, bundle.videoComposition,
                                       wrap ? wrap(bundle.compositor) : bundle.compositor);
  reader.startReading();
  std::vector<std::unique_ptr<media::PixelBuffer>> frames;
  while (auto f = reader.copyNextFrame()) {
    auto copy = std::make_unique<media::PixelBuffer>(f->bgra->width(), f->bgra->height());
    for (int y = 0; y < copy->height(); ++y) std::copy_n(f->bgra->row(y), copy->width() * 4, copy->row(y));
    frames.push_back(std::move(copy));
  }
  return frames;
}

TEST_F(ComposeTest, FrameOnACutShowsTheLaterSegmentsFirstFrame) {
  auto m = manifestFor(cutSource());
  NativeVideoSegmentPlan a, b;
  a.segmentId = "red";
  a.sourceStartTime = 0;
  a.sourceEndTime = 0.5;
  a.outputEndTime = 0.5;
  b.segmentId = "blue";
  b.sourceStartTime = 1;
  b.sourceEndTime = 1.5;
  b.outputStartTime = 0.5;
  b.outputEndTime = 1;
  m.videoPlan.segments = {a, b};
  auto frames = readAll(m, {160, 90});
  ASSERT_EQ(frames.size(), 30u);
  expectColor(pixelAt(*frames[14], 80, 45), 255, 0, 0, 30, "last frame before the cut");
  expectColor(pixelAt(*frames[15], 80, 45), 0, 0, 255, 30, "frame on the cut");
  keep(*frames[15], "cut");
}

TEST_F(ComposeTest, RotatedSourceIsDrawnUpright) {
  auto m = manifestFor(rotatedSource());
  m.scene.settings.video.aspectRatio = "fit";
  m.videoPlan.segments[0].sourceEndTime = 0.5;
  m.videoPlan.segments[0].outputEndTime = 0.5;
  m.videoPlan.durationSeconds = 0.5;
  const auto o = open(m);
  ASSERT_EQ(o.base.displaySize, (Size{90, 160}));

  // The media layer's own upright drawing is the reference orientation.
  static std::unique_ptr<media::PixelBuffer> reference;
  auto frames = readAll(m, {90, 160}, [](media::Compositor inner) -> media::Compositor {
    return [inner](const media::CompositionRequest& r, media::PixelBuffer& out) {
      if (!reference) {
        reference = std::make_unique<media::PixelBuffer>(out.width(), out.height());
        media::drawBaseFrameUpright(r, *reference);
      }
      inner(r, out);
    };
  });
  ASSERT_FALSE(frames.empty());
  ASSERT_TRUE(reference);
  keep(*frames[0], "rotated");
  keep(*reference, "rotated_reference");
  const Pixel top = pixelAt(*frames[0], 45, 140), bottom = pixelAt(*frames[0], 45, 20);
  EXPECT_GT(std::abs(top.r - bottom.r), 150) << "the two halves must differ";
  for (auto [x, y] : {std::pair{45.0, 140.0}, {45.0, 20.0}, {10.0, 80.0}}) {
    const Pixel ours = pixelAt(*frames[0], x, y), ref = pixelAt(*reference, x, y);
    expectColor(ours, ref.r, ref.g, ref.b, 12, "at " + std::to_string(x) + "," + std::to_string(y));
  }
  reference.reset();
}

}  // namespace
}  // namespace vantrel::exporter
