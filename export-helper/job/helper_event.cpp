#include "job/helper_event.h"

namespace vantrel::exporter {

json::OrderedJson HelperPerformanceReport::toJson() const {
  json::OrderedJson o;
  o["helperVersion"] = helperVersion;
  o["totalMs"] = totalMs;
  o["prepareMs"] = prepareMs;
  o["videoEncodeMs"] = videoEncodeMs;
  o["audioMs"] = audioMs;
  o["muxMs"] = muxMs;
  o["framesEncoded"] = framesEncoded;
  o["avgFrameMs"] = avgFrameMs;
  o["metalUsed"] = metalUsed;
  o["expectedTargetMs"] = expectedTargetMs;
  o["meetsSpeedTarget"] = meetsSpeedTarget;
  o["sceneProfile"] = sceneProfile.toJson();
  o["qualityPlanSupport"] = qualityPlanSupport.toJson();
  return o;
}

namespace {

using json::OrderedJson;
using json::putOptional;

struct EventEncoder {
  OrderedJson operator()(const StartedEvent& e) const {
    OrderedJson o;
    o["type"] = "started";
    o["helperVersion"] = e.helperVersion;
    o["message"] = e.message;
    return o;
  }
  OrderedJson operator()(const ProgressEvent& e) const {
    OrderedJson o;
    o["type"] = "progress";
    o["stage"] = e.stage;
    putOptional<std::string>(o, "substage", e.substage);
    putOptional<double>(o, "progress", e.progress);
    putOptional<std::string>(o, "message", e.message);
    putOptional<std::string>(o, "helperVersion", e.helperVersion);
    return o;
  }
  OrderedJson operator()(const TelemetryEvent& e) const {
    OrderedJson o;
    o["type"] = "telemetry";
    putOptional<std::string>(o, "message", e.message);
    putOptional<std::string>(o, "helperVersion", e.helperVersion);
    putOptional<std::string>(o, "fallbackReason", e.fallbackReason);
    if (e.performanceReport) o["performanceReport"] = e.performanceReport->toJson();
    return o;
  }
  OrderedJson operator()(const CompletedEvent& e) const {
    OrderedJson o;
    o["type"] = "completed";
    putOptional<std::string>(o, "filePath", e.filePath);
    putOptional<std::int64_t>(o, "fileSizeBytes", e.fileSizeBytes);
    putOptional<std::string>(o, "helperVersion", e.helperVersion);
    putOptional<std::string>(o, "message", e.message);
    return o;
  }
  OrderedJson operator()(const FailedEvent& e) const {
    OrderedJson o;
    o["type"] = "failed";
    o["errorMessage"] = e.errorMessage;
    putOptional<std::string>(o, "helperVersion", e.helperVersion);
    putOptional<std::string>(o, "fallbackReason", e.fallbackReason);
    putOptional<std::string>(o, "message", e.message);
    return o;
  }
};

}  // namespace

json::OrderedJson toJson(const HelperEvent& event) { return std::visit(EventEncoder{}, event); }

ProgressEvent makeProgress(std::string stage, std::string substage, double progress, std::string message) {
  return ProgressEvent{std::move(stage), std::move(substage), progress, std::move(message), kHelperVersion};
}

}  // namespace vantrel::exporter
