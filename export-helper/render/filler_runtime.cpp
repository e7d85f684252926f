#include "render/filler_runtime.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "render/overlay_animation.h"
#include "vantrel/common/text.h"

namespace vantrel::exporter {

namespace gfx = vantrel::graphics;

namespace {

constexpr RgbaColor kFillerGrey{0.086, 0.086, 0.086, 1};

double finiteOr(std::optional<double> v, double fallback) { return v && std::isfinite(*v) ? *v : fallback; }

// ---- Layer animations ----

enum class AnimationKind { none, fade, blur, shake, scale, stagger };

struct AnimationDefaults {
  double duration = 0.4;
  double offsetY = 0;
  double blur = 0;
  double scaleFrom = 1;
};

struct AnimationParameters {
  double delay = 0;
  double duration = 0.4;
  double offsetY = 0;
  double blur = 0;
  double scaleFrom = 1;
  double intensity = 10;
  double frequency = 4;
};

// The settings keys both layer kinds read; absent settings mean all keys absent.
struct AnimationKeys {
  std::optional<double> delay, duration, blur, offsetY, scaleFrom, shakeIntensity, shakeFrequency;
};

template <typename Settings>
AnimationKeys keysOf(const std::optional<Settings>& s) {
  if (!s) return {};
  return {s->delay, s->duration, s->blur, s->offsetY, s->scaleFrom, s->shakeIntensity, s->shakeFrequency};
}

double activeDuration(const AnimationKeys& keys, std::optional<double> legacy, double tableDuration) {
  if (keys.duration && std::isfinite(*keys.duration)) return std::clamp(*keys.duration, 0.1, 5.0);
  if (legacy && std::isfinite(*legacy)) return std::clamp(*legacy, 0.1, 5.0);
  return std::clamp(tableDuration, 0.1, 5.0);
}

AnimationParameters parametersOf(const AnimationKeys& keys, std::optional<double> legacy,
                                 const AnimationDefaults& d) {
  AnimationParameters p;
  p.delay = keys.delay && std::isfinite(*keys.delay) ? std::clamp(*keys.delay, 0.0, 5.0) : 0.0;
  p.duration = activeDuration(keys, legacy, d.duration);
  p.blur = std::clamp(finiteOr(keys.blur, d.blur), 0.0, 40.0);
  p.offsetY = std::clamp(finiteOr(keys.offsetY, d.offsetY), -200.0, 200.0);
  p.scaleFrom = std::clamp(finiteOr(keys.scaleFrom, d.scaleFrom), 0.4, 1.2);
  p.intensity = std::clamp(finiteOr(keys.shakeIntensity, 10), 0.0, 40.0);
  p.frequency = std::clamp(finiteOr(keys.shakeFrequency, 4), 1.0, 12.0);
  return p;
}

FillerAnimationState evaluateAnimation(AnimationKind kind, const AnimationParameters& p, double elapsed) {
  FillerAnimationState s;
  if (kind == AnimationKind::none) return s;
  if (!std::isfinite(elapsed)) elapsed = 0;
  const double k = std::clamp((elapsed - p.delay) / p.duration, 0.0, 1.0);
  const double e = 1 - std::pow(1 - k, 3);
  const bool waiting = elapsed < p.delay;
  s.opacity = waiting ? 0 : e;
  if (kind == AnimationKind::shake) {
    const double a = waiting ? 0 : 1 - e;
    s.offsetX = a * p.intensity * std::sin(2 * std::numbers::pi * p.frequency * k);
    s.offsetY = 0.2 * s.offsetX;
    return s;
  }
  s.offsetY = p.offsetY * (1 - e);
  if (kind == AnimationKind::scale) s.scale = p.scaleFrom + (1 - p.scaleFrom) * e;
  if (kind == AnimationKind::blur || kind == AnimationKind::stagger) s.blur = p.blur * (1 - e);
  return s;
}

// Entrance, or the exit (delay dropped, evaluated at the time left) when that is more faded.
FillerAnimationState entranceOrExit(AnimationKind kind, AnimationParameters p, double elapsed, double remaining) {
  FillerAnimationState state = evaluateAnimation(kind, p, elapsed);
  if (kind == AnimationKind::none) return state;
  if (std::isfinite(remaining) && remaining < p.duration) {
    p.delay = 0;
    const FillerAnimationState exit = evaluateAnimation(kind, p, remaining);
    if (exit.opacity < state.opacity) state = exit;
  }
  return state;
}

struct TextAnimationChoice {
  AnimationKind kind = AnimationKind::none;
  AnimationDefaults defaults;
};

TextAnimationChoice textAnimation(const std::optional<std::string>& name) {
  if (!name) return {};
  const std::string& n = *name;
  if (n == "blur") return {AnimationKind::blur, {0.45, 24, 12, 1}};
  if (n == "shake") return {AnimationKind::shake, {0.5, 0, 0, 1}};
  if (n == "scale") return {AnimationKind::scale, {0.4, 12, 0, 0.92}};
  if (n == "stagger") return {AnimationKind::stagger, {0.4, 18, 8, 1}};
  if (n == "fade" || n == "fade-in") return {AnimationKind::fade, {0.4, 24, 0, 1}};
  if (n == "slide-in") return {AnimationKind::fade, {0.4, 36, 0, 1}};
  return {};
}

// ---- Text ----

bool isLineBreakAt(std::string_view text, std::size_t i, std::size_t& length) {
  const auto c = static_cast<unsigned char>(text[i]);
  if (c == '\n') return (length = 1), true;
  if (c == '\r') return (length = i + 1 < text.size() && text[i + 1] == '\n' ? 2 : 1), true;
  if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x85) return (length = 2), true;
  if (c == 0xE2 && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
      (static_cast<unsigned char>(text[i + 2]) == 0xA8 || static_cast<unsigned char>(text[i + 2]) == 0xA9)) {
    return (length = 3), true;
  }
  return false;
}

std::vector<std::string_view> splitParagraphs(std::string_view text) {
  std::vector<std::string_view> out;
  std::size_t start = 0, i = 0, length = 0;
  while (i < text.size()) {
    if (isLineBreakAt(text, i, length)) {
      out.push_back(text.substr(start, i - start));
      i += length;
      start = i;
    } else {
      ++i;
    }
  }
  out.push_back(text.substr(start));
  return out;
}

std::vector<std::string_view> splitWords(std::string_view paragraph) {
  std::vector<std::string_view> words;
  std::size_t i = 0, start = 0;
  while (i < paragraph.size()) {
    if (const std::size_t n = text::whiteSpaceLengthAt(paragraph, i)) {
      if (i > start) words.push_back(paragraph.substr(start, i - start));
      i += n;
      start = i;
    } else {
      ++i;
    }
  }
  if (i > start) words.push_back(paragraph.substr(start, i - start));
  return words;
}

bool hasVisibleText(const std::string& text) {
  std::size_t length = 0;
  for (std::size_t i = 0; i < text.size();) {
    if (const std::size_t n = text::whiteSpaceLengthAt(text, i)) {
      i += n;
    } else if (isLineBreakAt(text, i, length)) {
      i += length;
    } else {
      return true;
    }
  }
  return false;
}

}  // namespace

