// End-to-end checks of the export program's command line and job frame: the
// real binary is started and its output lines, error output and exit status
// are compared with what the host relies on.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <string>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "vantrel/testing/process.h"

namespace {

using nlohmann::json;
using vantrel::testing::ProcessResult;
using vantrel::testing::runProcess;
using vantrel::testing::TempDir;
using vantrel::testing::writeFile;

const std::string kHelper = VANTREL_EXPORT_HELPER_PATH;
const std::string kFixtures = VANTREL_EXPORT_FIXTURES;
const std::string kFullUsage =
    "Usage: vantrel-export-helper --capabilities | run --job-id <id> --manifest-path <path> --temp-output-path "
    "<path> --final-output-path <path> | thumbnail --source-path <mp4> --output-path <jpg>\n";
const std::string kThumbUsage = "Usage: vantrel-export-helper thumbnail --source-path <mp4> --output-path <jpg>\n";

ProcessResult helper(std::vector<std::string> args) {
  args.insert(args.begin(), kHelper);
  vantrel::testing::ProcessOptions options;
  options.timeout = std::chrono::seconds(30);
  return runProcess(args, options);
}

std::vector<json> events(const ProcessResult& r) {
  std::vector<json> out;
  for (const auto& line : r.outLines()) out.push_back(json::parse(line));  // throws on a broken line
  return out;
}

std::vector<std::string> types(const std::vector<json>& evs) {
  std::vector<std::string> t;
  for (const auto& e : evs) t.push_back(e.at("type"));
  return t;
}

std::vector<std::string> runArgs(const std::string& manifest, const std::string& dir = "/tmp") {
  return {"run", "--job-id", "job-1", "--manifest-path", manifest, "--temp-output-path", dir + "/t.mp4",
          "--final-output-path", dir + "/f.mp4"};
}

struct ModeCase {
  const char* name;
  std::vector<std::string> args;
  int status;
  bool capabilities;        // stdout is the capabilities record
  std::string err;          // exact standard error
};

TEST(ExportCli, ModeDispatch) {
  const ModeCase cases[] = {
      {"no arguments", {}, 1, false, kFullUsage},
      {"help flag", {"--help"}, 1, false, kFullUsage},
      {"unknown mode", {"export", "--job-id", "x"}, 1, false, kFullUsage},
      {"capabilities", {"--capabilities"}, 0, true, ""},
      {"capabilities beats run", {"run", "--job-id", "a", "--capabilities"}, 0, true, ""},
      {"capabilities beats thumbnail", {"thumbnail", "--capabilities"}, 0, true, ""},
      {"capabilities as a flag value", {"thumbnail", "--source-path", "--capabilities"}, 0, true, ""},
      {"thumbnail without flags", {"thumbnail"}, 1, false, kThumbUsage},
      {"thumbnail without output", {"thumbnail", "--source-path", "a.mp4"}, 1, false, kThumbUsage},
      {"thumbnail output flag last", {"thumbnail", "--source-path", "a.mp4", "--output-path"}, 1, false, kThumbUsage},
  };
  for (const auto& c : cases) {
    auto r = helper(c.args);
    EXPECT_EQ(r.exitStatus, c.status) << c.name;
    EXPECT_EQ(r.err, c.err) << c.name;
    if (c.capabilities) {
      ASSERT_EQ(r.outLines().size(), 1u) << c.name;
      EXPECT_EQ(r.out.back(), '\n');
      auto caps = json::parse(r.outLines()[0]);
      EXPECT_EQ(caps["version"], "0.6.0");
      EXPECT_EQ(caps["platform"], "linux");
      EXPECT_FALSE(caps.contains("reason"));
    } else {
      EXPECT_EQ(r.out, "") << c.name;
    }
  }
}

TEST(ExportCli, MissingRunFlagIsTheOnlyLine) {
  struct Case {
    std::vector<std::string> args;
    std::string flag;
  };
  const Case cases[] = {
      {{"run"}, "--job-id"},
      {{"run", "--manifest-path", "m", "--temp-output-path", "t", "--final-output-path", "f"}, "--job-id"},
      {{"run", "--job-id", "a", "--temp-output-path", "t"}, "--manifest-path"},
      {{"run", "--job-id", "a", "--manifest-path", "m", "--final-output-path", "f"}, "--temp-output-path"},
      {{"run", "--job-id", "a", "--manifest-path", "m", "--temp-output-path", "t", "--final-output-path"},
       "--final-output-path"},
  };
  for (const auto& c : cases) {
    auto r = helper(c.args);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err, "");
    auto evs = events(r);
    ASSERT_EQ(evs.size(), 1u) << c.flag;
    const std::string text = "Missing required argument: " + c.flag;
    EXPECT_EQ(evs[0], (json{{"type", "failed"},
                            {"errorMessage", text},
                            {"helperVersion", "0.6.0"},
                            {"fallbackReason", text},
                            {"message", "Native export helper failed."}}));
  }
}

