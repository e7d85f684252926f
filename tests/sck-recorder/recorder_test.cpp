// The recorder against a private test desktop (Xvfb, openbox, PulseAudio).

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include <cmath>
#include <filesystem>
#include <thread>

#include "desktop_session.h"
#include "pictures.h"

using namespace vantrel::testing;
using nlohmann::json;
using namespace std::chrono_literals;

namespace {

std::vector<std::string> programArgs(const json& config) { return {SCK_RECORDER, config.dump()}; }

// Reads lines until one with status `status` (or an error line) arrives.
std::optional<json> waitForStatus(Child& child, const std::string& status, std::chrono::milliseconds timeout = 15s,
                                  std::vector<json>* seen = nullptr) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    auto line = child.readLine(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()));
    if (!line) return std::nullopt;
    json j = json::parse(*line);
    if (seen) seen->push_back(j);
    if (j.value("status", "") == status) return j;
    if (j.contains("error") && !j.contains("status") && status != "fatal") return j;
    if (status == "fatal" && j.contains("error")) return j;
  }
  return std::nullopt;
}

struct Probe {
  double videoDuration = 0, audioDuration = 0;
  int width = 0, height = 0;
  int videoFrames = 0;
  bool hasAudio = false;
};

Probe probe(const std::string& path) {
  Probe p;
  const ProcessResult r = runProcess({"/usr/bin/ffprobe", "-v", "error", "-count_packets", "-show_entries",
                                      "stream=codec_type,width,height,duration,nb_read_packets", "-of", "json", path});
  if (r.exitStatus != 0) return p;
  const json j = json::parse(r.out);
  for (const auto& s : j["streams"]) {
    const double d = s.contains("duration") ? std::stod(s["duration"].get<std::string>()) : 0;
    if (s["codec_type"] == "video") {
      p.videoDuration = d;
      p.width = s["width"];
      p.height = s["height"];
      p.videoFrames = std::stoi(s["nb_read_packets"].get<std::string>());
    } else if (s["codec_type"] == "audio") {
      p.hasAudio = true;
      p.audioDuration = d;
    }
  }
  return p;
}

// The first display id the recorder reports.
std::uint32_t firstDisplay(const DesktopSession& desktop) {
  const ProcessResult r = desktop.run({SCK_RECORDER, "--list-displays"});
  EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
  const json list = json::parse(r.out);
  EXPECT_FALSE(list.empty());
  return list.at(0).at("id").get<std::uint32_t>();
}

class Recording : public ::testing::Test {
 protected:
  Recording() : desktop(SessionOptions{true, true}) { display = firstDisplay(desktop); }
  json config(const std::string& name, json extra = json::object()) {
    json c = {{"type", "display"}, {"displayId", display}, {"outputPath", desktop.scratch(name)}};
    for (auto it = extra.begin(); it != extra.end(); ++it) c[it.key()] = it.value();
    return c;
  }
  DesktopSession desktop;
  std::uint32_t display = 0;
};

}  // namespace

