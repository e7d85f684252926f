#pragma once
// Filler cards: title cards shown between two cuts of the recording. A card
// (colour, two-colour gradient or uploaded picture, with text and image layers)
// comes in and goes out with a fade or a sideways slide over a still of the
// neighbouring recording, and each layer has its own entrance and exit.
//
// Units: times are seconds (block offsets from the card's start), lengths in
// a block are reference-canvas pixels multiplied by the layout scale, canvas
// geometry is drawing space (origin bottom left, y up); "top-down" values are
// measured from the card's top edge.
//
// Threads: the pure functions here run anywhere. The drawing functions take the
// render state and run on its thread only; what they cache lives in the render
// state's `FillerLayerState` for one export.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "manifest/color.h"
#include "manifest/manifest.h"
#include "plan/geometry.h"
#include "vantrel/graphics/color.h"
#include "vantrel/graphics/image.h"
#include "vantrel/graphics/text.h"

namespace vantrel::exporter {

class NativeRenderState;

// ---- Card transition ----

// Length of the card's fade or slide for a block of `durationSeconds` and an
// optional configured length: at most half the block and 5 s, at least 0.06 s.
double fillerTransitionDurationSeconds(double durationSeconds, std::optional<double> configuredAnimationSeconds);

struct FillerVisualState {
  double opacity = 1;
  double translateX = 0;  // canvas pixels, positive to the right
};
// The card's opacity and horizontal shift at `offsetSeconds` into the block.
FillerVisualState fillerVisualState(const NativeFillerBlock& filler, double offsetSeconds, double containerWidth);

// ---- Boundary stills ----

// True when the backdrop at output time t is the still after the card (the
// last transition length plus one frame period of the block).
bool fillerUsesExitBoundary(const NativeFillerBlock& filler, double t, std::int64_t frameRate);

// Which frame of which segment a boundary still shows.
struct FillerBoundaryFrame {
  std::size_t segmentIndex = 0;
  double sourceTime = 0;  // seconds of the segment's source file
  double outputTime = 0;  // seconds of output time the scene is composed at
};
// Exit: the first frame of the segment right after the card; start: the last
// frame of the one before it (the first segment's first frame for a card at
// the head). Nothing when that segment does not exist.
std::optional<FillerBoundaryFrame> fillerBoundaryFrame(const NativeFillerBlock& filler,
                                                       const std::vector<NativeVideoSegmentPlan>& segments,
                                                       std::int64_t frameRate, bool useExitBoundary);
std::string fillerBoundaryCacheKey(const NativeFillerBlock& filler, bool useExitBoundary);

// ---- Card background ----

// Two or more colours for a gradient card (only the first and last are drawn),
// or nothing for a solid card.
std::vector<RgbaColor> normalizedFillerGradientStops(const NativeFillerBlock& filler);
// The block's solid colour (a dark grey when absent or unparsable).
RgbaColor fillerBaseColor(const NativeFillerBlock& filler);
graphics::Color fillerCGColor(const RgbaColor& color);

// ---- Layers ----

// Inset (canvas pixels) that layers keep from the card's edges.
double fillerSafePadding(const NativeFillerBlock& filler, Size canvas, double layoutScale);

// Lines of `text` within `maxWidth`, breaking only between words; a word wider
// than the width stands alone. Empty paragraphs give empty lines.
std::vector<std::string> wrapFillerTextLines(const std::string& text, double maxWidth, const graphics::Font& font);

// State of an animated layer at one moment (offsets in canvas pixels, positive
// offsetY moves down; blur is a Gaussian radius in pixels).
struct FillerAnimationState {
  double opacity = 1;
  double offsetX = 0;
  double offsetY = 0;
  double scale = 1;
  double blur = 0;

