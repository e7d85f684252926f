// The cursor: its timeline (clicks, idle fade, hidden segments, loop, freeze,
// springs, discontinuities), the sway, the glyph store, and where the glyph
// lands in composed frames. Glyph bundles are written by the tests themselves,
// with a red dot at the hotspot so that rendered frames show where it landed.

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "job/job_errors.h"
#include "render/cursor_assets.h"
#include "render/cursor_runtime.h"
#include "render/render_state.h"
#include "vantrel/common/strict_json.h"
#include "vantrel/graphics/image_file.h"
#include "vantrel/testing/process.h"

namespace vantrel::exporter {
namespace {

namespace gfx = vantrel::graphics;

NativeCursorPosition at(double ms, double x, double y, bool pressed = false, const char* type = nullptr) {
  NativeCursorPosition p;
  p.timestamp = ms;
  p.x = x;
  p.y = y;
  if (pressed) p.pressed = true;
  if (type) p.cursorType = std::string(type);
  return p;
}

NativeVideoSegmentPlan segment(const char* id, double start, double end) {
  NativeVideoSegmentPlan s;
  s.segmentId = id;
  s.sourceStartTime = start;
  s.sourceEndTime = end;
  s.outputStartTime = start;
  s.outputEndTime = end;
  return s;
}

NativeVideoPlan cursorPlan(std::vector<NativeCursorPosition> positions) {
  NativeVideoPlan plan;
  plan.cursorSettings.enabled = true;
  plan.cursorSettings.mode = "smooth";
  plan.cursorSettings.style = "default";
  plan.cursorSettings.size = 1;
  plan.cursorSettings.springPreset = "smooth";
  NativeCursorData data;
  data.positions = std::move(positions);
  plan.cursorData = data;
  return plan;
}

TEST(CursorRuntime, EnablesOnlyWithSettingsModeAndSamples) {
  const struct {
    const char* what;
    bool enabled;
    const char* mode;
    bool samples;
    bool resolved;
    bool expected;
  } cases[] = {
      {"smooth with samples", true, "smooth", true, false, true},
      {"resolved frames alone", true, "smooth", false, true, true},
      {"mode disable", true, "disable", true, true, false},
      {"not enabled", false, "smooth", true, false, false},
      {"nothing to draw", true, "smooth", false, false, false},
  };
  for (const auto& c : cases) {
    auto plan = cursorPlan(c.samples ? std::vector{at(0, 0.5, 0.5)} : std::vector<NativeCursorPosition>{});
    plan.cursorSettings.enabled = c.enabled;
    plan.cursorSettings.mode = c.mode;
    if (c.resolved) plan.resolvedCursorFrames = std::vector<NativeResolvedCursorFrame>{{0, 0.5, 0.5, false, true, "default", 1, 1}};
    NativeCursorRuntime runtime(plan);
    EXPECT_EQ(runtime.enabled(), c.expected) << c.what;
    EXPECT_EQ(runtime.sample(0).has_value(), c.expected) << c.what;
  }
}

TEST(CursorRuntime, ClickScaleShrinksOnPressAndOvershootsOnRelease) {
  auto plan = cursorPlan({at(0, 0.5, 0.5), at(1000, 0.5, 0.5, true), at(2000, 0.5, 0.5), at(3000, 0.5, 0.5)});
  plan.cursorSettings.clickEffect = true;
  NativeCursorRuntime runtime(plan);
  const struct {
    double ms, scale;
  } cases[] = {{999, 1},      {1000, 1},       {1040, 1 - 0.08 * (1 - 0.125)}, {1080, 0.92}, {1500, 0.92},
               {2000, 0.92},  {2140, 1.02},    {2199.9, 1.0},                  {2200, 1},    {2500, 1}};
  for (const auto& c : cases) {
    EXPECT_NEAR(runtime.clickScale(c.ms), c.scale, 1e-4) << c.ms;
    EXPECT_NEAR(runtime.sample(c.ms / 1000)->scale, c.scale, 1e-4) << c.ms;
  }
  plan.cursorSettings.clickEffect = false;
  EXPECT_DOUBLE_EQ(NativeCursorRuntime(plan).sample(1.04)->scale, 1);
}

TEST(CursorRuntime, HiddenSegmentsFadeOutAndBackIn) {
  auto plan = cursorPlan({at(0, 0.5, 0.5), at(3000, 0.5, 0.5)});
  plan.segments = {segment("a", 0, 1), segment("b", 1, 2), segment("c", 2, 3)};
  plan.hiddenCursorSegmentIds = {"b"};
  NativeCursorRuntime runtime(plan);
  const struct {
    double t;
    bool visible;
    double opacity, scale;
  } cases[] = {
      {0.5, true, 1, 1},         {1.0, true, 1, 1},        {1.110, true, 0.875, 0.985},
      {1.220, false, 0, 0.88},   {1.9, false, 0, 0.88},    {2.110, true, 0.125, 0.88 + 0.12 * 0.125},
      {2.220, true, 1, 1},       {3.0, true, 1, 1},
  };
  for (const auto& c : cases) {
    const auto cur = runtime.sample(c.t);
    ASSERT_TRUE(cur) << c.t;
    EXPECT_EQ(cur->visible, c.visible) << c.t;
    EXPECT_NEAR(cur->opacity, c.opacity, 1e-9) << c.t;
    EXPECT_NEAR(cur->scale, c.scale, 1e-9) << c.t;
  }
}

TEST(CursorRuntime, IdleCursorFadesAfterItsLastActivity) {
  // Moves until 1 s, then rests; a type change at 3 s counts as activity.
  auto plan = cursorPlan({at(0, 0.1, 0.1), at(1000, 0.4, 0.4), at(2000, 0.4, 0.4), at(3000, 0.4, 0.4, false, "text"),
                          at(6000, 0.4, 0.4, false, "text")});
  plan.cursorSettings.hideWhenIdle = true;
  plan.cursorSettings.hideWhenIdleSeconds = 1;
  NativeCursorRuntime runtime(plan);
  const struct {
    double t;
    bool visible;
    double opacity;
  } cases[] = {{1.5, true, 1}, {2.0, true, 1}, {2.110, true, 0.125}, {2.220, false, 0}, {2.9, false, 0},
               {3.0, true, 1}, {4.0, true, 1}, {4.110, true, 0.125}, {5.0, false, 0}};
  for (const auto& c : cases) {
    const auto cur = runtime.sample(c.t);
    ASSERT_TRUE(cur);
    EXPECT_EQ(cur->visible, c.visible) << c.t;
    EXPECT_NEAR(cur->opacity, c.opacity, 1e-9) << c.t;
  }
  EXPECT_NEAR(runtime.sample(2.110)->scale, 1 - 0.12 * 0.875, 1e-9);
}

TEST(CursorRuntime, ResolvedFramesAreTakenAsTheyAre) {
  auto plan = cursorPlan({at(0, 0.1, 0.1), at(5000, 0.1, 0.1)});
  plan.cursorSettings.hideWhenIdle = true;
  plan.cursorSettings.hideWhenIdleSeconds = 0.1;
  plan.cursorSettings.freezeAtEnd = true;
  plan.cursorSettings.freezeSeconds = 1;
  plan.segments = {segment("a", 0, 5)};
  plan.hiddenCursorSegmentIds = {"a"};
  NativeResolvedCursorFrame a{1000, 0.2, 0.4, false, true, "default", 1, 1};
  NativeResolvedCursorFrame b{2000, 0.6, 0.8, true, false, "text", 0.5, 2};
  NativeResolvedCursorFrame gone{3000, 0.6, 0.8, false, true, "text", 0, 1};
  plan.resolvedCursorFrames = std::vector{a, b, gone};
  NativeCursorRuntime runtime(plan);
  auto mid = runtime.sample(1.5);
  ASSERT_TRUE(mid);
  EXPECT_NEAR(mid->x, 0.4, 1e-12);
  EXPECT_NEAR(mid->y, 0.6, 1e-12);
  EXPECT_NEAR(mid->opacity, 0.75, 1e-12);
  EXPECT_NEAR(mid->scale, 1.5, 1e-12);
  EXPECT_TRUE(mid->visible);  // either end visible
  EXPECT_EQ(mid->cursorType, "default");
  EXPECT_FALSE(mid->pressed);
  EXPECT_DOUBLE_EQ(runtime.sample(0)->x, 0.2);  // first frame held before it
  EXPECT_TRUE(runtime.sample(0.5)->visible);     // no idle fade, no hidden segment
  EXPECT_FALSE(runtime.sample(3.5)->visible);    // opacity 0
}

TEST(CursorRuntime, DiscontinuitiesSnapInsteadOfBlendingAndResetTheSpring) {
  auto plan = cursorPlan({at(0, 0.1, 0.1), at(1000, 0.1, 0.1), at(2000, 0.9, 0.9), at(4000, 0.9, 0.9)});
  plan.cursorData->discontinuityTimestamps = std::vector<double>{1500, 1500, -3, NAN};
  for (double smoothing : {0.0, 0.6}) {
    plan.cursorSettings.smoothing = smoothing;
    NativeCursorRuntime runtime(plan);
    EXPECT_DOUBLE_EQ(runtime.sample(1.499)->x, 0.1) << smoothing;
    EXPECT_DOUBLE_EQ(runtime.sample(1.5)->x, 0.9) << smoothing;
    EXPECT_DOUBLE_EQ(runtime.sample(1.9)->x, 0.9) << smoothing;
  }
  // The spring path jumps at the break with no glide across it.
  NativeCursorRuntime runtime(plan);
  for (const auto& f : runtime.bakedFrames()) {
    if (f.time >= 1500 && f.time < 1517) {
      EXPECT_DOUBLE_EQ(f.x, 0.9) << f.time;
    }
    if (f.time < 1483) {
      EXPECT_DOUBLE_EQ(f.x, 0.1) << f.time;
    }
  }
}

TEST(CursorRuntime, SpringFollowsThePathAndReachesForAPressAhead) {
  // Rests at 0.2 until 1000 ms, glides to 0.8 by 1100 ms; optionally a press at 1100 ms.
  auto path = [](bool press) {
    std::vector<NativeCursorPosition> p;
    for (int ms = 0; ms <= 3000; ms += 10) {
      const double x = ms <= 1000 ? 0.2 : ms >= 1100 ? 0.8 : 0.2 + 0.6 * (ms - 1000) / 100.0;
      p.push_back(at(ms, x, 0.5, press && ms >= 1100 && ms < 1200));
    }
    return p;
  };
  auto plan = cursorPlan(path(false));
  plan.cursorSettings.smoothing = 1;
  NativeCursorRuntime plain(plan);
  plan.cursorData->positions = path(true);
  NativeCursorRuntime pressing(plan);
  // Without a press the cursor waits for the motion; with one ahead it leaves early.
  EXPECT_NEAR(plain.sample(0.995)->x, 0.2, 1e-4);
  EXPECT_GT(pressing.sample(0.995)->x, 0.3);
  // Both settle on the end of the path.
  EXPECT_NEAR(plain.sample(2.9)->x, 0.8, 1e-3);
  EXPECT_NEAR(pressing.sample(2.9)->x, 0.8, 1e-3);
  // A spring lags behind a moving target: halfway through the glide it has not
  // caught up, also on a frame that falls exactly on a sample.
  EXPECT_LT(plain.sample(1.05)->x, 0.45);
  EXPECT_NEAR(plain.sample(1.05)->x, plain.sample(1.0501)->x, 1e-3);

  // Each preset is a different spring; an unknown name is "smooth".
  for (const char* name : {"slow", "mellow", "fast"}) {
    plan.cursorSettings.springPreset = name;
    plan.cursorData->positions = path(false);
    EXPECT_NE(NativeCursorRuntime(plan).sample(1.1)->x, plain.sample(1.1)->x) << name;
  }
  plan.cursorSettings.springPreset = "bouncy";
  EXPECT_DOUBLE_EQ(NativeCursorRuntime(plan).sample(1.1)->x, plain.sample(1.1)->x);
  const struct {
    const char* name;
    double k, c, m;
  } presets[] = {{"slow", 200, 40, 2.25}, {"smooth", 80, 28, 2.5}, {"mellow", 470, 70, 3}, {"fast", 380, 30, 1},
                 {"", 80, 28, 2.5}};
  for (const auto& p : presets) {
    const auto s = springPresetNamed(p.name);
    EXPECT_EQ(s.stiffness, p.k) << p.name;
    EXPECT_EQ(s.damping, p.c) << p.name;
    EXPECT_EQ(s.mass, p.m) << p.name;
  }
}

TEST(CursorRuntime, SpringStepMatchesTheClosedFormInEveryDampingRegime) {
  // Against a fine explicit integration of m x'' = -k (x - target) - c x'.
  for (const NativeSpringParams s : {NativeSpringParams{100, 4, 1}, NativeSpringParams{100, 20, 1},
                                     NativeSpringParams{100, 60, 1}}) {
    double x = 1, v = 0.5;
    advanceSpring(x, v, 0.25, s, 0.05);
    double rx = 1, rv = 0.5;
    for (int i = 0; i < 500000; ++i) {
      const double a = (-s.stiffness * (rx - 0.25) - s.damping * rv) / s.mass;
      rv += a * 1e-7;
      rx += rv * 1e-7;
    }
    EXPECT_NEAR(x, rx, 1e-4) << s.damping;
    EXPECT_NEAR(v, rv, 1e-3) << s.damping;
  }
}

TEST(CursorRuntime, LoopEasesBackToTheStartAndFreezeHoldsTheEnd) {
  auto plan = cursorPlan({at(0, 0.1, 0.1), at(3000, 0.9, 0.9)});
  plan.segments = {segment("a", 0, 3)};
  plan.cursorSettings.loopCursorPosition = true;
  plan.cursorSettings.loopSeconds = 1;
  NativeCursorRuntime loop(plan);
  // S = 2000 ms; the way back is long (d >= 1), so it takes 700 ms.
  const auto A = loop.snapshot(2000).cursor;
  EXPECT_NEAR(loop.sample(2.0)->x, A.x, 1e-12);
  EXPECT_NEAR(loop.sample(2.35)->x, A.x + (0.1 - A.x) * cursorLoopEasing(0.5), 1e-12);
  EXPECT_NEAR(loop.sample(2.7)->x, 0.1, 1e-12);
  EXPECT_NEAR(loop.sample(3.0)->y, 0.1, 1e-12);
  double previous = 0;
  for (int i = 0; i <= 100; ++i) {
    const double e = cursorLoopEasing(i / 100.0);
    EXPECT_GE(e, previous - 1e-9);
    previous = e;
  }
  EXPECT_EQ(cursorLoopEasing(0), 0);
  EXPECT_EQ(cursorLoopEasing(1), 1);
  EXPECT_LT(cursorLoopEasing(0.25), 0.1);  // slow start
  EXPECT_GT(cursorLoopEasing(0.75), 0.9);  // fast middle, soft landing

  plan.cursorSettings.loopCursorPosition = false;
  plan.cursorSettings.freezeAtEnd = true;
  plan.cursorSettings.freezeSeconds = 1;
  NativeCursorRuntime freeze(plan);
  const double frozen = freeze.snapshot(2000).cursor.x;
  EXPECT_NEAR(freeze.sample(2.5)->x, frozen, 1e-12);
  EXPECT_NEAR(freeze.sample(3.0)->x, frozen, 1e-12);
  EXPECT_LT(freeze.sample(1.5)->x, frozen);
}

TEST(CursorMotion, SwayFollowsHorizontalSpeed) {
  NativeCursorSettings s;
  s.swayEnabled = true;
  const struct {
    double strength;
    double expected;
  } cases[] = {
      {1.0, 0.24 * std::min(1.0 * 1.1 * 10 / 16, 3.14159265358979 / 10)},
      {0.1, 0.24 * 0.2 * 1.1 * 10 / 16},            // strength below 0.2 counts as 0.2
      {0.0005, 0.24 * 0.2 * 1.1 * 10 / 16 * 0.78},  // and almost none damps it once more
  };
  for (const auto& c : cases) {
    s.swayStrength = c.strength;
    CursorMotionResolver resolver;
    EXPECT_EQ(resolver.rotation({100, 100}, 1000, s), 0);
    EXPECT_NEAR(resolver.rotation({110, 100}, 1016, s), c.expected, 1e-12) << c.strength;
  }
  // Mostly vertical motion sways less; a long pause only decays the tilt.
  s.swayStrength = 0.5;
  CursorMotionResolver resolver;
  resolver.rotation({0, 0}, 0, s);
  EXPECT_NEAR(resolver.rotation({2, 10}, 16, s), 0.24 * 0.5 * 1.1 * 2 * 0.65 / 16, 1e-12);
  const double r = resolver.rotation({4, 10}, 32, s);
  EXPECT_NEAR(resolver.rotation({400, 10}, 1000, s), 0.78 * r, 1e-12);
  s.swayEnabled = false;
  EXPECT_EQ(resolver.rotation({0, 10}, 1016, s), 0);
}

// ---- Glyph store ----

// A glyph image of `w` x `h` pixels, clear but for a red square around the hotspot pixel.
void writeGlyph(const std::string& path, int w, int h, double hx, double hy) {
  gfx::PixelBuffer px(w, h, gfx::PixelFormat::bgra8);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const bool dot = std::abs(x + 0.5 - hx) <= 2 && std::abs(y + 0.5 - hy) <= 2;
      px.pixelRow(y)[x] = dot ? 0xFFFF0000u : 0x00000000u;
    }
  }
  gfx::writePng(px, path);
}

