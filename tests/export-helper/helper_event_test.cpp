#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "job/helper_event.h"
#include "job/progress_reporter.h"
#include "vantrel/common/json_out.h"

namespace vantrel::exporter {
namespace {

std::string encode(const HelperEvent& e) { return json::encodeCompact(toJson(e)); }

TEST(HelperEvent, KeysInOrderAndAbsentKeysLeftOut) {
  EXPECT_EQ(encode(StartedEvent{"0.6.0", "Native export helper started."}),
            R"({"type":"started","helperVersion":"0.6.0","message":"Native export helper started."})");
  EXPECT_EQ(encode(makeProgress("preparing", "manifest", 0.02, "Loading export manifest...")),
            R"({"type":"progress","stage":"preparing","substage":"manifest","progress":0.02,)"
            R"("message":"Loading export manifest...","helperVersion":"0.6.0"})");
  EXPECT_EQ(encode(ProgressEvent{"rendering", std::nullopt, std::nullopt, std::nullopt, std::nullopt}),
            R"({"type":"progress","stage":"rendering"})");
  EXPECT_EQ(encode(TelemetryEvent{"m", "0.6.0", std::nullopt, std::nullopt}),
            R"({"type":"telemetry","message":"m","helperVersion":"0.6.0"})");
  EXPECT_EQ(encode(CompletedEvent{"/o.mp4", 1234, "0.6.0", "Export complete."}),
            R"({"type":"completed","filePath":"/o.mp4","fileSizeBytes":1234,"helperVersion":"0.6.0",)"
            R"("message":"Export complete."})");
  EXPECT_EQ(encode(FailedEvent{"e", "0.6.0", "e", "Native export helper failed."}),
            R"({"type":"failed","errorMessage":"e","helperVersion":"0.6.0","fallbackReason":"e",)"
            R"("message":"Native export helper failed."})");
}

TEST(HelperEvent, PerformanceReportCarriesAllFieldsInOrder) {
  HelperPerformanceReport r;
  r.totalMs = 1500.5;
  r.framesEncoded = 150;
  r.sceneProfile.sceneClass = "custom-compositor";
  r.sceneProfile.featureTags = {"custom-compositor", "audio"};
  auto o = toJson(TelemetryEvent{"t", "0.6.0", "speed_target_missed_1500ms", r});
  const auto& report = o["performanceReport"];
  std::vector<std::string> keys;
  for (auto it = report.begin(); it != report.end(); ++it) keys.push_back(it.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"helperVersion", "totalMs", "prepareMs", "videoEncodeMs", "audioMs",
                                            "muxMs", "framesEncoded", "avgFrameMs", "metalUsed", "expectedTargetMs",
                                            "meetsSpeedTarget", "sceneProfile", "qualityPlanSupport"}));
  EXPECT_EQ(report["sceneProfile"].size(), 19u);
  EXPECT_EQ(report["qualityPlanSupport"].size(), 16u);
  EXPECT_TRUE(report["framesEncoded"].is_number_integer());
}

std::string drain(int fd) {
  std::string s;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<std::size_t>(n));
  return s;
}

TEST(ProgressReporter, NonFiniteEventIsDroppedWithOneErrorLine) {
  int out[2], err[2];
  ASSERT_EQ(::pipe(out), 0);
  ASSERT_EQ(::pipe(err), 0);
  {
    ProgressReporter reporter(out[1], err[1]);
    reporter.emit(makeProgress("rendering", "x", std::nan(""), "Encoding native video..."));
    reporter.emit(StartedEvent{"0.6.0", "after"});
  }
  ::close(out[1]);
  ::close(err[1]);
  EXPECT_EQ(drain(out[0]), R"({"type":"started","helperVersion":"0.6.0","message":"after"})"
                           "\n");
  std::string e = drain(err[0]);
  EXPECT_EQ(e.rfind("[vantrel-export-helper] Failed to encode event: ", 0), 0u) << e;
  EXPECT_EQ(std::count(e.begin(), e.end(), '\n'), 1);
  ::close(out[0]);
  ::close(err[0]);
}

}  // namespace
}  // namespace vantrel::exporter
