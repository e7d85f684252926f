// Image, text and blur overlays: the timing curve, fades and picture
// animations at given times, crops, line breaking and text styles, and
// composed frames in which the overlays must follow the video through padding
// and zoom, draw the placeholder, pixellate in cells of the right size and
// reuse drawn text boxes.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <random>

#include "render/layers/layers.h"
#include "render/overlay_animation.h"
#include "render/render_state.h"
#include "vantrel/graphics/text.h"

namespace vantrel::exporter {
namespace {

namespace gfx = vantrel::graphics;

// ---- Timing ----

// x(s) is increasing for control points in [0, 1]: bisection to the bottom gives the exact answer.
double referenceBezier(double p, double x1, double y1, double x2, double y2) {
  auto bez = [](double s, double a, double b) { return 3 * (1 - s) * (1 - s) * s * a + 3 * (1 - s) * s * s * b + s * s * s; };
  double lo = 0, hi = 1;
  for (int i = 0; i < 100; ++i) {
    const double mid = (lo + hi) / 2;
    (bez(mid, x1, x2) < p ? lo : hi) = mid;
  }
  return bez((lo + hi) / 2, y1, y2);
}

TEST(OverlayTiming, CubicBezierSolvesForXAndReturnsY) {
  EXPECT_NEAR(evaluateCubicBezierTiming(0.5, 0.25, 0.1, 0.25, 1), 0.8024033877, 1e-5);  // the usual "ease"
  EXPECT_NEAR(evaluateCubicBezierTiming(0.5, 0.42, 0, 0.58, 1), 0.5, 1e-6);
  EXPECT_NEAR(evaluateCubicBezierTiming(0.3, 0, 0, 1, 1), 0.3, 1e-5);
  const struct {
    double x1, y1, x2, y2;
  } curves[] = {{0.25, 0.1, 0.25, 1}, {0.42, 0, 1, 1}, {0, 0, 0.58, 1}, {0.68, -0.6, 0.32, 1.6},
                {0.9, 0.1, 0.1, 0.9},  {1, 0, 0, 1},   {0, 1, 1, 0},    {0.05, 0.9, 0.95, 0.1}};
  for (const auto& c : curves) {
    for (double p = 0.01; p < 1; p += 0.049) {
      const double got = evaluateCubicBezierTiming(p, c.x1, c.y1, c.x2, c.y2);
      const double want = std::clamp(referenceBezier(p, c.x1, c.y1, c.x2, c.y2), 0.0, 1.0);
      EXPECT_NEAR(got, want, 2e-3) << c.x1 << "," << c.y1 << "," << c.x2 << "," << c.y2 << " at " << p;
      EXPECT_GE(got, 0);
      EXPECT_LE(got, 1);
    }
  }
  for (double p : {-1.0, 0.0}) EXPECT_EQ(evaluateCubicBezierTiming(p, 0.68, -0.6, 0.32, 1.6), 0);
  for (double p : {1.0, 7.0, std::nan("")}) EXPECT_EQ(evaluateCubicBezierTiming(p, 0.68, -0.6, 0.32, 1.6), 1);
}

TEST(OverlayTiming, FadeRuleAndActiveWindow) {
  const std::optional<std::string> fade = std::string("fade");
  const struct {
    const char* what;
    double start, end, t;
    std::optional<std::string> style;
    double opacity;
  } cases[] = {
      {"0.3 s fades in over 0.15 s", 2, 2.3, 2.075, fade, 0.5},
      {"and out over 0.15 s", 2, 2.3, 2.225, fade, 0.5},
      {"full in its middle", 2, 2.3, 2.15, fade, 1},
      {"long ones fade over 0.2 s", 1, 5, 1.05, fade, 0.25},
      {"at its start", 1, 5, 1, fade, 0},
      {"no fade-in from 0", 0, 5, 0, fade, 1},
      {"but a fade-out", 0, 5, 4.9, fade, 0.5},
      {"inverted times", 3, 2, 2.5, fade, 1},
      {"zero length", 2, 2, 2, fade, 1},
      {"none", 1, 5, 1, std::string("none"), 1},
      {"absent style", 1, 5, 1, std::nullopt, 1},
  };
  for (const auto& c : cases) EXPECT_NEAR(overlayFadeOpacity(c.start, c.end, c.style, c.t), c.opacity, 1e-9) << c.what;

  EXPECT_TRUE(overlayIsActive(1, 2, 0.99995));
  EXPECT_TRUE(overlayIsActive(1, 2, 2.00005));
  EXPECT_FALSE(overlayIsActive(1, 2, 0.9998));
  EXPECT_FALSE(overlayIsActive(1, 2, 2.0002));
}

// ---- Picture animations ----

NativeImageAnimationSettings settings(std::optional<double> delay, std::optional<double> duration = std::nullopt) {
  NativeImageAnimationSettings s;
  s.delay = delay;
  s.duration = duration;
  return s;
}

TEST(ImageAnimation, StatesAtGivenTimes) {
  // Half-way through an effect: p = 0.5, e = 0.875.
  const double e = 0.875;
  const double pi = std::acos(-1.0);
  NativeImageAnimationSettings wild;
  wild.shakeFrequency = 20;  // treated as 12
  wild.shakeIntensity = 100; // treated as 40
  wild.scaleFrom = 0.1;      // treated as 0.4
  wild.offsetY = -500;       // treated as -200
  wild.blur = 90;            // treated as 40
  wild.duration = 1;
  const struct {
    const char* what;
    const char* animation;
    std::optional<NativeImageAnimationSettings> settings;
    double elapsed;
    std::optional<double> legacy;
    ImageAnimationRenderState want;
  } cases[] = {
      {"fade", "fade", std::nullopt, 0.2, std::nullopt, {e, 0, 12 * (1 - e), 1, 0}},
      {"blur", "blur", std::nullopt, 0.225, std::nullopt, {e, 0, 24 * (1 - e), 1, 12 * (1 - e)}},
      {"scale", "scale", std::nullopt, 0.2, std::nullopt, {e, 0, 12 * (1 - e), 0.92 + 0.08 * e, 0}},
      {"shake", "shake", std::nullopt, 0.25 + 1.0 / 32, std::nullopt,
       {1 - std::pow(1 - 0.5625, 3), std::pow(1 - 0.5625, 3) * 10 * std::sin(2 * pi * 4 * 0.5625),
        0.2 * std::pow(1 - 0.5625, 3) * 10 * std::sin(2 * pi * 4 * 0.5625), 1, 0}},
      {"legacy duration", "fade", std::nullopt, 1, 2.0, {e, 0, 12 * (1 - e), 1, 0}},
      {"settings duration beats legacy", "fade", settings(std::nullopt, 2.0), 1, 0.4, {e, 0, 12 * (1 - e), 1, 0}},
      {"settings without duration take legacy", "fade", settings(0.0), 1, 2.0, {e, 0, 12 * (1 - e), 1, 0}},
      {"duration below 0.1", "fade", settings(std::nullopt, 0.01), 0.05, std::nullopt, {e, 0, 12 * (1 - e), 1, 0}},
      {"before the delay", "fade", settings(1.0), 0.5, std::nullopt, {0, 0, 12, 1, 0}},
      {"after the delay", "fade", settings(1.0), 1.2, std::nullopt, {e, 0, 12 * (1 - e), 1, 0}},
      {"delay above 5", "fade", settings(9.0), 5.2, std::nullopt, {e, 0, 12 * (1 - e), 1, 0}},
      {"done", "scale", std::nullopt, 3, std::nullopt, {1, 0, 0, 1, 0}},
      {"clamped scale", "scale", wild, 0.5, std::nullopt, {e, 0, -200 * (1 - e), 0.4 + 0.6 * e, 0}},
      {"clamped blur", "blur", wild, 0.5, std::nullopt, {e, 0, -200 * (1 - e), 1, 40 * (1 - e)}},
      {"clamped shake", "shake", wild, 0.5, std::nullopt,
       {e, (1 - e) * 40 * std::sin(2 * pi * 12 * 0.5), 0.2 * (1 - e) * 40 * std::sin(2 * pi * 12 * 0.5), 1, 0}},
      {"unknown name", "spin", std::nullopt, 0, std::nullopt, {1, 0, 0, 1, 0}},
  };
  for (const auto& c : cases) {
    const auto got = resolveImageAnimationRenderState(std::string(c.animation), c.settings, c.elapsed, c.legacy);
    EXPECT_NEAR(got.opacity, c.want.opacity, 1e-9) << c.what;
    EXPECT_NEAR(got.offsetX, c.want.offsetX, 1e-9) << c.what;
    EXPECT_NEAR(got.offsetY, c.want.offsetY, 1e-9) << c.what;
    EXPECT_NEAR(got.scale, c.want.scale, 1e-9) << c.what;
    EXPECT_NEAR(got.blur, c.want.blur, 1e-9) << c.what;
  }
  EXPECT_EQ(resolveImageAnimationRenderState(std::nullopt, std::nullopt, 0, std::nullopt).opacity, 1);

  // The effect's length leaves the delay out and is clamped to [0.1, 5].
  const std::optional<std::string> fade = std::string("fade"), blur = std::string("blur");
  EXPECT_DOUBLE_EQ(fillerImageAnimationActiveDurationSeconds(blur, std::nullopt, std::nullopt), 0.45);
  EXPECT_DOUBLE_EQ(fillerImageAnimationActiveDurationSeconds(fade, settings(3.0), std::nullopt), 0.4);
  EXPECT_DOUBLE_EQ(fillerImageAnimationActiveDurationSeconds(fade, settings(3.0, 9.0), 1.0), 5);
  EXPECT_DOUBLE_EQ(fillerImageAnimationActiveDurationSeconds(fade, std::nullopt, 0.0), 0.1);
}

NativeImageOverlay pictureOverlay(double start, double end, const char* animation = "fade") {
  NativeImageOverlay o;
  o.id = "picture";
  o.startTime = start;
  o.endTime = end;
  o.x = 0.25;
  o.y = 0.25;
  o.width = 0.5;
  o.height = 0.5;
  o.src = "red";
  o.animation = std::string(animation);
  return o;
}

TEST(ImageAnimation, EntranceAndExitOfAnOverlay) {
  const double e = 0.875;  // half-way
  const struct {
    const char* what;
    NativeImageOverlay overlay;
    double t;
    double opacity, offsetY;
  } cases[] = {
      {"entrance", pictureOverlay(2, 6), 2.2, e, 12 * (1 - e)},
      {"still", pictureOverlay(2, 6), 4, 1, 0},
      {"exit plays the entrance backwards", pictureOverlay(2, 6), 5.8, e, 12 * (1 - e)},
      {"gone at its end", pictureOverlay(2, 6), 6, 0, 12},
      {"from 0: full at its start", pictureOverlay(0, 6), 0, 1, 0},
      {"from 0: still exits", pictureOverlay(0, 6), 5.8, e, 12 * (1 - e)},
      // 0.3 s from 0 with a 0.4 s effect: the exit is stretched over its whole life.
      {"short from 0: start", pictureOverlay(0, 0.3), 0, 1, 0},
      {"short from 0: middle", pictureOverlay(0, 0.3), 0.15, e, 12 * (1 - e)},
      {"short from 0: end", pictureOverlay(0, 0.3), 0.3, 0, 12},
      {"zero length at 0", pictureOverlay(0, 0), 0, 0, 12},
  };
  for (const auto& c : cases) {
    const auto got = resolveImageOverlayAnimationState(c.overlay, c.t);
    EXPECT_NEAR(got.opacity, c.opacity, 1e-9) << c.what;
    EXPECT_NEAR(got.offsetY, c.offsetY, 1e-9) << c.what;
    EXPECT_TRUE(std::isfinite(got.scale) && std::isfinite(got.offsetX)) << c.what;
  }
  // The exit ignores the entrance delay.
  auto delayed = pictureOverlay(2, 6);
  delayed.animationSettings = settings(1.0);
  EXPECT_NEAR(resolveImageOverlayAnimationState(delayed, 5.8).opacity, e, 1e-9);
  EXPECT_NEAR(resolveImageOverlayAnimationState(delayed, 2.5).opacity, 0, 1e-9);
}

TEST(ImageAnimation, CropsAreFractionsFromTheTopLeftKeptInsideThePicture) {
  const gfx::Image picture = gfx::Image::solid({1, 0, 0, 1}).cropped({0, 0, 100, 50});
  const struct {
    NativeImageCrop crop;
    gfx::Rect want;
  } cases[] = {
      {{0.1, 0.2, 0.5, 0.5}, {10, 15, 50, 25}},
      {{0.5, 0, 2, 1}, {50, 0, 50, 50}},           // kept inside
      {{-1, 0.9, 1, 1}, {0, 0, 100, 5}},           // x clamped to 0, height to what is left
      {{0, 0, 0, 0}, {0, 49.95, 0.1, 0.05}},
  };
  for (const auto& c : cases) {
    const gfx::Rect got = croppedImageSource(picture, c.crop).extent();
    EXPECT_NEAR(got.x, c.want.x, 1e-9);
    EXPECT_NEAR(got.y, c.want.y, 1e-9);
    EXPECT_NEAR(got.width, c.want.width, 1e-9);
    EXPECT_NEAR(got.height, c.want.height, 1e-9);
  }
  EXPECT_EQ(croppedImageSource(picture, std::nullopt).extent().width, 100);
}

// ---- Text ----

class OverlayText : public ::testing::Test {
 protected:
  static gfx::Font font(double size = 20) { return *bundledFont("Inter", size, 400); }
};

TEST_F(OverlayText, BundledFontServesInterAtTheRequestedWeight) {
  const auto regular = bundledFont("Inter", 40, 400), heavy = bundledFont("'Inter'", 40, 900);
  const auto thin = bundledFont("\"Inter Variable\"", 40, 20);  // clamped to 100
  ASSERT_TRUE(regular && heavy && thin);
  EXPECT_NE(regular->familyName().find("Inter"), std::string::npos);
  const double w400 = gfx::measureTextWidth(*regular, "Overlay"), w900 = gfx::measureTextWidth(*heavy, "Overlay");
  const double w100 = gfx::measureTextWidth(*thin, "Overlay");
  EXPECT_GT(w900, w400 * 1.05);
  EXPECT_LT(w100, w400);
  EXPECT_NEAR(w100, gfx::measureTextWidth(*bundledFont("Inter", 40, 100), "Overlay"), 1e-9);
  EXPECT_TRUE(bundledFont("Some Family Nobody Has", 20, 700));  // the system's nearest match
  EXPECT_FALSE(bundledFont("Inter", 0, 400));
}

TEST_F(OverlayText, WordsWiderThanTheLineBreakBetweenCharacters) {
  const gfx::Font f = font();
  const double max = gfx::measureTextWidth(f, "abcdefgh");
  const auto lines = wrapOverlayTextLines("ab abcdefghijklmnopqrstuvwxyz cd", max, f);
  std::string joined;
  for (const auto& l : lines) {
    joined += l;
    EXPECT_LE(gfx::measureTextWidth(f, l), max) << l;
  }
  EXPECT_EQ(joined, "ab abcdefghijklmnopqrstuvwxyz cd");
  // Pieces of the long word are as long as the line allows.
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0], "ab ");
  EXPECT_EQ(lines[1], "abcdefgh");
  EXPECT_EQ(lines[2], "ijklmnop");

