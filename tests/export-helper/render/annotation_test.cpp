// Pen strokes: when a stroke shows and how opaque, the smoothed path and its
// spline, the pen's scale, and the drawn layer (clipped to the video, glow and
// core where the pen went, the soft dot, the cache of a layer at rest).

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "render/annotation_paths.h"
#include "render/render_state.h"

namespace vantrel::exporter {
namespace {

namespace gfx = vantrel::graphics;

NativeAnnotationStroke stroke(const char* id, std::vector<NativeAnnotationPoint> points,
                              std::optional<double> completedAt = std::nullopt,
                              std::optional<double> forceFade = std::nullopt) {
  NativeAnnotationStroke s;
  s.id = id;
  s.color = "#2060FF";
  s.points = std::move(points);
  s.completedAt = completedAt;
  s.forceFadeStartedAt = forceFade;
  return s;
}

NativeAnnotationBrushSettings brush(double radius = 4, double delay = 1000, double fade = 500) {
  NativeAnnotationBrushSettings b;
  b.radius = radius;
  b.fadeDelayMs = delay;
  b.fadeDurationMs = fade;
  return b;
}

TEST(AnnotationTiming, AlphaAndVisibilityFollowTheFadeRules) {
  const auto b = brush();
  const auto completed = stroke("a", {{0.1, 0.1, 100}, {0.2, 0.2, 200}}, 2000.0);
  const auto forced = stroke("f", {{0.1, 0.1, 100}}, std::nullopt, 1000.0);
  const auto open = stroke("o", {{0.1, 0.1, 100}});
  const struct {
    const char* what;
    const NativeAnnotationStroke& s;
    double t;
    double alpha;
    bool visible;
  } cases[] = {
      {"before the first point", completed, 99, 1, false},
      {"held through the delay", completed, 2999, 1, true},
      {"delay just over", completed, 3000, 1, true},
      {"half way through the fade", completed, 3250, 0.5, true},
      {"gone at the end of the fade", completed, 3499.5, 0.001, false},
      {"forced fade ignores the missing completion", forced, 1250, 0.5, true},
      {"forced fade over", forced, 1600, -0.2, false},
      {"never completed never fades", open, 1e9, 1, true},
  };
  for (const auto& c : cases) {
    const auto v = annotationStrokeVisibility(c.s, b, c.t);
    EXPECT_NEAR(annotationStrokeAlpha(c.s, b, c.t), c.alpha, 1e-9) << c.what;
    EXPECT_EQ(v.visible, c.visible) << c.what;
  }
  // A zero fade length counts as one millisecond rather than dividing by zero.
  EXPECT_NEAR(annotationStrokeAlpha(completed, brush(4, 1000, 0), 3000.5), 0.5, 1e-9);
}

TEST(AnnotationTiming, AStrokeStillBeingDrawnIsNotAtRestAndMakesTheLayerUncacheable) {
  NativeAnnotationData data;
  data.brush = brush();
  data.strokes = {stroke("done", {{0.1, 0.1, 0}, {0.2, 0.2, 50}}),
                  stroke("drawing", {{0.3, 0.3, 100}, {0.4, 0.4, 900}})};
  const gfx::Rect R{10.25, 20.5, 300.6, 160};
  const auto drawing = annotationLayerKey(data, 500, R);
  EXPECT_TRUE(drawing.anyVisible);
  EXPECT_FALSE(drawing.key.has_value());
  const auto rest = annotationLayerKey(data, 900, R);
  ASSERT_TRUE(rest.key.has_value());
  EXPECT_EQ(*rest.key, "annot|41|82|1202|640|done|drawing");
  // A point without a usable time never arrives: drawn without it, never cached.
  data.strokes[1].points.push_back({0.5, 0.5, std::nan("")});
  EXPECT_FALSE(annotationLayerKey(data, 5000, R).key.has_value());
  EXPECT_TRUE(annotationStrokeVisibility(data.strokes[1], data.brush, 5000).visible);
}

TEST(AnnotationPath, SmoothingRunsTwoPassesFromThePreviousPassAndSparesShortStrokes) {
  const std::vector<NativeAnnotationPoint> three{{0, 0, 1}, {1, 1, 2}, {0, 0, 3}};
  const auto same = smoothedAnnotationPoints(three);
  ASSERT_EQ(same.size(), 3u);
  EXPECT_EQ(same[1].x, 1);

  const auto s = smoothedAnnotationPoints({{0, 0, 1}, {1, 2, 2}, {0, 0, 3}, {1, 2, 4}});
  ASSERT_EQ(s.size(), 4u);
  const double expected[] = {0, 0.375, 0.625, 1};  // an in-place filter would give 0.375, 0.5
  for (int i = 0; i < 4; ++i) {
    EXPECT_DOUBLE_EQ(s[i].x, expected[i]) << i;
    EXPECT_DOUBLE_EQ(s[i].y, 2 * expected[i]) << i;
    EXPECT_EQ(s[i].timestamp, i + 1) << i;
  }
}

TEST(AnnotationPath, SplinePassesThroughThePointsWithCatmullRomTangents) {
  EXPECT_TRUE(annotationPathSegments({{1, 1}}).empty());
  const auto line = annotationPathSegments({{0, 0}, {6, 3}});
  ASSERT_EQ(line.size(), 1u);
  EXPECT_EQ(line[0].end.x, 6);

  const auto segs = annotationPathSegments({{0, 0}, {6, 0}, {6, 6}});
  ASSERT_EQ(segs.size(), 2u);
  // First segment: P-1 stands for P0, so the first tangent is (P1 - P0) / 6.
  EXPECT_DOUBLE_EQ(segs[0].control1.x, 1);
  EXPECT_DOUBLE_EQ(segs[0].control1.y, 0);
  EXPECT_DOUBLE_EQ(segs[0].control2.x, 6 - 1);
  EXPECT_DOUBLE_EQ(segs[0].control2.y, -1);
  EXPECT_DOUBLE_EQ(segs[1].control1.x, 7);
  EXPECT_DOUBLE_EQ(segs[1].control1.y, 1);
  // Past the end the last point repeats: (P2 - P1) / 6 back from P2.
  EXPECT_DOUBLE_EQ(segs[1].control2.x, 6);
  EXPECT_DOUBLE_EQ(segs[1].control2.y, 5);
  EXPECT_DOUBLE_EQ(segs[1].end.y, 6);
}

TEST(AnnotationPath, PenScaleFollowsTheVideoRectangleAndTheCrop) {
  NativeAnnotationData data;
  const gfx::Rect R{0, 0, 960, 540};
  EXPECT_EQ(annotationRenderScale(data, R, std::nullopt), 1);
  data.sourceWidth = 1920;
  data.sourceHeight = 1080;
  EXPECT_DOUBLE_EQ(annotationRenderScale(data, R, std::nullopt), 0.85 * 0.5);
  NativeCropRegion crop;
  crop.x = 0.25;
  crop.y = 0.25;
  crop.width = 0.5;
  crop.height = 0.5;
  EXPECT_DOUBLE_EQ(annotationRenderScale(data, R, crop), 0.85 * 1.0);
  // A tiny rectangle keeps a readable pen.
  EXPECT_DOUBLE_EQ(annotationRenderScale(data, {0, 0, 10, 10}, std::nullopt), 0.85 * 0.05);
  data.sourceHeight = 0;
  EXPECT_EQ(annotationRenderScale(data, R, std::nullopt), 1);
}

class AnnotationLayer : public ::testing::Test {
 protected:
  static constexpr int kW = 640, kH = 360;

