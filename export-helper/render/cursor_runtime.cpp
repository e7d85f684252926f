#include "render/cursor_runtime.h"

#include <algorithm>
#include <cmath>

namespace vantrel::exporter {

namespace {

constexpr double kSpringStepMs = 16.67;
constexpr double kSpringStepSeconds = 0.01667;
constexpr double kFadeMs = 220;
constexpr double kPi = 3.14159265358979323846;

bool pressedOf(const NativeCursorPosition& p) { return p.pressed.value_or(false); }
const std::string& typeOf(const NativeCursorPosition& p) {
  static const std::string fallback = "default";
  return p.cursorType ? *p.cursorType : fallback;
}
double lerp(double a, double b, double u) { return a + (b - a) * u; }
double cube(double v) { return v * v * v; }

// The samples the spring follows: hand shake removed, then thinned to about one per 16 ms.
std::vector<NativeCursorPosition> filteredForSpring(const std::vector<NativeCursorPosition>& in) {
  std::vector<NativeCursorPosition> unshaken;
  const std::size_t n = in.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (i > 0 && i + 1 < n) {
      const auto& a = in[i - 1];
      const auto& b = in[i];
      const auto& c = in[i + 1];
      const double ax = b.x - a.x, ay = b.y - a.y, bx = c.x - b.x, by = c.y - b.y;
      const bool close = b.timestamp - a.timestamp <= 100 && c.timestamp - b.timestamp <= 100;
      const bool reverses = ax * bx + ay * by < 0;
      const bool small = std::hypot(ax, ay) < 0.015 && std::hypot(bx, by) < 0.015;
      if (close && reverses && small) continue;
    }
    unshaken.push_back(in[i]);
  }
  std::vector<NativeCursorPosition> kept;
  for (const auto& p : unshaken) {
    if (kept.empty()) {
      kept.push_back(p);
      continue;
    }
    const auto& last = kept.back();
    if (p.timestamp - last.timestamp >= 16 || std::hypot(p.x - last.x, p.y - last.y) >= 1.0 / 1920) kept.push_back(p);
  }
  return kept;
}

}  // namespace

NativeSpringParams springPresetNamed(const std::string& name) {
  if (name == "slow") return {200, 40, 2.25};
  if (name == "mellow") return {470, 70, 3.0};
  if (name == "fast") return {380, 30, 1.0};
  return {80, 28, 2.5};
}

double cursorLoopEasing(double u) {
  if (u <= 0) return 0;
  if (u >= 1) return 1;
  constexpr double x1 = 0.81, y1 = 0.06, x2 = 0.29, y2 = 0.98;
  auto bez = [](double s, double p1, double p2) {
    return 3 * (1 - s) * (1 - s) * s * p1 + 3 * (1 - s) * s * s * p2 + s * s * s;
  };
  auto dx = [](double s) {
    return 3 * (1 - s) * (1 - s) * x1 + 6 * (1 - s) * s * (x2 - x1) + 3 * s * s * (1 - x2);
  };
  double s = u;
  for (int i = 0; i < 8; ++i) {
    const double err = bez(s, x1, x2) - u;
    if (std::abs(err) < 1e-6) break;
    const double d = dx(s);
    if (std::abs(d) < 1e-6) break;
    s = std::clamp(s - err / d, 0.0, 1.0);
  }
  if (std::abs(bez(s, x1, x2) - u) >= 1e-6) {
    double lo = 0, hi = 1;
    if (bez(s, x1, x2) > u) hi = s; else lo = s;
    double mid = s;
    for (int i = 0; i < 8; ++i) {
      mid = (lo + hi) / 2;
      const double x = bez(mid, x1, x2);
      if (std::abs(x - u) < 1e-6) break;
      if (x < u) lo = mid; else hi = mid;
    }
    s = mid;
  }
  return bez(s, y1, y2);
}

