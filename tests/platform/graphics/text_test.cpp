// Fonts, shaping and drawing text lines.
#include <gtest/gtest.h>

#include <cmath>

#include "test_util.h"
#include "vantrel/graphics/drawing.h"
#include "vantrel/graphics/text.h"

namespace vantrel::graphics {
namespace {

// The variable font the export bundles, from its Debian package.
constexpr const char* kInter = "/usr/share/fonts/truetype/inter-vf/Inter.var.ttf";

class TextTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(Font::registerFile(kInter, "Inter Variable")); }
};

TEST_F(TextTest, WidthScalesWithSizeAndLetterSpacingAddsPerCharacter) {
  const std::string text = "Quick brown fox, 42 jumps!";
  const auto f24 = Font::make("Inter Variable", 400, 24);
  const auto f48 = Font::make("Inter Variable", 400, 48);
  ASSERT_TRUE(f24 && f48);
  const double w24 = measureTextWidth(*f24, text), w48 = measureTextWidth(*f48, text);
  EXPECT_GT(w24, 100);
  EXPECT_NEAR(w48 / w24, 2.0, 1e-9);
  EXPECT_NEAR(measureTextWidth(*f48, text, 3.0) - w48, 3.0 * text.size(), 1e-6);
  // Non-ASCII counts characters, not bytes.
  EXPECT_NEAR(measureTextWidth(*f48, "\xc3\xa9t\xc3\xa9", 2.0) - measureTextWidth(*f48, "\xc3\xa9t\xc3\xa9"), 6.0, 1e-6);
  EXPECT_NEAR(f48->ascent() / f24->ascent(), 2.0, 1e-9);
  EXPECT_GT(f48->ascent(), 30);
  EXPECT_GT(f48->descent(), 5);
}

TEST_F(TextTest, WeightAxisMakesBolderWiderText) {
  const auto thin = Font::make("Inter Variable", 100, 40), bold = Font::make("inter variable", 900, 40);
  const auto over = Font::make("Inter Variable", 2000, 40);
  ASSERT_TRUE(thin && bold && over);
  EXPECT_EQ(thin->weight(), 100);
  EXPECT_EQ(over->weight(), 900);  // clamped to the axis
  EXPECT_GT(measureTextWidth(*bold, "Weight"), measureTextWidth(*thin, "Weight") * 1.05);
}

TEST_F(TextTest, UnknownFamiliesFallBackAndBadSizesGiveNothing) {
  const auto f = Font::make("No Such Family 12345", 700, 20);
  ASSERT_TRUE(f.has_value());
  EXPECT_GT(measureTextWidth(*f, "abc"), 0);
  EXPECT_FALSE(Font::make("Inter Variable", 400, std::nan("")).has_value());
  EXPECT_FALSE(Font::make("Inter Variable", 400, 0).has_value());
  EXPECT_FALSE(Font::registerFile("/nonexistent/font.ttf"));
  EXPECT_EQ(measureTextWidth(*f, ""), 0);
}

TEST_F(TextTest, DrawnLineSitsOnItsBaselineAndOutlineAddsInk) {
  const auto font = Font::make("Inter Variable", 700, 40);
  ASSERT_TRUE(font);
  const TextLine line(*font, "Hxg", 0);
  auto ink = [&](std::optional<TextOutline> outline, int& top, int& bottom, int& right) {
    auto ctx = BitmapContext::create(200, 100);
    drawTextLine(*ctx, line, {10, 30}, {1, 1, 1, 1}, outline);
    const auto m = ctx->makeMask();
    double total = 0;
    top = -1; bottom = 1000; right = -1;
    for (int r = 0; r < 100; ++r)
      for (int x = 0; x < 200; ++x)
        if (m->row(r)[x] > 127) {
          const int y = 99 - r;
          top = std::max(top, y); bottom = std::min(bottom, y); right = std::max(right, x);
          total += 1;
        }
    return total;
  };
  int top, bottom, right;
  const double plain = ink(std::nullopt, top, bottom, right);
  EXPECT_NEAR(top, 30 + 0.73 * 40, 3);        // cap height of H above the baseline
  EXPECT_LT(bottom, 30 - 0.15 * 40);          // the g descends below it
  EXPECT_NEAR(right, 10 + line.width(), 4);
  const double outlined = ink(TextOutline{{0, 0, 0, 1}, -10}, top, bottom, right);
  EXPECT_GT(outlined, plain * 1.15);          // stroke and fill: the outline grows the ink
  const double strokeOnly = ink(TextOutline{{1, 1, 1, 1}, 3}, top, bottom, right);
  EXPECT_LT(strokeOnly, plain);               // hollow letters
  // A scaled context draws from the outlines instead of cached glyph masks: same ink.
  auto scaled = BitmapContext::create(200, 100);
  scaled->scale(2, 2);
  const auto half = Font::make("Inter Variable", 700, 20);
  drawTextLine(*scaled, TextLine(*half, "Hxg"), {5, 15}, {1, 1, 1, 1}, TextOutline{{0, 0, 0, 1}, -10});
  double scaledInk = 0;
  const auto sm = scaled->makeMask();
  for (int r = 0; r < 100; ++r)
    for (int x = 0; x < 200; ++x) scaledInk += sm->row(r)[x] > 127;
  EXPECT_NEAR(scaledInk, outlined, outlined * 0.03);
  auto ctx = BitmapContext::create(50, 50);
  drawTextLine(*ctx, line, {std::nan(""), 0}, {1, 1, 1, 1});
  EXPECT_EQ(ctx->makeMask()->row(25)[25], 0);
}

TEST_F(TextTest, ShadowDoesNotClipAThickOutline) {
  // The shadow's scratch layer must reach as far as the outline, not the context's line width.
  const auto font = Font::make("Inter Variable", 700, 40);
  ASSERT_TRUE(font);
  const TextLine line(*font, "Wide");
  auto ink = [&](bool shadow) {
    auto ctx = BitmapContext::create(240, 100);
    if (shadow) ctx->setShadow({0, -500}, 0, {0, 0, 0, 1});  // far off the bitmap
    drawTextLine(*ctx, line, {20, 35}, {1, 1, 1, 1}, TextOutline{{1, 1, 1, 1}, -30});
    const auto m = ctx->makeMask();
    double total = 0;
    for (int r = 0; r < 100; ++r)
      for (int x = 0; x < 240; ++x) total += m->row(r)[x];
    return total;
  };
  const double plain = ink(false);
  EXPECT_NEAR(ink(true), plain, plain * 0.01);
}

}  // namespace
}  // namespace vantrel::graphics
