#include "audio/audio_paths.h"

#include "vantrel/media/errors.h"
#include "vantrel/media/readers.h"

#include <algorithm>
#include <cmath>
#include <set>

namespace vantrel::exporter {

namespace {

constexpr double kEmptyLength = 1e-6;
constexpr double kStretchThreshold = 0.0005;
constexpr double kMinimumFade = 0.001;
constexpr double kMinimumBedSlice = 0.001;
constexpr double kRampGainDifference = 0.0001;
constexpr double kLongestSlice = 0.25;

media::MediaTime at(double seconds) { return media::MediaTime::fromSeconds(seconds, kAudioTimescale); }

// Levels are percent; anything that is not a number counts as silence.
float gainOf(double percent) {
  double g = percent / 100.0;
  if (!(g > 0)) g = 0;
  if (g > 1) g = 1;
  return static_cast<float>(g);
}

double delayOf(const NativeAudioTrackSettings& settings) {
  if (!settings.audioDelay || !(*settings.audioDelay >= 0)) return 0;
  return std::min(*settings.audioDelay, 1.0);
}

// A gain from `start` on, ramping to the end level over the last `fade` seconds
// of the `length` seconds placed there when a fade-out is asked for.
void applyLevels(media::AudioMixInputParameters& params, const NativeAudioTrackSettings& settings, double start,
                 double length) {
  const float gain = gainOf(settings.volume);
  const float endGain = gainOf(settings.endVolume);
  params.setVolume(gain, at(start));
  if (!settings.fadeOutEnabled || !(settings.fadeDuration > 0) || !(length > 0) ||
      std::fabs(double(endGain) - double(gain)) < kRampGainDifference) {
    return;
  }
  const double fade = std::min(length, std::max(settings.fadeDuration, kMinimumFade));
  params.setVolumeRamp(gain, endGain, media::TimeRange{at(start + std::max(length - fade, 0.0)), at(fade)});
}

void requireFinite(std::initializer_list<double> values) {
  for (double v : values) {
    if (!std::isfinite(v)) throw AudioMixError::readerStartFailed("invalid time range");
  }
}

// Lays `sourceStart` + `chunk` of the track end to end from 0 until `total`
// seconds. Times add up in ticks, so the tiles never drift from the timeline.
void tile(media::CompositionTrack& track, const media::AssetRef& asset, int trackId, media::MediaTime sourceStart,
          media::MediaTime chunk, double totalSeconds) {
  const media::MediaTime total = at(totalSeconds);
  const media::MediaTime stop = at(totalSeconds - kEmptyLength);
  for (media::MediaTime position = media::MediaTime(0, kAudioTimescale); position < stop;) {
    const media::MediaTime length = media::minimum(total - position, chunk);
    track.insertTimeRange(media::TimeRange{sourceStart, length}, asset, trackId, position);
    position = position + length;
  }
}

struct SourceTrack {
  media::AssetRef asset;
  const media::TrackInfo* track = nullptr;
};

void addSourceSegments(AudioCompositionBundle& bundle, const std::vector<AudioSourceAsset>& sourceAssets,
                       const NativeVideoPlan& videoPlan, const NativeAudioPlan& audioPlan,
                       std::optional<SourceTrack>& reference) {
  std::vector<SourceTrack> sources;
  for (const auto& source : sourceAssets) {
    const media::AssetRef& asset = source.load();
    const auto audio = asset->tracks(media::MediaType::audio);
    sources.push_back({asset, audio.empty() ? nullptr : audio.front()});
    if (!reference && sources.back().track) reference = sources.back();
  }
  media::CompositionTrack& track = bundle.composition.addTrack(media::MediaType::audio);
  media::AudioMixInputParameters params(track.trackId());
  const std::set<std::string> muted(audioPlan.mutedVideoAudioSegmentIds.begin(),
                                    audioPlan.mutedVideoAudioSegmentIds.end());

  for (const auto& segment : videoPlan.segments) {
    const double sourceDuration = std::max(segment.sourceEndTime - segment.sourceStartTime, 0.0);
    if (sourceDuration <= kEmptyLength) continue;
    if (segment.sourceIndex < 0 || segment.sourceIndex >= static_cast<std::int64_t>(sources.size())) {
      throw AudioMixError::noSourceAudioTrack("source index " + std::to_string(segment.sourceIndex));
    }
    const SourceTrack& source = sources[static_cast<size_t>(segment.sourceIndex)];
    if (!source.track || muted.count(segment.segmentId)) continue;
    const auto custom = audioPlan.videoAudioSegmentSettingsById.find(segment.segmentId);
    const NativeAudioTrackSettings& settings =
        custom != audioPlan.videoAudioSegmentSettingsById.end() ? custom->second : audioPlan.audioTrackSettings;
    const double insertAt = segment.outputStartTime + delayOf(settings);
    if (insertAt < 0) continue;
    requireFinite({sourceDuration, segment.sourceStartTime, insertAt, segment.outputEndTime});

    track.insertTimeRange(media::TimeRange{at(segment.sourceStartTime), at(sourceDuration)}, source.asset,
                          source.track->trackId, at(insertAt));
    const double outputDuration = std::max(segment.outputEndTime - segment.outputStartTime, 0.0);
    if (std::fabs(outputDuration - sourceDuration) > kStretchThreshold) {
      track.scaleTimeRange(media::TimeRange{at(insertAt), at(sourceDuration)}, at(outputDuration));
    }
    applyLevels(params, settings, insertAt, outputDuration);
  }
  bundle.audioMix.inputParameters.push_back(std::move(params));
}

void addVoiceovers(AudioCompositionBundle& bundle, const NativeAudioPlan& audioPlan, double totalDurationSeconds,
                   std::optional<SourceTrack>& reference) {
  const NativeAudioTrackSettings& base = audioPlan.audioTrackSettings;
  for (const auto& voiceover : audioPlan.voiceoverSegments) {
    if (voiceover.audioUrl.empty()) continue;
    const media::AssetRef asset = media::Asset::open(voiceover.audioUrl);
    const auto audio = asset->tracks(media::MediaType::audio);
    if (audio.empty()) throw AudioMixError::noVoiceoverAudioTrack(voiceover.audioUrl);
    const media::TrackInfo* clip = audio.front();
    if (!reference) reference = SourceTrack{asset, clip};
    const double clipLength = clip->timeRange.duration.seconds();

    const double placeAt = voiceover.startTime + delayOf(base);
    const double sourceOffset = voiceover.audioOffset && *voiceover.audioOffset >= 0 ? *voiceover.audioOffset : 0;
    requireFinite({placeAt, voiceover.endTime, sourceOffset});
    const double segmentLength = std::max(voiceover.endTime - voiceover.startTime, 0.0);
    if (placeAt >= totalDurationSeconds || segmentLength <= kEmptyLength) continue;
    const double visibleLength = std::min(std::max(totalDurationSeconds - placeAt, 0.0), segmentLength);
    const double insertLength = std::min(visibleLength, clipLength - sourceOffset);
    if (insertLength <= kEmptyLength) continue;

    media::CompositionTrack& track = bundle.composition.addTrack(media::MediaType::audio);
    track.insertTimeRange(media::TimeRange{at(sourceOffset), at(insertLength)}, asset, clip->trackId, at(placeAt));
    const media::MediaTime end = at(std::min(totalDurationSeconds, placeAt + segmentLength));
    if (track.duration() < end) track.insertEmptyTimeRange(media::TimeRange::fromStartEnd(track.duration(), end));

    media::AudioMixInputParameters params(track.trackId());
    applyLevels(params, base, placeAt, visibleLength);
    bundle.audioMix.inputParameters.push_back(std::move(params));
  }
}

// A silent copy of the reference sound under the whole export, so the mix
// spans the output even where nothing plays.
void addMutedBed(AudioCompositionBundle& bundle, const SourceTrack& reference, double totalDurationSeconds) {
  const media::TimeRange range = reference.track->timeRange;
  const double slice = std::min(range.duration.seconds(), kLongestSlice);
  if (!(slice > kMinimumBedSlice)) return;
  media::CompositionTrack& track = bundle.composition.addTrack(media::MediaType::audio);
  tile(track, reference.asset, reference.track->trackId, range.start,
       media::minimum(range.duration.convertScale(kAudioTimescale), at(kLongestSlice)), totalDurationSeconds);
  media::AudioMixInputParameters params(track.trackId());
  params.setVolume(0, at(0));
  bundle.audioMix.inputParameters.push_back(std::move(params));
}

void appendMixedCompositionToInput(const AudioCompositionBundle& bundle, media::WriterInput& writerInput,
                                   double sampleRate, const std::stop_token& stop) {
  if (bundle.composition.tracks(media::MediaType::audio).empty()) return;
  std::optional<media::AudioMixReader> mixReader;
  try {
    mixReader.emplace(bundle.composition, bundle.audioMix, static_cast<int>(std::lround(sampleRate)), 2);
  } catch (const media::MediaError& error) {
    throw AudioMixError::readerStartFailed(error.text().empty() ? "unknown" : error.text());
  }
  media::AudioMixReader& reader = *mixReader;
  for (;;) {
    std::optional<media::PcmBuffer> buffer;
    try {
      buffer = reader.next();
    } catch (const media::MediaError& error) {
      throw AudioMixError::readerStartFailed(error.text().empty() ? "audio mix reader failed" : error.text());
    }
    if (!buffer) {
      if (reader.status() == media::ReaderStatus::failed) {
        const std::string text = reader.errorText();
        throw AudioMixError::readerStartFailed(text.empty() ? "audio mix reader failed" : text);
      }
      return;
    }
    waitUntilReadyForMoreMediaData(writerInput, stop);
    if (!writerInput.appendPcm(*buffer)) throw AudioMixError::readerStartFailed("audio mix append failed");
  }
}

void appendSilence(double totalDurationSeconds, const std::string& tempAudioPath, media::WriterInput& writerInput,
                   double sampleRate, const std::stop_token& stop) {
  const double sliceLength = std::min(std::max(totalDurationSeconds, 1.0 / sampleRate), kLongestSlice);
  const media::AssetRef silence = createSilentAudioAsset(tempAudioPath, sliceLength, sampleRate);
  const auto audio = silence->tracks(media::MediaType::audio);
  if (audio.empty()) throw AudioMixError::noSourceAudioTrack(tempAudioPath);
  AudioCompositionBundle bundle;
  media::CompositionTrack& track = bundle.composition.addTrack(media::MediaType::audio);
  const media::TimeRange range = audio.front()->timeRange;
  const media::MediaTime chunk = media::minimum(range.duration.convertScale(kAudioTimescale), at(sliceLength));
  if (chunk <= media::MediaTime::zero()) throw AudioMixError::noSourceAudioTrack(tempAudioPath);
  tile(track, silence, audio.front()->trackId, range.start, chunk, totalDurationSeconds);
  media::AudioMixInputParameters params(track.trackId());
  params.setVolume(0, at(0));
  bundle.audioMix.inputParameters.push_back(std::move(params));
  appendMixedCompositionToInput(bundle, writerInput, sampleRate, stop);
}

}  // namespace

AudioCompositionBundle buildAudioComposition(const std::vector<AudioSourceAsset>& sourceAssets,
                                             const NativeVideoPlan& videoPlan, const NativeAudioPlan& audioPlan,
                                             double totalDurationSeconds) {
  AudioCompositionBundle bundle;
  std::optional<SourceTrack> reference;
  const bool sourceSound = audioPlan.audioTrackMode == "video";
  if (sourceSound && !sourceAssets.empty()) addSourceSegments(bundle, sourceAssets, videoPlan, audioPlan, reference);
  addVoiceovers(bundle, audioPlan, totalDurationSeconds, reference);
  if (sourceSound && reference && totalDurationSeconds > 0) addMutedBed(bundle, *reference, totalDurationSeconds);
  return bundle;
}

void appendMixedAudioSamples(const std::vector<AudioSourceAsset>& sourceAssets, const NativeVideoPlan& videoPlan,
                             const NativeAudioPlan& audioPlan, double totalDurationSeconds,
                             const std::string& tempAudioPath, media::WriterInput& writerInput, double sampleRate,
                             const std::stop_token& stop) {
  if (audioPlan.renderSilence.value_or(false)) {
    appendSilence(totalDurationSeconds, tempAudioPath, writerInput, sampleRate, stop);
    return;
  }
  const AudioCompositionBundle bundle = buildAudioComposition(sourceAssets, videoPlan, audioPlan, totalDurationSeconds);
  appendMixedCompositionToInput(bundle, writerInput, sampleRate, stop);
}

}  // namespace vantrel::exporter
