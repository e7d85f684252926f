// Text line costs: drawing an already shaped Latin line from the glyph raster
// caches (what a caption pays per frame), shaping it, and a mixed-script line.
// Baseline in the same run: a plain fill of the same strip, so numbers on a
// noisy machine can be read as ratios.
#include <benchmark/benchmark.h>

#include <string>

#include "vantrel/graphics/drawing.h"
#include "vantrel/graphics/text.h"

using namespace vantrel::graphics;

namespace {

constexpr const char* kInter = "/usr/share/fonts/truetype/inter-vf/Inter.var.ttf";
const std::string kLatin40 = "Quick brown foxes jump over 12 lazy dogs";  // 40 characters

const Font& interFont() {
  static const Font font = [] {
    Font::registerFile(kInter, "Inter Variable");
    return *Font::make("Inter Variable", 600, 48);
  }();
  return font;
}

void BM_FillStrip(benchmark::State& state) {
  auto ctx = BitmapContext::create(1400, 80);
  ctx->setFillColor({0.2, 0.3, 0.4, 0.5});
  for (auto _ : state) ctx->fillRect({0, 0, 1400, 80});
}
BENCHMARK(BM_FillStrip)->Unit(benchmark::kMicrosecond);

void BM_DrawCachedLatin40(benchmark::State& state) {
  auto ctx = BitmapContext::create(1400, 80);
  const TextLine line(interFont(), kLatin40, 0.5);
  for (auto _ : state) drawTextLine(*ctx, line, {20, 24}, {1, 1, 1, 1});
}
BENCHMARK(BM_DrawCachedLatin40)->Unit(benchmark::kMicrosecond);

void BM_DrawCachedLatin40Outlined(benchmark::State& state) {
  auto ctx = BitmapContext::create(1400, 80);
  const TextLine line(interFont(), kLatin40, 0.5);
  for (auto _ : state) drawTextLine(*ctx, line, {20, 24}, {1, 1, 1, 1}, TextOutline{{0, 0, 0, 1}, -6});
}
BENCHMARK(BM_DrawCachedLatin40Outlined)->Unit(benchmark::kMicrosecond);

void BM_ShapeLatin40(benchmark::State& state) {
  const Font& font = interFont();
  for (auto _ : state) {
    const TextLine line(font, kLatin40, 0.5);
    benchmark::DoNotOptimize(line.width());
  }
}
BENCHMARK(BM_ShapeLatin40)->Unit(benchmark::kMicrosecond);

void BM_ShapeAndDrawMixed(benchmark::State& state) {
  auto ctx = BitmapContext::create(1400, 80);
  const std::string text = "Price \xd8\xa7\xd9\x84\xd8\xb3\xd8\xb9\xd8\xb1 \xe4\xbb\xb7\xe6\xa0\xbc \xf0\x9f\x98\x80 ok";
  for (auto _ : state) {
    const TextLine line(interFont(), text, 0);
    drawTextLine(*ctx, line, {20, 24}, {1, 1, 1, 1});
  }
}
BENCHMARK(BM_ShapeAndDrawMixed)->Unit(benchmark::kMicrosecond);

// Joined letters with an outline are outlined as one shape (not from the glyph caches).
void BM_DrawArabicOutlined(benchmark::State& state) {
  auto ctx = BitmapContext::create(1400, 80);
  const std::string text = "\xd9\x85\xd8\xb1\xd8\xad\xd8\xa8\xd8\xa7 \xd8\xa8\xd8\xa7\xd9\x84\xd8\xb9\xd8\xa7\xd9\x84\xd9\x85 "
                           "\xd9\x83\xd8\xaa\xd8\xa7\xd8\xa8 \xd9\x85\xd8\xb1\xd8\xad\xd8\xa8\xd8\xa7";
  const TextLine line(interFont(), text, 0);
  for (auto _ : state) drawTextLine(*ctx, line, {20, 24}, {1, 1, 1, 1}, TextOutline{{0, 0, 0, 1}, -6});
}
BENCHMARK(BM_DrawArabicOutlined)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
