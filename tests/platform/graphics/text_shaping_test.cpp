// Typography of text lines: runs by script, direction and font coverage,
// fallback fonts, Arabic joining, ligatures, combining marks and colour emoji.
// Needs the fonts listed with the graphics packages (DejaVu Sans for Arabic,
// WenQuanYi Micro Hei for CJK, Noto Color Emoji).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <thread>

#include "test_util.h"
#include "vantrel/graphics/drawing.h"
#include "vantrel/graphics/image_file.h"
#include "vantrel/graphics/text.h"

namespace vantrel::graphics {
namespace {

constexpr const char* kInter = "/usr/share/fonts/truetype/inter-vf/Inter.var.ttf";

// Words without lam-alef, so every letter keeps a cluster of its own.
const std::string kMarhaba = "\xd9\x85\xd8\xb1\xd8\xad\xd8\xa8\xd8\xa7";  // مرحبا
const std::string kKitab = "\xd9\x83\xd8\xaa\xd8\xa7\xd8\xa8";            // كتاب
const std::string kBaa = "\xd8\xa8";                                       // ب
const std::string kNihao = "\xe4\xbd\xa0\xe5\xa5\xbd";                     // 你好
const std::string kGrin = "\xf0\x9f\x98\x80";                               // 😀
const std::string kFamily =  // man ZWJ woman ZWJ girl
    "\xf0\x9f\x91\xa8\xe2\x80\x8d\xf0\x9f\x91\xa9\xe2\x80\x8d\xf0\x9f\x91\xa7";
const std::string kFlagFr = "\xf0\x9f\x87\xab\xf0\x9f\x87\xb7";
const std::string kThumbDark = "\xf0\x9f\x91\x8d\xf0\x9f\x8f\xbf";  // thumbs up, dark skin tone

class TextShapingTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(Font::registerFile(kInter, "Inter Variable")); }
  static Font inter(double weight = 400, double size = 40) { return *Font::make("Inter Variable", weight, size); }
};

// Start offsets of the characters in [begin, end) of a UTF-8 string.
std::vector<uint32_t> charStarts(const std::string& s, size_t begin, size_t end) {
  std::vector<uint32_t> out;
  for (size_t i = begin; i < end; ++i)
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) out.push_back(static_cast<uint32_t>(i));
  return out;
}

// The line's clusters in glyph (visual) order, repeats folded.
std::vector<uint32_t> visualClusters(const TextLine& line) {
  std::vector<uint32_t> out;
  for (const auto& g : line.glyphs())
    if (out.empty() || out.back() != g.cluster) out.push_back(g.cluster);
  return out;
}

TEST_F(TextShapingTest, BidirectionalLinesComeOutInVisualOrder) {
  // Segments of the text in left-to-right visual order: byte range and whether
  // the characters run backwards (right-to-left) within it.
  struct Segment {
    std::string text;
    bool reversed;
  };
  struct Case {
    const char* name;
    std::vector<Segment> logical;  // in logical order
    bool rtlParagraph;
    std::vector<size_t> visual;    // indices into `logical`, left to right
  };
  const std::vector<Case> cases = {
      {"latin, arabic, latin", {{"abc ", false}, {kMarhaba, true}, {" def", false}}, false, {0, 1, 2}},
      {"arabic first makes the paragraph rtl", {{kKitab, true}, {" ", true}, {"abc", false}}, true, {2, 1, 0}},
      {"digits inside arabic stay left to right",
       {{kMarhaba, true}, {" ", true}, {"123", false}, {" ", true}, {kKitab, true}}, true, {4, 3, 2, 1, 0}},
      {"nested: arabic with digits inside an ltr paragraph",
       {{"x ", false}, {kKitab, true}, {" ", true}, {"42", false}, {" ", true}, {kMarhaba, true}, {" y", false}},
       false, {0, 5, 4, 3, 2, 1, 6}},
      {"no strong character is ltr", {{"123 ", false}, {"!?", false}}, false, {0, 1}},
  };
  const Font font = inter();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string text;
    std::vector<std::vector<uint32_t>> starts;
    for (const auto& seg : c.logical) {
      auto s = charStarts(text + seg.text, text.size(), text.size() + seg.text.size());
      if (seg.reversed) std::reverse(s.begin(), s.end());
      starts.push_back(s);
      text += seg.text;
    }
    std::vector<uint32_t> expected;
    for (size_t i : c.visual) expected.insert(expected.end(), starts[i].begin(), starts[i].end());
    const TextLine line(font, text);
    EXPECT_EQ(line.rightToLeft(), c.rtlParagraph);
    EXPECT_EQ(visualClusters(line), expected);
    // Pen positions grow left to right whatever the direction.
    for (size_t i = 1; i < line.glyphs().size(); ++i) {
      if (line.glyphs()[i].x < line.glyphs()[i - 1].x - 1) ADD_FAILURE() << "glyph " << i << " left of its predecessor";
    }
  }
}

