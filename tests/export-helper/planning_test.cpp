#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>

#include "manifest/manifest.h"
#include "overlay_core/overlay_renderability_core.h"
#include "plan/pass_through.h"
#include "plan/render_size.h"
#include "plan/video_plans.h"
#include "support/overlay_renderability.h"
#include "support/scene_profile.h"
#include "support/speed_gate.h"
#include "vantrel/testing/process.h"

namespace vantrel::exporter {
namespace {

using overlaycore::OverlayRenderabilityCore;

NativeExportManifestV1 fixture(const char* name) {
  return decodeManifest(testing::readFile(std::string(VANTREL_EXPORT_FIXTURES) + "/" + name));
}

TEST(RenderSize, ToEvenDimension) {
  const std::pair<double, double> cases[] = {{1079.4, 1080}, {1080.6, 1082}, {0.3, 2},   {2.5, 4},
                                             {1081, 1082},   {-7, 2},       {1919.5, 1920}};
  for (auto [in, out] : cases) EXPECT_EQ(toEvenDimension(in), out) << in;
}

TEST(RenderSize, CanvasFromAspectAndResolution) {
  struct Case {
    const char* aspect;
    double customW, customH;
    Size source;
    const char* resolution;
    std::optional<double> maxEdge;
    Size expected;
  };
  const Case cases[] = {
      {"16:9", 0, 0, {2880, 1800}, "1080p", {}, {1920, 1080}},
      {"9:16", 0, 0, {2880, 1800}, "1080p", {}, {1080, 1920}},
      {"1:1", 0, 0, {2880, 1800}, "1080p", {}, {1920, 1920}},
      {"fit", 0, 0, {2880, 1800}, "4k", {}, {3840, 2400}},
      {"fit", 0, 0, {1080, 1920}, "1440p", {}, {1440, 2560}},
      {"16:9", 0, 0, {1920, 1080}, "720p", {}, {1280, 720}},
      {"16:9", 0, 0, {1920, 1080}, "480p", {}, {1280, 720}},
      {"custom", 1000, 500, {1920, 1080}, "1080p", {}, {1920, 960}},
      {"16:9", 0, 0, {1920, 1080}, "1080p", 640.0, {640, 360}},
      {"16:9", 0, 0, {1920, 1080}, "720p", 5000.0, {1280, 720}},
      {"fit", 0, 0, {1919, 1079}, "1080p", {}, {1920, 1080}},
  };
  for (const auto& c : cases) {
    NativeVideoSettings v;
    v.aspectRatio = c.aspect;
    v.customCanvasWidth = c.customW;
    v.customCanvasHeight = c.customH;
    EXPECT_EQ(resolveRenderSize(c.source, v, c.resolution, c.maxEdge), c.expected)
        << c.aspect << " " << c.resolution;
  }
}

TEST(OverlayRenderabilityCore, WindowsGeometryAndPaint) {
  // 10 s at 30 fps: 300 frames, the last at 9.9667 s.
  EXPECT_FALSE(OverlayRenderabilityCore::intersectsRenderedFrames(9.99995, 12, 10, 30));
  EXPECT_TRUE(OverlayRenderabilityCore::intersectsRenderedFrames(9.96, 12, 10, 30));
  EXPECT_TRUE(OverlayRenderabilityCore::intersectsRenderedFrames(-5, 0, 10, 30));
  EXPECT_FALSE(OverlayRenderabilityCore::intersectsRenderedFrames(0, std::nan(""), 10, 30));
  EXPECT_FALSE(OverlayRenderabilityCore::intersectsRenderedFrames(0, 1, 0, 30));
  EXPECT_FALSE(OverlayRenderabilityCore::intersectsRenderedFrames(0, 1, 10, 0));
  // A single frame at time 0: only windows that reach back to 0 meet it.
  EXPECT_TRUE(OverlayRenderabilityCore::intersectsRenderedFrames(0, 0.03, 0.01, 30));
  EXPECT_FALSE(OverlayRenderabilityCore::intersectsRenderedFrames(0.02, 0.03, 0.01, 30));

  const overlaycore::RenderSize canvas{1920, 1080};
  EXPECT_FALSE(OverlayRenderabilityCore::hasRenderableGeometry(0.0002, 0.5, canvas));
  EXPECT_TRUE(OverlayRenderabilityCore::hasRenderableGeometry(0.0003, 0.5, canvas));
  EXPECT_FALSE(OverlayRenderabilityCore::hasRenderableGeometry(0.5, -1, canvas));
  EXPECT_FALSE(OverlayRenderabilityCore::hasRenderableGeometry(INFINITY, 0.5, canvas));

  EXPECT_FALSE(OverlayRenderabilityCore::hasRenderableImageSource(std::nullopt));
  EXPECT_FALSE(OverlayRenderabilityCore::hasRenderableImageSource(" \n\t"));
  EXPECT_TRUE(OverlayRenderabilityCore::hasRenderableImageSource(" a.png"));
  // No-break, ideographic and line-separator spaces are blank too.
  EXPECT_FALSE(OverlayRenderabilityCore::hasRenderableImageSource("\u00A0\u3000\u2028\u0085"));
  EXPECT_TRUE(OverlayRenderabilityCore::hasRenderableImageSource("\u3000a.png\u00A0"));

  struct Paint {
    std::optional<double> opacity;
    bool background;
    std::optional<double> backgroundOpacity;
    bool visible;
  };
  const Paint paints[] = {
      {std::nullopt, false, std::nullopt, true}, {0, false, std::nullopt, false}, {-5, false, std::nullopt, false},
      {1, false, std::nullopt, true},            {0, true, 0, false},             {0, true, std::nullopt, true},
      {0, true, 100, true},                      {0, true, 30, true},             {50, true, 0, true},
      {0, true, -10, false},                     {50, true, -10, true},
  };
  for (const auto& p : paints) {
    EXPECT_EQ(OverlayRenderabilityCore::hasVisibleTextPaint(p.opacity, p.background, p.backgroundOpacity), p.visible)
        << p.opacity.value_or(-1) << " " << p.background << " " << p.backgroundOpacity.value_or(-1);
  }
}

TEST(SpeedGate, Targets) {
  HelperSceneProfile rendered;
  rendered.requiresCustomCompositor = true;
  rendered.hasCursor = rendered.hasZoom = rendered.hasAudio = true;
  EXPECT_EQ(SpeedGateEvaluator::expectedTargetMs("1080p", 60, rendered), 28100);
  // Below 20 s the zoom-and-cursor surcharge does not apply; below 10 s the length counts as 10 s.
  EXPECT_EQ(SpeedGateEvaluator::expectedTargetMs("1080p", 5, rendered), 10 * 360 + 2500);
  HelperSceneProfile plain;
  EXPECT_EQ(SpeedGateEvaluator::expectedTargetMs("1080p", 5, plain), 2000);
  EXPECT_EQ(SpeedGateEvaluator::expectedTargetMs("4k", 30, plain), 30 * 370 + 900);
  EXPECT_EQ(SpeedGateEvaluator::expectedTargetMs("8k", 10, plain), 2000);
  HelperSceneProfile camera;
  camera.hasCamera = camera.hasAnnotations = true;
  EXPECT_EQ(SpeedGateEvaluator::expectedTargetMs("720p", 10, camera), 10 * 110 + 7350);
}

TEST(SceneProfile, FeatureTagsInFixedOrder) {
  auto full = fixture("full_manifest.json");
  auto p = buildSceneProfile(full, {1920, 1080}, false, false, false);
  EXPECT_EQ(p.sceneClass, "custom-compositor");
  EXPECT_EQ(p.featureTags,
            (std::vector<std::string>{"custom-compositor", "cursor", "zoom", "camera", "audio", "subtitles",
                                      "image-overlays", "text-overlays", "blur-overlays", "annotations", "fillers",
                                      "wallpaper", "crop", "styled-video"}));
  auto minimal = fixture("minimal_manifest.json");
  auto q = buildSceneProfile(minimal, {1920, 1080}, true, false, false);
  EXPECT_EQ(q.sceneClass, "simple-passthrough");
  EXPECT_TRUE(q.featureTags.empty());
  EXPECT_FALSE(isStyledVideoScene(minimal));
  minimal.videoPlan.sourceVideoPaths.push_back("/tmp/b.mp4");
  EXPECT_TRUE(buildSceneProfile(minimal, {1920, 1080}, true, false, false).hasMultiSource);
}

// An image overlay whose source is only Unicode white space draws nothing: it
// must neither cost the recording its pass-through nor be tagged.
TEST(SceneProfile, ImageSourceOfUnicodeBlanksIsNoOverlay) {
  const Size render{1920, 1080};
  const struct {
    const char* src;
    bool overlay;
  } cases[] = {{"\u3000\u00A0\u2028\u2029\u202F\u1680", false}, {"\u3000/a/logo.png\u00A0", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.src);
    auto m = fixture("minimal_manifest.json");
    NativeImageOverlay image;
    image.src = c.src;
    image.endTime = m.videoPlan.durationSeconds;
    image.width = image.height = 0.25;
    m.overlayPlan.imageOverlays = {image};
    const bool passThrough = isSimpleVideoPassThroughCandidate(m, VideoTrackMetadata::make(render, {}), render);
    EXPECT_EQ(passThrough, !c.overlay);
    const auto p = buildSceneProfile(m, render, passThrough, false, false);
    EXPECT_EQ(p.sceneClass, c.overlay ? "custom-compositor" : "simple-passthrough");
    const bool tagged = std::find(p.featureTags.begin(), p.featureTags.end(), "image-overlays") != p.featureTags.end();
    EXPECT_EQ(tagged, c.overlay);
  }
}

TEST(PassThrough, Candidates) {
  const Size render{1920, 1080};
  struct Case {
    const char* name;
    std::function<void(NativeExportManifestV1&)> mutate;
    Size display;
    bool candidate;
  };
  const Case cases[] = {
      {"plain recording", [](auto&) {}, {1920, 1080}, true},
      {"1921 wide snaps", [](auto&) {}, {1921, 1080}, true},
      {"1918 wide leaves a gap", [](auto&) {}, {1918, 1080}, false},
      {"4:3 source", [](auto&) {}, {1440, 1080}, false},
      {"speed 1.0004", [](auto& m) { m.videoPlan.segments[0].speed = 1.0004; }, {1920, 1080}, true},
      {"speed 1.001", [](auto& m) { m.videoPlan.segments[0].speed = 1.001; }, {1920, 1080}, false},
      {"compression", [](auto& m) { m.qualityPlan.compression = "high"; }, {1920, 1080}, false},
      {"custom canvas", [](auto& m) { m.scene.settings.video.aspectRatio = "custom"; }, {1920, 1080}, false},
      {"segment padding", [](auto& m) { m.videoPlan.segments[0].padding = 0.0; }, {1920, 1080}, false},
      {"wallpaper id", [](auto& m) { m.scene.settings.background.wallpaperId = "w"; }, {1920, 1080}, false},
      {"hidden cursor ids", [](auto& m) { m.videoPlan.hiddenCursorSegmentIds = {"s1"}; }, {1920, 1080}, false},
      {"empty resolved zoom frames",
       [](auto& m) { m.videoPlan.resolvedZoomFrames = std::vector<NativeResolvedZoomFrame>{}; },
       {1920, 1080},
       true},
      {"invisible text overlay",
       [](auto& m) {
         NativeTextOverlay t;
         t.startTime = 20;  // after the end of the export
         t.endTime = 30;
         t.width = t.height = 0.5;
         m.overlayPlan.textOverlays.push_back(t);
       },
       {1920, 1080},
       true},
      {"visible text overlay",
       [](auto& m) {
         NativeTextOverlay t;
         t.startTime = 0;
         t.endTime = 2;
         t.width = t.height = 0.5;
         m.overlayPlan.textOverlays.push_back(t);
       },
       {1920, 1080},
       false},
  };
  for (const auto& c : cases) {
    auto m = fixture("minimal_manifest.json");
    c.mutate(m);
    EXPECT_EQ(isSimpleVideoPassThroughCandidate(m, VideoTrackMetadata::make(c.display, {}), render), c.candidate)
        << c.name;
  }
}

TEST(TrackMetadata, DisplaySizeOfARotatedTrack) {
  auto portrait = VideoTrackMetadata::make({1920, 1080}, {0, 1, -1, 0, 1080, 0});
  EXPECT_EQ(portrait.displaySize, (Size{1080, 1920}));
}

TEST(WriterPlan, BitrateAndKeyFrames) {
  NativeQualityPlan q;
  q.videoCodec = "h264";
  for (auto [mbps, bits] : {std::pair{0.4, 1'000'000LL}, {12.5, 12'500'000LL}, {-3.0, 1'000'000LL}}) {
    q.estimatedVideoBitrateMbps = mbps;
    EXPECT_EQ(resolveAssetWriterVideoPlan(q).averageBitrate, bits) << mbps;
  }
  q.keyFrameIntervalSeconds = 0;
  auto plan = resolveAssetWriterVideoPlan(q);
  EXPECT_DOUBLE_EQ(plan.keyFrameIntervalSeconds, 1.0 / 30.0);
  EXPECT_EQ(plan.qualityPlanSupport.selectedVideoPreset, "AVAssetWriter");
  EXPECT_TRUE(plan.qualityPlanSupport.honorsVideoCodec);
  EXPECT_TRUE(plan.qualityPlanSupport.honorsProfile);
  EXPECT_FALSE(plan.qualityPlanSupport.honorsAllowHardwareEncode);
  EXPECT_EQ(plan.qualityPlanSupport.notes, (std::vector<std::string>{"avassetwriter_render_encode",
                                                                     "estimated_video_bitrate_applied",
                                                                     "network_optimized_mp4"}));
}

class FakePresets : public ExportPresetCatalog {
 public:
  explicit FakePresets(std::set<std::string> compatible) : compatible_(std::move(compatible)) {}
  std::string passthroughPreset() const override { return "passthrough"; }
  std::string highestQualityPreset() const override { return "highest"; }
  std::vector<std::string> allPresets() const override { return {"low", "medium", "passthrough", "highest"}; }
  bool isCompatible(const std::string& p) const override { return compatible_.count(p) > 0; }

