// The media helper's pure rules: argument grammar, WAV header, RMS buckets and
// levels, base64, proxy sizes and rates, camera ratio window, progress lines.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>

#include "vantrel/mediahelper/arguments.h"
#include "vantrel/mediahelper/camera.h"
#include "vantrel/mediahelper/errors.h"
#include "vantrel/mediahelper/progress.h"
#include "vantrel/mediahelper/proxy.h"
#include "vantrel/mediahelper/wav.h"
#include "vantrel/mediahelper/waveform.h"

using namespace vantrel::mediahelper;

namespace {

std::string errorText(const std::vector<std::string>& args) {
  try {
    parseCommand(args);
  } catch (const MediaHelperError& e) {
    return e.text();
  }
  return "";
}

TEST(Arguments, MissingFlagsAreReportedInLookupOrder) {
  struct Case {
    std::vector<std::string> args;
    std::string text;
  };
  const Case cases[] = {
      {{}, "Missing required argument extract-audio or normalize-camera"},
      {{"Extract-Audio", "--input-path", "a"}, "Missing required argument extract-audio or normalize-camera"},
      {{"--help"}, "Missing required argument extract-audio or normalize-camera"},
      {{"extract-audio", "--input-path", "a"}, "Missing required argument --output-path"},
      {{"extract-audio", "--output-path", "b", "--input-path"}, "Missing required argument --input-path"},
      {{"extract-waveform", "--input-path", "a", "--output-path", "b"},
       "Missing required argument --source-fingerprint"},
      {{"create-proxy", "--max-long-edge", "x", "--max-fps", "30", "--input-path", "a", "--output-path", "b"},
       "Missing required argument --keyframe-interval"},
      {{"create-proxy", "--input-path", "a", "--output-path", "b"}, "Missing required argument --max-long-edge"},
      {{"normalize-camera", "--wall-duration", "soon", "--input-path", "a", "--output-path", "b"},
       "Missing required argument --wall-duration"},
      {{"normalize-camera", "--wall-duration", "3", "--output-path", "b"}, "Missing required argument --input-path"},
  };
  for (const auto& c : cases) EXPECT_EQ(errorText(c.args), c.text) << ::testing::PrintToString(c.args);
}

TEST(Arguments, FlagValueIsTheArgumentAfterTheFirstOccurrence) {
  // The command word takes part in the search; a value may itself look like a flag.
  const std::vector<std::string> args = {"extract-audio", "--input-path", "--output-path", "--output-path", "x"};
  EXPECT_EQ(flagValue(args, "--input-path"), "--output-path");
  EXPECT_EQ(flagValue(args, "--output-path"), "--output-path");
  EXPECT_EQ(flagValue(args, "extract-audio"), "--input-path");
  EXPECT_EQ(flagValue(args, "x"), std::nullopt);
  EXPECT_EQ(flagValue(args, "--missing"), std::nullopt);
}

TEST(Arguments, NumberFlagsFallBackToTheirDefaults) {
  struct Case {
    std::string longEdge, fps, keyframe;
    long long wantLongEdge, wantFps;
    double wantKeyframe;
  };
  const Case cases[] = {
      {"960", "60", "0.5", 960, 60, 0.5},
      {"wide", "fast", "often", 1920, 30, 0.25},
      {" 960", "60.0", "", 1920, 30, 0.25},
      {"-5", "+24", "1e-1", -5, 24, 0.1},
      {"99999999999999999999", "30", "2", 1920, 30, 2},
  };
  for (const auto& c : cases) {
    auto command = parseCommand({"create-proxy", "--input-path", "in", "--output-path", "out", "--max-long-edge",
                                 c.longEdge, "--max-fps", c.fps, "--keyframe-interval", c.keyframe, "--unknown"});
    const auto& proxy = std::get<CreateProxyCommand>(command);
    EXPECT_EQ(proxy.maxLongEdge, c.wantLongEdge) << c.longEdge;
    EXPECT_EQ(proxy.maxFps, c.wantFps) << c.fps;
    EXPECT_DOUBLE_EQ(proxy.keyframeIntervalSeconds, c.wantKeyframe) << c.keyframe;
    EXPECT_EQ(proxy.inputPath, "in");
    EXPECT_EQ(proxy.outputPath, "out");
  }
}

TEST(WavHeader, DescribesSixteenKilohertzMonoPcm) {
  const auto h = wavHeader(32000, 16000, 1, 16);
  auto u32 = [&](int at) { return uint32_t(h[at]) | uint32_t(h[at + 1]) << 8 | uint32_t(h[at + 2]) << 16 | uint32_t(h[at + 3]) << 24; };
  auto u16 = [&](int at) { return uint16_t(h[at] | h[at + 1] << 8); };
  EXPECT_EQ(std::memcmp(h.data(), "RIFF", 4), 0);
  EXPECT_EQ(u32(4), 36u + 32000u);
  EXPECT_EQ(std::memcmp(h.data() + 8, "WAVEfmt ", 8), 0);
  EXPECT_EQ(u32(16), 16u);
  EXPECT_EQ(u16(20), 1);
  EXPECT_EQ(u16(22), 1);
  EXPECT_EQ(u32(24), 16000u);
  EXPECT_EQ(u32(28), 32000u);
  EXPECT_EQ(u16(32), 2);
  EXPECT_EQ(u16(34), 16);
  EXPECT_EQ(std::memcmp(h.data() + 36, "data", 4), 0);
  EXPECT_EQ(u32(40), 32000u);
  // The largest size the header can hold still fits the RIFF field.
  const auto largest = wavHeader(static_cast<uint32_t>(kWavMaxDataBytes), 16000, 1, 16);
  for (int i = 4; i < 8; ++i) EXPECT_EQ(largest[i], 0xFF) << i;
}

TEST(Waveform, BucketsHold250SamplesAndAShortLastBucketItsOwnCount) {
  RmsBucketAccumulator acc;
  std::vector<float> half(1000, 0.5f), silence(100, 0.0f);
  // Fed in uneven pieces: a bucket carries over from one buffer to the next.
  acc.addSamples(half.data(), 333);
  acc.addSamples(half.data(), 667);
  acc.addSamples(silence.data(), silence.size());
  acc.finish();
  EXPECT_EQ(acc.buckets(), (std::vector<float>{0.5f, 0.5f, 0.5f, 0.5f, 0.0f}));
  EXPECT_EQ(acc.samplesCounted(), 1100u);
}

TEST(Waveform, NonFiniteSamplesCountAsSilence) {
  RmsBucketAccumulator acc;
  std::vector<float> samples(250, 1.0f);
  samples[0] = std::numeric_limits<float>::quiet_NaN();
  samples[1] = std::numeric_limits<float>::infinity();
  samples[2] = -std::numeric_limits<float>::infinity();
  acc.addSamples(samples.data(), samples.size());
  ASSERT_EQ(acc.buckets().size(), 1u);
  EXPECT_FLOAT_EQ(acc.buckets()[0], static_cast<float>(std::sqrt(247.0 / 250.0)));
}

TEST(Waveform, DownsampleWeighsTheLastGroupByItsOwnSize) {
  struct Case {
    std::vector<float> in;
    std::vector<float> out;
  };
  const Case cases[] = {
      {{1, 1, 1, 1, 2}, {1, 2}},
      {{3}, {3}},
      {{}, {}},
      {{3, 4}, {static_cast<float>(std::sqrt(12.5))}},
      {{0, 0, 0, 2, 1, 1, 1, 1}, {1, 1}},
  };
  for (const auto& c : cases) EXPECT_EQ(downsampleRms(c.in, 4), c.out) << ::testing::PrintToString(c.in);
}

TEST(Waveform, LevelsAreAddedWhileALevelHasMoreThan2048Buckets) {
  struct Case {
    size_t level0;
    std::vector<size_t> sizes;
  };
  const Case cases[] = {
      {0, {0}}, {320, {320}}, {2048, {2048}}, {2049, {2049, 513}}, {2240, {2240, 560}},
      {115200, {115200, 28800, 7200, 1800}},  // one hour
  };
  for (const auto& c : cases) {
    const auto levels = buildLevels(std::vector<float>(c.level0, 0.25f));
    ASSERT_EQ(levels.size(), c.sizes.size()) << c.level0;
    double seconds = 0.03125;
    for (size_t i = 0; i < levels.size(); ++i) {
      EXPECT_EQ(levels[i].rms.size(), c.sizes[i]);
      EXPECT_DOUBLE_EQ(levels[i].bucketSeconds, seconds);
      seconds *= 4;
    }
  }
}

TEST(Waveform, Base64IsStandardWithPaddingOverLittleEndianBytes) {
  EXPECT_EQ(float32Base64({}), "");
  EXPECT_EQ(float32Base64({1.0f}), "AACAPw==");       // 00 00 80 3F
  EXPECT_EQ(float32Base64({1.0f, -2.0f}), "AACAPwAAAMA=");
  EXPECT_EQ(float32Base64({0.5f, 0.5f, 0.5f}), "AAAAPwAAAD8AAAA/");  // "/" from the alphabet's end
}

TEST(Waveform, ArtifactHasExactlyItsKeys) {
  const auto doc = nlohmann::json::parse(waveformArtifactJson("fp/1", 2.5, buildLevels({1.0f})));
  std::vector<std::string> keys;
  for (auto& [k, v] : doc.items()) keys.push_back(k);
  std::sort(keys.begin(), keys.end());
  EXPECT_EQ(keys, (std::vector<std::string>{"bucketsPerSecond", "durationSeconds", "levels", "sourceFingerprint",
                                            "version"}));
  EXPECT_EQ(doc["version"], 1);
  EXPECT_EQ(doc["sourceFingerprint"], "fp/1");
  EXPECT_EQ(doc["bucketsPerSecond"], 32);
  EXPECT_DOUBLE_EQ(doc["durationSeconds"].get<double>(), 2.5);
  ASSERT_EQ(doc["levels"].size(), 1u);
  EXPECT_EQ(doc["levels"][0].size(), 2u);
  EXPECT_EQ(doc["levels"][0]["rmsFloat32Base64"], "AACAPw==");
  EXPECT_DOUBLE_EQ(doc["levels"][0]["bucketSeconds"].get<double>(), 0.03125);
}

TEST(Proxy, SizesAreUprightFittedNeverEnlargedAndEven) {
  struct Case {
    double w, h;
    long long maxLongEdge;
    int wantW, wantH;
  };
  const Case cases[] = {
      {3840, 2160, 1920, 1920, 1080}, {1280, 720, 1920, 1280, 720}, {1080, 1920, 1920, 1080, 1920},
      {1001, 501, 4000, 1000, 500},   {1920, 1080, 0, 2, 2},         {1920, 1080, -100, 2, 2},
      {1920, 1080, 960, 960, 540},    {1000, 3, 100, 100, 2},        {2.5, 2.5, 100, 2, 2},
  };
  for (const auto& c : cases) {
    const auto g = proxyGeometry(c.w, c.h, c.maxLongEdge);
    EXPECT_EQ(g.width, c.wantW) << c.w << "x" << c.h << " edge " << c.maxLongEdge;
    EXPECT_EQ(g.height, c.wantH) << c.w << "x" << c.h << " edge " << c.maxLongEdge;
  }
  const std::pair<double, int> even[] = {{2.4, 2}, {2.5, 2}, {3.5, 4}, {4.5, 4}, {5.49, 4}, {-7, 2}, {1081, 1080}};
  for (auto [x, want] : even) EXPECT_EQ(evenDimension(x), want) << x;
}

TEST(Proxy, BitRateKeyFrameIntervalAndTolerance) {
  EXPECT_EQ(proxyBitRate(1920, 1080, 30), 4'976'640);
  EXPECT_EQ(proxyBitRate(640, 360, 30), 2'000'000);
  EXPECT_EQ(proxyBitRate(3840, 2160, 60), 8'000'000);
  EXPECT_EQ(proxyBitRate(2, 2, 2'147'483'647), 8'000'000);
  EXPECT_EQ(proxyKeyFrameIntervalFrames(0.25, 30), 8);
  EXPECT_EQ(proxyKeyFrameIntervalFrames(0.5, 30), 15);
  EXPECT_EQ(proxyKeyFrameIntervalFrames(0, 30), 1);
  EXPECT_EQ(proxyKeyFrameIntervalFrames(-1, 30), 1);
  EXPECT_NEAR(proxyDurationTolerance(30), 0.0667, 1e-4);
  EXPECT_DOUBLE_EQ(proxyDurationTolerance(60), 0.05);
  EXPECT_DOUBLE_EQ(proxyDurationTolerance(120), 0.05);
}

TEST(Camera, RatioWindowAndCopyShortcut) {
  struct Case {
    double wall, source;
    std::optional<CameraAction> action;
    std::string error;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::string outside = "Media export failed: The requested timeline correction is outside the safe range";
  const Case cases[] = {
      {10.02, 10.0, CameraAction::copy, ""},
      {9.97, 10.0, CameraAction::copy, ""},
      {10.5, 10.0, CameraAction::retime, ""},
      {9.0, 10.0, CameraAction::retime, ""},
      {11.0, 10.0, CameraAction::retime, ""},
      {12.0, 10.0, std::nullopt, outside},
      {8.9, 10.0, std::nullopt, outside},
      {0.0, 10.0, std::nullopt, "Missing required argument --wall-duration"},
      {-3.0, 10.0, std::nullopt, "Missing required argument --wall-duration"},
      {nan, 10.0, std::nullopt, "Missing required argument --wall-duration"},
      {INFINITY, 10.0, std::nullopt, "Missing required argument --wall-duration"},
      {10.0, 0.0, std::nullopt, "Media export failed: The source duration is invalid"},
      {10.0, nan, std::nullopt, "Media export failed: The source duration is invalid"},
  };
  for (const auto& c : cases) {
    std::string error;
    std::optional<CameraAction> action;
    try {
      action = chooseCameraAction(c.wall, c.source);
    } catch (const MediaHelperError& e) {
      error = e.text();
    }
    EXPECT_EQ(action, c.action) << c.wall << " / " << c.source;
    EXPECT_EQ(error, c.error) << c.wall << " / " << c.source;
  }
}

TEST(Progress, ValuesAreClampedAndNaNIsOne) {
  const std::pair<double, double> cases[] = {
      {1.7, 1}, {-0.2, 0}, {std::numeric_limits<double>::quiet_NaN(), 1}, {0.25, 0.25}, {INFINITY, 1}, {-INFINITY, 0}};
  for (auto [in, want] : cases) {
    const std::string line = progressLine("decoding", in);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    const auto j = nlohmann::json::parse(line);
    EXPECT_EQ(j.size(), 2u);
    EXPECT_EQ(j["phase"], "decoding");
    EXPECT_DOUBLE_EQ(j["progress"].get<double>(), want) << in;
  }
}

}  // namespace