  // An accent stays with its letter; a line narrower than one letter still progresses.
  const std::string accented = "e\u0301e\u0301e\u0301";
  for (const auto& l : wrapOverlayTextLines(accented, 1, f)) EXPECT_EQ(l, "e\u0301");
  EXPECT_EQ(wrapOverlayTextLines("xyz", 0.5, f).size(), 3u);
}

TEST_F(OverlayText, GreedyLinesKeepSpacesAndParagraphs) {
  const gfx::Font f = font();
  const double wide = 1e6;
  const struct {
    const char* text;
    double width;
    std::vector<std::string> lines;
  } cases[] = {
      {"one two three", wide, {"one two three"}},
      {"one\ntwo", wide, {"one", "two"}},
      {"one\r\ntwo\rthree", wide, {"one", "two", "three"}},
      {"a\n\nb", wide, {"a", "", "b"}},
      {"", wide, {""}},
      {"end\n", wide, {"end", ""}},
      {"  lead and trail  ", wide, {"  lead and trail  "}},
  };
  for (const auto& c : cases) EXPECT_EQ(wrapOverlayTextLines(c.text, c.width, f), c.lines) << c.text;

  const double oneWord = gfx::measureTextWidth(f, "three");
  EXPECT_EQ(wrapOverlayTextLines("one two three", gfx::measureTextWidth(f, "one two"), f),
            (std::vector<std::string>{"one two", " three"}));  // the space run starts the next line
  EXPECT_EQ(wrapOverlayTextLines("one two three", oneWord, f),
            (std::vector<std::string>{"one ", "two ", "three"}));
}

