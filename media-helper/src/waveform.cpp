#include "vantrel/mediahelper/waveform.h"

#include <cmath>
#include <cstring>

#include "vantrel/common/json_out.h"
#include "vantrel/media/asset.h"
#include "vantrel/media/readers.h"
#include "vantrel/mediahelper/errors.h"
#include "vantrel/mediahelper/file_ops.h"
#include "pcm_input.h"

namespace vantrel::mediahelper {

void RmsBucketAccumulator::addSamples(const float* samples, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    float x = samples[i];
    if (!std::isfinite(x)) x = 0;
    const float square = x * x;
    sum_ += static_cast<double>(square);
    ++counted_;
    if (++inBucket_ == kSamplesPerBucket) {
      buckets_.push_back(static_cast<float>(std::sqrt(sum_ / kSamplesPerBucket)));
      sum_ = 0;
      inBucket_ = 0;
    }
  }
}

void RmsBucketAccumulator::finish() {
  if (inBucket_ > 0) {
    buckets_.push_back(static_cast<float>(std::sqrt(sum_ / inBucket_)));
    sum_ = 0;
    inBucket_ = 0;
  }
}

std::vector<float> downsampleRms(const std::vector<float>& values, int factor) {
  if (values.size() < 2) return values;
  const std::size_t f = static_cast<std::size_t>(factor);
  std::vector<float> out;
  out.reserve((values.size() + f - 1) / f);
  for (std::size_t start = 0; start < values.size(); start += f) {
    const std::size_t end = std::min(start + f, values.size());
    double sum = 0;
    for (std::size_t i = start; i < end; ++i) {
      const float square = values[i] * values[i];
      sum += static_cast<double>(square);
    }
    out.push_back(static_cast<float>(std::sqrt(sum / static_cast<double>(end - start))));
  }
  return out;
}

std::string float32Base64(const std::vector<float>& values) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string bytes(values.size() * 4, '\0');
  for (std::size_t i = 0; i < values.size(); ++i) {
    std::uint32_t bits;
    std::memcpy(&bits, &values[i], 4);
    for (int b = 0; b < 4; ++b) bytes[i * 4 + b] = static_cast<char>(bits >> (8 * b));
  }
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  auto byteAt = [&](std::size_t k) { return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[k])); };
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t v = byteAt(i) << 16 | byteAt(i + 1) << 8 | byteAt(i + 2);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t v = byteAt(i) << 16;
    if (rest == 2) v |= byteAt(i + 1) << 8;
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::vector<WaveformLevel> buildLevels(std::vector<float> level0) {
  std::vector<WaveformLevel> levels;
  double bucketSeconds = 1.0 / kBucketsPerSecond;
  std::vector<float> current = std::move(level0);
  for (;;) {
    const bool last = current.size() <= kMaxBucketsWithoutCoarserLevel;
    std::vector<float> next = last ? std::vector<float>{} : downsampleRms(current, kLevelFactor);
    levels.push_back(WaveformLevel{bucketSeconds, std::move(current)});
    if (last) break;
    current = std::move(next);
    bucketSeconds *= kLevelFactor;
  }
  return levels;
}

std::string waveformArtifactJson(const std::string& sourceFingerprint, double durationSeconds,
                                 const std::vector<WaveformLevel>& levels) {
  json::OrderedJson doc;
  doc["version"] = 1;
  doc["sourceFingerprint"] = sourceFingerprint;
  doc["durationSeconds"] = durationSeconds;
  doc["bucketsPerSecond"] = kBucketsPerSecond;
  doc["levels"] = json::OrderedJson::array();
  for (const auto& level : levels) {
    json::OrderedJson l;
    l["bucketSeconds"] = level.bucketSeconds;
    l["rmsFloat32Base64"] = float32Base64(level.rms);
    doc["levels"].push_back(std::move(l));
  }
  return json::encodeCompact(doc);
}

void extractWaveform(const std::string& inputPath, const std::string& outputPath,
                     const std::string& sourceFingerprint, const ProgressSink& progress) {
  auto asset = media::Asset::open(inputPath);
  const auto audioTracks = asset->tracks(media::MediaType::audio);
  if (audioTracks.empty()) throw makeError(MediaHelperErrorCode::noAudioTrack);
  const media::TrackInfo& track = *audioTracks.front();

  media::PcmReader reader(asset, track.trackId, monoPcm(kWaveformSampleRate, 32, true));

  double duration = track.timeRange.duration.seconds();
  if (!(duration >= 0)) duration = 0;

  progress("decoding", 0);
  double nextThreshold = 0.05;
  RmsBucketAccumulator accumulator;
  std::vector<float> samples;
  for (;;) {
    std::optional<media::PcmBuffer> buffer = nextPcm(reader);
    if (!buffer) break;
    if (buffer->planes.empty() || buffer->planes.front().size() < 4) continue;
    const auto& bytes = buffer->planes.front();
    samples.resize(bytes.size() / 4);
    std::memcpy(samples.data(), bytes.data(), samples.size() * 4);
    accumulator.addSamples(samples.data(), samples.size());
    if (duration > 0) {
      const double fraction =
          static_cast<double>(accumulator.samplesCounted()) / (duration * kWaveformSampleRate);
      if (fraction >= nextThreshold) {
        progress("decoding", fraction);
        nextThreshold += 0.05;
      }
    }
  }
  requireCompleted(reader);
  accumulator.finish();

  const std::string document =
      waveformArtifactJson(sourceFingerprint, duration, buildLevels(accumulator.buckets()));
  createParentDirectory(outputPath);
  writeFileAtomically(outputPath, document);
  progress("complete", 1);
}

}  // namespace vantrel::mediahelper