double fillerTransitionDurationSeconds(double D, std::optional<double> A) {
  if (!std::isfinite(D) || D <= 0) return 0.06;
  const double half = D / 2;
  if (!A || !std::isfinite(*A)) return std::max(std::min(half, 1.0), 0.06);
  return std::clamp(std::min(*A, half), 0.06, 5.0);
}

FillerVisualState fillerVisualState(const NativeFillerBlock& filler, double o, double W) {
  const std::string style = filler.animationStyle.value_or("fade");
  if (style == "none") return {1, 0};
  const double D = std::max(std::isfinite(filler.duration) ? filler.duration : 0.0, 1e-4);
  const double T = fillerTransitionDurationSeconds(D, filler.animationDuration);
  o = std::isfinite(o) ? std::clamp(o, 0.0, D) : 0.0;
  const double q = std::max(D - o, 0.0);
  const double in = filler.disableEnterAnimation ? 1 : evaluateCubicBezierTiming(o / T, 0.68, 0, 0, 0.99);
  const double out = filler.disableExitAnimation ? 1 : evaluateCubicBezierTiming(q / T, 0.68, 0, 0, 0.99);
  if (style == "fade") return {std::min(in, out), 0};
  if (T > o) return {1, -W * (1 - in)};
  if (T > q) return {1, W * (1 - out)};
  return {1, 0};
}

