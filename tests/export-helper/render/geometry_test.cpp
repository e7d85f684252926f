#include <gtest/gtest.h>

#include <cmath>

#include "render/layers/layers.h"
#include "render/render_geometry.h"

namespace vantrel::exporter {
namespace {

NativeVideoSettings settingsFor(const std::string& ratio) {
  NativeVideoSettings s;
  s.aspectRatio = ratio;
  s.customCanvasWidth = 1000;
  s.customCanvasHeight = 500;
  s.videoScale = 100;
  return s;
}

struct ScaleCase {
  std::string ratio;
  double canvasW, canvasH, sourceW, sourceH;
  double customW, customH;
  double expected;
};

TEST(LayoutScale, MatchesTheReferenceCanvasOfEachAspectRatio) {
  const ScaleCase cases[] = {
      {"16:9", 1920, 1080, 0, 0, 0, 0, 1.0},
      {"16:9", 960, 1080, 0, 0, 0, 0, 0.5},  // width-limited
      {"9:16", 1080, 1920, 0, 0, 0, 0, std::min(1920 / 1080.0, 1080 / 607.5)},
      {"1:1", 540, 540, 0, 0, 0, 0, 0.5},
      {"16:10", 1728, 2160, 0, 0, 0, 0, 1.0},
      {"4:5", 864, 1080, 0, 0, 0, 0, 1.0},
      {"custom", 2000, 500, 0, 0, 1000, 500, 1.0},
      {"custom", 400, 300, 0, 0, 0, 300, 1.0},     // width 0 counts as 1: min(1, 400)
      {"custom", 400, 300, 0, 0, 0.5, 0.5, 300.0},  // both below 1 count as 1
      {"fit", 1920, 1080, 1920, 1080, 0, 0, 1.0},
      {"fit", 1728, 1080, 1920, 1200, 0, 0, 1.0},  // r = 1200 > 1080: the w = 1728 branch
      {"fit", 1000, 1000, 1000, 1000, 0, 0, 1000 / 1080.0},
      {"fit", 1920, 1080, 0, 0, 0, 0, 1.0},        // no source: the 16:9 reference
      {"bogus", 3840, 2160, 0, 0, 0, 0, 2.0},
  };
  for (const auto& c : cases) {
    auto s = settingsFor(c.ratio);
    s.customCanvasWidth = c.customW;
    s.customCanvasHeight = c.customH;
    EXPECT_NEAR(computeLayoutScaleFactor(s, c.canvasW, c.canvasH, c.sourceW, c.sourceH), c.expected, 1e-9)
        << c.ratio << " " << c.canvasW << "x" << c.canvasH;
  }
}

struct GeometryCase {
  const char* name;
  std::string ratio;
  double padding, radius, videoScale;
  std::string horizontal, vertical;
  bool expectGeometry;
  graphics::Rect rect;
  double borderRadius;
};

TEST(VideoFrameGeometry, PlacesTheVideoByPaddingFitAndAlignment) {
  // Canvas 1920x1080 (layout scale 1 for 16:9 and for custom 1920x1080), source 1600x900 (16:9).
  const GeometryCase cases[] = {
      {"no padding fills the canvas", "16:9", 0, 0, 100, "", "", true, {0, 0, 1920, 1080}, 0},
      {"padding centres the fit", "16:9", 100, 0, 100, "", "", true, {(1920 - 1564.444444) / 2, 100, 1564.444444, 880}, 0},
      {"radius scales with the video height", "16:9", 0, 108, 100, "", "", true, {0, 0, 1920, 1080}, 108},
      {"half the canvas leaves nothing", "16:9", 540, 0, 100, "", "", false, {}, 0},
      {"custom scale 5% is clamped to 10%", "custom", 0, 0, 5, "", "", true, {864, 486, 192, 108}, 0},
      {"custom left top", "custom", 0, 0, 50, "left", "top", true, {0, 540, 960, 540}, 0},
      {"custom right bottom", "custom", 100, 0, 50, "right", "bottom", true,
       {1920 - 100 - 782.222222, 100, 782.222222, 440}, 0},
      {"alignment ignored off custom", "16:9", 0, 0, 50, "left", "top", true, {0, 0, 1920, 1080}, 0},
  };
  for (const auto& c : cases) {
    auto s = settingsFor(c.ratio);
    s.customCanvasWidth = 1920;
    s.customCanvasHeight = 1080;
    s.videoScale = c.videoScale;
    s.horizontalAlignment = c.horizontal;
    s.verticalAlignment = c.vertical;
    auto g = computeVideoFrameGeometry(s, {1920, 1080}, {1600, 900}, c.padding, c.radius, 1.0);
    ASSERT_EQ(g.has_value(), c.expectGeometry) << c.name;
    if (!g) continue;
    EXPECT_NEAR(g->rect.x, c.rect.x, 1e-3) << c.name;
    EXPECT_NEAR(g->rect.y, c.rect.y, 1e-3) << c.name;
    EXPECT_NEAR(g->rect.width, c.rect.width, 1e-3) << c.name;
    EXPECT_NEAR(g->rect.height, c.rect.height, 1e-3) << c.name;
    EXPECT_NEAR(g->borderRadius, c.borderRadius * g->rect.height / 1080, 1e-9) << c.name;
    EXPECT_NEAR(g->layout.top, 1080 - g->rect.maxY(), 1e-9) << c.name;
  }
}

TEST(VideoFrameGeometry, SnapsSubPixelSliversAndRejectsEmptySizes) {
  auto s = settingsFor("16:9");
  // 1919.5 wide from the aspect: within a pixel of the available width, so it takes it.
  auto g = computeVideoFrameGeometry(s, {1920, 1080}, {1919.5, 1080}, 0, 0, 1.0);
  ASSERT_TRUE(g);
  EXPECT_DOUBLE_EQ(g->rect.width, 1920);
  EXPECT_FALSE(computeVideoFrameGeometry(s, {1920, 1080}, {0, 1080}, 0, 0, 1.0));
  EXPECT_FALSE(computeVideoFrameGeometry(s, {0, 1080}, {1920, 1080}, 0, 0, 1.0));
  EXPECT_FALSE(computeVideoFrameGeometry(s, {1920, 1080}, {1920, 1080}, 1000, 0, 1.0));
}

TEST(SourceDisplaySize, CropRegionKeepsAtLeastOnePixel) {
  const auto meta = VideoTrackMetadata::make({1920, 1080}, {});
  EXPECT_EQ(croppedSourceDisplaySize(meta, std::nullopt), (Size{1920, 1080}));
  EXPECT_EQ(croppedSourceDisplaySize(meta, NativeCropRegion{0, 0, 0.5, 0.25}), (Size{960, 270}));
  EXPECT_EQ(croppedSourceDisplaySize(meta, NativeCropRegion{0, 0, 0, 1}), (Size{1, 1080}));
}

TEST(ActiveSegment, CutBelongsToTheLaterSegmentAndTheEndToTheLast) {
  std::vector<NativeVideoSegmentPlan> segments(2);
  segments[0].segmentId = "a";
  segments[0].outputStartTime = 0;
  segments[0].outputEndTime = 2;
  segments[1].segmentId = "b";
  segments[1].outputStartTime = 2;
  segments[1].outputEndTime = 4;
  const struct {
    double t;
    const char* expected;
  } cases[] = {{0, "a"}, {1.9999, "a"}, {2 - 5e-7, "b"}, {2, "b"}, {3.9, "b"}, {4, "b"}, {4 + 5e-7, "b"},
               {4.1, nullptr}, {-1, nullptr}};
  for (const auto& c : cases) {
    const auto* s = resolveActiveVideoSegment(segments, c.t);
    if (!c.expected) {
      EXPECT_EQ(s, nullptr) << c.t;
    } else {
      ASSERT_NE(s, nullptr) << c.t;
      EXPECT_EQ(s->segmentId, c.expected) << c.t;
    }
  }
}

TEST(LayerGeometryKey, RoundsCornersAndTenthsOfRadius) {
  EXPECT_EQ(layerGeometryKey({10.4, 20.6, 100.5, 50}, 12.34), "10_21_101_50_123");
  EXPECT_EQ(layerGeometryKey({-0.6, 0, 1, 1}, 0), "-1_0_1_1_0");
}

TEST(ShadowMetrics, SizeIsClampedAndDefaults) {
  const struct {
    std::optional<double> size;
    double u, v;
  } cases[] = {
      {std::nullopt, 28, (10 + 18.0) * 4 / 7},
      {0, 10, 10.0 * 4 / 7},
      {-20, 10, 10.0 * 4 / 7},
      {100, 46, 46.0 * 4 / 7},
      {150, 46, 46.0 * 4 / 7},
      {50, 28, 28.0 * 4 / 7},
  };
  for (const auto& c : cases) {
    const auto m = computeShadowMetrics(c.size, 2.0);
    EXPECT_NEAR(m.u, 2 * c.u, 1e-9) << c.size.value_or(-1);
    EXPECT_NEAR(m.v, 2 * c.v, 1e-9) << c.size.value_or(-1);
  }
}

TEST(DesktopWallpaperName, MatchesTheHelperOutputNamesOnly) {
  const struct {
    const char* text;
    bool match;
  } cases[] = {
      {"/tmp/x/desktop-wallpaper.png", true},
      {"/tmp/x/Desktop-Wallpaper.JPEG?x=1", true},
      {"desktop-wallpaper.webp#frag", true},
      {"/a/my-desktop-wallpaper.jpg", true},
      {"/a/mydesktop-wallpaper.jpg", false},
      {"/a/desktop-wallpaper.gif", false},
      {"/a/desktop-wallpaper.png.bak", false},
  };
  for (const auto& c : cases) EXPECT_EQ(isDesktopWallpaperName(c.text), c.match) << c.text;
}

}  // namespace
}  // namespace vantrel::exporter