// A bundle with family "default" (glyphs "default" 32x48 natural with hotspot
// (4, 6), and "text") and family "white" ("default" only, square).
struct GlyphBundle {
  testing::TempDir dir;
  GlyphBundle() {
    writeGlyph(dir.file("arrow.png"), 64, 96, 8, 12);
    writeGlyph(dir.file("beam.png"), 64, 64, 32, 32);
    writeGlyph(dir.file("white.png"), 64, 64, 8, 8);
    testing::writeFile(dir.file("manifest.json"), R"({
      "aliases": {"default": "default", "text": "text", "vertical-text": "text"},
      "families": [
        {"style": "default", "glyphs": [
          {"glyphKey": "default", "filename": "arrow.png", "naturalWidth": 32, "naturalHeight": 48, "hotspotX": 4, "hotspotY": 6},
          {"glyphKey": "text", "filename": "beam.png", "naturalWidth": 32, "naturalHeight": 32, "hotspotX": 16, "hotspotY": 16}]},
        {"style": "white", "glyphs": [
          {"glyphKey": "default", "filename": "white.png", "naturalWidth": 32, "naturalHeight": 32, "hotspotX": 4, "hotspotY": 4},
          {"glyphKey": "broken", "filename": "missing.png", "naturalWidth": 32, "naturalHeight": 32, "hotspotX": 4, "hotspotY": 4}]}]
    })");
  }
};

