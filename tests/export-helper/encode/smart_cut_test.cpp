// Smart cut of plain recordings whose cuts miss the sync samples: recordings
// made with the ffmpeg command line, cut through the media layer and through the
// export program, and judged by ffmpeg's own decoder and ffprobe: exact frame
// times, byte-identical copied packets, clean decoding at every cut, and the
// plan note that says which way ran.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "encode/smart_cut.h"
#include "fixtures.h"
#include "vantrel/media/asset.h"
#include "vantrel/media/composition.h"
#include "vantrel/media/errors.h"
#include "vantrel/media/smart_cut.h"
#include "vantrel/testing/process.h"

namespace {

using nlohmann::json;
using namespace vantrel::media;
using vantrel::media::test::fixture;
using vantrel::media::test::range;
using vantrel::media::test::scratchPath;
using vantrel::media::test::sec;
using vantrel::testing::ProcessOptions;
using vantrel::testing::runProcess;

// 6 s at 30 fps, a sync sample every second (0, 1, 2, ...).
std::vector<std::string> x264Args(const std::string& bframes, const std::string& pixelFormat = "yuv420p",
                                  const std::string& extraFilter = "", const std::string& size = "320x240") {
  std::vector<std::string> a = {"-f", "lavfi", "-i", "testsrc2=size=" + size + ":rate=30:duration=6"};
  if (!extraFilter.empty()) {
    for (std::string s : {"-vf", extraFilter.c_str(), "-fps_mode", "passthrough"}) a.push_back(s);
  }
  for (std::string s : {"-c:v", "libx264", "-preset", "veryfast", "-bf", bframes.c_str(), "-g", "30",
                        "-keyint_min", "30", "-sc_threshold", "0", "-pix_fmt", pixelFormat.c_str()}) {
    a.push_back(s);
  }
  return a;
}

std::string withBFrames() { return fixture("sc_bframes.mp4", x264Args("3")); }
std::string withoutBFrames() { return fixture("sc_nobframes.mp4", x264Args("0")); }
// The encoder's option record removed: nothing tells how to rebuild its
// parameter sets, so the re-encoded frames bring their own.
std::string withoutEncoderRecord() {
  return fixture("sc_nosei.mp4", {"-i", withBFrames(), "-c", "copy", "-bsf:v", "filter_units=remove_types=6"});
}
// Frame intervals alternating 1/30 s and 1/15 s.
std::string variableFrameRate() {
  return fixture("sc_vfr.mp4", x264Args("3", "yuv420p", "setpts='(N+floor(N/2))/30/TB'"));
}
// At the program's "720p" canvas, so the scene is a plain recording.
std::string withBFrames720() { return fixture("sc_bframes_720.mp4", x264Args("3", "yuv420p", "", "1280x720")); }
std::string fullChroma() { return fixture("sc_444.mp4", x264Args("3", "yuv444p")); }
std::string mpeg4Part2() {
  return fixture("sc_mpeg4.mp4", {"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=30:duration=3", "-c:v", "mpeg4",
                                  "-g", "30"});
}

struct Cut {
  double start, end;  // source seconds; each edit follows the previous one on the output
};

Composition compose(const AssetRef& asset, const std::vector<Cut>& cuts) {
  Composition c;
  auto& track = c.addTrack(MediaType::video);
  const int id = asset->firstTrack(MediaType::video).trackId;
  double at = 0;
  for (const auto& cut : cuts) {
    track.insertTimeRange(range(cut.start, cut.end - cut.start), asset, id, sec(at));
    at += cut.end - cut.start;
  }
  return c;
}

struct ProbedPacket {
  std::int64_t pts = 0, dts = 0;
  bool key = false;
  std::string hash;
};

struct ProbedStream {
  int timescale = 0;
  std::vector<ProbedPacket> packets;  // decode order
};

ProbedStream probe(const std::string& path) {
  auto j = vantrel::media::test::ffprobe({"-select_streams", "v:0", "-show_data_hash", "md5", "-show_entries",
                                          "stream=time_base:packet=pts,dts,flags,data_hash", "-show_streams",
                                          "-show_packets", path});
  ProbedStream s;
  const std::string tb = j["streams"][0]["time_base"];
  s.timescale = std::stoi(tb.substr(tb.find('/') + 1));
  for (const auto& p : j["packets"]) {
    s.packets.push_back({p["pts"].get<std::int64_t>(), p["dts"].get<std::int64_t>(),
                         p["flags"].get<std::string>().find('K') != std::string::npos, p["data_hash"]});
  }
  return s;
}

std::int64_t ticks(double seconds, int timescale) { return std::llround(seconds * timescale); }

// Everything a correct cut must satisfy, checked against the source.
void expectExactCut(const std::string& source, const std::string& output, const std::vector<Cut>& cuts) {
  const ProbedStream in = probe(source);
  const ProbedStream out = probe(output);
  ASSERT_EQ(in.timescale, out.timescale);
  const int ts = in.timescale;

  // Frame times: every source frame inside an edit, moved to its output place.
  std::vector<std::int64_t> expected;
  std::map<std::int64_t, std::string> outHashByPts;
  for (const auto& p : out.packets) outHashByPts[p.pts] = p.hash;
  std::vector<std::int64_t> keys;
  for (const auto& p : in.packets) {
    if (p.key) keys.push_back(p.pts);
  }
  std::sort(keys.begin(), keys.end());
  int wholeGopsChecked = 0;
  double at = 0;
  for (const auto& cut : cuts) {
    const std::int64_t a = ticks(cut.start, ts), b = ticks(cut.end, ts), shift = ticks(at, ts) - a;
    for (const auto& p : in.packets) {
      if (p.pts >= a && p.pts < b) expected.push_back(p.pts + shift);
    }
    // Whole groups of pictures inside the edit are copied byte for byte.
    for (std::size_t k = 0; k + 1 < keys.size(); ++k) {
      if (keys[k] < a || keys[k + 1] > b) continue;
      for (const auto& p : in.packets) {
        if (p.pts < keys[k] || p.pts >= keys[k + 1]) continue;
        auto it = outHashByPts.find(p.pts + shift);
        ASSERT_NE(it, outHashByPts.end()) << "frame at " << p.pts << " missing";
        EXPECT_EQ(it->second, p.hash) << "copied frame at source tick " << p.pts << " changed";
      }
      ++wholeGopsChecked;
    }
    at += cut.end - cut.start;
  }
  std::sort(expected.begin(), expected.end());
  std::vector<std::int64_t> got;
  for (const auto& p : out.packets) got.push_back(p.pts);
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, expected);
  for (std::size_t i = 1; i < out.packets.size(); ++i) {
    EXPECT_LT(out.packets[i - 1].dts, out.packets[i].dts) << "decode times must increase, packet " << i;
  }
  for (const auto& p : out.packets) EXPECT_LE(p.dts, p.pts);

