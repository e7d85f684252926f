#include "render/annotation_paths.h"

#include <algorithm>
#include <cmath>

#include "manifest/color.h"
#include "render/render_state.h"
#include "vantrel/graphics/drawing.h"

namespace vantrel::exporter {

namespace gfx = vantrel::graphics;

double annotationStrokeAlpha(const NativeAnnotationStroke& stroke, const NativeAnnotationBrushSettings& brush,
                             double timeMs) {
  const double fade = std::max(brush.fadeDurationMs, 1.0);
  if (stroke.forceFadeStartedAt && timeMs >= *stroke.forceFadeStartedAt)
    return 1 - (timeMs - *stroke.forceFadeStartedAt) / fade;
  if (!stroke.completedAt || timeMs - *stroke.completedAt < brush.fadeDelayMs) return 1;
  return 1 - (timeMs - *stroke.completedAt - brush.fadeDelayMs) / fade;
}

AnnotationStrokeVisibility annotationStrokeVisibility(const NativeAnnotationStroke& stroke,
                                                      const NativeAnnotationBrushSettings& brush, double timeMs) {
  AnnotationStrokeVisibility v;
  if (stroke.points.empty() || !(stroke.points.front().timestamp <= timeMs)) return v;
  v.alpha = annotationStrokeAlpha(stroke, brush, timeMs);
  // A hair above the threshold, so that the last thousandth of a fade (which
  // rounding can leave a few ulps above it) counts as gone.
  if (!(v.alpha > 0.001 + 1e-12)) return v;
  bool anyReached = false, allReached = true;
  for (const auto& p : stroke.points) {
    const bool reached = std::isfinite(p.timestamp) && p.timestamp <= timeMs;
    anyReached = anyReached || reached;
    // A point without a usable time never arrives, so the stroke keeps changing.
    allReached = allReached && p.timestamp <= timeMs;
  }
  v.visible = anyReached;
  v.atRest = v.visible && v.alpha >= 0.999999 && allReached;
  return v;
}

std::vector<NativeAnnotationPoint> smoothedAnnotationPoints(const std::vector<NativeAnnotationPoint>& points) {
  if (points.size() < 4) return points;
  std::vector<NativeAnnotationPoint> previous = points;
  std::vector<NativeAnnotationPoint> next = points;
  for (int pass = 0; pass < 2; ++pass) {
    for (std::size_t i = 1; i + 1 < previous.size(); ++i) {
      next[i].x = 0.25 * previous[i - 1].x + 0.5 * previous[i].x + 0.25 * previous[i + 1].x;
      next[i].y = 0.25 * previous[i - 1].y + 0.5 * previous[i].y + 0.25 * previous[i + 1].y;
    }
    previous = next;
  }
  return previous;
}

double annotationRenderScale(const NativeAnnotationData& data, const gfx::Rect& R,
                             const std::optional<NativeCropRegion>& crop) {
  if (!data.sourceWidth || !data.sourceHeight || !(*data.sourceWidth > 0) || !(*data.sourceHeight > 0)) return 1;
  double w = *data.sourceWidth, h = *data.sourceHeight;
  if (crop) {
    w *= std::max(crop->width, 0.0001);
    h *= std::max(crop->height, 0.0001);
  }
  return 0.85 * std::max(std::min(R.width / w, R.height / h), 0.05);
}

std::vector<AnnotationPathSegment> annotationPathSegments(const std::vector<gfx::Point>& points) {
  std::vector<AnnotationPathSegment> segments;
  const std::size_t n = points.size();
  if (n < 2) return segments;
  if (n == 2) {
    segments.push_back({points[0], points[1], points[1]});
    return segments;
  }
  auto at = [&](std::ptrdiff_t i) { return points[static_cast<std::size_t>(std::clamp<std::ptrdiff_t>(i, 0, n - 1))]; };
  for (std::ptrdiff_t i = 0; i + 1 < static_cast<std::ptrdiff_t>(n); ++i) {
    const gfx::Point p0 = at(i - 1), p1 = at(i), p2 = at(i + 1), p3 = at(i + 2);
    segments.push_back({{p1.x + (p2.x - p0.x) / 6, p1.y + (p2.y - p0.y) / 6},
                        {p2.x - (p3.x - p1.x) / 6, p2.y - (p3.y - p1.y) / 6},
                        p2});
  }
  return segments;
}

AnnotationLayerKey annotationLayerKey(const NativeAnnotationData& data, double timeMs, const gfx::Rect& R) {
  auto part = [](double v) {
    // Truncated towards zero; values too large for an integer keep their digits as doubles do.
    const double tr = std::trunc(v);
    if (std::abs(tr) < 9.0e18) return std::to_string(static_cast<long long>(tr));
    return std::to_string(tr);
  };
  AnnotationLayerKey result;
  std::string key = "annot|" + part(4 * R.minX()) + "|" + part(4 * R.minY()) + "|" + part(4 * R.width) + "|" +
                    part(4 * R.height);
  bool cacheable = true;
  for (const auto& stroke : data.strokes) {
    const auto v = annotationStrokeVisibility(stroke, data.brush, timeMs);
    if (!v.visible) continue;
    result.anyVisible = true;
    if (v.atRest) {
      key += "|" + stroke.id;
    } else {
      cacheable = false;
    }
  }
  if (cacheable && result.anyVisible) result.key = std::move(key);
  return result;
}

namespace {

// A stroke ready to draw: canvas points (drawing space) and its opacity.
struct PlacedStroke {
  std::vector<gfx::Point> points;
  gfx::Color color;
  double alpha = 1;
};

std::optional<PlacedStroke> placeStroke(const NativeAnnotationStroke& stroke, double alpha, double timeMs,
                                        const gfx::Rect& R, const std::optional<NativeCropRegion>& crop) {
  std::vector<NativeAnnotationPoint> reached;
  for (const auto& p : stroke.points)
    if (std::isfinite(p.timestamp) && p.timestamp <= timeMs) reached.push_back(p);
  PlacedStroke placed;
  const bool remap = crop && crop->width > 0 && crop->height > 0;
  for (const auto& p : smoothedAnnotationPoints(reached)) {
    if (!std::isfinite(p.x) || !std::isfinite(p.y)) continue;
    double x = p.x, y = p.y;
    if (remap) {
      x = (x - crop->x) / crop->width;
      y = (y - crop->y) / crop->height;
    }
    const gfx::Point q{R.minX() + x * R.width, R.maxY() - y * R.height};
    if (std::isfinite(q.x) && std::isfinite(q.y)) placed.points.push_back(q);
  }
  if (placed.points.empty()) return std::nullopt;
  const RgbaColor c = parseColor(stroke.color).value_or(RgbaColor{1, 0, 0, 1});
  // The pen's own colour gives red, green and blue; its opacity comes from the fade alone.
  placed.color = {std::clamp(c.red, 0.0, 1.0), std::clamp(c.green, 0.0, 1.0), std::clamp(c.blue, 0.0, 1.0), 1};
  placed.alpha = std::clamp(alpha, 0.0, 1.0);
  return placed;
}

}  // namespace

std::optional<gfx::Image> drawAnnotationLayer(const NativeAnnotationData& data, double timeMs, const gfx::Rect& R,
                                              double borderRadius, const std::optional<NativeCropRegion>& crop,
                                              const gfx::Rect& canvas) {
  if (data.strokes.empty() || !R.isFinite() || !(R.width > 0.5) || !(R.height > 0.5)) return std::nullopt;
  const double s = annotationRenderScale(data, R, crop);
  const double r = std::max(data.brush.radius, 0.1) * s;
  if (!std::isfinite(r)) return std::nullopt;

  std::vector<PlacedStroke> strokes;
  double x0 = INFINITY, y0 = INFINITY, x1 = -INFINITY, y1 = -INFINITY;
  for (const auto& stroke : data.strokes) {
    const auto v = annotationStrokeVisibility(stroke, data.brush, timeMs);
    if (!v.visible) continue;
    auto placed = placeStroke(stroke, v.alpha, timeMs, R, crop);
    if (!placed) continue;
    for (const auto& p : placed->points) {
      x0 = std::min(x0, p.x), y0 = std::min(y0, p.y), x1 = std::max(x1, p.x), y1 = std::max(y1, p.y);
    }
    strokes.push_back(std::move(*placed));
  }
  if (strokes.empty()) return std::nullopt;

  // Only the part of R the pen can reach is drawn: the widest pass's half
  // width (or the dot's radius) plus the glow's spread, which the shadow
  // blur (given in the doubled bitmap's pixels) takes to about 1.5 blur + 2.
  const double reach = std::max(2.65 * r / 2, 1.6 * r) + (1.5 * 0.75 * s + 2) / 2 + 1;
  const gfx::Rect inked{x0 - reach, y0 - reach, x1 - x0 + 2 * reach, y1 - y0 + 2 * reach};
  gfx::Rect box = inked.intersection(R).intersection(canvas);
  if (box.isEmpty()) return std::nullopt;
  const double bx0 = std::floor(box.minX()), by0 = std::floor(box.minY());
  box = {bx0, by0, std::ceil(box.maxX()) - bx0, std::ceil(box.maxY()) - by0};

  auto ctx = gfx::BitmapContext::create(static_cast<int>(2 * box.width), static_cast<int>(2 * box.height));
  if (!ctx) return std::nullopt;
  ctx->scale(2, 2);
  ctx->translate(-box.minX(), -box.minY());
  if (borderRadius > 0.01) {
    ctx->addRoundedRect(R, std::min(borderRadius, std::min(R.width, R.height) / 2));
  } else {
    ctx->addRect(R);
  }
  ctx->clipToPath();

  struct Pass {
    double width, alpha, shadowBlur;
  };
  const Pass passes[] = {{2.65 * r, 0.28, 0.75 * s}, {1.9 * r, 0.92, 0.18 * s}, {1.35 * r, 1.0, 0}};
  for (const auto& stroke : strokes) {
    const double a = stroke.alpha;
    if (stroke.points.size() == 1) {
      const gfx::Point p = stroke.points.front();
      ctx->drawRadialGradient(p, 0, p, 1.6 * r,
                              {{0, stroke.color.withAlpha(a)},
                               {0.72, stroke.color.withAlpha(0.82 * a)},
                               {1, stroke.color.withAlpha(0)}});
      continue;
    }
    const auto segments = annotationPathSegments(stroke.points);
    for (const auto& pass : passes) {
      ctx->saveState();
      ctx->setLineWidth(pass.width);
      ctx->setLineCap(gfx::LineCap::round);
      ctx->setLineJoin(gfx::LineJoin::round);
      const gfx::Color color = stroke.color.withAlpha(pass.alpha * a);
      ctx->setStrokeColor(color);
      if (pass.shadowBlur > 0.001) ctx->setShadow({0, 0}, pass.shadowBlur, color);
      ctx->moveTo(stroke.points.front());
      for (const auto& seg : segments) ctx->curveTo(seg.control1, seg.control2, seg.end);
      ctx->strokePath();
      ctx->restoreState();
    }
  }
  return ctx->makeImage().transformed(
      gfx::Affine::scale(0.5, 0.5).then(gfx::Affine::translation(box.minX(), box.minY())));
}

std::optional<gfx::Image> renderAnnotationOverlay(NativeRenderState& state, double timeMs, const gfx::Rect& R,
                                                  double borderRadius) {
  const auto& plan = state.manifest().overlayPlan;
  if (!plan.annotationData || plan.annotationData->strokes.empty()) return std::nullopt;
  if (!R.isFinite() || !(R.width > 0.5) || !(R.height > 0.5)) return std::nullopt;
  auto& slot = state.layerStates().annotations;
  if (!slot) slot = std::make_shared<AnnotationLayerState>();
  const auto key = annotationLayerKey(*plan.annotationData, timeMs, R);
  if (!key.anyVisible) return std::nullopt;
  if (key.key && slot->cachedOverlay && slot->cachedOverlay->first == *key.key) return slot->cachedOverlay->second;

  auto layer = drawAnnotationLayer(*plan.annotationData, timeMs, R, borderRadius,
                                   state.manifest().videoPlan.cropRegion, state.canvasRect());
  ++slot->renders;
  if (!layer) return std::nullopt;
  // Flat canvas pixels: the frame reads them once instead of re-running the downscale.
  gfx::Image flat = state.materializedLayer(*layer);
  if (key.key) slot->cachedOverlay = std::make_pair(*key.key, flat);
  return flat;
}

}  // namespace vantrel::exporter
