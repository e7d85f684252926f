// The commands on real files made by ffmpeg, judged by ffprobe and Python's
// wave module rather than by our own readers.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <algorithm>
#include <nlohmann/json.hpp>

#include "fixtures.h"
#include "vantrel/media/asset.h"
#include "vantrel/media/errors.h"
#include "vantrel/mediahelper/camera.h"
#include "vantrel/mediahelper/errors.h"
#include "vantrel/mediahelper/proxy.h"
#include "vantrel/mediahelper/wav.h"
#include "vantrel/mediahelper/waveform.h"
#include "vantrel/testing/process.h"

using namespace vantrel::mediahelper;
namespace mt = vantrel::media::test;

namespace {

struct ProgressLog {
  std::vector<std::pair<std::string, double>> lines;
  ProgressSink sink() {
    return [this](const std::string& phase, double p) { lines.emplace_back(phase, p); };
  }
};

// Constant-level 16-bit WAV at 8 kHz: decodes to exactly `level` everywhere.
std::string constantWav(double seconds, const std::string& level) {
  char name[64];
  std::snprintf(name, sizeof name, "constant_%g_%s.wav", seconds, level.c_str());
  return mt::fixture(name, {"-f", "lavfi", "-i", "aevalsrc=" + level + ":s=8000:d=" + std::to_string(seconds),
                            "-c:a", "pcm_s16le"});
}

std::vector<float> decodeBase64Floats(const std::string& text) {
  static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string bytes;
  uint32_t acc = 0;
  int bits = 0;
  for (char ch : text) {
    if (ch == '=') break;
    acc = acc << 6 | static_cast<uint32_t>(alphabet.find(ch));
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      bytes += static_cast<char>(acc >> bits & 0xFF);
    }
  }
  std::vector<float> out(bytes.size() / 4);
  std::memcpy(out.data(), bytes.data(), out.size() * 4);
  return out;
}

TEST(ExtractAudio, WavReadBackByAnIndependentReaderMatchesItsHeader) {
  const std::string input = mt::testPattern320(2);
  const std::string output = mt::scratchPath("nested/dir/speech.wav");
  extractAudio(input, output);
  const auto r = vantrel::testing::runProcess(
      {"/usr/bin/python3", "-c",
       "import sys, wave, os\n"
       "w = wave.open(sys.argv[1])\n"
       "n = w.getnframes()\n"
       "data = w.readframes(n)\n"
       "print(w.getnchannels(), w.getsampwidth(), w.getframerate(), n, len(data), os.path.getsize(sys.argv[1]))\n",
       output});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  int channels = 0, width = 0, rate = 0;
  long frames = 0, bytes = 0, size = 0;
  ASSERT_EQ(std::sscanf(r.out.c_str(), "%d %d %d %ld %ld %ld", &channels, &width, &rate, &frames, &bytes, &size), 6);
  EXPECT_EQ(channels, 1);
  EXPECT_EQ(width, 2);
  EXPECT_EQ(rate, 16000);
  EXPECT_EQ(bytes, frames * 2);
  EXPECT_EQ(size, 44 + bytes);
  EXPECT_NEAR(frames, 32000, 160);  // two seconds
  // The RIFF size is the file size less its first 8 bytes.
  const std::string file = vantrel::testing::readFile(output);
  const uint32_t riff = uint8_t(file[4]) | uint8_t(file[5]) << 8 | uint8_t(file[6]) << 16 | uint32_t(uint8_t(file[7])) << 24;
  EXPECT_EQ(riff, static_cast<uint32_t>(size - 8));
}

// Samples of a 16-bit mono WAV written by extract-audio (after its 44-byte header).
std::vector<int16_t> wavSamples(const std::string& path) {
  const std::string file = vantrel::testing::readFile(path);
  std::vector<int16_t> out(file.size() > 44 ? (file.size() - 44) / 2 : 0);
  std::memcpy(out.data(), file.data() + 44, out.size() * 2);
  return out;
}

