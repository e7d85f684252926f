// Damaged and unusual recordings, made with the ffmpeg command line at test
// time, run through every program mode that reads media. Each run must end
// within a time bound, by a signal never, either with the mode's documented
// failure or with an output that ffprobe reads with a sane duration, and leave
// behind nothing but the files the mode documents.
//
// Valid but unusual files (variable frame rate, odd sizes, 10-bit, 4:4:4,
// HEVC, fragmented MP4, audio shorter or later than the video) must succeed;
// files that hold no playable media must fail; damaged files may go either way.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <iostream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "fixtures.h"
#include "vantrel/testing/process.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using vantrel::testing::ProcessOptions;
using vantrel::testing::ProcessResult;
using vantrel::testing::readFile;
using vantrel::testing::runProcess;
using vantrel::testing::writeFile;

const std::string kExportHelper = VANTREL_EXPORT_HELPER_PATH;
const std::string kMediaHelper = MEDIA_HELPER_PATH;
const std::string kManifestFixtures = VANTREL_EXPORT_FIXTURES;

// A hang, not slowness: the files hold at most two seconds of small video.
// Unoptimised sanitizer builds render a styled 720p second in about half a
// minute, so they get more room; a hang still ends as one.
#if defined(__SANITIZE_ADDRESS__)
constexpr auto kTimeBound = std::chrono::seconds(120);
#else
constexpr auto kTimeBound = std::chrono::seconds(20);
#endif

enum class Expect { success, failure, either };

struct Case {
  std::string name;
  double seconds;  // the video's nominal length: the manifest's duration
  bool hasAudio;
  Expect expect;
  std::string path;  // filled in when the corpus is made
  // When above 0, the length every audio artifact must have: damaged packets
  // become silence of their own length, so nothing drifts.
  double audioSeconds = 0;
  // When above 0, the video length of a successful artifact where it differs
  // from the nominal one (a file cut mid-fragment is read up to the cut).
  double readableSeconds = 0;
};

// A cut file's artifact holds at least its readable part and at most the
// nominal length (a rendered export fills the rest from the scene).
void expectVideoSeconds(const Case& c, double seconds) {
  if (c.readableSeconds > 0) {
    EXPECT_GE(seconds, c.readableSeconds - 0.1);
    EXPECT_LE(seconds, c.seconds + 0.1);
  } else {
    EXPECT_NEAR(seconds, c.seconds, 0.1);
  }
}

ProcessResult ffmpeg(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"/usr/bin/ffmpeg", "-nostdin", "-y", "-loglevel", "error"};
  argv.insert(argv.end(), args.begin(), args.end());
  ProcessOptions options;
  options.timeout = std::chrono::seconds(120);
  return runProcess(argv, options);
}

// 1 s of 1280x720 at 30 fps: a 720p export of it is a pass-through candidate.
const std::vector<std::string> kPicture = {"-f", "lavfi", "-i", "testsrc2=size=1280x720:rate=30:duration=1"};
const std::vector<std::string> kTone = {"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=1"};
const std::vector<std::string> kH264 = {"-c:v", "libx264", "-preset", "ultrafast", "-g", "10", "-bf", "0",
                                        "-pix_fmt", "yuv420p"};
const std::vector<std::string> kAac = {"-c:a", "aac", "-b:a", "64k"};

std::vector<std::string> join(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

size_t boxAt(const std::string& bytes, const char* type) {
  const size_t at = bytes.find(type);
  EXPECT_NE(at, std::string::npos) << type;
  return at == std::string::npos ? 0 : at - 4;  // the box starts with its 32-bit size
}

std::string pseudoRandomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string out(n, '\0');
  for (auto& c : out) c = static_cast<char>(rng() & 0xFF);
  return out;
}

// File offset and size of each packet of one stream ("a:0", "v:0").
std::vector<std::pair<size_t, size_t>> packetsOf(const std::string& path, const std::string& stream) {
  const auto r = runProcess({"/usr/bin/ffprobe", "-v", "error", "-select_streams", stream, "-show_entries",
                             "packet=pos,size", "-of", "json", path});
  std::vector<std::pair<size_t, size_t>> out;
  const json j = json::parse(r.out, nullptr, false);
  if (j.is_discarded()) return out;
  for (const auto& p : j["packets"]) {
    out.emplace_back(std::stoul(p["pos"].get<std::string>()), std::stoul(p["size"].get<std::string>()));
  }
  return out;
}