 private:
  std::set<std::string> compatible_;
};

TEST(ExportPlan, PresetFallbacksAndNotes) {
  struct Case {
    std::set<std::string> compatible;
    std::string preset;
    std::string firstNote;
  };
  const Case cases[] = {
      {{"passthrough", "highest"}, "passthrough", "quality_mode_preserves_source_video"},
      {{"highest", "low"}, "highest", "preferred_preset_unavailable:passthrough"},
      {{"medium"}, "medium", "preferred_and_fallback_unavailable"},
      {{}, "passthrough", "compatible_preset_query_empty"},
  };
  NativeQualityPlan q;
  q.videoCodec = "hevc";
  for (const auto& c : cases) {
    auto plan = resolveVideoExportPlan(FakePresets(c.compatible), q);
    EXPECT_EQ(plan.presetName, c.preset);
    EXPECT_EQ(plan.qualityPlanSupport.selectedVideoPreset, c.preset);
    EXPECT_EQ(plan.qualityPlanSupport.notes.front(), c.firstNote);
    EXPECT_EQ(plan.qualityPlanSupport.notes.back(), "network_optimized_mp4");
    EXPECT_FALSE(plan.qualityPlanSupport.honorsVideoCodec);
    EXPECT_FALSE(plan.qualityPlanSupport.honorsEstimatedVideoBitrate);
  }
}

TEST(OutputLocations, CreatesDirectoriesAndRemovesStaleFiles) {
  testing::TempDir dir;
  std::string a = dir.file("new/dir/a.tmp.mp4");
  std::string b = dir.file("new/dir/b.tmp.m4a");
  prepareOutputLocations({a}, dir.file("final/out.mp4"));
  testing::writeFile(a, "stale");
  testing::writeFile(b, "stale");
  prepareOutputLocations({a, b}, dir.file("final/out.mp4"));
  EXPECT_TRUE(std::filesystem::is_directory(dir.file("final")));
  EXPECT_FALSE(std::filesystem::exists(a));
  EXPECT_FALSE(std::filesystem::exists(b));
  // A parent that is a file cannot become a directory.
  testing::writeFile(dir.file("blocker"), "x");
  EXPECT_THROW(prepareOutputLocations({dir.file("blocker/x.mp4")}, dir.file("final/out.mp4")),
               std::filesystem::filesystem_error);
}

}  // namespace
}  // namespace vantrel::exporter