TEST(ExtractAudio, DamagedPacketsBecomeSilenceSoLaterSoundStaysOnTime) {
  // 4 s of a quiet tone with a loud burst at 3.0 s; bytes around 1.3 s damaged.
  const std::string clean = mt::fixture(
      "burst_4s_helper.m4a",
      {"-f", "lavfi", "-i", "aevalsrc=0.1*sin(2*PI*440*t)+0.5*sin(2*PI*1000*t)*between(t\\,3\\,3.2):s=48000:d=4",
       "-c:a", "aac", "-b:a", "128k"});
  std::string bytes = vantrel::testing::readFile(clean);
  const size_t mdat = bytes.find("mdat"), moov = bytes.find("moov");
  ASSERT_TRUE(mdat != std::string::npos && moov != std::string::npos && mdat < moov);
  const size_t from = mdat + (moov - mdat) / 3;
  for (size_t i = from; i < from + 3000; ++i) bytes[i] = static_cast<char>(bytes[i] ^ 0x5a);
  const std::string damaged = mt::scratchPath("burst_damaged_helper.m4a");
  vantrel::testing::writeFile(damaged, bytes);

  const std::string output = mt::scratchPath("damaged.wav");
  extractAudio(damaged, output);
  const auto s = wavSamples(output);
  EXPECT_NEAR(double(s.size()) / 16000, 4.0, 1024.0 / 48000);
  // The damage is heard as silence, not as missing time.
  bool silentStretch = false;
  for (size_t i = 16000; i + 160 < 32000 && !silentStretch; i += 160) {
    silentStretch = std::all_of(s.begin() + i, s.begin() + i + 160, [](int16_t v) { return std::abs(v) < 100; });
  }
  EXPECT_TRUE(silentStretch);
  size_t burst = 40000;
  while (burst < s.size() && std::abs(s[burst]) < 0.3 * 32767) ++burst;
  EXPECT_NEAR(double(burst) / 16000, 3.0, 0.002);
}

TEST(ExtractAudio, DataBeyondTheHeaderLimitFailsInOrder) {
  const std::string output = mt::scratchPath("limited.wav");
  try {
    extractAudio(mt::testPattern320(2), output, 1000);
    FAIL() << "no error";
  } catch (const MediaHelperError& e) {
    EXPECT_EQ(e.code(), MediaHelperErrorCode::exportFailed);
    EXPECT_EQ(e.text(), "Media export failed: The extracted audio is longer than a WAV file can describe");
  }
  // Nothing past the limit was written.
  EXPECT_LE(std::filesystem::file_size(output), 44u + 1000u);
}

TEST(ExtractWaveform, TenSecondsGive320BucketsInOneLevel) {
  ProgressLog log;
  const std::string output = mt::scratchPath("ten.waveform.json");
  extractWaveform(constantWav(10, "0.5"), output, "fingerprint-10", log.sink());
  const auto doc = nlohmann::json::parse(vantrel::testing::readFile(output));
  EXPECT_NEAR(doc["durationSeconds"].get<double>(), 10.0, 1e-6);
  ASSERT_EQ(doc["levels"].size(), 1u);
  const auto level = decodeBase64Floats(doc["levels"][0]["rmsFloat32Base64"]);
  ASSERT_EQ(level.size(), 320u);
  for (float v : level) EXPECT_NEAR(v, 0.5f, 1e-4);

  ASSERT_GE(log.lines.size(), 3u);
  EXPECT_EQ(log.lines.front(), (std::pair<std::string, double>{"decoding", 0}));
  EXPECT_EQ(log.lines.back(), (std::pair<std::string, double>{"complete", 1}));
  // At most one line per 5 % step, rising, each past its step.
  EXPECT_LE(log.lines.size(), 2u + 20u);
  double threshold = 0.05;
  for (size_t i = 1; i + 1 < log.lines.size(); ++i) {
    EXPECT_EQ(log.lines[i].first, "decoding");
    EXPECT_GE(log.lines[i].second, threshold - 1e-12);
    threshold += 0.05;
  }
}