bool fillerUsesExitBoundary(const NativeFillerBlock& filler, double t, std::int64_t frameRate) {
  const double T = fillerTransitionDurationSeconds(filler.duration, filler.animationDuration);
  const double remaining = std::max(filler.endOutputTime - t, 0.0);
  return remaining <= T + 1.0 / static_cast<double>(std::max<std::int64_t>(frameRate, 1));
}

std::optional<FillerBoundaryFrame> fillerBoundaryFrame(const NativeFillerBlock& filler,
                                                       const std::vector<NativeVideoSegmentPlan>& segments,
                                                       std::int64_t frameRate, bool useExitBoundary) {
  const double m = frameRate < 1 ? 1.0 : 1.0 / static_cast<double>(frameRate);
  const std::int64_t count = static_cast<std::int64_t>(segments.size());
  const std::int64_t k = filler.sequenceIndex;
  // Negative indices and a start boundary past the list lie outside the timeline's model: no still.
  if (k < 0) return std::nullopt;
  if (useExitBoundary) {
    if (k >= count) return std::nullopt;
    const auto& s = segments[static_cast<std::size_t>(k)];
    return FillerBoundaryFrame{static_cast<std::size_t>(k), s.sourceStartTime, s.outputStartTime};
  }
  if (k == 0) {
    if (segments.empty()) return std::nullopt;
    return FillerBoundaryFrame{0, segments[0].sourceStartTime, segments[0].outputStartTime};
  }
  if (k > count) return std::nullopt;
  const auto& s = segments[static_cast<std::size_t>(k - 1)];
  const double source = std::max(s.sourceEndTime - m * std::max(s.speed, 0.0001), s.sourceStartTime);
  const double output = std::max(s.outputEndTime - m, s.outputStartTime);
  return FillerBoundaryFrame{static_cast<std::size_t>(k - 1), source, output};
}

std::string fillerBoundaryCacheKey(const NativeFillerBlock& filler, bool useExitBoundary) {
  return filler.id + "|" + (useExitBoundary ? "exit" : "start");
}

RgbaColor fillerBaseColor(const NativeFillerBlock& filler) {
  return parseColor(filler.backgroundColor).value_or(kFillerGrey);
}

std::vector<RgbaColor> normalizedFillerGradientStops(const NativeFillerBlock& filler) {
  if (filler.backgroundGradientStops && filler.backgroundGradientStops->size() >= 2) {
    std::vector<RgbaColor> colors;
    for (const auto& stop : *filler.backgroundGradientStops) {
      colors.push_back(parseColor(stop.color).value_or(fillerBaseColor(filler)));
    }
    return colors;
  }
  if (filler.backgroundSecondaryColor) {
    const RgbaColor first = fillerBaseColor(filler);
    return {first, parseColor(filler.backgroundSecondaryColor).value_or(first)};
  }
  return {};
}

gfx::Color fillerCGColor(const RgbaColor& c) { return {c.red, c.green, c.blue, c.alpha}; }

double fillerSafePadding(const NativeFillerBlock& filler, Size canvas, double s) {
  const double padding = finiteOr(filler.padding, 24);
  const double cap = std::floor(std::min(canvas.width, canvas.height) / 2);
  return std::max(std::min(cap, s * padding), 0.0);
}