  std::unique_ptr<NativeRenderState> state(NativeAnnotationData data) {
    NativeRenderStateInputs in;
    in.manifest.scene.settings.video.aspectRatio = "16:9";
    in.manifest.scene.settings.video.videoScale = 100;
    in.manifest.scene.settings.background.type = "color";
    in.manifest.scene.settings.background.color = "#000000";
    in.manifest.qualityPlan.frameRate = 30;
    in.manifest.overlayPlan.annotationData = std::move(data);
    in.renderSize = {kW, kH};
    in.baseTrackMetadata = VideoTrackMetadata::make({320, 180}, AffineTransform{});
    in.sourceTrackMetadataByIndex = {in.baseTrackMetadata};
    in.canvasReferenceDisplaySize = {320, 180};
    in.performancePlan = ExportPerformancePlan::build(in.renderSize, 1);
    return std::make_unique<NativeRenderState>(std::move(in));
  }

  // Premultiplied BGRA of the layer over a transparent canvas.
  gfx::BufferRef pixels(NativeRenderState& s, const gfx::Image& layer) {
    auto out = gfx::makeBuffer(kW, kH, gfx::PixelFormat::bgra8);
    out->fill(0);
    s.renderer().render(layer, *out, {0, 0});
    return out;
  }
  // Alpha at a drawing-space point (y up).
  static int alphaAt(const gfx::BufferRef& b, double x, double y) {
    return b->row(kH - 1 - static_cast<int>(y))[static_cast<int>(x) * 4 + 3];
  }
  static int blueAt(const gfx::BufferRef& b, double x, double y) {
    return b->row(kH - 1 - static_cast<int>(y))[static_cast<int>(x) * 4];
  }

