// End-to-end runs of the export program on recordings generated with the
// ffmpeg command line, checked with ffprobe: event order, the pass-through
// copy, the rendered output, and failures.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "fixtures.h"
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

// Video stream facts and the grey level at given pixels of every frame, read
// back with the ffmpeg tools.
json probeStream(const std::string& path, const std::string& stream) {
  auto r = run({"/usr/bin/ffprobe", "-v", "error", "-select_streams", stream, "-count_frames", "-show_entries",
                "stream=codec_name,profile,width,height,nb_read_frames,duration,time_base:stream_side_data=rotation",
                "-of", "json", path});
  auto streams = json::parse(r.out)["streams"];
  return streams.empty() ? json() : streams[0];
}

// RGB of one pixel in every frame.
std::vector<std::array<int, 3>> pixelPerFrame(const std::string& path, int x, int y) {
  auto r = run({"/usr/bin/ffmpeg", "-v", "error", "-i", path, "-vf",
                "format=rgb24,crop=1:1:" + std::to_string(x) + ":" + std::to_string(y), "-f", "rawvideo", "-"});
  std::vector<std::array<int, 3>> out;
  for (size_t i = 0; i + 2 < r.out.size(); i += 3) {
    out.push_back({static_cast<unsigned char>(r.out[i]), static_cast<unsigned char>(r.out[i + 1]),
                   static_cast<unsigned char>(r.out[i + 2])});
  }
  return out;
}

