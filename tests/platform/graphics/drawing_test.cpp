// Vector drawing on bitmaps: coverage of filled shapes, strokes, clip, shadow,
// radial gradients, orientation, and refusal of degenerate input.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>

#include "test_util.h"
#include "vantrel/graphics/drawing.h"

namespace vantrel::graphics {
namespace {

using testutil::at;
using testutil::channel;

// Sum of coverage in pixels (alpha for rgba, level for grey).
double coverage(const BitmapContext& ctx) {
  const auto mask = ctx.makeMask();
  double total = 0;
  for (int y = 0; y < mask->height(); ++y)
    for (int x = 0; x < mask->width(); ++x) total += mask->row(y)[x] / 255.0;
  return total;
}

TEST(Drawing, FilledShapeCoverage) {
  const double pi = std::numbers::pi;
  struct Case { const char* name; std::function<void(BitmapContext&)> draw; double expected; };
  const Case table[] = {
      {"rect", [](BitmapContext& c) { c.fillRect({10.5, 10, 50, 30}); }, 1500},
      {"rounded rect", [](BitmapContext& c) { c.addRoundedRect({10, 10, 100, 60}, 20); c.fillPath(); },
       6000 - (4 - pi) * 400},
      {"radius above half the side makes a capsule",
       [](BitmapContext& c) { c.addRoundedRect({10, 10, 100, 40}, 500); c.fillPath(); }, 60 * 40 + pi * 400},
      {"butt-capped line", [](BitmapContext& c) {
         c.setLineWidth(4); c.moveTo({20, 50}); c.lineTo({120, 50}); c.strokePath(); }, 400},
      {"round-capped line", [&](BitmapContext& c) {
         c.setLineWidth(4); c.setLineCap(LineCap::round); c.moveTo({20, 50}); c.lineTo({120, 50}); c.strokePath(); },
       400 + pi * 4},
      {"non-zero winding fills overlapping same-direction squares once",
       [](BitmapContext& c) { c.addRect({10, 10, 40, 40}); c.addRect({30, 30, 40, 40}); c.fillPath(); },
       1600 + 1600 - 400},
      {"cubic path closes", [](BitmapContext& c) {
         c.moveTo({10, 10}); c.lineTo({110, 10}); c.curveTo({110, 60}, {110, 60}, {110, 60}); c.closePath(); c.fillPath(); },
       2500},
  };
  for (const auto& tc : table) {
    SCOPED_TRACE(tc.name);
    auto ctx = BitmapContext::create(160, 100, BitmapKind::grey);
    ctx->setFillColor({1, 1, 1, 1});
    ctx->setStrokeColor({1, 1, 1, 1});
    tc.draw(*ctx);
    EXPECT_NEAR(coverage(*ctx), tc.expected, tc.expected * 0.01);
  }
}

TEST(Drawing, OriginIsBottomLeftAndTransformsApply) {
  auto ctx = BitmapContext::create(20, 10);
  ctx->setFillColor({1, 0, 0, 1});
  ctx->fillRect({0, 0, 2, 2});
  ctx->saveState();
  ctx->translate(10, 5);
  ctx->scale(2, 2);
  ctx->setFillColor({0, 0, 1, 0.5});
  ctx->fillRect({0, 0, 1, 1});
  ctx->restoreState();
  const auto b = ctx->makeBuffer();
  EXPECT_EQ(at(*b, 0, 0), 0xffff0000u);
  EXPECT_EQ(b->pixelRow(9)[1], 0xffff0000u);  // bottom row of storage
  EXPECT_EQ(at(*b, 11, 6), 0x80000080u);      // premultiplied half blue
  EXPECT_EQ(at(*b, 12, 7), 0u);
  // Restored state: red again and no transform.
  ctx->fillRect({18, 8, 2, 2});
  EXPECT_EQ(at(*ctx->makeBuffer(), 19, 9), 0xffff0000u);
}

TEST(Drawing, ClipAlphaAndGreyLevels) {
  auto ctx = BitmapContext::create(40, 40, BitmapKind::grey);
  ctx->addRoundedRect({10, 10, 20, 20}, 10);
  ctx->clipToPath();
  ctx->setAlpha(0.5);
  ctx->setFillColor({1, 1, 1, 1});
  ctx->fillRect({0, 0, 40, 40});
  const auto b = ctx->makeBuffer();
  EXPECT_EQ(at(*b, 20, 20), 0xff808080u);  // half of white over black
  EXPECT_EQ(at(*b, 5, 5), 0xff000000u);    // outside the clip
  EXPECT_EQ(at(*b, 10, 10), 0xff000000u);  // corner cut by the radius
  EXPECT_NEAR(coverage(*ctx), 0.5 * std::numbers::pi * 100, 5);
}

TEST(Drawing, ShadowIsOffsetAndBlurred) {
  auto ctx = BitmapContext::create(100, 100);
  ctx->setShadow({10, -10}, 8, {0, 0, 0, 1});
  ctx->setFillColor({1, 1, 1, 1});
  ctx->fillRect({30, 40, 30, 30});
  const auto b = ctx->makeBuffer();
  EXPECT_EQ(at(*b, 45, 55), 0xffffffffu);                  // the shape itself on top
  EXPECT_GT(channel(at(*b, 65, 35), 3), 200);              // shadow below right
  EXPECT_EQ(channel(at(*b, 65, 35), 2), 0);                // and black
  EXPECT_EQ(channel(at(*b, 25, 75), 3), 0);                // nothing above left
  const int edge = channel(at(*b, 72, 45), 3);             // blurred edge: partial
  EXPECT_GT(edge, 10);
  EXPECT_LT(edge, 245);
  // The same square drawn through a scaled transform casts the same shadow (offsets are unscaled).
  auto scaled = BitmapContext::create(100, 100);
  scaled->scale(2, 2);
  scaled->setShadow({10, -10}, 8, {0, 0, 0, 1});
  scaled->setFillColor({1, 1, 1, 1});
  scaled->fillRect({15, 20, 15, 15});
  EXPECT_GE(testutil::psnr(*scaled->makeBuffer(), *b), 50.0);
  // A stroked line's shadow reaches as far as the line's width.
  auto line = BitmapContext::create(100, 100);
  line->setShadow({0, -20}, 0, {0, 0, 1, 1});
  line->setStrokeColor({1, 0, 0, 1});
  line->setLineWidth(10);
  line->moveTo({20, 60});
  line->lineTo({80, 60});
  line->strokePath();
  const auto l = line->makeBuffer();
  EXPECT_EQ(at(*l, 50, 56), 0xffff0000u);  // the line
  EXPECT_EQ(at(*l, 50, 36), 0xff0000ffu);  // its shadow, 20 below, full width
  EXPECT_EQ(at(*l, 50, 44), 0xff0000ffu);
}

TEST(Drawing, RadialGradientStops) {
  auto ctx = BitmapContext::create(100, 100);
  ctx->drawRadialGradient({50, 50}, 0, {50, 50}, 40,
                          {{0, {1, 0, 0, 1}}, {0.72, {1, 0, 0, 0.82}}, {1, {1, 0, 0, 0}}});
  const auto b = ctx->makeBuffer();
  EXPECT_GE(channel(at(*b, 50, 50), 3), 250);
  EXPECT_NEAR(channel(at(*b, 50 + 28, 50), 3), 0.82 * 255, 4);  // pixel centre at 0.71 of the radius
  EXPECT_EQ(channel(at(*b, 95, 50), 3), 0);  // beyond the end: the end colour, clear
}

TEST(Drawing, DegenerateInputDrawsNothing) {
  EXPECT_EQ(BitmapContext::create(0, 10), nullptr);
  EXPECT_EQ(BitmapContext::create(10, -1), nullptr);
  EXPECT_EQ(BitmapContext::create(BitmapContext::kMaxSide + 1, 10), nullptr);
  const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
  auto ctx = BitmapContext::create(50, 50);
  ctx->setFillColor({1, 1, 1, 1});
  ctx->fillRect({nan, 0, 10, 10});
  ctx->fillRect({0, 0, inf, 10});
  ctx->fillRect({0, 0, 0, 10});
  ctx->addRoundedRect({0, 0, 10, 10}, nan);
  ctx->fillPath();
  ctx->addRoundedRect({0, 0, 10, 10}, -3);
  ctx->fillPath();
  ctx->moveTo({nan, 1});
  ctx->lineTo({inf, 2});
  ctx->strokePath();
  ctx->translate(nan, 0);
  ctx->scale(0, 1);
  ctx->setShadow({nan, 0}, 3, {0, 0, 0, 1});
  ctx->drawRadialGradient({nan, 0}, 0, {0, 0}, 10, {{0, {1, 1, 1, 1}}});
  ctx->setLineWidth(nan);
  EXPECT_EQ(coverage(*ctx), 0.0);
  // The context still works afterwards with its transform intact.
  ctx->fillRect({0, 0, 5, 5});
  EXPECT_NEAR(coverage(*ctx), 25, 0.01);
}

}  // namespace
}  // namespace vantrel::graphics
