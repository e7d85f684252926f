#include "audio_fixtures.h"

#include "vantrel/media/readers.h"
#include "vantrel/testing/process.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <mutex>
#include <numbers>
#include <sstream>

namespace vantrel::exporter::test {

namespace {
std::string number(double v) {
  std::ostringstream s;
  s << v;
  return s.str();
}
}  // namespace

std::string scratchPath(const std::string& name) {
  static vantrel::testing::TempDir dir;
  return dir.file(name);
}

std::string fixture(const std::string& name, const std::string& lavfiSource, const std::vector<std::string>& args) {
  static std::mutex mutex;
  static std::map<std::string, std::string> made;
  std::lock_guard lock(mutex);
  if (auto it = made.find(name); it != made.end()) return it->second;
  const std::string path = scratchPath(name);
  std::vector<std::string> argv = {"/usr/bin/ffmpeg", "-nostdin", "-y", "-loglevel", "error", "-f", "lavfi", "-i",
                                   lavfiSource};
  argv.insert(argv.end(), args.begin(), args.end());
  argv.push_back(path);
  const auto r = vantrel::testing::runProcess(argv);
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  made[name] = path;
  return path;
}

std::string aacSine(double hz, double seconds, int rate) {
  return fixture("sine_" + number(hz) + "_" + number(seconds) + "_" + std::to_string(rate) + ".m4a",
                 "sine=frequency=" + number(hz) + ":sample_rate=" + std::to_string(rate) + ":duration=" +
                     number(seconds),
                 {"-ac", "2", "-c:a", "aac", "-b:a", "128k"});
}

std::string wavSine(double hz, double seconds, int rate) {
  return fixture("sine_" + number(hz) + "_" + number(seconds) + "_" + std::to_string(rate) + ".wav",
                 "sine=frequency=" + number(hz) + ":sample_rate=" + std::to_string(rate) + ":duration=" +
                     number(seconds),
                 {"-c:a", "pcm_s16le"});
}

std::string lateSoundRecording(double offset) {
  return fixture("late_sound_" + number(offset) + ".mp4", "testsrc2=size=160x120:rate=30:duration=3",
                 {"-itsoffset", number(offset), "-f", "lavfi", "-i",
                  "aevalsrc=0.5*sin(2*PI*1000*t)*between(t\\," + number(1.5 - offset) + "\\," +
                      number(1.7 - offset) + "):s=48000:d=" + number(3 - offset),
                  "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-ac", "2", "-c:a", "aac",
                  "-b:a", "128k"});
}

std::string videoOnly() {
  return fixture("video_only.mp4", "testsrc2=size=160x120:rate=10:duration=1",
                 {"-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p"});
}

NativeVideoSegmentPlan segment(const std::string& id, std::int64_t sourceIndex, double sourceStart, double sourceEnd,
                               double outputStart, double outputEnd) {
  NativeVideoSegmentPlan s;
  s.segmentId = id;
  s.sourceIndex = sourceIndex;
  s.sourceStartTime = sourceStart;
  s.sourceEndTime = sourceEnd;
  s.outputStartTime = outputStart;
  s.outputEndTime = outputEnd;
  s.speed = (sourceEnd - sourceStart) / (outputEnd - outputStart);
  return s;
}

NativeExportManifestV1 manifest(double duration, std::vector<std::string> sources) {
  NativeExportManifestV1 m;
  m.videoPlan.durationSeconds = duration;
  NativeAudioPlan& a = m.audioPlan;
  a.includeAudioTrack = true;
  a.audioTrackMode = "video";
  if (!sources.empty()) a.sourceAudioPath = sources.front();
  a.sourceAudioPaths = std::move(sources);
  a.audioTrackSettings.volume = 100;
  return m;
}

std::string exportAudio(const NativeExportManifestV1& m, const std::string& name) {
  return exportAudio(m, AudioPipeline::resolve(m), name);
}

std::string exportAudio(const NativeExportManifestV1& m, ResolvedAudioPipeline pipeline, const std::string& name) {
  const std::string path = scratchPath(name + ".mp4");
  media::Writer writer(path);
  auto chosen = AudioPipeline::addWriterInput(writer, std::move(pipeline), m.audioPlan);
  if (!chosen) throw std::runtime_error("writer refused the audio input");
  writer.startWriting();
  writer.startSession(media::MediaTime::zero());
  AudioPipeline::writeAudio(*chosen->input, chosen->pipeline, m, scratchPath(name + ".audio.tmp.caf"));
  writer.finishWriting().get();
  EXPECT_EQ(writer.status(), media::WriterStatus::completed) << writer.errorText();
  return path;
}

std::vector<float> decodeMono(const std::string& path) {
  const auto asset = media::Asset::open(path);
  media::PcmReader reader(asset, asset->firstTrack(media::MediaType::audio).trackId,
                          media::PcmSettings{kRate, 1, 32, true, true});
  std::vector<float> out;
  while (auto b = reader.next()) {
    // Sound placed later on the file's timeline (a track that starts late)
    // is preceded by silence, as a player plays it.
    const std::int64_t at = b->presentationTime.convertScale(kRate).value;
    if (at > static_cast<std::int64_t>(out.size())) out.resize(static_cast<size_t>(at), 0.0f);
    const auto* f = reinterpret_cast<const float*>(b->planes[0].data());
    out.insert(out.end(), f, f + b->frameCount);
  }
  return out;
}

namespace {
std::pair<size_t, size_t> window(const std::vector<float>& s, double from, double to) {
  const size_t a = std::min(s.size(), static_cast<size_t>(std::max(from, 0.0) * kRate));
  const size_t b = std::min(s.size(), static_cast<size_t>(std::max(to, 0.0) * kRate));
  return {a, std::max(a, b)};
}
}  // namespace

double rms(const std::vector<float>& s, double from, double to) {
  const auto [a, b] = window(s, from, to);
  if (a == b) return 0;
  double sum = 0;
  for (size_t i = a; i < b; ++i) sum += double(s[i]) * s[i];
  return std::sqrt(sum / double(b - a));
}

double toneLevel(const std::vector<float>& s, double hz, double from, double to) {
  const auto [a, b] = window(s, from, to);
  if (a == b) return 0;
  const double w = 2 * std::numbers::pi * hz / kRate;
  double re = 0, im = 0;
  for (size_t i = a; i < b; ++i) {
    re += s[i] * std::cos(w * double(i));
    im += s[i] * std::sin(w * double(i));
  }
  return 2 * std::hypot(re, im) / double(b - a);
}

double toneOnset(const std::vector<float>& s, double hz, double level, double after) {
  constexpr double kWindow = 0.005;
  for (double t = after; t + 4 * kWindow <= double(s.size()) / kRate; t += kWindow / 5) {
    // A 20 ms window resolves the tone; its onset is where the window is half full.
    if (toneLevel(s, hz, t, t + 4 * kWindow) >= 0.5 * level) return t + 2 * kWindow;
  }
  return -1;
}

double frequency(const std::vector<float>& s, double from, double to) {
  const auto [a, b] = window(s, from, to);
  int crossings = 0;
  for (size_t i = a + 1; i < b; ++i) crossings += (s[i - 1] < 0) != (s[i] < 0);
  return crossings / (2.0 * (to - from));
}

}  // namespace vantrel::exporter::test