// Writes `content` as a manifest and returns the run's events.
struct ManifestCase {
  const char* name;
  std::string content;
  std::vector<std::string> expectedTypes;
  std::string errorPrefix;  // "unreadable", "malformed" or an exact text
};

TEST(ExportCli, BadManifestsFailWithTheirText) {
  std::string deep(100000, '[');
  deep += std::string(100000, ']');
  std::string minimal = vantrel::testing::readFile(kFixtures + "/minimal_manifest.json");
  std::string mov = json::parse(minimal).dump();
  mov.replace(mov.find("\"mp4\""), 5, "\"mov\"");
  const ManifestCase cases[] = {
      {"empty file", "", {"started", "progress", "failed"}, "malformed"},
      {"100000 nested arrays", deep, {"started", "progress", "failed"}, "malformed"},
      {"invalid UTF-8", "{\"projectName\":\"\xff\xfe\"}", {"started", "progress", "failed"}, "malformed"},
      {"NaN literal", "{\"manifestVersion\":NaN}", {"started", "progress", "failed"}, "malformed"},
      {"wrong shape", "{\"a\":1}", {"started", "progress", "failed"}, "malformed"},
      {"truncated", minimal.substr(0, minimal.size() / 2), {"started", "progress", "failed"}, "malformed"},
      {"unsupported format",
       mov,
       {"started", "progress", "telemetry", "failed"},
       "Native export helper does not support this scene yet (native_helper_unsupported_format)."},
  };
  TempDir dir;
  for (const auto& c : cases) {
    std::string path = dir.file("manifest.json");
    writeFile(path, c.content);
    auto r = helper(runArgs(path, dir.path()));
    EXPECT_EQ(r.exitStatus, 1) << c.name;
    EXPECT_EQ(r.err, "") << c.name;
    auto evs = events(r);
    EXPECT_EQ(types(evs), c.expectedTypes) << c.name;
    std::string expected = std::string(c.errorPrefix) == "malformed" ? "Manifest at " + path + " is not valid JSON"
                                                                      : c.errorPrefix;
    EXPECT_EQ(evs.back()["errorMessage"], expected) << c.name;
    EXPECT_EQ(evs.back()["fallbackReason"], expected) << c.name;
  }
}

TEST(ExportCli, EventSequenceOfALoadedManifest) {
  TempDir dir;
  auto r = helper(runArgs(kFixtures + "/minimal_manifest.json", dir.path()));
  auto evs = events(r);
  ASSERT_EQ(types(evs), (std::vector<std::string>{"started", "progress", "telemetry", "failed"}));
  EXPECT_EQ(evs[0], (json{{"type", "started"}, {"helperVersion", "0.6.0"}, {"message", "Native export helper started."}}));
  EXPECT_EQ(evs[1], (json{{"type", "progress"},
                          {"stage", "preparing"},
                          {"substage", "manifest"},
                          {"progress", 0.02},
                          {"message", "Loading export manifest..."},
                          {"helperVersion", "0.6.0"}}));
  EXPECT_EQ(evs[2], (json{{"type", "telemetry"},
                          {"message", "Manifest loaded for project Minimal."},
                          {"helperVersion", "0.6.0"}}));
  // The fixture's source recording does not exist: the media layer's text names it.
  EXPECT_NE(evs[3]["errorMessage"].get<std::string>().find("/nonexistent/vantrel-fixture/source.mp4"), std::string::npos)
      << evs[3]["errorMessage"];
  struct stat st {};
  EXPECT_NE(::stat(dir.file("f.mp4").c_str(), &st), 0);
  EXPECT_NE(::stat(dir.file("t.mp4").c_str(), &st), 0);
}

TEST(ExportCli, FormatGifTakesTheGifPathOnlyWhenExact) {
  TempDir dir;
  json m = json::parse(vantrel::testing::readFile(kFixtures + "/minimal_manifest.json"));
  struct Case {
    const char* format;
    const char* reason;
  };
  // The exact "gif" is a supported format: its export starts and fails on the missing source.
  for (auto c : {Case{"gif", "/nonexistent/vantrel-fixture/source.mp4"},
                 Case{"mp4", "/nonexistent/vantrel-fixture/source.mp4"},
                 Case{"GIF", "native_helper_unsupported_format"},
                 Case{"gif ", "native_helper_unsupported_format"}}) {
    m["qualityPlan"]["format"] = c.format;
    writeFile(dir.file("m.json"), m.dump());
    auto evs = events(helper(runArgs(dir.file("m.json"), dir.path())));
    EXPECT_NE(evs.back()["errorMessage"].get<std::string>().find(c.reason), std::string::npos) << c.format;
  }
}

