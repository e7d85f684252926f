// The 3-D view: which frames may be drawn, how motion samples fail a frame,
// that an identity view is the flat frame, and the tilted scene with its
// depth of field and zoomed background. Sources are synthetic images.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "render/perspective.h"
#include "render/render_state.h"

namespace vantrel::exporter {
namespace {

namespace gfx = vantrel::graphics;

constexpr double kW = 320, kH = 180;

// Identity view of the whole canvas: no blur, background unzoomed.
NativePerspectiveFrame identityFrame() {
  NativePerspectiveFrame f;
  f.matrix = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  f.inverse = f.matrix;
  f.depth = {0, 0, 0};
  f.viewport = {0, 0, kW, kH};
  f.edgeBlur = {0, 0, 0, 0};
  f.backgroundZoom = 1;
  f.backgroundCenterX = kW / 2;
  f.backgroundCenterY = kH / 2;
  return f;
}

// The scene laid back like a floor (top edge far away, 1/z0 times smaller),
// depth growing towards the far edge, focus on the near edge.
NativePerspectiveFrame tiltedFrame(double z0 = 0.45) {
  NativePerspectiveFrame f = identityFrame();
  const double a = (1 - z0) / kH, cx = kW / 2;
  f.inverse = {1, cx * a, cx * (z0 - 1), 0, 1, 0, 0, a, z0};
  f.matrix = f.inverse;  // not used for drawing; any finite numbers do
  f.depth = {0, -1, kH};  // distance from the near (bottom) edge, scene pixels
  f.focusDepth = 0;
  f.blurSpan = kH;
  f.blurRadius = 6;
  f.softenRadius = 6;
  f.edgeBlur = {2, 6, 2, 0};
  f.backgroundZoom = 1.4;
  return f;
}

NativeExportManifestV1 manifestWith(std::optional<NativePerspectiveFrame> perspective) {
  NativeExportManifestV1 m;
  auto& video = m.scene.settings.video;
  video.aspectRatio = "16:9";
  video.videoScale = 100;
  video.padding = 120;  // reference pixels: 20 canvas pixels at this size
  video.borderRadius = 60;
  m.scene.settings.background.type = "gradient";
  m.scene.settings.background.color = "#203050";
  m.scene.settings.background.secondaryColor = "#c06040";
  m.scene.settings.background.gradientAngle = 90;
  m.qualityPlan.frameRate = 30;
  m.qualityPlan.compression = "high";
  NativeVideoSegmentPlan s;
  s.segmentId = "s";
  s.sourceEndTime = 10;
  s.outputEndTime = 10;
  m.videoPlan.segments = {s};
  m.videoPlan.durationSeconds = 10;
  if (perspective) {
    NativeResolvedZoomFrame key;
    key.perspective = std::move(perspective);
    key.centerX = kW / 2;
    key.centerY = kH / 2;
    m.videoPlan.resolvedZoomFrames = std::vector{key};
  }
  return m;
}

std::unique_ptr<NativeRenderState> makeState(NativeExportManifestV1 m) {
  NativeRenderStateInputs in;
  in.manifest = std::move(m);
  in.renderSize = {kW, kH};
  in.baseTrackId = 1;
  in.baseTrackMetadata = VideoTrackMetadata::make({160, 90}, {});
  in.canvasReferenceDisplaySize = {1920, 1080};
  in.performancePlan = ExportPerformancePlan::build({kW, kH}, 1);
  return std::make_unique<NativeRenderState>(std::move(in));
}

// Squares of 8 pixels over a colour ramp: fine detail that blur visibly removes.
gfx::Image sourcePicture() {
  auto b = gfx::makeBuffer(160, 90, gfx::PixelFormat::bgra8);
  for (int y = 0; y < 90; ++y)
    for (int x = 0; x < 160; ++x) {
      const uint32_t r = static_cast<uint32_t>(x * 255 / 160), blue = ((x / 8 + y / 8) & 1) ? 230u : 30u;
      b->pixelRow(y)[x] = 0xff000000u | (r << 16) | (120u << 8) | blue;
    }
  return gfx::Image::fromBuffer(b);
}

gfx::BufferRef composed(NativeRenderState& state, double t = 1) {
  const gfx::Image source = sourcePicture();
  auto frame = state.composeFrame(t, &source);
  if (!frame) return nullptr;
  return state.renderer().makeBitmap(*frame, state.canvasRect());
}

int channel(uint32_t p, int c) { return static_cast<int>((p >> (8 * c)) & 255); }

TEST(Perspective, FramesThatMayBeDrawn) {
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    const char* name;
    std::function<void(NativePerspectiveFrame&)> change;
    bool valid;
  };
  NativePerspectiveMotionSample sample{identityFrame(), 0.5};
  const Case cases[] = {
      {"identity", [](NativePerspectiveFrame&) {}, true},
      {"five motion samples", [&](NativePerspectiveFrame& f) { f.motionSamples = std::vector(5, sample); }, true},
      {"six motion samples", [&](NativePerspectiveFrame& f) { f.motionSamples = std::vector(6, sample); }, false},
      {"NaN in the matrix the kernel never reads", [&](NativePerspectiveFrame& f) { f.matrix[4] = nan; }, false},
      {"8-number matrix", [](NativePerspectiveFrame& f) { f.matrix.pop_back(); }, false},
      {"8-number inverse", [](NativePerspectiveFrame& f) { f.inverse.pop_back(); }, false},
      {"2-number depth", [](NativePerspectiveFrame& f) { f.depth.pop_back(); }, false},
      {"3-number viewport", [](NativePerspectiveFrame& f) { f.viewport.pop_back(); }, false},
      {"5-number edge blur", [](NativePerspectiveFrame& f) { f.edgeBlur.push_back(0); }, false},
      {"infinite background zoom",
       [](NativePerspectiveFrame& f) { f.backgroundZoom = std::numeric_limits<double>::infinity(); }, false},
      {"NaN soften radius", [&](NativePerspectiveFrame& f) { f.softenRadius = nan; }, false},
      // A sample's own frame is checked only when it is drawn.
      {"sample with a NaN inverse", [&](NativePerspectiveFrame& f) {
         auto bad = sample;
         bad.frame.inverse[0] = nan;
         f.motionSamples = std::vector{bad};
       }, true},
  };
  for (const auto& c : cases) {
    auto f = identityFrame();
    c.change(f);
    EXPECT_EQ(isValid(f), c.valid) << c.name;
  }
}

TEST(Perspective, FramesThatCannotBeDrawnFailTheVideoFrame) {
  ASSERT_NE(PerspectiveCompositor::shared(), nullptr);
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  auto withSamples = [](std::vector<NativePerspectiveMotionSample> samples) {
    auto f = tiltedFrame();
    f.motionSamples = std::move(samples);
    return f;
  };
  NativePerspectiveMotionSample good{tiltedFrame(0.5), 0.3};
  auto badFrame = good;
  badFrame.frame.inverse[8] = nan;
  struct Case {
    const char* name;
    NativePerspectiveFrame frame;
    bool draws;
  };
  const Case cases[] = {
      {"tilted, five samples", withSamples(std::vector(5, good)), true},
      {"six samples", withSamples(std::vector(6, good)), false},
      {"sample alpha 1.2", withSamples({good, {tiltedFrame(0.55), 1.2}}), false},
      {"sample alpha -0.1", withSamples({{tiltedFrame(0.55), -0.1}}), false},
      {"sample alpha NaN", withSamples({{tiltedFrame(0.55), nan}}), false},
      {"sample frame with a NaN inverse", withSamples({badFrame}), false},
      {"NaN in the matrix", [] {
         auto f = tiltedFrame();
         f.matrix[0] = nan;
         return f;
       }(), false},
      // Floats overflow: the kernel yields no image rather than garbage.
      {"inverse beyond float range", [] {
         auto f = tiltedFrame();
         f.inverse[2] = 1e300;
         return f;
       }(), false},
  };
  for (const auto& c : cases) {
    auto state = makeState(manifestWith(c.frame));
    EXPECT_EQ(composed(*state) != nullptr, c.draws) << c.name;
  }
}

TEST(Perspective, IdentityViewIsTheFlatFrame) {
  auto flatState = makeState(manifestWith(std::nullopt));
  auto viewState = makeState(manifestWith(identityFrame()));
  auto flat = composed(*flatState), view = composed(*viewState);
  ASSERT_TRUE(flat);
  ASSERT_TRUE(view);
  int worst = 0;
  for (int y = 0; y < flat->height(); ++y)
    for (int x = 0; x < flat->width(); ++x)
      for (int c = 0; c < 4; ++c)
        worst = std::max(worst, std::abs(channel(flat->pixelRow(y)[x], c) - channel(view->pixelRow(y)[x], c)));
  // The same layers, only grouped differently over the background (one rounding of source-over).
  EXPECT_LE(worst, 1);
  // An empty viewport means the whole scene.
  auto whole = identityFrame();
  whole.viewport = {0, 0, 0, 0};
  auto wholeState = makeState(manifestWith(whole));
  auto same = composed(*wholeState);
  ASSERT_TRUE(same);
  EXPECT_EQ(std::memcmp(same->data(), view->data(), view->byteSize()), 0);
}

// Mean absolute difference between horizontal neighbours in a band of rows (top row 0):
// how much fine detail is left there.
double detail(const gfx::PixelBuffer& b, int row0, int row1, int x0, int x1) {
  double sum = 0;
  long n = 0;
  for (int y = row0; y < row1; ++y)
    for (int x = x0; x < x1; ++x) {
      sum += std::abs(channel(b.pixelRow(y)[x], 0) - channel(b.pixelRow(y)[x + 1], 0));
      ++n;
    }
  return sum / n;
}

TEST(Perspective, TiltedSceneBlursWithDepthOverTheZoomedBackground) {
  auto sharpFrame = tiltedFrame();
  sharpFrame.blurRadius = 0;
  auto sharpState = makeState(manifestWith(sharpFrame));
  auto blurState = makeState(manifestWith(tiltedFrame()));
  auto sharp = composed(*sharpState), blurred = composed(*blurState);
  ASSERT_TRUE(sharp);
  ASSERT_TRUE(blurred);
  // Near rows (bottom) stay in focus, far rows (top) soften.
  const double nearSharp = detail(*sharp, 120, 140, 140, 180), nearBlurred = detail(*blurred, 120, 140, 140, 180);
  const double farSharp = detail(*sharp, 14, 34, 140, 180), farBlurred = detail(*blurred, 14, 34, 140, 180);
  EXPECT_GT(nearBlurred, 0.8 * nearSharp);
  EXPECT_LT(farBlurred, 0.5 * farSharp);
  // Beside the far edge, outside the plane, the background shows (zoomed 1.4x
  // about the centre): the gradient's colour there matches the zoomed background.
  auto flat = makeState(manifestWith(std::nullopt));
  const gfx::Image& background = flat->cachedBackgroundImage();
  const double b = 1.4;
  const gfx::Image zoomed =
      background.transformed(gfx::Affine{b, 0, 0, b, kW / 2 - b * kW / 2, kH / 2 - b * kH / 2}).cropped(flat->canvasRect());
  auto expected = flat->renderer().makeBitmap(zoomed, flat->canvasRect());
  for (int x : {4, 300}) {
    const uint32_t got = blurred->pixelRow(3)[x], want = expected->pixelRow(3)[x];
    for (int c = 0; c < 4; ++c) EXPECT_NEAR(channel(got, c), channel(want, c), 2) << "x=" << x << " c=" << c;
  }
}

}  // namespace
}  // namespace vantrel::exporter