TEST_F(OverlayText, HugeTextWrapsQuicklyAndIsCut) {
  NativeTextOverlay o;
  o.text = std::string(1 << 20, 'w');
  const auto style = resolveTextOverlayStyle(o, 1920, 1080);
  EXPECT_EQ(style.text.size(), kMaxOverlayTextBytes);
  // A whole frame's worth of lines from one unbroken word.
  const auto lines = wrapOverlayTextLines(style.text, 1900, font(48));
  EXPECT_GT(lines.size(), 100u);
  // Cut on a character boundary.
  o.text = std::string(kMaxOverlayTextBytes - 1, 'a') + "\u00e9";
  EXPECT_EQ(resolveTextOverlayStyle(o, 1920, 1080).text.size(), kMaxOverlayTextBytes - 1);
}

TEST(OverlayTextStyle, ResolvesSizesWeightsFamiliesAndPlaceholder) {
  NativeTextOverlay o;
  auto plain = resolveTextOverlayStyle(o, 1920, 540);  // u = 0.5
  EXPECT_EQ(plain.fontSize, 48);
  EXPECT_EQ(plain.fontWeight, 600);
  EXPECT_EQ(plain.fontFamily, "Inter");
  EXPECT_EQ(plain.text, "Type your text...");
  EXPECT_EQ(plain.align, "center");
  EXPECT_EQ(plain.padding, 0);
  EXPECT_EQ(plain.wrapWidth, 1920);
  EXPECT_EQ(plain.lineHeight, std::max(std::round(1.2 * 24), 24.0 + 2));
  EXPECT_EQ(plain.textColor.a, 1);

  o.fontSize = 8;
  o.fontWeight = 800;
  o.fontFamily = "  Georgia \n";
  o.text = "   ";
  o.textAlign = "justify";
  o.backgroundEnabled = true;
  o.backgroundPadding = 10;
  o.textWidth = 500;
  o.opacity = 40;
  o.color = "#ff0000";
  o.backgroundColor = "not a colour";
  o.backgroundOpacity = 250;
  auto s = resolveTextOverlayStyle(o, 1920, 540);
  EXPECT_EQ(s.fontSize, 12);  // drawn at 12 x 0.5
  EXPECT_EQ(s.fontWeight, 600);
  EXPECT_EQ(s.fontFamily, "Georgia");
  EXPECT_EQ(s.text, "Type your text...");
  EXPECT_EQ(s.align, "center");
  EXPECT_EQ(s.padding, 10 * 0.5 * 4);
  EXPECT_EQ(s.wrapWidth, 250);  // textWidth x u, below the video's width
  EXPECT_EQ(s.lineHeight, std::max(std::round(1.2 * 6), 6.0 + 2));
  EXPECT_EQ(s.textColor.r, 1);
  EXPECT_NEAR(s.textColor.a, 0.4, 1e-12);
  EXPECT_EQ(s.backgroundColor.r, 0);
  EXPECT_EQ(s.backgroundColor.a, 1);

  o.fontWeight = 299.6;
  o.fontSize = 1000;
  o.textWidth = 1e9;
  o.text = " x ";
  s = resolveTextOverlayStyle(o, 1920, 1080);
  EXPECT_EQ(s.fontWeight, 300);
  EXPECT_EQ(s.fontSize, 240);
  EXPECT_EQ(s.wrapWidth, 1920 - 2 * (10 * 4) / 3.0);
  EXPECT_EQ(s.text, " x ");  // used untrimmed
}