void advanceSpring(double& position, double& velocity, double target, const NativeSpringParams& spring, double dt) {
  const double k = spring.stiffness, c = spring.damping, m = spring.mass;
  if (!(k > 0) || !(m > 0)) return;
  const double d = position - target, v = velocity;
  const double omega = std::sqrt(k / m);
  const double zeta = c / (2 * std::sqrt(k * m));
  if (std::abs(zeta - 1) < 1e-6) {
    const double A = v + d * omega, e = std::exp(-omega * dt), B = d + A * dt;
    position = target + e * B;
    velocity = e * (A - omega * B);
  } else if (zeta < 1) {
    const double wd = omega * std::sqrt(1 - zeta * zeta);
    const double C = (v + d * zeta * omega) / wd, e = std::exp(-zeta * omega * dt);
    const double cs = std::cos(wd * dt), sn = std::sin(wd * dt);
    position = target + e * (d * cs + C * sn);
    velocity = e * (cs * (-zeta * omega * d + wd * C) + sn * (-wd * d - zeta * omega * C));
  } else {
    const double root = std::sqrt(zeta * zeta - 1);
    const double r1 = omega * (-zeta + root), r2 = omega * (-zeta - root);
    const double L = (v - d * r1) / (r2 - r1);
    const double e1 = std::exp(r1 * dt), e2 = std::exp(r2 * dt);
    position = target + e2 * L + e1 * (d - L);
    velocity = e2 * r2 * L + e1 * r1 * (d - L);
  }
}

NativeCursorRuntime::NativeCursorRuntime(const NativeVideoPlan& plan)
    : settings_(plan.cursorSettings), segments_(plan.segments) {
  if (plan.cursorData) {
    for (const auto& p : plan.cursorData->positions) {
      if (std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.timestamp)) positions_.push_back(p);
    }
    if (plan.cursorData->discontinuityTimestamps) {
      for (double d : *plan.cursorData->discontinuityTimestamps) {
        if (std::isfinite(d) && d >= 0) discontinuities_.push_back(d);
      }
      std::sort(discontinuities_.begin(), discontinuities_.end());
      discontinuities_.erase(std::unique(discontinuities_.begin(), discontinuities_.end()), discontinuities_.end());
    }
  }
  if (plan.resolvedCursorFrames) {
    for (const auto& f : *plan.resolvedCursorFrames) {
      if (std::isfinite(f.timestamp) && std::isfinite(f.x) && std::isfinite(f.y) && std::isfinite(f.opacity) &&
          std::isfinite(f.scale)) {
        resolvedFrames_.push_back(f);
      }
    }
  }
  hiddenSegmentIDs_.insert(plan.hiddenCursorSegmentIds.begin(), plan.hiddenCursorSegmentIds.end());
  if (!segments_.empty()) defaultLoopTargetTimeMs_ = segments_.front().outputStartTime * 1000;
  enabled_ = settings_.enabled && settings_.mode != "disable" && (!positions_.empty() || !resolvedFrames_.empty());

  positionsSorted_ = std::is_sorted(positions_.begin(), positions_.end(),
                                    [](const auto& a, const auto& b) { return a.timestamp < b.timestamp; });
  lastPressTime_.assign(positions_.size(), -1);
  lastReleaseTime_.assign(positions_.size(), -1);
  for (std::size_t i = 1; i < positions_.size(); ++i) {
    lastPressTime_[i] = lastPressTime_[i - 1];
    lastReleaseTime_[i] = lastReleaseTime_[i - 1];
    const bool was = pressedOf(positions_[i - 1]), is = pressedOf(positions_[i]);
    if (is && !was) lastPressTime_[i] = positions_[i].timestamp;
    if (!is && was) lastReleaseTime_[i] = positions_[i].timestamp;
  }
  // Integrated once here rather than on first use: the runtime then stays
  // immutable, and even an hour of samples takes a few milliseconds.
  if (enabled_) bakeSpringPath();
}

int NativeCursorRuntime::lastAtOrBefore(double m) const {
  if (positionsSorted_) {
    auto it = std::upper_bound(positions_.begin(), positions_.end(), m,
                               [](double v, const NativeCursorPosition& p) { return v < p.timestamp; });
    return static_cast<int>(it - positions_.begin()) - 1;
  }
  int found = -1;
  for (std::size_t i = 0; i < positions_.size(); ++i) {
    if (positions_[i].timestamp <= m) found = static_cast<int>(i);
  }
  return found;
}

int NativeCursorRuntime::firstAtOrAfter(double m) const {
  if (positionsSorted_) {
    auto it = std::lower_bound(positions_.begin(), positions_.end(), m,
                               [](const NativeCursorPosition& p, double v) { return p.timestamp < v; });
    return static_cast<int>(it - positions_.begin());
  }
  for (std::size_t i = 0; i < positions_.size(); ++i) {
    if (positions_[i].timestamp >= m) return static_cast<int>(i);
  }
  return static_cast<int>(positions_.size());
}

