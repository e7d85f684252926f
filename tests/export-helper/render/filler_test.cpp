// Filler cards: transition lengths and the card's fade and slide, which still
// sits behind the card and its fallbacks, gradient colours, line breaking,
// layer placement and animation states, and whole frames: the default text
// centred and inside the card, the stills decoded from a real recording, and
// the card at rest drawn once. Frames are written to PNG when
// VANTREL_KEEP_FRAMES names a directory at build time, for looking at them.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>

#include "composition/timeline.h"
#include "render/filler_runtime.h"
#include "render/overlay_animation.h"
#include "render/render_state.h"
#include "vantrel/graphics/image_file.h"
#include "vantrel/graphics/renderer.h"
#include "vantrel/testing/process.h"

namespace vantrel::exporter {
namespace {

namespace gfx = vantrel::graphics;

NativeFillerBlock block(double start, double duration, const char* style = "fade") {
  NativeFillerBlock b;
  b.id = "card";
  b.startOutputTime = start;
  b.duration = duration;
  b.endOutputTime = start + duration;
  b.animationStyle = std::string(style);
  return b;
}

NativeVideoSegmentPlan segment(const char* id, double sourceStart, double sourceEnd, double outputStart,
                               double speed = 1) {
  NativeVideoSegmentPlan s;
  s.segmentId = id;
  s.sourceStartTime = sourceStart;
  s.sourceEndTime = sourceEnd;
  s.outputStartTime = outputStart;
  s.outputEndTime = outputStart + (sourceEnd - sourceStart) / speed;
  s.speed = speed;
  return s;
}

TEST(FillerTransition, LengthIsHalfTheBlockAtMostAndNeverBelowSixHundredths) {
  const struct {
    double duration;
    std::optional<double> configured;
    double expected;
  } cases[] = {
      {4, std::nullopt, 1},  {4, 3.0, 2},      {0.1, std::nullopt, 0.06}, {0.1, 3.0, 0.06}, {1, std::nullopt, 0.5},
      {4, 0.01, 0.06},       {20, 8.0, 5},     {0, 1.0, 0.06},            {-3, 1.0, 0.06},  {NAN, 1.0, 0.06},
      {4, NAN, 1},           {4, INFINITY, 1},
  };
  for (const auto& c : cases) {
    EXPECT_DOUBLE_EQ(fillerTransitionDurationSeconds(c.duration, c.configured), c.expected)
        << c.duration << " " << c.configured.value_or(-1);
  }
}

TEST(FillerTransition, SlideEntersFromTheLeftAndLeavesToTheRight) {
  const double W = 1920;
  const NativeFillerBlock slide = block(10, 4, "slide");  // T = 1 s
  struct Case {
    double offset;
    double opacity;
    double translateX;
  };
  for (const Case& c : {Case{0, 1, -W}, Case{2, 1, 0}, Case{1, 1, 0}, Case{3, 1, 0}, Case{4, 1, W}, Case{-1, 1, -W},
                        Case{9, 1, W}}) {
    const auto v = fillerVisualState(slide, c.offset, W);
    EXPECT_DOUBLE_EQ(v.opacity, c.opacity) << c.offset;
    EXPECT_NEAR(v.translateX, c.translateX, 1e-9) << c.offset;
  }
  // Half-way in, the eased card is still on its way, and it moves only one way.
  const double in = fillerVisualState(slide, 0.5, W).translateX, out = fillerVisualState(slide, 3.5, W).translateX;
  EXPECT_LT(in, 0);
  EXPECT_GT(in, -W);
  EXPECT_GT(out, 0);
  EXPECT_LT(out, W);
  EXPECT_NEAR(in, -W * (1 - evaluateCubicBezierTiming(0.5, 0.68, 0, 0, 0.99)), 1e-9);
  double last = -W;
  for (double o = 0; o <= 1.0; o += 0.05) {
    const double x = fillerVisualState(slide, o, W).translateX;
    EXPECT_GE(x, last - 1e-9) << o;
    last = x;
  }
}

TEST(FillerTransition, FadeAndItsSwitches) {
  NativeFillerBlock fade = block(0, 4);
  fade.animationStyle.reset();  // absent is a fade
  EXPECT_DOUBLE_EQ(fillerVisualState(fade, 0, 100).opacity, 0);
  EXPECT_DOUBLE_EQ(fillerVisualState(fade, 2, 100).opacity, 1);
  EXPECT_DOUBLE_EQ(fillerVisualState(fade, 4, 100).opacity, 0);
  EXPECT_DOUBLE_EQ(fillerVisualState(fade, 2, 100).translateX, 0);

  fade.disableEnterAnimation = true;  // opaque from the first frame, still fades out
  EXPECT_DOUBLE_EQ(fillerVisualState(fade, 0, 100).opacity, 1);
  EXPECT_DOUBLE_EQ(fillerVisualState(fade, 4, 100).opacity, 0);
  EXPECT_LT(fillerVisualState(fade, 3.5, 100).opacity, 1);
  fade.disableExitAnimation = true;
  EXPECT_DOUBLE_EQ(fillerVisualState(fade, 4, 100).opacity, 1);

  const NativeFillerBlock none = block(0, 4, "none");
  EXPECT_DOUBLE_EQ(fillerVisualState(none, 0, 100).opacity, 1);
  EXPECT_DOUBLE_EQ(fillerVisualState(none, 0, 100).translateX, 0);
}

TEST(FillerBoundary, StillsComeFromTheNeighbouringSegments) {
  const std::vector<NativeVideoSegmentPlan> segments = {segment("a", 0, 3, 0), segment("b", 5, 9, 5, 2)};
  struct Case {
    const char* what;
    std::int64_t sequenceIndex;
    bool exit;
    std::int64_t fps;
    std::optional<FillerBoundaryFrame> expected;
  };
  const Case cases[] = {
      {"exit: first frame after", 1, true, 30, FillerBoundaryFrame{1, 5, 5}},
      {"start: last frame before", 1, false, 30, FillerBoundaryFrame{0, 3 - 1.0 / 30, 3 - 1.0 / 30}},
      {"start at speed 2", 2, false, 10, FillerBoundaryFrame{1, 9 - 0.1 * 2, 7 - 0.1}},
      {"head card: first segment", 0, false, 30, FillerBoundaryFrame{0, 0, 0}},
      {"head card exit", 0, true, 30, FillerBoundaryFrame{0, 0, 0}},
      {"rate below 1 counts as 1 s", 1, false, 0, FillerBoundaryFrame{0, 2, 2}},
      {"after the last segment: no exit", 2, true, 30, std::nullopt},
      {"negative index", -1, false, 30, std::nullopt},
      {"start past the list", 3, false, 30, std::nullopt},
  };
  for (const auto& c : cases) {
    NativeFillerBlock b = block(0, 1);
    b.sequenceIndex = c.sequenceIndex;
    const auto got = fillerBoundaryFrame(b, segments, c.fps, c.exit);
    ASSERT_EQ(got.has_value(), c.expected.has_value()) << c.what;
    if (!got) continue;
    EXPECT_EQ(got->segmentIndex, c.expected->segmentIndex) << c.what;
    EXPECT_NEAR(got->sourceTime, c.expected->sourceTime, 1e-9) << c.what;
    EXPECT_NEAR(got->outputTime, c.expected->outputTime, 1e-9) << c.what;
  }
  NativeFillerBlock head = block(0, 1);
  EXPECT_FALSE(fillerBoundaryFrame(head, {}, 30, false));
  // A very short first segment: the still stays inside it.
  EXPECT_NEAR(fillerBoundaryFrame(block(0, 1), {segment("s", 4, 4.01, 0)}, 30, false)->sourceTime, 4, 1e-9);
  head.sequenceIndex = 1;
  EXPECT_NEAR(fillerBoundaryFrame(head, {segment("s", 4, 4.01, 0)}, 30, false)->sourceTime, 4, 1e-9);
}

TEST(FillerBoundary, BackdropTurnsToTheNextSegmentForTheLastTransitionAndAFrame) {
  const NativeFillerBlock b = block(10, 4);  // T = 1 s, ends at 14
  const struct {
    double t;
    bool exit;
  } cases[] = {{10, false}, {12.9, false}, {12.96, false}, {12.97, true}, {13.5, true}, {14, true}};
  for (const auto& c : cases) EXPECT_EQ(fillerUsesExitBoundary(b, c.t, 30), c.exit) << c.t;
}

TEST(FillerBackground, GradientUsesTheFirstAndLastStopsOnly) {
  auto stops = [](std::vector<const char*> colors) {
    std::vector<NativeGradientStop> out;
    for (const char* c : colors) out.push_back({c, 0});
    return out;
  };
  const RgbaColor red{1, 0, 0, 1}, green{0, 1, 0, 1}, blue{0, 0, 1, 1}, grey{0.086, 0.086, 0.086, 1};
  struct Case {
    const char* what;
    std::optional<std::string> color, secondary;
    std::optional<std::vector<NativeGradientStop>> stops;
    std::vector<RgbaColor> expected;
  };
  const Case cases[] = {
      {"three stops", "#FF0000", std::nullopt, stops({"#FF0000", "#00FF00", "#0000FF"}), {red, green, blue}},
      {"bad stop takes the base colour", "#00FF00", std::nullopt, stops({"nope", "#0000FF"}), {green, blue}},
      {"bad stop without base is grey", std::nullopt, std::nullopt, stops({"#0000FF", "x"}), {blue, grey}},
      {"one stop falls to the secondary pair", "#FF0000", "#0000FF", stops({"#00FF00"}), {red, blue}},
      {"secondary only", std::nullopt, "#0000FF", std::nullopt, {grey, blue}},
      {"bad secondary repeats the base", "#FF0000", "zz", std::nullopt, {red, red}},
      {"solid", "#FF0000", std::nullopt, std::nullopt, {}},
  };
  for (const auto& c : cases) {
    NativeFillerBlock b = block(0, 1);
    b.backgroundColor = c.color;
    b.backgroundSecondaryColor = c.secondary;
    b.backgroundGradientStops = c.stops;
    EXPECT_EQ(normalizedFillerGradientStops(b), c.expected) << c.what;
  }
}

// ---- Text and layers ----

gfx::Font interAt(double size) {
  auto font = bundledFont("Inter", size, 400);
  EXPECT_TRUE(font);
  return *font;
}

TEST(FillerText, LinesBreakBetweenWordsOnly) {
  const gfx::Font font = interAt(40);
  const double word = gfx::measureTextWidth(font, "card");
  const double two = gfx::measureTextWidth(font, "card card");
  struct Case {
    const char* what;
    std::string text;
    double width;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"fits", "card card", two + 1, {"card card"}},
      {"breaks", "card card card", two + 1, {"card card", "card"}},
      {"collapses spaces, trims", "  card \t  card  ", two + 1, {"card card"}},
      {"long word stands alone", "a extraordinarily b", word, {"a", "extraordinarily", "b"}},
      {"paragraphs and empty ones", "card\n\ncard\r\ncard", two + 1, {"card", "", "card", "card"}},
      {"unicode line separator", "card\u2028card", two + 1, {"card", "card"}},
      {"blank", "   ", 100, {""}},
  };
  for (const auto& c : cases) EXPECT_EQ(wrapFillerTextLines(c.text, c.width, font), c.lines) << c.what;
}

TEST(FillerText, AnimationStatesAtTheirTimes) {
  using S = NativeTextAnimationSettings;
  struct Case {
    const char* what;
    std::optional<std::string> animation;
    std::optional<S> settings;
    double elapsed, remaining;
    std::optional<double> legacy;
    FillerAnimationState expected;
  };
  const double half = 1 - 0.125;  // eased value at half the duration
  const Case cases[] = {
      {"slide-in starts 36 low", "slide-in", std::nullopt, 0, 10, std::nullopt, {0, 0, 36, 1, 0}},
      {"fade-in starts 24 low", "fade-in", std::nullopt, 0, 10, std::nullopt, {0, 0, 24, 1, 0}},
      {"fade half-way", "fade", std::nullopt, 0.2, 10, std::nullopt, {half, 0, 24 * (1 - half), 1, 0}},
      {"blur", "blur", std::nullopt, 0, 10, std::nullopt, {0, 0, 24, 1, 12}},
      {"stagger blurs the whole block", "stagger", std::nullopt, 0.2, 10, std::nullopt,
       {half, 0, 18 * (1 - half), 1, 8 * (1 - half)}},
      {"scale", "scale", std::nullopt, 0, 10, std::nullopt, {0, 0, 12, 0.92, 0}},
      {"unknown is none", "wobble", std::nullopt, 0, 0, std::nullopt, {1, 0, 0, 1, 0}},
      {"absent is none", std::nullopt, std::nullopt, 0, 0, std::nullopt, {1, 0, 0, 1, 0}},
      {"settled", "fade", std::nullopt, 3, 10, std::nullopt, {1, 0, 0, 1, 0}},
      {"delay hides", "fade", S{1.0, {}, {}, {}, {}, {}, {}, {}, {}}, 0.5, 10, std::nullopt, {0, 0, 24, 1, 0}},
      {"legacy duration", "fade", std::nullopt, 1, 10, 2.0, {half, 0, 24 * (1 - half), 1, 0}},
      {"settings beat legacy", "fade", S{{}, 0.4, {}, {}, {}, {}, {}, {}, {}}, 0.2, 10, 2.0,
       {half, 0, 24 * (1 - half), 1, 0}},
      {"clamped settings", "scale", S{{}, {}, {}, 500.0, {}, {}, 0.1, {}, {}}, 0, 10, std::nullopt,
       {0, 0, 200, 0.4, 0}},
      {"exit mirrors the entrance", "fade", std::nullopt, 3, 0.2, std::nullopt, {half, 0, 24 * (1 - half), 1, 0}},
      {"exit ignores the delay", "fade", S{2.0, {}, {}, {}, {}, {}, {}, {}, {}}, 5, 0, std::nullopt,
       {0, 0, 24, 1, 0}},
  };
  for (const auto& c : cases) {
    const auto s = resolveFillerTextAnimationRenderState(c.animation, c.settings, c.elapsed, c.remaining, c.legacy);
    EXPECT_NEAR(s.opacity, c.expected.opacity, 1e-9) << c.what;
    EXPECT_NEAR(s.offsetX, c.expected.offsetX, 1e-9) << c.what;
    EXPECT_NEAR(s.offsetY, c.expected.offsetY, 1e-9) << c.what;
    EXPECT_NEAR(s.scale, c.expected.scale, 1e-9) << c.what;
    EXPECT_NEAR(s.blur, c.expected.blur, 1e-9) << c.what;
  }
  // Shake: sideways with a fifth of it downwards, still at its ends.
  const auto shake = resolveFillerTextAnimationRenderState("shake", std::nullopt, 0.0625, 10, std::nullopt);
  const double k = 0.125, e = 1 - std::pow(1 - k, 3);
  EXPECT_NEAR(shake.offsetX, (1 - e) * 10 * std::sin(2 * M_PI * 4 * k), 1e-9);
  EXPECT_NEAR(shake.offsetY, 0.2 * shake.offsetX, 1e-12);
  EXPECT_DOUBLE_EQ(fillerTextAnimationActiveDurationSeconds("shake", std::nullopt, std::nullopt), 0.5);
  EXPECT_DOUBLE_EQ(fillerTextAnimationActiveDurationSeconds("fade", S{3.0, 9.0, {}, {}, {}, {}, {}, {}, {}}, 1.0), 5);
}

TEST(FillerLayers, PlacementFollowsAlignmentPositionsAndClamps) {
  const Size canvas{1920, 1080};
  const double p = 24;
  NativeFillerTextLayer text;
  text.text = "Hello";
  auto layout = [&](const NativeFillerTextLayer& l) { return *layoutFillerTextLayer(l, canvas, p, 1); };

  const auto centred = layout(text);
  EXPECT_DOUBLE_EQ(centred.centerX, 960);
  EXPECT_DOUBLE_EQ(centred.centerY, 540);
  EXPECT_DOUBLE_EQ(centred.fontSize, 48);
  EXPECT_DOUBLE_EQ(centred.lineHeight, std::round(1.2 * 48));
  EXPECT_NEAR(centred.blockWidth, centred.lineWidths[0] + 8, 1e-9);

  NativeFillerTextLayer positioned = text;
  positioned.positionX = 0.25;
  positioned.verticalAlignment = "bottom";
  const auto onlyX = layout(positioned);
  EXPECT_DOUBLE_EQ(onlyX.centerX, 480);  // x from the position, y from the alignment
  EXPECT_DOUBLE_EQ(onlyX.centerY, 1080 - p - onlyX.blockHeight / 2);

  positioned.positionX = 0.0;  // clamped inside the padding
  positioned.positionY = 1.0;
  const auto clamped = layout(positioned);
  EXPECT_DOUBLE_EQ(clamped.centerX, p + clamped.blockWidth / 2);
  EXPECT_DOUBLE_EQ(clamped.centerY, 1080 - p - clamped.blockHeight / 2);

  NativeFillerTextLayer sized = text;
  sized.width = 5000;  // wrap width capped by the card, block as wide as asked
  sized.fontSize = 500;
  sized.fontWeight = 50;
  const auto big = layout(sized);
  EXPECT_DOUBLE_EQ(big.blockWidth, 1920 - 2 * p);
  EXPECT_DOUBLE_EQ(big.fontSize, 240);

  NativeFillerImageLayer image;
  image.width = 400;
  image.height = 200;
  image.positionX = 0.1;  // ignored without positionY
  image.horizontalAlignment = "right";
  image.verticalAlignment = "top";
  const gfx::Rect byAlignment = placeFillerImageLayer(image, canvas, p, 1);
  EXPECT_DOUBLE_EQ(byAlignment.minX(), 1920 - p - 400);
  EXPECT_DOUBLE_EQ(byAlignment.maxY(), 1080 - p);
  image.positionY = 0.5;
  const gfx::Rect byPosition = placeFillerImageLayer(image, canvas, p, 1);
  EXPECT_DOUBLE_EQ(byPosition.minX(), p);  // 0.1 × 1920 = 192 < p + 200: clamped
  EXPECT_DOUBLE_EQ(byPosition.midY(), 540);
  image.width = 0;  // at least a pixel
  EXPECT_DOUBLE_EQ(placeFillerImageLayer(image, canvas, p, 0.5).width, 1);

  NativeFillerBlock b = block(0, 1);
  EXPECT_DOUBLE_EQ(fillerSafePadding(b, canvas, 0.5), 12);
  b.padding = 5000;
  EXPECT_DOUBLE_EQ(fillerSafePadding(b, canvas, 1), 540);
  b.padding = -4;
  EXPECT_DOUBLE_EQ(fillerSafePadding(b, canvas, 1), 0);
}

// ---- Frames ----

struct Frame {
  gfx::BufferRef pixels;
  int width() const { return pixels->width(); }
  int height() const { return pixels->height(); }
  // Top-down pixel as B, G, R, A.
  const std::uint8_t* at(int x, int yDown) const { return pixels->row(yDown) + 4 * x; }
};

void keep([[maybe_unused]] const Frame& frame, [[maybe_unused]] const std::string& name) {
#ifdef VANTREL_KEEP_FRAMES
  gfx::writePng(*frame.pixels, std::string(VANTREL_KEEP_FRAMES) + "/filler_" + name + ".png");
#endif
}

// A picture with a coloured quadrant at its top-left, so crops and placement show.
gfx::Image picture(int w, int h) {
  auto b = gfx::makeBuffer(w, h, gfx::PixelFormat::bgra8);
  for (int y = 0; y < h; ++y) {
    auto* row = b->pixelRow(y);
    for (int x = 0; x < w; ++x) {
      const bool quadrant = x < w / 2 && y < h / 2;
      const auto g = static_cast<std::uint32_t>(60 + 150 * y / h);
      row[x] = quadrant ? 0xFFF0A020u : 0xFF000000u | (g << 8) | static_cast<std::uint32_t>(200 * x / w);
    }
  }
  return gfx::Image::fromBuffer(b);
}

struct Scene {
  NativeExportManifestV1 manifest;
  std::map<std::string, gfx::Image> images;
  std::shared_ptr<CameraFrameDecoder> decoder = std::make_shared<CameraFrameDecoder>();
  Size canvas{640, 360};
  Size source{640, 360};