// ---- Composed frames ----

struct Pixel {
  int b, g, r, a;
};

class OverlayFrames : public ::testing::Test {
 protected:
  static constexpr double kW = 640, kH = 360;

  // A 320x180 recording on a dark grey canvas; "16:9" gives layout scale 1/3
  // at 640x360, "custom" 640x360 gives 1.
  static NativeExportManifestV1 manifest(bool layoutScaleOne = false) {
    NativeExportManifestV1 m;
    auto& video = m.scene.settings.video;
    video.aspectRatio = layoutScaleOne ? "custom" : "16:9";
    video.customCanvasWidth = kW;
    video.customCanvasHeight = kH;
    video.videoScale = 100;
    m.scene.settings.background.type = "color";
    m.scene.settings.background.color = "#101010";
    m.qualityPlan.frameRate = 30;
    NativeVideoSegmentPlan s;
    s.segmentId = "s1";
    s.sourceEndTime = s.outputEndTime = 10;
    m.videoPlan.segments = {s};
    m.videoPlan.durationSeconds = 10;
    return m;
  }

  std::unique_ptr<NativeRenderState> state(const NativeExportManifestV1& m) {
    NativeRenderStateInputs in;
    in.manifest = m;
    in.renderSize = {kW, kH};
    in.baseTrackMetadata = VideoTrackMetadata::make({320, 180}, AffineTransform{});
    in.sourceTrackMetadataByIndex = {in.baseTrackMetadata};
    in.canvasReferenceDisplaySize = {320, 180};
    in.performancePlan = ExportPerformancePlan::build(in.renderSize, 1);
    auto red = gfx::makeBuffer(64, 64, gfx::PixelFormat::bgra8);
    red->fill(gfx::Color{1, 0, 0, 1}.premultipliedBGRA());
    in.imageSourcesByPath["red"] = gfx::Image::fromBuffer(red);
    in.renderableOverlaySummary = {!m.overlayPlan.imageOverlays.empty(), !m.overlayPlan.textOverlays.empty(),
                                   !m.overlayPlan.blurOverlays.empty()};
    return std::make_unique<NativeRenderState>(std::move(in));
  }