TEST(RecorderCommandLine, ConfigurationErrorsAreFatalLines) {
  DesktopSession desktop;
  struct Case {
    std::vector<std::string> argv;
    std::string expected;
  } cases[] = {
      {{SCK_RECORDER}, R"({"error":"invalid_args","message":"Usage: vantrel-sck-recorder '<json-config>'"})"},
      {{SCK_RECORDER, "\xff\xfe"}, R"({"error":"invalid_json","message":"Failed to parse config as UTF-8"})"},
      {{SCK_RECORDER, R"({"type":"window","windowId":7,"outputPath":"/tmp/x.mp4"})"},
       R"({"error":"window_not_found","message":"No window with ID 7"})"},
      {{SCK_RECORDER, R"({"type":"window","outputPath":"/tmp/x.mp4"})"},
       R"({"error":"invalid_config","message":"displayId required for display capture"})"},
      {{SCK_RECORDER, R"({"type":"display","displayId":4242,"outputPath":"/tmp/x.mp4"})"},
       R"({"error":"display_not_found","message":"No display with ID 4242"})"},
  };
  for (const auto& c : cases) {
    // Standard input stays open so that start-up, not end of input, decides.
    auto child = desktop.start(c.argv);
    const auto line = child->readLine(10s);
    ASSERT_TRUE(line) << c.expected;
    EXPECT_EQ(*line, c.expected);
    EXPECT_EQ(child->wait(), 1);
  }
  auto child = desktop.start({SCK_RECORDER, R"({"type":"display"})"});
  const auto line = child->readLine(10s);
  ASSERT_TRUE(line);
  EXPECT_EQ(line->rfind(R"({"error":"invalid_json","message":"Failed to decode config: )", 0), 0u) << *line;
  EXPECT_EQ(child->wait(), 1);

  // Standard input open: a closed one would stop the recorder before start-up fails.
  Child noDisplay({SCK_RECORDER, R"({"type":"display","displayId":1,"outputPath":"/tmp/x"})"}, {"DISPLAY=:65123"});
  const auto failure = noDisplay.readLine(10s);
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->rfind(R"({"error":"content_enumeration_failed","message":"Cannot open the display: )", 0), 0u)
      << *failure;
  EXPECT_EQ(noDisplay.wait(), 1);
}

TEST_F(Recording, StopRightAfterLaunchEndsCleanlyEitherWay) {
  // Whether the stop lands before start-up finished (nothing written) or
  // after it (a stopped line) is a race; either way the process exits 0 with
  // at most one final line, and never before that line is complete.
  for (int i = 0; i < 3; ++i) {
    auto child = desktop.start(programArgs(config("early.mp4", {{"backendPreference", "legacy-avassetwriter"}})));
    child->write("stop\nstop\n");
    child->closeInput();
    const std::string out = child->readAll(10s);
    EXPECT_EQ(child->wait(), 0);
    std::size_t stops = 0;
    for (std::size_t p = out.find("\"stopped\""); p != std::string::npos; p = out.find("\"stopped\"", p + 1)) ++stops;
    EXPECT_LE(stops, 1u) << out;
    if (stops == 1) {
      EXPECT_EQ(out.back(), '\n');
    }
  }
}

TEST_F(Recording, LegacyBackendWithMicrophonePauseAndResume) {
  auto child = desktop.start(programArgs(config("legacy.mp4", {{"backendPreference", "legacy-avassetwriter"},
                                                               {"microphoneDeviceId", " vantrel_null_source "}})));
  std::vector<json> lines;
  auto started = waitForStatus(*child, "started", 15s, &lines);
  ASSERT_TRUE(started);
  EXPECT_EQ((*started)["backend"], "legacy-avassetwriter");
  std::this_thread::sleep_for(1500ms);
  child->write("  pause\r\n");
  ASSERT_TRUE(waitForStatus(*child, "paused"));
  child->write("pause\nPAUSE\n");
  std::this_thread::sleep_for(2000ms);
  child->write("resume\n");
  ASSERT_TRUE(waitForStatus(*child, "resumed"));
  std::this_thread::sleep_for(1500ms);
  child->closeInput();  // end of input is a stop
  lines.clear();
  auto stopped = waitForStatus(*child, "stopped", 20s, &lines);
  ASSERT_TRUE(stopped);
  EXPECT_EQ(child->wait(), 0);
  for (const auto& l : lines) EXPECT_NE(l.value("status", ""), "paused") << "a second pause took effect";
  const json& t = (*stopped)["telemetry"];
  EXPECT_EQ((*stopped)["path"], desktop.scratch("legacy.mp4"));
  EXPECT_EQ(t["pauseCount"], 1);
  EXPECT_EQ(t["segmentCount"], 1);
  EXPECT_GT(t["micSamplesReceived"].get<int>(), 0);
  EXPECT_GT(t["micSamplesSkippedWhilePaused"].get<int>(), 0);
  EXPECT_GT(t["recordingStopWallClock"].get<double>(), 0);
  EXPECT_TRUE(t.contains("videoWriterBackpressureDrops"));
  EXPECT_FALSE(t.contains("recordingOutputStartCount"));
  ASSERT_EQ(t["finalSegments"].size(), 1u);
  EXPECT_EQ(t["finalSegments"][0]["codec"], "avc1");
  EXPECT_EQ(t["finalSegments"][0]["width"], 1920);
  // About 5 s of wall clock with 2 s paused: the file holds about 3 s.
  const Probe p = probe(desktop.scratch("legacy.mp4"));
  EXPECT_EQ(p.width, 1920);
  EXPECT_TRUE(p.hasAudio);
  EXPECT_NEAR(p.audioDuration, 3.0, 0.6);
  EXPECT_NEAR((*stopped)["duration"].get<double>(), 3.0, 1.1);
  EXPECT_LT((*stopped)["duration"].get<double>(), 4.0);
}

TEST_F(Recording, RecordingOutputSegmentsAcrossTwoPauses) {
  const std::string out = desktop.scratch("take.mov");
  auto child = desktop.start(programArgs(config("take.mov", {{"microphoneDeviceId", "vantrel_null_source"}})));
  auto started = waitForStatus(*child, "started");
  ASSERT_TRUE(started);
  EXPECT_EQ((*started)["backend"], "sc-recording-output");
  for (int i = 0; i < 2; ++i) {
    std::this_thread::sleep_for(800ms);
    child->write("pause\n");
    ASSERT_TRUE(waitForStatus(*child, "paused"));
    child->write("resume\n");
    ASSERT_TRUE(waitForStatus(*child, "resumed"));
  }
  std::this_thread::sleep_for(800ms);
  child->write("stop\nstop\n");
  auto stopped = waitForStatus(*child, "stopped", 20s);
  ASSERT_TRUE(stopped);
  EXPECT_EQ(child->wait(), 0);
  const std::vector<std::string> expected = {desktop.scratch("take-seg1.mp4"), desktop.scratch("take-seg2.mp4"),
                                             desktop.scratch("take-seg3.mp4")};
  EXPECT_EQ((*stopped)["segmentPaths"].get<std::vector<std::string>>(), expected);
  EXPECT_EQ((*stopped)["path"], expected[0]);
  const json& t = (*stopped)["telemetry"];
  EXPECT_EQ(t["segmentCount"], 3);
  EXPECT_EQ(t["pauseCount"], 2);
  EXPECT_EQ(t["recordingOutputStartCount"], 3);
  EXPECT_EQ(t["recordingOutputFinishCount"], 3);
  EXPECT_FALSE(t.contains("videoWriterBackpressureDrops"));
  EXPECT_EQ(t["finalSegments"].size(), 3u);
  for (const auto& path : expected) {
    const Probe p = probe(path);
    EXPECT_GT(p.videoFrames, 0) << path;
    EXPECT_TRUE(p.hasAudio) << path;
  }
}

TEST_F(Recording, DiscardRemovesEveryFile) {
  auto child = desktop.start(programArgs(config("gone.mp4")));
  ASSERT_TRUE(waitForStatus(*child, "started"));
  std::this_thread::sleep_for(600ms);
  child->write("pause\n");
  ASSERT_TRUE(waitForStatus(*child, "paused"));
  child->write("resume\n");
  ASSERT_TRUE(waitForStatus(*child, "resumed"));
  child->write("discard\n");
  ASSERT_TRUE(waitForStatus(*child, "discarded", 20s));
  EXPECT_EQ(child->wait(), 0);
  for (const char* name : {"gone.mp4", "gone-seg1.mp4", "gone-seg2.mp4"}) {
    EXPECT_FALSE(std::filesystem::exists(desktop.scratch(name))) << name;
  }
}

TEST_F(Recording, CropAndResolutionGeometry) {
  struct Case {
    json extra;
    int width, height;
  } cases[] = {
      {{{"cropRect", {{"x", 100}, {"y", 50}, {"width", 101}, {"height", 51}}}, {"resolution", "720p"}}, 100, 50},
      {{{"resolution", "720p"}, {"backendPreference", "legacy-avassetwriter"}}, 1280, 720},
  };
  int n = 0;
  for (const auto& c : cases) {
    const std::string name = "geom" + std::to_string(n++) + ".mp4";
    auto child = desktop.start(programArgs(config(name, c.extra)));
    ASSERT_TRUE(waitForStatus(*child, "started"));
    std::this_thread::sleep_for(700ms);
    child->write("stop\n");
    auto stopped = waitForStatus(*child, "stopped", 20s);
    ASSERT_TRUE(stopped);
    const std::string path = (*stopped)["path"];
    const Probe p = probe(path);
    EXPECT_EQ(p.width, c.width) << c.extra.dump();
    EXPECT_EQ(p.height, c.height) << c.extra.dump();
  }
}

TEST_F(Recording, FallsBackToOneFileWhenTheSegmentCannotBeCreated) {
  // A directory where the first segment file would go.
  std::filesystem::create_directory(desktop.scratch("blocked-seg1.mp4"));
  auto child = desktop.start(programArgs(config("blocked.mp4")));
  auto started = waitForStatus(*child, "started");
  ASSERT_TRUE(started);
  EXPECT_EQ((*started)["backend"], "legacy-avassetwriter");
  std::this_thread::sleep_for(500ms);
  child->write("stop\n");
  auto stopped = waitForStatus(*child, "stopped", 20s);
  ASSERT_TRUE(stopped);
  EXPECT_EQ((*stopped)["telemetry"]["backend"], "legacy-avassetwriter");
  EXPECT_GT(probe(desktop.scratch("blocked.mp4")).videoFrames, 0);

  auto strict = desktop.start(programArgs(config("blocked.mp4", {{"backendPreference", "sc-recording-output"}})));
  auto fatal = waitForStatus(*strict, "fatal");
  ASSERT_TRUE(fatal);
  EXPECT_EQ((*fatal)["error"], "recording_output_failed");
  EXPECT_EQ(strict->wait(), 1);
}

TEST_F(Recording, ContentMatchesAScreenshotOfTheSameArea) {
  ASSERT_EQ(desktop.run({"hsetroot", "-add", "#ff2000", "-add", "#0040ff", "-gradient", "90"}).exitStatus, 0);
  auto child = desktop.start(programArgs(config("shot.mp4", {{"cropRect", {{"x", 600}, {"y", 300}, {"width", 320}, {"height", 160}}},
                                                             {"backendPreference", "legacy-avassetwriter"}})));
  ASSERT_TRUE(waitForStatus(*child, "started"));
  std::this_thread::sleep_for(1200ms);
  child->write("stop\n");
  ASSERT_TRUE(waitForStatus(*child, "stopped", 20s));
  const ProcessResult shot = desktop.run({"import", "-window", "root", "-crop", "320x160+600+300", "-depth", "8", "rgb:-"});
  ASSERT_EQ(shot.exitStatus, 0) << shot.err;
  const ProcessResult frame = runProcess({"/usr/bin/ffmpeg", "-v", "error", "-i", desktop.scratch("shot.mp4"), "-frames:v", "1",
                                          "-f", "rawvideo", "-pix_fmt", "rgb24", "-"});
  ASSERT_EQ(frame.exitStatus, 0) << frame.err;
  ASSERT_EQ(shot.out.size(), 320u * 160 * 3);
  ASSERT_EQ(frame.out.size(), shot.out.size());
  double sum = 0;
  for (std::size_t i = 0; i < shot.out.size(); ++i) {
    sum += std::abs(static_cast<int>(static_cast<unsigned char>(shot.out[i])) -
                    static_cast<int>(static_cast<unsigned char>(frame.out[i])));
  }
  EXPECT_LT(sum / static_cast<double>(shot.out.size()), 4.0);
}

// A crop is in logical units: at Xft.dpi 192 half the numbers select the
// same device pixels, recorded at their full size.
TEST(ScaledRecording, CropInLogicalUnitsRecordsTheDevicePixelsUnderIt) {
  struct Case {
    int dpi;
    json crop;
    json display;  // the first display as --list-displays reports it
  } cases[] = {
      {0, {{"x", 600}, {"y", 300}, {"width", 320}, {"height", 160}}, {{"x", 0}, {"y", 0}, {"width", 1920}, {"height", 1080}}},
      {192, {{"x", 300}, {"y", 150}, {"width", 160}, {"height", 80}}, {{"x", 0}, {"y", 0}, {"width", 960}, {"height", 540}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("Xft.dpi " + std::to_string(c.dpi));
    DesktopSession desktop(SessionOptions{false, true, c.dpi});
    const ProcessResult list = desktop.run({SCK_RECORDER, "--list-displays"});
    ASSERT_EQ(list.exitStatus, 0) << list.err;
    const json first = json::parse(list.out).at(0);
    for (const char* key : {"x", "y", "width", "height"}) EXPECT_EQ(first[key], c.display[key]) << key;
    const std::string picture = desktop.scratch("pattern.png");
    writePattern(picture, 1920, 1080);
    ASSERT_EQ(desktop.run({"hsetroot", "-tile", picture}).exitStatus, 0);
    const std::string path = desktop.scratch("scaled.mp4");
    auto child = desktop.start(programArgs({{"type", "display"},
                                            {"displayId", first["id"]},
                                            {"outputPath", path},
                                            {"backendPreference", "legacy-avassetwriter"},
                                            {"cropRect", c.crop}}));
    ASSERT_TRUE(waitForStatus(*child, "started"));
    std::this_thread::sleep_for(1200ms);
    child->write("stop\n");
    ASSERT_TRUE(waitForStatus(*child, "stopped", 20s));
    const Probe p = probe(path);
    EXPECT_EQ(p.width, 320);
    EXPECT_EQ(p.height, 160);
    const ProcessResult shot = desktop.run({"import", "-window", "root", "-crop", "320x160+600+300", "-depth", "8", "rgb:-"});
    ASSERT_EQ(shot.exitStatus, 0) << shot.err;
    const std::string frame = lastFrameRgb(path);
    ASSERT_EQ(frame.size(), 320u * 160 * 3);
    EXPECT_LT(meanDifference(shot.out, frame), 2.5);
  }
}

TEST_F(Recording, KilledRecorderLeavesAPlayableFile) {
  auto child = desktop.start(programArgs(config("killed.mp4", {{"backendPreference", "legacy-avassetwriter"},
                                                               {"microphoneDeviceId", "vantrel_null_source"}})));
  ASSERT_TRUE(waitForStatus(*child, "started"));
  ASSERT_TRUE(waitForStatus(*child, "firstSample"));
  std::this_thread::sleep_for(4000ms);
  ASSERT_EQ(kill(child->pid(), SIGKILL), 0);
  child->wait();
  const Probe p = probe(desktop.scratch("killed.mp4"));
  EXPECT_GE(p.videoDuration, 2.9);
  EXPECT_GE(p.audioDuration, 2.9);
}
