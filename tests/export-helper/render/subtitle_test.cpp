// Subtitles: preset resolution, line breaking (Latin, CJK without spaces,
// right-to-left order), the highlight rule, pop-in and fade, the caption image
// cache (renders counted), and where the pixels land on the canvas.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>

#include "render/assets/bundled_fonts.h"
#include "render/layers/layers.h"
#include "render/render_state.h"
#include "render/subtitle_layout.h"
#include "vantrel/graphics/drawing.h"
#include "vantrel/graphics/image_file.h"
#include "vantrel/graphics/pixel_buffer.h"

namespace vantrel::exporter {
namespace {

namespace gfx = vantrel::graphics;

NativeSubtitleWord word(std::string id, std::string text, double start, double end) {
  return {std::move(id), std::move(text), start, end};
}

NativeSubtitleCaption caption(std::string id, double start, double end, std::vector<NativeSubtitleWord> words) {
  NativeSubtitleCaption c;
  c.id = std::move(id);
  c.startTime = start;
  c.endTime = end;
  c.lines = {std::move(words)};
  return c;
}

// Three words with a pause between the second and the third.
NativeSubtitleCaption threeWords(const char* id = "c1") {
  return caption(id, 0, 3,
                 {word("w1", "one", 0.2, 0.6), word("w2", "two", 0.7, 1.2), word("w3", "three", 1.5, 2.5)});
}

std::vector<std::string> ids(const std::set<std::string>& s) { return {s.begin(), s.end()}; }

// ---- Preset ----

TEST(SubtitleStyle, DefaultPresetAndAbsentKeysScaleWithTheCanvas) {
  const NativeSubtitlePreset def = defaultSubtitlePreset();
  EXPECT_EQ(def.id, "default");
  EXPECT_EQ(def.fontFamily, "Inter");

  NativeSubtitlePreset bare;  // only the required keys
  bare.fontSize = 40;
  bare.color = "not a colour";
  bare.highlightColor = "#00FF0080";
  bare.strokeColor = "#zz";
  bare.strokeWidth = 0.2;
  bare.maxWidth = 300;
  bare.letterSpacing = 0.1;
  bare.lineHeight = 1.5;

  const struct {
    const char* what;
    const NativeSubtitlePreset& preset;
    double canvasHeight;
    double size, spacing, pitch, wrap, stroke;
  } cases[] = {
      {"default, 1080", def, 1080, 48, 0.96, 60, 360, -6},
      {"default, 2160", def, 2160, 96, 1.92, 120, 720, -12},
      {"default, 540", def, 540, 24, 0.48, 30, 180, -3},
      // strokeWidth 0.2 at u = 1 still strokes at 1 (doubled: -2).
      {"bare, 1080", bare, 1080, 40, 4, 60, 300, -2},
  };
  for (const auto& c : cases) {
    const auto s = SubtitleStyle::resolve(c.preset, c.canvasHeight);
    EXPECT_DOUBLE_EQ(s.fontSize, c.size) << c.what;
    EXPECT_NEAR(s.letterSpacing, c.spacing, 1e-12) << c.what;
    EXPECT_DOUBLE_EQ(s.linePitch, c.pitch) << c.what;
    EXPECT_DOUBLE_EQ(s.wrapWidth, c.wrap) << c.what;
    ASSERT_TRUE(s.outline) << c.what;
    EXPECT_DOUBLE_EQ(s.outline->width, c.stroke) << c.what;
  }

  const auto d = SubtitleStyle::resolve(def, 1080);
  EXPECT_EQ(d.highlightMode, "progressive");
  EXPECT_NEAR(d.highlightColor.g, 0xD6 / 255.0, 1e-9);
  EXPECT_DOUBLE_EQ(d.backgroundAlpha, 0.32);

  const auto b = SubtitleStyle::resolve(bare, 1080);
  EXPECT_EQ(b.fontFamily, "Helvetica");
  EXPECT_EQ(b.fontWeight, 700);
  EXPECT_EQ(b.highlightMode, "single");
  EXPECT_FALSE(b.uppercase);
  EXPECT_FALSE(b.backgroundEnabled);
  EXPECT_DOUBLE_EQ(b.backgroundAlpha, 0.5);
  EXPECT_DOUBLE_EQ(b.positionX, 0.5);
  EXPECT_FALSE(b.positionY);
  EXPECT_EQ(b.color.r, 1);  // unparsable: white
  EXPECT_EQ(b.color.b, 1);
  EXPECT_DOUBLE_EQ(b.highlightColor.a, 128 / 255.0);
  EXPECT_EQ(b.outline->color.r, 0);  // unparsable outline: black
  EXPECT_EQ(b.outline->color.a, 1);

  bare.strokeEnabled = false;
  EXPECT_FALSE(SubtitleStyle::resolve(bare, 1080).outline);
  bare.fontSize = -5;  // never below one pixel
  EXPECT_DOUBLE_EQ(SubtitleStyle::resolve(bare, 1080).fontSize, 1);
}

TEST(SubtitleStyle, FontsResolveTheBundledInterAndSystemFamilies) {
  const auto inter = subtitleFont("Inter", 700, 48);
  ASSERT_TRUE(inter);
  EXPECT_NE(inter->familyName().find("Inter"), std::string::npos) << inter->familyName();
  EXPECT_EQ(inter->weight(), 700);
  EXPECT_EQ(subtitleFont("'Inter'", 1000, 48)->weight(), 900);  // quotes dropped, weight within the axis
  EXPECT_TRUE(subtitleFont("Helvetica", 700, 48));  // the system's nearest match
}

// ---- Timing ----

TEST(SubtitleTiming, HighlightSetsBySingleAndProgressiveModes) {
  const auto c = threeWords();
  using V = std::vector<std::string>;
  const struct {
    double t;
    V single, progressive;
  } cases[] = {
      {0.1, {}, {}},
      {0.2, {"w1"}, {"w1"}},  // starts count
      {0.6, {"w1"}, {"w1"}},  // ends count
      {0.65, {}, {"w1"}},     // between words
      {1.0, {"w2"}, {"w1", "w2"}},
      {1.3, {}, {"w1", "w2"}},  // the pause
      {2.0, {"w3"}, {"w1", "w2", "w3"}},
      {2.8, {}, {"w1", "w2", "w3"}},
  };
  for (const auto& k : cases) {
    EXPECT_EQ(ids(captionHighlightedWordIds(c, k.t, "single")), k.single) << k.t;
    EXPECT_EQ(ids(captionHighlightedWordIds(c, k.t, "karaoke")), k.single) << k.t;  // any other mode reads as single
    EXPECT_EQ(ids(captionHighlightedWordIds(c, k.t, "progressive")), k.progressive) << k.t;
  }
  // Words of every authored line take part.
  auto two = c;
  two.lines = {{c.lines[0][0]}, {c.lines[0][1], c.lines[0][2]}};
  EXPECT_EQ(ids(highlightedWordIds(two.lines, 2.0, "progressive")), (V{"w1", "w2", "w3"}));
  EXPECT_EQ(subtitleKey("c1", {"b", "a", "c"}), "c1|a,b,c");
  EXPECT_EQ(subtitleKey("c1", {}), "c1|");
}

TEST(SubtitleTiming, PopInAndFadeOut) {
  const auto c = caption("c", 10, 12, {word("w", "hi", 10, 12)});
  const struct {
    double t, opacity, scale;
    bool settled;
  } cases[] = {
      {10, 0, 0.96, false},
      {10.06, 0.75, 0.99, false},
      {10.12, 1, 1, true},
      {11, 1, 1, true},
      {11.96, 0.5, 1, true},  // last 0.08 s: linear to zero
      {12, 0, 1, true},
  };
  for (const auto& k : cases) {
    const auto a = subtitleAnimationAt(c, k.t);
    EXPECT_NEAR(a.opacity, k.opacity, 1e-9) << k.t;
    EXPECT_NEAR(a.scale, k.scale, 1e-9) << k.t;
    EXPECT_EQ(a.settled, k.settled) << k.t;
  }
  // A caption shorter than its pop-in fades from wherever the pop-in got to.
  const auto brief = caption("b", 0, 0.1, {});
  EXPECT_NEAR(subtitleAnimationAt(brief, 0.06).opacity, 0.5, 1e-9);  // min(0.75, 0.04 / 0.08)

  const std::vector<NativeSubtitleCaption> list{caption("a", 0, 2, {}), caption("b", 1, 3, {})};
  EXPECT_EQ(captionIndexAt(list, 1.5), 0u);  // overlapping: the earlier in the list
  EXPECT_EQ(captionIndexAt(list, 2.5), 1u);
  EXPECT_FALSE(captionIndexAt(list, 3.01));
}

// ---- Line breaking ----

TEST(SubtitleReflow, SplitsIntoTheMostEvenTwoLinesThatFit) {
  using W = std::vector<double>;
  const struct {
    const char* what;
    W widths;
    double gap, limit;
    std::optional<std::size_t> split;
  } cases[] = {
      {"all fit on one line", {100, 100, 100}, 10, 320, std::nullopt},
      {"exactly the limit is one line", {100, 100, 100}, 10, 320 + 0, std::nullopt},
      {"3|1 is the only cut that fits", {100, 100, 100, 300}, 10, 320, 3},
      {"most even cut", {50, 200, 60, 60, 60}, 10, 320, 2},
      {"ties keep the earlier cut", {50, 50, 50}, 0, 100, 1},
      {"nothing fits: middle word count", {300, 300, 300}, 10, 100, 2},
      {"one wide word: word and an empty line", {500}, 10, 100, 1},
      {"no words", {}, 10, 100, std::nullopt},
      {"no words, negative limit", {}, 10, -1, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(subtitleSplitIndex(c.widths, W(c.widths.size(), c.gap), c.limit), c.split) << c.what;
  }
  EXPECT_DOUBLE_EQ(segmentWidth({100, 100, 100, 300}, 0, 3, 10), 320);
  EXPECT_DOUBLE_EQ(segmentWidth({100, 100, 100, 300}, 3, 4, 10), 300);
  EXPECT_DOUBLE_EQ(segmentWidth({100, 100}, 1, 1, 10), 0);
  // Gaps that differ (none between CJK pieces) count where they lie.
  EXPECT_EQ(subtitleSplitIndex({100, 100, 100, 100}, {0, 50, 0, 0}, 250), 2u);
}

struct ShapedText : ::testing::Test {
  static void SetUpTestSuite() { BundledFonts::registerOnce(); }
  const gfx::Font font = *subtitleFont("Inter", 700, 48);
  static constexpr double kSpacing = 0.96;

  SubtitleLayout reflow(const std::vector<std::string>& texts, double limit, bool uppercase = false) const {
    std::vector<NativeSubtitleWord> words;
    for (std::size_t i = 0; i < texts.size(); ++i) words.push_back(word("w" + std::to_string(i), texts[i], 0, 1));
    return reflowWordsIntoLines(words, limit, font, kSpacing, uppercase);
  }
  static std::string lineText(const SubtitleLine& line) {  // display order, runs joined by "/"
    std::string s;
    for (const std::size_t i : line.visualOrder) s += (s.empty() ? "" : "/") + line.runs[i].text;
    return s;
  }
};

TEST_F(ShapedText, LatinCaptionsUseShapedWidthsAndBreakAtWords) {
  const auto one = reflow({"Hello", "world"}, 360);
  ASSERT_EQ(one.lines.size(), 1u);
  const double space = gfx::measureTextWidth(font, " ", kSpacing);
  EXPECT_NEAR(one.lines[0].width,
              gfx::measureTextWidth(font, "Hello", kSpacing) + space + gfx::measureTextWidth(font, "world", kSpacing),
              1e-9);
  EXPECT_NEAR(one.lines[0].runX[1], gfx::measureTextWidth(font, "Hello", kSpacing) + space, 1e-9);

  const auto two = reflow({"This", "caption", "is", "far", "too", "long", "for", "one", "line"}, 600);
  ASSERT_EQ(two.lines.size(), 2u);
  EXPECT_EQ(lineText(two.lines[0]) + " | " + lineText(two.lines[1]), "This/caption/is/far | too/long/for/one/line");
  for (const auto& line : two.lines) EXPECT_LE(line.width, 600);
  // When no cut fits both halves, the middle word count decides (lines then overflow).
  const auto narrow = reflow({"This", "caption", "is", "far", "too", "long", "for", "one", "line"}, 360);
  EXPECT_EQ(lineText(narrow.lines[0]) + " | " + lineText(narrow.lines[1]), "This/caption/is/far/too | long/for/one/line");

  // Blanks a transcript leaves around words do not widen the gaps.
  EXPECT_NEAR(reflow({" Hello ", "\u00A0world"}, 360).lines[0].width, one.lines[0].width, 1e-9);
  const auto upper = reflow({"straße", "élan", "привет", "ǆ"}, 1000, true);
  EXPECT_EQ(lineText(upper.lines[0]), "STRASSE/ÉLAN/ПРИВЕТ/ǆ");
  EXPECT_EQ(subtitleUppercased("ā ĺ ź ÿ σς \xFF"), "Ā Ĺ Ź Ÿ ΣΣ \xFF");
}

TEST_F(ShapedText, CjkBreaksBetweenCharactersWithoutSpaces) {
  // One transcript "word" holding a whole sentence, and a caption of short words.
  const std::string sentence = "今天我们一起来学习如何录制屏幕，然后导出视频。";
  const auto one = reflow({sentence}, 600);
  ASSERT_EQ(one.lines.size(), 2u);
  const std::string joined = one.lines[0].runs.at(0).text + one.lines[1].runs.at(0).text;
  EXPECT_EQ(joined, sentence);
  for (const auto& line : one.lines) EXPECT_LE(line.width, 600);
  EXPECT_NEAR(one.lines[0].width, one.lines[1].width, 60);
  // Closing punctuation never starts a line.
  EXPECT_NE(one.lines[1].runs[0].text.rfind("，", 0), 0u);

  const auto words = reflow({"今天", "我们", "学习"}, 1000);
  ASSERT_EQ(words.lines.size(), 1u);
  EXPECT_NEAR(words.lines[0].width, gfx::measureTextWidth(font, "今天我们学习", kSpacing), 0.5);  // no spaces
  // Between Latin and CJK words the space stays.
  const auto mixed = reflow({"使用", "iPhone"}, 1000);
  EXPECT_NEAR(mixed.lines[0].runX[1], mixed.lines[0].runs[0].width + gfx::measureTextWidth(font, " ", kSpacing),
              1e-9);
}

TEST_F(ShapedText, RightToLeftLinesRunFromTheRight) {
  const struct {
    const char* what;
    std::vector<std::string> words;
    const char* display;
    bool rtl;
  } cases[] = {
      {"Arabic", {"مرحبا", "بكم", "جميعا"}, "جميعا/بكم/مرحبا", true},
      {"Hebrew", {"שלום", "עולם"}, "עולם/שלום", true},
      {"Latin inside Arabic keeps its own order", {"أحب", "New", "York", "كثيرا"}, "كثيرا/New/York/أحب", true},
      {"numbers sit in the Arabic flow", {"عام", "2024", "سعيد"}, "سعيد/2024/عام", true},
      {"Arabic inside Latin", {"I", "said", "مرحبا", "بكم", "today"}, "I/said/بكم/مرحبا/today", false},
      {"Latin with a number", {"iPhone", "15", "Pro"}, "iPhone/15/Pro", false},
      {"emoji follow their neighbours", {"مرحبا", "👋", "بكم"}, "بكم/👋/مرحبا", true},
  };
  for (const auto& c : cases) {
    const auto layout = reflow(c.words, 2000);
    ASSERT_EQ(layout.lines.size(), 1u) << c.what;
    EXPECT_EQ(lineText(layout.lines[0]), c.display) << c.what;
    EXPECT_EQ(layout.lines[0].rightToLeft, c.rtl) << c.what;
    // Display order is also geometric order.
    const auto& line = layout.lines[0];
    for (std::size_t v = 1; v < line.visualOrder.size(); ++v)
      EXPECT_GT(line.runX[line.visualOrder[v]], line.runX[line.visualOrder[v - 1]]) << c.what;
  }
}

// ---- The layer in a render state ----

struct Pixels {
  gfx::BufferRef pixels;
  int width() const { return pixels->width(); }
  int height() const { return pixels->height(); }
  // B, G, R, A (premultiplied); y from the top.
  const uint8_t* at(int x, int y) const { return pixels->row(y) + 4 * x; }

  struct Ink {
    int count = 0;
    double sumX = 0, sumY = 0;
    int minX = 1 << 30, maxX = -1, minY = 1 << 30, maxY = -1;
    double cx() const { return sumX / count; }
    double cy() const { return sumY / count; }
  };
  template <typename Pred>
  Ink ink(Pred pred) const {
    Ink k;
    for (int y = 0; y < height(); ++y)
      for (int x = 0; x < width(); ++x)
        if (pred(at(x, y))) {
          ++k.count;
          k.sumX += x;
          k.sumY += y;
          k.minX = std::min(k.minX, x);
          k.maxX = std::max(k.maxX, x);
          k.minY = std::min(k.minY, y);
          k.maxY = std::max(k.maxY, y);
        }
    return k;
  }
  bool operator==(const Pixels& o) const {
    if (width() != o.width() || height() != o.height()) return false;
    for (int y = 0; y < height(); ++y)
      if (std::memcmp(pixels->row(y), o.pixels->row(y), static_cast<std::size_t>(width()) * 4) != 0) return false;
    return true;
  }
  int maxAlpha() const {
    int a = 0;
    for (int y = 0; y < height(); ++y)
      for (int x = 0; x < width(); ++x) a = std::max<int>(a, at(x, y)[3]);
    return a;
  }
};

bool opaque(const uint8_t* p) { return p[3] > 200; }
bool yellow(const uint8_t* p) { return p[3] > 240 && p[2] > 220 && p[1] > 180 && p[1] < 240 && p[0] < 80; }
bool white(const uint8_t* p) { return p[3] > 240 && p[0] > 235 && p[1] > 235 && p[2] > 235; }

class SubtitleLayer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { BundledFonts::registerOnce(); }

  std::unique_ptr<NativeRenderState> state(std::vector<NativeSubtitleCaption> captions,
                                           std::optional<NativeSubtitlePreset> preset = std::nullopt,
                                           Size size = {1920, 1080}) {
    NativeRenderStateInputs in;
    in.manifest.scene.settings.video.aspectRatio = "16:9";
    in.manifest.scene.settings.video.videoScale = 100;
    in.manifest.scene.settings.background.type = "color";
    in.manifest.scene.settings.background.color = "#203040";
    in.manifest.qualityPlan.frameRate = 30;
    NativeVideoSegmentPlan s;
    s.segmentId = "s";
    s.sourceEndTime = 60;
    s.outputEndTime = 60;
    in.manifest.videoPlan.segments = {s};
    in.manifest.overlayPlan.subtitleCaptions = std::move(captions);
    in.manifest.overlayPlan.subtitlePreset = std::move(preset);
    in.renderSize = size;
    in.baseTrackMetadata = VideoTrackMetadata::make(size, {});
    in.sourceTrackMetadataByIndex = {in.baseTrackMetadata};
    in.canvasReferenceDisplaySize = size;
    in.performancePlan = ExportPerformancePlan::build(size, 1);
    return std::make_unique<NativeRenderState>(std::move(in));
  }

  static Pixels render(NativeRenderState& s, const std::optional<gfx::Image>& image) {
    Pixels p{gfx::makeBuffer(static_cast<int>(s.renderSize().width), static_cast<int>(s.renderSize().height),
                             gfx::PixelFormat::bgra8)};
    p.pixels->fill(0);
    if (image) s.renderer().render(*image, *p.pixels, {0, 0});
    return p;
  }
  static Pixels layer(NativeRenderState& s, double t) { return render(s, subtitlesLayer(s, t, {})); }
  static const SubtitleLayerState& layerState(NativeRenderState& s) { return *s.layerStates().subtitles; }
};

TEST_F(SubtitleLayer, DrawsOnceForEachHighlightSetWhileOnlyTimeAdvances) {
  const struct {
    const char* mode;
    std::size_t renders;
  } cases[] = {
      // 3 pop-in frames (1/30 to 3/30 s; at 0 s the caption is invisible), then
      // one image per set: {}, {w1}, {w2}, {w3} in single mode (the pauses
      // share {}), {}, {w1}, {w1,w2}, {w1,w2,w3} in progressive mode.
      {"single", 3 + 4},
      {"progressive", 3 + 4},
  };
  for (const auto& c : cases) {
    auto preset = defaultSubtitlePreset();
    preset.highlightMode = c.mode;
    auto s = state({threeWords()}, preset);
    std::size_t drawn = 0;
    for (int i = 0; i <= 90; ++i) drawn += subtitlesLayer(*s, i / 30.0, {}).has_value();
    EXPECT_EQ(drawn, 89u) << c.mode;  // invisible at its first and last instant
    EXPECT_EQ(layerState(*s).renderCount, c.renders) << c.mode;
    EXPECT_EQ(layerState(*s).cacheHits, drawn - c.renders) << c.mode;
  }
}

TEST_F(SubtitleLayer, CachedImagesMatchFreshOnesAndCaptionsNeverShareThem) {
  // Two captions with the same id (a host bug, or ids reused across tracks).
  auto s = state({caption("same", 0, 2, {word("a", "first", 0, 2)}), caption("same", 2.5, 4, {word("a", "second", 2.5, 4)})});
  const Pixels first = layer(*s, 1.0);
  const Pixels again = layer(*s, 1.5);  // from the cache
  const Pixels second = layer(*s, 3.0);
  EXPECT_EQ(layerState(*s).renderCount, 2u);
  EXPECT_TRUE(first == again);
  EXPECT_FALSE(first == second);

  const auto& cap = s->manifest().overlayPlan.subtitleCaptions[0];
  const auto& st = layerState(*s);
  SubtitleLayerState fresh(defaultSubtitlePreset(), 1080);
  const auto layout = reflowWordsIntoLines(cap.lines[0], fresh.style.wrapWidth, fresh.font,
                                           fresh.style.letterSpacing, false);
  const Pixels direct = render(*s, renderSubtitleOverlay({&cap, &layout, &st.style}, 1.0, s->canvasRect()));
  EXPECT_TRUE(first == direct);
  // Cached images cost their bitmap, a small part of the canvas.
  const auto& cache = s->staticCache().subtitleImages;
  EXPECT_EQ(cache.size(), 2u);
  EXPECT_GT(cache.totalCost(), 0u);
  EXPECT_LT(cache.totalCost(), 1920u * 1080u * 4u / 4u);
}

TEST_F(SubtitleLayer, FadesAndGrowsIn) {
  auto s = state({caption("c", 10, 12, {word("w", "HELLO", 10, 12)})});
  EXPECT_FALSE(subtitlesLayer(*s, 10, {}));     // opacity 0
  EXPECT_FALSE(subtitlesLayer(*s, 12, {}));     // faded out
  EXPECT_FALSE(subtitlesLayer(*s, 12.01, {}));  // over
  const Pixels full = layer(*s, 11);
  const Pixels half = layer(*s, 11.96);
  const Pixels popping = layer(*s, 10.06);
  EXPECT_EQ(full.maxAlpha(), 255);
  EXPECT_NEAR(half.maxAlpha(), 128, 2);
  EXPECT_NEAR(popping.maxAlpha(), 191, 2);
  // 0.99 of the size about the block's centre.
  const auto a = full.ink(opaque), b = popping.ink([](const uint8_t* p) { return p[3] > 150; });
  EXPECT_NEAR(b.maxX - b.minX, 0.99 * (a.maxX - a.minX), 2.5);
  EXPECT_NEAR(b.cx(), a.cx(), 1.5);
}

TEST_F(SubtitleLayer, PlacesTheBlockAndColoursTheWords) {
  // Capitals without descenders: the ink ends at the baseline (plus the outline).
  auto preset = defaultSubtitlePreset();
  preset.highlightMode = "single";
  preset.maxWidth = 1000;
  auto s = state({caption("c", 0, 4, {word("1", "ONE", 0.5, 1), word("2", "MID", 1.5, 2), word("3", "ONE", 2.5, 3)})},
                 preset);
  const Pixels none = layer(*s, 0.3);
  const auto ink = none.ink(opaque);
  EXPECT_NEAR(ink.maxY, 1080 - 0.05 * 1080 + 1.44, 2);  // the bottom margin, from the top, and half the outline
  EXPECT_NEAR((ink.minX + ink.maxX) / 2.0, 960, 3);
  EXPECT_EQ(none.ink(yellow).count, 0);

  const auto lit = [&](double t) { return layer(*s, t).ink(yellow); };
  const auto left = lit(0.7), mid = lit(1.7), right = lit(2.7);
  ASSERT_GT(left.count, 100);
  ASSERT_GT(mid.count, 100);
  ASSERT_GT(right.count, 100);
  EXPECT_LT(left.maxX, mid.minX);
  EXPECT_LT(mid.maxX, right.minX);
  EXPECT_NEAR((mid.minX + mid.maxX) / 2.0, 960, 3);

  // Centred on positionY, at positionX, on a 4K canvas (everything doubles).
  preset.positionX = 0.25;
  preset.positionY = 0.5;
  auto big = state({caption("c", 0, 4, {word("1", "HELLO", 0, 4)})}, preset, {3840, 2160});
  const auto placed = layer(*big, 1).ink(opaque);
  EXPECT_NEAR((placed.minX + placed.maxX) / 2.0, 960, 4);
  // One line of pitch 120 centred at 1080: the baseline lies at 1140, the outline reaches 5.76 further.
  EXPECT_NEAR(placed.maxY, 1140 + 5.76, 2);
}

TEST_F(SubtitleLayer, RightToLeftHighlightsStartOnTheRight) {
  auto preset = defaultSubtitlePreset();
  preset.highlightMode = "single";
  auto s = state({caption("c", 0, 3, {word("1", "مرحبا", 0.5, 1), word("2", "بكم", 1.5, 2)})}, preset);
  const auto firstWord = layer(*s, 0.7).ink(yellow);
  const auto secondWord = layer(*s, 1.7).ink(yellow);
  ASSERT_GT(firstWord.count, 50);
  ASSERT_GT(secondWord.count, 50);
  EXPECT_GT(firstWord.minX, secondWord.maxX);
}

TEST_F(SubtitleLayer, BoxUnderTheBlock) {
  auto preset = defaultSubtitlePreset();
  preset.backgroundEnabled = true;
  preset.backgroundColor = "#FF0000";
  preset.backgroundOpacity = 50;
  auto s = state({caption("c", 0, 4, {word("1", "HELLO", 0, 4)})}, preset);
  const Pixels p = layer(*s, 1);
  const auto text = p.ink([](const uint8_t* q) { return q[3] > 240 && q[2] > 200 && q[1] > 150; });
  const auto box = p.ink([](const uint8_t* q) { return q[3] > 100 && q[3] < 160 && q[2] > 100 && q[1] < 10; });
  ASSERT_GT(box.count, 1000);
  // 14 px beside the widest line, 6 px under the block (the baseline).
  const double width = gfx::measureTextWidth(*subtitleFont("Inter", 700, 48), "HELLO", 0.96);
  EXPECT_NEAR(box.maxX + 1 - box.minX, width + 28, 2);
  EXPECT_NEAR((box.maxX + 1 + box.minX) / 2.0, 960, 1);
  EXPECT_NEAR((text.maxX + 1 + text.minX) / 2.0, 960, 3);
  EXPECT_NEAR(box.maxY, 1026 + 6, 2);
  EXPECT_NEAR(p.at(box.minX + 6, (box.minY + box.maxY) / 2)[3], 128, 2);
}

TEST_F(SubtitleLayer, ComposedFramesCarryTheCaptionOnTop) {
  auto s = state({caption("c", 0, 4, {word("1", "HELLO", 0, 4)})});
  auto source = gfx::makeBuffer(1920, 1080, gfx::PixelFormat::bgra8);
  source->fill(0xFF00FF00u);
  const gfx::Image image = gfx::Image::fromBuffer(source);
  const Pixels frame = render(*s, s->composeFrame(1, &image));
  EXPECT_GT(frame.ink(yellow).count, 100);  // the default preset is progressive: spoken words are yellow
  EXPECT_TRUE(white(frame.at(5, 5)) == false && frame.at(5, 5)[1] == 255);  // green elsewhere
}

// Pictures to look at (run with --gtest_also_run_disabled_tests): Latin,
// Arabic, CJK and emoji captions over a mid-grey frame, and a caption's
// highlight over time, into /tmp/vantrel-subtitles/.
TEST_F(SubtitleLayer, DISABLED_WritePictures) {
  const std::string dir = "/tmp/vantrel-subtitles";
  std::filesystem::create_directories(dir);
  auto preset = defaultSubtitlePreset();
  const struct {
    const char* name;
    std::vector<std::string> words;
    bool box;
  } captions[] = {
      {"latin", {"Recording", "your", "screen", "has", "never", "been", "this", "easy"}, false},
      {"arabic", {"تسجيل", "الشاشة", "لم", "يكن", "أسهل", "من", "قبل"}, false},
      {"cjk", {"录制屏幕从来没有这么简单，", "试试看吧。"}, true},
      {"emoji", {"Ship", "it", "🚀", "today", "🎉👍🏽"}, true},
  };
  for (const auto& c : captions) {
    std::vector<NativeSubtitleWord> words;
    for (std::size_t i = 0; i < c.words.size(); ++i)
      words.push_back(word(std::to_string(i), c.words[i], 0.5 * static_cast<double>(i), 0.5 * static_cast<double>(i) + 0.4));
    preset.backgroundEnabled = c.box;
    auto s = state({caption("c", 0, 10, words)}, preset, {1280, 720});
    auto source = gfx::makeBuffer(1280, 720, gfx::PixelFormat::bgra8);
    source->fill(0xFF707880u);
    const gfx::Image image = gfx::Image::fromBuffer(source);
    const double t = 0.5 * static_cast<double>(c.words.size() / 2) + 0.2;
    gfx::writePng(*render(*s, s->composeFrame(t, &image)).pixels, dir + "/" + c.name + ".png");
    if (std::string(c.name) == "latin") {
      for (int i = 0; i < 12; ++i) {
        const double at = i < 4 ? i * 0.03 : 0.1 + (i - 3) * 0.45;
        char name[64];
        std::snprintf(name, sizeof name, "/sheet_%02d.png", i);
        gfx::writePng(*render(*s, s->composeFrame(at, &image)).pixels, dir + name);
      }
    }
  }
}

}  // namespace
}  // namespace vantrel::exporter
