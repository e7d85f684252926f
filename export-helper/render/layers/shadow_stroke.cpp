// The frame around the recording: a soft three-layer drop shadow beneath it
// and a border line inside or outside its edge. Both are drawn on the CPU into
// bitmaps; the render state caches them per geometry.

#include <algorithm>
#include <cmath>

#include "manifest/color.h"
#include "render/layers/layers.h"
#include "render/render_state.h"
#include "vantrel/graphics/drawing.h"

namespace vantrel::exporter {

namespace gfx = vantrel::graphics;

namespace {

gfx::Color colorOrBlack(const std::string& text) {
  auto c = parseColor(text);
  return c ? gfx::Color{c->red, c->green, c->blue, c->alpha} : gfx::Color{0, 0, 0, 1};
}

double layoutScaleFor(const NativeRenderState& state, Size source) {
  const Size canvas = state.renderSize();
  return computeLayoutScaleFactor(state.manifest().scene.settings.video, canvas.width, canvas.height, source.width,
                                  source.height);
}

int pixelSide(double v) { return std::max(1, static_cast<int>(std::ceil(v))); }

}  // namespace

ShadowMetrics computeShadowMetrics(std::optional<double> size, double s) {
  double strength = NativeRenderState::defaultShadowSize;
  double u = 28 * s;
  if (size) {
    strength = std::min(std::max(*size, 0.0), 100.0);
    u = *size >= 100 ? 46 * s : s * (10 + 36 * strength / 100);
  }
  return {u, s * (10 + 36 * strength / 100) * 4 / 7};
}

std::optional<gfx::Image> makeShadowOverlay(const NativeRenderState& state, const gfx::Rect& R, Size source,
                                            double r) {
  const auto& shadow = state.manifest().scene.settings.video.shadow;
  if (!shadow.enabled) return std::nullopt;
  const auto [u, v] = computeShadowMetrics(shadow.size, layoutScaleFor(state, source));

  struct Layer {
    double blur, inset, shift, alpha;
  };
  const Layer layers[] = {{u, 0.2 * u, v, 0.9}, {3 * u, 0.96 * u, 0.9 * v, 0.25}, {4.5 * u, 1.71 * u, 0.72 * v, 0.07}};
  const bool visible = std::any_of(std::begin(layers), std::end(layers),
                                   [](const Layer& l) { return l.blur > 0.01 || l.shift > 0.01; });
  if (!visible) return std::nullopt;

  // Opacity is perceptual in the editor's slider: the curve lifts low values.
  const double alpha = std::pow(std::clamp(shadow.opacity / 100, 0.0, 1.0), 0.7);
  const gfx::Color color = colorOrBlack(shadow.color).withAlpha(alpha);
  const Size canvas = state.renderSize();
  const gfx::Rect canvasRect = state.canvasRect();

  std::optional<gfx::Image> stack;
  for (const Layer& layer : layers) {
    auto bitmap = gfx::BitmapContext::create(pixelSide(canvas.width), pixelSide(canvas.height));
    if (!bitmap) return std::nullopt;
    bitmap->setFillColor(color);
    const gfx::Rect shape = R.insetBy(layer.inset, layer.inset);
    const double corner = std::max(r - layer.inset, 0.0);
    if (corner > 0.01) {
      bitmap->addRoundedRect(shape, std::min(corner, std::min(shape.width, shape.height) / 2));
    } else {
      bitmap->addRect(shape);
    }
    bitmap->fillPath();
    const gfx::Image blurred =
        bitmap->makeImage().gaussianBlur(layer.blur).alphaMultiplied(layer.alpha).translated(0, -layer.shift).cropped(
            canvasRect);
    stack = stack ? blurred.composited(*stack) : blurred;
  }
  return stack;
}

gfx::Rect strokeClearInterior(const NativeRenderState& state, const gfx::Rect& R, Size source, double r) {
  const auto& stroke = state.manifest().scene.settings.video.stroke;
  if (!stroke.enabled || !(stroke.width > 0)) return {};
  const double t = stroke.width * layoutScaleFor(state, source);
  if (!(t > 0.01)) return {};
  // The inner edge is R (outside) or R inset by t (inside), with the corner
  // radius that is left; a rectangle inset by 0.3 of that radius stays clear
  // of the arcs (1 - 1/sqrt(2) < 0.3), one more pixel for antialiasing.
  const bool inside = stroke.position == "inside";
  const double edge = inside ? t : 0.0;
  const double corner = std::max(inside ? r - t : r, 0.0);
  const gfx::Rect hole = R.insetBy(edge + 0.3 * corner + 1, edge + 0.3 * corner + 1);
  if (!(hole.width > 0) || !(hole.height > 0)) return {};
  const double x0 = std::ceil(hole.minX()), y0 = std::ceil(hole.minY());
  const double x1 = std::floor(hole.maxX()), y1 = std::floor(hole.maxY());
  if (x1 <= x0 || y1 <= y0) return {};
  return {x0, y0, x1 - x0, y1 - y0};
}

std::optional<gfx::Image> makeStrokeOverlay(const NativeRenderState& state, const gfx::Rect& R, Size source,
                                            double r) {
  const auto& stroke = state.manifest().scene.settings.video.stroke;
  if (!stroke.enabled || !(stroke.width > 0)) return std::nullopt;
  const double t = stroke.width * layoutScaleFor(state, source);
  if (!(t > 0.01)) return std::nullopt;

  const bool inside = stroke.position == "inside";
  const gfx::Rect line = inside ? R.insetBy(t / 2, t / 2) : R.insetBy(-t / 2, -t / 2);
  const double corner = inside ? std::max(r - t / 2, 0.0) : r + t / 2;
  if (!(line.width > 0.5) || !(line.height > 0.5)) return std::nullopt;

  const gfx::Rect bounds = line.insetBy(-t / 2, -t / 2).integral();
  auto bitmap = gfx::BitmapContext::create(pixelSide(bounds.width), pixelSide(bounds.height));
  if (!bitmap) return std::nullopt;
  bitmap->setStrokeColor(colorOrBlack(stroke.color).withAlpha(std::clamp(stroke.opacity / 100, 0.0, 1.0)));
  bitmap->setLineWidth(t);
  const gfx::Rect local{line.minX() - bounds.minX(), line.minY() - bounds.minY(), line.width, line.height};
  if (corner > 0.01) {
    bitmap->addRoundedRect(local, std::min(corner, std::min(local.width, local.height) / 2));
  } else {
    bitmap->addRect(local);
  }
  bitmap->strokePath();
  return bitmap->makeImage().translated(bounds.minX(), bounds.minY());
}

LayerResult shadowLayer(NativeRenderState& state, double, const SceneLayerInputs& in) {
  if (!(in.padding > 0.0001) && !(in.borderRadius > 0.0001)) return std::nullopt;
  return state.staticShadowOverlay(in.videoRect, in.sourceDisplaySize, in.borderRadius);
}

LayerResult strokeLayer(NativeRenderState& state, double, const SceneLayerInputs& in) {
  return state.staticStrokeOverlay(in.videoRect, in.sourceDisplaySize, in.borderRadius);
}

bool videoStyleLayerChangesBetween(NativeRenderState& state, double t0, double t1) {
  const auto& segments = state.manifest().videoPlan.segments;
  // Another segment may bring another source, another crop of the style or a cut.
  if (resolveActiveVideoSegment(segments, t0) != resolveActiveVideoSegment(segments, t1)) return true;
  const VideoStyleSample a = state.resolveVideoStyle(t0), b = state.resolveVideoStyle(t1);
  return a.padding != b.padding || a.borderRadius != b.borderRadius;
}

}  // namespace vantrel::exporter
