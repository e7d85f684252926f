#include "render/perspective.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "render/render_state.h"

namespace vantrel::exporter {

namespace gfx = vantrel::graphics;

namespace {

bool allFinite(const std::vector<double>& values) {
  return std::all_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); });
}

gfx::PerspectiveKernelArguments kernelArguments(const NativePerspectiveFrame& f, const gfx::Rect& rect) {
  gfx::PerspectiveKernelArguments a;
  const auto& h = f.inverse;
  a.inverseRow0 = {h[0], h[1], h[2]};
  a.inverseRow1 = {h[3], h[4], h[5]};
  a.inverseRow2 = {h[6], h[7], h[8]};
  a.depth = {f.depth[0], f.depth[1], f.depth[2]};
  a.focusDepth = f.focusDepth;
  a.blurSpan = f.blurSpan;
  a.blurRadius = f.blurRadius;
  a.viewport = {f.viewport[0], f.viewport[1], f.viewport[2], f.viewport[3]};
  a.edgeBlur = {f.edgeBlur[0], f.edgeBlur[1], f.edgeBlur[2], f.edgeBlur[3]};
  a.outputSize = {rect.width, rect.height};
  return a;
}

}  // namespace

bool isValid(const NativePerspectiveFrame& f) {
  if (f.matrix.size() != 9 || f.inverse.size() != 9 || f.depth.size() != 3 || f.viewport.size() != 4 ||
      f.edgeBlur.size() != 4)
    return false;
  if (f.motionSamples && f.motionSamples->size() > 5) return false;
  const double singles[] = {f.focusDepth, f.blurSpan, f.blurRadius, f.softenRadius,
                            f.backgroundZoom, f.backgroundCenterX, f.backgroundCenterY};
  return allFinite(f.matrix) && allFinite(f.inverse) && allFinite(f.depth) && allFinite(f.viewport) &&
         allFinite(f.edgeBlur) && std::all_of(std::begin(singles), std::end(singles), [](double v) { return std::isfinite(v); });
}

const PerspectiveCompositor* PerspectiveCompositor::shared() {
  static const PerspectiveCompositor* instance =
      gfx::perspectiveKernelAvailable() ? new PerspectiveCompositor() : nullptr;
  return instance;
}

std::optional<gfx::Image> PerspectiveCompositor::render(const std::shared_ptr<const gfx::PerspectiveTexture>& image,
                                                        const std::shared_ptr<const gfx::PerspectiveTexture>& softened,
                                                        const NativePerspectiveFrame& frame, const gfx::Rect& rect,
                                                        bool includeMotion) const {
  if (!isValid(frame) || !image || !softened) return std::nullopt;
  gfx::Image result = gfx::perspectiveKernelImage(image, softened, kernelArguments(frame, rect), rect);
  if (result.isEmpty()) return std::nullopt;
  if (!includeMotion || !frame.motionSamples) return result;
  // The main drawing at the bottom, each later sample above the earlier ones.
  for (const auto& sample : *frame.motionSamples) {
    if (!std::isfinite(sample.alpha) || sample.alpha < 0 || sample.alpha > 1) return std::nullopt;
    auto drawn = render(image, softened, sample.frame, rect, false);
    if (!drawn) return std::nullopt;
    result = drawn->alphaMultiplied(sample.alpha).composited(result);
  }
  return result;
}

std::optional<gfx::Image> PerspectiveCompositor::render(const gfx::Image& image, const gfx::Image& softened,
                                                        const NativePerspectiveFrame& frame, const gfx::Rect& rect,
                                                        bool includeMotion, gfx::Renderer& renderer) const {
  if (!isValid(frame)) return std::nullopt;
  auto sharp = gfx::PerspectiveTexture::make(renderer, image, rect, rect.maxY());
  if (!sharp) return std::nullopt;
  auto soft = sharp;
  if (softened.node() != image.node()) soft = gfx::PerspectiveTexture::make(renderer, softened, rect, rect.maxY());
  return render(sharp, soft, frame, rect, includeMotion);
}

std::optional<gfx::Image> composePerspectiveScene(NativeRenderState& state, const gfx::Image& stack,
                                                  const NativePerspectiveFrame& frame) {
  if (!isValid(frame)) return std::nullopt;
  const PerspectiveCompositor* compositor = PerspectiveCompositor::shared();
  if (!compositor) return std::nullopt;
  const gfx::Rect canvas = state.canvasRect();
  const double W = canvas.width, H = canvas.height;
  gfx::Renderer& renderer = state.renderer();
  // The stack is drawn once here; the kernel and its motion samples all read these pixels.
  auto sharp = gfx::PerspectiveTexture::make(renderer, stack.cropped(canvas), canvas, H);
  if (!sharp) return std::nullopt;
  auto softened = sharp;
  if (frame.softenRadius > 0.05 && frame.blurRadius > 0) {
    softened = gfx::PerspectiveTexture::softenedFrom(renderer, *sharp, frame.softenRadius);
    if (!softened) return std::nullopt;
  }
  auto drawn = compositor->render(sharp, softened, frame, canvas, true);
  if (!drawn) return std::nullopt;

  auto& cache = state.layerStates().perspective;
  if (!cache) cache = std::make_shared<PerspectiveState>();
  const double b = frame.backgroundZoom > 0 ? frame.backgroundZoom : 1.0;
  char key[128];
  std::snprintf(key, sizeof key, "%.17g_%.17g_%.17g", b, frame.backgroundCenterX, frame.backgroundCenterY);
  if (!cache->zoomedBackground || cache->backgroundKey != key) {
    const gfx::Affine zoom{b, 0, 0, b, W / 2 - b * frame.backgroundCenterX, H / 2 - b * (H - frame.backgroundCenterY)};
    const gfx::Image& background = state.cachedBackgroundImage();
    cache->zoomedBackground = zoom.isIdentity() ? background.cropped(canvas)
                                                : state.materializedLayer(background.transformed(zoom).cropped(canvas));
    cache->backgroundKey = key;
  }
  return drawn->composited(*cache->zoomedBackground).cropped(canvas);
}

bool perspectiveLayerChangesBetween(NativeRenderState& state, double t0, double t1) {
  // The tilted view re-samples the whole stack with its own motion samples;
  // a tilt at either time counts as a change.
  const NativeZoomRuntime* zoom = state.zoomRuntime();
  if (!zoom) return false;
  const auto a = zoom->sample(t0), b = zoom->sample(t1);
  return (a && a->perspective) || (b && b->perspective);
}

}  // namespace vantrel::exporter
