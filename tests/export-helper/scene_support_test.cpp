#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "manifest/manifest.h"
#include "support/capabilities.h"
#include "support/scene_support.h"
#include "vantrel/common/json_out.h"
#include "vantrel/testing/process.h"

namespace vantrel::exporter {
namespace {

NativeExportManifestV1 minimal() {
  return decodeManifest(testing::readFile(std::string(VANTREL_EXPORT_FIXTURES) + "/minimal_manifest.json"));
}

struct SupportCase {
  const char* name;
  std::function<void(NativeExportManifestV1&)> mutate;
  std::optional<std::string> reason;  // nothing: supported
};

TEST(SceneSupport, RulesInOrder) {
  auto positions = [](NativeExportManifestV1& m, std::size_t n) {
    m.videoPlan.cursorData = NativeCursorData{};
    m.videoPlan.cursorData->positions.resize(n);
  };
  const SupportCase cases[] = {
      {"plain mp4", [](auto&) {}, std::nullopt},
      {"gif", [](auto& m) { m.qualityPlan.format = "gif"; }, std::nullopt},
      {"mov", [](auto& m) { m.qualityPlan.format = "mov"; }, "native_helper_unsupported_format"},
      {"GIF", [](auto& m) { m.qualityPlan.format = "GIF"; }, "native_helper_unsupported_format"},
      {"format before sources",
       [](auto& m) {
         m.qualityPlan.format = "webm";
         m.videoPlan.segments.clear();
       },
       "native_helper_unsupported_format"},
      {"no sources", [](auto& m) { m.videoPlan.sourceVideoPaths.clear(); }, "native_helper_requires_video_source"},
      {"no segments", [](auto& m) { m.videoPlan.segments.clear(); }, "native_helper_requires_video_source"},
      {"index -1", [](auto& m) { m.videoPlan.segments[0].sourceIndex = -1; }, "native_helper_invalid_source_index"},
      {"index = count", [](auto& m) { m.videoPlan.segments[0].sourceIndex = 1; }, "native_helper_invalid_source_index"},
      {"spring cursor with samples",
       [&](auto& m) {
         m.videoPlan.cursorSettings.enabled = true;
         m.videoPlan.cursorSettings.mode = "spring";
         positions(m, 1);
       },
       "native_helper_cursor_not_implemented"},
      {"spring cursor without samples",
       [&](auto& m) {
         m.videoPlan.cursorSettings.enabled = true;
         m.videoPlan.cursorSettings.mode = "spring";
         positions(m, 0);
       },
       std::nullopt},
      {"spring cursor disabled",
       [&](auto& m) {
         m.videoPlan.cursorSettings.mode = "spring";
         positions(m, 3);
       },
       std::nullopt},
      {"smooth cursor",
       [&](auto& m) {
         m.videoPlan.cursorSettings.enabled = true;
         m.videoPlan.cursorSettings.mode = "smooth";
         positions(m, 3);
       },
       std::nullopt},
  };
  for (const auto& c : cases) {
    auto m = minimal();
    c.mutate(m);
    auto check = evaluateNativeSceneSupport(m);
    EXPECT_EQ(check.isSupported, !c.reason.has_value()) << c.name;
    EXPECT_EQ(check.reason, c.reason) << c.name;
  }
}

TEST(Capabilities, ReportsThisPlatformInKeyOrder) {
  EXPECT_EQ(json::encodeCompact(currentCapabilities().toJson()),
            R"({"version":"0.6.0","platform":"linux","available":true,"supportsPerspective3D":true,)"
            R"("supportsNativeExport":true,"supportsVideoToolbox":false,"supportsMetal":false,)"
            R"("supportedOutputModes":["single-source-segment-video","single-source-source-audio",)"
            R"("single-source-smooth-cursor","single-source-zoom","animated-gif"]})");
}

}  // namespace
}  // namespace vantrel::exporter