TEST(CursorAssets, ScalesAndPlacesTheHotspot) {
  GlyphBundle bundle;
  CursorAssetStore store(bundle.dir.path(), nullptr);
  const auto a = store.resolvedAsset("default", "default", 64);
  ASSERT_TRUE(a);
  EXPECT_DOUBLE_EQ(a->drawWidth, 64);
  EXPECT_DOUBLE_EQ(a->drawHeight, 96);
  EXPECT_DOUBLE_EQ(a->offsetX, 8);
  EXPECT_DOUBLE_EQ(a->offsetY, 84);
  EXPECT_NEAR(a->image.extent().width, 64, 1e-9);
  EXPECT_NEAR(a->image.extent().height, 96, 1e-9);
  EXPECT_FALSE(store.resolvedAsset("default", "default", 0));
  EXPECT_FALSE(store.resolvedAsset("default", "default", -3));
}

TEST(CursorAssets, ResolvesAliasesWithFallbacks) {
  GlyphBundle bundle;
  CursorAssetStore store(bundle.dir.path(), nullptr);
  const struct {
    const char* style;
    const char* type;
    double hotspotShare;  // offsetX / drawWidth tells the glyph apart
  } cases[] = {
      {"default", "text", 0.5},           {"default", "vertical-text", 0.5},
      {"white", "default", 4.0 / 32},     {"white", "text", 0.5},  // key only in "default"
      {"neon", "text", 0.5},              {"neon", "grab", 4.0 / 32},  // no alias: "default" glyph
      {"default", "no-such-type", 4.0 / 32},
  };
  for (const auto& c : cases) {
    const auto a = store.resolvedAsset(c.style, c.type, 32);
    ASSERT_TRUE(a) << c.style << "/" << c.type;
    EXPECT_DOUBLE_EQ(a->offsetX / a->drawWidth, c.hotspotShare) << c.style << "/" << c.type;
  }
}