  // Green recording, or noise (seeded) when `noisy`.
  static gfx::Image source(bool noisy = false) {
    auto buffer = gfx::makeBuffer(320, 180, gfx::PixelFormat::bgra8);
    buffer->fill(0xFF00FF00u);
    if (noisy) {
      std::mt19937 rng(7);
      for (int y = 0; y < 180; ++y) {
        auto* row = reinterpret_cast<uint32_t*>(buffer->row(y));
        for (int x = 0; x < 320; ++x) row[x] = 0xFF000000u | (rng() & 0xFFFFFFu);
      }
    }
    return gfx::Image::fromBuffer(buffer);
  }

  static gfx::BufferRef compose(NativeRenderState& s, double t, bool noisy = false) {
    const gfx::Image src = source(noisy);
    auto frame = s.composeFrame(t, &src);
    auto out = gfx::makeBuffer(static_cast<int>(kW), static_cast<int>(kH), gfx::PixelFormat::bgra8);
    EXPECT_TRUE(frame.has_value());
    if (frame) s.renderer().render(*frame, *out, {0, 0});
    return out;
  }

  // Pixel at drawing-space integer coordinates (y up).
  static Pixel at(const gfx::BufferRef& b, int x, int y) {
    const uint8_t* p = b->row(static_cast<int>(kH) - 1 - y) + x * 4;
    return {p[0], p[1], p[2], p[3]};
  }

