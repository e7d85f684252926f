// The zoom motion blur: its mask, the ghost copies behind a fast camera, and
// the fast version measured against the straightforward one (every sample a
// zoom of the whole lazy stack at full resolution, laid on one by one).
// Sources are synthetic images; nothing is decoded.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "render/layers/layers.h"
#include "render/render_state.h"
#include "vantrel/graphics/image_file.h"

namespace vantrel::exporter {
namespace {

namespace gfx = vantrel::graphics;

// Canvas pixels, y up.
NativeResolvedZoomFrame key(double ms, double centerX, double centerYTop, double zoom) {
  NativeResolvedZoomFrame f;
  f.timestamp = ms;
  f.centerX = centerX;
  f.centerY = centerYTop;
  f.zoom = zoom;
  return f;
}

NativeExportManifestV1 baseManifest(std::vector<NativeResolvedZoomFrame> frames) {
  NativeExportManifestV1 m;
  auto& video = m.scene.settings.video;
  video.aspectRatio = "16:9";
  video.videoScale = 100;
  m.scene.settings.background.type = "color";
  m.scene.settings.background.color = "#204060";
  m.qualityPlan.frameRate = 30;
  m.qualityPlan.compression = "high";
  NativeVideoSegmentPlan s;
  s.segmentId = "s";
  s.sourceEndTime = 10;
  s.outputEndTime = 10;
  m.videoPlan.segments = {s};
  m.videoPlan.durationSeconds = 10;
  if (!frames.empty()) m.videoPlan.resolvedZoomFrames = std::move(frames);
  return m;
}

std::unique_ptr<NativeRenderState> makeState(NativeExportManifestV1 m, Size size, Size source = {160, 90}) {
  NativeRenderStateInputs in;
  in.manifest = std::move(m);
  in.renderSize = size;
  in.baseTrackId = 1;
  in.baseTrackMetadata = VideoTrackMetadata::make(source, {});
  in.canvasReferenceDisplaySize = source;
  in.performancePlan = ExportPerformancePlan::build(size, 1);
  return std::make_unique<NativeRenderState>(std::move(in));
}

gfx::BufferRef render(NativeRenderState& state, const gfx::Image& image) {
  return state.renderer().makeBitmap(image, state.canvasRect());
}

uint32_t pixelAt(const gfx::PixelBuffer& b, int x, int yUp) { return b.pixelRow(b.height() - 1 - yUp)[x]; }
int channel(uint32_t p, int c) { return static_cast<int>((p >> (8 * c)) & 255); }
int maxChannelDifference(uint32_t a, uint32_t b) {
  int d = 0;
  for (int c = 0; c < 4; ++c) d = std::max(d, std::abs(channel(a, c) - channel(b, c)));
  return d;
}

void keep([[maybe_unused]] const gfx::PixelBuffer& frame, [[maybe_unused]] const std::string& name) {
#ifdef VANTREL_KEEP_FRAMES
  gfx::writePng(frame, std::string(VANTREL_KEEP_FRAMES) + "/" + name + ".png");
#endif
}

// A picture with smooth colour and hard edges: a gradient under 16-pixel squares.
gfx::Image testPicture(int w, int h) {
  auto b = gfx::makeBuffer(w, h, gfx::PixelFormat::bgra8);
  for (int y = 0; y < h; ++y) {
    auto* row = b->pixelRow(y);
    for (int x = 0; x < w; ++x) {
      const uint32_t r = static_cast<uint32_t>(x * 255 / w), g = static_cast<uint32_t>(y * 255 / h);
      const uint32_t blue = ((x / 16 + y / 16) & 1) ? 220u : 20u;
      row[x] = 0xff000000u | (r << 16) | (g << 8) | blue;
    }
  }
  return gfx::Image::fromBuffer(b);
}

// ---- The mask ----

// R = (40, 20, 240, 140) on a 320x180 canvas. Overlay rectangles are fractions
// of R from its top-left; centres below are in canvas space (y up).
TEST(MotionBlurMask, WhiteOverTheVideoBlackOverOverlaysOnScreen) {
  auto m = baseManifest({key(0, 160, 90, 1)});
  auto& plan = m.overlayPlan;
  NativeTextOverlay plain;  // centre (88, 132)
  plain.startTime = 1, plain.endTime = 2, plain.x = 0.1, plain.y = 0.1, plain.width = 0.2, plain.height = 0.2;
  NativeTextOverlay faded = plain;  // centre (208, 132)
  faded.x = 0.6, faded.animationStyle = "fade";
  NativeBlurOverlay blur;  // centre (88, 62); starts at 0, so it never fades in
  blur.startTime = 0, blur.endTime = 1, blur.x = 0.1, blur.y = 0.6, blur.width = 0.2, blur.height = 0.2;
  blur.animationStyle = "fade";
  NativeImageOverlay picture;  // centre (208, 62); images cut out whenever active
  picture.startTime = 1, picture.endTime = 2, picture.x = 0.6, picture.y = 0.6, picture.width = 0.2,
  picture.height = 0.2;
  picture.animation = "fade";
  plan.textOverlays = {plain, faded};
  plan.blurOverlays = {blur};
  plan.imageOverlays = {picture};
  auto state = makeState(m, {320, 180});
  const gfx::Rect R{40, 20, 240, 140};
  const NativeResolvedZoomCamera still = NativeResolvedZoomCamera::defaultFor({320, 180});

  const struct {
    double t;
    int plainText, fadedText, blurBox, image;  // expected grey levels at their centres
  } cases[] = {
      {1.5, 0, 0, 255, 0},          // middle: all but the ended blur box
      {1.0, 0, 255, 255, 0},        // fade text at its very start, blur at its very end: both at opacity 0
      {0.0, 255, 255, 0, 255},      // blur starting at 0 is fully visible at once
      {0.1, 255, 255, 0, 255},
      {2.00005, 0, 255, 255, 0},    // within the slack: plain and image still cut, the faded one gone
      {2.001, 255, 255, 255, 255},  // all over
  };
  for (const auto& c : cases) {
    const auto mask = state->makeMotionBlurSampleMask(R, still, c.t);
    ASSERT_TRUE(mask);
    const auto b = render(*state, *mask);
    const std::string at = "t=" + std::to_string(c.t);
    EXPECT_EQ(channel(pixelAt(*b, 88, 132), 1), c.plainText) << at;
    EXPECT_EQ(channel(pixelAt(*b, 208, 132), 1), c.fadedText) << at;
    EXPECT_EQ(channel(pixelAt(*b, 88, 62), 1), c.blurBox) << at;
    EXPECT_EQ(channel(pixelAt(*b, 208, 62), 1), c.image) << at;
    EXPECT_EQ(channel(pixelAt(*b, 150, 90), 1), 255) << at << " video";
    EXPECT_EQ(channel(pixelAt(*b, 20, 90), 1), 0) << at << " left of the video";
    EXPECT_EQ(channel(pixelAt(*b, 150, 10), 1), 0) << at << " below the video";
  }
}

TEST(MotionBlurMask, FollowsTheZoomAndIsCutToTheCanvas) {
  auto m = baseManifest({key(0, 100, 120, 2)});
  NativeTextOverlay text;  // canvas rect (64, 48, 48, 28), zoomed (88, 66, 96, 56)
  text.startTime = 0, text.endTime = 5, text.x = 0.1, text.y = 0.6, text.width = 0.2, text.height = 0.2;
  m.overlayPlan.textOverlays = {text};
  auto state = makeState(m, {320, 180});
  const gfx::Rect R{40, 20, 240, 140};
  // Zoom 2 about (100, 60): x -> 2x - 40, y -> 2y - 30, so R lands on (40, 10, 480, 280).
  const auto camera = *state->zoomRuntime()->sample(1);
  const auto mask = state->makeMotionBlurSampleMask(R, camera, 1);
  ASSERT_TRUE(mask);
  const gfx::Rect e = mask->extent();
  EXPECT_GE(e.minX(), 0);
  EXPECT_GE(e.minY(), 0);
  EXPECT_LE(e.maxX(), 320);
  EXPECT_LE(e.maxY(), 180);
  const auto b = render(*state, *mask);
  const struct {
    int x, y, grey;
  } probes[] = {{38, 100, 0}, {42, 100, 255}, {200, 12, 255}, {200, 8, 0}, {319, 179, 255},
                {136, 94, 0}, {80, 94, 255}, {136, 130, 255}};
  for (const auto& p : probes)
    EXPECT_EQ(channel(pixelAt(*b, p.x, p.y), 1), p.grey) << p.x << "," << p.y;
}

// ---- The samples ----

// A white line one pixel wide across a black canvas, panned at zoom 1 by a whole
// number of pixels per frame, so that every ghost lands on whole pixels.
struct GhostRow {
  int sharp = -1;
  std::vector<int> ghosts;  // x of each faint run, left to right
  int outsideThePath = 0;   // lit pixels outside [current, previous] position
};

GhostRow ghostsOfPan(double pixelsPerFrame) {
  const Size size{1920, 1080};
  // 30 fps: the camera moves 30 * pixelsPerFrame per second.
  auto state = makeState(baseManifest({key(0, 960, 540, 1), key(1000, 960 + 30 * pixelsPerFrame, 540, 1)}), size);
  const double t = 0.5;
  const auto camera = *state->zoomRuntime()->sample(t);
  const gfx::Image stack = gfx::Image::solid({1, 1, 1, 1})
                               .cropped({900, 0, 1, 1080})
                               .composited(gfx::Image::solid({0, 0, 0, 1}).cropped(state->canvasRect()));
  const gfx::Affine zoom{1, 0, 0, 1, 960 - camera.centerX, 540 - camera.centerY};
  const gfx::Image target = stack.transformed(zoom).cropped(state->canvasRect());
  SceneLayerInputs in;
  in.videoRect = state->canvasRect();
  in.camera = camera;
  in.target = &target;
  in.unzoomedStack = &stack;
  const auto out = zoomMotionSamplesLayer(*state, t, in);
  GhostRow row;
  if (!out) return row;
  const auto b = render(*state, *out);
  const int current = static_cast<int>(std::lround(900 + 960 - camera.centerX));
  const int previous = static_cast<int>(std::lround(current + pixelsPerFrame));
  row.sharp = channel(pixelAt(*b, current, 540), 1);
  bool inRun = false;
  for (int x = 0; x < 1920; ++x) {
    const int g = channel(pixelAt(*b, x, 540), 1);
    const bool lit = g > 0 && x != current;
    if (lit && (x < current || x > previous)) ++row.outsideThePath;
    if (lit && !inRun) row.ghosts.push_back(x);
    inRun = lit;
  }
  return row;
}

TEST(ZoomMotionSamples, GhostsLieEvenlyAlongThePathFiveOrSixByStrength) {
  const struct {
    double pixelsPerFrame;  // strength = (d - 0.5) / (0.07 * 1080)
    int samples;
  } cases[] = {{30, 5}, {42, 6}};
  for (const auto& c : cases) {
    const GhostRow row = ghostsOfPan(c.pixelsPerFrame);
    // The line itself is dimmed a little by the faint copies of the black around it.
    EXPECT_GT(row.sharp, 220) << c.pixelsPerFrame;
    EXPECT_LT(row.sharp, 255) << c.pixelsPerFrame;
    ASSERT_EQ(row.ghosts.size(), static_cast<std::size_t>(c.samples)) << c.pixelsPerFrame;
    EXPECT_EQ(row.outsideThePath, 0) << c.pixelsPerFrame;
    // The camera moved right, so the picture moved left: ghosts trail to the right.
    const int current = 900 + 960 - static_cast<int>(960 + 15 * c.pixelsPerFrame);
    for (int i = 0; i < c.samples; ++i) {
      const double f = static_cast<double>(c.samples - i) / (c.samples + 1);
      EXPECT_NEAR(row.ghosts[static_cast<std::size_t>(i)], current + c.pixelsPerFrame * (1 - f), 1)
          << c.pixelsPerFrame << " ghost " << i;
    }
  }
}

// The samples exactly as described: each one the whole unzoomed stack zoomed at
// full resolution, faded, masked and laid on in turn.
gfx::Image straightforwardSamples(NativeRenderState& state, double t, const SceneLayerInputs& in) {
  const auto motion = state.resolveZoomMotionState(in.camera, t);
  if (!motion) return *in.target;
  const gfx::Rect canvas = state.canvasRect();
  const Size size = state.renderSize();
  const auto mask = state.makeMotionBlurSampleMask(in.videoRect, in.camera, t);
  const int n = motion->strength > 0.45 ? 6 : 5;
  const auto& p = motion->previousCamera;
  gfx::Image acc = *in.target;
  for (int i = 1; i <= n; ++i) {
    const double f = static_cast<double>(i) / (n + 1);
    const double z = p.zoom + (in.camera.zoom - p.zoom) * f;
    const double cx = p.centerX + (in.camera.centerX - p.centerX) * f;
    const double cy = p.centerY + (in.camera.centerY - p.centerY) * f;
    const double a = std::clamp((motion->strength * 0.014 + 0.006) * (1 - 0.35 * f), 0.0, 1.0);
    gfx::Image sample = in.unzoomedStack->transformed({z, 0, 0, z, size.width / 2 - z * cx, size.height / 2 - z * cy})
                            .cropped(canvas)
                            .alphaMultiplied(a);
    if (mask) sample = state.applySampleMask(sample, *mask, canvas);
    acc = sample.composited(acc).cropped(canvas);
  }
  return acc.cropped(canvas);
}

struct Difference {
  int max = 0;
  double mean = 0;
  double psnr = 0;
};

Difference compare(const gfx::PixelBuffer& a, const gfx::PixelBuffer& b) {
  Difference d;
  double sum = 0, sq = 0;
  for (int y = 0; y < a.height(); ++y)
    for (int x = 0; x < a.width(); ++x)
      for (int c = 0; c < 3; ++c) {
        const int e = std::abs(channel(a.pixelRow(y)[x], c) - channel(b.pixelRow(y)[x], c));
        d.max = std::max(d.max, e);
        sum += e;
        sq += e * e;
      }
  const double count = 3.0 * a.width() * a.height();
  d.mean = sum / count;
  d.psnr = sq > 0 ? 10 * std::log10(255.0 * 255.0 / (sq / count)) : 99;
  return d;
}

TEST(ZoomMotionSamples, StayCloseToTheStraightforwardVersion) {
  const Size size{640, 360};
  // Worst case for the fast version: hard edges of 200 levels. It differs
  // only along them (copies moved to whole unzoomed pixels, and with a zoom
  // change resampled twice), by less than a tenth of the smear there.
  const struct {
    const char* name;
    std::vector<NativeResolvedZoomFrame> frames;
    int maxDifference;
  } cases[] = {
      {"fast pan at zoom 1", {key(0, 200, 180, 1), key(1000, 440, 180, 1)}, 2},
      {"fast pan at zoom 2", {key(0, 250, 150, 2), key(1000, 390, 230, 2)}, 5},
      {"zoom in while panning", {key(0, 320, 180, 1.2), key(1000, 400, 200, 3)}, 8},
  };
  for (const auto& c : cases) {
    auto state = makeState(baseManifest(c.frames), size);
    const double t = 0.5;
    const auto camera = *state->zoomRuntime()->sample(t);
    ASSERT_TRUE(state->resolveZoomMotionState(camera, t)) << c.name;
    const gfx::Rect R{40, 30, 560, 300};
    const gfx::Image stack = testPicture(560, 300)
                                 .translated(40, 30)
                                 .composited(gfx::Image::solid({0.1, 0.2, 0.3, 1}).cropped(state->canvasRect()));
    const double z = camera.zoom;
    const gfx::Image target =
        stack.transformed({z, 0, 0, z, 320 - z * camera.centerX, 180 - z * camera.centerY}).cropped(state->canvasRect());
    SceneLayerInputs in;
    in.videoRect = R;
    in.camera = camera;
    in.target = &target;
    in.unzoomedStack = &stack;
    const auto fast = zoomMotionSamplesLayer(*state, t, in);
    ASSERT_TRUE(fast) << c.name;
    const auto ours = render(*state, *fast);
    const auto reference = render(*state, straightforwardSamples(*state, t, in));
    const auto sharp = render(*state, target);
    const Difference d = compare(*ours, *reference);
    const Difference smear = compare(*reference, *sharp);
    std::printf("%s: against the straightforward version max %d mean %.3f PSNR %.1f dB; smear itself max %d mean %.3f\n",
                c.name, d.max, d.mean, d.psnr, smear.max, smear.mean);
    EXPECT_GT(smear.max, 0) << c.name;
    EXPECT_LE(d.max, c.maxDifference) << c.name;
    EXPECT_LT(d.mean, 0.2) << c.name;
    EXPECT_GT(d.psnr, 50) << c.name;
    keep(*ours, std::string("motion_") + std::to_string(&c - cases));
  }
}

// ---- In the composed frame ----

// 320x180 canvas, padding 240 (layout scale 1/6): the video sits at
// (71.11, 40, 177.78, 100). Cameras zoom 1.2 about points near the centre.
constexpr double kZoom = 1.2;

struct Composed {
  std::unique_ptr<NativeRenderState> state;
  gfx::BufferRef frame;
  NativeResolvedZoomCamera camera;
};

NativeExportManifestV1 framed(std::vector<NativeResolvedZoomFrame> frames) {
  auto m = baseManifest(std::move(frames));
  m.scene.settings.video.padding = 240;
  return m;
}

Composed compose(NativeExportManifestV1 m, double t) {
  Composed c;
  c.state = makeState(std::move(m), {320, 180});
  const gfx::Image source = testPicture(160, 90);
  const auto image = c.state->composeFrame(t, &source);
  if (image) c.frame = render(*c.state, *image);
  c.camera = c.state->zoomRuntime() ? *c.state->zoomRuntime()->sample(t) : NativeResolvedZoomCamera{};
  return c;
}

// The same frame from a camera that holds still where the moving one is at t.
Composed composeStill(NativeExportManifestV1 m, const NativeResolvedZoomCamera& camera, double t) {
  m.videoPlan.resolvedZoomFrames = std::vector{key(0, camera.centerX, 180 - camera.centerY, camera.zoom)};
  return compose(std::move(m), t);
}

gfx::Rect projectedVideo(const NativeResolvedZoomCamera& c) {
  const gfx::Rect R{40 + (240 - 1600.0 / 9) / 2, 40, 1600.0 / 9, 100};
  return gfx::Affine{c.zoom, 0, 0, c.zoom, 160 - c.zoom * c.centerX, 90 - c.zoom * c.centerY}.apply(R);
}

TEST(ZoomMotionSamples, NoneUnlessTheCameraMovesFastAfterTheFirstHalfFrame) {
  const struct {
    const char* name;
    std::vector<NativeResolvedZoomFrame> frames;
    double t;
  } cases[] = {
      {"still zoom", {key(0, 150, 80, kZoom)}, 0.5},
      {"slow pan, under half a pixel a frame", {key(0, 150, 90, kZoom), key(1000, 160, 90, kZoom)}, 0.5},
      {"fast pan within the first half frame", {key(0, 10, 90, kZoom), key(1000, 310, 90, kZoom)}, 0.5 / 30},
      {"fast pan at time zero", {key(0, 10, 90, kZoom), key(1000, 310, 90, kZoom)}, 0},
  };
  for (const auto& c : cases) {
    const Composed moving = compose(framed(c.frames), c.t);
    ASSERT_TRUE(moving.frame) << c.name;
    const Composed still = composeStill(framed(c.frames), moving.camera, c.t);
    ASSERT_TRUE(still.frame) << c.name;
    EXPECT_EQ(compare(*moving.frame, *still.frame).max, 0) << c.name;
  }
}

TEST(ZoomMotionSamples, FastPanSmearsOnlyTheVideoFaintlyAndLeavesOverlaysSharp) {
  auto m = framed({key(0, 10, 90, kZoom), key(1000, 310, 90, kZoom)});  // 10 canvas px a frame
  // Rectangles in fractions of the video, one of each kind, all on screen at t.
  NativeTextOverlay text;
  text.startTime = 0, text.endTime = 1, text.x = 0.05, text.y = 0.1, text.width = 0.25, text.height = 0.3;
  NativeImageOverlay picture;
  picture.startTime = 0, picture.endTime = 1, picture.x = 0.4, picture.y = 0.1, picture.width = 0.2,
  picture.height = 0.3;
  NativeBlurOverlay blur;
  blur.startTime = 0, blur.endTime = 1, blur.x = 0.5, blur.y = 0.6, blur.width = 0.3, blur.height = 0.3;
  m.overlayPlan.textOverlays = {text};
  m.overlayPlan.imageOverlays = {picture};
  m.overlayPlan.blurOverlays = {blur};
  const double t = 0.5;
  const Composed moving = compose(m, t);
  ASSERT_TRUE(moving.frame);
  ASSERT_TRUE(moving.state->resolveZoomMotionState(moving.camera, t));
  const Composed still = composeStill(m, moving.camera, t);
  ASSERT_TRUE(still.frame);
  keep(*moving.frame, "motion_framed");

  const gfx::Rect video = projectedVideo(moving.camera);
  const gfx::Affine zoom{kZoom, 0, 0, kZoom, 160 - kZoom * moving.camera.centerX, 90 - kZoom * moving.camera.centerY};
  const gfx::Rect R{40 + (240 - 1600.0 / 9) / 2, 40, 1600.0 / 9, 100};
  auto overlay = [&](double x, double y, double w, double h) {
    return zoom.apply(gfx::Rect{R.minX() + x * R.width, R.maxY() - (y + h) * R.height, w * R.width, h * R.height});
  };
  const gfx::Rect overlays[] = {overlay(text.x, text.y, text.width, text.height),
                                overlay(picture.x, picture.y, picture.width, picture.height),
                                overlay(blur.x, blur.y, blur.width, blur.height)};
  auto inside = [](const gfx::Rect& r, double x, double y, double margin) {
    return x > r.minX() + margin && x < r.maxX() - margin && y > r.minY() + margin && y < r.maxY() - margin;
  };
  int changed = 0, changedOutsideVideo = 0, changedUnderOverlay = 0, largest = 0;
  for (int y = 0; y < 180; ++y)
    for (int x = 0; x < 320; ++x) {
      const int d = maxChannelDifference(pixelAt(*moving.frame, x, y), pixelAt(*still.frame, x, y));
      if (d == 0) continue;
      ++changed;
      largest = std::max(largest, d);
      const double cx = x + 0.5, cy = y + 0.5;
      if (!inside(video.insetBy(-1, -1), cx, cy, 0)) ++changedOutsideVideo;
      for (const auto& o : overlays)
        if (inside(o, cx, cy, 1)) ++changedUnderOverlay;
    }
  EXPECT_GT(changed, 1000);
  EXPECT_EQ(changedOutsideVideo, 0);
  EXPECT_EQ(changedUnderOverlay, 0);
  // Six samples of at most 2% each: about a tenth of the picture's contrast.
  EXPECT_LE(largest, 30);
}

}  // namespace
}  // namespace vantrel::exporter