TEST(CursorAssets, SharesScaledGlyphsToAHundredthOfAPixel) {
  GlyphBundle bundle;
  CursorAssetStore store(bundle.dir.path(), nullptr);
  ASSERT_TRUE(store.resolvedAsset("default", "text", 64.001));
  ASSERT_TRUE(store.resolvedAsset("default", "text", 64.004));
  EXPECT_EQ(store.renderCacheEntries(), 1u);
  ASSERT_TRUE(store.resolvedAsset("default", "text", 64.006));
  EXPECT_EQ(store.renderCacheEntries(), 2u);
}

TEST(CursorAssets, MissingOrBrokenPiecesFailAsTheirOwnErrors) {
  testing::TempDir empty;
  try {
    CursorAssetStore store(empty.path(), nullptr);
    FAIL() << "a bundle without a manifest was accepted";
  } catch (const JobRunnerError& e) {
    EXPECT_EQ(e.code(), JobRunnerErrorCode::unreadableManifest);
    EXPECT_EQ(e.text(), "Cursor asset manifest is missing.");
  }
  for (const char* text : {"{", R"({"aliases": {}})", R"({"aliases": {}, "families": [{"style": "default"}]})",
                           R"({"aliases": {"a": 1}, "families": []})"}) {
    testing::writeFile(empty.file("manifest.json"), text);
    EXPECT_THROW(CursorAssetStore(empty.path(), nullptr), json::DecodeError) << text;
  }
  GlyphBundle bundle;
  testing::writeFile(bundle.dir.file("manifest.json"), R"({"aliases": {"x": "broken"}, "families": [
    {"style": "default", "glyphs": [
      {"glyphKey": "broken", "filename": "missing.png", "naturalWidth": 32, "naturalHeight": 32, "hotspotX": 0, "hotspotY": 0},
      {"glyphKey": "escape", "filename": "../arrow.png", "naturalWidth": 32, "naturalHeight": 32, "hotspotX": 0, "hotspotY": 0}]}]})");
  CursorAssetStore store(bundle.dir.path(), nullptr);
  EXPECT_FALSE(store.resolvedAsset("default", "x", 30));
  EXPECT_FALSE(store.resolvedAsset("default", "default", 30));  // no "default" glyph at all
}