TEST_F(TextShapingTest, ArabicLettersTakeTheirJoiningForms) {
  const Font font = inter();
  const TextLine isolated(font, kBaa);
  const TextLine three(font, kBaa + kBaa + kBaa);
  ASSERT_EQ(isolated.glyphs().size(), 1u);
  ASSERT_EQ(three.glyphs().size(), 3u);
  // Visual order is right to left: final, medial, initial.
  const uint32_t iso = isolated.glyphs()[0].glyph, fin = three.glyphs()[0].glyph, med = three.glyphs()[1].glyph,
                 ini = three.glyphs()[2].glyph;
  EXPECT_EQ(std::set<uint32_t>({iso, fin, med, ini}).size(), 4u) << iso << " " << fin << " " << med << " " << ini;
  // Inter has no Arabic: the letters come from a fallback that has them.
  EXPECT_NE(three.fonts()[three.glyphs()[0].font].familyName(), "Inter");
  // Letter spacing leaves the joined word intact: same glyphs, one extra advance for the word.
  const TextLine spaced(font, kBaa + kBaa + kBaa, 5);
  ASSERT_EQ(spaced.glyphs().size(), 3u);
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(spaced.glyphs()[i].glyph, three.glyphs()[i].glyph);
  EXPECT_NEAR(spaced.glyphs()[1].x - spaced.glyphs()[0].x, three.glyphs()[1].x - three.glyphs()[0].x, 1e-9);
  EXPECT_NEAR(spaced.width() - three.width(), 5, 1e-9);
  // Where letters do not meet the spacing applies: after each word and each space.
  const std::string words = kKitab + " " + kMarhaba;
  EXPECT_NEAR(measureTextWidth(font, words, 5) - measureTextWidth(font, words), 15, 1e-9);
}

TEST_F(TextShapingTest, EveryScriptGetsRealGlyphsFromAFontThatHasThem) {
  const Font font = inter(600);
  const std::string text = "Hi " + kMarhaba + " " + kNihao + " " + kGrin + " " + kFamily + " " + kFlagFr + " " +
                           kThumbDark + " e\xcc\x81 ok";
  const TextLine line(font, text);
  ASSERT_FALSE(line.glyphs().empty());
  std::set<std::string> families;
  for (const auto& g : line.glyphs()) {
    EXPECT_NE(g.glyph, 0u) << "notdef at byte " << g.cluster;
    ASSERT_LT(g.font, line.fonts().size());
    families.insert(line.fonts()[g.font].familyName());
  }
  EXPECT_TRUE(families.count("Inter"));
  EXPECT_TRUE(families.count("Noto Color Emoji"));
  EXPECT_TRUE(families.count("WenQuanYi Micro Hei"));
  // Each emoji sequence is one picture.
  for (const std::string& e : {kGrin, kFamily, kFlagFr, kThumbDark}) {
    const TextLine one(font, e);
    EXPECT_EQ(one.glyphs().size(), 1u);
    EXPECT_EQ(one.fonts()[one.glyphs()[0].font].familyName(), "Noto Color Emoji");
  }
  // The CJK characters come from the CJK font, not as boxes from the line's font.
  const TextLine cjk(font, kNihao);
  ASSERT_EQ(cjk.glyphs().size(), 2u);
  EXPECT_EQ(cjk.fonts()[cjk.glyphs()[0].font].familyName(), "WenQuanYi Micro Hei");
  EXPECT_NEAR(cjk.width(), 2 * 40, 1);  // ideographs are one em wide
}

TEST_F(TextShapingTest, FallbackKeepsTheWeight) {
  // DejaVu Sans Bold is markedly wider than the book face.
  const double regular = measureTextWidth(inter(400), kMarhaba + " " + kKitab);
  const double bold = measureTextWidth(inter(800), kMarhaba + " " + kKitab);
  EXPECT_GT(bold, regular * 1.04);
}

TEST_F(TextShapingTest, CombiningMarksStayWithTheirBase) {
  const Font font = inter();
  struct Case {
    const char* name;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"latin decomposed acute", "e\xcc\x81"},
      {"latin two stacked marks", "a\xcc\x88\xcc\xa3"},
      {"arabic with fatha", kBaa + "\xd9\x8e"},
      {"mark the font lacks composes nothing", "x\xe2\x83\x9d"},  // x + combining enclosing circle
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const TextLine line(font, c.text);
    ASSERT_FALSE(line.glyphs().empty());
    for (const auto& g : line.glyphs()) {
      EXPECT_EQ(g.font, line.glyphs()[0].font);
      EXPECT_EQ(g.cluster, 0u);
      EXPECT_NE(g.glyph, 0u);
    }
    // One character: one letter spacing.
    EXPECT_NEAR(measureTextWidth(font, c.text, 4) - line.width(), 4, 1e-9);
  }
  // A precomposed and a decomposed é measure the same in a font that has é.
  EXPECT_NEAR(measureTextWidth(font, "caf\xc3\xa9"), measureTextWidth(font, "cafe\xcc\x81"), 1e-6);
}