int NativeCursorRuntime::firstAfter(double m) const {
  if (positionsSorted_) {
    auto it = std::upper_bound(positions_.begin(), positions_.end(), m,
                               [](double v, const NativeCursorPosition& p) { return v < p.timestamp; });
    return static_cast<int>(it - positions_.begin());
  }
  for (std::size_t i = 0; i < positions_.size(); ++i) {
    if (positions_[i].timestamp > m) return static_cast<int>(i);
  }
  return static_cast<int>(positions_.size());
}

std::optional<double> NativeCursorRuntime::discontinuityIn(double from, double to) const {
  auto it = std::upper_bound(discontinuities_.begin(), discontinuities_.end(), from);
  if (it != discontinuities_.end() && *it <= to) return *it;
  return std::nullopt;
}

double NativeCursorRuntime::clickScale(double m) const {
  // The press/release scan runs from sample 1 while timestamps stay <= m.
  const int end = firstAfter(m);
  if (end <= 1) return 1;
  const double P = lastPressTime_[static_cast<std::size_t>(end - 1)];
  const double R = lastReleaseTime_[static_cast<std::size_t>(end - 1)];
  if (P > R) {
    const double p = std::clamp((m - P) / 80, 0.0, 1.0);
    return 1 - 0.08 * (1 - cube(1 - p));
  }
  if (R > P) {
    if (m - R >= 200) return 1;
    const double q = (m - R) / 200;
    if (q < 0.7) return 0.92 + 0.1 * (1 - cube(1 - q / 0.7));
    return 1.02 - 0.02 * (1 - cube(1 - (q - 0.7) / 0.3));
  }
  return 1;
}

graphics::Point NativeCursorRuntime::springPathAt(double m) const {
  const auto& f = bakedFrames_;
  if (f.empty()) return {0.5, 0.5};
  if (m <= f.front().time) return {f.front().x, f.front().y};
  if (m >= f.back().time) return {f.back().x, f.back().y};
  auto it = std::upper_bound(f.begin(), f.end(), m, [](double v, const NativeBakedCursorFrame& b) { return v < b.time; });
  const auto& b = *it;
  const auto& a = *(it - 1);
  const double u = b.time > a.time ? (m - a.time) / (b.time - a.time) : 0;
  return {lerp(a.x, b.x, u), lerp(a.y, b.y, u)};
}

NativeCursorSnapshot NativeCursorRuntime::snapshot(double m) const {
  NativeCursorSnapshot out;
  if (positions_.empty()) return out;
  const int a = lastAtOrBefore(m);
  const int i = firstAtOrAfter(m);
  const int n = static_cast<int>(positions_.size());
  auto take = [&](const NativeCursorPosition& p, bool withPosition) {
    if (withPosition) {
      out.cursor.x = p.x;
      out.cursor.y = p.y;
    }
    out.cursor.pressed = pressedOf(p);
    out.cursor.cursorType = typeOf(p);
  };
  if (a < 0) {
    take(positions_.front(), true);
    out.beforeIndex = 0;
  } else if (i >= n) {
    take(positions_[static_cast<std::size_t>(a)], true);
    out.beforeIndex = a;
  } else if (a == i) {
    // Exactly on a sample. The smoothed path holds here too: taking the raw
    // position would make a smoothed cursor jump whenever a frame time meets a
    // sample time (every third frame for 100 ms samples at 30 fps).
    take(positions_[static_cast<std::size_t>(a)], true);
    if (settings_.smoothing > 0 && !bakedFrames_.empty()) {
      const auto p = springPathAt(m);
      out.cursor.x = p.x;
      out.cursor.y = p.y;
    }
    out.beforeIndex = a;
  } else {
    const auto& pa = positions_[static_cast<std::size_t>(a)];
    const auto& pi = positions_[static_cast<std::size_t>(i)];
    if (auto D = discontinuityIn(pa.timestamp, pi.timestamp)) {
      take(m < *D ? pa : pi, true);
    } else {
      const double span = pi.timestamp - pa.timestamp;
      const double u = span != 0 ? (m - pa.timestamp) / span : 0;
      take(pa, false);
      out.cursor.x = lerp(pa.x, pi.x, u);
      out.cursor.y = lerp(pa.y, pi.y, u);
      if (settings_.smoothing > 0 && !bakedFrames_.empty()) {
        const auto p = springPathAt(m);
        out.cursor.x = p.x;
        out.cursor.y = p.y;
      }
    }
    out.beforeIndex = a;
  }
  out.cursor.visible = true;
  out.cursor.opacity = 1;
  out.cursor.scale = settings_.clickEffect ? clickScale(m) : 1;
  return out;
}

