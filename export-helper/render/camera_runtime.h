#pragma once
// The camera bubble: which camera segment shows at an output time, where its
// rectangle sits (a corner of the canvas or of the video, or the whole canvas),
// how it moves when the layout changes from one segment to the next (eased,
// with faint ghost copies trailing behind), the pull of a video-anchored bubble
// towards its canvas spot as the zoom camera takes over, and the voiceover
// fades. Pure functions of their arguments, usable from any thread.
//
// Units: times are seconds of output time. Rectangles (`CameraDrawRect`) are
// canvas pixels measured from the TOP-LEFT corner, as the editor lays them
// out; `cameraDrawRectInCanvasSpace` turns one into drawing space (y up).

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "manifest/manifest.h"
#include "render/render_geometry.h"
#include "vantrel/graphics/geometry.h"
#include "vantrel/graphics/image.h"

namespace vantrel::exporter {

struct ActiveCameraFrame {
  const NativeCameraSegment* segment = nullptr;  // points into the manifest's camera plan
  std::size_t segmentIndex = 0;                  // its index in `cameraSegments`
  NativeCameraSettings settings;
};

struct CameraDrawRect {
  double x = 0;  // left, canvas pixels from the left edge
  double y = 0;  // top, canvas pixels from the top edge
  double w = 0;
  double h = 0;
  double radius = 0;  // corner radius, canvas pixels
  double aspect = 1;  // width / height of the picture shown in it
  bool isScreen = false;
};

struct CameraGhostRect {
  CameraDrawRect rect;
  double alpha = 0;
};

enum class CameraTransitionMode { position, slide, screenSlide, cornerToCorner };

// The names the editor uses for the modes ("position", "slide", "screen-slide", "corner-to-corner").
const char* cameraTransitionModeName(CameraTransitionMode mode);

struct CameraTransitionState {
  NativeCameraSettings previousSettings;
  CameraTransitionMode mode = CameraTransitionMode::position;
  double progress = 0;  // 0...1, not yet eased
};

struct ResolvedCameraOverlayPlacement {
  CameraDrawRect rect;
  double opacity = 1;
  bool drawFullscreen = false;
  bool mirrored = false;
  // Drawn before (under) the bubble, oldest first; empty outside transitions.
  std::vector<CameraGhostRect> ghostRects;
};

// ---- Timing curves ----

// Parameter s of a cubic Bezier timing curve from (0,0) to (1,1) with control
// points (x1, y1), (x2, y2) whose X(s) equals x (clamped to 0...1).
double solveBezierTForX(double x, double x1, double x2);
// The curve's eased value at progress x (clamped; 0 and 1 map to themselves).
double cubicBezierEase(double x, double x1, double y1, double x2, double y2);
// The eased value of a transition of `mode` at `progress`.
double easedCameraTransitionProgress(CameraTransitionMode mode, double progress);

// ---- Placement ----

// Where a bubble with `settings` goes on a W x H canvas whose video sits at `layout`.
CameraDrawRect computeCameraRect(const NativeCameraSettings& settings, double canvasWidth, double canvasHeight,
                                 const VideoLayout& layout);
// True when the two settings put the bubble somewhere else or make it look different.
bool didCameraLayoutChange(const NativeCameraSettings& previous, const NativeCameraSettings& next);
// a + (b - a) * f for position, size, radius and aspect; never a screen rectangle.
CameraDrawRect interpolateCameraRect(const CameraDrawRect& a, const CameraDrawRect& b, double f);
// Drawing-space rectangle (origin bottom left) of `rect` on a canvas `canvasHeight` high.
graphics::Rect cameraDrawRectInCanvasSpace(const CameraDrawRect& rect, double canvasHeight);

// The camera plan prepared for per-frame lookups: each segment's settings
// resolved once and the hidden ids as a set. Immutable after construction;
// holds a pointer to `plan`, which must outlive it.
class NativeCameraRuntime {
 public:
  explicit NativeCameraRuntime(const NativeCameraPlan& plan);

  const NativeCameraPlan& plan() const { return *plan_; }
  // The segment's own settings, or the defaults when it has no entry.
  const NativeCameraSettings& resolveCameraSettings(const std::string& segmentId) const;
  // The last segment of the list covering t (1e-6 of slack at both ends) that
  // is neither hidden nor switched off; nothing when none.
  std::optional<ActiveCameraFrame> resolveActiveCamera(double t) const;
  // The move from the previous segment's layout, while one runs at t.
  std::optional<CameraTransitionState> resolveCameraTransitionState(double t, const ActiveCameraFrame& active) const;
  // The bubble at t: its rectangle (after the transition and the pull towards
  // the canvas spot by `cameraOverlayBlend`), opacity, ghosts and mirroring.
  std::optional<ResolvedCameraOverlayPlacement> resolveCameraOverlayPlacement(double t,
                                                                              const ActiveCameraFrame& active,
                                                                              const VideoLayout& baseVideoLayout,
                                                                              double cameraOverlayBlend,
                                                                              double canvasWidth,
                                                                              double canvasHeight) const;

 private:
  const NativeCameraPlan* plan_;
  std::vector<NativeCameraSettings> settingsByIndex_;
  std::vector<bool> hiddenByIndex_;
  NativeCameraSettings defaults_ = NativeCameraSettings::defaults();
};

// One bubble drawn from the camera's upright frame (canvas space, y up): the
// frame centre-cropped to the rectangle's aspect, Lanczos-scaled into it (or
// over the whole canvas when `drawFullscreen`), faded by `opacity`, flipped
// left to right within its rectangle when `mirrored`, corners rounded by the
// rectangle's radius. Ghosts are not drawn here. Nothing when the rectangle
// is empty or not finite. (Defined with the layer, layers/camera_overlay.cpp.)
std::optional<graphics::Image> composeCameraOverlayFromCIImage(const graphics::Image& rawUprightImage,
                                                               const ResolvedCameraOverlayPlacement& placement,
                                                               Size canvas);

// What the camera layer keeps between frames of one export (held by the
// render state, made on first use, touched only from the render thread).
struct CameraOverlayState {
  explicit CameraOverlayState(const NativeCameraPlan& plan) : runtime(plan) {}
  NativeCameraRuntime runtime;
};

}  // namespace vantrel::exporter
