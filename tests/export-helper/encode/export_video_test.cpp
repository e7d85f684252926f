// End-to-end runs of the export program on recordings generated with the
// ffmpeg command line, checked with ffprobe: event order, the pass-through
// copy, the rendered output, and failures.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <string>
#include <vector>

#include "vantrel/testing/process.h"

namespace {

using nlohmann::json;
using vantrel::testing::ProcessOptions;
using vantrel::testing::ProcessResult;
using vantrel::testing::runProcess;
using vantrel::testing::TempDir;

const std::string kHelper = VANTREL_EXPORT_HELPER_PATH;
const std::string kFixtures = VANTREL_EXPORT_FIXTURES;

ProcessResult run(std::vector<std::string> argv, int seconds = 120) {
  ProcessOptions options;
  options.timeout = std::chrono::seconds(seconds);
  return runProcess(argv, options);
}

// A 1280x720 30 fps recording without B-frames (key frame every 10 frames),
// optionally with a 440 Hz AAC tone.
void makeRecording(const std::string& path, double seconds, bool withAudio, int width = 1280, int height = 720) {
  std::vector<std::string> argv = {"/usr/bin/ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                                   "testsrc2=size=" + std::to_string(width) + "x" + std::to_string(height) +
                                       ":rate=30:duration=" + std::to_string(seconds)};
  if (withAudio) {
    for (std::string a : {"-f", "lavfi", "-i"}) argv.push_back(a);
    argv.push_back("sine=frequency=440:sample_rate=48000:duration=" + std::to_string(seconds));
  }
  for (std::string a : {"-c:v", "libx264", "-preset", "ultrafast", "-bf", "0", "-g", "10", "-pix_fmt", "yuv420p"})
    argv.push_back(a);
  if (withAudio) {
    for (std::string a : {"-c:a", "aac", "-b:a", "128k"}) argv.push_back(a);
  }
  argv.push_back(path);
  auto r = run(argv);
  ASSERT_EQ(r.exitStatus, 0) << r.err;
}

// Frame-level checksums of the video stream's compressed packets.
std::string packetHashes(const std::string& path) {
  auto r = run({"/usr/bin/ffmpeg", "-v", "error", "-i", path, "-map", "0:v", "-c", "copy", "-f", "framemd5", "-"});
  std::string out;
  for (const auto& line : r.outLines()) {
    if (line.empty() || line[0] == '#') continue;
    out += line.substr(line.rfind(',') + 1) + "\n";  // the hash column only: timestamps may be rebased
  }
  return out;
}

json manifestFor(const std::vector<std::string>& sources, double seconds) {
  json m = json::parse(vantrel::testing::readFile(kFixtures + "/minimal_manifest.json"));
  m["qualityPlan"]["resolution"] = "720p";
  m["videoPlan"]["sourceVideoPath"] = sources.front();
  m["videoPlan"]["sourceVideoPaths"] = sources;
  m["videoPlan"]["durationSeconds"] = seconds;
  m["videoPlan"]["segments"][0]["sourceEndTime"] = seconds;
  m["videoPlan"]["segments"][0]["outputEndTime"] = seconds;
  return m;
}

struct Job {
  ProcessResult result;
  std::vector<json> events;
  std::vector<std::string> substages;  // "type" or "type/stage/substage"
};

Job runJob(const TempDir& dir, const json& manifest, const std::string& finalName = "out/final.mp4") {
  vantrel::testing::writeFile(dir.file("manifest.json"), manifest.dump());
  Job job;
  job.result = run({kHelper, "run", "--job-id", "j", "--manifest-path", dir.file("manifest.json"),
                    "--temp-output-path", dir.file("scratch/export.tmp.mp4"), "--final-output-path",
                    dir.file(finalName)});
  for (const auto& line : job.result.outLines()) {
    auto e = json::parse(line);
    std::string tag = e["type"];
    if (e.contains("substage")) tag += "/" + e["stage"].get<std::string>() + "/" + e["substage"].get<std::string>();
    if (job.substages.empty() || job.substages.back() != tag) job.substages.push_back(tag);
    job.events.push_back(e);
  }
  return job;
}

TEST(ExportVideo, PassThroughCopiesTheRecordingUnchanged) {
  TempDir dir;
  makeRecording(dir.file("source.mp4"), 2, false);
  // A stale final file is replaced.
  std::filesystem::create_directories(dir.file("out"));
  vantrel::testing::writeFile(dir.file("out/final.mp4"), "old");
  auto job = runJob(dir, manifestFor({dir.file("source.mp4")}, 2));
  ASSERT_EQ(job.result.exitStatus, 0) << job.result.out;
  EXPECT_EQ(job.substages,
            (std::vector<std::string>{"started", "progress/preparing/manifest", "telemetry",
                                      "progress/preparing/composition", "telemetry",
                                      "progress/rendering/simple_passthrough", "progress/finalizing/promote_output",
                                      "telemetry", "completed"}));
  EXPECT_EQ(job.events[4]["message"], "native_simple_passthrough_enabled");
  const auto& timing = job.events[job.events.size() - 2];
  EXPECT_EQ(timing["performanceReport"]["sceneProfile"]["sceneClass"], "simple-passthrough");
  EXPECT_EQ(timing["performanceReport"]["framesEncoded"], 60);
  EXPECT_FALSE(timing["performanceReport"]["metalUsed"]);
  EXPECT_EQ(timing["performanceReport"]["qualityPlanSupport"]["selectedVideoPreset"],
            "AVAssetExportPresetPassthrough");
  const auto& done = job.events.back();
  EXPECT_EQ(done["fileSizeBytes"], std::filesystem::file_size(dir.file("out/final.mp4")));
  EXPECT_EQ(packetHashes(dir.file("out/final.mp4")), packetHashes(dir.file("source.mp4")));
  // No scratch file survives a successful export.
  EXPECT_TRUE(std::filesystem::is_empty(dir.file("scratch")));
}

TEST(ExportVideo, FailuresEndWithTheirText) {
  TempDir dir;
  makeRecording(dir.file("source.mp4"), 1, false);
  auto audioOnly = run({"/usr/bin/ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "sine=duration=1", "-c:a", "aac",
                        dir.file("voice.m4a")});
  ASSERT_EQ(audioOnly.exitStatus, 0);
  std::string truncated = vantrel::testing::readFile(dir.file("source.mp4"));
  vantrel::testing::writeFile(dir.file("truncated.mp4"), truncated.substr(0, truncated.size() / 3));
  vantrel::testing::writeFile(dir.file("blocker"), "a file where a directory should be");
  // With its index at the front, a cut-short recording still opens: its end must not pass for the whole.
  auto faststart = run({"/usr/bin/ffmpeg", "-v", "error", "-y", "-i", dir.file("source.mp4"), "-c", "copy", "-movflags",
                        "+faststart", dir.file("faststart.mp4")});
  ASSERT_EQ(faststart.exitStatus, 0);
  std::string whole = vantrel::testing::readFile(dir.file("faststart.mp4"));
  vantrel::testing::writeFile(dir.file("cut-short.mp4"), whole.substr(0, whole.size() / 2));

  struct Case {
    const char* name;
    std::vector<std::string> sources;
    std::string finalName;
    std::string expectedText;  // a part of the failed event's text
    bool reachesComposition;
  };
  const Case cases[] = {
      {"second source without video",
       {dir.file("source.mp4"), dir.file("voice.m4a")},
       "out/final.mp4",
       "native_helper_missing_source_video_track:" + dir.file("voice.m4a"),
       false},
      {"truncated source", {dir.file("truncated.mp4")}, "out/final.mp4", dir.file("truncated.mp4"), false},
      {"missing source", {dir.file("nope.mp4")}, "out/final.mp4", dir.file("nope.mp4"), false},
      {"source cut short after its index", {dir.file("cut-short.mp4")}, "out/final.mp4", "truncated", true},
      {"final directory cannot be made", {dir.file("source.mp4")}, "blocker/final.mp4", "blocker", true},
  };
  for (const auto& c : cases) {
    auto job = runJob(dir, manifestFor(c.sources, 1), c.finalName);
    EXPECT_EQ(job.result.exitStatus, 1) << c.name;
    ASSERT_FALSE(job.events.empty()) << c.name;
    EXPECT_EQ(job.events.back()["type"], "failed") << c.name;
    EXPECT_NE(job.events.back()["errorMessage"].get<std::string>().find(c.expectedText), std::string::npos)
        << c.name << ": " << job.events.back()["errorMessage"];
    bool composition = std::find(job.substages.begin(), job.substages.end(), "progress/preparing/composition") !=
                       job.substages.end();
    EXPECT_EQ(composition, c.reachesComposition) << c.name;
  }
}

}  // namespace
