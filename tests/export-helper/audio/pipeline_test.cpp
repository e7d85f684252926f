#include "audio_fixtures.h"

#include "audio/audio_paths.h"
#include "vantrel/media/errors.h"

#include <gtest/gtest.h>

#include <thread>

namespace vantrel::exporter {
namespace {

using test::manifest;

struct ResolveCase {
  const char* name;
  std::string source;  // sourceAudioPath and the only sourceAudioPaths entry
  bool copySourceAudio;
  bool forceReencode;
  double speed;
  std::optional<double> targetSampleRate;
  bool expectCopy;
  double expectRate;  // mix only
  size_t expectSources;
};

TEST(AudioPipelineResolve, ChoosesCopyOnlyForUnchangedAacAndPicksTheMixRate) {
  const std::string aac48 = test::aacSine(440, 1);
  const std::string wav44 = test::wavSine(440, 1, 44100);
  const std::string wav22 = test::wavSine(440, 1, 22050);
  const std::string wav44099 = test::wavSine(440, 1, 44099);
  const ResolveCase cases[] = {
      {"aac at speed 1", aac48, true, false, 1.0, std::nullopt, true, 0, 0},
      {"speed within tolerance", aac48, true, false, 1.0009, std::nullopt, true, 0, 0},
      {"speed 1.5 mixes", aac48, true, false, 1.5, std::nullopt, false, 48000, 1},
      {"forced re-encode", aac48, true, true, 1.0, std::nullopt, false, 48000, 1},
      {"copy not asked", aac48, false, false, 1.0, std::nullopt, false, 48000, 1},
      {"pcm 44100 keeps 44100", wav44, true, false, 1.0, std::nullopt, false, 44100, 1},
      {"pcm 22050 gives 48000", wav22, true, false, 1.0, std::nullopt, false, 48000, 1},
      {"pcm 44099 gives 48000", wav44099, true, false, 1.0, std::nullopt, false, 48000, 1},
      {"target rate wins", wav44, true, false, 1.0, 32000.0, false, 32000, 1},
      {"mix of a 44100 source", wav44, false, false, 2.0, std::nullopt, false, 44100, 1},
      {"file without audio mixes", test::videoOnly(), true, false, 1.0, std::nullopt, false, 48000, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto m = manifest(1, {c.source});
    m.audioPlan.copySourceAudio = c.copySourceAudio;
    m.audioPlan.forceReencode = c.forceReencode;
    m.audioPlan.targetSampleRate = c.targetSampleRate;
    m.videoPlan.segments = {test::segment("a", 0, 0, 1, 0, 1)};
    m.videoPlan.segments[0].speed = c.speed;
    const ResolvedAudioPipeline p = AudioPipeline::resolve(m);
    ASSERT_EQ(p.isCopy(), c.expectCopy);
    if (c.expectCopy) {
      ASSERT_TRUE(p.copy()->sourceFormatHint);
      EXPECT_EQ(p.copy()->sourceFormatHint->mediaSubtype, media::kSubtypeAac);
      EXPECT_EQ(p.copy()->sourceAsset->path(), c.source);
    } else {
      EXPECT_EQ(p.mix()->sampleRate, c.expectRate);
      ASSERT_EQ(p.mix()->sourceAssets.size(), c.expectSources);
      EXPECT_EQ(p.mix()->sourceAssets.front().path, c.source);
    }
  }
}

TEST(AudioPipelineResolve, MixSourcesAndReferenceRate) {
  const std::string voice44 = test::aacSine(700, 1, 44100);
  struct Case {
    const char* name;
    std::string mode;
    std::vector<std::string> paths;
    std::optional<std::string> single;
    std::vector<std::string> voiceovers;
    std::vector<std::string> expectPaths;
    double expectRate;
  } cases[] = {
      {"other mode, no voiceover", "none", {test::aacSine(440, 1)}, std::nullopt, {}, {}, 48000},
      {"other mode, 44100 voiceover sets the rate", "none", {}, std::nullopt, {"", voice44}, {}, 44100},
      {"only the first voiceover with a file is asked", "none", {}, std::nullopt, {"/nonexistent.m4a", voice44}, {},
       48000},
      {"single path when the list is empty", "video", {}, test::wavSine(440, 1, 44100), {}, {"single"}, 44100},
      {"empty entries dropped", "video", {"", test::aacSine(440, 1)}, std::nullopt, {}, {"list"}, 48000},
      {"a missing source is named, not opened", "video", {"/nonexistent/a.m4a"}, std::nullopt, {voice44},
       {"/nonexistent/a.m4a"}, 44100},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto m = manifest(1, {});
    m.audioPlan.audioTrackMode = c.mode;
    m.audioPlan.sourceAudioPaths = c.paths;
    m.audioPlan.sourceAudioPath = c.single;
    for (const auto& v : c.voiceovers) m.audioPlan.voiceoverSegments.push_back({"v", 0, 1, v, std::nullopt});
    const ResolvedAudioPipeline p = AudioPipeline::resolve(m);
    ASSERT_FALSE(p.isCopy());
    EXPECT_EQ(p.mix()->sampleRate, c.expectRate);
    ASSERT_EQ(p.mix()->sourceAssets.size(), c.expectPaths.size());
    for (size_t i = 0; i < c.expectPaths.size(); ++i) {
      const std::string& expected = c.expectPaths[i] == "single" ? *c.single
                                    : c.expectPaths[i] == "list" ? c.paths.back()
                                                                 : c.expectPaths[i];
      EXPECT_EQ(p.mix()->sourceAssets[i].path, expected);
    }
  }
}

TEST(AudioPipelineResolve, CopyWithoutSourcePathFailsAndUnreadableCopySourceReportsThePath) {
  auto m = manifest(1, {});
  m.audioPlan.copySourceAudio = true;
  try {
    AudioPipeline::resolve(m);
    FAIL() << "no error";
  } catch (const AudioPipelineError& e) {
    EXPECT_STREQ(e.what(), "Audio track requested but sourceAudioPath is nil");
  }
  // An empty path is not "absent": it is a file that cannot be opened.
  for (const std::string& path : {std::string(), std::string("/nonexistent/source.m4a")}) {
    m.audioPlan.sourceAudioPath = path;
    try {
      AudioPipeline::resolve(m);
      FAIL() << "no error for '" << path << "'";
    } catch (const media::MediaError& e) {
      EXPECT_EQ(e.code(), media::MediaErrorCode::openFailed);
      EXPECT_NE(e.text().find(path), std::string::npos) << e.text();
    }
  }
}

TEST(AudioPipelineWriterInput, MixSettingsAndFallbackRate) {
  auto m = manifest(1, {});
  const ResolvedAudioPipeline::Mix mix{{}, 44100};
  auto settings = AudioPipeline::mixOutputSettings(mix, m.audioPlan);
  EXPECT_EQ(settings.sampleRate, 44100);
  EXPECT_EQ(settings.channels, 2);
  EXPECT_EQ(settings.bitRate, 192000);
  m.audioPlan.targetBitrate = 96000;
  EXPECT_EQ(AudioPipeline::mixOutputSettings(mix, m.audioPlan).bitRate, 96000);

  EXPECT_FALSE(AudioPipeline::fallbackToMix({mix}, m.audioPlan));
  const auto asset = media::Asset::open(test::aacSine(440, 1, 44100));
  const auto hint = asset->firstTrack(media::MediaType::audio).formatDescriptions.front();
  struct Case {
    std::optional<double> hintRate;
    std::optional<double> target;
    double expect;
  } cases[] = {{44100, std::nullopt, 44100}, {48000, std::nullopt, 48000}, {std::nullopt, std::nullopt, 48000},
               {0, std::nullopt, 48000}, {44100, 22050.0, 22050}};
  for (const auto& c : cases) {
    std::optional<media::FormatDescription> h;
    if (c.hintRate) {
      h = hint;
      h->sampleRate = *c.hintRate;
    }
    m.audioPlan.targetSampleRate = c.target;
    const auto fallback = AudioPipeline::fallbackToMix({ResolvedAudioPipeline::Copy{asset, h}}, m.audioPlan);
    ASSERT_TRUE(fallback && fallback->mix());
    EXPECT_EQ(fallback->mix()->sampleRate, c.expect);
    ASSERT_EQ(fallback->mix()->sourceAssets.size(), 1u);
    EXPECT_EQ(fallback->mix()->sourceAssets[0].asset, asset);
  }
}

TEST(AudioPipelineWriterInput, RefusedPassThroughFallsBackToTheMixAndAnUnusableMixIsRefused) {
  auto m = manifest(2, {test::aacSine(440, 2)});
  m.videoPlan.segments = {test::segment("a", 0, 0, 2, 0, 2)};
  const auto asset = media::Asset::open(test::aacSine(440, 2));
  // A copy without a format hint cannot become a pass-through input.
  const std::string path = test::exportAudio(m, {ResolvedAudioPipeline::Copy{asset, std::nullopt}}, "fallback");
  const auto out = media::Asset::open(path);
  EXPECT_NEAR(out->firstTrack(media::MediaType::audio).timeRange.duration.seconds(), 2.0, 0.03);
  const auto samples = test::decodeMono(path);
  EXPECT_GT(test::toneLevel(samples, 440, 0.2, 1.8), 0.05);

  media::Writer writer(test::scratchPath("refused.mp4"));
  EXPECT_FALSE(AudioPipeline::addWriterInput(writer, {ResolvedAudioPipeline::Mix{{}, -5}}, m.audioPlan));
}

TEST(AudioWritingTask, FinishesTheInputOnSuccessErrorAndStop) {
  auto m = manifest(3, {test::aacSine(440, 3)});
  m.videoPlan.segments = {test::segment("a", 0, 0, 3, 0, 3)};
  struct Case {
    const char* name;
    bool include;
    bool stopFirst;
    bool badIndex;
  } cases[] = {{"audio off", false, false, false}, {"stopped", true, true, false}, {"error", true, false, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto mm = m;
    mm.audioPlan.includeAudioTrack = c.include;
    if (c.badIndex) mm.videoPlan.segments[0].sourceIndex = 4;
    media::Writer writer(test::scratchPath(std::string("task_") + c.name + ".mp4"));
    auto chosen = AudioPipeline::addWriterInput(writer, AudioPipeline::resolve(m), mm.audioPlan);
    ASSERT_TRUE(chosen);
    writer.startWriting();
    writer.startSession(media::MediaTime::zero());
    std::stop_source stop;
    if (c.stopFirst) stop.request_stop();
    bool threw = false;
    try {
      AudioPipeline::writeAudio(*chosen->input, chosen->pipeline, mm, test::scratchPath("t.caf"), stop.get_token());
    } catch (const media::MediaError& e) {
      threw = true;
      EXPECT_EQ(e.code(), media::MediaErrorCode::cancelled);
    } catch (const AudioMixError& e) {
      threw = true;
      EXPECT_STREQ(e.what(), "No audio track in source: source index 4");
    }
    EXPECT_EQ(threw, c.include);
    // The input was finished, so the writer can finish instead of waiting for audio.
    writer.finishWriting().get();
    EXPECT_EQ(writer.status(), media::WriterStatus::completed) << writer.errorText();
  }
}

TEST(AudioWritingTask, AStopWhileWaitingForTheWriterEndsTheTask) {
  // An input that never becomes ready: the task must still end once stopped.
  struct NeverReady : media::WriterInput {
    media::MediaType mediaType() const override { return media::MediaType::audio; }
    bool isReadyForMoreMediaData() const override { return false; }
    void markAsFinished() override { finished = true; }
    bool finished = false;
  } input;
  auto m = manifest(2, {test::aacSine(440, 2)});
  m.videoPlan.segments = {test::segment("a", 0, 0, 2, 0, 2)};
  const auto pipeline = AudioPipeline::resolve(m);
  std::stop_source stop;
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    stop.request_stop();
  });
  EXPECT_THROW(AudioPipeline::writeAudio(input, pipeline, m, test::scratchPath("n.caf"), stop.get_token()),
               media::MediaError);
  stopper.join();
  EXPECT_TRUE(input.finished);
}

}  // namespace
}  // namespace vantrel::exporter
