#pragma once
// The layers of a composed frame, one file each. Every layer is a function of
// the same shape: (render state, output time in seconds, scene inputs) -> an
// image in canvas space, or nothing when it draws nothing at that time. Layers
// that work on an image beneath them (blur overlays on the video, motion
// samples on the zoomed stack) find it in `inputs.target` and return the
// changed image. Called on the render state's thread only.

#include <optional>
#include <string>

#include "manifest/manifest.h"
#include "render/render_geometry.h"
#include "render/runtimes.h"
#include "vantrel/graphics/image.h"

namespace vantrel::exporter {

class NativeRenderState;

struct SceneLayerInputs {
  graphics::Rect videoRect;      // R, canvas space
  double borderRadius = 0;       // r, canvas pixels
  double padding = 0;            // canvas pixels
  VideoLayout layout;
  NativeResolvedZoomCamera camera;
  Size sourceDisplaySize;
  const graphics::Image* target = nullptr;
  // The stack before the zoom transform (motion samples only); `target` is
  // then this stack zoomed by `camera` and cropped to the canvas.
  const graphics::Image* unzoomedStack = nullptr;
};

using LayerResult = std::optional<graphics::Image>;

LayerResult backgroundLayer(NativeRenderState& state, double t, const SceneLayerInputs& inputs);
LayerResult shadowLayer(NativeRenderState& state, double t, const SceneLayerInputs& inputs);
LayerResult blurOverlaysLayer(NativeRenderState& state, double t, const SceneLayerInputs& inputs);
LayerResult annotationsLayer(NativeRenderState& state, double t, const SceneLayerInputs& inputs);
LayerResult imageOverlaysLayer(NativeRenderState& state, double t, const SceneLayerInputs& inputs);
LayerResult strokeLayer(NativeRenderState& state, double t, const SceneLayerInputs& inputs);
LayerResult textOverlaysLayer(NativeRenderState& state, double t, const SceneLayerInputs& inputs);
LayerResult zoomMotionSamplesLayer(NativeRenderState& state, double t, const SceneLayerInputs& inputs);
LayerResult cursorLayer(NativeRenderState& state, double t, const SceneLayerInputs& inputs);
LayerResult cameraOverlayLayer(NativeRenderState& state, double t, const SceneLayerInputs& inputs);
LayerResult subtitlesLayer(NativeRenderState& state, double t, const SceneLayerInputs& inputs);
LayerResult fillerLayer(NativeRenderState& state, double t, const SceneLayerInputs& inputs);

// ---- What changes between two frames ----
//
// Each family answers whether its contribution to the frame at output time t1
// can differ from the one at t0 (seconds), with everything outside the family
// held equal (the source pixels, the video rectangle, the camera). They are
// asked before the frame at t1 is composed, right after the one at t0 was, so
// families that carry state from frame to frame read it as the frame at t1
// will find it. A family that cannot rule a change out answers true. Called
// on the render state's thread.
bool backgroundLayerChangesBetween(NativeRenderState& state, double t0, double t1);
// Padding and corner radius, and with them the shadow, the stroke and the video's rectangle and clip.
bool videoStyleLayerChangesBetween(NativeRenderState& state, double t0, double t1);
// The zoom camera, its motion samples and the camera-overlay blend it carries.
bool zoomLayerChangesBetween(NativeRenderState& state, double t0, double t1);
bool cursorLayerChangesBetween(NativeRenderState& state, double t0, double t1);
bool cameraOverlayLayerChangesBetween(NativeRenderState& state, double t0, double t1);
bool imageOverlaysLayerChangesBetween(NativeRenderState& state, double t0, double t1);
bool textOverlaysLayerChangesBetween(NativeRenderState& state, double t0, double t1);
bool blurOverlaysLayerChangesBetween(NativeRenderState& state, double t0, double t1);
bool annotationsLayerChangesBetween(NativeRenderState& state, double t0, double t1);
bool subtitlesLayerChangesBetween(NativeRenderState& state, double t0, double t1);
bool fillerLayerChangesBetween(NativeRenderState& state, double t0, double t1);
bool perspectiveLayerChangesBetween(NativeRenderState& state, double t0, double t1);

// ---- Background and frame styling ----

enum class ImageFitMode { cover, contain };

// Lanczos resampling of `image` so that its extent fills `rect` (non-uniformly).
graphics::Image scaleImageWithLanczos(const graphics::Image& image, const graphics::Rect& rect);
// Uniform Lanczos scale centred in `rect`: cover fills and overflows, contain fits inside.
graphics::Image fitImageToRectWithMode(const graphics::Image& image, const graphics::Rect& rect, ImageFitMode mode);
graphics::Image makeGradientBackground(const NativeBackgroundSettings& background, const graphics::Rect& rect);
graphics::Image makeWallpaperCoverBackground(const graphics::Image& image, const graphics::Rect& rect,
                                             const std::optional<NativeWallpaperTransform>& transform);
// True for the names the desktop-wallpaper helper writes (any letter case, query or fragment allowed).
bool isDesktopWallpaperName(const std::string& pathOrUrl);
graphics::Image makeBackgroundImage(const NativeRenderState& state, Size canvas);

// Blur radius u and downward shift v of the shadow's first layer for `size`
// (absent: the default) at layout scale s.
struct ShadowMetrics {
  double u = 0;
  double v = 0;
};
ShadowMetrics computeShadowMetrics(std::optional<double> size, double layoutScale);
std::optional<graphics::Image> makeShadowOverlay(const NativeRenderState& state, const graphics::Rect& rect,
                                                 Size sourceDisplaySize, double radius);
// Whole pixels inside the stroke's inner edge, which its line never touches
// (empty without a stroke): layers above the video skip that area.
graphics::Rect strokeClearInterior(const NativeRenderState& state, const graphics::Rect& rect, Size sourceDisplaySize,
                                   double radius);
std::optional<graphics::Image> makeStrokeOverlay(const NativeRenderState& state, const graphics::Rect& rect,
                                                 Size sourceDisplaySize, double radius);

}  // namespace vantrel::exporter