TEST_F(TextShapingTest, LigaturesAndKerningAreOnUnlessLettersAreSpaced) {
  const auto dejavu = Font::make("DejaVu Sans", 400, 40);
  ASSERT_TRUE(dejavu);
  ASSERT_EQ(dejavu->familyName(), "DejaVu Sans");
  EXPECT_EQ(TextLine(*dejavu, "ffi").glyphs().size(), 1u);
  const TextLine spaced(*dejavu, "ffi", 2);
  EXPECT_EQ(spaced.glyphs().size(), 3u);
  EXPECT_NEAR(spaced.width() - measureTextWidth(*dejavu, "f") * 2 - measureTextWidth(*dejavu, "i"), 6, 1e-6);
  // Kerning: "AV" is tighter than its letters apart.
  const Font font = inter();
  EXPECT_LT(measureTextWidth(font, "AV"), measureTextWidth(font, "A") + measureTextWidth(font, "V") - 0.5);
}

TEST_F(TextShapingTest, WidthsAddUpAcrossRunsAndFonts) {
  const Font font = inter();
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"Hello ", kNihao},
      {"abc ", kMarhaba},
      {kKitab + " ", "xyz"},
      {"Tea ", kGrin},
      {kNihao, " " + kGrin + " " + kMarhaba},
  };
  for (const auto& [a, b] : cases) {
    SCOPED_TRACE(a + b);
    const double wa = measureTextWidth(font, a), wb = measureTextWidth(font, b), wab = measureTextWidth(font, a + b);
    EXPECT_GT(wa, 0);
    EXPECT_GT(wb, 0);
    EXPECT_NEAR(wab, wa + wb, 0.5);
  }
}

TEST_F(TextShapingTest, BadAndHugeInputIsBounded) {
  const Font font = inter();
  const std::string bad = "a\xff\xfe b\xc3 \xe2\x82 \xed\xa0\x80 \xf4\x90\x80\x80 \xc0\xaf z";
  const TextLine line(font, bad);
  EXPECT_GT(line.width(), 0);
  for (const auto& g : line.glyphs()) EXPECT_LT(g.cluster, bad.size());
  // Only the first 64 KiB is shaped.
  const std::string huge(1 << 20, 'a');
  const TextLine big(font, huge);
  EXPECT_EQ(big.glyphs().size(), 64u * 1024);
  EXPECT_NEAR(big.width(), measureTextWidth(font, "a") * 64 * 1024, 1);
}

// Warm yellow-orange pixels: neither grey, nor the white fill, nor the blue outline.
int emojiYellowPixels(const PixelBuffer& b) {
  int n = 0;
  for (int y = 0; y < b.height(); ++y)
    for (int x = 0; x < b.width(); ++x) {
      const uint32_t p = b.pixelRow(y)[x];
      const int bl = testutil::channel(p, 0), gr = testutil::channel(p, 1), rd = testutil::channel(p, 2);
      if (testutil::channel(p, 3) > 200 && rd > 170 && gr > 110 && rd - bl > 100) ++n;
    }
  return n;
}

// Pixels close to a premultiplied opaque colour.
int pixelsNear(const PixelBuffer& b, int r, int g, int bl) {
  int n = 0;
  for (int y = 0; y < b.height(); ++y)
    for (int x = 0; x < b.width(); ++x) {
      const uint32_t p = b.pixelRow(y)[x];
      if (testutil::channel(p, 3) > 240 && std::abs(testutil::channel(p, 2) - r) < 30 &&
          std::abs(testutil::channel(p, 1) - g) < 30 && std::abs(testutil::channel(p, 0) - bl) < 30)
        ++n;
    }
  return n;
}