double NativeCursorRuntime::lastActivityTime(int index) const {
  if (positions_.empty()) return 0;
  const int last = std::min(index, static_cast<int>(positions_.size()) - 1);
  for (int j = last; j >= 1; --j) {
    const auto& cur = positions_[static_cast<std::size_t>(j)];
    const auto& prev = positions_[static_cast<std::size_t>(j - 1)];
    if (pressedOf(cur) != pressedOf(prev) || typeOf(cur) != typeOf(prev) || std::abs(cur.x - prev.x) > 0.0005 ||
        std::abs(cur.y - prev.y) > 0.0005) {
      return cur.timestamp;
    }
  }
  return positions_.front().timestamp;
}

void NativeCursorRuntime::applyIdleFade(NativeResolvedCursor& cursor, double m, double from) const {
  if (m <= from) return;
  const double p = std::clamp((m - from) / kFadeMs, 0.0, 1.0);
  const double c = cube(1 - p);
  cursor.opacity = c;
  cursor.scale = 1 - 0.12 * (1 - c);
  cursor.visible = p < 1;
}

void NativeCursorRuntime::applyHiddenSegmentTransition(NativeResolvedCursor& cursor, double m) const {
  if (segments_.empty() || hiddenSegmentIDs_.empty()) return;
  const double t = m / 1000;
  std::optional<std::size_t> at;
  for (std::size_t i = 0; i < segments_.size(); ++i) {
    const auto& s = segments_[i];
    const bool isLast = i + 1 == segments_.size();
    if (s.outputStartTime <= t && (t < s.outputEndTime || (isLast && t <= s.outputEndTime))) {
      at = i;
      break;
    }
  }
  if (!at) return;
  const auto& segment = segments_[*at];
  const bool hidden = hiddenSegmentIDs_.count(segment.segmentId) > 0;
  bool transition = false;
  if (*at > 0) {
    const bool previousHidden = hiddenSegmentIDs_.count(segments_[*at - 1].segmentId) > 0;
    transition = hidden != previousHidden;
  }
  const double into = m - segment.outputStartTime * 1000;
  const bool fading = transition && into >= 0 && into < kFadeMs;
  const double k = fading ? cube(into / kFadeMs) : 0;
  if (hidden) {
    if (fading) {
      cursor.visible = true;
      cursor.scale *= 1 - 0.12 * k;
      cursor.opacity *= 1 - k;
    } else {
      cursor.visible = false;
      cursor.scale *= 0.88;
      cursor.opacity = 0;
    }
  } else if (fading) {
    cursor.scale *= 0.88 + 0.12 * k;
    cursor.opacity *= k;
  }
}

std::optional<NativeResolvedCursor> NativeCursorRuntime::sampleResolvedFrames(double m) const {
  const auto& f = resolvedFrames_;
  if (f.empty()) return std::nullopt;
  auto fromFrame = [](const NativeResolvedCursorFrame& k) {
    return NativeResolvedCursor{k.x, k.y, k.pressed, k.visible, k.cursorType, k.opacity, k.scale};
  };
  NativeResolvedCursor out;
  if (m <= f.front().timestamp) {
    out = fromFrame(f.front());
  } else if (m >= f.back().timestamp) {
    out = fromFrame(f.back());
  } else {
    std::size_t lo = 0, hi = f.size() - 1;  // f[lo].timestamp <= m < f[hi].timestamp
    while (lo + 1 < hi) {
      const std::size_t mid = (lo + hi) / 2;
      if (f[mid].timestamp <= m) lo = mid; else hi = mid;
    }
    const auto& k = f[lo];
    out = fromFrame(k);
    if (m > k.timestamp && lo + 1 < f.size() && f[lo + 1].timestamp != k.timestamp) {
      const auto& next = f[lo + 1];
      const double u = std::clamp((m - k.timestamp) / (next.timestamp - k.timestamp), 0.0, 1.0);
      out.x = lerp(k.x, next.x, u);
      out.y = lerp(k.y, next.y, u);
      out.opacity = lerp(k.opacity, next.opacity, u);
      out.scale = lerp(k.scale, next.scale, u);
      out.visible = k.visible || next.visible;
    }
  }
  out.visible = out.visible && out.opacity > 0.0001;
  return out;
}