TEST(ExtractWaveform, SeventySecondsGetASecondLevel) {
  const std::string output = mt::scratchPath("seventy.waveform.json");
  extractWaveform(constantWav(70, "0.25"), output, "fp", [](const std::string&, double) {});
  const auto doc = nlohmann::json::parse(vantrel::testing::readFile(output));
  ASSERT_EQ(doc["levels"].size(), 2u);
  EXPECT_EQ(decodeBase64Floats(doc["levels"][0]["rmsFloat32Base64"]).size(), 2240u);
  const auto coarse = decodeBase64Floats(doc["levels"][1]["rmsFloat32Base64"]);
  EXPECT_EQ(coarse.size(), 560u);
  EXPECT_DOUBLE_EQ(doc["levels"][1]["bucketSeconds"].get<double>(), 0.125);
  for (float v : coarse) EXPECT_NEAR(v, 0.25f, 1e-4);
}

TEST(ExtractWaveform, FailuresLeaveTheOutputPathAlone) {
  const std::string output = mt::scratchPath("untouched.waveform.json");
  vantrel::testing::writeFile(output, "previous");
  const std::string videoOnly = mt::fixture(
      "video_only.mp4", {"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=30:duration=1", "-c:v", "libx264",
                         "-preset", "ultrafast", "-pix_fmt", "yuv420p"});
  EXPECT_THROW(extractWaveform(videoOnly, output, "fp", [](const std::string&, double) {}), MediaHelperError);
  EXPECT_THROW(extractWaveform(mt::scratchPath("missing.mp4"), output, "fp", [](const std::string&, double) {}),
               vantrel::media::MediaError);
  EXPECT_EQ(vantrel::testing::readFile(output), "previous");
}

struct ProxyCase {
  std::string name;
  std::string source;  // fixture key
  long long maxLongEdge, maxFps;
  double keyframeSeconds;
  int wantWidth, wantHeight;
};

std::string proxySource(const std::string& key) {
  if (key == "wide") {
    return mt::fixture("wide_640x360.mp4", {"-f", "lavfi", "-i", "testsrc2=size=640x360:rate=30:duration=2", "-f",
                                            "lavfi", "-i", "sine=duration=2", "-c:v", "libx264", "-preset",
                                            "ultrafast", "-pix_fmt", "yuv420p", "-c:a", "aac", "-shortest"});
  }
  if (key == "portrait") return mt::rotatedCopy(mt::testPattern320(2), "portrait.mp4");
  return mt::testPattern320(2);
}

void PrintTo(const ProxyCase& c, std::ostream* os) { *os << c.name; }

class ProxyTest : public ::testing::TestWithParam<ProxyCase> {};

TEST_P(ProxyTest, IsUprightVideoOnlyAtTheFixedRateWithFrequentKeyFrames) {
  const ProxyCase& c = GetParam();
  ProgressLog log;
  const std::string output = mt::scratchPath("proxy_" + c.name + ".mp4");
  createProxy(proxySource(c.source), output, c.maxLongEdge, c.maxFps, c.keyframeSeconds, log.sink());

  const auto streams = mt::probeStreams(output);
  ASSERT_EQ(streams.size(), 1u) << "video only";
  EXPECT_EQ(streams[0]["codec_name"], "h264");
  EXPECT_EQ(streams[0]["width"], c.wantWidth);
  EXPECT_EQ(streams[0]["height"], c.wantHeight);
  EXPECT_EQ(streams[0]["r_frame_rate"], std::to_string(c.maxFps) + "/1");
  EXPECT_EQ(streams[0].value("side_data_list", nlohmann::json::array()).size(), 0u) << "no rotation left";
  EXPECT_NEAR(std::stod(streams[0]["duration"].get<std::string>()), 2.0, proxyDurationTolerance(c.maxFps));

  const auto packets = mt::probePackets(output, "v:0");
  ASSERT_EQ(packets.size(), static_cast<size_t>(2 * c.maxFps));
  const int interval = proxyKeyFrameIntervalFrames(c.keyframeSeconds, c.maxFps);
  for (size_t i = 0; i < packets.size(); ++i) {
    const bool key = packets[i]["flags"].get<std::string>().find('K') != std::string::npos;
    EXPECT_EQ(key, i % interval == 0) << "packet " << i;
  }
  EXPECT_EQ(log.lines.front(), (std::pair<std::string, double>{"transcoding", 0}));
  EXPECT_EQ(log.lines.back(), (std::pair<std::string, double>{"complete", 1}));
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, ProxyTest,
    ::testing::Values(ProxyCase{"halved", "wide", 320, 30, 0.25, 320, 180},
                      ProxyCase{"not_enlarged", "pattern", 1920, 30, 0.25, 320, 240},
                      ProxyCase{"portrait", "portrait", 160, 30, 0.25, 120, 160},
                      ProxyCase{"fifteen_fps", "wide", 640, 15, 1.0, 640, 360}),
    [](const auto& info) { return info.param.name; });

