#include "render/runtimes.h"

#include <algorithm>
#include <cmath>

namespace vantrel::exporter {

namespace {

// Index pair around m (ms) for a list sorted by timestamp with at least two
// entries and first.timestamp < m < last.timestamp; `tolerance` widens the test.
template <typename Frame>
std::pair<std::size_t, std::size_t> bracket(const std::vector<Frame>& frames, double m, double tolerance) {
  std::size_t lo = 0, hi = frames.size() - 1;
  while (lo + 1 < hi) {
    const std::size_t mid = (lo + hi) / 2;
    if (m + tolerance >= frames[mid].timestamp) {
      lo = mid;
    } else {
      hi = mid;
    }
  }
  return {lo, hi};
}

double lerp(double a, double b, double u) { return a + (b - a) * u; }

}  // namespace

NativeZoomRuntime::NativeZoomRuntime(const NativeExportManifestV1& manifest, Size renderSize,
                                     const VideoTrackMetadata&)
    : renderHeight_(renderSize.height) {
  const auto& source = manifest.videoPlan.resolvedZoomFrames;
  std::vector<NativeResolvedZoomFrame> kept;
  if (source) {
    for (const auto& f : *source) {
      if (std::isfinite(f.timestamp) && std::isfinite(f.centerX) && std::isfinite(f.centerY) &&
          std::isfinite(f.zoom) && std::isfinite(f.cameraOverlayBlend)) {
        kept.push_back(f);
      }
    }
  }
  std::stable_sort(kept.begin(), kept.end(), [](const auto& a, const auto& b) {
    return a.timestamp < b.timestamp || (a.timestamp == b.timestamp && a.zoom < b.zoom);
  });
  for (const auto& f : kept) {
    frames_.push_back({f.perspective, f.timestamp, f.centerX, f.centerY, std::max(f.zoom, 1.0),
                       std::clamp(f.cameraOverlayBlend, 0.0, 1.0), f.isAutoZoom});
  }
}

std::optional<NativeResolvedZoomCamera> NativeZoomRuntime::sample(double timeSeconds) const {
  if (frames_.empty()) return std::nullopt;
  const double m = timeSeconds * 1000;
  NativeBakedZoomFrame f;
  if (m <= frames_.front().timestamp) {
    f = frames_.front();
  } else if (m >= frames_.back().timestamp) {
    f = frames_.back();
  } else {
    auto [lo, hi] = bracket(frames_, m, 0);
    const auto& a = frames_[lo];
    const auto& b = frames_[hi];
    if (a.timestamp == b.timestamp) {
      f = a;
    } else {
      const double u = std::clamp((m - a.timestamp) / (b.timestamp - a.timestamp), 0.0, 1.0);
      // A perspective view is a whole pose; blending two would tear it.
      f = u < 0.5 ? a : b;
      f.centerX = lerp(a.centerX, b.centerX, u);
      f.centerYTopLeft = lerp(a.centerYTopLeft, b.centerYTopLeft, u);
      f.zoom = lerp(a.zoom, b.zoom, u);
      f.cameraOverlayBlend = lerp(a.cameraOverlayBlend, b.cameraOverlayBlend, u);
    }
  }
  return NativeResolvedZoomCamera{f.perspective,         f.centerX, renderHeight_ - f.centerYTopLeft, f.zoom,
                                  f.cameraOverlayBlend, f.isAutoZoom};
}

NativeVideoStyleRuntime::NativeVideoStyleRuntime(const NativeVideoPlan& plan) {
  if (plan.resolvedVideoStyleFrames) {
    for (const auto& f : *plan.resolvedVideoStyleFrames) {
      if (std::isfinite(f.timestamp) && std::isfinite(f.padding) && std::isfinite(f.borderRadius)) {
        frames_.push_back({f.timestamp, std::max(f.padding, 0.0), std::max(f.borderRadius, 0.0)});
      }
    }
  }
  std::stable_sort(frames_.begin(), frames_.end(), [](const auto& a, const auto& b) {
    return a.timestamp < b.timestamp || (a.timestamp == b.timestamp && a.padding < b.padding);
  });
}

std::optional<VideoStyleSample> NativeVideoStyleRuntime::sample(double timeSeconds) const {
  if (frames_.empty()) return std::nullopt;
  const double m = timeSeconds * 1000;
  if (m <= frames_.front().timestamp) return VideoStyleSample{frames_.front().padding, frames_.front().borderRadius};
  if (m >= frames_.back().timestamp) return VideoStyleSample{frames_.back().padding, frames_.back().borderRadius};
  // The editor's keyframe times are rounded; a hair of tolerance keeps a
  // sample taken right on a keyframe from falling into the previous span.
  auto [lo, hi] = bracket(frames_, m, 0.001);
  const auto& a = frames_[lo];
  const auto& b = frames_[hi];
  if (a.timestamp == b.timestamp) return VideoStyleSample{a.padding, a.borderRadius};
  const double u = std::clamp((m - a.timestamp) / (b.timestamp - a.timestamp), 0.0, 1.0);
  return VideoStyleSample{lerp(a.padding, b.padding, u), lerp(a.borderRadius, b.borderRadius, u)};
}

}  // namespace vantrel::exporter
