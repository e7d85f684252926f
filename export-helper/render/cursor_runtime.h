#pragma once
// The cursor timeline: which pointer state an output time shows, either from
// frames the host resolved itself or from the recorded pointer samples, with
// spring smoothing, click pulses, idle hiding, the loop back to a start
// position, the still end and the fades around hidden segments; and the sway
// that tilts the glyph with its horizontal speed.
//
// Units: positions are fractions (0...1) of the recorded picture, origin at the
// top left; times inside the runtime are milliseconds of output time, the
// public `sample` takes seconds.
//
// Threads: a runtime is immutable once built (the spring path is integrated in
// the constructor), so any thread may sample it. A CursorMotionResolver is
// state that moves forward with every drawn cursor: one thread, frames in
// output order.

#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "manifest/manifest.h"
#include "vantrel/graphics/geometry.h"

namespace vantrel::exporter {

struct NativeResolvedCursor {
  double x = 0.5;  // fraction of the picture's width, from the left
  double y = 0.5;  // fraction of its height, from the top
  bool pressed = false;
  bool visible = true;
  std::string cursorType = "default";
  double opacity = 1;
  double scale = 1;
};

struct NativeCursorSnapshot {
  NativeResolvedCursor cursor;
  int beforeIndex = -1;  // last raw sample at or before the time
};

struct NativeBakedCursorFrame {
  double time = 0;  // ms
  double x = 0;
  double y = 0;
};

struct NativeSpringParams {
  double stiffness = 0;
  double damping = 0;
  double mass = 0;
};

// "slow", "smooth", "mellow", "fast"; any other name is "smooth".
NativeSpringParams springPresetNamed(const std::string& name);

// The ease of the loop back to the start: cubic Bézier (0.81, 0.06), (0.29, 0.98)
// solved for x = u; 0 for u <= 0, 1 for u >= 1.
double cursorLoopEasing(double u);

// One step of a damped spring along one axis; `position` and `velocity` are
// updated in place (velocity in units per second, `dt` in seconds).
void advanceSpring(double& position, double& velocity, double target, const NativeSpringParams& spring, double dt);

class NativeCursorRuntime {
 public:
  explicit NativeCursorRuntime(const NativeVideoPlan& plan);

  bool enabled() const { return enabled_; }
  const NativeCursorSettings& settings() const { return settings_; }

  // The cursor at output time `timeSeconds`; nothing when disabled or without
  // samples. `loopTargetTimeMs` picks the position the loop returns to (the
  // first segment's start when absent).
  std::optional<NativeResolvedCursor> sample(double timeSeconds,
                                             std::optional<double> loopTargetTimeMs = std::nullopt) const;

  // Pieces of `sample`, exposed for tests (m in milliseconds).
  NativeCursorSnapshot snapshot(double m) const;
  double clickScale(double m) const;
  const std::vector<NativeBakedCursorFrame>& bakedFrames() const { return bakedFrames_; }

 private:
  std::optional<NativeResolvedCursor> sampleResolvedFrames(double m) const;
  void applyIdleFade(NativeResolvedCursor& cursor, double m, double from) const;
  void applyHiddenSegmentTransition(NativeResolvedCursor& cursor, double m) const;
  double lastActivityTime(int index) const;
  // Index of the last sample with timestamp <= m (-1: none), and of the first
  // with timestamp >= m (size(): none), in list order.
  int lastAtOrBefore(double m) const;
  int firstAtOrAfter(double m) const;
  int firstAfter(double m) const;
  // First discontinuity in (from, to], if any.
  std::optional<double> discontinuityIn(double from, double to) const;
  graphics::Point springPathAt(double m) const;
  void bakeSpringPath();

  bool enabled_ = false;
  NativeCursorSettings settings_;
  std::vector<NativeCursorPosition> positions_;
  std::vector<NativeResolvedCursorFrame> resolvedFrames_;
  std::vector<double> discontinuities_;
  std::vector<NativeBakedCursorFrame> bakedFrames_;
  std::vector<NativeVideoSegmentPlan> segments_;
  std::unordered_set<std::string> hiddenSegmentIDs_;
  std::optional<double> defaultLoopTargetTimeMs_;
  // Samples in time order allow binary searches; otherwise every look-up scans.
  bool positionsSorted_ = true;
  // Per sample: time of the last press and of the last release among samples
  // 1...i (-1 when none), so the click scale needs no scan.
  std::vector<double> lastPressTime_;
  std::vector<double> lastReleaseTime_;
};

// Tilt of the glyph from its horizontal speed. Frames must be drawn in order.
class CursorMotionResolver {
 public:
  // Rotation in radians for a cursor drawn at `point` (canvas pixels) at `timeMs`.
  double rotation(graphics::Point point, double timeMs, const NativeCursorSettings& settings);
  // The tilt the last call left (nothing before the first): while it is 0 and
  // the pointer keeps still, the next call gives 0 again.
  std::optional<double> lastRotation() const {
    return state_ ? std::optional<double>(state_->rotation) : std::nullopt;
  }

 private:
  struct State {
    double x = 0;
    double y = 0;
    double timeMs = 0;
    double rotation = 0;
  };
  std::optional<State> state_;
};

}  // namespace vantrel::exporter