// ---- Composed frames ----

class CursorFrames : public ::testing::Test {
 protected:
  static constexpr double kW = 640, kH = 360;

  // A 320x180 green recording on a dark background, the cursor's glyph drawn 40 px wide.
  NativeExportManifestV1 manifest(std::vector<NativeCursorPosition> positions) const {
    NativeExportManifestV1 m;
    auto& video = m.scene.settings.video;
    video.aspectRatio = "16:9";
    video.videoScale = 100;
    m.scene.settings.background.type = "color";
    m.scene.settings.background.color = "#101010";
    m.qualityPlan.frameRate = 30;
    m.videoPlan = cursorPlan(std::move(positions));
    m.videoPlan.cursorSettings.size = 4;  // 30 * 4 / 3 = 40 px at 640x360
    m.videoPlan.segments = {segment("s1", 0, 10)};
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
    in.cursorAssets = std::make_shared<CursorAssetStore>(bundle_.dir.path(), in.performancePlan.renderer);
    return std::make_unique<NativeRenderState>(std::move(in));
  }

  // Composes t and returns the red-weighted centroid (drawing space), if any red is there.
  std::optional<gfx::Point> redDot(NativeRenderState& s, double t) {
    auto source = gfx::makeBuffer(320, 180, gfx::PixelFormat::bgra8);
    source->fill(0xFF00FF00u);
    const gfx::Image image = gfx::Image::fromBuffer(source);
    auto frame = s.composeFrame(t, &image);
    if (!frame) return std::nullopt;
    gfx::PixelBuffer out(static_cast<int>(kW), static_cast<int>(kH), gfx::PixelFormat::bgra8);
    s.renderer().render(*frame, out, {0, 0});
    double sx = 0, sy = 0, sw = 0;
    for (int y = 0; y < out.height(); ++y) {
      for (int x = 0; x < out.width(); ++x) {
        const uint8_t* p = out.row(y) + x * 4;
        const double red = std::max(0, p[2] - std::max<int>(p[1], p[0]));
        if (red < 8) continue;
        sx += red * (x + 0.5);
        sy += red * (kH - y - 0.5);
        sw += red;
      }
    }
    if (sw == 0) return std::nullopt;
    return gfx::Point{sx / sw, sy / sw};
  }