  struct Blob {
    double x = 0, y = 0, area = 0;
  };
  // Centroid (drawing space) and coverage of the pixels `weight` picks out.
  template <typename F>
  static Blob blob(const gfx::BufferRef& b, F weight) {
    Blob out;
    for (int y = 0; y < kH; ++y) {
      for (int x = 0; x < kW; ++x) {
        const double w = weight(at(b, x, y));
        out.x += w * (x + 0.5);
        out.y += w * (y + 0.5);
        out.area += w;
      }
    }
    if (out.area > 0) {
      out.x /= out.area;
      out.y /= out.area;
    }
    return out;
  }
  static bool sameBytes(const gfx::BufferRef& a, const gfx::BufferRef& b) {
    for (int y = 0; y < a->height(); ++y)
      if (std::memcmp(a->row(y), b->row(y), static_cast<std::size_t>(a->width()) * 4) != 0) return false;
    return true;
  }
  static bool samePixel(Pixel p, Pixel q) { return p.b == q.b && p.g == q.g && p.r == q.r && p.a == q.a; }
  static double redness(Pixel p) { return std::clamp((p.r - std::max(p.g, p.b)) / 255.0, 0.0, 1.0); }
  static double blueness(Pixel p) { return p.b > 100 ? 1.0 : 0.0; }
};

