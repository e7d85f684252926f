// Long-export placement and cost of the export audio. Builds a 30-minute edit
// of short cuts, writes it through the real writer (mix, and AAC copy), decodes
// the result and reports where each cut's tone starts against where the
// timeline puts it, over the first and the last minute; plus wall time per run
// (median of the runs) against a plain decode of the same length measured in
// the same run.
//
//   vantrel_export_audio_bench [minutes=30] [runs=3] [scratch dir=/tmp]

#include "audio/audio_pipeline.h"
#include "vantrel/media/readers.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <string>
#include <vector>

using namespace vantrel;
using namespace vantrel::exporter;

namespace {

constexpr int kRate = 48000;
constexpr double kLow = 440, kHigh = 1000;

void ffmpeg(const std::string& args) {
  const std::string cmd = "ffmpeg -nostdin -y -loglevel error " + args;
  if (std::system(cmd.c_str()) != 0) {
    std::fprintf(stderr, "failed: %s\n", cmd.c_str());
    std::exit(1);
  }
}

std::vector<float> decode(const std::string& path, double from, double length) {
  const auto asset = media::Asset::open(path);
  media::PcmReader reader(asset, asset->firstTrack(media::MediaType::audio).trackId,
                          media::PcmSettings{kRate, 1, 32, true, true},
                          media::TimeRange{media::MediaTime::fromSeconds(from, kRate),
                                           media::MediaTime::fromSeconds(length, kRate)});
  std::vector<float> out;
  while (auto b = reader.next()) {
    const auto* f = reinterpret_cast<const float*>(b->planes[0].data());
    out.insert(out.end(), f, f + b->frameCount);
  }
  return out;
}

double level(const std::vector<float>& s, double hz, size_t a, size_t b) {
  const double w = 2 * std::numbers::pi * hz / kRate;
  double re = 0, im = 0;
  for (size_t i = a; i < b && i < s.size(); ++i) {
    re += s[i] * std::cos(w * double(i));
    im += s[i] * std::sin(w * double(i));
  }
  return 2 * std::hypot(re, im) / double(b - a);
}

// Largest distance, in samples, between a switch to the high tone and its
// timeline time, for the switches expected inside [from, from + length).
double worstOffset(const std::string& path, const std::vector<double>& switches, double from, double length) {
  const auto s = decode(path, from, length);
  if (s.size() < size_t(length * kRate * 0.9)) std::printf("  (decoded only %zu samples)\n", s.size());
  const size_t win = 960;  // 20 ms
  double worst = 0;
  for (double t : switches) {
    if (t < from + 0.1 || t > from + length - 0.1) continue;
    const long expected = std::lround((t - from) * kRate);
    long found = -1;
    for (long p = expected - 4800; p < expected + 4800; p += 24) {
      if (p < 0) continue;
      if (level(s, kHigh, size_t(p), size_t(p) + win) >= 0.0625 * 0.5) {
        found = p + long(win / 2);
        break;
      }
    }
    if (found < 0) std::printf("  no switch near %.3f s: level %.4f before, %.4f after\n", t,
                               level(s, kHigh, size_t(expected - 2000), size_t(expected - 2000) + win),
                               level(s, kHigh, size_t(expected + 2000), size_t(expected + 2000) + win));
    worst = std::max(worst, found < 0 ? 1e9 : std::fabs(double(found - expected)));
  }
  return worst;
}

double seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }
double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double runExport(const NativeExportManifestV1& m, const std::string& out) {
  const auto start = std::chrono::steady_clock::now();
  media::Writer writer(out);
  auto chosen = AudioPipeline::addWriterInput(writer, AudioPipeline::resolve(m), m.audioPlan);
  writer.startWriting();
  writer.startSession(media::MediaTime::zero());
  AudioPipeline::writeAudio(*chosen->input, chosen->pipeline, m, out + ".audio.tmp.caf");
  writer.finishWriting().get();
  return seconds(std::chrono::steady_clock::now() - start);
}

}  // namespace

int main(int argc, char** argv) {
  const double minutes = argc > 1 ? std::atof(argv[1]) : 30;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
  const std::string dir = argc > 3 ? argv[3] : "/tmp";
  const double total = minutes * 60;

  // A source whose tone switches every 3 s, as long as the export plus slack.
  const std::string source = dir + "/audio_bench_source.m4a";
  char expr[256];
  std::snprintf(expr, sizeof expr,
                "aevalsrc=0.125*sin(2*PI*if(mod(floor(t/3)\\,2)\\,%g\\,%g)*t):s=%d:d=%g", kHigh, kLow, kRate,
                total * 1.25 + 10);
  ffmpeg("-f lavfi -i '" + std::string(expr) + "' -ac 2 -c:a aac -b:a 128k " + source);

  // Cuts: 2.5 s of every 3 s tone block (the last half second is cut out),
  // so every cut starts a new tone and the timeline shifts at each cut.
  NativeExportManifestV1 m;
  m.videoPlan.durationSeconds = total;
  m.audioPlan.includeAudioTrack = true;
  m.audioPlan.audioTrackMode = "video";
  m.audioPlan.sourceAudioPath = source;
  m.audioPlan.sourceAudioPaths = {source};
  std::vector<double> highStarts;
  for (int k = 0; k * 2.5 < total; ++k) {
    NativeVideoSegmentPlan s;
    s.segmentId = "s" + std::to_string(k);
    s.sourceStartTime = k * 3.0;
    s.sourceEndTime = k * 3.0 + 2.5;
    s.outputStartTime = k * 2.5;
    s.outputEndTime = std::min(total, k * 2.5 + 2.5);
    s.sourceEndTime = s.sourceStartTime + (s.outputEndTime - s.outputStartTime);
    m.videoPlan.segments.push_back(s);
    if (k % 2 == 1) highStarts.push_back(s.outputStartTime);
  }
  std::printf("%zu cuts over %.0f s, %d runs\n", m.videoPlan.segments.size(), total, runs);

  std::vector<double> decodeTimes;
  for (int r = 0; r < runs; ++r) {
    const auto start = std::chrono::steady_clock::now();
    decode(source, 0, total);
    decodeTimes.push_back(seconds(std::chrono::steady_clock::now() - start));
  }
  const double baseline = median(decodeTimes);
  std::printf("baseline: decode %.0f s of AAC to PCM: median %.2f s\n", total, baseline);

  for (const bool copy : {false, true}) {
    m.audioPlan.copySourceAudio = copy;
    const std::string out = dir + (copy ? "/audio_bench_copy.mp4" : "/audio_bench_mix.mp4");
    std::vector<double> times;
    for (int r = 0; r < runs; ++r) times.push_back(runExport(m, out));
    const double t = median(times);
    std::printf("%s: median %.2f s (%.2fx the decode baseline, %.0fx real time)\n", copy ? "copy" : "mix", t,
                t / baseline, total / t);
    std::printf("  worst cut onset error, first minute: %.0f samples; last minute: %.0f samples (AAC frame 1024)\n",
                worstOffset(out, highStarts, 0, std::min(60.0, total)),
                worstOffset(out, highStarts, std::max(0.0, total - 60), std::min(60.0, total)));
  }
  return 0;
}
