// Faint copies of the stack along the zoom camera's path since the previous
// frame, over the sharp zoomed frame, kept to the video's area so that
// overlays stay sharp.
//
// Cost. Done literally, every sample re-renders the whole lazy stack
// (background, Lanczos-scaled video, shadow, stroke) through its own zoom and
// is masked and blended over the full output frame. Here:
// - the unzoomed stack is rendered once into a bitmap covering what the
//   current camera and every sample camera see;
// - the samples are laid over that bitmap before the zoom, each moved by its
//   camera relative to the current one: for a pan a shift by whole unzoomed
//   pixels (a window onto the bitmap, no resampling); a zoomed sample holds
//   no finer detail than those pixels anyway;
// - the one zoom of the smeared bitmap gives the frame, so the smear costs no
//   full-size pass of its own;
// - the mask's black areas (around the video rectangle, under the overlays on
//   screen) get the sharp frame back, pixel for pixel.
// Laying the samples on before the zoom equals laying them on after it
// (resampling is linear and the stack is opaque under the smear) except
// within a pixel of the smear's edge, which is why the black areas are
// restored afterwards rather than left out of the smear.

#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

#include "render/layers/layers.h"
#include "render/motion_blur_mask.h"
#include "render/render_state.h"

namespace vantrel::exporter {

namespace gfx = vantrel::graphics;

namespace {

gfx::Affine zoomAbout(double zoom, double centerX, double centerY, Size canvas) {
  return {zoom, 0, 0, zoom, canvas.width / 2 - zoom * centerX, canvas.height / 2 - zoom * centerY};
}

struct MotionSample {
  gfx::Affine zoom;
  double alpha = 0;
};

// Fractions i / (n + 1) of the way from the previous camera to the current
// one, both ends excluded (the current one is the sharp frame itself).
std::vector<MotionSample> motionSamples(const NativeRenderState::ZoomMotionState& motion,
                                        const NativeResolvedZoomCamera& current, Size canvas) {
  const int n = motion.strength > 0.45 ? 6 : 5;
  const auto& p = motion.previousCamera;
  std::vector<MotionSample> samples;
  for (int i = 1; i <= n; ++i) {
    const double f = static_cast<double>(i) / (n + 1);
    samples.push_back({zoomAbout(p.zoom + (current.zoom - p.zoom) * f, p.centerX + (current.centerX - p.centerX) * f,
                                 p.centerY + (current.centerY - p.centerY) * f, canvas),
                       std::clamp((motion.strength * 0.014 + 0.006) * (1 - 0.35 * f), 0.0, 1.0)});
  }
  return samples;
}

// `image` over `region` (whole pixels inside the canvas) rendered into a
// canvas-sized buffer from the renderer's pool: a pan changes the region's
// size from frame to frame, and one fixed shape keeps the pool from filling
// with odd sizes and the frame loop from faulting in fresh pages.
std::optional<gfx::Image> flatten(NativeRenderState& state, const gfx::Image& image, const gfx::Rect& region) {
  const int w = static_cast<int>(std::ceil(state.renderSize().width));
  const int h = static_cast<int>(std::ceil(state.renderSize().height));
  if (region.isEmpty() || !region.isFinite() || w < 1 || h < 1) return std::nullopt;
  // Views start on 64-byte boundaries: 16 pixels.
  const int x0 = static_cast<int>(std::floor(region.minX())) / 16 * 16;
  const int y0 = static_cast<int>(std::floor(region.minY()));
  const int x1 = static_cast<int>(std::ceil(region.maxX())), y1 = static_cast<int>(std::ceil(region.maxY()));
  if (x0 < 0 || y0 < 0 || x1 > w || y1 > h || x1 <= x0 || y1 <= y0) return std::nullopt;
  gfx::BufferRef canvas = state.renderer().buffers()->acquire(w, h, gfx::PixelFormat::bgra8, false);
  // Rows are stored top first: the region's top row is row h - y1.
  uint8_t* origin = canvas->row(h - y1) + static_cast<std::ptrdiff_t>(x0) * 4;
  gfx::BufferRef view = gfx::wrapExternalBuffer(origin, x1 - x0, y1 - y0, canvas->stride(), canvas);
  state.renderer().render(image, *view, {static_cast<double>(x0), static_cast<double>(y0)});
  return gfx::Image::fromBuffer(view).translated(x0, y0);
}

// Each sample the whole stack zoomed by its camera, faded, masked and laid on
// in turn: for when the stack cannot be flattened (a canvas too large for a
// bitmap).
gfx::Image straightforwardSamples(NativeRenderState& state, double t, const SceneLayerInputs& in,
                                  const std::vector<MotionSample>& samples) {
  const gfx::Rect canvas = state.canvasRect();
  const auto mask = state.makeMotionBlurSampleMask(in.videoRect, in.camera, t);
  gfx::Image out = *in.target;
  for (const auto& s : samples) {
    gfx::Image sample = in.unzoomedStack->transformed(s.zoom).cropped(canvas).alphaMultiplied(s.alpha);
    if (mask) sample = state.applySampleMask(sample, *mask, canvas);
    out = sample.composited(out).cropped(canvas);
  }
  return out;
}

}  // namespace

LayerResult zoomMotionSamplesLayer(NativeRenderState& state, double t, const SceneLayerInputs& in) {
  if (!in.target || !in.unzoomedStack || in.camera.perspective) return std::nullopt;
  const auto motion = state.resolveZoomMotionState(in.camera, t);
  if (!motion) return std::nullopt;
  const Size size = state.renderSize();
  const gfx::Rect canvas = state.canvasRect();
  const gfx::Image& unzoomed = *in.unzoomedStack;
  const auto samples = motionSamples(*motion, in.camera, size);
  const gfx::Affine current = zoomAbout(in.camera.zoom, in.camera.centerX, in.camera.centerY, size);
  const gfx::Affine inverse = current.inverted();

  // What any of the cameras sees of the unzoomed stack, with room for the
  // resampling filter, so the bitmap's own edges never show.
  gfx::Rect seen = inverse.apply(canvas);
  for (const auto& s : samples) seen = seen.unionWith(s.zoom.inverted().apply(canvas));
  const gfx::Rect region = seen.insetBy(-4, -4).intersection(unzoomed.extent()).intersection(canvas).integral();
  const auto flat = flatten(state, unzoomed, region);
  if (!flat) return straightforwardSamples(state, t, in, samples);
  const gfx::Image sharp = flat->transformed(current).cropped(canvas);

  const MotionBlurMaskShape shape = motionBlurMaskShape(state, in.videoRect, in.camera, t);
  // One pixel beyond the video rectangle, so that the zoom's filter finds
  // smeared pixels right up to its edge; the outside gets the sharp frame back.
  const gfx::Rect smearArea = inverse.apply(shape.white).insetBy(-1, -1).intersection(region);
  if (shape.white.isEmpty() || smearArea.isEmpty()) return sharp;

  // Each sample is the bitmap moved by its camera relative to the current one
  // (a plain shift for a pan), laid on in turn as the frame would have them:
  // rounding then matches, where a separate sum of such faint layers would
  // lose up to a level per sample.
  gfx::Image smeared = *flat;
  for (const auto& s : samples) {
    gfx::Affine move = s.zoom.then(inverse);
    // A pan moves by a plain shift; whole pixels make it a window onto the
    // bitmap instead of a resampling (which costs more than the rest of the
    // sample). A faint copy half an unzoomed pixel off its place does not show.
    if (std::abs(move.a - 1) < 1e-9 && std::abs(move.d - 1) < 1e-9 && move.b == 0 && move.c == 0)
      move = gfx::Affine::translation(std::round(move.tx), std::round(move.ty));
    smeared = flat->transformed(move).cropped(smearArea).alphaMultiplied(s.alpha).composited(smeared);
  }
  // Flattened over the current camera's view, so that the zoom resamples flat pixels.
  const gfx::Rect view = inverse.apply(canvas).insetBy(-3, -3).intersection(region).integral();
  gfx::Image out = flatten(state, smeared, view).value_or(smeared).transformed(current).cropped(canvas);
  // The mask's black areas, by pixel centre: around the video rectangle and
  // under the overlays on screen.
  const gfx::Rect& w = shape.white;
  const gfx::Rect around[] = {{canvas.minX(), w.maxY(), canvas.width, canvas.maxY() - w.maxY()},
                              {canvas.minX(), canvas.minY(), canvas.width, w.minY() - canvas.minY()},
                              {canvas.minX(), w.minY(), w.minX() - canvas.minX(), w.height},
                              {w.maxX(), w.minY(), canvas.maxX() - w.maxX(), w.height}};
  for (const auto& r : around)
    if (!r.isEmpty()) out = sharp.cropped(r).composited(out);
  for (const auto& r : shape.black) out = sharp.cropped(r).composited(out);
  return out.cropped(canvas);
}

bool zoomLayerChangesBetween(NativeRenderState& state, double t0, double t1) {
  const NativeZoomRuntime* zoom = state.zoomRuntime();
  if (!zoom) return false;
  // Each frame also looks one frame step back (motion samples, the cursor
  // trail's earlier camera), so the camera must hold still over both steps.
  // A tilted view belongs to the perspective family.
  const double step = state.zoomSampleStepSeconds();
  const auto now = zoom->sample(t1);
  for (const double t : {t0, std::max(t0 - step, 0.0), std::max(t1 - step, 0.0)}) {
    const auto other = zoom->sample(t);
    if (other.has_value() != now.has_value()) return true;
    if (other && (other->centerX != now->centerX || other->centerY != now->centerY || other->zoom != now->zoom ||
                  other->cameraOverlayBlend != now->cameraOverlayBlend || other->isAutoZoom != now->isAutoZoom))
      return true;
  }
  return false;
}

}  // namespace vantrel::exporter