TEST_F(OverlayFrames, OverlaysMoveAndZoomWithTheVideo) {
  const struct {
    const char* what;
    double padding, zoom, cx, cy;  // camera centre, pixels from the top-left
  } cases[] = {
      {"plain", 0, 1, 320, 180},
      {"padding", 150, 1, 320, 180},
      {"zoom 2 off centre", 0, 2, 280, 200},
      {"zoom 1.5 with padding", 90, 1.5, 350, 160},
  };
  for (const auto& c : cases) {
    auto m = manifest();
    m.scene.settings.video.padding = c.padding;
    auto picture = pictureOverlay(0, 10, "none");
    picture.x = 0.3;
    picture.y = 0.35;
    picture.width = 0.15;
    picture.height = 0.15;
    NativeTextOverlay box;
    box.id = "box";
    box.startTime = 0;
    box.endTime = 10;
    box.x = 0.5;
    box.y = 0.5;
    box.width = 0.15;
    box.height = 0.2;
    box.backgroundEnabled = true;
    box.backgroundColor = "#0000ff";
    box.backgroundRadius = 0;
    box.color = "#0000ff";  // a solid box: the letters do not move its centroid
    m.overlayPlan.imageOverlays = {picture};
    m.overlayPlan.textOverlays = {box};
    NativeResolvedZoomFrame z;
    z.centerX = c.cx;
    z.centerY = c.cy;
    z.zoom = c.zoom;
    m.videoPlan.resolvedZoomFrames = std::vector{z};
    auto s = state(m);
    const auto geometry = s->resolveVideoFrameGeometry(1, {320, 180});
    ASSERT_TRUE(geometry) << c.what;
    const auto camera = *s->zoomRuntime()->sample(1);
    const auto out = compose(*s, 1);
    auto project = [&](const gfx::Rect& r) {
      return gfx::Point{kW / 2 + c.zoom * (r.midX() - camera.centerX), kH / 2 + c.zoom * (r.midY() - camera.centerY)};
    };
    const auto& R = geometry->rect;
    const gfx::Rect pictureRect = overlayCanvasRect(R, picture.x, picture.y, picture.width, picture.height);
    const gfx::Rect boxRect = overlayCanvasRect(R, box.x, box.y, box.width, box.height);
    const auto red = blob(out, redness), blue = blob(out, blueness);
    EXPECT_NEAR(red.x, project(pictureRect).x, 0.6) << c.what;
    EXPECT_NEAR(red.y, project(pictureRect).y, 0.6) << c.what;
    EXPECT_NEAR(red.area, c.zoom * c.zoom * pictureRect.width * pictureRect.height, 0.03 * red.area) << c.what;
    EXPECT_NEAR(blue.x, project(boxRect).x, 0.6) << c.what;
    EXPECT_NEAR(blue.y, project(boxRect).y, 0.6) << c.what;
    EXPECT_NEAR(blue.area, c.zoom * c.zoom * boxRect.width * boxRect.height, 0.03 * blue.area) << c.what;
  }
}

TEST_F(OverlayFrames, BlankTextDrawsThePlaceholderAndBoxesAreDrawnOnce) {
  auto frameFor = [&](std::optional<std::string> text, std::uint64_t* renders = nullptr) {
    auto m = manifest();
    NativeTextOverlay box;
    box.id = "box";
    box.startTime = 1;
    box.endTime = 3;
    box.x = 0.1;
    box.y = 0.3;
    box.width = 0.8;
    box.height = 0.4;
    box.text = text;
    box.fontSize = 120;
    box.animationStyle = "fade";
    m.overlayPlan.textOverlays = {box};
    auto s = state(m);
    auto out = compose(*s, 2);
    if (renders) {
      // Fading frames reuse the drawn box.
      for (double t : {1.05, 1.1, 2.5, 2.95}) compose(*s, t);
      *renders = s->layerStates().overlays->textRenders;
    }
    return out;
  };
  std::uint64_t renders = 0;
  const auto placeholder = frameFor(std::string("Type your text..."), &renders);
  EXPECT_EQ(renders, 1u);
  const auto white = blob(placeholder, [](Pixel p) { return p.r > 200 && p.g > 200 && p.b > 200 ? 1.0 : 0.0; });
  EXPECT_GT(white.area, 500);  // letters are there
  for (auto text : {std::optional<std::string>(), std::optional<std::string>(""), std::optional<std::string>("  \t ")}) {
    const auto blank = frameFor(text);
    EXPECT_TRUE(sameBytes(blank, placeholder));
  }
  const auto other = frameFor(std::string("Other words"));
  EXPECT_FALSE(sameBytes(other, placeholder));
}

TEST_F(OverlayFrames, FadingTextAndPictureOpacityAtGivenTimes) {
  auto m = manifest();
  auto picture = pictureOverlay(1, 5, "fade");  // half-way at 1.2 s: opacity 0.875, 1.5 px lower
  m.overlayPlan.imageOverlays = {picture};
  auto s = state(m);
  const auto geometry = *s->resolveVideoFrameGeometry(1.2, {320, 180});
  const gfx::Rect r = overlayCanvasRect(geometry.rect, picture.x, picture.y, picture.width, picture.height);
  const auto out = compose(*s, 1.2);
  const Pixel mid = at(out, static_cast<int>(r.midX()), static_cast<int>(r.midY()));
  EXPECT_NEAR(mid.r, 0.875 * 255, 1.5);
  EXPECT_NEAR(mid.g, 0.125 * 255, 1.5);  // the green video through it
  const auto red = blob(out, redness);
  EXPECT_NEAR(red.y, r.midY() - 1.5, 0.3);
  EXPECT_NEAR(red.x, r.midX(), 0.3);
  // Before it starts and after it ends: nothing.
  for (double t : {0.9, 5.01}) EXPECT_EQ(blob(compose(*s, t), redness).area, 0) << t;
}