TEST(Proxy, RefusesSettingsTheHostNeverSendsBeforeWriting) {
  const std::string output = mt::scratchPath("refused_proxy.mp4");
  vantrel::testing::writeFile(output, "previous");
  const std::pair<long long, double> cases[] = {{0, 0.25}, {-30, 0.25}, {30, NAN}, {30, INFINITY}};
  for (auto [fps, keyframe] : cases) {
    EXPECT_THROW(createProxy(mt::testPattern320(2), output, 320, fps, keyframe, [](const std::string&, double) {}),
                 MediaHelperError);
  }
  EXPECT_EQ(vantrel::testing::readFile(output), "previous");
}

// Peak resident memory of this process since the last reset, in bytes.
long long peakRss() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stoll(line.substr(6)) * 1024;
  }
  return -1;
}

TEST(Proxy, ADeclaredGiantPictureFailsAsAReaderErrorWithoutTheMemory) {
  const std::string small = mt::fixture("giant_base.mp4", {"-f", "lavfi", "-i", "color=c=0x336699:s=64x64:r=30:d=1",
                                                           "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt",
                                                           "yuv420p"});
  const std::string giant = mt::hugePictureCopy(small, "giant_16000.mp4", 16000, 16000);
  const std::string output = mt::scratchPath("giant_proxy.mp4");
  { std::ofstream("/proc/self/clear_refs") << "5"; }  // restart the peak count from here
  const long long before = peakRss();
  try {
    createProxy(giant, output, 640, 30, 0.25, [](const std::string&, double) {});
    FAIL() << "no error";
  } catch (const MediaHelperError& e) {
    EXPECT_EQ(e.code(), MediaHelperErrorCode::readerFailed) << e.text();
    EXPECT_NE(e.text().find("16000x16000"), std::string::npos) << e.text();
  }
  // One 16000x16000 frame alone would take 384 MB. AddressSanitizer's shadow
  // and quarantine add their own share to whatever the reader allocates.
#if defined(__SANITIZE_ADDRESS__)
  constexpr long long kBound = 350ll << 20;
#else
  constexpr long long kBound = 200ll << 20;
#endif
  EXPECT_LT(peakRss() - before, kBound);
  EXPECT_FALSE(std::filesystem::exists(output));
}

TEST(NormalizeCamera, SmallDifferencesCopyLargerOnesRetimeEveryTrack) {
  const std::string source = mt::testPattern320(3);
  const std::string copied = mt::scratchPath("camera_copy/out.mp4");
  normalizeCamera(source, copied, 3.02);
  EXPECT_EQ(vantrel::testing::readFile(copied), vantrel::testing::readFile(source));

  const std::string retimed = mt::scratchPath("camera_retimed.mp4");
  vantrel::testing::writeFile(retimed, "stale");
  normalizeCamera(source, retimed, 3.3);
  const auto streams = mt::probeStreams(retimed);
  ASSERT_EQ(streams.size(), 2u);
  for (const auto& s : streams) {
    EXPECT_NEAR(std::stod(s["duration"].get<std::string>()), 3.3, 0.05) << s["codec_type"];
  }
}

TEST(NormalizeCamera, KeepsThePortraitTransform) {
  const std::string source = mt::rotatedCopy(mt::testPattern320(3), "camera_portrait.mp4");
  const std::string output = mt::scratchPath("camera_portrait_out.mp4");
  normalizeCamera(source, output, 2.8);
  const auto asset = vantrel::media::Asset::open(output);
  const auto& track = asset->firstTrack(vantrel::media::MediaType::video);
  EXPECT_EQ(track.displaySize.width, 240);
  EXPECT_EQ(track.displaySize.height, 320);
  EXPECT_NEAR(asset->duration().seconds(), 2.8, 0.05);
}

}  // namespace
