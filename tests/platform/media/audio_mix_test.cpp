#include "fixtures.h"
#include "vantrel/media/audio_mix.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

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

// A 3 s recording whose sound starts `offset` seconds after its picture, with a
// loud 1 kHz beep at 1.5 s of the recording (0.5 + offset... of its own track).
std::string lateSound(double offset) {
  char name[64];
  std::snprintf(name, sizeof name, "late_sound_%g.mp4", offset);
  char beep[160];
  std::snprintf(beep, sizeof beep, "aevalsrc=0.5*sin(2*PI*1000*t)*between(t\\,%g\\,%g):s=48000:d=%g", 1.5 - offset,
                1.7 - offset, 3 - offset);
  return test::fixture(name, {"-f", "lavfi", "-i", "testsrc2=size=160x120:rate=30:duration=3", "-itsoffset",
                              std::to_string(offset), "-f", "lavfi", "-i", beep, "-c:v", "libx264", "-preset",
                              "ultrafast", "-pix_fmt", "yuv420p", "-c:a", "aac", "-b:a", "128k"});
}

// First sample at or after `after` seconds whose magnitude reaches `level`, in seconds.
double firstAbove(const std::vector<float>& s, double level, double after = 0) {
  for (size_t i = static_cast<size_t>(after * kRate); i < s.size(); ++i) {
    if (std::fabs(s[i]) >= level) return double(i) / kRate;
  }
  return -1;
}

// Where the beep starts on the recording's own timeline, read straight from the
// track (the codec's pre-echo makes it cross the threshold a little early).
double beepTime(const AssetRef& asset) {
  PcmReader reader(asset, asset->firstTrack(MediaType::audio).trackId, PcmSettings{kRate, 1, 32, true, true});
  std::vector<float> s;
  double first = -1;
  while (auto b = reader.next()) {
    if (first < 0) first = b->presentationTime.seconds();
    const auto* f = reinterpret_cast<const float*>(b->planes[0].data());
    s.insert(s.end(), f, f + b->frameCount);
  }
  return first + firstAbove(s, 0.25);
}

TEST(AudioMixPlacement, SoundThatStartsAfterThePictureKeepsItsTime) {
  struct Case {
    double offset;        // sound starts this long after the picture
    double sourceStart;   // of the segment
    double outputStart;
    double stretch;       // output length / source length
  } cases[] = {{0.98, 0, 0, 1}, {0.098, 0, 0, 1}, {0.98, 1.2, 0.5, 1}, {0.098, 0.5, 0, 1}, {0.98, 0, 0, 2}};
  for (const auto& k : cases) {
    SCOPED_TRACE(testing::Message() << "offset " << k.offset << ", source from " << k.sourceStart << ", stretch "
                                    << k.stretch);
    const auto asset = Asset::open(lateSound(k.offset));
    const int id = asset->firstTrack(MediaType::audio).trackId;
    const double length = 3 - k.sourceStart;
    Composition c;
    CompositionTrack& t = c.addTrack(MediaType::audio);
    t.insertTimeRange(range(k.sourceStart, length), asset, id, sec(k.outputStart));
    if (k.stretch != 1) t.scaleTimeRange(range(k.outputStart, length), sec(length * k.stretch));
    const auto s = readAll(c, {});
    const double beep = beepTime(asset);
    ASSERT_NEAR(beep, 1.5, 0.001);
    const double expected = k.outputStart + (beep - k.sourceStart) * k.stretch;
    // Rubber Band spreads a stretched onset over part of its analysis window.
    EXPECT_NEAR(firstAbove(s, 0.25), expected, k.stretch == 1 ? 3.0 / kRate : 0.015);
    // Silence until the sound's own start.
    const double soundAt = k.outputStart + (k.offset - k.sourceStart) * k.stretch;
    if (soundAt - 0.01 > k.outputStart) {
      EXPECT_LT(rms(s, k.outputStart, soundAt - 0.01), 1e-4);
    }
  }
}

TEST(AudioMixPlacement, EveryCutSoundsAsTheUncutSourceDoes) {
  // Each cut's first frame needs the frame before it in its source: decoded
  // without it, it fades in (about 15 dB down over the first 20 ms) and late.
  const auto tone = Asset::open(test::fixture(
      "tone_12s.m4a", {"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=12", "-c:a", "aac",
                       "-b:a", "128k"}));
  const int id = tone->firstTrack(MediaType::audio).trackId;
  Composition whole;
  whole.addTrack(MediaType::audio).insertTimeRange(range(0, 12), tone, id, sec(0));
  const auto source = readAll(whole, {});
  struct Cut {
    double sourceStart, outputStart;
  } cuts[] = {{8.0, 0.0}, {2.345, 1.0}, {5.5, 2.0}, {10.0213, 3.0}};
  Composition c;
  CompositionTrack& t = c.addTrack(MediaType::audio);
  for (const auto& cut : cuts) t.insertTimeRange(range(cut.sourceStart, 1.0), tone, id, sec(cut.outputStart));
  const auto s = readAll(c, {});
  const double steady = rms(source, 4, 6);
  for (const auto& cut : cuts) {
    SCOPED_TRACE(cut.sourceStart);
    const double level = rms(s, cut.outputStart, cut.outputStart + 0.02);
    EXPECT_NEAR(20 * std::log10(level / steady), 0.0, 1.0);
    // Sample for sample the source's own sound at that time: nothing early or late.
    const size_t out = static_cast<size_t>(std::llround(cut.outputStart * kRate));
    const size_t in = static_cast<size_t>(sec(cut.sourceStart).convertScale(kRate).value);
    double worst = 0;
    for (size_t i = 0; i < static_cast<size_t>(0.02 * kRate); ++i) {
      worst = std::max(worst, double(std::fabs(s[out + i] - source[in + i])));
    }
    EXPECT_LT(worst, 1e-4);
  }
}

}  // namespace
}  // namespace vantrel::media
