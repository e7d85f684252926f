#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>

#include "manifest/decode.h"
#include "manifest/manifest.h"
#include "vantrel/testing/process.h"

namespace vantrel::exporter {
namespace {

using nlohmann::json;

json loadFixture(const std::string& name) {
  return json::parse(testing::readFile(std::string(VANTREL_EXPORT_FIXTURES) + "/" + name));
}

enum class Op { remove, set };

struct MutationCase {
  const char* name;
  const char* fixture;
  const char* pointer;
  Op op;
  const char* value;  // JSON text for Op::set
  bool decodes;
};

void PrintTo(const MutationCase& c, std::ostream* os) { *os << c.name; }

class ManifestMutation : public ::testing::TestWithParam<MutationCase> {};

TEST_P(ManifestMutation, DecodesOrRejectsWholeDocument) {
  const auto& c = GetParam();
  json doc = loadFixture(c.fixture);
  json::json_pointer ptr(c.pointer);
  if (c.op == Op::remove) {
    doc[ptr.parent_pointer()].erase(ptr.back());
  } else {
    doc[ptr] = json::parse(c.value);
  }
  std::string text = doc.dump();
  if (c.decodes) {
    EXPECT_NO_THROW(decodeManifest(text));
  } else {
    EXPECT_THROW(decodeManifest(text), vantrel::json::DecodeError);
  }
}

constexpr const char* kMin = "minimal_manifest.json";
constexpr const char* kFull = "full_manifest.json";

INSTANTIATE_TEST_SUITE_P(
    Cases, ManifestMutation,
    ::testing::Values(
        // Optional keys may be absent or null; required ones may be neither.
        MutationCase{"no_canvas_reference", kFull, "/scene/canvasReferenceDimensions", Op::remove, "", true},
        MutationCase{"no_shadow_size", kFull, "/scene/settings/video/shadow/size", Op::remove, "", true},
        MutationCase{"null_shadow_size", kFull, "/scene/settings/video/shadow/size", Op::set, "null", true},
        MutationCase{"no_gradient_stops", kFull, "/scene/settings/background/gradientStops", Op::remove, "", true},
        MutationCase{"no_wallpaper_transform", kFull, "/scene/settings/background/wallpaperTransform", Op::remove, "",
                     true},
        MutationCase{"no_stroke_position", kMin, "/scene/settings/video/stroke/position", Op::remove, "", false},
        MutationCase{"no_background_pattern", kMin, "/scene/settings/background/pattern", Op::remove, "", false},
        MutationCase{"null_project_name", kMin, "/projectName", Op::set, "null", false},
        MutationCase{"no_camera_plan", kMin, "/cameraPlan", Op::remove, "", false},
        // Exact JSON types.
        MutationCase{"fractional_frame_rate", kMin, "/qualityPlan/frameRate", Op::set, "29.97", false},
        MutationCase{"integer_padding", kMin, "/scene/settings/video/padding", Op::set, "8", true},
        MutationCase{"numeric_boolean", kMin, "/scene/settings/video/stroke/enabled", Op::set, "1", false},
        MutationCase{"string_manifest_version", kMin, "/manifestVersion", Op::set, "\"1\"", false},
        MutationCase{"fractional_target_bitrate", kFull, "/audioPlan/targetBitrate", Op::set, "128000.5", false},
        MutationCase{"string_alpha", kFull, "/videoPlan/resolvedZoomFrames/0/perspective/motionSamples/0/alpha", Op::set,
                     "\"0.5\"", false},
        MutationCase{"unknown_key_ignored", kMin, "/scene/settings/background/theme", Op::set, "{\"x\":[1]}", true},
        // Video plan.
        MutationCase{"no_zoom_points", kMin, "/videoPlan/zoomPoints", Op::remove, "", false},
        MutationCase{"no_resolved_zoom_frames", kFull, "/videoPlan/resolvedZoomFrames", Op::remove, "", true},
        MutationCase{"empty_cursor_positions", kFull, "/videoPlan/cursorData/positions", Op::set, "[]", true},
        MutationCase{"no_cursor_positions", kFull, "/videoPlan/cursorData/positions", Op::remove, "", false},
        MutationCase{"short_perspective_matrix", kFull, "/videoPlan/resolvedZoomFrames/0/perspective/matrix", Op::set,
                     "[1,0,0,0,1,0,0,0]", true},
        MutationCase{"negative_source_index", kMin, "/videoPlan/segments/0/sourceIndex", Op::set, "-1", true},
        MutationCase{"segment_without_speed", kMin, "/videoPlan/segments/0/speed", Op::remove, "", false},
        // Audio and camera plans.
        MutationCase{"no_source_audio_paths_without_audio", kMin, "/audioPlan/sourceAudioPaths", Op::remove, "", false},
        MutationCase{"segment_settings_as_array", kMin, "/audioPlan/videoAudioSegmentSettingsById", Op::set, "[]",
                     false},
        MutationCase{"segment_settings_bad_entry", kFull, "/audioPlan/videoAudioSegmentSettingsById/s1/volume", Op::set,
                     "\"loud\"", false},
        MutationCase{"camera_settings_missing_key", kFull, "/cameraPlan/cameraSettingsById/c1/radius", Op::remove, "",
                     false},
        MutationCase{"no_mirrored", kFull, "/cameraPlan/cameraSettingsById/c1/mirrored", Op::remove, "", true},
        // Overlay plan.
        MutationCase{"filler_layer_shape", kFull, "/overlayPlan/fillerBlocks/0/layers/0/type", Op::set, "\"shape\"",
                     false},
        MutationCase{"filler_layer_capital_text", kFull, "/overlayPlan/fillerBlocks/0/layers/0/type", Op::set,
                     "\"Text\"", false},
        MutationCase{"filler_layer_without_type", kFull, "/overlayPlan/fillerBlocks/0/layers/0/type", Op::remove, "",
                     false},
        MutationCase{"filler_text_layer_without_id", kFull, "/overlayPlan/fillerBlocks/0/layers/0/id", Op::remove, "",
                     false},
        MutationCase{"filler_image_layer_without_width", kFull, "/overlayPlan/fillerBlocks/0/layers/1/width",
                     Op::remove, "", false},
        MutationCase{"subtitle_lines_not_nested", kFull, "/overlayPlan/subtitleCaptions/0/lines", Op::set,
                     "[{\"id\":\"w\",\"text\":\"a\",\"timelineStart\":0,\"timelineEnd\":1}]", false},
        MutationCase{"annotation_version_fraction", kFull, "/overlayPlan/annotationData/version", Op::set, "1.5", false},
        MutationCase{"no_subtitle_preset", kFull, "/overlayPlan/subtitlePreset", Op::remove, "", true},
        MutationCase{"no_filler_blocks", kMin, "/overlayPlan/fillerBlocks", Op::remove, "", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ManifestDecode, FullManifestKeepsEveryValue) {
  auto m = decodeManifest(loadFixture(kFull).dump());
  EXPECT_EQ(m.projectName, "Minimal");
  EXPECT_EQ(m.qualityPlan.frameRate, 30);
  ASSERT_TRUE(m.scene.canvasReferenceDimensions);
  EXPECT_EQ(m.scene.canvasReferenceDimensions->width, 2880);
  EXPECT_EQ(m.scene.settings.video.shadow.size, 60);
  EXPECT_EQ(m.scene.settings.background.wallpaperTransform->focalY, 0.75);
  EXPECT_EQ(m.videoPlan.segments[0].padding, 24);
  const auto& persp = m.videoPlan.resolvedZoomFrames->at(0).perspective;
  ASSERT_TRUE(persp && persp->motionSamples);
  EXPECT_EQ(persp->motionSamples->at(0).alpha, 0.5);
  EXPECT_EQ(persp->motionSamples->at(0).frame.viewport.size(), 4u);
  EXPECT_EQ(m.videoPlan.cursorData->positions[0].cursorType, "text");
  EXPECT_EQ(m.audioPlan.videoAudioSegmentSettingsById.at("s1").audioDelay, 0.2);
  EXPECT_EQ(m.audioPlan.targetBitrate, 128000);
  EXPECT_EQ(m.cameraPlan.cameraSettingsById.at("c1").mirrored, true);
  EXPECT_EQ(m.overlayPlan.textOverlays[0].text, "Hi \"there\" \\ \xC3\xA9");
  EXPECT_EQ(m.overlayPlan.subtitleCaptions[0].lines[0][0].text, "Hello");
  EXPECT_EQ(m.overlayPlan.annotationData->strokes[0].points[0].timestamp, 1500);
  EXPECT_EQ(m.overlayPlan.backgroundRasterPath, "/tmp/raster.png");

  const auto& layers = *m.overlayPlan.fillerBlocks[0].layers;
  ASSERT_EQ(layers.size(), 2u);
  ASSERT_TRUE(std::holds_alternative<NativeFillerTextLayer>(layers[0]));
  EXPECT_EQ(std::get<NativeFillerTextLayer>(layers[0]).animationSettings->unit, "word");
  ASSERT_TRUE(std::holds_alternative<NativeFillerImageLayer>(layers[1]));
  EXPECT_EQ(std::get<NativeFillerImageLayer>(layers[1]).width, 200);
}

TEST(ManifestDecode, FillerSingleTextFormBecomesOneLayer) {
  auto doc = loadFixture(kFull);
  auto m = decodeManifest(doc.dump());
  auto layers = m.overlayPlan.fillerBlocks[1].effectiveLayers();
  ASSERT_EQ(layers.size(), 1u);
  const auto& text = std::get<NativeFillerTextLayer>(layers[0]);
  EXPECT_EQ(text.id, "f2-default-text");
  EXPECT_EQ(text.type, "text");
  EXPECT_EQ(text.text, "Chapter two");
  EXPECT_EQ(text.verticalAlignment, "bottom");
  EXPECT_EQ(text.color, "#EEEEEE");
  EXPECT_EQ(text.fontWeight, 500);
  EXPECT_EQ(text.animation, "slide-in");
  EXPECT_EQ(text.positionY, 0.6);
  EXPECT_EQ(text.width, 500);

  // An explicit empty list means no contents, even with single-text fields set.
  doc["overlayPlan"]["fillerBlocks"][1]["layers"] = json::array();
  m = decodeManifest(doc.dump());
  EXPECT_TRUE(m.overlayPlan.fillerBlocks[1].effectiveLayers().empty());
}

TEST(ManifestDecode, NoDefaultsAppliedWhileDecoding) {
  auto m = decodeManifest(loadFixture(kMin).dump());
  EXPECT_FALSE(m.scene.settings.video.shadow.size.has_value());
  EXPECT_FALSE(m.audioPlan.renderSilence.has_value());
  EXPECT_FALSE(m.audioPlan.targetBitrate.has_value());
  EXPECT_FALSE(m.overlayPlan.subtitlePreset.has_value());
  EXPECT_FALSE(m.videoPlan.segments[0].padding.has_value());
  EXPECT_TRUE(m.cameraPlan.cameraSettingsById.empty());
  auto d = NativeCameraSettings::defaults();
  EXPECT_EQ(d.shape, "1:1");
  EXPECT_EQ(d.padding, 32);
  EXPECT_EQ(d.radius, 16);
  EXPECT_EQ(d.horizontalAlignment, "right");
  EXPECT_EQ(d.verticalAlignment, "bottom");
}

}  // namespace
}  // namespace vantrel::exporter