  Scene() {
    auto& video = manifest.scene.settings.video;
    video.aspectRatio = "16:9";
    video.videoScale = 100;
    manifest.scene.settings.background.type = "solid";
    manifest.scene.settings.background.color = "#204060";
    manifest.qualityPlan.frameRate = 10;
    manifest.qualityPlan.compression = "high";
  }

  std::unique_ptr<NativeRenderState> state() const {
    NativeRenderStateInputs in;
    in.manifest = manifest;
    in.renderSize = canvas;
    in.baseTrackId = 1;
    in.baseTrackMetadata = VideoTrackMetadata::make(source, AffineTransform{});
    in.sourceTrackMetadataByIndex = {in.baseTrackMetadata};
    in.canvasReferenceDisplaySize = source;
    in.imageSourcesByPath = images;
    in.cameraDecoder = decoder;
    in.performancePlan = ExportPerformancePlan::build(canvas, 1);
    return std::make_unique<NativeRenderState>(std::move(in));
  }
};

Frame render(NativeRenderState& state, double t, const gfx::Image* source = nullptr) {
  auto image = state.composeFrame(t, source);
  EXPECT_TRUE(image);
  return {state.renderer().makeBitmap(image ? *image : gfx::Image(), state.canvasRect())};
}

// Bounds (top-down, inclusive) of pixels far from `background`.
struct Ink {
  int minX = 1 << 30, minY = 1 << 30, maxX = -1, maxY = -1;
  bool any() const { return maxX >= 0; }
};
Ink inkOf(const Frame& f, std::uint32_t background) {
  Ink ink;
  for (int y = 0; y < f.height(); ++y) {
    for (int x = 0; x < f.width(); ++x) {
      const std::uint8_t* p = f.at(x, y);
      int d = 0;
      for (int c = 0; c < 3; ++c) d = std::max(d, std::abs(p[c] - static_cast<int>((background >> (8 * c)) & 0xFF)));
      if (d < 40) continue;
      ink.minX = std::min(ink.minX, x), ink.maxX = std::max(ink.maxX, x);
      ink.minY = std::min(ink.minY, y), ink.maxY = std::max(ink.maxY, y);
    }
  }
  return ink;
}

TEST(FillerFrames, DefaultTextIsCentredPlaceholderAndEmptyLayersShowOnlyTheCard) {
  Scene scene;
  NativeFillerBlock card = block(0, 4);
  card.backgroundColor = "#102030";
  card.text = "  \n ";
  scene.manifest.overlayPlan.fillerBlocks = {card};
  auto state = scene.state();
  const Frame f = render(*state, 2);
  keep(f, "placeholder");
  const Ink ink = inkOf(f, 0x302010);
  ASSERT_TRUE(ink.any());
  const double s = state->layoutScale();  // 360 / 1080
  const double width = gfx::measureTextWidth(interAt(48 * s), "Type your text...");
  EXPECT_NEAR(ink.maxX - ink.minX + 1, width, 4);
  EXPECT_NEAR((ink.minX + ink.maxX) / 2.0, 320, 2);
  EXPECT_NEAR((ink.minY + ink.maxY) / 2.0, 180, 0.2 * 48 * s);
  EXPECT_EQ(f.at(5, 5)[0], 0x30);

  // A single line at the top stays inside the card's padding.
  card.text = "Top";
  card.textVerticalAlignment = "top";
  scene.manifest.overlayPlan.fillerBlocks = {card};
  const Ink top = inkOf(render(*scene.state(), 2), 0x302010);
  EXPECT_GE(top.minY, static_cast<int>(24 * s) - 1);
  EXPECT_LT(top.maxY, 24 * s + std::round(1.2 * 48 * s) + 1);

  card.layers = std::vector<NativeFillerLayer>{};
  scene.manifest.overlayPlan.fillerBlocks = {card};
  EXPECT_FALSE(inkOf(render(*scene.state(), 2), 0x302010).any());
}

TEST(FillerFrames, GradientCardRunsFromTheFirstToTheLastStop) {
  Scene scene;
  NativeFillerBlock card = block(0, 4);
  card.layers = std::vector<NativeFillerLayer>{};
  card.backgroundGradientStops = std::vector<NativeGradientStop>{{"#FF0000", 0}, {"#00FF00", 0.5}, {"#0000FF", 1}};
  scene.manifest.overlayPlan.fillerBlocks = {card};
  auto state = scene.state();
  const Frame f = render(*state, 2);
  keep(f, "gradient");
  // 135°: the first stop at the bottom right, the last at the top left, no green between.
  const std::uint8_t* bottomRight = f.at(639, 359);
  const std::uint8_t* topLeft = f.at(0, 0);
  const std::uint8_t* middle = f.at(320, 180);
  EXPECT_GT(bottomRight[2], 200);
  EXPECT_LT(bottomRight[0], 60);
  EXPECT_GT(topLeft[0], 200);
  EXPECT_LT(topLeft[2], 60);
  EXPECT_LT(middle[1], 10);
  EXPECT_NEAR(middle[0], middle[2], 6);
}

TEST(FillerFrames, UploadedPictureIsContainedOverItsBlurredCover) {
  Scene scene;
  scene.images["/pictures/wide.png"] = picture(400, 400);
  NativeFillerBlock card = block(0, 4);
  card.layers = std::vector<NativeFillerLayer>{};
  card.backgroundMode = "upload";
  card.backgroundUploadUrl = "/pictures/wide.png";
  scene.manifest.overlayPlan.fillerBlocks = {card};
  const Frame f = render(*scene.state(), 2);
  keep(f, "upload");
  // The square picture is contained (360 × 360 in the middle): its orange quadrant top-left of centre.
  const std::uint8_t* quadrant = f.at(200, 60);
  EXPECT_GT(quadrant[2], 200);
  EXPECT_GT(quadrant[1], 120);
  // The sides are the blurred cover darkened a little: no hard orange edge, not empty.
  const std::uint8_t* side = f.at(20, 40);
  EXPECT_EQ(side[3], 255);
  EXPECT_LT(side[2], 0.86 * 240 + 2);
}

std::string countingVideo(const testing::TempDir& dir) {
  // 4 s at 10 fps whose frame n is a flat grey of level 5n + 20.
  const std::string path = dir.file("recording.mp4");
  auto r = testing::runProcess({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                                "color=c=black:s=64x48:r=10:d=4", "-vf", "geq=lum='5*N+20':cb=128:cr=128", "-c:v",
                                "libx264", "-qp", "0", "-g", "10", "-pix_fmt", "yuv420p", path});
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  return path;
}

int frameNumberAtCentre(const Frame& f) {
  const double level = f.at(f.width() / 2, f.height() / 2)[1] * 219.0 / 255.0 + 16;
  return static_cast<int>(std::lround((level - 20) / 5));
}

TEST(FillerFrames, BackdropIsTheStillBeforeThenAfterWithFallbacks) {
  testing::TempDir dir;
  const std::string path = countingVideo(dir);
  auto asset = media::Asset::open(path);
  const auto track = asset->tracks(media::MediaType::video).front();

  Scene scene;
  scene.canvas = {128, 96};
  scene.source = {64, 48};
  scene.manifest.scene.settings.video.aspectRatio = "fit";
  scene.manifest.videoPlan.sourceVideoPath = path;
  scene.manifest.videoPlan.sourceVideoPaths = {path};
  scene.decoder->addState(path, asset, track->trackId, 0);

  NativeFillerBlock card = block(1, 1);  // fade; T = 0.5 s
  card.layers = std::vector<NativeFillerLayer>{};
  card.sequenceIndex = 1;
  struct Case {
    const char* what;
    std::vector<NativeVideoSegmentPlan> segments;
    std::int64_t sequenceIndex;
    double t;
    int frame;  // -1: the project background
    std::size_t scenesTried;
  };
  const std::vector<NativeVideoSegmentPlan> two = {segment("a", 0, 1, 0), segment("b", 2, 3, 2)};
  const Case cases[] = {
      {"start: last frame before", two, 1, 1.0, 9, 1},
      {"exit: first frame after", two, 1, 1.999, 20, 1},
      {"head card: first frame", two, 0, 1.0, 0, 1},
      {"after the last segment: the still before", two, 2, 1.999, 29, 2},
      {"no segments: the background", {}, 1, 1.0, -1, 2},
  };
  for (const auto& c : cases) {
    scene.manifest.videoPlan.segments = c.segments;
    card.sequenceIndex = c.sequenceIndex;
    scene.manifest.overlayPlan.fillerBlocks = {card};
    auto state = scene.state();
    const Frame f = render(*state, c.t);
    if (c.frame < 0) {
      EXPECT_EQ(f.at(64, 48)[0], 0x60) << c.what;
      EXPECT_EQ(f.at(64, 48)[2], 0x20) << c.what;
    } else {
      EXPECT_EQ(frameNumberAtCentre(f), c.frame) << c.what;
    }
    // Each side is composed once, an absent one included.
    EXPECT_EQ(state->layerStates().filler->fillerBoundarySceneCache.size(), c.scenesTried) << c.what;
    render(*state, c.t + 0.0005);
    EXPECT_EQ(state->layerStates().filler->fillerBoundarySceneCache.size(), c.scenesTried) << c.what;
  }
}

TEST(FillerFrames, CardAtRestIsDrawnOnceAndAnimatedLayersMatchTheirState) {
  Scene scene;
  scene.images["/pictures/logo.png"] = picture(200, 100);
  NativeFillerBlock card = block(0, 4, "slide");
  card.backgroundColor = "#1A1F2E";
  NativeFillerTextLayer title;
  title.id = "title";
  title.text = "Chapter two";
  title.animation = "slide-in";
  title.fontSize = 96;
  title.fontWeight = 700;
  NativeFillerImageLayer logo;
  logo.id = "logo";
  logo.src = "/pictures/logo.png";
  logo.width = 400;
  logo.height = 200;
  logo.verticalAlignment = "top";
  logo.animation = "scale";
  card.layers = std::vector<NativeFillerLayer>{title, logo};
  scene.manifest.overlayPlan.fillerBlocks = {card};
  auto state = scene.state();

  const Frame rest = render(*state, 2);
  keep(rest, "rest");
  ASSERT_TRUE(state->layerStates().filler->card.cardAtRest);
  const Frame again = render(*state, 2.5);
  EXPECT_EQ(std::memcmp(rest.pixels->row(0), again.pixels->row(0), static_cast<std::size_t>(640 * 4)), 0);

  // The cached layer path draws what a layer drawn on its own draws.
  const double s = state->layoutScale(), p = fillerSafePadding(card, state->renderSize(), s);
  for (double o : {0.05, 0.2, 3.9}) {
    auto direct = renderFillerTextLayer(*state, title, p, s, o, 4 - o);
    auto animatedState = resolveFillerTextAnimationRenderState(title.animation, std::nullopt, o, 4 - o, std::nullopt);
    ASSERT_EQ(direct.has_value(), animatedState.isVisible()) << o;
  }
  // Hidden before its delay: nothing drawn.
  NativeFillerTextLayer late = title;
  late.animationSettings = NativeTextAnimationSettings{1.0, {}, {}, {}, {}, {}, {}, {}, {}};
  EXPECT_FALSE(renderFillerTextLayer(*state, late, p, s, 0.5, 3.5));
  NativeFillerImageLayer missing = logo;
  missing.src = "/pictures/none.png";
  EXPECT_FALSE(renderFillerImageLayer(*state, missing, p, s, 2, 2));

  // A later block that reuses the id shows its own card, not the one cached for the first.
  NativeFillerBlock second = block(10, 4, "none");
  second.id = card.id;
  second.backgroundColor = "#00FF00";
  second.layers = std::vector<NativeFillerLayer>{};
  scene.manifest.overlayPlan.fillerBlocks = {card, second};
  auto both = scene.state();
  EXPECT_EQ(render(*both, 2).at(5, 5)[1], 0x1F);
  EXPECT_EQ(render(*both, 12).at(5, 5)[1], 0xFF);
  EXPECT_EQ(render(*both, 2).at(5, 5)[1], 0x1F);

  // Through the transition in and out, for looking at.
  int n = 0;
  for (double t : {0.0, 0.1, 0.2, 0.35, 0.5, 0.8, 1.2, 2.0, 3.2, 3.5, 3.7, 3.9}) {
    keep(render(*state, t), "sheet_" + std::string(n < 10 ? "0" : "") + std::to_string(n));
    ++n;
  }
}

}  // namespace
}  // namespace vantrel::exporter
