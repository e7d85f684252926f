#include "fixtures.h"
#include "vantrel/media/audio_mix.h"

#include <gtest/gtest.h>

#include <cmath>

namespace vantrel::media {
namespace {

MediaTime sec(double s) { return test::sec(s, 44100); }
TimeRange range(double start, double duration) { return test::range(start, duration, 44100); }
constexpr int kRate = 48000;

std::vector<float> readAll(const Composition& c, const AudioMix& mix, int channels = 1) {
  AudioMixReader reader(c, mix, kRate, channels, 1000);
  std::vector<float> out;
  while (auto b = reader.next()) {
    const auto* f = reinterpret_cast<const float*>(b->planes[0].data());
    out.insert(out.end(), f, f + static_cast<size_t>(b->frameCount) * channels);
  }
  EXPECT_EQ(reader.status(), ReaderStatus::completed);
  return out;
}

double rms(const std::vector<float>& s, double from, double to) {
  const size_t a = static_cast<size_t>(from * kRate), b = static_cast<size_t>(to * kRate);
  double sum = 0;
  for (size_t i = a; i < b; ++i) sum += double(s[i]) * s[i];
  return std::sqrt(sum / double(b - a));
}

double frequency(const std::vector<float>& s, double from, double to) {
  const size_t a = static_cast<size_t>(from * kRate), b = static_cast<size_t>(to * kRate);
  int crossings = 0;
  for (size_t i = a + 1; i < b; ++i) crossings += (s[i - 1] < 0) != (s[i] < 0);
  return crossings / (2.0 * (to - from));
}

class AudioMixTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sine_ = Asset::open(test::audioOnlySine(2, 48000));
    id_ = sine_->firstTrack(MediaType::audio).trackId;
    Composition c;
    c.addTrack(MediaType::audio).insertTimeRange(range(0, 2), sine_, id_, sec(0));
    sourceRms_ = rms(readAll(c, {}), 0.2, 1.8);
    ASSERT_GT(sourceRms_, 0.05);
  }
  AssetRef sine_;
  int id_ = 0;
  double sourceRms_ = 0;
};

TEST_F(AudioMixTest, StretchedSegmentsKeepTheirPitchAndLength) {
  struct Case {
    double sourceSeconds, outputSeconds;
  } cases[] = {{2.0, 1.0}, {1.0, 2.0}, {1.5, 1.0}};
  for (const auto& k : cases) {
    Composition c;
    CompositionTrack& t = c.addTrack(MediaType::audio);
    t.insertTimeRange(range(0, k.sourceSeconds), sine_, id_, sec(0));
    t.scaleTimeRange(range(0, k.sourceSeconds), sec(k.outputSeconds));
    const auto s = readAll(c, {});
    EXPECT_EQ(s.size(), static_cast<size_t>(k.outputSeconds * kRate)) << k.outputSeconds;
    const double a = 0.15 * k.outputSeconds, b = 0.85 * k.outputSeconds;
    EXPECT_NEAR(frequency(s, a, b), 440.0, 4.0) << k.sourceSeconds << " -> " << k.outputSeconds;
    EXPECT_NEAR(rms(s, a, b), sourceRms_, 0.25 * sourceRms_);
  }
}

TEST_F(AudioMixTest, VolumePointsAndRampsShapeTheGain) {
  Composition c;
  CompositionTrack& t = c.addTrack(MediaType::audio);
  t.insertTimeRange(range(0, 2), sine_, id_, sec(0));
  AudioMixInputParameters p(t.trackId());
  p.setVolume(0.5f, sec(0));
  p.setVolumeRamp(0.5f, 0.0f, range(1, 0.8));
  const auto s = readAll(c, AudioMix{{p}});
  ASSERT_EQ(s.size(), 2u * kRate);
  struct Window {
    double from, to, gain;
  } windows[] = {{0.2, 0.3, 0.5}, {0.8, 0.9, 0.5}, {1.35, 1.45, 0.25}, {1.85, 1.95, 0.0}};
  for (const auto& w : windows) {
    EXPECT_NEAR(rms(s, w.from, w.to), w.gain * sourceRms_, 0.03 * sourceRms_ + 0.002) << w.from;
  }
  EXPECT_FLOAT_EQ(p.volumeAt(1.4), 0.25f);
  EXPECT_FLOAT_EQ(AudioMixInputParameters(9).volumeAt(3), 1.0f);
}

TEST_F(AudioMixTest, TracksAreSummedAndEmptyRangesAreSilent) {
  Composition c;
  CompositionTrack& a = c.addTrack(MediaType::audio);
  a.insertTimeRange(range(0, 1), sine_, id_, sec(0));
  a.insertEmptyTimeRange(range(1, 1));
  CompositionTrack& b = c.addTrack(MediaType::audio);
  b.insertEmptyTimeRange(range(0, 0.5));
  b.insertTimeRange(range(0.5, 1.0), sine_, id_, sec(0.5));  // in phase with track a
  const auto s = readAll(c, {}, 2);
  ASSERT_EQ(s.size(), 2u * 2 * kRate);
  std::vector<float> left;
  for (size_t i = 0; i < s.size(); i += 2) left.push_back(s[i]);
  EXPECT_NEAR(rms(left, 0.1, 0.4), sourceRms_, 0.05 * sourceRms_);
  EXPECT_NEAR(rms(left, 0.6, 0.9), 2 * sourceRms_, 0.1 * sourceRms_);  // both tracks
  EXPECT_NEAR(rms(left, 1.1, 1.4), sourceRms_, 0.05 * sourceRms_);
  EXPECT_LT(rms(left, 1.6, 1.95), 1e-6);  // past both sources
}

}  // namespace
}  // namespace vantrel::media
