// Thumbnail mode: which moment, what size, which way up, and the failure line.

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <numeric>

#include "encode/thumbnail.h"
#include "fixtures.h"
#include "vantrel/testing/process.h"

namespace mt = vantrel::media::test;
using vantrel::exporter::ThumbnailExtractor;

namespace {

vantrel::testing::ProcessResult runThumbnail(const std::string& source, const std::string& output) {
  return vantrel::testing::runProcess(
      {VANTREL_EXPORT_HELPER_PATH, "thumbnail", "--source-path", source, "--output-path", output});
}

std::pair<int, int> jpegSize(const std::string& path) {
  const auto streams = mt::probeStreams(path);
  EXPECT_EQ(streams.size(), 1u);
  if (streams.empty()) return {0, 0};
  EXPECT_EQ(streams[0]["codec_name"], "mjpeg");
  return {streams[0]["width"].get<int>(), streams[0]["height"].get<int>()};
}

// Mean grey level of a picture, decoded by ffmpeg.
double meanGrey(const std::string& path) {
  const std::string raw = path + ".gray";
  mt::runFfmpeg({"-i", path, "-pix_fmt", "gray", "-f", "rawvideo", raw});
  const std::string bytes = vantrel::testing::readFile(raw);
  std::filesystem::remove(raw);
  if (bytes.empty()) return -1;
  double sum = 0;
  for (unsigned char b : bytes) sum += b;
  return sum / static_cast<double>(bytes.size());
}

TEST(ThumbnailTime, TenPercentWithinOneToFiveSecondsAndBeforeTheEnd) {
  const std::pair<double, double> cases[] = {{30, 3},   {100, 5},    {4, 1},  {0.5, 0.45}, {0.02, 0},
                                             {0, 0},    {12.5, 1.25}, {1, 0.95}, {60, 5}, {1.03, 0.98}};
  for (auto [d, t] : cases) EXPECT_NEAR(ThumbnailExtractor::frameTime(d), t, 1e-12) << d;
}

// A picture whose brightness tells the time it was taken: 40 grey levels per second.
std::string clockVideo(double seconds, int fps) {
  char name[64];
  std::snprintf(name, sizeof name, "clock_%g_%d.mp4", seconds, fps);
  return mt::fixture(name, {"-f", "lavfi", "-i",
                            "color=black:s=64x64:r=" + std::to_string(fps) + ":d=" + std::to_string(seconds) +
                                ",format=gray,geq=lum='min(T*40\\,235)'",
                            "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p"});
}

TEST(Thumbnail, ShowsTheMomentTheTimeRulePicks) {
  struct Case {
    double duration;
    int fps;
    double expectedSeconds;  // the frame at or before the rule's time
  };
  const Case cases[] = {{30, 10, 3}, {100, 10, 5}, {4, 10, 1}, {0.5, 10, 0.4}, {0.02, 50, 0}};
  for (const auto& c : cases) {
    const std::string out = mt::scratchPath("clock_" + std::to_string(c.duration) + ".jpg");
    const auto r = runThumbnail(clockVideo(c.duration, c.fps), out);
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    const double level = std::min(c.expectedSeconds * 40, 235.0);
    EXPECT_NEAR(meanGrey(out), level, 4) << "duration " << c.duration;
  }
}

TEST(Thumbnail, FitsInto960SquareUprightAndNeverEnlarges) {
  struct Case {
    std::string name;
    std::string source;
    int width, height;
  };
  auto pattern = [](int w, int h) {
    const std::string size = std::to_string(w) + "x" + std::to_string(h);
    return mt::fixture("thumb_" + size + ".mp4", {"-f", "lavfi", "-i", "testsrc2=size=" + size + ":rate=5:duration=1",
                                                  "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p"});
  };
  const Case cases[] = {
      {"uhd", pattern(3840, 2160), 960, 540},
      {"portrait", mt::rotatedCopy(pattern(1920, 1080), "thumb_portrait.mp4"), 540, 960},
      {"small", pattern(640, 360), 640, 360},
  };
  for (const auto& c : cases) {
    const std::string out = mt::scratchPath("thumb_" + c.name + ".jpg");
    const auto r = runThumbnail(c.source, out);
    ASSERT_EQ(r.exitStatus, 0) << c.name << ": " << r.err;
    EXPECT_EQ(jpegSize(out), std::make_pair(c.width, c.height)) << c.name;
  }
  // A second run over the same path replaces the first picture.
  const std::string out = mt::scratchPath("thumb_small.jpg");
  ASSERT_EQ(runThumbnail(cases[0].source, out).exitStatus, 0);
  EXPECT_EQ(jpegSize(out), std::make_pair(960, 540));
}

TEST(Thumbnail, FailuresWriteOneLineAndLeaveTheOutputAlone) {
  const std::string dir = mt::scratchPath("thumb_bad");
  std::filesystem::create_directories(dir);
  const std::string text = dir + "/notes.mp4";
  vantrel::testing::writeFile(text, "not a movie\n");
  const std::string previous = dir + "/previous.jpg";
  struct Case {
    std::string name, source, output, err;
  };
  const Case cases[] = {
      {"missing", dir + "/missing.mp4", previous, "Thumbnail extraction failed: Failed to load asset duration: "},
      {"not media", text, previous, "Thumbnail extraction failed: Failed to load asset duration: "},
      {"no video", mt::audioOnlySine(1), previous, "Thumbnail extraction failed: Failed to generate thumbnail frame: "},
      {"unwritable", mt::testPattern320(1), text + "/x.jpg",
       "Thumbnail extraction failed: CGImageDestinationCreateWithURL returned nil\n"},
  };
  for (const auto& c : cases) {
    vantrel::testing::writeFile(previous, "previous");
    const auto r = runThumbnail(c.source, c.output);
    EXPECT_EQ(r.exitStatus, 1) << c.name;
    EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << c.name << ": " << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << c.name << ": " << r.err;
    EXPECT_EQ(vantrel::testing::readFile(previous), "previous") << c.name;
  }
}

}  // namespace
