#pragma once
// The recorder's health record. Not thread-safe by itself: the recorder
// changes and reads it only under its state lock.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "config.h"
#include "vantrel/common/json_out.h"

namespace vantrel::recorder {

// Report of one finished file.
struct FileReport {
  std::string path;
  double duration = 0;  // seconds
  std::int64_t bytes = 0;
  std::optional<int> width, height;
  std::optional<std::string> codec;
  json::OrderedJson toJson() const;
};

// One report per path that exists, in order.
std::vector<FileReport> finalizedSegmentTelemetry(const std::vector<std::string>& paths);

struct RecorderTelemetry {
  RecordingBackendKind backend = RecordingBackendKind::scRecordingOutput;
  int requestedFps = 30;
  std::int64_t screenSamplesReceived = 0;
  std::int64_t screenSamplesComplete = 0;
  std::int64_t screenSamplesIncomplete = 0;
  std::int64_t screenSamplesSkippedWhilePaused = 0;
  std::int64_t micSamplesReceived = 0;
  std::int64_t micSamplesSkippedWhilePaused = 0;
  std::optional<double> firstScreenPTS;
  std::optional<double> lastScreenPTS;
  double maxScreenDeltaMs = 0;
  double screenDeltaSum = 0;
  std::int64_t screenDeltaCount = 0;
  std::int64_t pauseCount = 0;
  std::int64_t segmentCount = 0;
  double recordingStartWallClock = 0;
  double recordingStopWallClock = 0;
  std::vector<FileReport> finalSegments;
  std::int64_t videoWriterBackpressureDrops = 0;
  std::int64_t audioWriterBackpressureDrops = 0;
  std::int64_t videoWriterAppendFailures = 0;
  std::int64_t audioWriterAppendFailures = 0;
  std::int64_t recordingOutputStartCount = 0;
  std::int64_t recordingOutputFinishCount = 0;
  std::int64_t recordingOutputErrorCount = 0;
  double segmentStartLatencyMs = 0;
  double segmentStopLatencyMs = 0;
  std::int64_t segmentStartCount = 0;
  std::int64_t segmentStopCount = 0;

  // Counts one screen sample at timeline time T (seconds); `previous` is the
  // recorder's previousScreenPTS, updated here.
  void recordScreenSample(double T, bool complete, std::optional<double>& previous);
  double observedScreenFps() const;
  double avgObservedScreenDeltaMs() const;
  json::OrderedJson toDictionary() const;
};

// Running mean: folds x into (mean, n).
void foldLatency(double& mean, std::int64_t& n, double x);

}  // namespace vantrel::recorder
