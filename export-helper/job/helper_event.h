#pragma once
// The events the export program writes on standard output, one JSON object per
// line. Optional keys are left out when absent, never written as null.

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "plan/quality_plan_support.h"
#include "support/scene_profile.h"
#include "vantrel/common/json_out.h"

namespace vantrel::exporter {

inline constexpr const char* kHelperVersion = "0.6.0";

// Timing of one video export, carried by its final telemetry event. Times are
// wall-clock milliseconds.
struct HelperPerformanceReport {
  std::string helperVersion = kHelperVersion;
  double totalMs = 0;
  double prepareMs = 0;
  double videoEncodeMs = 0;
  double audioMs = 0;
  double muxMs = 0;
  std::int64_t framesEncoded = 1;
  double avgFrameMs = 0;
  bool metalUsed = false;
  double expectedTargetMs = 0;
  bool meetsSpeedTarget = false;
  HelperSceneProfile sceneProfile;
  HelperQualityPlanSupport qualityPlanSupport;

  json::OrderedJson toJson() const;
};

struct StartedEvent {
  std::string helperVersion;
  std::string message;
};

struct ProgressEvent {
  std::string stage;
  std::optional<std::string> substage;
  std::optional<double> progress;  // 0..1, never decreasing within a job
  std::optional<std::string> message;
  std::optional<std::string> helperVersion;
};

struct TelemetryEvent {
  std::optional<std::string> message;
  std::optional<std::string> helperVersion;
  std::optional<std::string> fallbackReason;
  std::optional<HelperPerformanceReport> performanceReport;
};

struct CompletedEvent {
  std::optional<std::string> filePath;
  std::optional<std::int64_t> fileSizeBytes;
  std::optional<std::string> helperVersion;
  std::optional<std::string> message;
};

struct FailedEvent {
  std::string errorMessage;
  std::optional<std::string> helperVersion;
  std::optional<std::string> fallbackReason;
  std::optional<std::string> message;
};

using HelperEvent = std::variant<StartedEvent, ProgressEvent, TelemetryEvent, CompletedEvent, FailedEvent>;

// The event as a JSON object with its keys in the fixed order of its type.
json::OrderedJson toJson(const HelperEvent& event);

// A progress event carrying all five progress fields, as every export path emits them.
ProgressEvent makeProgress(std::string stage, std::string substage, double progress, std::string message);

}  // namespace vantrel::exporter