// Recordings the pass-through path must copy as players expect them: a phone
// recording with its 90-degree display matrix (copied, then muxed with its
// sound), and a 29.97 fps recording with B-frames exported to its very end
// (2.002 s, which the timeline rounds to 1/600 s).
TEST(ExportVideo, PassThroughKeepsRotationAndCopiesReorderedVideoToItsEnd) {
  TempDir dir;
  makeRecording(dir.file("landscape.mp4"), 2, true);
  auto rotated = run({"/usr/bin/ffmpeg", "-v", "error", "-y", "-i", dir.file("landscape.mp4"), "-c", "copy",
                      "-metadata:s:v:0", "rotate=90", dir.file("rotated.mp4")});
  ASSERT_EQ(rotated.exitStatus, 0) << rotated.err;
  auto ntsc = run({"/usr/bin/ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                   "testsrc2=size=1280x720:rate=30000/1001", "-frames:v", "60", "-c:v", "libx264", "-preset",
                   "veryfast", "-bf", "2", "-g", "30", "-pix_fmt", "yuv420p", dir.file("ntsc.mp4")});
  ASSERT_EQ(ntsc.exitStatus, 0) << ntsc.err;

  struct Case {
    const char* name;
    std::string source;
    double seconds;
    const char* aspectRatio;
    bool withAudio;
  };
  const Case cases[] = {
      {"rotated recording with sound", dir.file("rotated.mp4"), 2.0, "9:16", true},
      {"29.97 fps with B-frames", dir.file("ntsc.mp4"), 2.002, "16:9", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    json m = manifestFor({c.source}, c.seconds);
    m["scene"]["settings"]["video"]["aspectRatio"] = c.aspectRatio;
    if (c.withAudio) {
      m["audioPlan"]["includeAudioTrack"] = true;
      m["audioPlan"]["sourceAudioPath"] = c.source;
      m["audioPlan"]["sourceAudioPaths"] = {c.source};
    }
    auto job = runJob(dir, m);
    ASSERT_EQ(job.result.exitStatus, 0) << job.result.out << job.result.err;
    const auto& report = job.events[job.events.size() - 2]["performanceReport"];
    EXPECT_EQ(report["qualityPlanSupport"]["selectedVideoPreset"], "AVAssetExportPresetPassthrough");
    const std::string out = dir.file("out/final.mp4");
    EXPECT_EQ(packetHashes(out), packetHashes(c.source));
    const json got = probeStream(out, "v:0");
    const json src = probeStream(c.source, "v:0");
    ASSERT_EQ(src.contains("side_data_list"), std::string(c.aspectRatio) == "9:16");  // the fixture is rotated
    EXPECT_EQ(got.value("side_data_list", json()), src.value("side_data_list", json()));
    EXPECT_EQ(got["time_base"], src["time_base"]);
    EXPECT_EQ(got["nb_read_frames"], src["nb_read_frames"]);
    EXPECT_NEAR(std::stod(got["duration"].get<std::string>()), c.seconds, 0.002);
    EXPECT_EQ(probeStream(out, "a:0").is_null(), !c.withAudio);
  }
}

TEST(ExportVideo, RenderedExportIsStyledCutFrameExactlyAndKeepsItsSound) {
  TempDir dir;
  // 1.5 s at 30 fps whose frame n is a flat grey of level 4n + 20, with a tone.
  auto made = run({"/usr/bin/ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "color=c=black:s=640x360:r=30:d=1.5",
                   "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=1.5", "-vf",
                   "geq=lum='4*N+20':cb=128:cr=128", "-c:v", "libx264", "-qp", "0", "-g", "15", "-bf", "0",
                   "-pix_fmt", "yuv420p", "-c:a", "aac", "-b:a", "128k", dir.file("source.mp4")});
  ASSERT_EQ(made.exitStatus, 0) << made.err;
  json m = manifestFor({dir.file("source.mp4")}, 1.0);
  m["qualityPlan"]["compression"] = "high";
  // Two cuts: source 0-0.5 s, then 1.0-1.5 s.
  json second = m["videoPlan"]["segments"][0];
  m["videoPlan"]["segments"][0]["sourceEndTime"] = 0.5;
  m["videoPlan"]["segments"][0]["outputEndTime"] = 0.5;
  second["segmentId"] = "second";
  second["sourceStartTime"] = 1.0;
  second["sourceEndTime"] = 1.5;
  second["outputStartTime"] = 0.5;
  second["outputEndTime"] = 1.0;
  m["videoPlan"]["segments"].push_back(second);
  auto& video = m["scene"]["settings"]["video"];
  video["padding"] = 64;
  video["borderRadius"] = 24;
  video["shadow"]["enabled"] = true;
  m["scene"]["settings"]["background"] = {{"type", "gradient"}, {"color", "#FF0000"}, {"secondaryColor", "#0000FF"},
                                          {"gradientAngle", 90}, {"pattern", "none"}, {"patternOpacity", 0}};
  m["audioPlan"]["includeAudioTrack"] = true;
  m["audioPlan"]["sourceAudioPath"] = dir.file("source.mp4");
  m["audioPlan"]["sourceAudioPaths"] = {dir.file("source.mp4")};

  auto job = runJob(dir, m);
  ASSERT_EQ(job.result.exitStatus, 0) << job.result.out << job.result.err;
  EXPECT_EQ(job.substages, (std::vector<std::string>{"started", "progress/preparing/manifest", "telemetry",
                                                     "progress/preparing/composition",
                                                     "progress/rendering/avassetwriter_render_encode",
                                                     "progress/finalizing/promote_output", "telemetry", "completed"}));
  const auto& report = job.events[job.events.size() - 2]["performanceReport"];
  EXPECT_EQ(report["framesEncoded"], 30);
  EXPECT_FALSE(report["metalUsed"]);
  EXPECT_NE(report["sceneProfile"]["sceneClass"], "simple-passthrough");

  const std::string out = dir.file("out/final.mp4");
  const json v = probeStream(out, "v:0");
  EXPECT_EQ(v["codec_name"], "h264");
  EXPECT_EQ(v["profile"], "High");
  EXPECT_EQ(v["width"], 1280);
  EXPECT_EQ(v["height"], 720);
  EXPECT_EQ(v["nb_read_frames"], "30");
  EXPECT_EQ(v["time_base"], "1/30");  // the track's timescale is the frame rate
  EXPECT_NEAR(std::stod(v["duration"].get<std::string>()), 1.0, 0.04);
  EXPECT_EQ(probeStream(out, "a:0")["codec_name"], "aac");

  // The middle of the canvas shows the recording: frame 14 is source frame 14,
  // and the frame at the cut is the second cut's first frame (source frame 30).
  const auto centre = pixelPerFrame(out, 640, 360);
  ASSERT_EQ(centre.size(), 30u);
  auto sourceFrame = [](const std::array<int, 3>& rgb) {
    const double level = rgb[1] * 219.0 / 255.0 + 16;  // back to video levels
    return static_cast<int>(std::lround((level - 20) / 4));
  };
  EXPECT_EQ(sourceFrame(centre[0]), 0);
  EXPECT_EQ(sourceFrame(centre[14]), 14);
  EXPECT_EQ(sourceFrame(centre[15]), 30);
  EXPECT_EQ(sourceFrame(centre[29]), 44);
  // The first frame whole: where the recording sits, its rounded corners, the
  // gradient's ends and the shadow.
  auto image = run({"/usr/bin/ffmpeg", "-v", "error", "-i", out, "-frames:v", "1", "-pix_fmt", "rgb24", "-f",
                    "rawvideo", "-"});
  ASSERT_EQ(image.out.size(), 1280u * 720 * 3);
  auto at = [&](int x, int y) {
    const auto* p = reinterpret_cast<const unsigned char*>(image.out.data()) + (static_cast<size_t>(y) * 1280 + x) * 3;
    return std::array<int, 3>{p[0], p[1], p[2]};
  };
  auto isRecording = [&](int x, int y) {
    const auto c = at(x, y);
    return std::abs(c[0] - c[2]) < 12 && std::abs(c[0] - c[1]) < 12 && sourceFrame(c) == 0;
  };
  int left = 0, top = 0;
  while (left < 640 && !isRecording(left, 360)) ++left;
  while (top < 360 && !isRecording(640, top)) ++top;
  int right = 1279, bottom = 719;
  while (right > 640 && !isRecording(right, 360)) --right;
  while (bottom > 360 && !isRecording(640, bottom)) --bottom;
  // Centred, inset by the padding, and as wide as the fitted 16:9 picture.
  EXPECT_GT(left, 40);
  EXPECT_NEAR(left, 1279 - right, 1);
  EXPECT_NEAR(top, 719 - bottom, 1);
  EXPECT_NEAR((right - left + 1) / double(bottom - top + 1), 16.0 / 9.0, 0.02);
  // The corner pixel is cut away by the rounding; the edges next to it are not.
  EXPECT_FALSE(isRecording(left + 1, top + 1));
  EXPECT_FALSE(isRecording(right - 1, bottom - 1));
  EXPECT_TRUE(isRecording(left + 20, top + 1));
  EXPECT_TRUE(isRecording(left + 1, top + 20));
  // The gradient: red at one end, blue at the other, along the vertical.
  const auto first = at(640, 2), last = at(640, 717);
  EXPECT_NE(first[0] > first[2], last[0] > last[2]);
  // The shadow falls downwards: darker just below the frame than just above,
  // each against the background of the same row far to the side.
  auto luma = [](const std::array<int, 3>& c) { return 0.2126 * c[0] + 0.7152 * c[1] + 0.0722 * c[2] + 1; };
  const double below = luma(at(640, bottom + 8)) / luma(at(4, bottom + 8));
  const double above = luma(at(640, top - 8)) / luma(at(4, top - 8));
  EXPECT_LT(below, 0.8);
  EXPECT_LT(below, above);
  EXPECT_TRUE(std::filesystem::is_empty(dir.file("scratch")));
}

TEST(ExportVideo, ZoomedExportDrawsTheBundledCursorOnThePointer) {
  TempDir dir;
  auto made = run({"/usr/bin/ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "color=c=0xE0E0E0:s=640x360:r=30:d=1",
                   "-c:v", "libx264", "-g", "15", "-bf", "0", "-pix_fmt", "yuv420p", dir.file("source.mp4")});
  ASSERT_EQ(made.exitStatus, 0) << made.err;
  json m = manifestFor({dir.file("source.mp4")}, 1.0);
  m["qualityPlan"]["compression"] = "high";
  // The pointer rests at (0.25, 0.5) of the picture; the camera zooms 2x on it
  // (keyframes in pixels of the 1280x720 canvas).
  json positions = json::array();
  for (int ms = 0; ms <= 1000; ms += 100) positions.push_back({{"x", 0.25}, {"y", 0.5}, {"timestamp", ms}});
  m["videoPlan"]["cursorData"] = {{"positions", positions}, {"screenWidth", 640}, {"screenHeight", 360}};
  m["videoPlan"]["cursorSettings"]["enabled"] = true;
  m["videoPlan"]["cursorSettings"]["size"] = 1.5;
  m["videoPlan"]["resolvedZoomFrames"] = {{{"timestamp", 0}, {"centerX", 320}, {"centerY", 360}, {"zoom", 2},
                                           {"cameraOverlayBlend", 0}, {"isAutoZoom", false},
                                           {"snapToVideoEdge", false}}};
  auto job = runJob(dir, m);
  ASSERT_EQ(job.result.exitStatus, 0) << job.result.out << job.result.err;
  std::vector<std::string> telemetry;
  for (const auto& e : job.events) {
    if (e["type"] == "telemetry" && e.contains("message")) telemetry.push_back(e["message"]);
  }
  EXPECT_NE(std::find(telemetry.begin(), telemetry.end(), "native_cursor_runtime_enabled"), telemetry.end());
  EXPECT_NE(std::find(telemetry.begin(), telemetry.end(), "native_zoom_runtime_enabled"), telemetry.end());

  // Frame 15: the pointer's spot is the camera centre, so the glyph's tip sits
  // at the middle of the 1280x720 frame and its body reaches down and right.
  auto image = run({"/usr/bin/ffmpeg", "-v", "error", "-i", dir.file("out/final.mp4"), "-vf", "select=eq(n\\,15)",
                    "-frames:v", "1", "-pix_fmt", "gray", "-f", "rawvideo", "-"});
  ASSERT_EQ(image.out.size(), 1280u * 720);
  auto luma = [&](int x, int y) { return static_cast<unsigned char>(image.out[static_cast<size_t>(y) * 1280 + x]); };
  int darkNearTip = 0, darkBody = 0, darkElsewhere = 0;
  for (int y = 0; y < 720; ++y) {
    for (int x = 0; x < 1280; ++x) {
      if (luma(x, y) > 100) continue;
      if (std::abs(x - 640) <= 6 && std::abs(y - 360) <= 6) ++darkNearTip;
      if (x >= 640 && x < 720 && y >= 360 && y < 470) {
        ++darkBody;
      } else if (x < 620 || x > 760 || y < 340 || y > 490) {
        ++darkElsewhere;
      }
    }
  }
  EXPECT_GT(darkNearTip, 0);
  EXPECT_GT(darkBody, 300);  // a 60 px wide arrow, mostly dark
  EXPECT_EQ(darkElsewhere, 0);
}

TEST(ExportVideo, RecordingCutOffMidFragmentExportsUpToTheCut) {
  // What a recorder killed mid-recording leaves behind: fragments of a second,
  // the last one cut short.
  TempDir dir;
  makeRecording(dir.file("whole.mp4"), 4, true, 640, 360);
  auto frag = run({"/usr/bin/ffmpeg", "-v", "error", "-y", "-i", dir.file("whole.mp4"), "-c", "copy", "-movflags",
                   "frag_keyframe+empty_moov+default_base_moof", "-frag_duration", "1000000", dir.file("frag.mp4")});
  ASSERT_EQ(frag.exitStatus, 0) << frag.err;
  std::string bytes = vantrel::testing::readFile(dir.file("frag.mp4"));
  bytes.resize(bytes.size() * 7 / 10);
  vantrel::testing::writeFile(dir.file("cut.mp4"), bytes);

  for (const bool styled : {false, true}) {
    json m = manifestFor({dir.file("cut.mp4")}, 2.0);
    if (styled) {
      m["qualityPlan"]["compression"] = "high";
      m["scene"]["settings"]["video"]["padding"] = 40;
    }
    auto job = runJob(dir, m, styled ? "out/styled.mp4" : "out/plain.mp4");
    ASSERT_EQ(job.result.exitStatus, 0) << job.result.out << job.result.err;
    bool told = false;
    for (const auto& e : job.events)
      told = told || (e["type"] == "telemetry" && e.value("message", "") == "native_source_cut_fragment_recovered");
    EXPECT_TRUE(told) << (styled ? "styled" : "plain");
    const json v = probeStream(dir.file(styled ? "out/styled.mp4" : "out/plain.mp4"), "v:0");
    EXPECT_NEAR(std::stod(v["duration"].get<std::string>()), 2.0, 0.1) << (styled ? "styled" : "plain");
  }
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
  // Its sequence parameter set declares a picture too big to decode; the index still says 1280x720.
  const std::string huge = vantrel::media::test::hugePictureCopy(dir.file("source.mp4"), "huge.mp4", 16000, 16000);

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
      {"picture declared 16000x16000", {huge}, "out/final.mp4", "16000x16000", true},
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
