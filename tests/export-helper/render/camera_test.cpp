// The camera bubble: which segment shows, where its rectangle goes in each
// position mode, the eased moves between layouts with their ghosts, the pull
// towards the canvas spot, voiceover fades, and composed frames drawn from
// camera files made at test time. Also how often the camera reader seeks.

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "composition/timeline.h"
#include "render/camera_frame_decoder.h"
#include "render/camera_runtime.h"
#include "render/image_sources.h"
#include "render/render_state.h"
#include "vantrel/graphics/image_file.h"
#include "vantrel/graphics/renderer.h"
#include "vantrel/testing/process.h"

namespace vantrel::exporter {
namespace {

namespace gfx = vantrel::graphics;

NativeCameraSegment cameraSegment(const std::string& id, double start, double end, double recordingStart = 0,
                                  const std::string& url = "camera.mp4") {
  NativeCameraSegment s;
  s.id = id;
  s.startTime = start;
  s.endTime = end;
  s.videoUrl = url;
  s.recordingStartTime = recordingStart;
  s.originalStartTime = start;
  s.originalEndTime = end;
  return s;
}

NativeCameraSettings corner(const char* vertical, const char* horizontal) {
  NativeCameraSettings s;
  s.verticalAlignment = vertical;
  s.horizontalAlignment = horizontal;
  return s;
}

// ---- Timing curves ----

// X and Y of the curve, solved by plain bisection to a billionth.
double referenceEase(double x, double x1, double y1, double x2, double y2) {
  auto bez = [](double s, double p1, double p2) { return 3 * (1 - s) * (1 - s) * s * p1 + 3 * (1 - s) * s * s * p2 + s * s * s; };
  double lo = 0, hi = 1;
  for (int i = 0; i < 60; ++i) {
    const double mid = (lo + hi) / 2;
    (bez(mid, x1, x2) < x ? lo : hi) = mid;
  }
  return bez((lo + hi) / 2, y1, y2);
}

TEST(CameraEasing, EachModeFollowsItsCurve) {
  const struct {
    CameraTransitionMode mode;
    const char* name;
    double x1, y1, x2, y2;
  } curves[] = {
      {CameraTransitionMode::screenSlide, "screen-slide", 0.35, 0, 0.15, 1},
      {CameraTransitionMode::cornerToCorner, "corner-to-corner", 0.3, 0.9, 0.4, 1},
      {CameraTransitionMode::position, "position", 0.22, 1, 0.36, 1},
      {CameraTransitionMode::slide, "slide", 0.68, 0, 0, 0.99},
  };
  for (const auto& c : curves) {
    SCOPED_TRACE(c.name);
    EXPECT_STREQ(cameraTransitionModeName(c.mode), c.name);
    for (double x = 0.05; x < 1; x += 0.05) {
      // Newton's 8 steps and the bisection's tolerance leave well under a thousandth.
      EXPECT_NEAR(easedCameraTransitionProgress(c.mode, x), referenceEase(x, c.x1, c.y1, c.x2, c.y2), 2e-4) << x;
    }
    EXPECT_EQ(easedCameraTransitionProgress(c.mode, 0), 0);
    EXPECT_EQ(easedCameraTransitionProgress(c.mode, 1), 1);
    EXPECT_EQ(easedCameraTransitionProgress(c.mode, -0.5), 0);
    EXPECT_EQ(easedCameraTransitionProgress(c.mode, 1.5), 1);
  }
  // The moves' characters: "position" is most of the way there at a quarter,
  // "slide" has barely left at a quarter, "screen-slide" is symmetric-ish.
  EXPECT_GT(easedCameraTransitionProgress(CameraTransitionMode::position, 0.25), 0.75);
  EXPECT_LT(easedCameraTransitionProgress(CameraTransitionMode::slide, 0.25), 0.1);
  // A curve whose X is flat in the middle sends Newton outside [0, 1]; the
  // bisection still lands on the curve.
  const double s = solveBezierTForX(0.5, 0, 1);
  auto X = [](double t) { return 3 * (1 - t) * t * t + t * t * t; };
  EXPECT_GE(s, 0);
  EXPECT_LE(s, 1);
  EXPECT_NEAR(X(s), 0.5, 1e-3);
}

// ---- Rectangles ----

TEST(CameraRect, CornersSizesAndShapesPerMode) {
  const VideoLayout layout{800, 450, 100, 50};  // video at x 100, top 50 on a 1000x600 canvas
  struct Case {
    const char* what;
    NativeCameraSettings settings;
    CameraDrawRect expected;
  };
  auto with = [](NativeCameraSettings s, auto&& change) {
    change(s);
    return s;
  };
  const Case cases[] = {
      {"defaults: bottom right of the canvas, a quarter of 600 high", NativeCameraSettings::defaults(),
       {1000 - 150 - 32, 600 - 150 - 32, 150, 150, 16, 1, false}},
      {"top left", corner("top", "left"), {32, 32, 150, 150, 16, 1, false}},
      {"middle centre", corner("middle", "center"), {425, 225, 150, 150, 16, 1, false}},
      {"unknown alignments fall to bottom right", corner("up", "west"), {818, 418, 150, 150, 16, 1, false}},
      {"9:16 at half scale", with(corner("top", "right"), [](auto& s) { s.shape = "9:16"; s.scale = 50; }),
       {1000 - 32 - 75 * 0.5625, 32, 75 * 0.5625, 75, 16, 0.5625, false}},
      {"16:9", with(corner("top", "left"), [](auto& s) { s.shape = "16:9"; }),
       {32, 32, 150 * 1.7777777777777777, 150, 16, 1.7777777777777777, false}},
      {"video mode uses the video's box", with(corner("top", "left"), [](auto& s) { s.positionMode = "video"; }),
       {100 + 32, 50 + 32, 112.5, 112.5, 16, 1, false}},
      {"video mode bottom right",
       with(NativeCameraSettings::defaults(), [](auto& s) { s.positionMode = "video"; }),
       {100 + 800 - 112.5 - 32, 50 + 450 - 112.5 - 32, 112.5, 112.5, 16, 1, false}},
      {"screen fills the canvas", with(corner("top", "left"), [](auto& s) { s.positionMode = "screen"; }),
       {0, 0, 1000, 600, 0, 1000.0 / 600, true}},
      {"scale 0 is 1 %, negative padding and radius are 0",
       with(corner("top", "left"), [](auto& s) { s.scale = 0; s.padding = -5; s.radius = -3; }),
       {0, 0, 1.5, 1.5, 0, 1, false}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const CameraDrawRect r = computeCameraRect(c.settings, 1000, 600, layout);
    EXPECT_NEAR(r.x, c.expected.x, 1e-9);
    EXPECT_NEAR(r.y, c.expected.y, 1e-9);
    EXPECT_NEAR(r.w, c.expected.w, 1e-9);
    EXPECT_NEAR(r.h, c.expected.h, 1e-9);
    EXPECT_NEAR(r.radius, c.expected.radius, 1e-9);
    EXPECT_NEAR(r.aspect, c.expected.aspect, 1e-12);
    EXPECT_EQ(r.isScreen, c.expected.isScreen);
  }
  NativeCameraSettings screen;
  screen.positionMode = "screen";
  EXPECT_DOUBLE_EQ(computeCameraRect(screen, 640, 0.5, layout).aspect, 640);  // a canvas under a pixel high
}

// ---- Active segment and transitions ----

NativeCameraPlan plan(std::vector<NativeCameraSegment> segments,
                      std::map<std::string, NativeCameraSettings> settings = {},
                      std::vector<std::string> hidden = {}) {
  NativeCameraPlan p;
  p.cameraSegments = std::move(segments);
  p.cameraSettingsById = std::move(settings);
  p.hiddenCameraSegmentIds = std::move(hidden);
  return p;
}

TEST(CameraRuntime, TheLastShownSegmentCoveringTheTimeIsActive) {
  NativeCameraSettings off;
  off.showCamera = false;
  const auto p = plan({cameraSegment("a", 0, 10), cameraSegment("b", 2, 4), cameraSegment("c", 3, 5),
                       cameraSegment("d", 6, 8), cameraSegment("e", 12, 13)},
                      {{"d", off}}, {"c"});
  const NativeCameraRuntime runtime(p);
  const struct {
    double t;
    const char* id;  // null: none
  } cases[] = {{1, "a"},   {2.5, "b"}, {3.5, "b"},      // c is hidden: b shows through
               {4.5, "a"}, {7, "a"},                    // d is switched off: a shows through
               {10 + 5e-7, "a"}, {10.01, nullptr}, {12 - 5e-7, "e"}, {13.5, nullptr}, {-1, nullptr}};
  for (const auto& c : cases) {
    const auto active = runtime.resolveActiveCamera(c.t);
    ASSERT_EQ(active.has_value(), c.id != nullptr) << c.t;
    if (active) {
      EXPECT_EQ(active->segment->id, c.id) << c.t;
      EXPECT_EQ(&p.cameraSegments[active->segmentIndex], active->segment) << c.t;
    }
  }
  EXPECT_EQ(runtime.resolveCameraSettings("zzz").padding, 32);  // no entry: the defaults
  EXPECT_FALSE(runtime.resolveCameraSettings("d").showCamera);
}

TEST(CameraRuntime, TransitionsRunOnlyWhenTheLayoutOrTheRecordingChanges) {
  NativeCameraSettings bottomRight = NativeCameraSettings::defaults();
  NativeCameraSettings topLeft = corner("top", "left");
  NativeCameraSettings bigger = bottomRight;
  bigger.scale = 150;
  NativeCameraSettings slide = topLeft;
  slide.positionTransitionStyle = "slide";
  NativeCameraSettings screen = bottomRight;
  screen.positionMode = "screen";
  NativeCameraSettings screenTopLeft = topLeft;
  screenTopLeft.positionMode = "screen";
  NativeCameraSettings video = bottomRight;
  video.positionMode = "video";
  NativeCameraSettings instant = bigger;
  instant.animationDuration = 0;
  NativeCameraSettings mirroredOnly = bottomRight;
  mirroredOnly.mirrored = true;
  mirroredOnly.positionTransitionStyle = "slide";

  struct Case {
    const char* what;
    NativeCameraSettings next;
    NativeCameraSegment second;  // the first is "a": 0..2 s of camera.mp4 from 0
    double t;
    std::optional<CameraTransitionMode> mode;
    double progress;
  };
  const Case cases[] = {
      {"same file, back to back, seamless, same layout", mirroredOnly, cameraSegment("b", 2, 4, 2), 2.1, {}, 0},
      {"seamless within 0.05 s", bottomRight, cameraSegment("b", 2, 4, 2.04), 2.1, {}, 0},
      {"a jump in the recording", bottomRight, cameraSegment("b", 2, 4, 2.2), 2.1, CameraTransitionMode::position, 0.25},
      {"another file", bottomRight, cameraSegment("b", 2, 4, 2, "other.mp4"), 2.2, CameraTransitionMode::position, 0.5},
      {"a gap", bottomRight, cameraSegment("b", 2.5, 4, 2.5), 2.6, CameraTransitionMode::position, 0.25},
      {"bigger", bigger, cameraSegment("b", 2, 4, 2), 2.3, CameraTransitionMode::position, 0.75},
      {"over by its duration", bigger, cameraSegment("b", 2, 4, 2), 2.401, {}, 0},
      {"before its start", bigger, cameraSegment("b", 2, 4, 2), 2 - 5e-7, {}, 0},
      {"no duration", instant, cameraSegment("b", 2, 4, 2), 2.1, {}, 0},
      {"to another corner: a fixed half second", topLeft, cameraSegment("b", 2, 4, 2), 2.3,
       CameraTransitionMode::cornerToCorner, 0.6},
      {"corner-to-corner is over at 0.5 s", topLeft, cameraSegment("b", 2, 4, 2), 2.5, {}, 0},
      {"to another corner, sliding", slide, cameraSegment("b", 2, 4, 2), 2.1, CameraTransitionMode::slide, 0.25},
      {"to the screen", screen, cameraSegment("b", 2, 4, 2), 2.2, CameraTransitionMode::screenSlide, 0.5},
      {"to the screen and another corner", screenTopLeft, cameraSegment("b", 2, 4, 2), 2.2,
       CameraTransitionMode::screenSlide, 0.5},
      {"canvas to video in place moves like a corner change", video, cameraSegment("b", 2, 4, 2), 2.2,
       CameraTransitionMode::cornerToCorner, 0.4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto p = plan({cameraSegment("a", 0, 2, 0), c.second}, {{"a", bottomRight}, {"b", c.next}});
    const NativeCameraRuntime runtime(p);
    const auto active = runtime.resolveActiveCamera(c.t);
    ASSERT_TRUE(active);
    ASSERT_EQ(active->segment->id, "b");
    const auto transition = runtime.resolveCameraTransitionState(c.t, *active);
    ASSERT_EQ(transition.has_value(), c.mode.has_value());
    if (transition) {
      EXPECT_EQ(transition->mode, *c.mode);
      EXPECT_NEAR(transition->progress, c.progress, 1e-9);
      EXPECT_EQ(transition->previousSettings.verticalAlignment, "bottom");
    }
  }
  // The first segment of the list never moves in.
  const auto p = plan({cameraSegment("a", 1, 2)}, {{"a", bigger}});
  const NativeCameraRuntime runtime(p);
  EXPECT_FALSE(runtime.resolveCameraTransitionState(1.1, *runtime.resolveActiveCamera(1.1)));
}

TEST(CameraRuntime, PlacementPullsFadesMirrorsAndTrailsGhosts) {
  const double W = 1000, H = 600;
  const VideoLayout layout{800, 450, 100, 50};
  NativeCameraSettings video = NativeCameraSettings::defaults();
  video.positionMode = "video";
  video.mirrored = true;

  {
    SCOPED_TRACE("half pulled: halfway between the video's corner and the canvas's");
    const auto p = plan({cameraSegment("a", 0, 5)}, {{"a", video}});
    const NativeCameraRuntime runtime(p);
    const auto active = runtime.resolveActiveCamera(1);
    const auto placement = runtime.resolveCameraOverlayPlacement(1, *active, layout, 0.5, W, H);
    ASSERT_TRUE(placement);
    // Video: (755.5, 355.5, 112.5); canvas: (818, 418, 150).
    EXPECT_NEAR(placement->rect.x, (755.5 + 818) / 2, 1e-9);
    EXPECT_NEAR(placement->rect.y, (355.5 + 418) / 2, 1e-9);
    EXPECT_NEAR(placement->rect.w, (112.5 + 150) / 2, 1e-9);
    EXPECT_TRUE(placement->mirrored);
    EXPECT_TRUE(placement->ghostRects.empty());
    EXPECT_EQ(placement->opacity, 1);
    // Out-of-range blends are clamped; a canvas bubble is never pulled.
    EXPECT_NEAR(runtime.resolveCameraOverlayPlacement(1, *active, layout, 7, W, H)->rect.x, 818, 1e-9);
    EXPECT_NEAR(runtime.resolveCameraOverlayPlacement(1, *active, layout, -1, W, H)->rect.x, 755.5, 1e-9);
    const auto canvasPlan = plan({cameraSegment("a", 0, 5)});
    const NativeCameraRuntime canvasRuntime(canvasPlan);
    EXPECT_NEAR(canvasRuntime.resolveCameraOverlayPlacement(1, *canvasRuntime.resolveActiveCamera(1), layout, 0.5, W, H)
                    ->rect.x,
                818, 1e-9);
  }
  {
    SCOPED_TRACE("voiceover fades");
    auto withVoiceover = [](double start, double end, bool left, bool right) {
      auto s = cameraSegment("a", start, end);
      s.voiceoverSegmentId = "vo";
      if (left) s.splitBoundaryLeft = "x";
      if (right) s.splitBoundaryRight = "y";
      return s;
    };
    const struct {
      NativeCameraSegment segment;
      double t, opacity;
    } cases[] = {
        {withVoiceover(1, 3, false, false), 1.15, 0.5},  {withVoiceover(1, 3, false, false), 2.0, 1},
        {withVoiceover(1, 3, false, false), 2.94, 0.2},  {withVoiceover(1, 3, true, false), 1.0, 1},
        {withVoiceover(1, 3, false, true), 2.94, 1},     {withVoiceover(1, 1.2, false, false), 1.1, 1.0 / 3},
        {cameraSegment("a", 1, 3), 1.0, 1},
    };
    for (const auto& c : cases) {
      const auto p = plan({c.segment});
      const NativeCameraRuntime runtime(p);
      EXPECT_NEAR(runtime.resolveCameraOverlayPlacement(c.t, *runtime.resolveActiveCamera(c.t), layout, 0, W, H)->opacity,
                  c.opacity, 1e-9)
          << c.t;
    }
  }
  {
    SCOPED_TRACE("corner to corner: four ghosts behind, faint, fainter for long moves");
    const auto p = plan({cameraSegment("a", 0, 2), cameraSegment("b", 2, 4, 2)},
                        {{"b", corner("top", "left")}});
    const NativeCameraRuntime runtime(p);
    const double t = 2.2;  // progress 0.4
    const auto placement = runtime.resolveCameraOverlayPlacement(t, *runtime.resolveActiveCamera(t), layout, 0, W, H);
    ASSERT_TRUE(placement);
    const CameraDrawRect from{818, 418, 150, 150, 16, 1, false}, to{32, 32, 150, 150, 16, 1, false};
    auto expectedAt = [&](double progress) {
      return interpolateCameraRect(from, to, easedCameraTransitionProgress(CameraTransitionMode::cornerToCorner, progress));
    };
    EXPECT_NEAR(placement->rect.x, expectedAt(0.4).x, 1e-9);
    EXPECT_NEAR(placement->rect.y, expectedAt(0.4).y, 1e-9);
    ASSERT_EQ(placement->ghostRects.size(), 4u);
    // 786 px between the centres, more than half the shorter side: g = 0.125 * 0.75.
    const double g = 0.09375;
    for (int i = 0; i < 4; ++i) {
      const int k = 4 - i;  // oldest first
      SCOPED_TRACE(k);
      EXPECT_NEAR(placement->ghostRects[i].alpha, g * (1 - k / 5.0), 1e-12);
      EXPECT_NEAR(placement->ghostRects[i].rect.x, expectedAt(0.4 - 0.035 * k).x, 1e-9);
      EXPECT_NEAR(placement->ghostRects[i].rect.y, expectedAt(0.4 - 0.035 * k).y, 1e-9);
    }
    EXPECT_FALSE(placement->drawFullscreen);
    EXPECT_FALSE(placement->mirrored);

    // A short move (scale 100 -> 110, 7.5 px between centres) keeps the full 0.125.
    NativeCameraSettings bigger = NativeCameraSettings::defaults();
    bigger.scale = 110;
    const auto q = plan({cameraSegment("a", 0, 2), cameraSegment("b", 2, 4, 2)}, {{"b", bigger}});
    const NativeCameraRuntime shortMove(q);
    const auto small = shortMove.resolveCameraOverlayPlacement(2.1, *shortMove.resolveActiveCamera(2.1), layout, 0, W, H);
    ASSERT_EQ(small->ghostRects.size(), 4u);
    EXPECT_NEAR(small->ghostRects.back().alpha, 0.125 * 0.8, 1e-12);
    // Once the move is over: no ghosts.
    EXPECT_TRUE(shortMove.resolveCameraOverlayPlacement(2.5, *shortMove.resolveActiveCamera(2.5), layout, 0, W, H)
                    ->ghostRects.empty());
  }
  {
    SCOPED_TRACE("full screen only once the move to it is over");
    NativeCameraSettings screen = NativeCameraSettings::defaults();
    screen.positionMode = "screen";
    const auto p = plan({cameraSegment("a", 0, 2), cameraSegment("b", 2, 4, 2)}, {{"b", screen}});
    const NativeCameraRuntime runtime(p);
    const auto moving = runtime.resolveCameraOverlayPlacement(2.2, *runtime.resolveActiveCamera(2.2), layout, 0, W, H);
    EXPECT_FALSE(moving->drawFullscreen);
    EXPECT_EQ(moving->ghostRects.size(), 4u);
    const auto settled = runtime.resolveCameraOverlayPlacement(2.5, *runtime.resolveActiveCamera(2.5), layout, 0, W, H);
    EXPECT_TRUE(settled->drawFullscreen);
    EXPECT_NEAR(settled->rect.w, W, 1e-9);
  }
}

// ---- Camera files and composed frames ----

// A camera of `fps` frames a second at `size`, made with the ffmpeg `filter`.
std::string makeCamera(const testing::TempDir& dir, const std::string& name, const std::string& filter,
                       const std::string& size, int fps, int seconds) {
  const std::string path = dir.file(name);
  auto r = testing::runProcess({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                                "color=c=black:s=" + size + ":r=" + std::to_string(fps) + ":d=" + std::to_string(seconds),
                                "-vf", filter, "-c:v", "libx264", "-qp", "0", "-g", std::to_string(fps), "-pix_fmt",
                                "yuv420p", path});
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  return path;
}

// Frame n is a flat grey of level 5n + 20 (so at most 43 frames), which says which frame it is.
std::string greyCounting(const testing::TempDir& dir, const std::string& name, int fps, int seconds) {
  return makeCamera(dir, name, "geq=lum='5*N+20':cb=128:cr=128", "64x48", fps, seconds);
}

int frameNumberOfLevel(uint8_t green) {
  // Video levels: grey g in 16..235 becomes (g - 16) * 255 / 219.
  const double level = green * 219.0 / 255.0 + 16;
  return static_cast<int>(std::lround((level - 20) / 5));
}

class CameraFrames : public ::testing::Test {
 protected:
  static constexpr int kW = 640, kH = 360;

  static void SetUpTestSuite() {
    dir_ = new testing::TempDir();
    // 4:3, so that a square bubble loses strips left and right.
    split_ = makeCamera(*dir_, "split.mp4", "geq=r='if(lt(X,W/2),255,0)':g=0:b='if(lt(X,W/2),0,255)'", "160x120",
                        10, 8);
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }

  // Black canvas, the 320x180 green recording filling it (padding `padding`, reference pixels).
  static NativeExportManifestV1 manifest(std::vector<NativeCameraSegment> segments,
                                         std::map<std::string, NativeCameraSettings> settings,
                                         double padding = 0) {
    NativeExportManifestV1 m;
    auto& video = m.scene.settings.video;
    video.aspectRatio = "16:9";
    video.videoScale = 100;
    video.padding = padding;
    m.scene.settings.background.type = "color";
    m.scene.settings.background.color = "#000000";
    m.qualityPlan.frameRate = 30;
    NativeVideoSegmentPlan s;
    s.segmentId = "s1";
    s.sourceEndTime = s.outputEndTime = 10;
    m.videoPlan.segments = {s};
    m.videoPlan.durationSeconds = 10;
    for (auto& segment : segments)
      if (segment.videoUrl == "camera.mp4") segment.videoUrl = split_;
    m.cameraPlan.cameraSegments = std::move(segments);
    m.cameraPlan.cameraSettingsById = std::move(settings);
    return m;
  }

  static std::unique_ptr<NativeRenderState> state(const NativeExportManifestV1& m, bool cameraMetadata = true) {
    NativeRenderStateInputs in;
    in.manifest = m;
    in.renderSize = {kW, kH};
    in.baseTrackMetadata = VideoTrackMetadata::make({320, 180}, AffineTransform{});
    in.sourceTrackMetadataByIndex = {in.baseTrackMetadata};
    in.canvasReferenceDisplaySize = {320, 180};
    in.performancePlan = ExportPerformancePlan::build(in.renderSize, 1);
    in.cameraTrackMetadataByURL = buildCameraDecoderSupport(m.cameraPlan.cameraSegments, *in.cameraDecoder);
    if (!cameraMetadata) in.cameraTrackMetadataByURL.clear();
    return std::make_unique<NativeRenderState>(std::move(in));
  }

  static gfx::BufferRef render(NativeRenderState& s, double t) {
    auto source = gfx::makeBuffer(320, 180, gfx::PixelFormat::bgra8);
    source->fill(0xFF00FF00u);
    const gfx::Image image = gfx::Image::fromBuffer(source);
    auto out = gfx::makeBuffer(kW, kH, gfx::PixelFormat::bgra8);
    auto frame = s.composeFrame(t, &image);
    EXPECT_TRUE(frame);
    if (frame) s.renderer().render(*frame, *out, {0, 0});
    return out;
  }

  // How much of the camera covers a pixel: red and blue appear nowhere else.
  static double amount(const gfx::BufferRef& b, int x, int yUp) {
    const uint8_t* p = b->row(kH - 1 - yUp) + 4 * x;
    return std::max(p[0], p[2]) / 255.0;
  }

  struct Measured {
    int minX = kW, minY = kH, maxX = -1, maxY = -1;  // drawing space, pixels more than half covered
    double area = 0;                                 // covered pixels, weighted by coverage
    double redLeft = 0, redRight = 0;                // red share left and right of the bubble's middle
  };
  static Measured measure(const gfx::BufferRef& b) {
    Measured m;
    for (int y = 0; y < kH; ++y) {
      for (int x = 0; x < kW; ++x) {
        const double a = amount(b, x, y);
        m.area += a;
        if (a > 0.5) {
          m.minX = std::min(m.minX, x);
          m.maxX = std::max(m.maxX, x);
          m.minY = std::min(m.minY, y);
          m.maxY = std::max(m.maxY, y);
        }
      }
    }
    const int mid = (m.minX + m.maxX + 1) / 2;
    for (int y = m.minY; y <= m.maxY; ++y) {
      for (int x = m.minX; x <= m.maxX; ++x) {
        const uint8_t* p = b->row(kH - 1 - y) + 4 * x;
        (x < mid ? m.redLeft : m.redRight) += p[2] / 255.0;
      }
    }
    return m;
  }

  static void savePng(const gfx::BufferRef& b, const std::string& name) {
    const char* dir = std::getenv("VANTREL_TEST_PNG_DIR");  // for looking at the frames by hand
    if (dir) gfx::writePng(*b, std::string(dir) + "/" + name);
  }

  static testing::TempDir* dir_;
  static std::string split_;
};

testing::TempDir* CameraFrames::dir_ = nullptr;
std::string CameraFrames::split_;

TEST_F(CameraFrames, BubbleCornersSizeAndRadiusPerMode) {
  auto with = [](NativeCameraSettings s, auto&& change) {
    change(s);
    return s;
  };
  struct Case {
    const char* what;
    NativeCameraSettings settings;
    double padding;        // the video's
    double blend;          // zoom camera's pull
    double x, yUp, w, h;   // expected rectangle, drawing space
    double radius;
  };
  // 640x360 canvas: a canvas bubble is 90 px. With padding 60 (20 px at this
  // layout scale) the video is 568.9x320 at (35.6, top 20): a video bubble is 80 px.
  const Case cases[] = {
      {"default: bottom right", NativeCameraSettings::defaults(), 0, 0, 518, 32, 90, 90, 16},
      {"top left, square corners", with(corner("top", "left"), [](auto& s) { s.radius = 0; }), 0, 0, 32, 238, 90,
       90, 0},
      {"circle", with(corner("bottom", "left"), [](auto& s) { s.radius = 45; }), 0, 0, 32, 32, 90, 90, 45},
      {"9:16 capsule at the top centre", with(corner("top", "center"), [](auto& s) {
         s.shape = "9:16";
         s.scale = 200;
         s.radius = 1000;
       }),
       0, 0, 320 - 90 * 0.5625, 360 - 32 - 180, 180 * 0.5625, 180, 180 * 0.5625 / 2},
      {"video mode", with(NativeCameraSettings::defaults(), [](auto& s) { s.positionMode = "video"; }), 60, 0,
       35.5556 + 568.8889 - 80 - 32, 360 - 20 - 320 + 32, 80, 80, 16},
      {"video mode half pulled to the canvas",
       with(NativeCameraSettings::defaults(), [](auto& s) { s.positionMode = "video"; }), 60, 0.5,
       (35.5556 + 568.8889 - 80 - 32 + 518) / 2, (52 + 32) / 2.0, 85, 85, 16},
      {"screen", with(NativeCameraSettings::defaults(), [](auto& s) { s.positionMode = "screen"; }), 60, 0, 0, 0,
       640, 360, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto m = manifest({cameraSegment("a", 0, 5)}, {{"a", c.settings}}, c.padding);
    if (c.blend > 0) {
      NativeResolvedZoomFrame z;
      z.centerX = kW / 2.0;
      z.centerY = kH / 2.0;
      z.cameraOverlayBlend = c.blend;
      m.videoPlan.resolvedZoomFrames = std::vector{z};
    }
    auto s = state(m);
    const auto frame = render(*s, 1);
    savePng(frame, std::string("mode-") + c.what + ".png");
    const Measured got = measure(frame);
    EXPECT_NEAR(got.minX, std::round(c.x), 1);
    EXPECT_NEAR(got.maxX + 1, std::round(c.x + c.w), 1);
    EXPECT_NEAR(got.minY, std::round(c.yUp), 1);
    EXPECT_NEAR(got.maxY + 1, std::round(c.yUp + c.h), 1);
    const double r = std::min(c.radius, std::min(c.w, c.h) / 2);
    const double area = c.w * c.h - (4 - M_PI) * r * r;
    EXPECT_NEAR(got.area, area, area * 0.01 + 4);
    // The camera's left half is red: unmirrored it stays on the left.
    EXPECT_GT(got.redLeft, 20 * got.redRight + 1);
  }
}

TEST_F(CameraFrames, AMirroredBubbleStaysInItsRectangle) {
  NativeCameraSettings plain = corner("top", "left");
  plain.padding = 40.3;  // a fractional edge, so that the flip has to keep it
  NativeCameraSettings mirrored = plain;
  mirrored.mirrored = true;
  const auto a = render(*state(manifest({cameraSegment("a", 0, 5)}, {{"a", plain}})), 1);
  const auto b = render(*state(manifest({cameraSegment("a", 0, 5)}, {{"a", mirrored}})), 1);
  savePng(b, "mirrored.png");
  const Measured ma = measure(a), mb = measure(b);
  EXPECT_EQ(ma.minX, mb.minX);
  EXPECT_EQ(ma.maxX, mb.maxX);
  EXPECT_EQ(ma.minY, mb.minY);
  EXPECT_EQ(ma.maxY, mb.maxY);
  EXPECT_NEAR(ma.area, mb.area, 0.5);
  EXPECT_GT(mb.redRight, 20 * mb.redLeft + 1);  // red now on the right
  // Pixel for pixel the camera covers the same area: the outline did not move.
  double worst = 0;
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x) worst = std::max(worst, std::abs(amount(a, x, y) - amount(b, x, y)));
  EXPECT_LT(worst, 0.05);
}

TEST_F(CameraFrames, GhostsTrailOnlyWhileTheBubbleMoves) {
  // Bottom right to top left, eased: a 0.5 s corner-to-corner move from 2 s.
  const auto m = manifest({cameraSegment("a", 0, 2, 0, "camera.mp4"), cameraSegment("b", 2, 5, 2, "camera.mp4")},
                          {{"b", corner("top", "left")}});
  auto s = state(m);
  const CameraDrawRect from{518, 238, 90, 90, 16, 1, false}, to{32, 32, 90, 90, 16, 1, false};
  for (const double t : {1.5, 2.05, 2.15, 2.25, 2.6}) {
    SCOPED_TRACE(t);
    const auto frame = render(*s, t);
    savePng(frame, "ghosts-" + std::to_string(t) + ".png");
    const double progress = std::clamp((t - 2) / 0.5, 0.0, 1.0);
    const bool moving = t > 2 && t < 2.5;
    const CameraDrawRect now = t < 2 ? from : interpolateCameraRect(from, to, easedCameraTransitionProgress(CameraTransitionMode::cornerToCorner, progress));
    const gfx::Rect bubble = cameraDrawRectInCanvasSpace(now, kH).insetBy(-1, -1);
    double outside = 0, brightest = 0;
    for (int y = 0; y < kH; ++y) {
      for (int x = 0; x < kW; ++x) {
        if (x + 0.5 > bubble.minX() && x + 0.5 < bubble.maxX() && y + 0.5 > bubble.minY() && y + 0.5 < bubble.maxY()) continue;
        const double a = amount(frame, x, y);
        outside += a;
        brightest = std::max(brightest, a);
      }
    }
    if (moving) {
      EXPECT_GT(outside, 100) << "no ghosts behind the moving bubble";
      // Four ghosts at most 0.09375 x (0.2 + 0.4 + 0.6 + 0.8) where all overlap.
      EXPECT_LT(brightest, 0.2);
    } else {
      EXPECT_LT(outside, 1) << "ghosts without a move";
    }
  }
}

TEST_F(CameraFrames, HugeOrOddSettingsStayBoundedAndDrawNothingWhereNothingIsDue) {
  NativeCameraSettings huge = NativeCameraSettings::defaults();
  huge.scale = 1e12;
  huge.radius = 1e300;
  huge.padding = 1e300;
  auto s = state(manifest({cameraSegment("a", 0, 5)}, {{"a", huge}}));
  render(*s, 1);  // must finish quickly, whatever lands on the canvas

  // A camera URL without metadata leaves the bubble out.
  EXPECT_LT(measure(render(*state(manifest({cameraSegment("a", 0, 5)}, {}), false), 1)).area, 1);
  // A recording position far past the file's end shows nothing (not its first frame).
  EXPECT_LT(measure(render(*state(manifest({cameraSegment("a", 0, 5, 1e300)}, {})), 1)).area, 1);
  // Past the end of the camera segments: nothing.
  EXPECT_LT(measure(render(*state(manifest({cameraSegment("a", 0, 5)}, {})), 6)).area, 1);
}

// ---- Seeks ----

TEST_F(CameraFrames, ALinearExportSeeksAtMostOncePerSegmentAndReadsForward) {
  testing::TempDir dir;
  const std::string grey = greyCounting(dir, "grey.mp4", 5, 8);
  // Segments of one file (5 frames a second, so 16 kept frames reach 3.2 s
  // back): from 4 s, seamless on, back to 0.5 s, then (after a gap in the
  // output) on to 2.2 s, then far ahead to 6 s.
  std::vector<NativeCameraSegment> segments = {
      cameraSegment("a", 0, 1.5, 4, grey),     cameraSegment("b", 1.5, 3, 5.5, grey),
      cameraSegment("c", 3, 4, 0.5, grey),     cameraSegment("d", 4.5, 5.5, 2.2, grey),
      cameraSegment("e", 5.5, 6.5, 6, grey)};
  auto m = manifest(segments, {});
  auto s = state(m);
  ASSERT_EQ(s->inputs().cameraDecoder->seekCount(grey), 0u);  // prepared, not read yet
  const NativeCameraRuntime runtime(m.cameraPlan);
  int wrongFrames = 0;
  for (int frame = 0; frame < 6.5 * 30; ++frame) {
    const double t = frame / 30.0;
    const auto image = render(*s, t);
    const auto active = runtime.resolveActiveCamera(t);
    if (!active) continue;
    // The bubble's middle (bottom right corner, 90 px) shows the camera's frame number.
    const uint8_t* p = image->row(kH - 1 - 77) + 4 * 563;
    const double media = active->segment->recordingStartTime + std::max(t - active->segment->startTime, 0.0);
    // The nearest of the camera's frames (5 a second).
    if (std::abs(frameNumberOfLevel(p[1]) - media * 5) > 0.5 + 1e-6) {
      ++wrongFrames;
      ADD_FAILURE() << "t " << t << " shows frame " << frameNumberOfLevel(p[1]) << " for " << media << " s";
    }
  }
  EXPECT_EQ(wrongFrames, 0);
  // a: the first read; c: back 6.5 s; e: ahead 2.7 s. b reads on, and d's 0.6 s step ahead too.
  EXPECT_EQ(s->inputs().cameraDecoder->seekCount(grey), 3u);
  EXPECT_LE(s->inputs().cameraDecoder->totalSeekCount(), segments.size());
}

TEST(CameraSeeks, StepsBackAndAheadAreServedByReadingOn) {
  testing::TempDir dir;
  const std::string grey = greyCounting(dir, "grey.mp4", 10, 4);
  const std::string sparse = greyCounting(dir, "sparse.mp4", 1, 8);  // one frame a second
  auto open = [](CameraFrameDecoder& d, const std::string& path) {
    auto asset = media::Asset::open(path);
    d.addState(path, asset, asset->tracks(media::MediaType::video).front()->trackId, 0);
    return loadTrackMetadata(*asset->tracks(media::MediaType::video).front());
  };
  {
    CameraFrameDecoder d;
    const auto metadata = open(d, grey);
    struct Step {
      double seconds;
      std::size_t seeks;
    } steps[] = {{2.0, 1},                            // the first read (the state was prepared at 0)
                 {2.5, 1},                            // ahead 0.5: reading on
                 {2.1, 1},                            // back 0.4: from the kept frames
                 {1.5, 2},                            // back 0.6: a new reader
                 {2.4, 2},                            // ahead 0.9: reading on
                 {3.7, 3}};                           // ahead 1.2: a new reader
    for (const auto& step : steps) {
      const auto image = d.frame(grey, step.seconds, metadata);
      ASSERT_TRUE(image) << step.seconds;
      gfx::Renderer renderer;
      auto bitmap = renderer.makeBitmap(*image, image->extent());
      ASSERT_TRUE(bitmap);
      EXPECT_EQ(frameNumberOfLevel(bitmap->row(24)[4 * 32 + 1]), std::lround(step.seconds * 10)) << step.seconds;
      EXPECT_EQ(d.seekCount(grey), step.seeks) << step.seconds;
    }
    EXPECT_EQ(d.seekCount("unknown.mp4"), 0u);
  }
  {
    // One frame a second: the read position runs a second ahead of the asked
    // time, which must not count as a step back on every frame.
    CameraFrameDecoder d;
    const auto metadata = open(d, sparse);
    for (int frame = 0; frame < 5 * 30; ++frame) ASSERT_TRUE(d.frame(sparse, frame / 30.0, metadata));
    EXPECT_EQ(d.seekCount(sparse), 1u);
  }
}

}  // namespace
}  // namespace vantrel::exporter