  // ffmpeg's decoder takes every frame without a complaint (through ffprobe:
  // an ffmpeg output would round the frame times to its frame rate, and two
  // frames either side of a cut may lie closer than that)...
  auto decode = runProcess({"/usr/bin/ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0",
                            "-show_entries", "stream=nb_read_frames", "-of", "csv=p=0", output});
  EXPECT_EQ(decode.exitStatus, 0);
  EXPECT_EQ(decode.err, "") << "decoder errors in " << output;
  EXPECT_EQ(decode.out, std::to_string(expected.size()) + "\n");
  // ...and every output frame looks like the source frame it stands for
  // (copied frames exactly, re-encoded ones closely; a frame decoded with the
  // wrong parameter sets or references is garbage, far below 30 dB).
  std::string select;
  for (const auto& cut : cuts) {
    select += (select.empty() ? "" : "+") + std::string("between(t\\,") + std::to_string(cut.start) + "\\," +
              std::to_string(cut.end - 0.5 / ts) + ")";
  }
  auto psnr = runProcess({"/usr/bin/ffmpeg", "-nostdin", "-i", output, "-i", source, "-filter_complex",
                          "[1:v]select='" + select + "',setpts=N/30/TB[s];[0:v]setpts=N/30/TB[o];[o][s]psnr",
                          "-f", "null", "-"});
  ASSERT_EQ(psnr.exitStatus, 0) << psnr.err;
  const auto m = psnr.err.find(" min:");
  ASSERT_NE(m, std::string::npos) << psnr.err;
  const std::string minText = psnr.err.substr(m + 5, psnr.err.find(' ', m + 5) - m - 5);
  if (minText != "inf") {
    EXPECT_GT(std::stod(minText), 30.0) << "worst frame PSNR";
  }
  (void)wholeGopsChecked;
}

