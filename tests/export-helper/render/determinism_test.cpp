// Composed frames must not depend on how many band threads draw them, nor on
// the run: the same manifest gives the same bytes. The scene uses every layer
// whose drawing is split into row bands or keeps caches between frames: a
// gradient background, padding, rounded corners, shadow, stroke, a zoom with
// a fast pan (motion-blur samples) and the bundled cursor gliding and clicking.
// Frames are written to PNG when VANTREL_KEEP_FRAMES names a directory at
// build time, for looking at them.

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "render/render_state.h"
#include "styled_scene.h"
#include "vantrel/graphics/image.h"
#include "vantrel/graphics/image_file.h"

namespace vantrel::exporter {
namespace {

namespace gfx = vantrel::graphics;

constexpr Size kCanvas{640, 360};
constexpr Size kSource{320, 180};
constexpr int kFrames = 20;

NativeResolvedZoomFrame zoomKey(double ms, double centerX, double centerYTop, double zoom) {
  NativeResolvedZoomFrame f;
  f.timestamp = ms;
  f.centerX = centerX;
  f.centerY = centerYTop;
  f.zoom = zoom;
  return f;
}

NativeCursorPosition pointer(double ms, double x, double y, bool pressed) {
  NativeCursorPosition p;
  p.timestamp = ms;
  p.x = x;
  p.y = y;
  if (pressed) p.pressed = true;
  return p;
}

NativeExportManifestV1 styledScene() {
  NativeExportManifestV1 m = testing_scenes::styledScene(2);
  // Zoom in, then pan across the canvas within a quarter second: fast enough to smear.
  m.videoPlan.resolvedZoomFrames =
      std::vector{zoomKey(0, 320, 180, 1), zoomKey(150, 240, 160, 1.8), zoomKey(300, 240, 160, 1.8),
                  zoomKey(550, 420, 220, 1.8), zoomKey(700, 420, 220, 1.8)};
  auto& cursor = m.videoPlan.cursorSettings;
  cursor.enabled = true;
  cursor.mode = "smooth";
  cursor.style = "default";
  cursor.size = 2;
  cursor.smoothing = 0.5;
  cursor.springPreset = "smooth";
  cursor.clickEffect = true;
  cursor.swayEnabled = true;
  cursor.swayStrength = 0.5;
  NativeCursorData data;
  data.positions = {pointer(0, 0.2, 0.3, false), pointer(200, 0.6, 0.5, false), pointer(300, 0.6, 0.5, true),
                    pointer(380, 0.6, 0.5, false), pointer(600, 0.3, 0.7, false), pointer(1000, 0.5, 0.4, false)};
  m.videoPlan.cursorData = data;
  return m;
}

// A recording frame with smooth colour and hard edges that moves with n.
gfx::Image sourceFrame(int n) {
  auto b = gfx::makeBuffer(static_cast<int>(kSource.width), static_cast<int>(kSource.height), gfx::PixelFormat::bgra8);
  for (int y = 0; y < b->height(); ++y) {
    auto* row = b->pixelRow(y);
    for (int x = 0; x < b->width(); ++x) {
      const auto r = static_cast<std::uint32_t>((x + 3 * n) * 255 / (b->width() + 60));
      const auto g = static_cast<std::uint32_t>(y * 255 / b->height());
      const std::uint32_t blue = (((x + 2 * n) / 12 + y / 12) & 1) ? 230u : 15u;
      row[x] = 0xff000000u | (r << 16) | (g << 8) | blue;
    }
  }
  return gfx::Image::fromBuffer(b);
}

std::uint64_t fnv1a(const gfx::PixelBuffer& frame) {
  std::uint64_t h = 1469598103934665603ull;
  for (int y = 0; y < frame.height(); ++y) {
    const std::uint8_t* p = frame.row(y);
    for (int i = 0; i < frame.width() * 4; ++i) {
      h ^= p[i];
      h *= 1099511628211ull;
    }
  }
  return h;
}

void keep([[maybe_unused]] const gfx::PixelBuffer& frame, [[maybe_unused]] int n) {
#ifdef VANTREL_KEEP_FRAMES
  gfx::writePng(frame, std::string(VANTREL_KEEP_FRAMES) + "/determinism_" + std::to_string(n) + ".png");
#endif
}

struct RunFacts {
  std::vector<std::uint64_t> canvasMeans;  // mean byte value of each frame
  int smearedFrames = 0;                   // frames drawn with motion-blur samples
};

// Frame hashes of one whole run: a fresh render state (so fresh caches) drawn
// with `threads` band threads, frames in output order as the export draws them.
std::vector<std::uint64_t> renderRun(int threads, RunFacts* facts = nullptr) {
  NativeRenderStateInputs in;
  in.manifest = styledScene();
  in.renderSize = kCanvas;
  in.baseTrackId = 1;
  in.baseTrackMetadata = VideoTrackMetadata::make(kSource, AffineTransform{});
  in.sourceTrackMetadataByIndex = {in.baseTrackMetadata};
  in.canvasReferenceDisplaySize = kSource;
  in.performancePlan = ExportPerformancePlan::build(kCanvas, threads);
  // No cursor store given: the state reads the bundle installed beside the test.
  NativeRenderState state(std::move(in));
  EXPECT_TRUE(state.cursorRuntimeEnabled());
  EXPECT_NE(state.zoomRuntime(), nullptr);

  std::vector<std::uint64_t> hashes;
  for (int n = 0; n < kFrames; ++n) {
    const gfx::Image source = sourceFrame(n);
    const auto image = state.composeFrame(n / 30.0, &source);
    EXPECT_TRUE(image) << "frame " << n;
    if (!image) {
      hashes.push_back(0);
      continue;
    }
    gfx::PixelBuffer out(static_cast<int>(kCanvas.width), static_cast<int>(kCanvas.height), gfx::PixelFormat::bgra8);
    state.renderer().render(*image, out, {0, 0});
    hashes.push_back(fnv1a(out));
    if (facts) {
      std::uint64_t sum = 0;
      for (int y = 0; y < out.height(); ++y) {
        for (int x = 0; x < out.width() * 4; ++x) sum += out.row(y)[x];
      }
      facts->canvasMeans.push_back(sum / (static_cast<std::uint64_t>(out.width()) * out.height() * 4));
      const auto camera = state.zoomRuntime()->sample(n / 30.0);
      if (camera && state.resolveZoomMotionState(*camera, n / 30.0)) ++facts->smearedFrames;
      keep(out, n);
    }
  }
  return hashes;
}

TEST(RenderDeterminism, SameFramesForAnyThreadCountAndEveryRun) {
  RunFacts facts;
  const auto reference = renderRun(1, &facts);
  ASSERT_EQ(reference.size(), static_cast<size_t>(kFrames));
  // The frames are real pictures that change over time, not one blank
  // repeated, and the pan is fast enough to smear some of them.
  for (auto m : facts.canvasMeans) EXPECT_GT(m, 20u);
  EXPECT_GE(facts.smearedFrames, 3);
  int distinct = 0;
  for (int n = 1; n < kFrames; ++n) distinct += reference[n] != reference[n - 1];
  EXPECT_GE(distinct, kFrames - 2);

  const struct {
    int threads;
    int run;
  } cases[] = {{1, 2}, {2, 1}, {2, 2}, {4, 1}, {4, 2}};
  for (const auto& c : cases) {
    const auto hashes = renderRun(c.threads);
    ASSERT_EQ(hashes.size(), reference.size());
    for (int n = 0; n < kFrames; ++n) {
      EXPECT_EQ(hashes[n], reference[n]) << c.threads << " threads, run " << c.run << ", frame " << n;
    }
  }
}

}  // namespace
}  // namespace vantrel::exporter
