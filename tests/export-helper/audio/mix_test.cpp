#include "audio_fixtures.h"

#include "audio/audio_paths.h"
#include "vantrel/media/errors.h"

#include <gtest/gtest.h>

#include <cmath>

namespace vantrel::exporter {
namespace {

using test::segment;

// ffmpeg's sine source has amplitude 1/8.
constexpr double kToneLevel = 0.125;
// A placement is right when it is within one AAC frame.
constexpr double kOneFrame = 1024.0 / test::kRate;

class AudioMix : public ::testing::Test {
 protected:
  const std::string a_ = test::aacSine(440, 6);   // source 0
  const std::string b_ = test::aacSine(1000, 4);  // source 1
  const std::string voice_ = test::aacSine(700, 2, 44100);
};

TEST_F(AudioMix, SegmentsFromTwoSourcesLandWhereTheTimelinePutsThem) {
  auto m = test::manifest(5, {a_, b_});
  m.videoPlan.segments = {segment("a1", 0, 1, 3, 0, 2), segment("b", 1, 0, 1.5, 2, 3.5), segment("a2", 0, 4, 5, 3.5, 4.5)};
  const auto s = test::decodeMono(test::exportAudio(m, "placement"));
  EXPECT_NEAR(double(s.size()) / test::kRate, 5.0, kOneFrame);
  EXPECT_NEAR(test::toneOnset(s, 1000, kToneLevel), 2.0, kOneFrame);
  EXPECT_NEAR(test::toneOnset(s, 440, kToneLevel, 2.5), 3.5, kOneFrame);
  EXPECT_GT(test::toneLevel(s, 440, 0.1, 1.9), 0.8 * kToneLevel);
  EXPECT_LT(test::toneLevel(s, 440, 2.1, 3.4), 0.05 * kToneLevel);
  // After the last segment only the muted bed plays.
  EXPECT_LT(test::rms(s, 4.6, 5.0), 0.002);
}

TEST_F(AudioMix, DelayMovesTheSegmentByAtMostOneSecond) {
  const struct {
    std::optional<double> delay;
    double onset;
  } cases[] = {{0.4, 2.4}, {3.0, 3.0}, {-0.5, 2.0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.delay.value_or(0));
    auto m = test::manifest(4.5, {a_});
    m.videoPlan.segments = {segment("s", 0, 0, 1, 2, 3)};
    m.audioPlan.audioTrackSettings.audioDelay = c.delay;
    const auto s = test::decodeMono(test::exportAudio(m, "delay"));
    EXPECT_NEAR(test::toneOnset(s, 440, kToneLevel), c.onset, kOneFrame);
  }
}

TEST_F(AudioMix, GainsAndFadeOutRamps) {
  struct Case {
    const char* name;
    double volume, endVolume, fadeDuration;
    bool fade;
    // Expected fraction of the full tone level at 0.5 s, 1.5 s and 2.75 s of a 3 s segment.
    double early, middle, late;
  } cases[] = {
      {"half volume", 50, 0, 0, false, 0.5, 0.5, 0.5},
      {"above 100 is full", 150, 0, 0, false, 1, 1, 1},
      {"negative is silent", -20, 0, 0, false, 0, 0, 0},
      {"one second fade", 100, 0, 1, true, 1, 1, 0.25},
      {"fade longer than the piece spans it", 100, 0, 5, true, 5.0 / 6, 0.5, 1.0 / 12},
      {"end level equal: no ramp", 60, 60, 1, true, 0.6, 0.6, 0.6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto m = test::manifest(3, {a_});
    m.videoPlan.segments = {segment("s", 0, 0, 3, 0, 3)};
    // Per-segment settings take the place of the base ones.
    m.audioPlan.audioTrackSettings.volume = 10;
    NativeAudioTrackSettings settings;
    settings.volume = c.volume;
    settings.endVolume = c.endVolume;
    settings.fadeDuration = c.fadeDuration;
    settings.fadeOutEnabled = c.fade;
    m.audioPlan.videoAudioSegmentSettingsById["s"] = settings;
    const auto s = test::decodeMono(test::exportAudio(m, "gain"));
    const double tol = 0.04 * kToneLevel;
    EXPECT_NEAR(test::toneLevel(s, 440, 0.45, 0.55), c.early * kToneLevel, tol);
    EXPECT_NEAR(test::toneLevel(s, 440, 1.45, 1.55), c.middle * kToneLevel, tol);
    EXPECT_NEAR(test::toneLevel(s, 440, 2.7, 2.8), c.late * kToneLevel, tol);
  }
}

TEST_F(AudioMix, DoubleSpeedKeepsThePitchAndHalvesTheLength) {
  auto m = test::manifest(2.5, {a_});
  m.videoPlan.segments = {segment("s", 0, 0, 4, 0, 2)};
  const auto s = test::decodeMono(test::exportAudio(m, "speed"));
  EXPECT_NEAR(test::frequency(s, 0.3, 1.7), 440, 4);
  // A phase vocoder's tone drifts in phase, so its level is read as RMS.
  EXPECT_GT(test::rms(s, 0.3, 1.7), 0.7 * kToneLevel / std::sqrt(2.0));
  EXPECT_LT(test::rms(s, 2.1, 2.5), 0.002);

  // Lengths that differ by less than half a millisecond are not stretched.
  const struct {
    double outputEnd;
    bool scaled;
  } cases[] = {{2.0, true}, {3.9996, false}, {4.0, false}, {3.999, true}};
  for (const auto& c : cases) {
    m.videoPlan.segments = {segment("s", 0, 0, 4, 0, c.outputEnd)};
    const auto bundle = buildAudioComposition({AudioSourceAsset::open(a_)}, m.videoPlan, m.audioPlan, 5);
    const auto& first = bundle.composition.allTracks().front().segments().front();
    EXPECT_EQ(first.isScaled(), c.scaled) << c.outputEnd;
  }
}

TEST_F(AudioMix, MutedSegmentsLeaveASilentGap) {
  auto m = test::manifest(3, {a_});
  m.videoPlan.segments = {segment("one", 0, 0, 1, 0, 1), segment("two", 0, 1, 2, 1, 2), segment("three", 0, 2, 3, 2, 3)};
  m.audioPlan.mutedVideoAudioSegmentIds = {"two"};
  m.audioPlan.videoAudioSegmentSettingsById["three"].volume = 50;
  const auto s = test::decodeMono(test::exportAudio(m, "muted"));
  EXPECT_GT(test::toneLevel(s, 440, 0.2, 0.8), 0.9 * kToneLevel);
  EXPECT_LT(test::rms(s, 1.1, 1.9), 0.002);
  EXPECT_NEAR(test::toneLevel(s, 440, 2.2, 2.8), 0.5 * kToneLevel, 0.04 * kToneLevel);
}

TEST_F(AudioMix, VoiceoverOffsetPaddingAndFade) {
  // Other modes leave the recording's sound out; voiceovers play anyway.
  auto m = test::manifest(3, {a_});
  m.audioPlan.audioTrackMode = "none";
  m.videoPlan.segments = {segment("s", 0, 0, 3, 0, 3)};
  // 1.5 s to 4 s with the clip read from 1 s: the clip's last second plays at
  // 1.5-2.5 s, then the track is padded to the end of the export.
  m.audioPlan.voiceoverSegments = {{"v", 1.5, 4, voice_, 1.0}, {"skipped", 0, 1, "", std::nullopt}};
  m.audioPlan.audioTrackSettings.fadeOutEnabled = true;
  m.audioPlan.audioTrackSettings.endVolume = 0;
  m.audioPlan.audioTrackSettings.fadeDuration = 0.5;
  const auto bundle = buildAudioComposition({AudioSourceAsset::open(a_)}, m.videoPlan, m.audioPlan, 3);
  ASSERT_EQ(bundle.composition.allTracks().size(), 1u);
  EXPECT_EQ(bundle.composition.duration(), media::MediaTime::fromSeconds(3, kAudioTimescale));

  const auto s = test::decodeMono(test::exportAudio(m, "voiceover"));
  EXPECT_NEAR(double(s.size()) / test::kRate, 3.0, kOneFrame);
  EXPECT_LT(test::toneLevel(s, 440, 0.2, 2.8), 0.02 * kToneLevel);
  EXPECT_NEAR(test::toneOnset(s, 700, kToneLevel), 1.5, kOneFrame);
  EXPECT_GT(test::toneLevel(s, 700, 1.6, 2.4), 0.9 * kToneLevel);  // the fade lies past the visible end
  EXPECT_LT(test::rms(s, 2.6, 3.0), 0.002);
}

TEST_F(AudioMix, VoiceoverFadeUsesTheVisibleLength) {
  auto m = test::manifest(2, {});
  m.audioPlan.audioTrackMode = "none";
  m.audioPlan.voiceoverSegments = {{"v", 0, 4, voice_, std::nullopt}};
  m.audioPlan.audioTrackSettings.fadeOutEnabled = true;
  m.audioPlan.audioTrackSettings.endVolume = 0;
  m.audioPlan.audioTrackSettings.fadeDuration = 1;
  const auto s = test::decodeMono(test::exportAudio(m, "voiceover_fade"));
  EXPECT_GT(test::toneLevel(s, 700, 0.3, 0.9), 0.9 * kToneLevel);
  EXPECT_NEAR(test::toneLevel(s, 700, 1.45, 1.55), 0.5 * kToneLevel, 0.05 * kToneLevel);
}

TEST_F(AudioMix, SilenceModeWritesAShortScratchFileAndOpensNoSource) {
  auto m = test::manifest(2.5, {"/nonexistent/source.m4a"});
  m.videoPlan.segments = {segment("s", 0, 0, 2.5, 0, 2.5)};
  m.audioPlan.renderSilence = true;
  m.audioPlan.voiceoverSegments = {{"v", 0, 1, "/nonexistent/voice.m4a", std::nullopt}};
  const std::string out = test::exportAudio(m, "silence");
  const auto s = test::decodeMono(out);
  EXPECT_NEAR(double(s.size()) / test::kRate, 2.5, kOneFrame);
  EXPECT_EQ(test::rms(s, 0, 2.5), 0.0);

  const auto scratch = media::Asset::open(test::scratchPath("silence.audio.tmp.caf"));
  const auto& track = scratch->firstTrack(media::MediaType::audio);
  EXPECT_EQ(track.formatDescriptions.front().channelCount, 2);
  EXPECT_EQ(track.formatDescriptions.front().sampleRate, 48000);
  EXPECT_NEAR(track.timeRange.duration.seconds(), 0.25, 1e-6);
  // A very short export still gets one frame.
  const auto tiny = createSilentAudioAsset(test::scratchPath("tiny.caf"), 0, 48000);
  EXPECT_EQ(tiny->firstTrack(media::MediaType::audio).timeRange.duration,
            media::MediaTime(1, 48000));
}

TEST_F(AudioMix, NothingToMixAppendsNothing) {
  auto m = test::manifest(2, {a_});
  m.audioPlan.audioTrackMode = "camera";
  m.videoPlan.segments = {segment("s", 0, 0, 2, 0, 2)};
  const auto bundle = buildAudioComposition({AudioSourceAsset::open(a_)}, m.videoPlan, m.audioPlan, 2);
  EXPECT_TRUE(bundle.composition.allTracks().empty());
  EXPECT_TRUE(bundle.audioMix.inputParameters.empty());
}

TEST_F(AudioMix, BadInputFailsWithItsText) {
  const std::string missing = "/nonexistent/voice.m4a";
  struct Case {
    const char* name;
    std::vector<NativeVideoSegmentPlan> segments;
    std::vector<NativeVoiceoverSegment> voiceovers;
    std::vector<std::string> sources;
    std::string text;  // empty: a media error naming `missing`
  } cases[] = {
      {"source index too high", {segment("s", 0, 0, 1, 0, 1), segment("t", 2, 0, 1, 1, 2)}, {}, {a_, b_},
       "No audio track in source: source index 2"},
      {"negative source index", {segment("s", -1, 0, 1, 0, 1)}, {}, {a_}, "No audio track in source: source index -1"},
      {"voiceover without audio", {}, {{"v", 0, 1, test::videoOnly(), std::nullopt}}, {a_},
       "No audio track in voiceover: " + test::videoOnly()},
      {"unreadable voiceover", {}, {{"v", 0, 1, missing, std::nullopt}}, {a_}, ""},
      {"not-a-number output time", {segment("s", 0, 0, 1, std::nan(""), 1)}, {}, {a_},
       "AVAssetReader failed: invalid time range"},
      {"not-a-number voiceover time", {}, {{"v", std::nan(""), 1, voice_, std::nullopt}}, {a_},
       "AVAssetReader failed: invalid time range"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto m = test::manifest(2, c.sources);
    m.videoPlan.segments = c.segments;
    m.audioPlan.voiceoverSegments = c.voiceovers;
    try {
      test::exportAudio(m, "bad");
      FAIL() << "no error";
    } catch (const AudioMixError& e) {
      EXPECT_EQ(e.text(), c.text);
    } catch (const media::MediaError& e) {
      EXPECT_TRUE(c.text.empty()) << e.text();
      EXPECT_NE(e.text().find(missing), std::string::npos) << e.text();
    }
  }
}

TEST_F(AudioMix, SegmentsPlacedBeforeZeroOrOfNoLengthAreLeftOut) {
  auto m = test::manifest(2, {a_, "/nonexistent/unused.m4a"});
  // Sources are opened when their sound is needed: a broken second source fails the mix.
  m.videoPlan.segments = {segment("s", 0, 0, 1, 0, 1)};
  EXPECT_THROW(test::exportAudio(m, "broken_source"), media::MediaError);

  m = test::manifest(2, {a_});
  m.videoPlan.segments = {segment("early", 0, 0, 1, -0.5, 0.5), segment("empty", 5, 1, 1, 0.5, 0.5),
                          segment("late", 0, 2, 3, 1, 2)};
  const auto s = test::decodeMono(test::exportAudio(m, "before_zero"));
  EXPECT_LT(test::rms(s, 0.05, 0.95), 0.002);
  EXPECT_NEAR(test::toneOnset(s, 440, kToneLevel), 1.0, kOneFrame);
}

TEST(AudioTiming, SoundThatStartsAfterThePictureIsMixedWhereItIsCopied) {
  // Screen recorders often open the microphone late; the mix must honour the
  // track's own start as the copy does.
  struct Case {
    double offset, sourceStart;
    bool mix;
  } cases[] = {{0.98, 0, true}, {0.98, 0, false}, {0.098, 0, true}, {0.098, 0, false}, {0.98, 1.2, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "offset " << c.offset << " from " << c.sourceStart << (c.mix ? " mix" : " copy"));
    auto m = test::manifest(3 - c.sourceStart, {test::lateSoundRecording(c.offset)});
    m.videoPlan.segments = {segment("s", 0, c.sourceStart, 3, 0, 3 - c.sourceStart)};
    m.audioPlan.copySourceAudio = true;
    m.audioPlan.forceReencode = c.mix;
    const auto pipeline = AudioPipeline::resolve(m);
    ASSERT_EQ(pipeline.isCopy(), !c.mix);
    const auto s = test::decodeMono(test::exportAudio(m, pipeline, "late_sound"));
    // The copy places packets within half a frame; the mix to the sample (the
    // detector and the AAC round trip blur it by a millisecond or two).
    EXPECT_NEAR(test::toneOnset(s, 1000, 0.5), 1.5 - c.sourceStart, c.mix ? 0.003 : kOneFrame / 2 + 0.003);
  }
}

TEST(AudioTiming, MixedCutsStartAtFullLevel) {
  const std::string tone = test::aacSine(440, 12);
  auto m = test::manifest(3, {tone});
  m.videoPlan.segments = {segment("a", 0, 2, 3, 0, 1), segment("b", 0, 8, 9, 1, 2), segment("c", 0, 5.5213, 6.5213, 2, 3)};
  m.audioPlan.forceReencode = true;
  const auto s = test::decodeMono(test::exportAudio(m, "cut_levels"));
  const double steady = test::rms(s, 0.3, 0.7);
  for (double cut : {1.0, 2.0}) {
    SCOPED_TRACE(cut);
    EXPECT_NEAR(20 * std::log10(test::rms(s, cut, cut + 0.02) / steady), 0.0, 1.0);
  }
}

}  // namespace
}  // namespace vantrel::exporter
