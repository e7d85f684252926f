// Change-aware compositing must give the frames full rendering gives, byte
// for byte: a recording with idle stretches, a window moving across it, a
// blinking caret and a burst of full-frame motion is drawn through the
// compositor with change tracking on and off, under scenes that add the
// cursor, a zoom and overlays, and the md5 of every frame is compared. The
// per-family declarations are checked at the times things start and stop
// moving. Frames are written to PNG when VANTREL_KEEP_FRAMES names a directory
// at build time, for looking at them.

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/mem.h>
#include <libavutil/md5.h>
}

#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "render/change_tracking.h"
#include "render/frame_render.h"
#include "render/layers/layers.h"
#include "render/render_state.h"
#include "styled_scene.h"
#include "vantrel/graphics/image_file.h"

namespace vantrel::exporter {
namespace {

namespace gfx = vantrel::graphics;

constexpr Size kCanvas{640, 360};
constexpr int kSourceW = 320, kSourceH = 180;
constexpr int kFps = 30;
constexpr int kFrames = 120;  // four seconds

// ---- changedRows ----

TEST(ChangedRows, FindsTheFirstAndLastDifferingRowWhateverTheStrides) {
  constexpr int w = 7, rows = 9;
  std::vector<std::uint8_t> a(16 * rows, 1), b(32 * rows, 0);
  for (int y = 0; y < rows; ++y) std::memset(b.data() + y * 32, 1, w);
  // Bytes past the row width differ and must not count.
  for (int y = 0; y < rows; ++y) b[static_cast<std::size_t>(y * 32 + w)] = 9;
  const struct {
    std::vector<int> changed;  // rows whose last byte differs
    RowBand expected;
  } cases[] = {{{}, {0, 0}}, {{0}, {0, 1}}, {{8}, {8, 9}}, {{3, 5}, {3, 6}}, {{0, 8}, {0, 9}}, {{4}, {4, 5}}};
  for (const auto& c : cases) {
    auto copy = b;
    for (int y : c.changed) copy[static_cast<std::size_t>(y * 32 + w - 1)] = 2;
    const RowBand band = changedRows(a.data(), 16, copy.data(), 32, w, rows);
    EXPECT_EQ(band.begin, c.expected.begin) << c.changed.size();
    EXPECT_EQ(band.end, c.expected.end) << c.changed.size();
    EXPECT_EQ(band.empty(), c.changed.empty());
  }
  // Bottom-up planes (negative strides) and empty sizes.
  auto flipped = b;
  flipped[static_cast<std::size_t>(2 * 32)] = 5;  // row 2 from the top of b, row 6 from the bottom-up start
  const RowBand up = changedRows(a.data() + 8 * 16, -16, flipped.data() + 8 * 32, -32, w, rows);
  EXPECT_EQ(up.begin, 6);
  EXPECT_EQ(up.end, 7);
  EXPECT_TRUE(changedRows(a.data(), 16, b.data(), 32, 0, rows).empty());
  EXPECT_TRUE(changedRows(a.data(), 16, b.data(), 32, w, 0).empty());
}

// ---- markChangedTiles ----

// A plane 21 bytes wide in tiles of 8 x 4 (the last column of tiles is 5
// bytes wide, the last row of tiles 3 rows high): a differing byte flags
// exactly its tile, bytes past the width never count, tiles outside the rows
// asked about are not compared, and a plane of half the tile size marks the
// same grid.
TEST(MarkChangedTiles, FlagsTheTilesHoldingADifferenceAndNothingElse) {
  constexpr int w = 21, rows = 11, stride = 32, tw = 8, th = 4, columns = 3, tileRows = 3;
  std::vector<std::uint8_t> a(stride * rows, 1);
  for (int y = 0; y < rows; ++y) a[static_cast<std::size_t>(y * stride + w)] = 7;  // padding differs
  const struct {
    const char* name;
    std::vector<std::pair<int, int>> changed;  // (x, y)
    int rowBegin, rowEnd;
    std::vector<int> expected;  // flagged tiles, row by row
  } cases[] = {
      {"identical", {}, 0, rows, {}},
      {"first byte", {{0, 0}}, 0, rows, {0}},
      {"last byte of the narrow tile", {{20, 10}}, 0, rows, {8}},
      {"tile edges", {{7, 3}, {8, 4}}, 0, rows, {0, 4}},
      {"outside the rows asked about", {{3, 1}, {12, 9}}, 4, rows, {7}},
      {"many in one tile", {{9, 5}, {10, 6}, {15, 7}}, 0, rows, {4}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::uint8_t> b(stride * rows, 1);
    for (const auto& [x, y] : c.changed) b[static_cast<std::size_t>(y * stride + x)] = 2;
    std::vector<std::uint8_t> flags(columns * tileRows, 0);
    markChangedTiles(a.data(), stride, b.data(), stride, w, c.rowBegin, c.rowEnd, tw, th, flags.data(), columns);
    std::vector<int> flagged;
    for (int i = 0; i < columns * tileRows; ++i) {
      if (flags[static_cast<std::size_t>(i)]) flagged.push_back(i);
    }
    EXPECT_EQ(flagged, c.expected);
  }
  // Half-size tiles of a half-size plane land on the same grid, and flags
  // already set are kept.
  std::vector<std::uint8_t> half(16 * 6, 3), other = half;
  other[static_cast<std::size_t>(5 * 16 + 10)] = 4;  // (10, 5): tile (2, 2)
  std::vector<std::uint8_t> flags(columns * tileRows, 0);
  flags[0] = 1;
  markChangedTiles(half.data(), 16, other.data(), 16, 11, 0, 6, tw / 2, th / 2, flags.data(), columns);
  EXPECT_EQ(flags, (std::vector<std::uint8_t>{1, 0, 0, 0, 0, 0, 0, 0, 1}));
}

// ---- Scenes ----

NativeCursorPosition pointer(double ms, double x, double y, bool pressed = false) {
  NativeCursorPosition p;
  p.timestamp = ms;
  p.x = x;
  p.y = y;
  if (pressed) p.pressed = true;
  return p;
}

// Still, then a glide with a click, then still again long enough for the sway to settle.
void addCursor(NativeExportManifestV1& m) {
  auto& cursor = m.videoPlan.cursorSettings;
  cursor.enabled = true;
  cursor.mode = "smooth";
  cursor.style = "default";
  cursor.size = 2;
  cursor.smoothing = 0.5;
  cursor.springPreset = "fast";
  cursor.clickEffect = true;
  cursor.swayEnabled = true;
  cursor.swayStrength = 0.6;
  NativeCursorData data;
  data.positions = {pointer(0, 0.3, 0.4),         pointer(900, 0.3, 0.4),  pointer(1300, 0.7, 0.6),
                    pointer(1700, 0.7, 0.6, true), pointer(1780, 0.7, 0.6), pointer(4000, 0.7, 0.6)};
  m.videoPlan.cursorData = data;
}

NativeResolvedZoomFrame zoomKey(double ms, double centerX, double centerYTop, double zoom) {
  NativeResolvedZoomFrame f;
  f.timestamp = ms;
  f.centerX = centerX;
  f.centerY = centerYTop;
  f.zoom = zoom;
  return f;
}

// Unzoomed, a zoom in, a long hold (idle frames under a zoom), then a slow pan.
void addZoom(NativeExportManifestV1& m) {
  m.videoPlan.resolvedZoomFrames = std::vector{zoomKey(0, 320, 180, 1), zoomKey(1000, 320, 180, 1),
                                               zoomKey(1300, 260, 150, 1.7), zoomKey(3200, 260, 150, 1.7),
                                               zoomKey(3900, 300, 170, 1.7)};
}

const std::string kPicturePath = "/overlay/picture.png";

// A fading text box, a picture that scales in and out, and captions whose words light up in turn.
void addOverlays(NativeExportManifestV1& m) {
  NativeTextOverlay text;
  text.id = "t1";
  text.startTime = 0.5;
  text.endTime = 2.5;
  text.x = 0.1;
  text.y = 0.1;
  text.width = 0.4;
  text.height = 0.15;
  text.text = "Idle screens";
  text.fontSize = 28;
  text.animationStyle = "fade";
  text.backgroundEnabled = true;
  text.backgroundColor = "#101010";
  m.overlayPlan.textOverlays = {text};
  NativeImageOverlay picture;
  picture.id = "i1";
  picture.startTime = 1.2;
  picture.endTime = 3.4;
  picture.x = 0.6;
  picture.y = 0.55;
  picture.width = 0.3;
  picture.height = 0.3;
  picture.src = kPicturePath;
  picture.animation = "scale";
  m.overlayPlan.imageOverlays = {picture};
  NativeSubtitleCaption caption;
  caption.id = "c1";
  caption.startTime = 2.0;
  caption.endTime = 3.6;
  caption.lines = {{{"w1", "nothing", 2.0, 2.5}, {"w2", "moves", 2.5, 3.0}, {"w3", "here", 3.0, 3.6}}};
  m.overlayPlan.subtitleCaptions = {caption};
}

gfx::Image pictureImage() {
  auto b = gfx::makeBuffer(64, 48, gfx::PixelFormat::bgra8);
  for (int y = 0; y < b->height(); ++y)
    for (int x = 0; x < b->width(); ++x)
      b->pixelRow(y)[x] = ((x / 8 + y / 8) & 1) ? 0xff30c0f0u : 0xfff0f0f0u;
  return gfx::Image::fromBuffer(b);
}

// ---- The recording ----

// Frame n of a desktop recording: a still wallpaper, a window that moves
// across it for a second, a caret that blinks, and a burst where everything
// moves. Idle frames are fresh buffers with equal pixels, as a decoder gives
// them, except every fifth, which repeats the previous buffer itself.
class Recording {
 public:
  std::shared_ptr<const media::PixelBuffer> frame(int n) {
    if (previous_ && n % 5 == 0 && content(n) == content(n - 1)) return previous_;
    auto b = std::make_shared<media::PixelBuffer>(kSourceW, kSourceH);
    const Content c = content(n);
    for (int y = 0; y < kSourceH; ++y) {
      auto* row = reinterpret_cast<std::uint32_t*>(b->row(y));
      for (int x = 0; x < kSourceW; ++x) {
        const auto r = static_cast<std::uint32_t>((x + c.shift) * 255 / (kSourceW + 400));
        const auto g = static_cast<std::uint32_t>(y * 255 / kSourceH);
        const std::uint32_t blue = (((x + c.shift) / 10 + y / 10) & 1) ? 200u : 40u;
        std::uint32_t p = 0xff000000u | (r << 16) | (g << 8) | blue;
        const bool inWindow = x >= c.windowX && x < c.windowX + 90 && y >= c.windowY && y < c.windowY + 60;
        if (inWindow) p = (y - c.windowY < 8) ? 0xff303848u : 0xffe8e8e8u;
        if (c.caret && x >= 200 && x < 202 && y >= 150 && y < 162) p = 0xff000000u;
        row[x] = p;
      }
    }
    previous_ = b;
    return b;
  }

 private:
  struct Content {
    int shift = 0, windowX = 20, windowY = 30;
    bool caret = false;
    bool operator==(const Content&) const = default;
  };
  static Content content(int n) {
    Content c;
    if (n >= 15) {
      const int k = std::min(n, 45) - 15;  // the window moves for a second, then rests
      c.windowX = 20 + 5 * k;
      c.windowY = 30 + 2 * k;
    }
    // The caret also blinks while the window moves: two regions far apart change in one frame.
    if ((n >= 16 && n < 40) || (n >= 75 && n < 90)) c.caret = (n / 4) % 2 == 0;
    if (n >= 90 && n < 100) c.shift = 7 * (n - 89);
    if (n >= 100) c.shift = 70;
    return c;
  }
  std::shared_ptr<const media::PixelBuffer> previous_;
};

std::array<std::uint8_t, 16> md5Of(const media::PixelBuffer& frame) {
  std::array<std::uint8_t, 16> digest{};
  AVMD5* md5 = av_md5_alloc();
  av_md5_init(md5);
  for (int y = 0; y < frame.height(); ++y) av_md5_update(md5, frame.row(y), static_cast<std::size_t>(frame.width()) * 4);
  av_md5_final(md5, digest.data());
  av_free(md5);
  return digest;
}

void keep([[maybe_unused]] const media::PixelBuffer& frame, [[maybe_unused]] const std::string& name) {
#ifdef VANTREL_KEEP_FRAMES
  gfx::PixelBuffer copy(frame.width(), frame.height(), gfx::PixelFormat::bgra8);
  for (int y = 0; y < frame.height(); ++y) std::memcpy(copy.row(y), frame.row(y), frame.width() * 4);
  gfx::writePng(copy, std::string(VANTREL_KEEP_FRAMES) + "/" + name + ".png");
#endif
}

std::unique_ptr<NativeRenderState> makeState(const NativeExportManifestV1& m) {
  NativeRenderStateInputs in;
  in.manifest = m;
  in.renderSize = kCanvas;
  in.baseTrackId = 1;
  in.baseTrackMetadata = VideoTrackMetadata::make({kSourceW, kSourceH}, AffineTransform{});
  in.sourceTrackMetadataByIndex = {in.baseTrackMetadata};
  in.canvasReferenceDisplaySize = {kSourceW, kSourceH};
  in.imageSourcesByPath = {{kPicturePath, pictureImage()}};
  in.renderableOverlaySummary.hasImageOverlays = !m.overlayPlan.imageOverlays.empty();
  in.renderableOverlaySummary.hasTextOverlays = !m.overlayPlan.textOverlays.empty();
  in.renderableOverlaySummary.hasBlurOverlays = !m.overlayPlan.blurOverlays.empty();
  in.performancePlan = ExportPerformancePlan::build(kCanvas, 2);
  // No cursor store given: the state reads the bundle installed beside the test.
  return std::make_unique<NativeRenderState>(std::move(in));
}

struct RunResult {
  std::vector<std::array<std::uint8_t, 16>> md5s;
  ComposedFrameHistory counts;
};

RunResult renderRun(const NativeExportManifestV1& m, bool tracking, const std::string& name) {
  auto state = makeState(m);
  setChangeTracking(*state, tracking);
  Recording recording;
  RunResult run;
  media::PixelBuffer out(static_cast<int>(kCanvas.width), static_cast<int>(kCanvas.height));
  media::PixelBuffer previous(out.width(), out.height());
  media::PixelBuffer scratch(out.width(), out.height());
  for (int n = 0; n < kFrames; ++n) {
    media::CompositionRequest request;
    request.outputTime = media::MediaTime(n, kFps);
    media::SourceFrame source;
    source.compositionTrackId = 1;
    source.frame = recording.frame(n);
    request.sources.push_back(source);
    if (n % 7 == 3) {
      // A probe of the scene over a black source at the same time, drawn
      // with tracking off as the frame pipeline does: not a frame of the
      // export, so it must leave the kept frame alone (both runs draw it,
      // since it moves the cursor's sway state as any composition does).
      auto black = std::make_shared<media::PixelBuffer>(kSourceW, kSourceH);
      black->fill(0, 0, 0, 255);
      media::CompositionRequest probe = request;
      probe.sources[0].frame = black;
      setChangeTracking(*state, false);
      renderCompositionFrame(*state, probe, scratch);
      setChangeTracking(*state, tracking);
    }
    out.fill(1, 2, 3, 4);  // the output's contents are undefined on entry
    renderCompositionFrame(*state, request, out);
    run.md5s.push_back(md5Of(out));
    // Rows outside the declared band equal the previous output's.
    if (n > 0) {
      const RowBand declared = composedFrameHistory(*state).lastChangedRows;
      const RowBand actual = changedRows(previous.data(), previous.stride(), out.data(), out.stride(),
                                         out.width() * 4, out.height());
      if (!actual.empty()) {
        EXPECT_LE(declared.begin, actual.begin) << "frame " << n;
        EXPECT_GE(declared.end, actual.end) << "frame " << n;
      }
    }
    for (int y = 0; y < out.height(); ++y) std::memcpy(previous.row(y), out.row(y), out.width() * 4);
    if (tracking && n % 10 == 0) keep(out, name + "_" + std::to_string(n));
  }
  const auto& h = composedFrameHistory(*state);
  run.counts.fullFrames = h.fullFrames;
  run.counts.bandFrames = h.bandFrames;
  run.counts.reusedFrames = h.reusedFrames;
  return run;
}

TEST(ChangeTracking, FramesEqualFullRenderingOverIdleAndMovingStretches) {
  const struct {
    const char* name;
    std::function<void(NativeExportManifestV1&)> add;
  } scenes[] = {
      {"styled", [](NativeExportManifestV1&) {}},
      {"cursor", addCursor},
      {"zoom", addZoom},
      {"overlays", addOverlays},
      {"all", [](NativeExportManifestV1& m) {
         addCursor(m);
         addZoom(m);
         addOverlays(m);
       }},
  };
  for (const auto& scene : scenes) {
    SCOPED_TRACE(scene.name);
    NativeExportManifestV1 m = testing_scenes::styledScene(4);
    scene.add(m);
    const RunResult full = renderRun(m, false, scene.name);
    const RunResult tracked = renderRun(m, true, scene.name);
    ASSERT_EQ(full.md5s.size(), tracked.md5s.size());
    for (int n = 0; n < kFrames; ++n) EXPECT_EQ(tracked.md5s[n], full.md5s[n]) << "frame " << n;
    // The shortcuts were taken, not just the full path every time.
    EXPECT_GT(tracked.counts.reusedFrames, 10);
    EXPECT_GT(tracked.counts.bandFrames, 2);
    EXPECT_EQ(tracked.counts.fullFrames + tracked.counts.bandFrames + tracked.counts.reusedFrames, kFrames);
    std::printf("%s: %lld full, %lld band, %lld reused\n", scene.name,
                static_cast<long long>(tracked.counts.fullFrames), static_cast<long long>(tracked.counts.bandFrames),
                static_cast<long long>(tracked.counts.reusedFrames));
  }
}

// A frame loop that makes some frames without composing them (from cached
// planes, say) and only advances the layers' state must leave the frames it
// does compose as full composition leaves them: the sway after a skipped glide
// depends on where the pointer was drawn one frame before.
TEST(ChangeTracking, AdvancingFrameStateKeepsLaterFramesIdentical) {
  NativeExportManifestV1 m = testing_scenes::styledScene(4);
  addCursor(m);
  auto full = makeState(m), skipping = makeState(m);
  Recording recording;
  const auto frame = recording.frame(0);
  const gfx::Image source =
      gfx::Image::fromExternalBGRA(frame->data(), frame->width(), frame->height(), frame->stride(), frame);
  gfx::PixelBuffer a(static_cast<int>(kCanvas.width), static_cast<int>(kCanvas.height), gfx::PixelFormat::bgra8);
  gfx::PixelBuffer b(a.width(), a.height(), gfx::PixelFormat::bgra8);
  int compared = 0;
  for (int n = 0; n < 60; ++n) {
    const double t = static_cast<double>(n) / kFps;
    const auto expected = full->composeFrame(t, &source);
    ASSERT_TRUE(expected);
    // Skipped: every other frame of the glide (0.9 s to 1.3 s).
    if (n >= 27 && n <= 39 && n % 2 == 1) {
      skipping->advanceFrameState(t, true);
      continue;
    }
    const auto got = skipping->composeFrame(t, &source);
    ASSERT_TRUE(got);
    full->renderer().render(*expected, a, {0, 0});
    skipping->renderer().render(*got, b, {0, 0});
    EXPECT_TRUE(changedRows(a.data(), a.stride(), b.data(), b.stride(), a.width() * 4, a.height()).empty())
        << "frame " << n;
    ++compared;
  }
  EXPECT_GT(compared, 50);
}

// ---- Per-family declarations ----

TEST(ChangeTracking, FamiliesDeclareChangesWhenTheyStartAndStopMoving) {
  NativeExportManifestV1 m = testing_scenes::styledScene(4);
  addCursor(m);
  addZoom(m);
  addOverlays(m);
  NativeBlurOverlay blur;
  blur.id = "b1";
  blur.startTime = 3.0;
  blur.endTime = 3.8;
  blur.x = blur.y = 0.2;
  blur.width = blur.height = 0.2;
  blur.animationStyle = "fade";
  m.overlayPlan.blurOverlays = {blur};
  NativeAnnotationStroke stroke;
  stroke.id = "a1";
  stroke.color = "#FF0000";
  stroke.points = {{0.2, 0.2, 600}, {0.4, 0.3, 700}, {0.5, 0.5, 800}};
  stroke.startedAt = 600;
  stroke.completedAt = 800;
  NativeAnnotationData annotations;
  annotations.brush = {4, 1000, 300, 0.5, 1};
  annotations.strokes = {stroke};
  m.overlayPlan.annotationData = annotations;
  NativeCameraSegment camera;
  camera.id = "cam";
  camera.startTime = 3.5;
  camera.endTime = 3.9;
  camera.videoUrl = "camera.mp4";
  m.cameraPlan.cameraSegments = {camera};
  NativeFillerBlock filler;
  filler.id = "f1";
  filler.startOutputTime = 3.9;
  filler.endOutputTime = 4.0;
  filler.duration = 0.1;
  m.overlayPlan.fillerBlocks = {filler};
  m.videoPlan.resolvedVideoStyleFrames =
      std::vector<NativeResolvedVideoStyleFrame>{{0, 120, 48}, {2800, 120, 48}, {3000, 80, 30}, {4000, 80, 30}};

  using Declaration = bool (*)(NativeRenderState&, double, double);
  const double f = 1.0 / kFps;
  const struct {
    const char* family;
    Declaration changes;
    double t0;
    bool expected;
  } cases[] = {
      {"background", backgroundLayerChangesBetween, 1.0, false},
      {"style before its animation", videoStyleLayerChangesBetween, 1.0, false},
      {"style animating", videoStyleLayerChangesBetween, 2.9, true},
      {"style after its animation", videoStyleLayerChangesBetween, 3.5, false},
      {"zoom before it starts", zoomLayerChangesBetween, 0.5, false},
      {"zoom starting", zoomLayerChangesBetween, 1.0, true},
      {"zoom holding", zoomLayerChangesBetween, 2.0, false},
      {"zoom one step after it stops: motion samples still reach back", zoomLayerChangesBetween, 3.2 + f / 2, true},
      {"cursor still", cursorLayerChangesBetween, 0.4, false},
      {"cursor gliding", cursorLayerChangesBetween, 1.1, true},
      {"cursor clicking", cursorLayerChangesBetween, 1.72, true},
      {"text before", textOverlaysLayerChangesBetween, 0.3, false},
      {"text appearing", textOverlaysLayerChangesBetween, 0.5 - f / 2, true},
      {"text fading in", textOverlaysLayerChangesBetween, 0.55, true},
      {"text shown", textOverlaysLayerChangesBetween, 1.5, false},
      {"text fading out", textOverlaysLayerChangesBetween, 2.4, true},
      {"picture scaling in", imageOverlaysLayerChangesBetween, 1.25, true},
      {"picture shown", imageOverlaysLayerChangesBetween, 2.5, false},
      {"picture gone", imageOverlaysLayerChangesBetween, 3.5, false},
      {"caption word lights up", subtitlesLayerChangesBetween, 2.5 - f / 2, true},
      {"caption between word changes", subtitlesLayerChangesBetween, 2.7, false},
      {"caption gone", subtitlesLayerChangesBetween, 3.7, false},
      {"blur before", blurOverlaysLayerChangesBetween, 2.5, false},
      {"blur fading in", blurOverlaysLayerChangesBetween, 3.05, true},
      {"blur shown", blurOverlaysLayerChangesBetween, 3.4, false},
      {"annotation before", annotationsLayerChangesBetween, 0.3, false},
      {"annotation drawing", annotationsLayerChangesBetween, 0.65, true},
      {"annotation at rest", annotationsLayerChangesBetween, 1.2, false},
      {"annotation fading", annotationsLayerChangesBetween, 1.9, true},
      {"annotation gone", annotationsLayerChangesBetween, 2.5, false},
      {"camera absent", cameraOverlayLayerChangesBetween, 3.0, false},
      {"camera playing", cameraOverlayLayerChangesBetween, 3.6, true},
      {"filler absent", fillerLayerChangesBetween, 3.0, false},
      {"filler shown", fillerLayerChangesBetween, 3.95, true},
      {"perspective absent", perspectiveLayerChangesBetween, 2.0, false},
  };
  Recording recording;
  const auto frame = recording.frame(0);
  for (const auto& c : cases) {
    auto state = makeState(m);
    // The state as a frame loop leaves it: the frame at t0 composed.
    const gfx::Image source = gfx::Image::fromExternalBGRA(frame->data(), frame->width(), frame->height(),
                                                           frame->stride(), frame);
    (void)state->composeFrame(c.t0, &source);
    EXPECT_EQ(c.changes(*state, c.t0, c.t0 + f), c.expected) << c.family << " at " << c.t0;
    EXPECT_EQ(state->sceneChangesBetween(c.t0, c.t0 + f) || !c.expected, true) << c.family;
  }
}

}  // namespace
}  // namespace vantrel::exporter
