#include "render/camera_runtime.h"

#include <algorithm>
#include <cmath>

namespace vantrel::exporter {

namespace {

constexpr double kTimeSlack = 1e-6;
// Voiceover camera clips fade in and out over this long unless the editor split them there.
constexpr double kVoiceoverFadeSeconds = 0.3;
// A move of the bubble to another corner takes this long whatever the settings say.
constexpr double kCornerToCornerSeconds = 0.5;
// Ghost k trails the bubble by k times this share of the transition.
constexpr double kGhostProgressStep = 0.035;
constexpr int kGhostCount = 4;

double clamp01(double v) { return std::clamp(v, 0.0, 1.0); }

struct BezierCurve {
  double x1, y1, x2, y2;
};

BezierCurve curveFor(CameraTransitionMode mode) {
  switch (mode) {
    case CameraTransitionMode::screenSlide:
      return {0.35, 0, 0.15, 1};
    case CameraTransitionMode::cornerToCorner:
      return {0.3, 0.9, 0.4, 1};
    case CameraTransitionMode::position:
      return {0.22, 1, 0.36, 1};
    case CameraTransitionMode::slide:
      return {0.68, 0, 0, 0.99};
  }
  return {0.22, 1, 0.36, 1};
}

CameraDrawRect pulledTowards(const CameraDrawRect& rect, const std::optional<CameraDrawRect>& canvasRect, double b) {
  return canvasRect ? interpolateCameraRect(rect, *canvasRect, b) : rect;
}

}  // namespace

const char* cameraTransitionModeName(CameraTransitionMode mode) {
  switch (mode) {
    case CameraTransitionMode::position:
      return "position";
    case CameraTransitionMode::slide:
      return "slide";
    case CameraTransitionMode::screenSlide:
      return "screen-slide";
    case CameraTransitionMode::cornerToCorner:
      return "corner-to-corner";
  }
  return "position";
}

double solveBezierTForX(double x, double x1, double x2) {
  x = clamp01(x);
  const double c = 3 * x1;
  const double b = 3 * (x2 - x1) - c;
  const double a = 1 - c - b;
  auto X = [&](double s) { return ((a * s + b) * s + c) * s; };
  auto dX = [&](double s) { return (3 * a * s + 2 * b) * s + c; };
  double s = x;
  for (int i = 0; i < 8; ++i) {
    const double d = dX(s);
    if (std::abs(d) < 1e-6) break;
    s -= (X(s) - x) / d;
  }
  if (s >= 0 && s <= 1) return s;
  // Newton left the curve (a flat stretch of X): bisection cannot.
  double lo = 0, hi = 1;
  s = x;
  for (int i = 0; i < 12; ++i) {
    const double v = X(s);
    if (std::abs(v - x) < 1e-7) break;
    (v < x ? lo : hi) = s;
    s = (lo + hi) / 2;
  }
  return s;
}

double cubicBezierEase(double x, double x1, double y1, double x2, double y2) {
  if (!(x > 0)) return 0;
  if (x >= 1) return 1;
  const double s = solveBezierTForX(x, x1, x2);
  const double u = 1 - s;
  return 3 * u * u * s * y1 + 3 * u * s * s * y2 + s * s * s;
}

double easedCameraTransitionProgress(CameraTransitionMode mode, double progress) {
  const BezierCurve k = curveFor(mode);
  return cubicBezierEase(progress, k.x1, k.y1, k.x2, k.y2);
}

CameraDrawRect computeCameraRect(const NativeCameraSettings& settings, double W, double H,
                                 const VideoLayout& layout) {
  CameraDrawRect r;
  if (settings.positionMode == "screen") {
    r.x = 0;
    r.y = 0;
    r.w = W;
    r.h = H;
    r.aspect = H < 1 ? W : std::max(W / H, 0.0001);
    r.radius = 0;  // a full-canvas camera has no corners of its own
    r.isScreen = true;
    return r;
  }
  const double aspect = settings.shape == "9:16" ? 0.5625 : settings.shape == "16:9" ? 1.7777777777777777 : 1.0;
  double bx = 0, by = 0, bw = W, bh = H;
  if (settings.positionMode == "video") {
    bx = layout.x;
    by = layout.top;
    bw = layout.width;
    bh = layout.height;
  }
  const double s = std::max(settings.scale / 100, 0.01);
  r.h = std::max(s * std::min(bw, bh) * 0.25, 1.0);
  r.w = std::max(aspect * r.h, 1.0);
  const double p = std::max(settings.padding, 0.0);
  const std::string& ha = settings.horizontalAlignment;
  const std::string& va = settings.verticalAlignment;
  r.x = ha == "left" ? bx + p : ha == "center" ? bx + (bw - r.w) / 2 : bx + bw - r.w - p;
  r.y = va == "top" ? by + p : va == "middle" ? by + (bh - r.h) / 2 : by + bh - r.h - p;
  r.radius = std::max(settings.radius, 0.0);
  r.aspect = aspect;
  r.isScreen = false;
  return r;
}

bool didCameraLayoutChange(const NativeCameraSettings& a, const NativeCameraSettings& b) {
  return a.scale != b.scale || a.padding != b.padding || a.radius != b.radius || a.shape != b.shape ||
         a.positionMode != b.positionMode || a.verticalAlignment != b.verticalAlignment ||
         a.horizontalAlignment != b.horizontalAlignment;
}

CameraDrawRect interpolateCameraRect(const CameraDrawRect& a, const CameraDrawRect& b, double f) {
  auto mix = [f](double p, double q) { return p + (q - p) * f; };
  return {mix(a.x, b.x), mix(a.y, b.y), mix(a.w, b.w), mix(a.h, b.h), mix(a.radius, b.radius),
          mix(a.aspect, b.aspect), false};
}

graphics::Rect cameraDrawRectInCanvasSpace(const CameraDrawRect& rect, double canvasHeight) {
  return {rect.x, canvasHeight - rect.y - rect.h, rect.w, rect.h};
}

NativeCameraRuntime::NativeCameraRuntime(const NativeCameraPlan& plan) : plan_(&plan) {
  const std::set<std::string> hidden(plan.hiddenCameraSegmentIds.begin(), plan.hiddenCameraSegmentIds.end());
  settingsByIndex_.reserve(plan.cameraSegments.size());
  hiddenByIndex_.reserve(plan.cameraSegments.size());
  for (const auto& segment : plan.cameraSegments) {
    settingsByIndex_.push_back(resolveCameraSettings(segment.id));
    hiddenByIndex_.push_back(hidden.count(segment.id) > 0);
  }
}

const NativeCameraSettings& NativeCameraRuntime::resolveCameraSettings(const std::string& segmentId) const {
  const auto it = plan_->cameraSettingsById.find(segmentId);
  return it == plan_->cameraSettingsById.end() ? defaults_ : it->second;
}

std::optional<ActiveCameraFrame> NativeCameraRuntime::resolveActiveCamera(double t) const {
  const auto& segments = plan_->cameraSegments;
  for (std::size_t i = segments.size(); i-- > 0;) {
    const NativeCameraSegment& s = segments[i];
    if (!(s.startTime - kTimeSlack <= t && t <= s.endTime + kTimeSlack)) continue;
    if (hiddenByIndex_[i] || !settingsByIndex_[i].showCamera) continue;
    return ActiveCameraFrame{&s, i, settingsByIndex_[i]};
  }
  return std::nullopt;
}

std::optional<CameraTransitionState> NativeCameraRuntime::resolveCameraTransitionState(
    double t, const ActiveCameraFrame& active) const {
  const NativeCameraSegment& current = *active.segment;
  if (active.segmentIndex == 0 || active.segmentIndex >= plan_->cameraSegments.size() || t < current.startTime) {
    return std::nullopt;
  }
  const NativeCameraSegment& prev = plan_->cameraSegments[active.segmentIndex - 1];
  const NativeCameraSettings& before = settingsByIndex_[active.segmentIndex - 1];
  const NativeCameraSettings& now = active.settings;
  const double u = t - current.startTime;

  const bool backToBack = std::abs(prev.endTime - current.startTime) <= kTimeSlack;
  const double prevRecordingEnd = prev.recordingStartTime + std::max(prev.endTime - prev.startTime, 0.0);
  const bool seamless = std::abs(prevRecordingEnd - current.recordingStartTime) <= 0.05;
  if (prev.videoUrl == current.videoUrl && backToBack && seamless && !didCameraLayoutChange(before, now)) {
    return std::nullopt;
  }

  const bool screen = before.positionMode == "screen" || now.positionMode == "screen";
  const bool slide = now.positionTransitionStyle == "slide";
  const bool alignmentsUnchanged =
      before.verticalAlignment == now.verticalAlignment && before.horizontalAlignment == now.horizontalAlignment;
  const bool modesEqual = before.positionMode == now.positionMode;
  if ((alignmentsUnchanged && (modesEqual || screen)) || (!alignmentsUnchanged && screen) || slide) {
    const double d = std::max(now.animationDuration, 0.0);
    if (!(d > 0) || u >= d) return std::nullopt;
    const CameraTransitionMode mode = screen  ? CameraTransitionMode::screenSlide
                                      : slide ? CameraTransitionMode::slide
                                              : CameraTransitionMode::position;
    return CameraTransitionState{before, mode, std::min(u / d, 1.0)};
  }
  if (u >= kCornerToCornerSeconds) return std::nullopt;
  return CameraTransitionState{before, CameraTransitionMode::cornerToCorner, std::min(u / kCornerToCornerSeconds, 1.0)};
}

std::optional<ResolvedCameraOverlayPlacement> NativeCameraRuntime::resolveCameraOverlayPlacement(
    double t, const ActiveCameraFrame& active, const VideoLayout& layout, double blend, double W, double H) const {
  const NativeCameraSettings& settings = active.settings;
  const CameraDrawRect target = computeCameraRect(settings, W, H, layout);
  if (!std::isfinite(target.x) || !std::isfinite(target.y) || !std::isfinite(target.w) || !std::isfinite(target.h)) {
    return std::nullopt;
  }

  // A video-anchored bubble slides to its canvas spot as the zoom takes over.
  const double b = std::isfinite(blend) ? clamp01(blend) : 0.0;
  std::optional<CameraDrawRect> canvasRect;
  if (settings.positionMode == "video" && b > 0) {
    NativeCameraSettings onCanvas = settings;
    onCanvas.positionMode = "canvas";
    canvasRect = computeCameraRect(onCanvas, W, H, layout);
  }

  ResolvedCameraOverlayPlacement placement;
  placement.rect = pulledTowards(target, canvasRect, b);
  const auto transition = resolveCameraTransitionState(t, active);
  if (transition) {
    const CameraDrawRect from = computeCameraRect(transition->previousSettings, W, H, layout);
    auto at = [&](double progress) {
      const double e = easedCameraTransitionProgress(transition->mode, progress);
      return pulledTowards(interpolateCameraRect(from, target, e), canvasRect, b);
    };
    placement.rect = at(transition->progress);

    const CameraDrawRect to = pulledTowards(target, canvasRect, b);
    const double distance = std::hypot((to.x + to.w / 2) - (from.x + from.w / 2), (to.y + to.h / 2) - (from.y + from.h / 2));
    const double shorter = std::min(W, H);
    // Long moves get fainter ghosts so that they do not read as extra bubbles.
    const double travel = shorter > 0 ? clamp01((distance / shorter - 0.1) / 0.4) : 0.0;
    const double g = 0.125 * (1 - 0.25 * travel);
    for (int k = kGhostCount; k >= 1; --k) {
      placement.ghostRects.push_back(
          {at(std::max(transition->progress - kGhostProgressStep * k, 0.0)), g * (1 - k / 5.0)});
    }
  }

  const NativeCameraSegment& segment = *active.segment;
  if (segment.voiceoverSegmentId) {
    const double fadeIn = segment.splitBoundaryLeft ? 1.0 : clamp01((t - segment.startTime) / kVoiceoverFadeSeconds);
    const double fadeOut = segment.splitBoundaryRight ? 1.0 : clamp01((segment.endTime - t) / kVoiceoverFadeSeconds);
    placement.opacity = std::min(fadeIn, fadeOut);
  }
  placement.drawFullscreen = placement.rect.isScreen && !transition;
  placement.mirrored = settings.mirrored.value_or(false);
  return placement;
}

}  // namespace vantrel::exporter
