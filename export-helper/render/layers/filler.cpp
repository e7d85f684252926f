// Filler cards: the card over a still of the neighbouring recording, its
// background, and its text and image layers in their animation states. What
// does not move (the backdrop still, the background, each layer at rest, the
// whole card at rest) is flattened once per card, so a frame mostly costs
// compositing.

#include <algorithm>
#include <cmath>
#include <numbers>

#include "render/filler_runtime.h"
#include "render/layers/layers.h"
#include "render/overlay_animation.h"
#include "render/render_geometry.h"
#include "render/render_state.h"
#include "vantrel/graphics/drawing.h"

namespace vantrel::exporter {

namespace gfx = vantrel::graphics;

namespace {

const gfx::Image* findPicture(const NativeRenderState& state, const std::optional<std::string>& path) {
  if (!path) return nullptr;
  const auto& images = state.inputs().imageSourcesByPath;
  auto it = images.find(*path);
  return it == images.end() ? nullptr : &it->second;
}

// Scale by `state.scale` about `centre`, then shift by the state's offsets
// (offsetY down); blurred within `blurBounds`; alpha times the opacity.
gfx::Image animated(const gfx::Image& image, const FillerAnimationState& state, gfx::Point centre,
                    const gfx::Rect& blurBounds) {
  gfx::Image out = image;
  const gfx::Affine move = gfx::Affine::translation(-centre.x, -centre.y)
                               .then(gfx::Affine::scale(state.scale, state.scale))
                               .then(gfx::Affine::translation(centre.x + state.offsetX, centre.y - state.offsetY));
  if (!move.isIdentity()) out = out.transformed(move);
  if (state.blur > 0.01) out = out.gaussianBlur(state.blur).cropped(blurBounds);
  if (state.opacity < 1) out = out.alphaMultiplied(state.opacity);
  return out;
}

// The text block at rest in a bitmap of its own bounds (with room for glyph
// overshoot), kept to the canvas grown by what the animations can move in.
std::optional<gfx::Image> drawTextAtRest(const FillerTextLayout& layout, Size canvas) {
  const double margin = std::ceil(0.5 * layout.fontSize) + 2;
  double minX = layout.centerX - layout.blockWidth / 2, maxX = layout.centerX + layout.blockWidth / 2;
  for (std::size_t i = 0; i < layout.lines.size(); ++i) {
    const gfx::Point origin = fillerTextLineOrigin(layout, i, canvas.height);
    minX = std::min(minX, origin.x);
    maxX = std::max(maxX, origin.x + layout.lineWidths[i]);
  }
  const double top = canvas.height - (layout.centerY - layout.blockHeight / 2);
  const gfx::Rect block{minX - margin, top - layout.blockHeight - margin, maxX - minX + 2 * margin,
                        layout.blockHeight + 2 * margin};
  const double reach = 0.25 * std::max(canvas.width, canvas.height) + 250;
  const gfx::Rect bounds = block.intersection(gfx::Rect{0, 0, canvas.width, canvas.height}.insetBy(-reach, -reach))
                               .integral();
  if (bounds.isEmpty() || !bounds.isFinite()) return std::nullopt;
  auto bitmap = gfx::BitmapContext::create(static_cast<int>(bounds.width), static_cast<int>(bounds.height));
  if (!bitmap) return std::nullopt;
  bitmap->translate(-bounds.minX(), -bounds.minY());
  for (std::size_t i = 0; i < layout.lines.size(); ++i) {
    if (layout.lines[i].empty()) continue;
    gfx::drawTextLine(*bitmap, gfx::TextLine(layout.font, layout.lines[i]),
                      fillerTextLineOrigin(layout, i, canvas.height), layout.color);
  }
  return bitmap->makeImage().translated(bounds.minX(), bounds.minY());
}

std::optional<gfx::Image> imageAtRest(const NativeRenderState& state, const NativeFillerImageLayer& layer,
                                      const gfx::Rect& rect) {
  const gfx::Image* picture = findPicture(state, layer.src);
  if (!picture) return std::nullopt;
  gfx::Image image = croppedImageSource(*picture, layer.crop);
  if (!image.extent().integral().isEmpty()) image = scaleImageWithLanczos(image, rect);
  return image;
}

FillerPlacedLayer placeTextLayer(const NativeRenderState& state, const NativeFillerTextLayer& layer, double p, double s) {
  const Size canvas = state.renderSize();
  FillerPlacedLayer placed;
  placed.blurBounds = state.canvasRect();
  if (auto layout = layoutFillerTextLayer(layer, canvas, p, s)) {
    placed.centre = {layout->centerX, canvas.height - layout->centerY};
    placed.image = drawTextAtRest(*layout, canvas);
  }
  return placed;
}

FillerPlacedLayer placeImageLayer(const NativeRenderState& state, const NativeFillerImageLayer& layer, double p, double s) {
  const gfx::Rect rect = placeFillerImageLayer(layer, state.renderSize(), p, s);
  return {imageAtRest(state, layer, rect), {rect.midX(), rect.midY()},
          {rect.midX() - rect.width, rect.midY() - rect.height, 2 * rect.width, 2 * rect.height}};
}

FillerPlacedLayer placeLayer(const NativeRenderState& state, const NativeFillerLayer& layer, double p, double s) {
  if (const auto* text = std::get_if<NativeFillerTextLayer>(&layer)) return placeTextLayer(state, *text, p, s);
  return placeImageLayer(state, std::get<NativeFillerImageLayer>(layer), p, s);
}

FillerAnimationState layerState(const NativeFillerLayer& layer, double o, double q) {
  if (const auto* text = std::get_if<NativeFillerTextLayer>(&layer)) {
    return resolveFillerTextAnimationRenderState(text->animation, text->animationSettings, o, q,
                                                 text->animationDuration);
  }
  return resolveFillerImageAnimationState(std::get<NativeFillerImageLayer>(layer), o, q);
}

gfx::Image linearCardGradient(const NativeFillerBlock& filler, const gfx::Rect& rect, gfx::Color c0, gfx::Color c1) {
  const double h = std::hypot(rect.width, rect.height) / 2;
  const double angle = filler.backgroundGradientAngle.value_or(135);
  const double dx = h * std::cos(angle * std::numbers::pi / 180), dy = h * std::sin(angle * std::numbers::pi / 180);
  if (!std::isfinite(dx) || !std::isfinite(dy)) return gfx::Image::solid(c0).cropped(rect);
  return gfx::Image::linearGradient({rect.midX() - dx, rect.midY() - dy}, c0, {rect.midX() + dx, rect.midY() + dy}, c1)
      .cropped(rect);
}

}  // namespace

void FillerLayerState::enterBlock(const NativeFillerBlock& filler) {
  std::pair<std::string, double> key{filler.id, filler.startOutputTime};
  if (currentBlock_ == key) return;
  fillerBoundarySceneCache.clear();
  card = {};
  currentBlock_ = std::move(key);
}

FillerLayerState& fillerLayerState(NativeRenderState& state) {
  auto& slot = state.layerStates().filler;
  if (!slot) slot = std::make_shared<FillerLayerState>();
  return *slot;
}

gfx::Image makeFillerUploadedBackground(const gfx::Image& image, const gfx::Rect& R) {
  const gfx::Rect grown = R.insetBy(-24, -24);
  const gfx::Image backdrop =
      fitImageToRectWithMode(image, grown, ImageFitMode::cover).gaussianBlur(40).cropped(grown).cropped(R);
  const gfx::Image dim = gfx::Image::solid({0, 0, 0, 0.14}).cropped(R);
  const gfx::Image front = fitImageToRectWithMode(image, R, ImageFitMode::contain).cropped(R);
  return front.composited(dim.composited(backdrop));
}

gfx::Image fillerBackgroundImage(const NativeRenderState& state, const NativeFillerBlock& filler) {
  const gfx::Rect canvas = state.canvasRect();
  if (filler.backgroundMode == "upload") {
    if (const gfx::Image* picture = findPicture(state, filler.backgroundUploadUrl)) {
      return makeFillerUploadedBackground(*picture, canvas);
    }
  }
  const auto colors = normalizedFillerGradientStops(filler);
  if (colors.size() < 2) return gfx::Image::solid(fillerCGColor(fillerBaseColor(filler))).cropped(canvas);
  return linearCardGradient(filler, canvas, fillerCGColor(colors.front()), fillerCGColor(colors.back()));
}

std::optional<gfx::Image> renderFillerTextLayer(const NativeRenderState& state, const NativeFillerTextLayer& layer,
                                                double p, double s, double o, double q) {
  const FillerAnimationState st =
      resolveFillerTextAnimationRenderState(layer.animation, layer.animationSettings, o, q, layer.animationDuration);
  if (!st.isVisible()) return std::nullopt;
  const FillerPlacedLayer placed = placeTextLayer(state, layer, p, s);
  if (!placed.image) return std::nullopt;
  return animated(*placed.image, st, placed.centre, placed.blurBounds);
}

std::optional<gfx::Image> renderFillerImageLayer(const NativeRenderState& state, const NativeFillerImageLayer& layer,
                                                 double p, double s, double o, double q) {
  const FillerAnimationState st = resolveFillerImageAnimationState(layer, o, q);
  if (!st.isVisible()) return std::nullopt;
  const FillerPlacedLayer placed = placeImageLayer(state, layer, p, s);
  if (!placed.image) return std::nullopt;
  return animated(*placed.image, st, placed.centre, placed.blurBounds);
}

gfx::Image composeFillerOverlayImage(NativeRenderState& state, const NativeFillerBlock& filler, double o) {
  FillerLayerState& fs = fillerLayerState(state);
  fs.enterBlock(filler);
  FillerCardCache& cache = fs.card;
  if (!cache.background) cache.background = state.materializedLayer(fillerBackgroundImage(state, filler));

  const Size canvas = state.renderSize();
  const double s = state.layoutScale();
  const double p = fillerSafePadding(filler, canvas, s);
  const double q = std::max(filler.duration - o, 0.0);
  const auto layers = filler.effectiveLayers();

  std::vector<FillerAnimationState> states;
  bool atRest = true;
  for (const auto& layer : layers) {
    states.push_back(layerState(layer, o, q));
    atRest = atRest && states.back().isIdentity();
  }
  if (atRest && cache.cardAtRest) return *cache.cardAtRest;
  if (!cache.layers) {
    std::vector<FillerPlacedLayer> placed;
    for (const auto& layer : layers) {
      placed.push_back(placeLayer(state, layer, p, s));
      if (placed.back().image) placed.back().image = state.materializedLayer(*placed.back().image);
    }
    cache.layers = std::move(placed);
  }
  gfx::Image card = *cache.background;
  for (std::size_t i = 0; i < layers.size() && i < cache.layers->size(); ++i) {
    const FillerPlacedLayer& placed = (*cache.layers)[i];
    if (!states[i].isVisible() || !placed.image) continue;
    card = animated(*placed.image, states[i], placed.centre, placed.blurBounds).composited(card);
  }
  if (atRest) {
    cache.cardAtRest = state.materializedLayer(card);
    return *cache.cardAtRest;
  }
  return card;
}

std::optional<gfx::Image> composeFillerBoundaryScene(NativeRenderState& state, const NativeFillerBlock& filler,
                                                     bool useExitBoundary) {
  const auto& plan = state.manifest().videoPlan;
  const auto frame = fillerBoundaryFrame(filler, plan.segments, state.manifest().qualityPlan.frameRate, useExitBoundary);
  if (!frame) return std::nullopt;
  const auto& segment = plan.segments[frame->segmentIndex];
  const auto index = segment.sourceIndex;
  const bool inPaths = index >= 0 && static_cast<std::size_t>(index) < plan.sourceVideoPaths.size();
  const std::string& path = inPaths ? plan.sourceVideoPaths[static_cast<std::size_t>(index)] : plan.sourceVideoPath;
  const auto& byIndex = state.inputs().sourceTrackMetadataByIndex;
  const VideoTrackMetadata& metadata = index >= 0 && static_cast<std::size_t>(index) < byIndex.size()
                                           ? byIndex[static_cast<std::size_t>(index)]
                                           : state.inputs().baseTrackMetadata;
  const auto& decoder = state.inputs().cameraDecoder;
  if (!decoder) return std::nullopt;
  const auto still = decoder->frame(path, frame->sourceTime, metadata);
  if (!still) return std::nullopt;
  return state.composeStillScene(frame->outputTime, *still, metadata);
}

std::optional<gfx::Image> cachedFillerBoundaryScene(NativeRenderState& state, const NativeFillerBlock& filler,
                                                    bool useExitBoundary) {
  FillerLayerState& fs = fillerLayerState(state);
  fs.enterBlock(filler);
  const std::string key = fillerBoundaryCacheKey(filler, useExitBoundary);
  auto it = fs.fillerBoundarySceneCache.find(key);
  if (it != fs.fillerBoundarySceneCache.end()) return it->second;
  auto scene = composeFillerBoundaryScene(state, filler, useExitBoundary);
  if (scene) scene = state.materializedLayer(*scene);
  return fs.fillerBoundarySceneCache.emplace(key, std::move(scene)).first->second;
}

gfx::Image composeFillerFrame(NativeRenderState& state, const NativeFillerBlock& filler, double t) {
  const bool exit = fillerUsesExitBoundary(filler, t, state.manifest().qualityPlan.frameRate);
  std::optional<gfx::Image> backdrop = cachedFillerBoundaryScene(state, filler, exit);
  if (!backdrop) backdrop = cachedFillerBoundaryScene(state, filler, !exit);
  const gfx::Image below = backdrop ? *backdrop : state.cachedBackgroundImage();

  const double duration = std::isfinite(filler.duration) ? std::max(filler.duration, 0.0) : 0.0;
  const double o = std::isfinite(t) ? std::clamp(t - filler.startOutputTime, 0.0, duration) : 0.0;
  gfx::Image card = composeFillerOverlayImage(state, filler, o);
  const FillerVisualState visual = fillerVisualState(filler, o, state.renderSize().width);
  // Whole pixels: the card moves by a copy instead of being resampled, and a
  // sideways step below a pixel does not show at the speeds a slide moves.
  const double shift = std::round(visual.translateX);
  if (shift != 0) card = card.translated(shift, 0);
  if (visual.opacity < 1) card = card.alphaMultiplied(visual.opacity);
  return card.composited(below).cropped(state.canvasRect());
}

LayerResult fillerLayer(NativeRenderState& state, double t, const SceneLayerInputs&) {
  const auto* filler = resolveActiveFillerBlock(state.manifest().overlayPlan.fillerBlocks, t);
  if (!filler) return std::nullopt;
  return composeFillerFrame(state, *filler, t);
}

bool fillerLayerChangesBetween(NativeRenderState& state, double t0, double t1) {
  // Cards animate their text, images and boundary transitions; a card on
  // either side is treated as changing.
  const auto& fillers = state.manifest().overlayPlan.fillerBlocks;
  return resolveActiveFillerBlock(fillers, t0) != nullptr || resolveActiveFillerBlock(fillers, t1) != nullptr;
}

}  // namespace vantrel::exporter