class Corpus {
 public:
  static Corpus& get() {
    static Corpus corpus;
    return corpus;
  }
  const std::vector<Case>& cases() const { return cases_; }

 private:
  Corpus() { make(); }

  std::string encode(const std::string& name, const std::vector<std::string>& args) {
    const std::string path = dir_.file(name);
    std::vector<std::string> full = args;
    full.push_back(path);
    const auto r = ffmpeg(full);
    EXPECT_EQ(r.exitStatus, 0) << name << ": " << r.err;
    return path;
  }
  std::string write(const std::string& name, const std::string& bytes) {
    writeFile(dir_.file(name), bytes);
    return dir_.file(name);
  }
  void add(std::string name, double seconds, bool audio, Expect expect, std::string path, double audioSeconds = 0) {
    cases_.push_back({std::move(name), seconds, audio, expect, std::move(path), audioSeconds});
  }

  void make() {
    // Ordinary recordings the damaged files are cut from.
    const std::string base = encode("base.mp4", join({kPicture, kTone, kH264, kAac}));
    const std::string silentBase = encode("silent_base.mp4", join({kPicture, kH264}));
    const std::string faststart = encode("faststart.mp4", {"-i", base, "-c", "copy", "-movflags", "+faststart"});
    const std::string fragmented =
        encode("fragmented.mp4", join({kPicture, kTone,
                                       {"-c:v", "libx264", "-preset", "ultrafast", "-g", "10", "-bf", "2",
                                        "-pix_fmt", "yuv420p"},
                                       kAac, {"-movflags", "frag_keyframe+empty_moov"}}));
    const std::string bytes = readFile(base);
    const std::string indexFirst = readFile(faststart);
    const std::string fragments = readFile(fragmented);

    add("base", 1, true, Expect::success, base, 1);
    // Index after the media data, so the cut loses it.
    add("truncated at a third", 1, true, Expect::failure, write("truncated.mp4", bytes.substr(0, bytes.size() / 3)));
    // Index first: the file opens, but its media data stops at a third.
    add("truncated after its index", 1, true, Expect::either,
        write("truncated_faststart.mp4", indexFirst.substr(0, indexFirst.size() / 3)));
    // Media data with nothing describing it: the index cut off, or the bare media data box.
    add("index missing", 1, true, Expect::failure, write("moov_less.mp4", bytes.substr(0, boxAt(bytes, "moov"))));
    add("media data only", 1, true, Expect::failure,
        write("mdat_only.mp4", bytes.substr(boxAt(bytes, "mdat"), boxAt(bytes, "moov") - boxAt(bytes, "mdat"))));
    add("zero length", 1, false, Expect::failure, write("empty.mp4", ""));
    add("random bytes", 1, false, Expect::failure, write("random.mp4", pseudoRandomBytes(65536, 18)));
    {
      // Chosen audio and video packets overwritten with garbage, the index
      // intact: three AAC frames and the middle of three pictures.
      std::string corrupt = bytes;
      for (const auto& [stream, picks] : {std::pair{"a:0", std::vector<size_t>{8, 20, 33}},
                                          std::pair{"v:0", std::vector<size_t>{4, 12, 25}}}) {
        const auto packets = packetsOf(base, stream);
        for (size_t i : picks) {
          ASSERT_LT(i, packets.size()) << stream;
          const auto [pos, size] = packets[i];
          const size_t from = pos + size / 4, length = size / 2;
          corrupt.replace(from, length, pseudoRandomBytes(length, static_cast<unsigned>(pos)));
        }
      }
      add("corrupt packets", 1, true, Expect::either, write("corrupt.mp4", corrupt), 1);
    }
    add("declares 16000x16000", 1, false, Expect::failure,
        vantrel::media::test::hugePictureCopy(silentBase, "huge.mp4", 16000, 16000));
    // Frame durations from 0.4/30 s to 1.8/30 s; the last frame starts at 1.103 s.
    add("variable frame rate", 1.1, true, Expect::success,
        encode("vfr.mp4", join({{"-f", "lavfi", "-i", "testsrc2=size=1280x720:rate=30:duration=1", "-f", "lavfi",
                                 "-i", "sine=frequency=440:sample_rate=48000:duration=1.2", "-vf",
                                 "setpts='(N+0.5*floor(N/4)+0.3*mod(N,3))/30/TB'", "-fps_mode", "vfr"},
                                kH264, kAac})));
    add("audio shorter than video", 2, true, Expect::success,
        encode("short_audio.mp4",
               join({{"-f", "lavfi", "-i", "testsrc2=size=1280x720:rate=30:duration=2", "-f", "lavfi", "-i",
                      "sine=frequency=440:sample_rate=48000:duration=0.5"},
                     kH264, kAac})));
    add("audio starting late", 2, true, Expect::success,
        encode("late_audio.mp4",
               join({{"-f", "lavfi", "-i", "testsrc2=size=1280x720:rate=30:duration=2", "-itsoffset", "0.7", "-f",
                      "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=1.3"},
                     kH264, kAac})));
    // 4:4:4 has no even-size rule, so x264 takes any size.
    add("odd size 161x91", 1, false, Expect::success,
        encode("odd.mp4", {"-f", "lavfi", "-i", "testsrc=size=162x92:rate=30:duration=1", "-vf", "scale=161:91",
                           "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv444p"}));
    add("one pixel", 1, false, Expect::success,
        encode("one_pixel.mp4", {"-f", "lavfi", "-i", "color=c=orange:size=16x16:rate=30:duration=1", "-vf",
                                 "scale=1:1", "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv444p"}));
    add("10-bit H.264", 1, false, Expect::success,
        encode("ten_bit.mp4", join({kPicture, {"-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt",
                                               "yuv420p10le"}})));
    add("4:4:4 H.264", 1, false, Expect::success,
        encode("yuv444.mp4", join({kPicture, {"-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv444p"}})));
    add("HEVC hvc1", 1, true, Expect::success,
        encode("hevc.mp4", join({kPicture, kTone,
                                 {"-c:v", "libx265", "-preset", "ultrafast", "-x265-params", "log-level=error",
                                  "-pix_fmt", "yuv420p", "-tag:v", "hvc1"},
                                 kAac})));
    add("fragmented MP4", 1, true, Expect::success, fragmented);
    // Cut inside the third of its fragments (one per key frame).
    {
      size_t moof = 0;
      for (int i = 0; i < 3; ++i) moof = fragments.find("moof", moof + 1);
      EXPECT_NE(moof, std::string::npos);
      add("fragmented MP4 cut mid-fragment", 1, true, Expect::either,
          write("fragmented_cut.mp4", fragments.substr(0, std::min(fragments.size(), moof + 2000))));
      // Its two whole fragments: about 0.6 s.
      cases_.back().readableSeconds = 0.65;
    }
  }

