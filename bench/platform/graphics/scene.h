#pragma once
// Synthetic screen-like content shared by the samples, the benchmarks and the GIF comparison.

#include <cmath>
#include <string>

#include "vantrel/graphics/drawing.h"
#include "vantrel/graphics/text.h"

namespace vantrel::graphics::benchscene {

inline const char* kInterPath = "/usr/share/fonts/truetype/inter-vf/Inter.var.ttf";

// A desktop-like picture: window chrome, side bar, lines of text, a chart and a moving pointer.
inline BufferRef screen(int w, int h, double t = 0) {
  static bool registered = Font::registerFile(kInterPath, "Inter Variable");
  (void)registered;
  auto ctx = BitmapContext::create(w, h);
  const double u = h / 1080.0;
  ctx->setFillColor({0.95, 0.95, 0.97, 1});
  ctx->fillRect({0, 0, double(w), double(h)});
  ctx->setFillColor({0.16, 0.18, 0.22, 1});
  ctx->fillRect({0, h - 60 * u, double(w), 60 * u});
  ctx->setFillColor({0.22, 0.25, 0.3, 1});
  ctx->fillRect({0, 0, 300 * u, h - 60 * u});
  const auto font = Font::make("Inter Variable", 400, 22 * u);
  const auto bold = Font::make("Inter Variable", 700, 30 * u);
  if (bold) drawTextLine(*ctx, TextLine(*bold, "Quarterly report - Draft 3"), {340 * u, h - 130 * u}, {0.1, 0.1, 0.1, 1});
  for (int i = 0; i < 18 && font; ++i) {
    const std::string s = "Line " + std::to_string(i + 1) + ": revenue grew in every region while costs stayed flat.";
    drawTextLine(*ctx, TextLine(*font, s), {340 * u, h - (190 + 38 * i) * u}, {0.2, 0.2, 0.25, 1});
    drawTextLine(*ctx, TextLine(*font, "Item " + std::to_string(i)), {30 * u, h - (120 + 44 * i) * u}, {0.9, 0.9, 0.95, 1});
  }
  for (int i = 0; i < 12; ++i) {
    const double v = 0.5 + 0.4 * std::sin(i * 0.7 + t);
    ctx->setFillColor({0.2 + 0.05 * i, 0.5, 0.9 - 0.05 * i, 1});
    ctx->fillRect({(1300 + 45 * i) * u, 120 * u, 30 * u, 500 * u * v});
  }
  // Pointer.
  const double px = (700 + 500 * std::sin(t)) * u, py = (500 + 200 * std::cos(t * 1.3)) * u;
  ctx->setFillColor({0, 0, 0, 1});
  ctx->moveTo({px, py});
  ctx->lineTo({px, py - 30 * u});
  ctx->lineTo({px + 21 * u, py - 21 * u});
  ctx->closePath();
  ctx->setShadow({0, -2 * u}, 4 * u, {0, 0, 0, 0.4});
  ctx->fillPath();
  return ctx->makeBuffer();
}

}  // namespace vantrel::graphics::benchscene
