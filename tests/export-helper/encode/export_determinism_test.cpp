// Two runs of the export program on the same manifest must give the same
// picture: every decoded frame of both outputs hashes the same. The scene
// renders (gradient, padding, corners, shadow, stroke, a zoom that pans fast
// and the bundled cursor), so band threads, caches and the encoder's own
// threads all take part.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "vantrel/testing/process.h"

namespace {

using nlohmann::json;
using vantrel::testing::ProcessOptions;
using vantrel::testing::runProcess;
using vantrel::testing::TempDir;

const std::string kHelper = VANTREL_EXPORT_HELPER_PATH;
const std::string kFixtures = VANTREL_EXPORT_FIXTURES;

// The md5 of each decoded frame, in order (ffmpeg framemd5: timestamps and hashes).
std::vector<std::string> decodedFrameHashes(const std::string& path) {
  const auto r = runProcess({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map", "0:v", "-f",
                             "framemd5", "-"});
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  std::vector<std::string> out;
  for (const auto& line : r.outLines()) {
    if (!line.empty() && line[0] != '#') out.push_back(line);
  }
  return out;
}

TEST(ExportDeterminism, TwoRunsDecodeToTheSameFrames) {
  TempDir dir;
  auto made = runProcess({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                          "testsrc2=size=640x360:rate=30:duration=1", "-c:v", "libx264", "-preset", "ultrafast",
                          "-g", "15", "-bf", "0", "-pix_fmt", "yuv420p", dir.file("source.mp4")});
  ASSERT_EQ(made.exitStatus, 0) << made.err;

  json m = json::parse(vantrel::testing::readFile(kFixtures + "/minimal_manifest.json"));
  const std::string source = dir.file("source.mp4");
  m["qualityPlan"]["resolution"] = "720p";
  m["qualityPlan"]["compression"] = "high";
  m["videoPlan"]["sourceVideoPath"] = source;
  m["videoPlan"]["sourceVideoPaths"] = {source};
  m["videoPlan"]["durationSeconds"] = 1;
  m["videoPlan"]["segments"][0]["sourceEndTime"] = 1;
  m["videoPlan"]["segments"][0]["outputEndTime"] = 1;
  auto& video = m["scene"]["settings"]["video"];
  video["padding"] = 96;
  video["borderRadius"] = 40;
  video["shadow"]["enabled"] = true;
  video["stroke"] = {{"enabled", true}, {"width", 6}, {"color", "#FFE080"}, {"opacity", 90}, {"position", "outside"}};
  m["scene"]["settings"]["background"] = {{"type", "gradient"}, {"color", "#FF3060"}, {"secondaryColor", "#2040FF"},
                                          {"gradientAngle", 135}, {"pattern", "none"}, {"patternOpacity", 0}};
  auto zoom = [](int ms, double x, double y, double z) {
    return json{{"timestamp", ms},       {"centerX", x},          {"centerY", y},
                {"zoom", z},             {"cameraOverlayBlend", 0}, {"isAutoZoom", false},
                {"snapToVideoEdge", false}};
  };
  m["videoPlan"]["resolvedZoomFrames"] = {zoom(0, 640, 360, 1), zoom(200, 480, 300, 1.8), zoom(400, 480, 300, 1.8),
                                          zoom(600, 820, 420, 1.8)};
  json positions = json::array();
  for (int ms = 0; ms <= 1000; ms += 50) {
    positions.push_back({{"x", 0.2 + 0.5 * ms / 1000.0}, {"y", 0.3 + 0.3 * (ms % 400) / 400.0}, {"timestamp", ms}});
  }
  positions[8]["pressed"] = true;
  m["videoPlan"]["cursorData"] = {{"positions", positions}, {"screenWidth", 640}, {"screenHeight", 360}};
  m["videoPlan"]["cursorSettings"]["enabled"] = true;
  m["videoPlan"]["cursorSettings"]["size"] = 1.5;
  m["videoPlan"]["cursorSettings"]["clickEffect"] = true;
  vantrel::testing::writeFile(dir.file("manifest.json"), m.dump());

  std::vector<std::vector<std::string>> runs;
  for (int run = 0; run < 2; ++run) {
    const std::string out = dir.file("out" + std::to_string(run) + ".mp4");
    ProcessOptions options;
    options.timeout = std::chrono::seconds(120);
    const auto r = runProcess({kHelper, "run", "--job-id", "d", "--manifest-path", dir.file("manifest.json"),
                               "--temp-output-path", dir.file("scratch/export.tmp.mp4"), "--final-output-path", out},
                              options);
    ASSERT_EQ(r.exitStatus, 0) << r.out << r.err;
    runs.push_back(decodedFrameHashes(out));
  }
  ASSERT_EQ(runs[0].size(), 30u);
  EXPECT_EQ(runs[0], runs[1]);
}

}  // namespace