  vantrel::testing::TempDir dir_;
  std::vector<Case> cases_;
};

// Files directly or deeper under `dir`, relative to it.
std::set<std::string> filesUnder(const std::string& dir) {
  std::set<std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    if (e.is_regular_file()) out.insert(fs::relative(e.path(), dir).string());
  }
  return out;
}

json probe(const std::string& path) {
  const auto r = runProcess({"/usr/bin/ffprobe", "-v", "error", "-of", "json", "-show_streams", "-show_format", path});
  if (r.exitStatus != 0) return json();
  return json::parse(r.out, nullptr, false);
}

double streamSeconds(const json& probed, const std::string& type) {
  if (!probed.is_object()) return -1;
  for (const auto& s : probed["streams"]) {
    if (s.value("codec_type", "") == type && s.contains("duration")) return std::stod(s["duration"].get<std::string>());
  }
  return -1;
}

// The camera mode copies a file whose length is within 0.04 s of the wall
// duration; 6 % longer than the file's own length makes it re-time instead.
double cameraWallSeconds(const Case& c) {
  const json probed = probe(c.path);
  double seconds = c.seconds;
  if (probed.is_object() && probed["format"].contains("duration")) {
    seconds = std::stod(probed["format"]["duration"].get<std::string>());
  }
  return seconds * 1.06;
}

