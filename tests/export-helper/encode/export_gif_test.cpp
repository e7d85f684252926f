// The animated GIF export: end-to-end runs of the real program read back with
// ffprobe/ffmpeg (frame count, delays, loop, canvas, pictures, events), and the
// frame writer's own failures.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "encode/gif_frames.h"
#include "fixtures.h"
#include "job/job_errors.h"
#include "vantrel/testing/process.h"

namespace {

using nlohmann::json;
using vantrel::testing::ProcessOptions;
using vantrel::testing::ProcessResult;
using vantrel::testing::runProcess;
using vantrel::testing::TempDir;
namespace mt = vantrel::media::test;
namespace ex = vantrel::exporter;

const std::string kHelper = VANTREL_EXPORT_HELPER_PATH;
const std::string kFixtures = VANTREL_EXPORT_FIXTURES;

// Three seconds of 320x180 at 30 fps: one second each of red, green and blue,
// so a decoded GIF frame tells which part of the timeline it shows.
std::string colourBands() {
  return mt::fixture("gif_bands_3s.mp4",
                     {"-filter_complex",
                      "color=c=red:s=320x180:r=30:d=1[a];color=c=lime:s=320x180:r=30:d=1[b];"
                      "color=c=blue:s=320x180:r=30:d=1[c];[a][b][c]concat=n=3:v=1[v]",
                      "-map", "[v]", "-c:v", "libx264", "-preset", "ultrafast", "-bf", "0", "-g", "30", "-pix_fmt",
                      "yuv420p"});
}

json gifManifest(const std::string& source, std::int64_t frameRate, double duration, double segment,
                 const std::string& aspect = "16:9") {
  json m = json::parse(vantrel::testing::readFile(kFixtures + "/minimal_manifest.json"));
  m["qualityPlan"]["format"] = "gif";
  m["qualityPlan"]["frameRate"] = frameRate;
  m["scene"]["settings"]["video"]["aspectRatio"] = aspect;
  if (aspect == "custom") {  // a 4:3 canvas
    m["scene"]["settings"]["video"]["customCanvasWidth"] = 1440;
    m["scene"]["settings"]["video"]["customCanvasHeight"] = 1080;
  }
  m["videoPlan"]["sourceVideoPath"] = source;
  m["videoPlan"]["sourceVideoPaths"] = {source};
  m["videoPlan"]["durationSeconds"] = duration;
  m["videoPlan"]["segments"][0]["sourceEndTime"] = segment;
  m["videoPlan"]["segments"][0]["outputEndTime"] = segment;
  return m;
}

struct Job {
  ProcessResult result;
  std::vector<json> events;
  std::string finalPath, tempPath;
};

Job runJob(const TempDir& dir, const json& manifest) {
  vantrel::testing::writeFile(dir.file("manifest.json"), manifest.dump());
  Job job;
  job.finalPath = dir.file("out/final.gif");
  job.tempPath = dir.file("scratch/export.tmp.gif");
  ProcessOptions options;
  options.timeout = std::chrono::seconds(120);
  job.result = runProcess({kHelper, "run", "--job-id", "g", "--manifest-path", dir.file("manifest.json"),
                           "--temp-output-path", job.tempPath, "--final-output-path", job.finalPath},
                          options);
  for (const auto& line : job.result.outLines()) job.events.push_back(json::parse(line));
  return job;
}

std::vector<std::string> probe(const std::string& path, const std::string& entries) {
  const auto r = runProcess(
      {"/usr/bin/ffprobe", "-v", "error", "-select_streams", "v", "-show_entries", entries, "-of", "csv=p=0", path});
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  return r.outLines();
}

// Loop count of the NETSCAPE2.0 block, read from the bytes (-1 when absent).
int loopCount(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string s{std::istreambuf_iterator<char>(in), {}};
  const auto at = s.find("NETSCAPE2.0");
  if (at == std::string::npos || at + 15 > s.size()) return -1;
  return static_cast<uint8_t>(s[at + 13]) | (static_cast<uint8_t>(s[at + 14]) << 8);
}

// Every frame of a GIF decoded by ffmpeg as packed RGB.
std::vector<std::vector<uint8_t>> decodeFrames(const TempDir& dir, const std::string& gif, int w, int h) {
  const std::string raw = dir.file("decoded.rgb");
  const auto r = runProcess({"/usr/bin/ffmpeg", "-v", "error", "-y", "-i", gif, "-vsync", "passthrough", "-f",
                             "rawvideo", "-pix_fmt", "rgb24", raw});
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  const std::string bytes = vantrel::testing::readFile(raw);
  const size_t size = static_cast<size_t>(w) * h * 3;
  std::vector<std::vector<uint8_t>> frames;
  for (size_t at = 0; at + size <= bytes.size(); at += size) frames.emplace_back(bytes.begin() + at, bytes.begin() + at + size);
  return frames;
}

TEST(ExportGif, RateBudgetAndCanvasFollowTheManifest) {
  const std::string source = colourBands();
  struct Case {
    const char* what;
    std::int64_t frameRate;
    double duration, segment;
    const char* aspect;
    int frames;
    int delayCs;  // every frame's delay; 0: 1/15 s, alternating 7 and 6 cs
    int width, height;
  };
  const Case cases[] = {
      {"10 fps", 10, 1, 1, "16:9", 10, 10, 640, 360},
      {"rate below 1 becomes 1", -5, 2.5, 2.5, "16:9", 3, 100, 640, 360},
      {"rate 0 becomes 1", 0, 1, 1, "16:9", 1, 100, 640, 360},
      {"60 fps clamps to 15, budget ceil(2.01 x 15)", 60, 2.01, 3, "16:9", 31, 0, 640, 360},
      {"zero duration: one frame", 30, 0, 1, "16:9", 1, 0, 640, 360},
      {"composition ends before the budget", 10, 5, 1, "16:9", 10, 10, 640, 360},
      {"portrait canvas", 5, 1, 1, "9:16", 5, 20, 360, 640},
      {"custom 4:3 canvas", 5, 1, 1, "custom", 5, 20, 640, 480},
      {"4:5 canvas", 5, 1, 1, "4:5", 5, 20, 512, 640},
      {"square canvas", 5, 1, 1, "1:1", 5, 20, 640, 640},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const auto job = runJob(dir, gifManifest(source, c.frameRate, c.duration, c.segment, c.aspect));
    ASSERT_EQ(job.result.exitStatus, 0) << job.result.out << job.result.err;
    EXPECT_EQ(probe(job.finalPath, "stream=width,height"),
              std::vector<std::string>{std::to_string(c.width) + "," + std::to_string(c.height)});
    const auto delays = probe(job.finalPath, "packet=duration");
    ASSERT_EQ(delays.size(), static_cast<size_t>(c.frames));
    int total = 0;
    for (const auto& d : delays) {
      const int cs = std::stoi(d);
      if (c.delayCs) {
        EXPECT_EQ(cs, c.delayCs);
      } else {
        EXPECT_TRUE(cs == 6 || cs == 7) << cs;
      }
      total += cs;
    }
    if (!c.delayCs) {
      EXPECT_LE(std::abs(total - static_cast<int>(std::lround(c.frames * 100.0 / 15))), 1);
    }
    EXPECT_EQ(loopCount(job.finalPath), 0);
    const auto& telemetry = job.events[job.events.size() - 2];
    EXPECT_EQ(telemetry["message"], "Animated GIF export completed with " + std::to_string(c.frames) + " frames at " +
                                        std::to_string(c.width) + "x" + std::to_string(c.height) + ".");
    EXPECT_EQ(job.events.back()["fileSizeBytes"], std::filesystem::file_size(job.finalPath));
  }
}

// A 60 fps plan shows the whole three seconds at 15 fps, in real time: the
// frames step through red, green and blue, not the first 0.75 s slowed down.
TEST(ExportGif, SamplesTheWholeTimelineAboveFifteenFps) {
  TempDir dir;
  const auto job = runJob(dir, gifManifest(colourBands(), 60, 3, 3));
  ASSERT_EQ(job.result.exitStatus, 0) << job.result.out << job.result.err;
  const auto frames = decodeFrames(dir, job.finalPath, 640, 360);
  ASSERT_EQ(frames.size(), 45u);
  for (size_t i = 0; i < frames.size(); ++i) {
    const size_t centre = (180 * 640 + 320) * 3;
    const int band = static_cast<int>(i / 15);  // 0 red, 1 green, 2 blue
    for (int ch = 0; ch < 3; ++ch) {
      const int v = frames[i][centre + ch];
      if (ch == band) {
        EXPECT_GE(v, 200) << "frame " << i << " channel " << ch;
      } else {
        EXPECT_LE(v, 60) << "frame " << i << " channel " << ch;
      }
    }
  }
}

TEST(ExportGif, EventsProgressAndPromotion) {
  TempDir dir;
  // Stale files at both paths: the temporary one is cleared, the final one replaced.
  std::filesystem::create_directories(dir.file("out"));
  std::filesystem::create_directories(dir.file("scratch"));
  vantrel::testing::writeFile(dir.file("out/final.gif"), "old");
  vantrel::testing::writeFile(dir.file("scratch/export.tmp.gif"), "old");
  const auto job = runJob(dir, gifManifest(colourBands(), 30, 3, 3));
  ASSERT_EQ(job.result.exitStatus, 0) << job.result.out << job.result.err;
  EXPECT_TRUE(job.result.err.empty()) << job.result.err;

  std::vector<std::string> tags;
  double last = 0;
  for (const auto& e : job.events) {
    EXPECT_EQ(e["helperVersion"], "0.6.0");
    std::string tag = e["type"];
    if (tag == "progress") {
      tag += "/" + e["stage"].get<std::string>() + "/" + e["substage"].get<std::string>();
      const double p = e["progress"];
      EXPECT_GE(p, last) << e.dump();
      last = p;
      if (e["message"] == "Encoding animated GIF...") {
        EXPECT_EQ(tag, "progress/rendering/imageio_gif");
        EXPECT_GE(p, 0.12);
        EXPECT_LE(p, 0.92);
      }
    }
    if (tags.empty() || tags.back() != tag) tags.push_back(tag);
  }
  EXPECT_EQ(tags, (std::vector<std::string>{"started", "progress/preparing/manifest", "telemetry",
                                            "progress/preparing/gif_composition", "progress/rendering/imageio_gif",
                                            "progress/finalizing/promote_output", "telemetry", "completed"}));
  const auto message = [&](const std::string& substage) {
    for (const auto& e : job.events)
      if (e.value("substage", "") == substage) return e["message"].get<std::string>();
    return std::string();
  };
  EXPECT_EQ(message("gif_composition"), "Building animated GIF composition...");
  EXPECT_EQ(message("imageio_gif"), "Starting animated GIF encode...");
  EXPECT_EQ(message("promote_output"), "Finalizing animated GIF...");
  EXPECT_EQ(job.events.back()["filePath"], job.finalPath);
  EXPECT_EQ(job.events.back()["fileSizeBytes"], std::filesystem::file_size(job.finalPath));
  EXPECT_EQ(vantrel::testing::readFile(job.finalPath).substr(0, 6), "GIF89a");
  EXPECT_FALSE(std::filesystem::exists(job.tempPath));
}

TEST(ExportGif, SourceWithoutVideoFailsWithItsReason) {
  TempDir dir;
  const std::string audio = mt::audioOnlySine(1);
  const auto job = runJob(dir, gifManifest(audio, 10, 1, 1));
  EXPECT_EQ(job.result.exitStatus, 1);
  ASSERT_FALSE(job.events.empty());
  const std::string text =
      "Native export helper does not support this scene yet (native_helper_missing_source_video_track:" + audio + ").";
  EXPECT_EQ(job.events.back()["type"], "failed");
  EXPECT_EQ(job.events.back()["errorMessage"], text);
  EXPECT_EQ(job.events.back()["fallbackReason"], text);
  EXPECT_FALSE(std::filesystem::exists(job.finalPath));
}

TEST(GifFramePlan, RateClampAndBudget) {
  struct Rate {
    std::int64_t requested;
    int rate;
  };
  for (const auto& c : {Rate{-7, 1}, Rate{0, 1}, Rate{1, 1}, Rate{10, 10}, Rate{15, 15}, Rate{16, 15}, Rate{60, 15},
                        Rate{std::numeric_limits<std::int64_t>::max(), 15}}) {
    EXPECT_EQ(ex::gifFrameRate(c.requested), c.rate) << c.requested;
  }
  const double inf = std::numeric_limits<double>::infinity();
  const std::int64_t cap = ex::gifFrameBudget(inf, 15);
  EXPECT_GE(cap, 15 * 86400);  // a day of GIF is still within budget
  struct Budget {
    double duration;
    int rate;
    std::int64_t frames;
  };
  for (const auto& c : {Budget{2.01, 15, 31}, Budget{2, 15, 30}, Budget{0, 15, 1}, Budget{-3, 15, 1},
                        Budget{0.01, 1, 1}, Budget{std::nan(""), 15, 1}, Budget{-inf, 15, 1}, Budget{1e300, 15, cap},
                        Budget{1, 10, 10}}) {
    EXPECT_EQ(ex::gifFrameBudget(c.duration, c.rate), c.frames) << c.duration << " at " << c.rate;
  }
}

// The frame writer's failures, each with the component's fixed text.
TEST(GifFrameWriter, FailuresCarryTheirTexts) {
  TempDir dir;
  const int devNull = ::open("/dev/null", O_WRONLY);
  ASSERT_GE(devNull, 0);
  ex::ProgressReporter reporter(devNull, devNull);
  vantrel::media::VideoCompositionSettings settings;
  settings.renderWidth = 64;
  settings.renderHeight = 36;
  auto source = vantrel::media::Asset::open(mt::testPattern320(1));

  struct Case {
    const char* what;
    std::function<vantrel::media::Composition()> composition;
    vantrel::media::Compositor compositor;
    std::string path;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"no video track", [] { return vantrel::media::Composition(); }, {}, dir.file("a.gif"),
       "Native export helper does not support this scene yet (native_helper_missing_composition_video_track)."},
      {"an empty video track",
       [] {
         vantrel::media::Composition c;
         c.addTrack(vantrel::media::MediaType::video);
         return c;
       },
       {}, dir.file("b.gif"), "The GIF export produced no frames."},
      {"no place for the file", [&] { return vantrel::media::Composition::fromAsset(source); }, {},
       dir.file("missing/dir/c.gif"), "Unable to create the GIF image destination."},
      {"the compositor's own error passes unchanged", [&] { return vantrel::media::Composition::fromAsset(source); },
       [](const vantrel::media::CompositionRequest&, vantrel::media::PixelBuffer&) {
         throw ex::JobRunnerError::exportSessionFailed("native_compositor_test_failure");
       },
       dir.file("d.gif"), "AVAssetExportSession failed (native_compositor_test_failure)."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string text;
    try {
      ex::writeAnimatedGif(c.composition(), settings, c.compositor, c.path, 10, 100, reporter, "0.6.0");
    } catch (const std::exception& e) {
      text = e.what();
    }
    EXPECT_EQ(text, c.text);
  }
  EXPECT_EQ(std::string(ex::GifWriterError::readerFailed("reader failed").what()),
            "Unable to render GIF frames (reader failed).");
  EXPECT_EQ(std::string(ex::GifWriterError::missingFrameImage().what()),
            "A composed GIF frame did not contain an image buffer.");
  EXPECT_EQ(std::string(ex::GifWriterError::finalizeFailed().what()), "Unable to finalize the GIF file.");

  // The budget ends the loop before the composition does; the file is complete.
  const auto written = ex::writeAnimatedGif(vantrel::media::Composition::fromAsset(source), settings, {},
                                            dir.file("e.gif"), 10, 4, reporter, "0.6.0");
  EXPECT_EQ(written, 4);
  EXPECT_EQ(probe(dir.file("e.gif"), "packet=duration"), (std::vector<std::string>{"10", "10", "10", "10"}));
  ::close(devNull);
}

}  // namespace