  GlyphBundle bundle_;
};

TEST_F(CursorFrames, HotspotLandsOnThePointerAtEveryZoomCropAndPadding) {
  const struct {
    const char* what;
    double padding;
    std::optional<NativeCropRegion> crop;
    double zoom, cx, cy;  // camera centre, pixels from the top-left
    double x, y;          // pointer
  } cases[] = {
      {"plain", 0, std::nullopt, 1, 320, 180, 0.3, 0.4},
      {"padding", 200, std::nullopt, 1, 320, 180, 0.7, 0.2},
      {"zoom 2 off centre", 0, std::nullopt, 2, 260, 150, 0.45, 0.45},
      {"zoom 2 with padding", 120, std::nullopt, 2, 300, 200, 0.55, 0.6},
      {"crop", 80, NativeCropRegion{0.2, 0.1, 0.6, 0.7}, 1, 320, 180, 0.5, 0.3},
      {"crop and zoom", 0, NativeCropRegion{0.25, 0.25, 0.5, 0.5}, 2, 330, 170, 0.5, 0.5},
  };
  for (const auto& c : cases) {
    auto m = manifest({at(0, c.x, c.y), at(5000, c.x, c.y)});
    m.scene.settings.video.padding = c.padding;
    m.videoPlan.cropRegion = c.crop;
    NativeResolvedZoomFrame z;
    z.centerX = c.cx;
    z.centerY = c.cy;
    z.zoom = c.zoom;
    m.videoPlan.resolvedZoomFrames = std::vector{z};
    auto s = state(m);
    const auto geometry = s->resolveVideoFrameGeometry(1, croppedSourceDisplaySize(s->inputs().baseTrackMetadata, c.crop));
    ASSERT_TRUE(geometry) << c.what;
    NativeResolvedCursor cur;
    cur.x = c.x;
    cur.y = c.y;
    const auto expected = s->projectedCursorPoint(cur, geometry->rect, *s->zoomRuntime()->sample(1));
    ASSERT_TRUE(expected) << c.what;
    const auto dot = redDot(*s, 1);
    ASSERT_TRUE(dot) << c.what;
    EXPECT_NEAR(dot->x, expected->x, 1.0) << c.what;
    EXPECT_NEAR(dot->y, expected->y, 1.0) << c.what;
    // The pointer's own spot on the video, zoomed about the camera centre.
    double x = c.x, y = c.y;
    if (c.crop) {
      x = (x - c.crop->x) / c.crop->width;
      y = (y - c.crop->y) / c.crop->height;
    }
    const auto& R = geometry->rect;
    EXPECT_NEAR(expected->x, kW / 2 + c.zoom * (R.minX() + x * R.width - c.cx), 1e-9) << c.what;
    EXPECT_NEAR(expected->y, kH / 2 + c.zoom * (R.maxY() - y * R.height - (kH - c.cy)), 1e-9) << c.what;
  }
}