bool hasStream(const json& probed, const std::string& type) {
  if (!probed.is_object()) return false;
  for (const auto& s : probed["streams"]) {
    if (s.value("codec_type", "") == type) return true;
  }
  return false;
}

void expectEndedInTime(const ProcessResult& r) {
  EXPECT_FALSE(r.timedOut) << "still running after " << kTimeBound.count() << " s";
  EXPECT_EQ(r.termSignal, 0) << "killed by signal " << r.termSignal << "\n" << r.err;
  EXPECT_TRUE(r.exitStatus == 0 || r.exitStatus == 1) << "exit status " << r.exitStatus << "\n" << r.err;
}

// One line per cell, so a run shows how each file fared.
void expectOutcome(const Case& c, Expect expect, bool succeeded, const std::string& detail, const std::string& mode,
                   const ProcessResult& r) {
  std::cout << "[ CELL     ] " << c.name << " | " << mode << ": " << (succeeded ? "output" : "error") << " in "
            << r.elapsed.count() << " ms" << (succeeded ? "" : " - " + detail.substr(0, 160)) << "\n";
  if (expect == Expect::success) {
    EXPECT_TRUE(succeeded) << "failed: " << detail;
  } else if (expect == Expect::failure) {
    EXPECT_FALSE(succeeded) << "succeeded on " << c.name;
  }
}

// Cells known to misbehave, each reported with its reproduction; the rest of
// the table still runs. Key: "<case>|<mode>".
const std::set<std::string> kKnownFaults = {};

bool knownFault(const Case& c, const std::string& mode) {
  if (kKnownFaults.count(c.name + "|" + mode) == 0) return false;
  std::cout << "[ KNOWN ] " << c.name << " | " << mode << " skipped\n";
  return true;
}

// ---- The export program ----

struct ExportMode {
  std::string name;
  std::function<void(json&)> shape;
  bool forcedMix;
};

json plainManifest(const Case& c) {
  json m = json::parse(readFile(kManifestFixtures + "/minimal_manifest.json"));
  m["qualityPlan"]["resolution"] = "720p";
  m["videoPlan"]["sourceVideoPath"] = c.path;
  m["videoPlan"]["sourceVideoPaths"] = {c.path};
  m["videoPlan"]["durationSeconds"] = c.seconds;
  m["videoPlan"]["segments"][0]["sourceEndTime"] = c.seconds;
  m["videoPlan"]["segments"][0]["outputEndTime"] = c.seconds;
  if (c.hasAudio) {
    m["audioPlan"]["includeAudioTrack"] = true;
    m["audioPlan"]["sourceAudioPath"] = c.path;
    m["audioPlan"]["sourceAudioPaths"] = {c.path};
  }
  return m;
}