TEST_F(OverlayFrames, BlurCellsAre14PixelsAtLayoutScaleOne) {
  for (const double pixelSize : {0.0, 14.0, 30.0}) {
    auto m = manifest(true);
    NativeBlurOverlay blur;
    blur.id = "blur";
    blur.startTime = 0;
    blur.endTime = 10;
    blur.x = 0.25;
    blur.y = 0.25;
    blur.width = 0.5;
    blur.height = 0.5;
    if (pixelSize > 0) blur.pixelSize = pixelSize;
    m.overlayPlan.blurOverlays = {blur};
    auto s = state(m);
    ASSERT_DOUBLE_EQ(s->layoutScale(), 1);
    const auto out = compose(*s, 1, true);
    const double cell = pixelSize > 0 ? pixelSize : 14;
    // Rectangle (160, 90, 320, 180), cells centred on (320, 180).
    const double x0 = 320 - cell / 2, y0 = 180 - cell / 2;
    int sameInside = 0, insideChecks = 0, differAtEdges = 0, edgeChecks = 0;
    for (int y = 92; y < 268; ++y) {
      for (int x = 162; x < 478; ++x) {
        const Pixel p = at(out, x, y), left = at(out, x - 1, y), below = at(out, x, y - 1);
        const bool same = p.r == left.r && p.g == left.g && p.b == left.b;
        const bool sameV = p.r == below.r && p.g == below.g && p.b == below.b;
        const bool edgeX = std::fmod(x - x0 + 1000 * cell, cell) == 0;
        const bool edgeY = std::fmod(y - y0 + 1000 * cell, cell) == 0;
        (edgeX ? edgeChecks : insideChecks)++;
        (edgeX ? differAtEdges : sameInside) += edgeX ? !same : same;
        (edgeY ? edgeChecks : insideChecks)++;
        (edgeY ? differAtEdges : sameInside) += edgeY ? !sameV : sameV;
      }
    }
    EXPECT_EQ(sameInside, insideChecks) << cell;
    EXPECT_GT(differAtEdges, edgeChecks * 0.95) << cell;
    // Outside the rectangle the noise is untouched.
    int changes = 0;
    for (int x = 10; x < 150; ++x) changes += at(out, x, 50).g != at(out, x - 1, 50).g;
    EXPECT_GT(changes, 100);
  }
}

TEST_F(OverlayFrames, BlurFollowsTheZoomAndKeepsRoundedCornersClear) {
  auto m = manifest(true);
  NativeBlurOverlay blur;
  blur.id = "blur";
  blur.startTime = 0;
  blur.endTime = 10;
  blur.x = 0.25;
  blur.y = 0.25;
  blur.width = 0.5;
  blur.height = 0.5;
  blur.cornerRadius = 40;
  m.overlayPlan.blurOverlays = {blur};
  NativeResolvedZoomFrame z;
  z.centerX = 320;
  z.centerY = 180;
  z.zoom = 2;
  m.videoPlan.resolvedZoomFrames = std::vector{z};
  auto s = state(m);
  const auto out = compose(*s, 1, true);
  // At zoom 2 the 14-pixel cells are 28 pixels wide on screen: runs of equal
  // pixels along a row through the centre.
  int longestRun = 0, run = 1;
  for (int x = 200; x < 440; ++x) {
    const Pixel p = at(out, x, 185), q = at(out, x - 1, 185);
    run = (p.r == q.r && p.g == q.g && p.b == q.b) ? run + 1 : 1;
    longestRun = std::max(longestRun, run);
  }
  EXPECT_GE(longestRun, 26);
  EXPECT_LE(longestRun, 30);
  // The box fills the screen at this zoom; its rounded corners (radius 80 on
  // screen) leave the zoomed noise as it was, while its middle is pixellated.
  m.overlayPlan.blurOverlays.clear();
  auto unblurred = state(m);
  const auto plain = compose(*unblurred, 1, true);
  for (const auto& [x, y] : {std::pair{2, 2}, std::pair{637, 2}, std::pair{2, 357}, std::pair{637, 357}})
    EXPECT_TRUE(samePixel(at(out, x, y), at(plain, x, y))) << x << "," << y;
  EXPECT_FALSE(sameBytes(out, plain));
}

}  // namespace
}  // namespace vantrel::exporter