TEST_F(CursorFrames, AbsentOutsideTheCropInHiddenSegmentsAndWhenIdle) {
  auto m = manifest({at(0, 0.2, 0.2), at(500, 0.6, 0.5), at(8000, 0.6, 0.5)});
  m.videoPlan.segments = {segment("s1", 0, 4), segment("s2", 4, 6), segment("s3", 6, 10)};
  m.videoPlan.hiddenCursorSegmentIds = {"s2"};
  m.videoPlan.cursorSettings.hideWhenIdle = true;
  m.videoPlan.cursorSettings.hideWhenIdleSeconds = 2;
  auto s = state(m);
  EXPECT_TRUE(redDot(*s, 1.0));
  EXPECT_TRUE(redDot(*s, 2.4));    // idle from 0.5 s + 2 s, fading until 2.72 s
  EXPECT_FALSE(redDot(*s, 3.0));   // faded out
  EXPECT_FALSE(redDot(*s, 5.0));   // hidden segment (and idle)

  auto active = manifest({at(0, 0.2, 0.2), at(4000, 0.6, 0.5), at(8000, 0.2, 0.2)});
  active.videoPlan.segments = m.videoPlan.segments;
  active.videoPlan.hiddenCursorSegmentIds = {"s2"};
  auto shown = state(active);
  EXPECT_TRUE(redDot(*shown, 3.9));
  EXPECT_FALSE(redDot(*shown, 5.0));
  EXPECT_TRUE(redDot(*shown, 7.0));

  auto cropped = manifest({at(0, 0.05, 0.5), at(8000, 0.05, 0.5)});
  cropped.videoPlan.cropRegion = NativeCropRegion{0.1, 0.1, 0.8, 0.8};
  EXPECT_FALSE(redDot(*state(cropped), 1.0));
}

