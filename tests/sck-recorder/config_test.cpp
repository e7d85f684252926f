#include <gtest/gtest.h>

#include "config.h"
#include "telemetry.h"
#include "vantrel/common/strict_json.h"
#include "vantrel/desktop/microphone_capture.h"

using namespace vantrel::recorder;

TEST(RecorderGeometry, ResolutionLockScalesTheLongEdgeDownOnly) {
  struct Case {
    int w, h;
    std::optional<std::string> resolution;
    PixelSize expected;
  } cases[] = {
      {5760, 3600, "1080p", {1920, 1200}}, {5760, 3600, "4k", {3840, 2400}}, {5760, 3600, std::nullopt, {5760, 3600}},
      {1280, 800, "4k", {1280, 800}},      {1920, 1080, "720p", {1280, 720}}, {2560, 1440, "8k", {2560, 1440}},
      {1080, 1920, "720p", {720, 1280}},   {0, 0, "1080p", {0, 0}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(applyResolutionLock(c.w, c.h, c.resolution), c.expected) << c.w << "x" << c.h;
  }
}

TEST(RecorderGeometry, BitRateQueueDepthAndSegmentNames) {
  EXPECT_EQ(recordingVideoBitrate(1920, 1080, 30), 18'000'000);
  EXPECT_EQ(recordingVideoBitrate(3840, 2160, 60), 124'416'000);
  EXPECT_EQ(recordingVideoBitrate(5120, 2880, 60), 140'000'000);
  EXPECT_EQ(recordingVideoBitrate(3840, 2160, 1), 18'000'000);
  EXPECT_EQ(queueDepthForFps(24), 5);
  EXPECT_EQ(queueDepthForFps(30), 6);
  EXPECT_EQ(queueDepthForFps(60), 12);
  EXPECT_EQ(queueDepthForFps(120), 12);
  EXPECT_EQ(segmentPath("/rec/take.mov", 1), "/rec/take-seg1.mp4");
  EXPECT_EQ(segmentPath("/rec/take.mov", 2), "/rec/take-seg2.mp4");
  EXPECT_EQ(segmentPath("/rec/clip", 1), "/rec/clip-seg1.mp4");
  EXPECT_EQ(segmentPath("clip.mp4", 3), "./clip-seg3.mp4");
  EXPECT_EQ(ensureEven(1081), 1080);
}

TEST(RecorderConfig, DecodesAndRefusesWhatCannotBeRecorded) {
  const auto c = decodeRecordingConfig(
      R"({"type":"window","windowId":7,"outputPath":"/tmp/a.mp4","microphoneDeviceId":"  mic \n","extra":1})");
  EXPECT_TRUE(c.isWindowCapture());
  EXPECT_EQ(c.requestedMicrophoneDeviceId(), "mic");
  EXPECT_EQ(c.effectiveFps(), 30);
  EXPECT_EQ(c.resolveBackend(), RecordingBackendKind::scRecordingOutput);
  EXPECT_TRUE(c.fallbackAllowed());
  const auto legacy = decodeRecordingConfig(R"({"type":"display","outputPath":"/a","backendPreference":"legacy-avassetwriter","microphoneDeviceId":"  "})");
  EXPECT_EQ(legacy.resolveBackend(), RecordingBackendKind::legacyAssetWriter);
  EXPECT_FALSE(legacy.requestedMicrophoneDeviceId());
  EXPECT_FALSE(decodeRecordingConfig(R"({"type":"x","outputPath":"/a","backendPreference":"sc-recording-output"})").fallbackAllowed());
  const char* bad[] = {
      R"({"outputPath":"/a"})",
      R"({"type":"display"})",
      R"({"type":"display","outputPath":"/a","displayId":-1})",
      R"({"type":"display","outputPath":"/a","displayId":4294967296})",
      R"({"type":"display","outputPath":"/a","fps":0})",
      R"({"type":"display","outputPath":"/a","fps":100000})",
      R"({"type":"display","outputPath":"/a","cropRect":{"x":0,"y":0,"width":-5,"height":10}})",
      R"({"type":"display","outputPath":"/a","cropRect":{"x":0,"y":0,"width":1e300,"height":10}})",
      R"({"type":"display","outputPath":"/a","cropRect":{"x":0,"y":0,"width":5}})",
      R"([1,2])",
  };
  for (const char* text : bad) {
    EXPECT_THROW(decodeRecordingConfig(text), vantrel::json::DecodeError) << text;
  }
}

TEST(RecorderTelemetry, DeltasRatesAndKeysPerBackend) {
  RecorderTelemetry t;
  std::optional<double> previous;
  EXPECT_EQ(t.observedScreenFps(), 0);
  auto d = t.toDictionary();
  EXPECT_FALSE(d.contains("firstScreenPTS"));
  for (double ms : {0.0, 33.3, 33.3, 100.0}) t.recordScreenSample(ms / 1000.0, true, previous);
  EXPECT_NEAR(t.maxScreenDeltaMs, 66.7, 1e-9);
  EXPECT_NEAR(t.avgObservedScreenDeltaMs(), 50.0, 1e-9);

  RecorderTelemetry fps;
  previous.reset();
  for (int i = 0; i < 61; ++i) fps.recordScreenSample(i * (2.0 / 60), true, previous);
  EXPECT_NEAR(fps.observedScreenFps(), 30.5, 1e-9);

  const char* segmentKeys[] = {"recordingOutputStartCount", "recordingOutputFinishCount", "recordingOutputErrorCount",
                               "segmentStartLatencyMs", "segmentStopLatencyMs"};
  const char* writerKeys[] = {"videoWriterBackpressureDrops", "audioWriterBackpressureDrops",
                              "videoWriterAppendFailures", "audioWriterAppendFailures"};
  for (auto backend : {RecordingBackendKind::scRecordingOutput, RecordingBackendKind::legacyAssetWriter}) {
    t.backend = backend;
    d = t.toDictionary();
    const bool sc = backend == RecordingBackendKind::scRecordingOutput;
    for (const char* k : segmentKeys) EXPECT_EQ(d.contains(k), sc) << k;
    for (const char* k : writerKeys) EXPECT_EQ(d.contains(k), !sc) << k;
    EXPECT_FALSE(d.contains("screenDeltaSum"));
    EXPECT_FALSE(d.contains("finalSegments"));
  }
  FileReport r{"/x", 8.0, 10'000'000, 1920, 1080, "avc1"};
  EXPECT_DOUBLE_EQ(r.toJson()["averageMbps"].get<double>(), 10.0);
  FileReport empty{"/y", 0.0, 0, std::nullopt, std::nullopt, std::nullopt};
  EXPECT_TRUE(empty.toJson()["averageMbps"].is_number_integer());
  EXPECT_FALSE(empty.toJson().contains("width"));

  double mean = 0;
  std::int64_t n = 0;
  for (double x : {10.0, 20.0, 60.0}) foldLatency(mean, n, x);
  EXPECT_DOUBLE_EQ(mean, 30.0);
  EXPECT_EQ(n, 3);
}

TEST(MicrophoneSampleClock, PlacesBurstsBySampleCountAndMovesOnlyForLostAudio) {
  using vantrel::desktop::SampleClock;
  // 480-frame buffers at 48 kHz (10 ms) delivered in bursts of ten every 100 ms.
  SampleClock clock(48000);
  double expected = 0;
  double first = 0;
  for (int burst = 0; burst < 50; ++burst) {
    const double arrival = 100.0 + 0.1 * (burst + 1);
    for (int i = 0; i < 10; ++i) {
      const double t = clock.place(480, arrival);
      if (burst == 0 && i == 0) first = t;
      EXPECT_NEAR(t - first, expected, 1e-9) << burst << "/" << i;
      expected += 0.01;
    }
  }
  // Half a second of audio never arrives: the next buffers move by that much.
  SampleClock lossy(48000);
  double t = 0;
  for (int i = 0; i < 100; ++i) t = lossy.place(480, 10.0 + 0.01 * (i + 1));
  double later = 0;
  for (int i = 0; i < 200; ++i) later = lossy.place(480, 11.5 + 0.01 * (i + 1));
  EXPECT_NEAR(later, 11.5 + 0.01 * 199, 0.02);
  (void)t;
}
