#include "render/overlay_animation.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <mutex>
#include <numbers>

#include "job/job_errors.h"
#include "manifest/color.h"
#include "render/assets/bundled_fonts.h"

namespace vantrel::exporter {

namespace gfx = vantrel::graphics;

namespace {

constexpr double kActiveSlack = 0.0001;

double clampValue(double v, double lo, double hi) { return std::clamp(v, lo, hi); }

// A manifest number that is present and usable; JSON cannot carry NaN, but
// hosts that compute values may still send 1e308 and friends.
std::optional<double> finiteValue(const std::optional<double>& v) {
  if (v && std::isfinite(*v)) return v;
  return std::nullopt;
}

enum class ImageAnimationKind { none, fade, blur, shake, scale };

ImageAnimationKind animationKind(const std::optional<std::string>& name) {
  if (!name) return ImageAnimationKind::none;
  if (*name == "fade") return ImageAnimationKind::fade;
  if (*name == "blur") return ImageAnimationKind::blur;
  if (*name == "shake") return ImageAnimationKind::shake;
  if (*name == "scale") return ImageAnimationKind::scale;
  return ImageAnimationKind::none;
}

struct AnimationDefaults {
  double duration, offsetY, blur, scaleFrom;
};

AnimationDefaults defaultsFor(ImageAnimationKind kind) {
  switch (kind) {
    case ImageAnimationKind::fade: return {0.4, 12, 0, 1};
    case ImageAnimationKind::blur: return {0.45, 24, 12, 1};
    case ImageAnimationKind::shake: return {0.5, 0, 0, 1};
    case ImageAnimationKind::scale: return {0.4, 12, 0, 0.92};
    case ImageAnimationKind::none: break;
  }
  return {0.4, 0, 0, 1};
}

double effectDuration(ImageAnimationKind kind, const std::optional<NativeImageAnimationSettings>& settings,
                      std::optional<double> legacyDuration) {
  if (settings) {
    if (auto d = finiteValue(settings->duration)) return clampValue(*d, 0.1, 5);
  }
  if (auto d = finiteValue(legacyDuration)) return clampValue(*d, 0.1, 5);
  return defaultsFor(kind).duration;
}

}  // namespace

// ---- Timing ----

double evaluateCubicBezierTiming(double p, double x1, double y1, double x2, double y2) {
  if (!(p < 1)) return 1;  // NaN counts as the end
  if (p <= 0) return 0;
  auto X = [&](double s) { return 3 * (1 - s) * (1 - s) * s * x1 + 3 * (1 - s) * s * s * x2 + s * s * s; };
  auto dX = [&](double s) {
    return 3 * (1 - s) * (1 - s) * x1 + 6 * (1 - s) * s * (x2 - x1) + 3 * s * s * (1 - x2);
  };
  auto Y = [&](double s) { return 3 * (1 - s) * (1 - s) * s * y1 + 3 * (1 - s) * s * s * y2 + s * s * s; };
  constexpr double kEpsilon = 1e-6;

  double s = p;
  bool solved = false;
  for (int i = 0; i < 8; ++i) {
    const double error = X(s) - p;
    if (std::abs(error) < kEpsilon) {
      solved = true;
      break;
    }
    const double slope = dX(s);
    if (std::abs(slope) < kEpsilon) break;
    s = clampValue(s - error / slope, 0, 1);
  }
  if (!solved && !(std::abs(X(s) - p) < kEpsilon)) {
    double lo = 0, hi = s;
    if (X(s) < p) {
      lo = s;
      hi = 1;
    }
    for (int i = 0; i < 8; ++i) {
      s = (lo + hi) / 2;
      const double x = X(s);
      if (std::abs(x - p) < kEpsilon) break;
      if (x < p) {
        lo = s;
      } else {
        hi = s;
      }
    }
  }
  const double y = Y(s);
  return std::isfinite(y) ? clampValue(y, 0, 1) : p;
}

bool overlayIsActive(double startTime, double endTime, double t) {
  return startTime - kActiveSlack <= t && t <= endTime + kActiveSlack;
}

double overlayFadeOpacity(double startTime, double endTime, const std::optional<std::string>& animationStyle,
                          double t) {
  if (!animationStyle || *animationStyle != "fade") return 1;
  const double d = endTime - startTime;
  if (!(d >= 0)) return 1;
  const double f = std::min(0.2, d / 2);
  if (!(f > 0)) return 1;
  const double fadeIn = startTime <= 1e-6 ? 1 : clampValue((t - startTime) / f, 0, 1);
  const double fadeOut = clampValue((endTime - t) / f, 0, 1);
  return std::min(fadeIn, fadeOut);
}

// ---- Picture animations ----

ImageAnimationRenderState resolveImageAnimationRenderState(const std::optional<std::string>& animation,
                                                           const std::optional<NativeImageAnimationSettings>& settings,
                                                           double elapsed, std::optional<double> legacyDuration) {
  const ImageAnimationKind kind = animationKind(animation);
  if (kind == ImageAnimationKind::none) return {};
  const AnimationDefaults defaults = defaultsFor(kind);
  double delay = 0, offsetY = defaults.offsetY, blur = defaults.blur, scaleFrom = defaults.scaleFrom;
  double intensity = 10, frequency = 4;
  if (settings) {
    if (auto v = finiteValue(settings->delay)) delay = clampValue(*v, 0, 5);
    if (auto v = finiteValue(settings->offsetY)) offsetY = clampValue(*v, -200, 200);
    if (auto v = finiteValue(settings->scaleFrom)) scaleFrom = clampValue(*v, 0.4, 1.2);
    if (auto v = finiteValue(settings->blur)) blur = clampValue(*v, 0, 40);
    if (auto v = finiteValue(settings->shakeIntensity)) intensity = clampValue(*v, 0, 40);
    if (auto v = finiteValue(settings->shakeFrequency)) frequency = clampValue(*v, 1, 12);
  }
  const double duration = effectDuration(kind, settings, legacyDuration);
  const bool waiting = !(elapsed >= delay);
  const double p = clampValue((elapsed - delay) / duration, 0, 1);
  const double e = 1 - (1 - p) * (1 - p) * (1 - p);

  ImageAnimationRenderState state;
  state.opacity = waiting ? 0 : e;
  if (kind == ImageAnimationKind::shake) {
    const double k = waiting ? 0 : 1 - e;
    state.offsetX = k * intensity * std::sin(2 * std::numbers::pi * frequency * p);
    state.offsetY = 0.2 * state.offsetX;
    return state;
  }
  state.offsetY = offsetY * (1 - e);
  if (kind == ImageAnimationKind::scale) state.scale = scaleFrom + (1 - scaleFrom) * e;
  if (kind == ImageAnimationKind::blur) state.blur = blur * (1 - e);
  return state;
}

double fillerImageAnimationActiveDurationSeconds(const std::optional<std::string>& animation,
                                                 const std::optional<NativeImageAnimationSettings>& settings,
                                                 std::optional<double> legacyDuration) {
  return clampValue(effectDuration(animationKind(animation), settings, legacyDuration), 0.1, 5);
}

ImageAnimationRenderState resolveImageOverlayAnimationState(const NativeImageOverlay& overlay, double t) {
  const double elapsed = std::max(t - overlay.startTime, 0.0);
  double remaining = std::max(overlay.endTime - t, 0.0);
  const bool startsAtZero = overlay.startTime <= 1e-6;
  ImageAnimationRenderState state;
  if (!startsAtZero) {
    state = resolveImageAnimationRenderState(overlay.animation, overlay.animationSettings, elapsed,
                                             overlay.animationDuration);
  }
  const double active =
      fillerImageAnimationActiveDurationSeconds(overlay.animation, overlay.animationSettings, overlay.animationDuration);
  if (std::isfinite(remaining) && remaining < active) {
    // An overlay at the very start shorter than its effect plays the exit over its whole life.
    const double life = elapsed + remaining;
    if (startsAtZero && active > life && life > 0) remaining = remaining / life * active;
    NativeImageAnimationSettings exitSettings = overlay.animationSettings.value_or(NativeImageAnimationSettings{});
    exitSettings.delay = 0.0;
    const auto exit = resolveImageAnimationRenderState(overlay.animation, exitSettings, remaining,
                                                       overlay.animationDuration);
    if (exit.opacity < state.opacity) state = exit;
  }
  return state;
}

// ---- Geometry ----

gfx::Rect overlayCanvasRect(const gfx::Rect& R, double x, double y, double width, double height) {
  return {R.minX() + x * R.width, R.maxY() - (y + height) * R.height, width * R.width, height * R.height};
}

bool overlayRectIsDrawable(const gfx::Rect& rect) {
  return rect.isFinite() && rect.width > 0.5 && rect.height > 0.5;
}

gfx::Image croppedImageSource(const gfx::Image& image, const std::optional<NativeImageCrop>& crop) {
  if (!crop) return image;
  const gfx::Rect E = image.extent().integral();
  if (E.isEmpty() || !E.isFinite()) return image;
  const double x = clampValue(std::isfinite(crop->x) ? crop->x : 0, 0, 1);
  const double y = clampValue(std::isfinite(crop->y) ? crop->y : 0, 0, 1);
  const double w = std::max(std::min(std::isfinite(crop->width) ? crop->width : 1, 1 - x), 0.001);
  const double h = std::max(std::min(std::isfinite(crop->height) ? crop->height : 1, 1 - y), 0.001);
  return image.cropped({E.minX() + x * E.width, E.minY() + (1 - y - h) * E.height, w * E.width, h * E.height});
}

// ---- Text ----

namespace {

// One code point of UTF-8 at `i` (advancing it); malformed bytes count as one
// character each so that any input ends.
char32_t nextCodePoint(std::string_view s, std::size_t& i) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  const int extra = c < 0x80 ? 0 : (c >> 5) == 0x6 ? 1 : (c >> 4) == 0xE ? 2 : (c >> 3) == 0x1E ? 3 : -1;
  if (extra <= 0 || i + static_cast<std::size_t>(extra) >= s.size()) {
    ++i;
    return c;
  }
  char32_t cp = c & (0x3F >> extra);
  for (int k = 1; k <= extra; ++k) {
    const unsigned char d = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
    if ((d & 0xC0) != 0x80) {
      ++i;
      return c;
    }
    cp = (cp << 6) | (d & 0x3F);
  }
  i += static_cast<std::size_t>(extra) + 1;
  return cp;
}

// White space as the regular-expression class \s knows it (Unicode separators included).
bool isSpace(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// Code points that belong to the character before them: a word is never cut
// between a letter and its accent, inside an emoji sequence or before a
// variation selector.
bool extendsPrevious(char32_t c) {
  return (c >= 0x0300 && c <= 0x036F) || (c >= 0x1AB0 && c <= 0x1AFF) || (c >= 0x1DC0 && c <= 0x1DFF) ||
         (c >= 0x20D0 && c <= 0x20FF) || (c >= 0xFE00 && c <= 0xFE0F) || (c >= 0xFE20 && c <= 0xFE2F) ||
         c == 0x200D || (c >= 0x1F3FB && c <= 0x1F3FF) || (c >= 0xE0020 && c <= 0xE007F) ||
         (c >= 0x0610 && c <= 0x061A) || (c >= 0x064B && c <= 0x065F) || c == 0x0670 ||
         (c >= 0x0900 && c <= 0x0903) || (c >= 0x093A && c <= 0x094F) || (c >= 0x0E31 && c <= 0x0E3A && c != 0x0E32 && c != 0x0E33) ||
         (c >= 0x0E47 && c <= 0x0E4E);
}

// Byte offsets where characters start (and the end), with combining marks and
// joined emoji kept with their base.
std::vector<std::size_t> characterBoundaries(std::string_view s) {
  std::vector<std::size_t> starts;
  std::size_t i = 0;
  bool afterJoiner = false;
  while (i < s.size()) {
    const std::size_t at = i;
    const char32_t c = nextCodePoint(s, i);
    if (starts.empty() || !(extendsPrevious(c) || afterJoiner)) starts.push_back(at);
    afterJoiner = c == 0x200D;
  }
  starts.push_back(s.size());
  return starts;
}

// Runs of white space and of everything else, in order.
std::vector<std::string_view> spaceRuns(std::string_view paragraph) {
  std::vector<std::string_view> tokens;
  std::size_t i = 0, start = 0;
  int kind = -1;
  while (i < paragraph.size()) {
    const std::size_t at = i;
    const int k = isSpace(nextCodePoint(paragraph, i)) ? 1 : 0;
    if (kind >= 0 && k != kind) {
      tokens.push_back(paragraph.substr(start, at - start));
      start = at;
    }
    kind = k;
  }
  if (start < paragraph.size()) tokens.push_back(paragraph.substr(start));
  return tokens;
}

// The longest run of whole characters from boundary `from` that fits in
// maxWidth (at least one character): widths grow with length, so a doubling
// search then bisection needs a logarithmic number of measurements.
std::size_t fittingCharacters(std::string_view token, const std::vector<std::size_t>& bounds, std::size_t from,
                              double maxWidth, const gfx::Font& font) {
  const std::size_t available = bounds.size() - 1 - from;
  auto fits = [&](std::size_t n) {
    return gfx::measureTextWidth(font, token.substr(bounds[from], bounds[from + n] - bounds[from])) <= maxWidth;
  };
  std::size_t good = 1, bad = available + 1;
  for (std::size_t n = 2; n <= available; n *= 2) {
    if (!fits(n)) {
      bad = n;
      break;
    }
    good = n;
  }
  if (bad == available + 1 && good < available) {
    if (fits(available)) return available;
    bad = available;
  }
  while (bad - good > 1) {
    const std::size_t mid = good + (bad - good) / 2;
    if (fits(mid)) {
      good = mid;
    } else {
      bad = mid;
    }
  }
  return std::min(good, available);
}

}  // namespace

std::vector<std::string> wrapOverlayTextLines(std::string_view text, double maxWidth, const gfx::Font& font) {
  std::vector<std::string> lines;
  if (!(maxWidth > 0)) maxWidth = 1;
  // Joined widths are measured only near the limit; elsewhere the sum of the
  // parts decides (a space next to a word shapes the same joined or not).
  const double slack = 2 + font.size() * 0.25;

  std::size_t begin = 0;
  while (begin <= text.size()) {
    std::size_t end = begin;
    while (end < text.size() && text[end] != '\n' && text[end] != '\r') ++end;
    const std::string_view paragraph = text.substr(begin, end - begin);

    std::string line;
    double lineWidth = 0;
    auto place = [&](std::string_view piece, double pieceWidth) {
      if (line.empty()) {
        line.assign(piece);
        lineWidth = pieceWidth;
        return;
      }
      const double estimate = lineWidth + pieceWidth;
      bool fits = estimate <= maxWidth - slack;
      double joinedWidth = estimate;
      if (!fits && estimate <= maxWidth + slack) {
        joinedWidth = gfx::measureTextWidth(font, line + std::string(piece));
        fits = joinedWidth <= maxWidth;
      }
      if (fits) {
        line.append(piece);
        lineWidth = joinedWidth;
      } else {
        lines.push_back(std::move(line));
        line.assign(piece);
        lineWidth = pieceWidth;
      }
    };
    for (std::string_view token : spaceRuns(paragraph)) {
      const double width = gfx::measureTextWidth(font, token);
      if (width <= maxWidth) {
        place(token, width);
        continue;
      }
      const auto bounds = characterBoundaries(token);
      for (std::size_t from = 0; from + 1 < bounds.size();) {
        const std::size_t n = fittingCharacters(token, bounds, from, maxWidth, font);
        const std::string_view piece = token.substr(bounds[from], bounds[from + n] - bounds[from]);
        place(piece, gfx::measureTextWidth(font, piece));
        from += n;
      }
    }
    lines.push_back(std::move(line));

    if (end >= text.size()) break;
    begin = end + ((text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ? 2 : 1);
  }
  return lines;
}

std::optional<gfx::Font> bundledFont(const std::string& familyIn, double size, double weight) {
  static std::once_flag registered;
  std::call_once(registered, [] {
    try {
      BundledFonts::registerOnce();
    } catch (const ResourceBundleError&) {
      return;  // no bundle: the system's fonts serve
    }
    for (const auto& file : BundledFonts::registeredFontFiles()) {
      const auto slash = file.find_last_of('/');
      const std::string name = slash == std::string::npos ? file : file.substr(slash + 1);
      gfx::Font::registerFile(file, name.rfind("InterVariable", 0) == 0 ? "Inter Variable" : "");
    }
  });
  std::string family;
  for (char c : familyIn)
    if (c != '"' && c != '\'') family.push_back(c);
  std::string lower = family;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  if (lower == "inter" || lower == "inter variable") {
    return gfx::Font::make("Inter Variable", clampValue(std::isfinite(weight) ? weight : 400, 100, 900), size);
  }
  return gfx::Font::make(family, std::isfinite(weight) ? weight : 400, size);
}

namespace {

gfx::Color colorOr(const std::optional<std::string>& text, gfx::Color fallback, double alpha) {
  gfx::Color c = fallback;
  if (auto parsed = parseColor(text)) c = {parsed->red, parsed->green, parsed->blue, 1};
  c.a = alpha;
  return c;
}

bool hasNonSpace(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size())
    if (!isSpace(nextCodePoint(s, i))) return true;
  return false;
}

}  // namespace

ResolvedTextOverlayStyle resolveTextOverlayStyle(const NativeTextOverlay& overlay, double videoWidth,
                                                 double videoHeight) {
  ResolvedTextOverlayStyle style;
  const double u = videoHeight / 1080;
  style.unit = u;
  if (auto size = finiteValue(overlay.fontSize)) style.fontSize = clampValue(std::round(*size), 12, 240);
  if (auto weight = finiteValue(overlay.fontWeight)) {
    const double w = std::round(*weight);
    for (int allowed : {100, 300, 400, 500, 600, 700, 900})
      if (w == allowed) style.fontWeight = allowed;
  }
  style.fontFamily = "Inter";
  if (overlay.fontFamily) {
    const std::string& f = *overlay.fontFamily;
    const auto first = f.find_first_not_of(" \t\r\n\f\v");
    if (first != std::string::npos) style.fontFamily = f.substr(first, f.find_last_not_of(" \t\r\n\f\v") - first + 1);
  }
  style.background = overlay.backgroundEnabled.value_or(false);
  if (style.background) {
    const double padding = finiteValue(overlay.backgroundPadding) ? std::max(*overlay.backgroundPadding, 0.0) : 12;
    style.padding = padding * u * 4;
  }
  style.wrapWidth = std::max(videoWidth - 2 * style.padding / 3, 1.0);
  if (auto w = finiteValue(overlay.textWidth)) style.wrapWidth = std::min(style.wrapWidth, std::max(*w * u, 1.0));
  style.text = overlay.text && hasNonSpace(*overlay.text) ? *overlay.text : std::string(kOverlayPlaceholderText);
  if (style.text.size() > kMaxOverlayTextBytes) {
    std::size_t cut = kMaxOverlayTextBytes;
    while (cut > 0 && (static_cast<unsigned char>(style.text[cut]) & 0xC0) == 0x80) --cut;
    style.text.resize(cut);
  }
  const double F = u * style.fontSize;
  style.lineHeight = std::max(std::round(1.2 * F), F + 4 * u);
  const std::string align = overlay.textAlign.value_or("center");
  style.align = align == "left" || align == "right" ? align : "center";
  style.backgroundRadius = u * finiteValue(overlay.backgroundRadius).value_or(12);
  style.backgroundColor = colorOr(overlay.backgroundColor, {0, 0, 0, 1},
                                  clampValue(finiteValue(overlay.backgroundOpacity).value_or(100) / 100, 0, 1));
  style.textColor = colorOr(overlay.color, {1, 1, 1, 1}, clampValue(finiteValue(overlay.opacity).value_or(100) / 100, 0, 1));
  return style;
}

}  // namespace vantrel::exporter
