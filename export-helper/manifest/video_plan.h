#pragma once
// Manifest records of the video plan: sources, the cut list, crop, zoom and
// video-style keyframes, cursor samples and settings. Segment and zoom-point
// times are seconds; resolved keyframes and cursor samples are milliseconds of
// output time.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vantrel::exporter {

struct NativeVideoSegmentPlan {
  std::string segmentId;
  std::int64_t sourceIndex = 0;
  double sourceStartTime = 0;
  double sourceEndTime = 0;
  double outputStartTime = 0;
  double outputEndTime = 0;
  double speed = 1;
  std::optional<double> padding;
  std::optional<double> borderRadius;
};

struct NativeCropRegion {
  double x = 0;
  double y = 0;
  double width = 1;
  double height = 1;
};

struct NativeZoomPoint {
  std::string id;
  double startTime = 0;
  double endTime = 0;
  double centerX = 0;
  double centerY = 0;
  double zoomLevel = 1;
  std::optional<double> animationDuration;
  std::optional<double> easeInDuration;
  std::optional<double> easeOutDuration;
  std::string mode;
  std::optional<std::string> zoomPositionMode;
  std::optional<bool> snapToVideoEdge;
  std::optional<double> snapToVideoEdgePadding;
  std::optional<bool> holdZoom;
};

struct NativePerspectiveMotionSample;

struct NativePerspectiveFrame {
  std::optional<std::vector<NativePerspectiveMotionSample>> motionSamples;
  std::vector<double> matrix;    // 3x3 row by row
  std::vector<double> inverse;   // 3x3 row by row, output pixels -> flat scene
  std::vector<double> depth;     // 3 plane coefficients
  double focusDepth = 0;
  double blurSpan = 0;
  double blurRadius = 0;
  double softenRadius = 0;
  std::vector<double> viewport;  // 4 numbers
  std::vector<double> edgeBlur;  // 4 numbers
  double backgroundZoom = 1;
  double backgroundCenterX = 0;
  double backgroundCenterY = 0;
};

struct NativePerspectiveMotionSample {
  NativePerspectiveFrame frame;
  double alpha = 0;
};

struct NativeResolvedZoomFrame {
  std::optional<NativePerspectiveFrame> perspective;
  double timestamp = 0;  // ms
  double centerX = 0;    // output-frame pixels from the left
  double centerY = 0;    // output-frame pixels from the top
  double zoom = 1;
  double cameraOverlayBlend = 0;
  bool isAutoZoom = false;
  bool snapToVideoEdge = false;
  std::optional<double> snapToVideoEdgePadding;
};

struct NativeResolvedVideoStyleFrame {
  double timestamp = 0;  // ms
  double padding = 0;
  double borderRadius = 0;
};

struct NativeCursorPosition {
  double x = 0;
  double y = 0;
  double timestamp = 0;  // ms
  std::optional<bool> pressed;
  std::optional<std::string> cursorType;
};

struct NativeCursorData {
  std::vector<NativeCursorPosition> positions;
  double screenWidth = 0;
  double screenHeight = 0;
  std::optional<std::vector<double>> discontinuityTimestamps;  // ms
};

struct NativeResolvedCursorFrame {
  double timestamp = 0;  // ms
  double x = 0;
  double y = 0;
  bool pressed = false;
  bool visible = true;
  std::string cursorType;
  double opacity = 1;
  double scale = 1;
};

struct NativeCursorSettings {
  bool enabled = false;
  std::string mode;
  std::string style;
  double size = 1;
  double smoothing = 0;
  std::string springPreset;
  bool clickEffect = false;
  bool swayEnabled = false;
  double swayStrength = 0;
  bool loopCursorPosition = false;
  double loopSeconds = 0;
  bool hideWhenIdle = false;
  double hideWhenIdleSeconds = 0;
  bool freezeAtEnd = false;
  double freezeSeconds = 0;
};

struct NativeVideoPlan {
  std::string sourceVideoPath;
  std::vector<std::string> sourceVideoPaths;
  double durationSeconds = 0;
  std::vector<NativeVideoSegmentPlan> segments;
  std::optional<NativeCropRegion> cropRegion;
  std::vector<NativeZoomPoint> zoomPoints;
  std::optional<std::vector<NativeResolvedZoomFrame>> resolvedZoomFrames;
  std::optional<std::vector<NativeResolvedVideoStyleFrame>> resolvedVideoStyleFrames;
  std::optional<NativeCursorData> cursorData;
  std::optional<std::vector<NativeResolvedCursorFrame>> resolvedCursorFrames;
  NativeCursorSettings cursorSettings;
  std::vector<std::string> hiddenCursorSegmentIds;
};

}  // namespace vantrel::exporter