TEST_F(TextShapingTest, EmojiDrawInColourWithOutlinesAndShadows) {
  const Font font = inter(700, 48);
  const TextLine line(font, "A" + kGrin + "B");
  struct Case {
    const char* name;
    std::optional<TextOutline> outline;
    bool scaled;
    bool shadow;
  };
  const std::vector<Case> cases = {
      {"plain", std::nullopt, false, false},
      {"outlined", TextOutline{{0, 0, 1, 1}, -8}, false, false},
      {"outline only", TextOutline{{0, 0, 1, 1}, 8}, false, false},
      {"scaled context", TextOutline{{0, 0, 1, 1}, -8}, true, false},
      {"shadow", TextOutline{{0, 0, 1, 1}, -8}, false, true},
  };
  int plainColour = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto ctx = BitmapContext::create(240, 100);
    if (c.scaled) ctx->scale(2, 2);
    if (c.shadow) ctx->setShadow({3, -3}, 4, {0, 0, 0, 1});
    const Point at = c.scaled ? Point{5, 15} : Point{10, 30};
    drawTextLine(*ctx, c.scaled ? TextLine(inter(700, 24), "A" + kGrin + "B") : line, at, {1, 1, 1, 1}, c.outline);
    const auto buf = ctx->makeBuffer();
    const int colour = emojiYellowPixels(*buf);
    // The grinning face is a yellow disc of roughly 0.8 em across (~1000 pixels at 48 px).
    EXPECT_GT(colour, 700);
    if (!c.outline) plainColour = colour;
    else EXPECT_NEAR(colour, plainColour, plainColour * 0.25);
    // The outline's blue rings the emoji too: more blue than the two letters' outlines alone.
    if (c.outline && !c.scaled && !c.shadow) {
      auto letters = BitmapContext::create(240, 100);
      drawTextLine(*letters, TextLine(font, "AB"), at, {1, 1, 1, 1}, c.outline);
      EXPECT_GT(pixelsNear(*buf, 0, 0, 255), pixelsNear(*letters->makeBuffer(), 0, 0, 255) + 100);
    }
  }
  // Global alpha and a translucent fill fade the picture too.
  auto faded = BitmapContext::create(240, 100);
  faded->setAlpha(0.5);
  drawTextLine(*faded, line, {10, 30}, {1, 1, 1, 0.5});
  uint32_t maxAlpha = 0;
  const auto fb = faded->makeBuffer();
  for (int y = 0; y < fb->height(); ++y)
    for (int x = 0; x < fb->width(); ++x) maxAlpha = std::max(maxAlpha, fb->pixelRow(y)[x] >> 24);
  EXPECT_NEAR(maxAlpha, 64, 3);
}

TEST_F(TextShapingTest, LinesShapeAndDrawFromManyThreads) {
  const std::vector<std::string> texts = {"Hello " + kMarhaba, kNihao + " " + kGrin, "abc " + kFamily + " " + kKitab};
  std::vector<std::thread> threads;
  std::vector<double> widths(4);
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      auto ctx = BitmapContext::create(400, 80);
      for (int i = 0; i < 30; ++i) {
        const auto f = Font::make("Inter Variable", 300 + 100 * (i % 3), 20 + i % 4);
        const TextLine line(*f, texts[(t + i) % texts.size()], i % 2);
        drawTextLine(*ctx, line, {5, 30}, {1, 1, 1, 1}, TextOutline{{0, 0, 0, 1}, -5});
        widths[t] += line.width();
      }
    });
  for (auto& th : threads) th.join();
  for (double w : widths) EXPECT_GT(w, 0);
}

// Set VANTREL_TEXT_PNG_DIR to look at the lines these tests shape.
TEST_F(TextShapingTest, SampleLinesToLookAt) {
  const char* dir = std::getenv("VANTREL_TEXT_PNG_DIR");
  if (!dir) GTEST_SKIP() << "VANTREL_TEXT_PNG_DIR not set";
  const std::vector<std::pair<std::string, std::string>> samples = {
      {"arabic", kMarhaba + " \xd8\xa8\xd8\xa7\xd9\x84\xd8\xb9\xd8\xa7\xd9\x84\xd9\x85 " + kKitab + " 2024"},
      {"cjk", kNihao + "\xef\xbc\x8c\xe4\xb8\x96\xe7\x95\x8c\xef\xbc\x81 \xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e"},
      {"emoji", kGrin + " " + kFamily + " " + kFlagFr + " " + kThumbDark + " \xe2\x9d\xa4\xef\xb8\x8f"},
      {"mixed", "Price: " + kKitab + " 42 \xe2\x82\xac \xe2\x80\x94 " + kNihao + " " + kGrin + " office"},
  };
  for (const auto& [name, text] : samples) {
    const Font font = inter(600, 44);
    const TextLine line(font, text, name == "mixed" ? 1.0 : 0.0);
    auto ctx = BitmapContext::create(static_cast<int>(line.width()) + 40, 200);
    ctx->setFillColor({0.15, 0.2, 0.3, 1});
    ctx->fillRect({0, 0, 2000, 200});
    drawTextLine(*ctx, line, {20, 130}, {1, 1, 1, 1});
    ctx->saveState();
    ctx->setShadow({2, -3}, 6, {0, 0, 0, 0.8});
    drawTextLine(*ctx, line, {20, 40}, {1, 0.85, 0.2, 1}, TextOutline{{0.1, 0.1, 0.1, 1}, -8});
    ctx->restoreState();
    writePng(*ctx->makeBuffer(), std::string(dir) + "/text-" + name + ".png");
  }
}

}  // namespace
}  // namespace vantrel::graphics
