#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "render/runtimes.h"

namespace vantrel::exporter {
namespace {

NativeResolvedZoomFrame zoomFrame(double ms, double zoom, double blend = 0, bool perspective = false) {
  NativeResolvedZoomFrame f;
  f.timestamp = ms;
  f.centerX = ms / 10;
  f.centerY = 100;
  f.zoom = zoom;
  f.cameraOverlayBlend = blend;
  if (perspective) f.perspective = NativePerspectiveFrame{};
  return f;
}

NativeExportManifestV1 withZoomFrames(std::vector<NativeResolvedZoomFrame> frames) {
  NativeExportManifestV1 m;
  m.videoPlan.resolvedZoomFrames = std::move(frames);
  return m;
}

TEST(ZoomRuntime, BakesSortsAndDropsNonFiniteKeyframes) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  auto bad = zoomFrame(500, 2);
  bad.centerX = nan;
  NativeZoomRuntime rt(withZoomFrames({zoomFrame(1000, 3), zoomFrame(0, 0.5, 1.7), bad}), {1000, 800}, {});
  ASSERT_TRUE(rt.enabled());
  ASSERT_EQ(rt.frames().size(), 2u);
  EXPECT_EQ(rt.frames()[0].timestamp, 0);
  EXPECT_EQ(rt.frames()[0].zoom, 1);                // 0.5 baked as 1
  EXPECT_EQ(rt.frames()[0].cameraOverlayBlend, 1);  // 1.7 baked as 1

  const auto mid = rt.sample(0.5);
  ASSERT_TRUE(mid);
  EXPECT_DOUBLE_EQ(mid->zoom, 2);
  EXPECT_DOUBLE_EQ(mid->centerX, 50);
  EXPECT_DOUBLE_EQ(mid->centerY, 700);  // canvas space: 800 - 100
  EXPECT_EQ(rt.sample(-1)->zoom, 1);
  EXPECT_EQ(rt.sample(9)->zoom, 3);
  EXPECT_FALSE(NativeZoomRuntime(withZoomFrames({}), {1, 1}, {}).enabled());
}

TEST(ZoomRuntime, PerspectiveIsTakenWholeFromTheNearerHalf) {
  NativeZoomRuntime rt(withZoomFrames({zoomFrame(0, 1, 0, true), zoomFrame(1000, 1)}), {100, 100}, {});
  EXPECT_TRUE(rt.sample(0.499)->perspective.has_value());
  EXPECT_FALSE(rt.sample(0.5)->perspective.has_value());  // u = 0.5 is not below 0.5
}

TEST(VideoStyleRuntime, InterpolatesPaddingAndRadius) {
  NativeVideoPlan plan;
  plan.resolvedVideoStyleFrames = std::vector<NativeResolvedVideoStyleFrame>{
      {1000, 100, 40}, {0, 0, -5}, {500, std::numeric_limits<double>::infinity(), 0}};
  NativeVideoStyleRuntime rt(plan);
  ASSERT_TRUE(rt.hasFrames());
  const struct {
    double t, padding, radius;
  } cases[] = {{-1, 0, 0}, {0, 0, 0}, {0.5, 50, 20}, {0.25, 25, 10}, {1, 100, 40}, {3, 100, 40}};
  for (const auto& c : cases) {
    auto s = rt.sample(c.t);
    ASSERT_TRUE(s) << c.t;
    EXPECT_NEAR(s->padding, c.padding, 1e-9) << c.t;
    EXPECT_NEAR(s->borderRadius, c.radius, 1e-9) << c.t;
  }
  EXPECT_FALSE(NativeVideoStyleRuntime(NativeVideoPlan{}).sample(0));
}

}  // namespace
}  // namespace vantrel::exporter
