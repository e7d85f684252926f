// The program as the host sees it: exit status, the one standard-error line,
// progress lines on standard output.

#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "fixtures.h"
#include "vantrel/testing/process.h"

namespace mt = vantrel::media::test;
using vantrel::testing::runProcess;

namespace {

vantrel::testing::ProcessResult runHelper(std::vector<std::string> args) {
  args.insert(args.begin(), MEDIA_HELPER_PATH);
  vantrel::testing::ProcessOptions options;
  options.timeout = std::chrono::seconds(60);
  return runProcess(args, options);
}

void expectOneErrorLine(const vantrel::testing::ProcessResult& r, const std::string& startsWith,
                        const std::string& context) {
  EXPECT_FALSE(r.timedOut) << context;
  EXPECT_EQ(r.exitStatus, 1) << context;
  EXPECT_EQ(r.err.rfind(startsWith, 0), 0u) << context << ": " << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << context << ": " << r.err;
  EXPECT_EQ(r.err.back(), '\n') << context;
}

TEST(MediaHelperCli, ArgumentErrorsNameTheFirstMissingFlag) {
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const Case cases[] = {
      {{}, "vantrel-media-helper: Missing required argument extract-audio or normalize-camera\n"},
      {{"extract-audio", "--input-path", "in.mp4"}, "vantrel-media-helper: Missing required argument --output-path\n"},
      {{"extract-audio", "--output-path", "o.wav", "--input-path"},
       "vantrel-media-helper: Missing required argument --input-path\n"},
      {{"create-proxy", "--max-long-edge", "1", "--max-fps", "1", "--input-path", "a", "--output-path", "b"},
       "vantrel-media-helper: Missing required argument --keyframe-interval\n"},
      {{"normalize-camera", "--wall-duration", "abc", "--input-path", "a", "--output-path", "b"},
       "vantrel-media-helper: Missing required argument --wall-duration\n"},
      {{"normalize-camera", "--wall-duration", "0", "--input-path", "a", "--output-path", "b"},
       "vantrel-media-helper: Missing required argument --wall-duration\n"},
  };
  for (const auto& c : cases) {
    const auto r = runHelper(c.args);
    EXPECT_EQ(r.exitStatus, 1) << ::testing::PrintToString(c.args);
    EXPECT_EQ(r.err, c.err) << ::testing::PrintToString(c.args);
    EXPECT_EQ(r.out, "");
  }
}

TEST(MediaHelperCli, BadInputsFailWithOneLineAndNoHang) {
  const std::string dir = mt::scratchPath("cli_bad");
  std::filesystem::create_directories(dir);
  const std::string text = dir + "/notes.mp4";
  vantrel::testing::writeFile(text, "this is not a movie\n");
  const std::string good = mt::testPattern320(2);
  const std::string truncated = dir + "/truncated.mp4";
  vantrel::testing::writeFile(truncated, vantrel::testing::readFile(good).substr(0, 2000));
  const std::string audioOnly = mt::audioOnlySine(1);
  const std::string videoOnly = mt::fixture(
      "cli_video_only.mp4", {"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=30:duration=1", "-c:v", "libx264",
                             "-preset", "ultrafast", "-pix_fmt", "yuv420p"});
  // A small H.264 file whose parameter set declares a 16000x16000 picture.
  const std::string giant = mt::hugePictureCopy(
      mt::fixture("cli_giant_base.mp4", {"-f", "lavfi", "-i", "color=c=0x336699:s=64x64:r=30:d=1", "-c:v", "libx264",
                                         "-preset", "ultrafast", "-pix_fmt", "yuv420p"}),
      "cli_giant.mp4", 16000, 16000);
  // A regular file where a directory should be: not writable even for root.
  const std::string blocked = text + "/out/result";
  const std::vector<std::string> proxyFlags = {"--max-long-edge", "320", "--max-fps", "30", "--keyframe-interval",
                                               "0.25"};
  struct Case {
    std::string name;
    std::vector<std::string> args;
    std::string err;  // start of the line
  };
  auto proxy = [&](const std::string& in, const std::string& out) {
    std::vector<std::string> a = {"create-proxy", "--input-path", in, "--output-path", out};
    a.insert(a.end(), proxyFlags.begin(), proxyFlags.end());
    return a;
  };
  const Case cases[] = {
      {"missing", {"extract-audio", "--input-path", dir + "/missing.mp4", "--output-path", dir + "/a.wav"},
       "vantrel-media-helper: "},
      {"text", {"extract-waveform", "--input-path", text, "--output-path", dir + "/w.json", "--source-fingerprint", "f"},
       "vantrel-media-helper: "},
      {"truncated", proxy(truncated, dir + "/p.mp4"), "vantrel-media-helper: "},
      {"giant picture", proxy(giant, dir + "/g.mp4"),
       "vantrel-media-helper: Media reader failed: Unsupported media: " + giant + ": the picture is 16000x16000"},
      {"no audio", {"extract-audio", "--input-path", videoOnly, "--output-path", dir + "/b.wav"},
       "vantrel-media-helper: The source media has no audio track\n"},
      {"no audio waveform",
       {"extract-waveform", "--input-path", videoOnly, "--output-path", dir + "/w.json", "--source-fingerprint", "f"},
       "vantrel-media-helper: The source media has no audio track\n"},
      {"no video proxy", proxy(audioOnly, dir + "/p.mp4"), "vantrel-media-helper: The source media has no video track\n"},
      {"no video camera",
       {"normalize-camera", "--wall-duration", "1", "--input-path", audioOnly, "--output-path", dir + "/c.mp4"},
       "vantrel-media-helper: The source media has no video track\n"},
      {"ratio",
       {"normalize-camera", "--wall-duration", "2.4", "--input-path", good, "--output-path", dir + "/c.mp4"},
       "vantrel-media-helper: Media export failed: The requested timeline correction is outside the safe range\n"},
      {"unwritable wav", {"extract-audio", "--input-path", good, "--output-path", blocked}, "vantrel-media-helper: "},
      {"unwritable waveform",
       {"extract-waveform", "--input-path", good, "--output-path", blocked, "--source-fingerprint", "f"},
       "vantrel-media-helper: "},
      {"unwritable proxy", proxy(good, blocked), "vantrel-media-helper: "},
      {"unwritable camera",
       {"normalize-camera", "--wall-duration", "2.1", "--input-path", good, "--output-path", blocked},
       "vantrel-media-helper: "},
  };
  for (const auto& c : cases) {
    const auto r = runHelper(c.args);
    expectOneErrorLine(r, c.err, c.name);
    EXPECT_GT(r.err.size(), std::string("vantrel-media-helper: ").size() + 1) << c.name;
  }
  EXPECT_FALSE(std::filesystem::exists(dir + "/w.json"));
  EXPECT_FALSE(std::filesystem::exists(dir + "/c.mp4"));
}

TEST(MediaHelperCli, ProgressLinesAreCompactObjectsEndingWithComplete) {
  const std::string output = mt::scratchPath("cli_waveform/w.json");
  const auto r = runHelper({"extract-waveform", "--source-fingerprint", "abc", "--input-path", mt::testPattern320(2),
                            "--output-path", output, "--ignored"});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const auto lines = r.outLines();
  ASSERT_GE(lines.size(), 2u);
  double previous = -1;
  for (const auto& line : lines) {
    EXPECT_EQ(line.find(' '), std::string::npos) << line;
    const auto j = nlohmann::json::parse(line);
    ASSERT_EQ(j.size(), 2u) << line;
    const double p = j["progress"].get<double>();
    EXPECT_GE(p, previous);
    EXPECT_LE(p, 1.0);
    previous = p;
  }
  EXPECT_EQ(nlohmann::json::parse(lines.front()), nlohmann::json::parse(R"({"phase":"decoding","progress":0})"));
  EXPECT_EQ(nlohmann::json::parse(lines.back()), nlohmann::json::parse(R"({"phase":"complete","progress":1})"));
  EXPECT_EQ(nlohmann::json::parse(vantrel::testing::readFile(output))["sourceFingerprint"], "abc");

  const auto audio = runHelper({"extract-audio", "--input-path", mt::testPattern320(2), "--output-path",
                                mt::scratchPath("cli.wav")});
  EXPECT_EQ(audio.exitStatus, 0) << audio.err;
  EXPECT_EQ(audio.out, "") << "extract-audio writes no progress";
}

}  // namespace
