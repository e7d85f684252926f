#pragma once
// Timed overlays placed by the editor over the recording (pictures, text boxes,
// pixellated regions): when they show, where they sit, how they enter and
// leave, how their text breaks into lines, and what the overlay layers keep
// between frames. Everything but `OverlayLayersState` is a pure function of its
// arguments and may be called from any thread; title cards use the picture
// animation, crop, line breaking and timing curve too.
//
// Units: times in seconds of output time; lengths in canvas pixels (drawing
// space, origin bottom left, y up) unless a name says otherwise. Overlay
// rectangles in the manifest are fractions of the video rectangle measured
// from its top-left corner; they are turned into canvas space here, before the
// zoom, so overlays move and zoom with the video.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "manifest/manifest.h"
#include "render/image_cache.h"
#include "vantrel/graphics/geometry.h"
#include "vantrel/graphics/image.h"
#include "vantrel/graphics/text.h"

namespace vantrel::exporter {

// ---- Timing ----

// Eased value of a cubic Bezier timing curve through (0,0), (x1,y1), (x2,y2),
// (1,1) at `progress`: 0 at or below 0, 1 at or above 1, otherwise the curve's
// y where its x equals progress (Newton steps, then bisection), in [0, 1].
double evaluateCubicBezierTiming(double progress, double x1, double y1, double x2, double y2);

// An overlay is on screen from startTime to endTime, each widened by 0.1 ms.
bool overlayIsActive(double startTime, double endTime, double t);

// Opacity of a text or blur overlay at t: the "fade" style fades in and out
// over min(0.2 s, half its length) (no fade-in for one that starts at 0);
// every other style (and none) is 1. Callers skip the overlay at 1e-4 or less.
double overlayFadeOpacity(double startTime, double endTime, const std::optional<std::string>& animationStyle,
                          double t);

// Whether a text or blur overlay looks different at t1 than at t0 through its
// timing alone: it comes or goes, or its fade opacity moves.
template <typename Overlay>
bool overlayPresenceOrFadeChanges(const Overlay& overlay, double t0, double t1) {
  const bool a = overlayIsActive(overlay.startTime, overlay.endTime, t0);
  if (a != overlayIsActive(overlay.startTime, overlay.endTime, t1)) return true;
  return a && overlayFadeOpacity(overlay.startTime, overlay.endTime, overlay.animationStyle, t0) !=
                  overlayFadeOpacity(overlay.startTime, overlay.endTime, overlay.animationStyle, t1);
}

// ---- Picture animations ----

// A picture's look at one moment of its entrance (or, played backwards, exit).
struct ImageAnimationRenderState {
  double opacity = 1;
  double offsetX = 0;  // canvas pixels, right
  double offsetY = 0;  // canvas pixels, positive moves DOWN
  double scale = 1;
  double blur = 0;     // Gaussian standard deviation, pixels
};

// The entrance `animation` ("fade", "blur", "shake", "scale"; anything else
// none) `elapsedSeconds` after the picture appeared. `settings` overrides the
// effect's defaults (each value clamped to its range); `legacyDuration` is the
// older single-duration form, used when the settings carry no duration.
ImageAnimationRenderState resolveImageAnimationRenderState(const std::optional<std::string>& animation,
                                                           const std::optional<NativeImageAnimationSettings>& settings,
                                                           double elapsedSeconds,
                                                           std::optional<double> legacyDuration);

// Length of the effect in seconds (delay not included), in [0.1, 5].
double fillerImageAnimationActiveDurationSeconds(const std::optional<std::string>& animation,
                                                 const std::optional<NativeImageAnimationSettings>& settings,
                                                 std::optional<double> legacyDuration);

// An image overlay's state at t: its entrance (none when it starts at 0), or
// its exit (the entrance played backwards so that it ends with the overlay)
// whenever that is the more transparent of the two.
ImageAnimationRenderState resolveImageOverlayAnimationState(const NativeImageOverlay& overlay, double t);

// ---- Geometry ----

// Canvas rectangle of an overlay box given as fractions of the video rectangle `R`.
graphics::Rect overlayCanvasRect(const graphics::Rect& R, double x, double y, double width, double height);
// Both sides wider than half a pixel (and finite): overlays smaller than that are not drawn.
bool overlayRectIsDrawable(const graphics::Rect& rect);

// The part of `image` a crop (fractions of the picture from its top-left,
// clamped inside it, at least 0.001 a side) selects; the image itself without a
// crop or when its extent is empty. Keeps the image's own coordinates.
graphics::Image croppedImageSource(const graphics::Image& image, const std::optional<NativeImageCrop>& crop);

// ---- Text ----

// Lines of `text` no wider than `maxWidth` in `font`: paragraphs at line
// breaks, then runs of spaces and non-spaces laid greedily; a run wider than
// the line is cut between characters (whole UTF-8 sequences). Spaces stay in
// the lines. An empty paragraph gives one empty line.
std::vector<std::string> wrapOverlayTextLines(std::string_view text, double maxWidth, const graphics::Font& font);

// The font of overlay and title-card text at `size` pixels. Quotes in the
// family are ignored; "Inter" (any letter case) and "Inter Variable" are the
// variable font of the resource bundle with its 'wght' axis at
// clamp(weight, 100, 900); any other family comes from the system's fonts at
// that weight (their nearest match when the family is not installed). The
// bundle's fonts are registered on the first call (thread-safe); without a
// bundle the system's fonts serve. Nothing when the size is not a positive
// finite number or no font at all loads.
std::optional<graphics::Font> bundledFont(const std::string& family, double size, double weight);

inline constexpr const char* kOverlayPlaceholderText = "Type your text...";
// Longest overlay text drawn, in bytes (cut at a character boundary): far more
// than a box can show, and it keeps a hostile manifest from stalling a frame.
inline constexpr std::size_t kMaxOverlayTextBytes = 16384;

// What a text overlay draws, resolved for a video rectangle `videoHeight`
// pixels high (sizes in the manifest are for a 1080-pixel-high video).
struct ResolvedTextOverlayStyle {
  double unit = 1;          // videoHeight / 1080
  double fontSize = 48;     // pixels of a 1080-high video, before `unit`
  int fontWeight = 600;
  std::string fontFamily;   // as the font lookup takes it
  double padding = 0;       // k, canvas pixels; 0 without a background
  double wrapWidth = 1;     // canvas pixels
  double lineHeight = 0;    // canvas pixels; needs the font size only
  std::string text;         // the text or the placeholder, at most kMaxOverlayTextBytes
  std::string align;        // "left", "right" or "center"
  bool background = false;
  double backgroundRadius = 0;  // canvas pixels before clamping to the box
  graphics::Color backgroundColor{0, 0, 0, 1};
  graphics::Color textColor{1, 1, 1, 1};
};
ResolvedTextOverlayStyle resolveTextOverlayStyle(const NativeTextOverlay& overlay, double videoWidth,
                                                 double videoHeight);

// ---- Between frames ----

// What the overlay layers keep for one export. Used only on the render
// state's thread.
struct OverlayLayersState {
  // Drawn text boxes and Lanczos-scaled pictures, keyed by everything that
  // changes their pixels (content, size, sub-pixel position). Bounded by cost
  // so animated layouts, which change the key every frame, cannot grow memory.
  static constexpr std::size_t kImageCostLimit = 96ull * 1024 * 1024;
  CostLimitedImageCache textImages{kImageCostLimit};
  CostLimitedImageCache pictureImages{kImageCostLimit};
  // Counters for tests and reports: boxes and pictures actually drawn.
  std::uint64_t textRenders = 0;
  std::uint64_t pictureRenders = 0;
};

}  // namespace vantrel::exporter