std::vector<std::string> wrapFillerTextLines(const std::string& text, double maxWidth, const gfx::Font& font) {
  std::vector<std::string> lines;
  for (std::string_view paragraph : splitParagraphs(text)) {
    const auto words = splitWords(text::trimWhiteSpace(paragraph));
    if (words.empty()) {
      lines.emplace_back();
      continue;
    }
    std::string line(words.front());
    for (std::size_t i = 1; i < words.size(); ++i) {
      std::string joined = line + " ";
      joined += words[i];
      if (gfx::measureTextWidth(font, joined) <= maxWidth) {
        line = std::move(joined);
      } else {
        lines.push_back(std::move(line));
        line = std::string(words[i]);
      }
    }
    lines.push_back(std::move(line));
  }
  return lines;
}

double fillerTextAnimationActiveDurationSeconds(const std::optional<std::string>& animation,
                                                const std::optional<NativeTextAnimationSettings>& settings,
                                                std::optional<double> legacyDuration) {
  return activeDuration(keysOf(settings), legacyDuration, textAnimation(animation).defaults.duration);
}

FillerAnimationState resolveFillerTextAnimationRenderState(const std::optional<std::string>& animation,
                                                           const std::optional<NativeTextAnimationSettings>& settings,
                                                           double elapsed, double remaining,
                                                           std::optional<double> legacyDuration) {
  const TextAnimationChoice choice = textAnimation(animation);
  return entranceOrExit(choice.kind, parametersOf(keysOf(settings), legacyDuration, choice.defaults), elapsed,
                        remaining);
}

FillerAnimationState resolveFillerImageAnimationState(const NativeFillerImageLayer& layer, double elapsed,
                                                      double remaining) {
  const auto entrance =
      resolveImageAnimationRenderState(layer.animation, layer.animationSettings, elapsed, layer.animationDuration);
  FillerAnimationState state{entrance.opacity, entrance.offsetX, entrance.offsetY, entrance.scale, entrance.blur};
  const double D =
      fillerImageAnimationActiveDurationSeconds(layer.animation, layer.animationSettings, layer.animationDuration);
  if (std::isfinite(remaining) && remaining < D) {
    std::optional<NativeImageAnimationSettings> exitSettings = layer.animationSettings;
    if (exitSettings) exitSettings->delay = 0;
    const auto exit = resolveImageAnimationRenderState(layer.animation, exitSettings, remaining, layer.animationDuration);
    if (exit.opacity < state.opacity) state = {exit.opacity, exit.offsetX, exit.offsetY, exit.scale, exit.blur};
  }
  return state;
}