std::optional<NativeResolvedCursor> NativeCursorRuntime::sample(double timeSeconds,
                                                                std::optional<double> loopTargetTimeMs) const {
  if (!enabled_) return std::nullopt;
  const double m = timeSeconds * 1000;
  if (auto resolved = sampleResolvedFrames(m)) return resolved;
  if (positions_.empty()) return std::nullopt;

  const double first = positions_.front().timestamp, last = positions_.back().timestamp;
  double L = loopTargetTimeMs ? *loopTargetTimeMs : defaultLoopTargetTimeMs_.value_or(first);
  L = std::max(std::min(L, last), first);
  if (!std::isfinite(L)) L = first;
  const double idleMs = settings_.hideWhenIdleSeconds * 1000;

  NativeResolvedCursor cursor;
  const double S = std::max(last - settings_.loopSeconds * 1000, first);
  const double F = std::max(last - settings_.freezeSeconds * 1000, first);
  if (settings_.loopCursorPosition && m >= S) {
    const auto A = snapshot(S).cursor;
    const auto B = snapshot(L).cursor;
    const double d = std::hypot(B.x - A.x, B.y - A.y) / 0.35;
    const double travel = d >= 1 ? 700 : 300 + 400 * std::max(d, 0.0);
    const double E = std::min(S + travel, last);
    if (m >= E) {
      cursor = B;
      cursor.visible = true;
      if (settings_.hideWhenIdle) applyIdleFade(cursor, m, E + idleMs);
    } else {
      const double e = E > S ? cursorLoopEasing((m - S) / (E - S)) : 1;
      cursor.x = lerp(A.x, B.x, e);
      cursor.y = lerp(A.y, B.y, e);
      cursor.pressed = false;
      cursor.visible = true;
      cursor.cursorType = B.cursorType;
      cursor.opacity = 1;
      cursor.scale = 1;
    }
  } else if (settings_.freezeAtEnd && m >= F) {
    cursor = snapshot(F).cursor;
    cursor.visible = true;
    if (settings_.hideWhenIdle) applyIdleFade(cursor, m, F + idleMs);
  } else {
    const auto snap = snapshot(m);
    cursor = snap.cursor;
    if (settings_.hideWhenIdle && cursor.visible) applyIdleFade(cursor, m, lastActivityTime(snap.beforeIndex) + idleMs);
  }
  applyHiddenSegmentTransition(cursor, m);
  return cursor;
}

