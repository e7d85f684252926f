#pragma once
// Timelines sampled per frame: the zoom camera and the animated padding and
// corner radius (the cursor's timeline is in cursor_runtime.h). Built once per export from the manifest's
// baked keyframes and immutable afterwards, so any thread may sample them.
// Times passed in are seconds of output time; keyframes are milliseconds.

#include <optional>
#include <vector>

#include "manifest/manifest.h"
#include "plan/geometry.h"

namespace vantrel::exporter {

struct NativeBakedZoomFrame {
  std::optional<NativePerspectiveFrame> perspective;
  double timestamp = 0;  // ms
  double centerX = 0;    // canvas pixels from the left
  double centerYTopLeft = 0;
  double zoom = 1;
  double cameraOverlayBlend = 0;
  bool isAutoZoom = false;
};

// The camera of one frame; centre in canvas space (y up).
struct NativeResolvedZoomCamera {
  std::optional<NativePerspectiveFrame> perspective;
  double centerX = 0;
  double centerY = 0;
  double zoom = 1;
  double cameraOverlayBlend = 0;
  bool isAutoZoom = false;

  static NativeResolvedZoomCamera defaultFor(Size canvas) {
    return {std::nullopt, canvas.width / 2, canvas.height / 2, 1, 0, false};
  }
};

class NativeZoomRuntime {
 public:
  NativeZoomRuntime(const NativeExportManifestV1& manifest, Size renderSize, const VideoTrackMetadata& base);
  bool enabled() const { return !frames_.empty(); }
  const std::vector<NativeBakedZoomFrame>& frames() const { return frames_; }
  std::optional<NativeResolvedZoomCamera> sample(double timeSeconds) const;

 private:
  std::vector<NativeBakedZoomFrame> frames_;
  double renderHeight_ = 0;
};

// Same fields as the manifest's keyframe; baking only clamps and sorts.
using NativeBakedVideoStyleFrame = NativeResolvedVideoStyleFrame;

struct VideoStyleSample {
  double padding = 0;
  double borderRadius = 0;
};

class NativeVideoStyleRuntime {
 public:
  explicit NativeVideoStyleRuntime(const NativeVideoPlan& plan);
  bool hasFrames() const { return !frames_.empty(); }
  std::optional<VideoStyleSample> sample(double timeSeconds) const;

 private:
  std::vector<NativeBakedVideoStyleFrame> frames_;
};


}  // namespace vantrel::exporter
