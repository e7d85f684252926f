#include "telemetry.h"

namespace vantrel::recorder {

json::OrderedJson FileReport::toJson() const {
  json::OrderedJson o = json::OrderedJson::object();
  o["path"] = path;
  o["duration"] = duration;
  o["bytes"] = bytes;
  if (duration > 0) {
    o["averageMbps"] = static_cast<double>(bytes) * 8.0 / duration / 1'000'000.0;
  } else {
    o["averageMbps"] = 0;
  }
  json::putOptional<int>(o, "width", width);
  json::putOptional<int>(o, "height", height);
  if (codec) o["codec"] = *codec;
  return o;
}

void RecorderTelemetry::recordScreenSample(double T, bool complete, std::optional<double>& previous) {
  ++screenSamplesReceived;
  if (complete) {
    ++screenSamplesComplete;
  } else {
    ++screenSamplesIncomplete;
  }
  if (previous) {
    const double delta = (T - *previous) * 1000.0;
    if (delta > 0) {
      screenDeltaSum += delta;
      ++screenDeltaCount;
      if (delta > maxScreenDeltaMs) maxScreenDeltaMs = delta;
    }
  }
  previous = T;
  if (!firstScreenPTS) firstScreenPTS = T;
  lastScreenPTS = T;
}

double RecorderTelemetry::observedScreenFps() const {
  if (firstScreenPTS && lastScreenPTS && *lastScreenPTS > *firstScreenPTS) {
    return static_cast<double>(screenSamplesComplete) / (*lastScreenPTS - *firstScreenPTS);
  }
  return 0;
}

double RecorderTelemetry::avgObservedScreenDeltaMs() const {
  return screenDeltaCount > 0 ? screenDeltaSum / static_cast<double>(screenDeltaCount) : 0;
}

json::OrderedJson RecorderTelemetry::toDictionary() const {
  json::OrderedJson o = json::OrderedJson::object();
  o["backend"] = backendText(backend);
  o["requestedFps"] = requestedFps;
  o["screenSamplesReceived"] = screenSamplesReceived;
  o["screenSamplesComplete"] = screenSamplesComplete;
  o["screenSamplesIncomplete"] = screenSamplesIncomplete;
  o["screenSamplesSkippedWhilePaused"] = screenSamplesSkippedWhilePaused;
  o["micSamplesReceived"] = micSamplesReceived;
  o["micSamplesSkippedWhilePaused"] = micSamplesSkippedWhilePaused;
  o["pauseCount"] = pauseCount;
  o["segmentCount"] = segmentCount;
  o["maxScreenDeltaMs"] = maxScreenDeltaMs;
  o["avgObservedScreenDeltaMs"] = avgObservedScreenDeltaMs();
  o["observedScreenFps"] = observedScreenFps();
  o["recordingStartWallClock"] = recordingStartWallClock;
  o["recordingStopWallClock"] = recordingStopWallClock;
  json::putOptional<double>(o, "firstScreenPTS", firstScreenPTS);
  json::putOptional<double>(o, "lastScreenPTS", lastScreenPTS);
  if (!finalSegments.empty()) {
    json::OrderedJson list = json::OrderedJson::array();
    for (const auto& f : finalSegments) list.push_back(f.toJson());
    o["finalSegments"] = std::move(list);
  }
  if (backend == RecordingBackendKind::scRecordingOutput) {
    o["recordingOutputStartCount"] = recordingOutputStartCount;
    o["recordingOutputFinishCount"] = recordingOutputFinishCount;
    o["recordingOutputErrorCount"] = recordingOutputErrorCount;
    o["segmentStartLatencyMs"] = segmentStartLatencyMs;
    o["segmentStopLatencyMs"] = segmentStopLatencyMs;
  } else {
    o["videoWriterBackpressureDrops"] = videoWriterBackpressureDrops;
    o["audioWriterBackpressureDrops"] = audioWriterBackpressureDrops;
    o["videoWriterAppendFailures"] = videoWriterAppendFailures;
    o["audioWriterAppendFailures"] = audioWriterAppendFailures;
  }
  return o;
}

void foldLatency(double& mean, std::int64_t& n, double x) {
  if (n == 0) {
    mean = x;
    n = 1;
  } else {
    mean = (mean * static_cast<double>(n) + x) / static_cast<double>(n + 1);
    ++n;
  }
}

}  // namespace vantrel::recorder