std::optional<FillerTextLayout> layoutFillerTextLayer(const NativeFillerTextLayer& layer, Size canvas, double p,
                                                      double s) {
  const double W = canvas.width, H = canvas.height;
  const std::string text = layer.text && hasVisibleText(*layer.text) ? *layer.text : "Type your text...";
  const double P = s * std::clamp(finiteOr(layer.fontSize, 48), 12.0, 240.0);
  const double weight = std::clamp(finiteOr(layer.fontWeight, 400), 100.0, 900.0);
  auto font = bundledFont(layer.fontFamily.value_or("Inter"), P, weight);
  if (!font) return std::nullopt;

  FillerTextLayout out{*font, {}, {}, P, 0, 0, 0, 0, 0, layer.textAlign.value_or("center"), {1, 1, 1, 1}};
  const double A = std::max(W - 2 * p, 80 * s);
  const std::optional<double> width = layer.width && std::isfinite(*layer.width) ? layer.width : std::nullopt;
  const double u = width ? std::max(40 * s, std::min(s * *width, A)) : A;
  out.lines = wrapFillerTextLines(text, u, *font);
  double M = 0;
  for (const auto& line : out.lines) {
    out.lineWidths.push_back(gfx::measureTextWidth(*font, line));
    M = std::max(M, out.lineWidths.back());
  }
  out.lineHeight = std::max(std::round(1.2 * P), P + 4 * s);
  out.blockHeight = out.lineHeight * static_cast<double>(std::max<std::size_t>(out.lines.size(), 1));
  out.blockWidth = width ? u : std::min(std::max(40 * s, M + 8 * s), A);

  const double g = out.blockWidth / 2, b = out.blockHeight / 2;
  const std::string horizontal = layer.horizontalAlignment.value_or("");
  const std::string vertical = layer.verticalAlignment.value_or("");
  const double alignedX = horizontal == "left" ? p + g : horizontal == "right" ? W - p - g : W / 2;
  const double alignedY = vertical == "top" ? p + b : vertical == "bottom" ? H - p - b : H / 2;
  const double wantX = layer.positionX && std::isfinite(*layer.positionX) ? W * *layer.positionX : alignedX;
  const double wantY = layer.positionY && std::isfinite(*layer.positionY) ? H * *layer.positionY : alignedY;
  out.centerX = W - p - g < p + g ? W / 2 : std::clamp(wantX, p + g, W - p - g);
  out.centerY = p + b > H - p - b ? H / 2 : std::clamp(wantY, p + b, H - p - b);

  RgbaColor color = parseColor(layer.color).value_or(RgbaColor{1, 1, 1, 1});
  color.alpha = layer.opacity && std::isfinite(*layer.opacity) ? *layer.opacity / 100 : 1.0;
  out.color = fillerCGColor(color);
  return out;
}

gfx::Point fillerTextLineOrigin(const FillerTextLayout& layout, std::size_t index, double H) {
  const double g = layout.blockWidth / 2, b = layout.blockHeight / 2;
  const double w = index < layout.lineWidths.size() ? layout.lineWidths[index] : 0;
  double x;
  if (layout.textAlign == "left") {
    x = layout.centerX - g;
  } else if (layout.textAlign == "right") {
    x = layout.centerX + g - w;
  } else {
    x = layout.centerX - g + (layout.blockWidth - w) / 2;
  }
  const double L = layout.lineHeight;
  const double slotBottom = H - (layout.centerY - b) - L * static_cast<double>(index + 1);
  // Centred in the slot by the font's own extent, as the editor's line boxes set it.
  const double ascent = layout.font.ascent(), descent = layout.font.descent();
  return {x, slotBottom + (L - ascent - descent) / 2 + descent};
}

gfx::Rect placeFillerImageLayer(const NativeFillerImageLayer& layer, Size canvas, double p, double s) {
  const double W = canvas.width, H = canvas.height;
  const double w = std::max(s * (std::isfinite(layer.width) ? layer.width : 0.0), 1.0);
  const double h = std::max(s * (std::isfinite(layer.height) ? layer.height : 0.0), 1.0);
  double x, y;
  const bool positioned = layer.positionX && layer.positionY && std::isfinite(*layer.positionX) &&
                          std::isfinite(*layer.positionY);
  if (!positioned) {
    const std::string horizontal = layer.horizontalAlignment.value_or("");
    const std::string vertical = layer.verticalAlignment.value_or("");
    x = horizontal == "left" ? p + w / 2 : horizontal == "right" ? W - p - w / 2 : W / 2;
    y = vertical == "top" ? p + h / 2 : vertical == "bottom" ? H - p - h / 2 : H / 2;
  } else {
    x = W - p - w / 2 < p + w / 2 ? W / 2 : std::clamp(W * *layer.positionX, p + w / 2, W - p - w / 2);
    y = H - p - h / 2 < p + h / 2 ? H / 2 : std::clamp(H * *layer.positionY, p + h / 2, H - p - h / 2);
  }
  return {x - w / 2, (H - y) - h / 2, w, h};
}

}  // namespace vantrel::exporter