TEST(BadMediaCorpus, ExportRunEndsWithItsFailedEventOrAPlayableFile) {
  const ExportMode modes[] = {
      {"plain (pass-through)", [](json&) {}, false},
      {"styled (rendered)",
       [](json& m) {
         m["qualityPlan"]["compression"] = "high";
         auto& video = m["scene"]["settings"]["video"];
         video["padding"] = 48;
         video["borderRadius"] = 24;
         video["shadow"]["enabled"] = true;
         m["scene"]["settings"]["background"]["type"] = "gradient";
       },
       false},
      {"plain, audio mixed", [](json& m) { m["audioPlan"]["forceReencode"] = true; }, true},
  };
  const std::set<std::string> scratchNames = {"export.tmp.mp4", "export.tmp.mp4.video.tmp.mp4",
                                              "export.tmp.mp4.audio.tmp.caf"};
  int cell = 0;
  for (const auto& c : Corpus::get().cases()) {
    for (const auto& mode : modes) {
      if (mode.forcedMix && !c.hasAudio) continue;  // the same run as plain
      SCOPED_TRACE(c.name + " | " + mode.name);
      if (knownFault(c, mode.name)) continue;
      vantrel::testing::TempDir dir;
      json m = plainManifest(c);
      mode.shape(m);
      writeFile(dir.file("manifest.json"), m.dump());
      ProcessOptions options;
      options.timeout = kTimeBound;
      const auto r = runProcess({kExportHelper, "run", "--job-id", "corpus-" + std::to_string(cell++),
                                 "--manifest-path", dir.file("manifest.json"), "--temp-output-path",
                                 dir.file("scratch/export.tmp.mp4"), "--final-output-path", dir.file("out/final.mp4")},
                                options);
      expectEndedInTime(r);
      std::vector<json> events;
      for (const auto& line : r.outLines()) {
        auto e = json::parse(line, nullptr, false);
        EXPECT_FALSE(e.is_discarded()) << "not JSON: " << line;
        if (!e.is_discarded()) events.push_back(e);
      }
      ASSERT_FALSE(events.empty()) << r.err;
      const json& last = events.back();
      const bool succeeded = r.exitStatus == 0;
      expectOutcome(c, c.expect, succeeded, last.value("errorMessage", last.dump()), mode.name, r);
      std::set<std::string> left = filesUnder(dir.path());
      left.erase("manifest.json");
      if (succeeded) {
        EXPECT_EQ(last["type"], "completed");
        EXPECT_EQ(left, std::set<std::string>{"out/final.mp4"}) << "nothing but the export survives a success";
        const json probed = probe(dir.file("out/final.mp4"));
        ASSERT_TRUE(probed.is_object()) << "ffprobe cannot read the export";
        expectVideoSeconds(c, streamSeconds(probed, "video"));
        EXPECT_EQ(hasStream(probed, "audio"), c.hasAudio);
        if (c.audioSeconds > 0) {
          EXPECT_NEAR(streamSeconds(probed, "audio"), c.audioSeconds, 0.05);
        }
      } else {
        EXPECT_EQ(last["type"], "failed");
        EXPECT_FALSE(last.value("errorMessage", "").empty());
        EXPECT_FALSE(fs::exists(dir.file("out/final.mp4")));
        // A failure may leave its scratch files, but nothing else.
        for (const auto& f : left) {
          EXPECT_TRUE(f.rfind("scratch/", 0) == 0 && scratchNames.count(f.substr(8))) << "left behind: " << f;
        }
      }
    }
  }
}

