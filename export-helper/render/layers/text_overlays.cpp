// Text overlays: text boxes laid over the unzoomed stack, relative to the
// video rectangle. A box is drawn once per look (text, style, size and
// sub-pixel place) into a bitmap of the whole pixels it covers on the canvas;
// frames in between only lay that bitmap, faded by the box's opacity.
//
// The fade multiplies the finished box (background and text together) rather
// than each drawing step, so a fading box on a background does not let the
// background show through its letters.

#include <cmath>
#include <cstdio>

#include "render/layers/layers.h"
#include "render/overlay_animation.h"
#include "render/render_state.h"
#include "vantrel/graphics/drawing.h"
#include "vantrel/graphics/text.h"

namespace vantrel::exporter {

namespace gfx = vantrel::graphics;

namespace {

OverlayLayersState& overlayState(NativeRenderState& state) {
  auto& slot = state.layerStates().overlays;
  if (!slot) slot = std::make_shared<OverlayLayersState>();
  return *slot;
}

std::string lookKey(const ResolvedTextOverlayStyle& s, const gfx::Rect& rect, const gfx::Rect& bounds) {
  char numbers[512];
  std::snprintf(numbers, sizeof numbers,
                "%.4f|%g|%d|%.4f|%.4f|%.4f|%s|%d|%.4f|%.4f,%.4f,%.4f,%.4f|%.4f,%.4f,%.4f,%.4f|%.4f,%.4f,%.4f,%.4f|"
                "%g,%g,%g,%g|",
                s.unit, s.fontSize, s.fontWeight, s.padding, s.wrapWidth, s.lineHeight, s.align.c_str(),
                s.background ? 1 : 0, s.backgroundRadius, s.backgroundColor.r, s.backgroundColor.g,
                s.backgroundColor.b, s.backgroundColor.a, s.textColor.r, s.textColor.g, s.textColor.b, s.textColor.a,
                rect.minX(), rect.minY(), rect.width, rect.height, bounds.minX(), bounds.minY(), bounds.width,
                bounds.height);
  std::string key = s.fontFamily;
  key += '|';
  key += numbers;
  key += s.text;
  return key;
}

// The box drawn into a bitmap over `bounds` (whole pixels of the canvas);
// nothing when no font or bitmap can be made.
std::optional<gfx::Image> drawTextBox(const ResolvedTextOverlayStyle& style, const gfx::Rect& rect,
                                      const gfx::Rect& bounds) {
  const auto font = bundledFont(style.fontFamily, style.unit * style.fontSize, style.fontWeight);
  if (!font) return std::nullopt;
  auto ctx = gfx::BitmapContext::create(static_cast<int>(bounds.width), static_cast<int>(bounds.height));
  if (!ctx) return std::nullopt;
  // Drawing origin at the box's bottom-left corner, wherever the bitmap starts.
  ctx->translate(rect.minX() - bounds.minX(), rect.minY() - bounds.minY());
  const double width = rect.width, height = rect.height;

  if (style.background) {
    const double radius = std::min({std::max(style.backgroundRadius, 0.0), width / 2, height / 2});
    ctx->setFillColor(style.backgroundColor);
    ctx->addRoundedRect({0, 0, width, height}, radius);
    ctx->fillPath();
  }

  const auto lines = wrapOverlayTextLines(style.text, style.wrapWidth, *font);
  const double L = style.lineHeight;
  const double n = static_cast<double>(std::max<std::size_t>(lines.size(), 1));
  const double ascent = font->ascent(), descent = font->descent();
  const double firstBaseline = height - (height - L * n) / 2 - (ascent + (L - ascent - descent) / 2);
  const double inset = style.padding / 3;
  const double available = std::max(width - 2 * inset, 1.0);
  // Lines wholly outside the bitmap are not shaped again for drawing.
  const double visibleLow = bounds.minY() - rect.minY() - ascent - L;
  const double visibleHigh = bounds.maxY() - rect.minY() + descent + L;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const double baseline = firstBaseline - static_cast<double>(i) * L;
    if (baseline < visibleLow) break;
    if (baseline > visibleHigh || lines[i].empty()) continue;
    const gfx::TextLine line(*font, lines[i]);
    double x = inset + (available - line.width()) / 2;
    if (style.align == "left") x = inset;
    if (style.align == "right") x = inset + available - line.width();
    gfx::drawTextLine(*ctx, line, {x, baseline}, style.textColor);
  }
  return ctx->makeImage().translated(bounds.minX(), bounds.minY());
}

}  // namespace

LayerResult textOverlaysLayer(NativeRenderState& state, double t, const SceneLayerInputs& inputs) {
  const auto& overlays = state.manifest().overlayPlan.textOverlays;
  const gfx::Rect& R = inputs.videoRect;
  std::optional<gfx::Image> layer;
  for (const auto& overlay : overlays) {
    if (!overlayIsActive(overlay.startTime, overlay.endTime, t)) continue;
    const double opacity = overlayFadeOpacity(overlay.startTime, overlay.endTime, overlay.animationStyle, t);
    if (!(opacity > 0.0001)) continue;
    const gfx::Rect rect = overlayCanvasRect(R, overlay.x, overlay.y, overlay.width, overlay.height);
    if (!overlayRectIsDrawable(rect)) continue;
    // Only the part on the canvas is drawn: the zoom that follows never shows
    // more, and a box far larger than the canvas must not become a huge bitmap.
    const gfx::Rect bounds = rect.integral().intersection(state.canvasRect().integral());
    if (bounds.isEmpty()) continue;

    const ResolvedTextOverlayStyle style = resolveTextOverlayStyle(overlay, R.width, R.height);
    auto& cache = overlayState(state);
    const std::string key = lookKey(style, rect, bounds);
    std::optional<gfx::Image> box = cache.textImages.find(key);
    if (!box) {
      box = drawTextBox(style, rect, bounds);
      if (!box) continue;
      ++cache.textRenders;
      cache.textImages.insert(key, *box, static_cast<std::size_t>(bounds.width * bounds.height * 4));
    }
    gfx::Image image = opacity < 1 ? box->alphaMultiplied(opacity) : *box;
    layer = layer ? image.composited(*layer) : image;
  }
  return layer;
}

bool textOverlaysLayerChangesBetween(NativeRenderState& state, double t0, double t1) {
  // A box's look depends on the video rectangle alone; only its presence and fade move with time.
  for (const auto& overlay : state.manifest().overlayPlan.textOverlays) {
    if (overlayPresenceOrFadeChanges(overlay, t0, t1)) return true;
  }
  return false;
}

}  // namespace vantrel::exporter