TEST(ExportCli, UnreadableManifestPaths) {
  TempDir dir;
  ::mkdir(dir.file("a-directory").c_str(), 0755);
  const std::string weird = dir.file("we\"ird\\ \xC3\xA9 name.json");
  for (const std::string& path : {dir.file("missing.json"), dir.file("a-directory"), weird}) {
    auto r = helper(runArgs(path, dir.path()));
    EXPECT_EQ(r.exitStatus, 1);
    // Every line is whole JSON on one line, whatever the path contains.
    auto evs = events(r);
    ASSERT_EQ(types(evs), (std::vector<std::string>{"started", "progress", "failed"})) << path;
    EXPECT_EQ(evs.back()["errorMessage"], "Unable to read manifest at " + path);
  }
}

TEST(ExportCli, FlagRule) {
  TempDir dir;
  // The value after the first occurrence wins.
  auto r = helper({"run", "--job-id", "a", "--manifest-path", kFixtures + "/minimal_manifest.json",
                   "--manifest-path", dir.file("missing.json"), "--temp-output-path", dir.file("t.mp4"),
                   "--final-output-path", dir.file("f.mp4")});
  EXPECT_EQ(types(events(r)), (std::vector<std::string>{"started", "progress", "telemetry", "failed"}));
  // Values are taken as they stand, even when they look like flags.
  r = helper({"run", "--job-id", "a", "--manifest-path", "--temp-output-path", "--temp-output-path",
              "--final-output-path", "--final-output-path", dir.file("f.mp4")});
  auto evs = events(r);
  EXPECT_EQ(evs.back()["errorMessage"], "Unable to read manifest at --temp-output-path");
}

}  // namespace

// The real program, orphaned in the middle of a long export (a one-second
// recording repeated for ten minutes): the watchdog ends it with status 1.
// This test process is a subreaper, so the orphan becomes its child and its
// end can be seen.
TEST(ExportCli, AnOrphanedJobEndsWithinTheWatchdogBound) {
  TempDir dir;
  const std::string source = dir.file("source.mp4");
  auto made = runProcess({"/usr/bin/ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=s=320x180:r=30:d=1",
                          "-c:v", "libx264", "-bf", "0", "-pix_fmt", "yuv420p", source});
  ASSERT_EQ(made.exitStatus, 0) << made.err;
  json m = json::parse(vantrel::testing::readFile(kFixtures + "/minimal_manifest.json"));
  m["qualityPlan"]["compression"] = "high";
  m["videoPlan"]["sourceVideoPath"] = source;
  m["videoPlan"]["sourceVideoPaths"] = {source};
  m["videoPlan"]["durationSeconds"] = 600;
  json segment = m["videoPlan"]["segments"][0];
  m["videoPlan"]["segments"] = json::array();
  for (int i = 0; i < 600; ++i) {
    segment["segmentId"] = "s" + std::to_string(i);
    segment["sourceStartTime"] = 0;
    segment["sourceEndTime"] = 1;
    segment["outputStartTime"] = i;
    segment["outputEndTime"] = i + 1;
    m["videoPlan"]["segments"].push_back(segment);
  }
  const std::string manifestPath = dir.file("manifest.json");
  writeFile(manifestPath, m.dump());
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  const pid_t middle = ::fork();
  ASSERT_GE(middle, 0);
  if (middle == 0) {
    const pid_t helper = ::fork();
    if (helper == 0) {
      const int devnull = ::open("/dev/null", O_WRONLY);
      ::dup2(devnull, 1);
      ::execl(kHelper.c_str(), kHelper.c_str(), "run", "--job-id", "j", "--manifest-path", manifestPath.c_str(),
              "--temp-output-path", dir.file("t.mp4").c_str(), "--final-output-path", dir.file("f.mp4").c_str(),
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
    // Still running while its parent lives (status 3 tells the test otherwise).
    ::usleep(1500 * 1000);
    int status = 0;
    ::_exit(::waitpid(helper, &status, WNOHANG) == 0 ? 0 : 3);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(middle, &status, 0), middle);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0) << "the job ended while its parent was alive";
  const auto orphaned = std::chrono::steady_clock::now();
  const pid_t helper = ::waitpid(-1, &status, 0);
  const auto elapsed = std::chrono::steady_clock::now() - orphaned;
  ::prctl(PR_SET_CHILD_SUBREAPER, 0);
  ASSERT_GT(helper, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_LT(elapsed, std::chrono::seconds(5));  // the check runs every second; generous for a loaded machine
}
