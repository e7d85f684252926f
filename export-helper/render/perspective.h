#pragma once
// The 3-D view of a zoom keyframe: the styled, unzoomed scene drawn as a
// tilted plane by the perspective kernel (vantrel/graphics/perspective.h),
// with depth-of-field blur, softened edges and the keyframe's motion samples,
// over a zoomed copy of the background.
//
// Threads: the shared compositor is made once per process and only read
// afterwards; drawing runs on the render state's thread and renders with its
// renderer. Images returned hold the scene pixels they sample (pool buffers)
// until they go.

#include <memory>
#include <optional>
#include <string>

#include "manifest/manifest.h"
#include "vantrel/graphics/image.h"
#include "vantrel/graphics/perspective.h"
#include "vantrel/graphics/renderer.h"

namespace vantrel::exporter {

class NativeRenderState;

// A frame may be drawn: `matrix` and `inverse` hold 9 numbers, `depth` 3,
// `viewport` and `edgeBlur` 4, at most 5 motion samples, and every number is
// finite (`matrix` is checked although the kernel never reads it). The
// samples' own frames are checked when they are drawn.
bool isValid(const NativePerspectiveFrame& frame);

class PerspectiveCompositor {
 public:
  // The process's compositor, or null when the kernel is not available on this
  // machine (graphics::perspectiveKernelAvailable); decided on first use and
  // never retried.
  static const PerspectiveCompositor* shared();

  // `image` (the cropped, unzoomed scene) and `softened` (its blurred copy, or
  // the scene itself) drawn through `frame` into `rect`; with `includeMotion`
  // the frame's motion samples are laid over it, each at its alpha. Nothing for
  // an invalid frame or sample frame, a sample alpha outside [0, 1] or not
  // finite, or when the kernel yields no image.
  std::optional<graphics::Image> render(const graphics::Image& image, const graphics::Image& softened,
                                        const NativePerspectiveFrame& frame, const graphics::Rect& rect,
                                        bool includeMotion, graphics::Renderer& renderer) const;
  // The same from scene pixels already rendered for the kernel, so the scene
  // can be drawn once and its softened copy worked out at reduced size.
  std::optional<graphics::Image> render(const std::shared_ptr<const graphics::PerspectiveTexture>& image,
                                        const std::shared_ptr<const graphics::PerspectiveTexture>& softened,
                                        const NativePerspectiveFrame& frame, const graphics::Rect& rect,
                                        bool includeMotion) const;

 private:
  PerspectiveCompositor() = default;
};

// Kept between frames of one export: a perspective pose is held unchanged
// from one keyframe to the next, so the background zoomed behind it is drawn
// once per pose rather than once per frame.
struct PerspectiveState {
  std::string backgroundKey;
  std::optional<graphics::Image> zoomedBackground;
};

// The scene step: `stack` (the layers drawn unzoomed over a clear start, with
// the default camera) shown through `frame` over the background zoomed by
// `backgroundZoom` about (`backgroundCenterX`, `backgroundCenterY` from the
// top), cropped to the canvas. The stack is softened with a Gaussian of
// `softenRadius` (at most 500 pixels) only when softenRadius > 0.05 and
// blurRadius > 0. A background zoom at or below zero cannot scale anything and
// counts as 1. Nothing when the frame is invalid, the compositor is missing or
// the drawing fails: the caller fails the frame.
std::optional<graphics::Image> composePerspectiveScene(NativeRenderState& state, const graphics::Image& stack,
                                                       const NativePerspectiveFrame& frame);

}  // namespace vantrel::exporter