struct Case {
  const char* name;
  std::string (*source)();
  std::vector<Cut> cuts;
  SmartCutParameterSets parameterSets;
  bool reencodes;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class SmartCutCases : public ::testing::TestWithParam<Case> {};

TEST_P(SmartCutCases, CopiesWholeGroupsAndReencodesOnlyAroundCuts) {
  const Case& c = GetParam();
  const std::string source = c.source();
  const auto asset = Asset::open(source);
  SmartCut cut(compose(asset, c.cuts));
  ASSERT_FALSE(cut.unavailableReason().has_value()) << *cut.unavailableReason();
  EXPECT_EQ(cut.parameterSets(), c.parameterSets);
  const std::string output = scratchPath(std::string("smart_cut_") + c.name + ".mp4");
  double lastProgress = -1;
  bool progressMonotonic = true;
  SmartCutOptions options;
  options.outputPath = output;
  options.progress = [&](double p) {
    progressMonotonic = progressMonotonic && p >= lastProgress - 1e-9;
    lastProgress = p;
  };
  const SmartCutResult result = cut.run(options);
  EXPECT_EQ(result.parameterSets, c.parameterSets);
  EXPECT_EQ(result.encodedFrames > 0, c.reencodes) << result.encodedFrames << " frames re-encoded";
  EXPECT_GT(result.copiedPackets, 0);
  EXPECT_DOUBLE_EQ(lastProgress, 1.0);
  expectExactCut(source, output, c.cuts);
}

INSTANTIATE_TEST_SUITE_P(
    Sources, SmartCutCases,
    ::testing::Values(
        // B-frames; a cut inside the first group, two cuts inside one group, a
        // cut on a sync sample to the end, edits ending inside a group.
        Case{"bframes", withBFrames, {{0.25, 0.85}, {1.1, 1.3}, {1.45, 3.55}, {4.0, 6.0}},
             SmartCutParameterSets::source, true},
        // Cut exactly on sync samples: a pure copy.
        Case{"on_sync_samples", withBFrames, {{1.0, 3.0}, {4.0, 5.0}}, SmartCutParameterSets::source, false},
        // Without B-frames; the last group cut short before the end.
        Case{"no_bframes", withoutBFrames, {{0.55, 2.45}, {3.35, 5.95}}, SmartCutParameterSets::source, true},
        Case{"added_parameter_sets", withoutEncoderRecord, {{0.25, 0.85}, {1.1, 1.3}, {1.45, 3.55}, {4.0, 6.0}},
             SmartCutParameterSets::added, true},
        Case{"variable_frame_rate", variableFrameRate, {{0.3, 2.2}, {3.1, 5.0}}, SmartCutParameterSets::source,
             true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SmartCutMedia, RefusesWhatItCannotReencodeToMatch) {
  struct Refusal {
    std::string source;
    std::string reason;
  };
  for (const auto& r : {Refusal{fullChroma(), "unsupported_pixel_format"}, Refusal{mpeg4Part2(), "not_h264"}}) {
    const auto asset = Asset::open(r.source);
    SmartCut cut(compose(asset, {{0.5, 2.5}}));
    ASSERT_TRUE(cut.unavailableReason().has_value());
    EXPECT_EQ(*cut.unavailableReason(), r.reason);
    SmartCutOptions options;
    options.outputPath = scratchPath("smart_cut_refused.mp4");
    EXPECT_THROW(cut.run(options), MediaError);
    EXPECT_FALSE(std::filesystem::exists(options.outputPath));
  }
  // A scaled edit (a speed change) cannot be copied at all.
  const auto asset = Asset::open(withBFrames());
  Composition c = compose(asset, {{0.5, 2.5}});
  c.scaleTimeRange(range(0, 2), sec(3));
  SmartCut cut(std::move(c));
  ASSERT_TRUE(cut.unavailableReason().has_value());
  EXPECT_EQ(*cut.unavailableReason(), "scaled_segment");
}

TEST(SmartCutMedia, CancelStopsAndRemovesThePartialFile) {
  const auto asset = Asset::open(withBFrames());
  SmartCut cut(compose(asset, {{0.25, 5.5}}));
  std::atomic<bool> cancel{false};
  SmartCutOptions options;
  options.outputPath = scratchPath("smart_cut_cancelled.mp4");
  options.cancel = &cancel;
  options.progress = [&](double p) {
    if (p > 0.3) cancel.store(true);
  };
  try {
    cut.run(options);
    ADD_FAILURE() << "not cancelled";
  } catch (const MediaError& e) {
    EXPECT_EQ(e.code(), MediaErrorCode::cancelled);
  }
  EXPECT_FALSE(std::filesystem::exists(options.outputPath));
}

TEST(SmartCutNote, GoesBeforeTheClosingNote) {
  vantrel::exporter::HelperQualityPlanSupport support;
  support.notes = {"quality_mode_preserves_source_video", "network_optimized_mp4"};
  vantrel::exporter::addSmartCutNote(support, vantrel::exporter::kSmartCutAddedParameterSetsNote);
  EXPECT_EQ(support.notes, (std::vector<std::string>{"quality_mode_preserves_source_video",
                                                     "smart_cut_added_parameter_sets", "network_optimized_mp4"}));
}

// The export program on a plain recording with cuts off the sync samples:
// smart cut runs and says so; switched off, the full re-encode runs and says so.
TEST(SmartCutExport, ProgramReportsWhichPathRan) {
  vantrel::testing::TempDir dir;
  const std::string source = withBFrames720();
  json m = json::parse(vantrel::testing::readFile(std::string(VANTREL_EXPORT_FIXTURES) + "/minimal_manifest.json"));
  m["qualityPlan"]["resolution"] = "720p";
  m["videoPlan"]["sourceVideoPath"] = source;
  m["videoPlan"]["sourceVideoPaths"] = {source};
  const std::vector<Cut> cuts = {{0.25, 2.5}, {3.4, 5.9}};
  json segments = json::array();
  double at = 0;
  for (std::size_t i = 0; i < cuts.size(); ++i) {
    const double length = cuts[i].end - cuts[i].start;
    segments.push_back({{"segmentId", "s" + std::to_string(i)}, {"sourceIndex", 0},
                        {"sourceStartTime", cuts[i].start}, {"sourceEndTime", cuts[i].end},
                        {"outputStartTime", at}, {"outputEndTime", at + length}, {"speed", 1}});
    at += length;
  }
  m["videoPlan"]["segments"] = segments;
  m["videoPlan"]["durationSeconds"] = at;
  vantrel::testing::writeFile(dir.file("manifest.json"), m.dump());

  struct Run {
    std::vector<std::string> env;
    std::string note;
  };
  for (const auto& r : {Run{{}, "smart_cut_source_parameter_sets"},
                        Run{{"VANTREL_SMART_CUT=off"}, "smart_cut_unavailable:disabled"}}) {
    ProcessOptions options;
    options.timeout = std::chrono::seconds(120);
    options.extraEnv = r.env;
    const std::string output = dir.file("final.mp4");
    auto result = runProcess({VANTREL_EXPORT_HELPER_PATH, "run", "--job-id", "j", "--manifest-path",
                              dir.file("manifest.json"), "--temp-output-path", dir.file("scratch/export.tmp.mp4"),
                              "--final-output-path", output},
                             options);
    ASSERT_EQ(result.exitStatus, 0) << result.out << result.err;
    json report;
    for (const auto& line : result.outLines()) {
      auto e = json::parse(line);
      if (e.contains("performanceReport")) report = e["performanceReport"];
    }
    const auto notes = report["qualityPlanSupport"]["notes"].get<std::vector<std::string>>();
    ASSERT_GE(notes.size(), 2u);
    EXPECT_EQ(notes[notes.size() - 2], r.note);
    EXPECT_EQ(notes.back(), "network_optimized_mp4");
    if (r.env.empty()) expectExactCut(source, output, cuts);
    EXPECT_TRUE(std::filesystem::is_empty(dir.file("scratch")));
  }
}

}  // namespace
