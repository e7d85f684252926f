#pragma once
// Word-timed captions: the preset a caption is drawn with, where its words go
// (one or two centred lines), which words are highlighted at a moment, how the
// caption comes up and goes away, and the drawing of one caption image.
//
// Units: times are seconds of output time; lengths are canvas pixels unless a
// name says otherwise. Presets are authored for a canvas 1080 pixels high and
// scaled by u = canvas height / 1080.
//
// Threads: the free functions are pure and thread-safe. SubtitleLayerState
// belongs to one render state and is used on its thread only.

#include <cstddef>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "manifest/manifest.h"
#include "render/image_cache.h"
#include "vantrel/graphics/color.h"
#include "vantrel/graphics/geometry.h"
#include "vantrel/graphics/image.h"
#include "vantrel/graphics/text.h"

namespace vantrel::exporter {

// The preset used when the manifest has none.
NativeSubtitlePreset defaultSubtitlePreset();

// A preset with every optional key settled, and its sizes on a canvas.
struct SubtitleStyle {
  std::string fontFamily;         // as authored ("Helvetica" when absent)
  double fontWeight = 700;
  bool uppercase = false;
  std::string highlightMode;      // "single" when absent
  graphics::Color color;          // white when absent or not a colour
  graphics::Color highlightColor;
  std::optional<graphics::TextOutline> outline;  // none when strokeEnabled is false
  bool backgroundEnabled = false;
  graphics::Color backgroundColor;  // opaque black when absent or not a colour
  double backgroundAlpha = 0.5;     // 0...1
  double bottomMargin = 0;          // fraction of the canvas height
  double positionX = 0.5;           // fraction of the canvas width
  std::optional<double> positionY;  // fraction of the canvas height; absent: on the bottom margin

  double unit = 1;           // u
  double fontSize = 1;       // P, pixels
  double letterSpacing = 0;  // k, pixels after every character
  double linePitch = 0;      // h, pixels
  double wrapWidth = 0;      // pixels

  static SubtitleStyle resolve(const NativeSubtitlePreset& preset, double canvasHeight);
};

// The font of the style's family: the bundled variable font for "Inter" (its
// weight axis set to the weight), the system's nearest match for any other
// family. Nothing when no font can be loaded at that size.
std::optional<graphics::Font> subtitleFont(const std::string& family, double weight, double size);

// ---- Timing ----

// Index of the first caption shown at t (start <= t <= end).
std::optional<std::size_t> captionIndexAt(const std::vector<NativeSubtitleCaption>& captions, double t);

// Words highlighted at t: spoken so far in "progressive" mode, being spoken in any other.
std::set<std::string> highlightedWordIds(const std::vector<std::vector<NativeSubtitleWord>>& lines, double t,
                                         std::string_view mode);
std::set<std::string> captionHighlightedWordIds(const NativeSubtitleCaption& caption, double t,
                                                std::string_view mode);

// How a caption looks at t while it comes up and goes away.
struct SubtitleAnimation {
  double opacity = 1;  // 0...1; nothing is drawn at 0.001 or less
  double scale = 1;    // pop-in, about the block's centre
  // Past the pop-in: the image depends on the highlight set alone (the
  // fade-out only multiplies its alpha), so it may come from the cache.
  bool settled = true;
};
SubtitleAnimation subtitleAnimationAt(const NativeSubtitleCaption& caption, double t);

// Cache key of a caption image: the caption id, "|", the word ids sorted and joined by ",".
std::string subtitleKey(const std::string& captionId, const std::set<std::string>& wordIds);

// ---- Layout ----

// Σ widths[start..<end] + (end - start - 1) * gap; 0 for an empty range.
double segmentWidth(const std::vector<double>& widths, std::size_t start, std::size_t end, double gap);

// Where to cut pieces of widths `widths` (gaps[i] lies between piece i and
// i+1) into two lines no wider than `maxWidth`: nothing when all fit on one
// line; else the most even cut where both halves fit, earlier on ties, or the
// middle piece count when no cut fits both.
std::optional<std::size_t> subtitleSplitIndex(const std::vector<double>& widths, const std::vector<double>& gaps,
                                              double maxWidth);

// A piece of one word drawn as one shaped run. A word is one piece, except
// that text without spaces (Chinese, Japanese) is cut between characters
// where a line may break.
struct SubtitleRun {
  std::size_t word = 0;  // index into SubtitleLayout::words
  std::string text;      // upper-cased when the style says so
  double width = 0;      // shaped width with letter spacing
  double gapAfter = 0;   // to the next piece in reading order: 0 inside a word or between CJK words, else a space
  bool rightToLeft = false;  // resolved direction of the run within its line
  std::optional<graphics::TextLine> shaped;  // set once the run is on its line (no font: none)
};

struct SubtitleLine {
  std::vector<SubtitleRun> runs;  // reading order, pieces of one word merged
  std::vector<std::size_t> visualOrder;  // indices into runs, left to right
  std::vector<double> runX;       // left edge of each run (index as in runs) from the line's left edge
  double width = 0;
  bool rightToLeft = false;  // paragraph direction of the line
};

struct SubtitleLayout {
  std::vector<NativeSubtitleWord> words;  // the caption's words, authored line grouping dropped
  std::vector<SubtitleLine> lines;        // one or two (the second may be empty)
  double maxLineWidth = 0;
  double spaceWidth = 0;
};

// Measures every word in `font` with `letterSpacing` (upper-cased when asked)
// and puts the caption's words on one line, or on two.
SubtitleLayout reflowWordsIntoLines(const std::vector<NativeSubtitleWord>& words, double maxWidth,
                                    const std::optional<graphics::Font>& font, double letterSpacing,
                                    bool uppercase);

// Text as drawn with `uppercase` (ASCII, Latin, Greek and Cyrillic letters; ß becomes SS).
std::string subtitleUppercased(std::string_view utf8);

// ---- Drawing ----

// One caption drawn at t into the canvas rectangle `canvas` (drawing space,
// origin bottom left): an image covering the block, already placed on the
// canvas, or nothing when there is nothing to see. Counts as one render.
struct SubtitleDrawing {
  const NativeSubtitleCaption* caption = nullptr;
  const SubtitleLayout* layout = nullptr;
  const SubtitleStyle* style = nullptr;
};
std::optional<graphics::Image> renderSubtitleOverlay(const SubtitleDrawing& drawing, double t,
                                                     const graphics::Rect& canvas);

// ---- Between frames ----

// What the subtitle layer keeps for one export: the resolved style and font,
// the layout of the caption last shown, and counters for tests and benches.
// Cached caption images live in the render state's StaticLayerCache.
struct SubtitleLayerState {
  SubtitleLayerState(const NativeSubtitlePreset& preset, double canvasHeight);

  SubtitleStyle style;
  std::optional<graphics::Font> font;
  std::optional<std::size_t> layoutCaption;  // index of the caption `layout` belongs to
  SubtitleLayout layout;

  std::size_t renderCount = 0;  // caption images drawn
  std::size_t cacheHits = 0;
};

// The subtitle layer at t over `canvas`: a cached image while only the time
// advances, a fresh one while the caption pops in. Caption images cost their
// bitmap's bytes in `cache`.
std::optional<graphics::Image> cachedSubtitleOverlay(SubtitleLayerState& state, CostLimitedImageCache& cache,
                                                     const std::vector<NativeSubtitleCaption>& captions, double t,
                                                     const graphics::Rect& canvas);

}  // namespace vantrel::exporter