  // A horizontal stroke across the middle of the video, 10 px pen, completed at 2000 ms.
  static NativeAnnotationData horizontal() {
    NativeAnnotationData data;
    data.brush = brush(5);
    data.strokes = {stroke("h", {{0.1, 0.5, 0}, {0.4, 0.5, 50}, {0.6, 0.5, 100}, {0.9, 0.5, 150}}, 2000.0)};
    return data;
  }
};

TEST_F(AnnotationLayer, DrawsGlowAndCoreWhereThePenWentClippedToTheRoundedVideo) {
  auto s = state(horizontal());
  const gfx::Rect R{100, 50, 400, 200};
  auto layer = renderAnnotationOverlay(*s, 1000, R, 40);
  ASSERT_TRUE(layer);
  const auto px = pixels(*s, *layer);
  const double midY = R.maxY() - 0.5 * R.height;
  EXPECT_EQ(alphaAt(px, 300, midY), 255);           // under the core
  EXPECT_GT(blueAt(px, 300, midY), 200);             // in the pen's colour
  // The glow alone (0.28 of the pen) between the body's half width 4.75 and its own 6.6.
  EXPECT_GT(alphaAt(px, 300, midY + 5.5), 40);
  EXPECT_LT(alphaAt(px, 300, midY + 5.5), 120);
  EXPECT_EQ(alphaAt(px, 300, midY + 40), 0);         // nothing far from the line
  EXPECT_EQ(alphaAt(px, 100 + 0.05 * 400, midY), 0); // before the stroke's start (with round cap)
  // Nothing ever outside the video rectangle.
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x) {
      const double dx = x + 0.5, dy = kH - y - 0.5;
      if (dx >= R.minX() && dx <= R.maxX() && dy >= R.minY() && dy <= R.maxY()) continue;
      ASSERT_EQ(px->row(y)[x * 4 + 3], 0) << x << "," << y;
    }
}

TEST_F(AnnotationLayer, RoundedCornersClipAStrokeRunningIntoThem) {
  NativeAnnotationData data;
  data.brush = brush(8);
  data.strokes = {stroke("corner", {{0.0, 0.0, 0}, {0.2, 0.2, 10}})};
  auto s = state(data);
  const gfx::Rect R{100, 50, 400, 200};
  const auto square = pixels(*s, *renderAnnotationOverlay(*s, 100, R, 0));
  auto s2 = state(data);
  const auto rounded = pixels(*s2, *renderAnnotationOverlay(*s2, 100, R, 60));
  // The top-left corner pixel of R (drawing space: minX, maxY).
  EXPECT_GT(alphaAt(square, R.minX() + 1, R.maxY() - 1), 200);
  EXPECT_EQ(alphaAt(rounded, R.minX() + 1, R.maxY() - 1), 0);
}

TEST_F(AnnotationLayer, FadesToHalfAt3250MillisecondsAndIsGoneAfterTheFade) {
  const gfx::Rect R{100, 50, 400, 200};
  const double midY = R.maxY() - 0.5 * R.height;
  auto s = state(horizontal());
  const auto full = pixels(*s, *renderAnnotationOverlay(*s, 2500, R, 0));
  const auto half = pixels(*s, *renderAnnotationOverlay(*s, 3250, R, 0));
  // Where the glow is alone, its opacity (0.28 of the stroke's) halves with the stroke's.
  const double ratio = double(alphaAt(half, 300, midY + 5.5)) / alphaAt(full, 300, midY + 5.5);
  EXPECT_NEAR(ratio, 0.5, 0.05);
  EXPECT_LT(alphaAt(half, 300, midY), alphaAt(full, 300, midY));
  EXPECT_FALSE(renderAnnotationOverlay(*s, 3499.5, R, 0));
}

TEST_F(AnnotationLayer, ASinglePointIsASoftDotOfRadiusOnePointSixPens) {
  NativeAnnotationData data;
  data.brush = brush(10);
  data.strokes = {stroke("dot", {{0.5, 0.5, 0}})};
  auto s = state(data);
  const gfx::Rect R{100, 50, 400, 200};
  const auto px = pixels(*s, *renderAnnotationOverlay(*s, 10, R, 0));
  const gfx::Point c{300, 150};
  EXPECT_GT(alphaAt(px, c.x, c.y), 240);
  EXPECT_GT(alphaAt(px, c.x + 10, c.y), alphaAt(px, c.x + 14, c.y));
  EXPECT_GT(alphaAt(px, c.x + 14, c.y), 0);
  EXPECT_EQ(alphaAt(px, c.x + 17, c.y), 0);
}

TEST_F(AnnotationLayer, ALayerAtRestIsDrawnOnceUntilAStrokeFadesOrTheVideoMoves) {
  auto data = horizontal();
  data.strokes.push_back(stroke("late", {{0.2, 0.2, 1500}, {0.3, 0.3, 1600}}, 2000.0));
  auto s = state(data);
  const gfx::Rect R{100, 50, 400, 200};
  auto renders = [&] { return s->layerStates().annotations->renders; };
  for (double t : {200.0, 500.0, 1000.0}) ASSERT_TRUE(renderAnnotationOverlay(*s, t, R, 0));
  EXPECT_EQ(renders(), 1);  // at rest from 150 ms: one drawing for all three
  renderAnnotationOverlay(*s, 1550, R, 0);  // the second stroke is being drawn
  renderAnnotationOverlay(*s, 1580, R, 0);
  EXPECT_EQ(renders(), 3);
  renderAnnotationOverlay(*s, 1700, R, 0);
  renderAnnotationOverlay(*s, 2500, R, 0);
  EXPECT_EQ(renders(), 4);  // both at rest: one new key
  renderAnnotationOverlay(*s, 2500, {101, 50, 400, 200}, 0);
  EXPECT_EQ(renders(), 5);  // the video moved
  renderAnnotationOverlay(*s, 3100, R, 0);
  renderAnnotationOverlay(*s, 3110, R, 0);
  EXPECT_EQ(renders(), 7);  // fading: every frame afresh
}

TEST_F(AnnotationLayer, CropRegionMapsPointsIntoTheVisiblePartAndBadInputDrawsNothing) {
  NativeAnnotationData data;
  data.brush = brush(3);
  data.strokes = {stroke("c", {{0.5, 0.5, 0}, {0.75, 0.5, 10}})};
  auto s = state(data);
  NativeCropRegion crop;
  crop.x = 0.5;
  crop.y = 0.25;
  crop.width = 0.5;
  crop.height = 0.5;
  const gfx::Rect R{100, 50, 400, 200};
  const auto layer = drawAnnotationLayer(data, 10, R, 0, crop, s->canvasRect());
  ASSERT_TRUE(layer);
  const auto px = pixels(*s, *layer);
  // (0.5, 0.5) in the recording is the crop's left edge, half way down.
  EXPECT_GT(alphaAt(px, R.minX() + 1, R.midY()), 200);
  EXPECT_GT(alphaAt(px, R.midX(), R.midY()), 200);
  EXPECT_EQ(alphaAt(px, R.midX() + 20, R.midY()), 0);

  const double nan = std::nan("");
  const struct {
    const char* what;
    gfx::Rect rect;
    std::vector<NativeAnnotationPoint> points;
  } nothing[] = {
      {"rectangle of half a pixel", {100, 50, 0.5, 200}, {{0.5, 0.5, 0}, {0.6, 0.6, 1}}},
      {"rectangle not finite", {nan, 50, 400, 200}, {{0.5, 0.5, 0}, {0.6, 0.6, 1}}},
      {"points not finite", R, {{nan, 0.5, 0}, {0.5, INFINITY, 1}}},
      {"no points", R, {}},
  };
  for (const auto& c : nothing) {
    NativeAnnotationData d = data;
    d.strokes[0].points = c.points;
    EXPECT_FALSE(drawAnnotationLayer(d, 10, c.rect, 0, std::nullopt, s->canvasRect())) << c.what;
  }
}

}  // namespace
}  // namespace vantrel::exporter