  bool isIdentity() const { return opacity == 1 && offsetX == 0 && offsetY == 0 && scale == 1 && blur == 0; }
  bool isVisible() const { return opacity > 0.001 && scale > 0.001; }
};

// Entrance at `elapsedSeconds` into the card, replaced by the exit (the same
// animation played backwards into the card's end) when that is more faded.
FillerAnimationState resolveFillerTextAnimationRenderState(const std::optional<std::string>& animation,
                                                           const std::optional<NativeTextAnimationSettings>& settings,
                                                           double elapsedSeconds, double remainingSeconds,
                                                           std::optional<double> legacyDuration);
double fillerTextAnimationActiveDurationSeconds(const std::optional<std::string>& animation,
                                                const std::optional<NativeTextAnimationSettings>& settings,
                                                std::optional<double> legacyDuration);
// The image layer's animation (the overlays' entrance rule) with the same exit.
FillerAnimationState resolveFillerImageAnimationState(const NativeFillerImageLayer& layer, double elapsedSeconds,
                                                      double remainingSeconds);

// Everything about a text layer that does not change while it animates.
struct FillerTextLayout {
  graphics::Font font;
  std::vector<std::string> lines;
  std::vector<double> lineWidths;
  double fontSize = 0;    // P, canvas pixels
  double lineHeight = 0;  // L
  double blockWidth = 0;  // G
  double blockHeight = 0; // B
  double centerX = 0;     // block centre, from the left
  double centerY = 0;     // block centre, top-down
  std::string textAlign;
  graphics::Color color;
};
// The layer laid out on a card of `canvas`; nothing when no font can be made.
std::optional<FillerTextLayout> layoutFillerTextLayer(const NativeFillerTextLayer& layer, Size canvas,
                                                      double safePadding, double layoutScale);
// Baseline origin of line `index` in drawing space: inside its slot of the
// block, so the glyphs stay within the block the placement kept clear of the
// card's edges.
graphics::Point fillerTextLineOrigin(const FillerTextLayout& layout, std::size_t index, double canvasHeight);

// Rectangle (drawing space) of an image layer at rest.
graphics::Rect placeFillerImageLayer(const NativeFillerImageLayer& layer, Size canvas, double safePadding,
                                     double layoutScale);

// ---- Drawing (render-state thread) ----

// A card layer at rest and the frame of reference its animation works in.
struct FillerPlacedLayer {
  std::optional<graphics::Image> image;  // flattened; nothing when it cannot be drawn
  graphics::Point centre;                // scale animations work about it
  graphics::Rect blurBounds;             // a blurred layer is kept within it
};

// What stays the same across frames of one card.
struct FillerCardCache {
  std::optional<graphics::Image> background;  // flattened
  std::optional<std::vector<FillerPlacedLayer>> layers;  // in the card's layer order
  std::optional<graphics::Image> cardAtRest;  // background + every layer at rest, flattened
};

struct FillerLayerState {
  // Boundary scenes by block id + "|start" / "|exit", flattened; an absent
  // scene is kept too. Only the current block's entries are held: blocks are
  // drawn in output order, and a scene held for the rest of the export would
  // cost a canvas of memory per block and side.
  std::map<std::string, std::optional<graphics::Image>> fillerBoundarySceneCache;
  FillerCardCache card;

  // Drops every cached image when the frame belongs to another block (told
  // apart by id and start, so two blocks that share an id never share images).
  void enterBlock(const NativeFillerBlock& filler);

 private:
  std::optional<std::pair<std::string, double>> currentBlock_;
};

FillerLayerState& fillerLayerState(NativeRenderState& state);

// The whole frame at output time t while `filler` is active.
graphics::Image composeFillerFrame(NativeRenderState& state, const NativeFillerBlock& filler, double t);
std::optional<graphics::Image> cachedFillerBoundaryScene(NativeRenderState& state, const NativeFillerBlock& filler,
                                                         bool useExitBoundary);
std::optional<graphics::Image> composeFillerBoundaryScene(NativeRenderState& state, const NativeFillerBlock& filler,
                                                          bool useExitBoundary);
// The card (background and layers) at `offsetSeconds` into the block.
graphics::Image composeFillerOverlayImage(NativeRenderState& state, const NativeFillerBlock& filler,
                                          double offsetSeconds);
graphics::Image fillerBackgroundImage(const NativeRenderState& state, const NativeFillerBlock& filler);
// Contained picture over a darkened, blurred cover copy of itself, filling `rect`.
graphics::Image makeFillerUploadedBackground(const graphics::Image& image, const graphics::Rect& rect);

// One layer drawn on the card at `offsetSeconds` with `remainingSeconds` left;
// nothing when it is invisible or cannot be drawn.
std::optional<graphics::Image> renderFillerTextLayer(const NativeRenderState& state, const NativeFillerTextLayer& layer,
                                                     double safePadding, double layoutScale, double offsetSeconds,
                                                     double remainingSeconds);
std::optional<graphics::Image> renderFillerImageLayer(const NativeRenderState& state,
                                                      const NativeFillerImageLayer& layer, double safePadding,
                                                      double layoutScale, double offsetSeconds,
                                                      double remainingSeconds);

}  // namespace vantrel::exporter