TEST(BadMediaCorpus, ThumbnailEndsWithItsErrorLineOrAJpeg) {
  for (const auto& c : Corpus::get().cases()) {
    SCOPED_TRACE(c.name);
    if (knownFault(c, "thumbnail")) continue;
    vantrel::testing::TempDir dir;
    ProcessOptions options;
    options.timeout = kTimeBound;
    const auto r = runProcess({kExportHelper, "thumbnail", "--source-path", c.path, "--output-path",
                               dir.file("thumb.jpg")},
                              options);
    expectEndedInTime(r);
    const bool succeeded = r.exitStatus == 0;
    expectOutcome(c, c.expect, succeeded, r.err, "thumbnail", r);
    if (succeeded) {
      EXPECT_EQ(filesUnder(dir.path()), std::set<std::string>{"thumb.jpg"});
      const json probed = probe(dir.file("thumb.jpg"));
      ASSERT_TRUE(probed.is_object()) << "ffprobe cannot read the thumbnail";
      const auto& s = probed["streams"][0];
      EXPECT_EQ(s["codec_name"], "mjpeg");
      EXPECT_GE(s["width"].get<int>(), 1);
      EXPECT_LE(std::max(s["width"].get<int>(), s["height"].get<int>()), 960);
    } else {
      EXPECT_TRUE(filesUnder(dir.path()).empty()) << "a failure leaves the output path untouched";
      EXPECT_EQ(r.err.rfind("Thumbnail extraction failed: ", 0), 0u) << r.err;
      EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
  }
}

// ---- The media helper ----

struct HelperMode {
  std::string name;
  std::string output;
  bool readsAudio;
  std::function<std::vector<std::string>(const Case&, const std::string& out)> args;
  // Checks a successful output.
  std::function<void(const Case&, const std::string& out)> check;
};

TEST(BadMediaCorpus, MediaHelperEndsWithItsErrorLineOrAGoodArtifact) {
  const HelperMode modes[] = {
      {"extract-audio", "audio.wav", true,
       [](const Case& c, const std::string& out) {
         return std::vector<std::string>{"extract-audio", "--input-path", c.path, "--output-path", out};
       },
       [](const Case& c, const std::string& out) {
         const json probed = probe(out);
         ASSERT_TRUE(probed.is_object()) << "ffprobe cannot read the WAV";
         const double d = streamSeconds(probed, "audio");
         EXPECT_GT(d, 0);
         EXPECT_LE(d, c.seconds + 0.1);
         if (c.audioSeconds > 0) {
           EXPECT_NEAR(d, c.audioSeconds, 0.03);
         }
       }},
      {"extract-waveform", "waveform.json", true,
       [](const Case& c, const std::string& out) {
         return std::vector<std::string>{"extract-waveform", "--input-path", c.path, "--output-path", out,
                                         "--source-fingerprint", "corpus"};
       },
       [](const Case&, const std::string& out) {
         EXPECT_FALSE(json::parse(readFile(out), nullptr, false).is_discarded()) << "the artifact is not JSON";
       }},
      {"create-proxy", "proxy.mp4", false,
       [](const Case& c, const std::string& out) {
         return std::vector<std::string>{"create-proxy", "--max-long-edge", "320", "--max-fps", "30",
                                         "--keyframe-interval", "1", "--input-path", c.path, "--output-path", out};
       },
       [](const Case& c, const std::string& out) {
         const json probed = probe(out);
         ASSERT_TRUE(probed.is_object()) << "ffprobe cannot read the proxy";
         expectVideoSeconds(c, streamSeconds(probed, "video"));
       }},
      {"normalize-camera", "camera.mp4", false,
       [](const Case& c, const std::string& out) {
         return std::vector<std::string>{"normalize-camera", "--wall-duration", std::to_string(cameraWallSeconds(c)),
                                         "--input-path", c.path, "--output-path", out};
       },
       [](const Case& c, const std::string& out) {
         const json probed = probe(out);
         ASSERT_TRUE(probed.is_object()) << "ffprobe cannot read the re-timed camera file";
         EXPECT_NEAR(streamSeconds(probed, "video"), cameraWallSeconds(c), 0.1);
       }},
  };
  for (const auto& c : Corpus::get().cases()) {
    for (const auto& mode : modes) {
      SCOPED_TRACE(c.name + " | " + mode.name);
      if (knownFault(c, mode.name)) continue;
      vantrel::testing::TempDir dir;
      const std::string out = dir.file(mode.output);
      std::vector<std::string> argv = {kMediaHelper};
      for (auto& a : mode.args(c, out)) argv.push_back(a);
      ProcessOptions options;
      options.timeout = kTimeBound;
      const auto r = runProcess(argv, options);
      expectEndedInTime(r);
      const bool succeeded = r.exitStatus == 0;
      // A file without sound has nothing for the audio modes to extract.
      const Expect expect = mode.readsAudio && !c.hasAudio && c.expect == Expect::success ? Expect::either : c.expect;
      expectOutcome(c, expect, succeeded, r.err, mode.name, r);
      for (const auto& line : r.outLines()) {
        EXPECT_FALSE(json::parse(line, nullptr, false).is_discarded()) << "not a progress line: " << line;
      }
      const auto left = filesUnder(dir.path());
      if (succeeded) {
        EXPECT_EQ(left, std::set<std::string>{mode.output});
        EXPECT_TRUE(r.err.empty()) << r.err;
        mode.check(c, out);
      } else {
        EXPECT_EQ(r.err.rfind("vantrel-media-helper: ", 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        // Only the WAV extraction leaves its partial file behind.
        if (mode.name == "extract-audio") {
          EXPECT_TRUE(left.empty() || left == std::set<std::string>{mode.output});
        } else {
          EXPECT_TRUE(left.empty()) << "left behind: " << *left.begin();
        }
      }
    }
  }
}

}  // namespace