void NativeCursorRuntime::bakeSpringPath() {
  if (!(settings_.smoothing > 0) || settings_.mode == "disable") return;
  const auto filtered = filteredForSpring(positions_);
  if (filtered.empty()) return;

  // The filtered path at T, snapping across a discontinuity instead of blending over it.
  auto pathAt = [&](double T) -> graphics::Point {
    if (T <= filtered.front().timestamp) return {filtered.front().x, filtered.front().y};
    if (T >= filtered.back().timestamp) return {filtered.back().x, filtered.back().y};
    auto it = std::upper_bound(filtered.begin(), filtered.end(), T,
                               [](double v, const NativeCursorPosition& p) { return v < p.timestamp; });
    const auto& b = *it;
    const auto& a = *(it - 1);
    if (auto D = discontinuityIn(a.timestamp, b.timestamp)) {
      return T < *D ? graphics::Point{a.x, a.y} : graphics::Point{b.x, b.y};
    }
    const double span = b.timestamp - a.timestamp;
    const double u = span > 0 ? (T - a.timestamp) / span : 0;
    return {lerp(a.x, b.x, u), lerp(a.y, b.y, u)};
  };
  auto pressedAt = [&](double h) {
    const int a = lastAtOrBefore(h);
    if (a < 0) return pressedOf(positions_.front());
    const int i = firstAfter(h);
    const auto& pa = positions_[static_cast<std::size_t>(a)];
    if (i < static_cast<int>(positions_.size())) {
      const auto& pi = positions_[static_cast<std::size_t>(i)];
      if (auto D = discontinuityIn(pa.timestamp, pi.timestamp); D && h >= *D) return pressedOf(pi);
    }
    return pressedOf(pa);
  };

  const NativeSpringParams preset = springPresetNamed(settings_.springPreset);
  const double B = (1 - settings_.smoothing) * 19 + 1;
  const NativeSpringParams scaled{B * preset.stiffness, preset.damping * std::sqrt(B), preset.mass};

  double x = filtered.front().x, y = filtered.front().y, vx = 0, vy = 0;
  const double start = filtered.front().timestamp, last = filtered.back().timestamp;
  const std::size_t steps = static_cast<std::size_t>(std::max(0.0, std::floor((last + kSpringStepMs - start) / kSpringStepMs))) + 1;
  bakedFrames_.reserve(steps);
  for (std::size_t step = 0;; ++step) {
    const double h = start + static_cast<double>(step) * kSpringStepMs;
    if (!(h <= last + kSpringStepMs)) break;
    if (auto D = discontinuityIn(h - kSpringStepMs, h)) {
      const auto p = pathAt(*D);
      x = p.x;
      y = p.y;
      vx = vy = 0;
    }
    graphics::Point target;
    NativeSpringParams spring = scaled;
    if (pressedAt(h)) {
      target = pathAt(h);
      spring = {1000, 40, 1};
    } else {
      // Look ahead for a press within half a second, up to the next break in the path.
      const auto nextBreak = std::upper_bound(discontinuities_.begin(), discontinuities_.end(), h);
      const double stop = nextBreak != discontinuities_.end() ? *nextBreak : INFINITY;
      std::optional<double> press;
      for (int j = firstAfter(h); j < static_cast<int>(positions_.size()); ++j) {
        const auto& p = positions_[static_cast<std::size_t>(j)];
        if (p.timestamp > h + 500 || p.timestamp >= stop) break;
        if (pressedOf(p)) {
          press = p.timestamp;
          break;
        }
      }
      if (press) {
        target = pathAt(*press);
        if (*press - h <= 175) spring = {530, 40, 1};
      } else {
        target = pathAt(h);
      }
    }
    advanceSpring(x, vx, target.x, spring, kSpringStepSeconds);
    advanceSpring(y, vy, target.y, spring, kSpringStepSeconds);
    if (std::hypot(x - target.x, y - target.y) < 1.0 / 1920 && std::hypot(vx, vy) < 62.5 / 1920) {
      x = target.x;
      y = target.y;
      vx = vy = 0;
    } else {
      if (std::abs(x - target.x) < 0.00001 && std::abs(vx) < 0.0001) {
        x = target.x;
        vx = 0;
      }
      if (std::abs(y - target.y) < 0.00001 && std::abs(vy) < 0.0001) {
        y = target.y;
        vy = 0;
      }
    }
    bakedFrames_.push_back({std::min(h, last), x, y});
  }
}

double CursorMotionResolver::rotation(graphics::Point point, double timeMs, const NativeCursorSettings& settings) {
  if (!settings.swayEnabled) {
    state_.reset();
    return 0;
  }
  if (!std::isfinite(timeMs)) return 0;
  double r = 0;
  if (state_) {
    const double dt = timeMs - state_->timeMs;
    r = 0.78 * state_->rotation;
    if (dt > 0 && dt <= 160 && settings.swayStrength > 0) {
      double dx = point.x - state_->x;
      if (0.45 * std::abs(point.y - state_->y) > std::abs(dx)) dx *= 0.65;
      const double g = std::clamp(settings.swayStrength, 0.2, 1.0);
      const double v = g * 1.1 * dx / dt;
      r = 0.76 * state_->rotation + 0.24 * std::clamp(v, -kPi / 10, kPi / 10);
    }
  }
  if (settings.swayStrength <= 0.001) r *= 0.78;
  if (std::abs(r) < 0.0001) r = 0;
  state_ = State{point.x, point.y, timeMs, r};
  return r;
}

}  // namespace vantrel::exporter
