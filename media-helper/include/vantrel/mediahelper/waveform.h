#pragma once
// Waveform artifact: RMS loudness of the first audio track in 31.25 ms buckets
// (250 samples at 8 kHz), plus coarser levels (x4 each) while a level has more
// than 2048 buckets, each level as base64 of little-endian 32-bit floats.

#include <cstdint>
#include <string>
#include <vector>

#include "vantrel/mediahelper/progress.h"

namespace vantrel::mediahelper {

inline constexpr int kWaveformSampleRate = 8000;
inline constexpr int kSamplesPerBucket = 250;
inline constexpr int kBucketsPerSecond = 32;
inline constexpr int kLevelFactor = 4;
inline constexpr std::size_t kMaxBucketsWithoutCoarserLevel = 2048;

// Folds samples into first-level buckets as they arrive, so only one float per
// bucket is kept however long the recording is. Not thread-safe.
class RmsBucketAccumulator {
 public:
  // Non-finite samples count as silence. Each square is taken in 32-bit float,
  // summed in 64-bit.
  void addSamples(const float* samples, std::size_t count);
  // Closes a partly filled last bucket (averaged over its own count).
  void finish();
  std::uint64_t samplesCounted() const { return counted_; }
  const std::vector<float>& buckets() const { return buckets_; }

 private:
  std::vector<float> buckets_;
  double sum_ = 0;
  int inBucket_ = 0;
  std::uint64_t counted_ = 0;
};

// RMS of groups of `factor` values (the last group may be smaller and is
// averaged over its own size). Fewer than two values come back unchanged.
std::vector<float> downsampleRms(const std::vector<float>& values, int factor);

// Standard base64 (with padding) of the values' little-endian bytes.
std::string float32Base64(const std::vector<float>& values);

struct WaveformLevel {
  double bucketSeconds = 0;
  std::vector<float> rms;
};

// Level 0 first, then one coarser level after each level above 2048 buckets.
std::vector<WaveformLevel> buildLevels(std::vector<float> level0);

// The artifact document (compact JSON): version, sourceFingerprint,
// durationSeconds, bucketsPerSecond, levels[{bucketSeconds, rmsFloat32Base64}].
std::string waveformArtifactJson(const std::string& sourceFingerprint, double durationSeconds,
                                 const std::vector<WaveformLevel>& levels);

// Decodes, reports ("decoding", f) at most once per buffer whenever f passes
// the next 5 % step, writes the artifact atomically, then reports ("complete", 1).
// Throws MediaHelperError, MediaError or std::system_error; writes nothing to
// the output path on failure. Runs on the calling thread.
void extractWaveform(const std::string& inputPath, const std::string& outputPath,
                     const std::string& sourceFingerprint, const ProgressSink& progress = writeProgress);

}  // namespace vantrel::mediahelper