TEST_F(CursorFrames, FastMotionLeavesAFaintTrailSlowMotionNone) {
  // 0.5 of the width in one frame vs one pixel per frame.
  for (const bool fast : {true, false}) {
    const double end = fast ? 0.8 : 0.3 + 1.0 / 640;  // one canvas pixel
    auto m = manifest({at(0, 0.3, 0.5), at(1000, 0.3, 0.5), at(1000 + 1000.0 / 30, end, 0.5), at(5000, end, 0.5)});
    auto s = state(m);
    auto source = gfx::makeBuffer(320, 180, gfx::PixelFormat::bgra8);
    source->fill(0xFF00FF00u);
    const gfx::Image image = gfx::Image::fromBuffer(source);
    const double t = 1 + 1.0 / 30;
    auto frame = s->composeFrame(t, &image);
    ASSERT_TRUE(frame);
    gfx::PixelBuffer out(static_cast<int>(kW), static_cast<int>(kH), gfx::PixelFormat::bgra8);
    s->renderer().render(*frame, out, {0, 0});
    // Red between the two positions, well away from both glyphs.
    int faint = 0;
    const int row = static_cast<int>(kH / 2);
    for (int x = static_cast<int>(0.45 * kW); x < static_cast<int>(0.65 * kW); ++x) {
      for (int y = row - 20; y < row + 20; ++y) {
        const uint8_t* p = out.row(y) + x * 4;
        if (p[2] > 0 && p[2] < 64) ++faint;
        EXPECT_LT(p[2], 64) << "a trail copy is faint, never solid";
      }
    }
    if (fast) {
      EXPECT_GT(faint, 0);
    } else {
      EXPECT_EQ(faint, 0);
    }
  }
}

}  // namespace
}  // namespace vantrel::exporter
