#include "audio/audio_pipeline.h"

#include "audio/audio_paths.h"
#include "vantrel/media/errors.h"

#include <cmath>
#include <utility>

namespace vantrel::exporter {

namespace {

constexpr double kSpeedTolerance = 0.001;
constexpr std::int64_t kDefaultBitRate = 192000;

// 44100 stays 44100; everything else, known or not, is encoded at 48000.
double preferredRate(std::optional<double> sourceRate) {
  return sourceRate && *sourceRate == 44100.0 ? 44100.0 : 48000.0;
}

double outputRate(const NativeAudioPlan& plan, std::optional<double> sourceRate) {
  return plan.targetSampleRate ? *plan.targetSampleRate : preferredRate(sourceRate);
}

const media::FormatDescription* firstAudioFormat(const media::Asset& asset) {
  const auto audio = asset.tracks(media::MediaType::audio);
  if (audio.empty() || audio.front()->formatDescriptions.empty()) return nullptr;
  return &audio.front()->formatDescriptions.front();
}

// The first audio track's rate, or nothing when anything about it is unknown.
std::optional<double> loadSampleRate(const AudioSourceAsset* source) {
  if (!source || !source->asset) return std::nullopt;
  const media::FormatDescription* format = firstAudioFormat(*source->asset);
  if (!format || !(format->sampleRate > 0)) return std::nullopt;
  return format->sampleRate;
}

bool copyIsConsidered(const NativeExportManifestV1& manifest) {
  const NativeAudioPlan& plan = manifest.audioPlan;
  if (!plan.copySourceAudio || plan.forceReencode) return false;
  for (const auto& segment : manifest.videoPlan.segments) {
    if (!(std::fabs(segment.speed - 1.0) <= kSpeedTolerance)) return false;
  }
  return true;
}

ResolvedAudioPipeline resolveCopy(const NativeAudioPlan& plan) {
  if (!plan.sourceAudioPath) throw AudioPipelineError::missingSourceAudio();
  media::AssetRef asset = media::Asset::open(*plan.sourceAudioPath);
  const auto audio = asset->tracks(media::MediaType::audio);
  AudioSourceAsset source{*plan.sourceAudioPath, asset, nullptr};
  if (audio.empty()) {
    return {ResolvedAudioPipeline::Mix{{std::move(source)}, outputRate(plan, std::nullopt)}};
  }
  const media::FormatDescription* format = firstAudioFormat(*asset);
  if (format && format->mediaSubtype == media::kSubtypeAac) {
    return {ResolvedAudioPipeline::Copy{asset, *format}};
  }
  const std::optional<double> rate = format ? std::optional<double>(format->sampleRate) : std::nullopt;
  return {ResolvedAudioPipeline::Mix{{std::move(source)}, outputRate(plan, rate)}};
}

ResolvedAudioPipeline resolveMix(const NativeAudioPlan& plan) {
  std::vector<std::string> paths;
  if (plan.audioTrackMode == "video") {
    if (!plan.sourceAudioPaths.empty()) {
      paths = plan.sourceAudioPaths;
    } else if (plan.sourceAudioPath) {
      paths = {*plan.sourceAudioPath};
    }
  }
  ResolvedAudioPipeline::Mix mix;
  for (const auto& path : paths) {
    if (!path.empty()) mix.sourceAssets.push_back(AudioSourceAsset::open(path));
  }
  std::optional<double> rate = loadSampleRate(mix.sourceAssets.empty() ? nullptr : &mix.sourceAssets.front());
  if (!rate) {
    for (const auto& voiceover : plan.voiceoverSegments) {
      if (voiceover.audioUrl.empty()) continue;
      const AudioSourceAsset asset = AudioSourceAsset::open(voiceover.audioUrl);
      rate = loadSampleRate(&asset);
      break;  // only the first voiceover with a file is asked
    }
  }
  mix.sampleRate = outputRate(plan, rate);
  return {std::move(mix)};
}

}  // namespace

AudioSourceAsset AudioSourceAsset::open(const std::string& path) {
  AudioSourceAsset source{path, nullptr, nullptr};
  try {
    source.asset = media::Asset::open(path);
  } catch (const media::MediaError&) {
    source.openError = std::current_exception();
  }
  return source;
}

const media::AssetRef& AudioSourceAsset::load() const {
  if (!asset) std::rethrow_exception(openError);
  return asset;
}

ResolvedAudioPipeline AudioPipeline::resolve(const NativeExportManifestV1& manifest) {
  return copyIsConsidered(manifest) ? resolveCopy(manifest.audioPlan) : resolveMix(manifest.audioPlan);
}

media::AacSettings AudioPipeline::mixOutputSettings(const ResolvedAudioPipeline::Mix& mix,
                                                    const NativeAudioPlan& audioPlan) {
  media::AacSettings settings;
  settings.sampleRate = static_cast<int>(std::lround(mix.sampleRate));
  settings.channels = 2;
  settings.bitRate = audioPlan.targetBitrate.value_or(kDefaultBitRate);
  return settings;
}

media::WriterInput* AudioPipeline::tryAddWriterInput(media::Writer& writer, const ResolvedAudioPipeline& pipeline,
                                                     const NativeAudioPlan& audioPlan) {
  try {
    if (const auto* mix = pipeline.mix()) {
      if (!(mix->sampleRate >= 1 && mix->sampleRate <= 768000)) return nullptr;
      return writer.addAudioInput(mixOutputSettings(*mix, audioPlan));
    }
    const auto& copy = *pipeline.copy();
    if (!copy.sourceFormatHint || !media::Writer::canAddPassThroughInput(*copy.sourceFormatHint)) return nullptr;
    return writer.addPassThroughInput(*copy.sourceFormatHint);
  } catch (const media::MediaError&) {
    return nullptr;  // the writer's way of refusing an input
  }
}

std::optional<ResolvedAudioPipeline> AudioPipeline::fallbackToMix(const ResolvedAudioPipeline& pipeline,
                                                                  const NativeAudioPlan& audioPlan) {
  const auto* copy = pipeline.copy();
  if (!copy) return std::nullopt;
  std::optional<double> hintRate;
  if (copy->sourceFormatHint && copy->sourceFormatHint->sampleRate > 0) hintRate = copy->sourceFormatHint->sampleRate;
  AudioSourceAsset source{copy->sourceAsset ? copy->sourceAsset->path() : std::string(), copy->sourceAsset, nullptr};
  return ResolvedAudioPipeline{ResolvedAudioPipeline::Mix{{std::move(source)}, outputRate(audioPlan, hintRate)}};
}

std::optional<AudioWriterInput> AudioPipeline::addWriterInput(media::Writer& writer, ResolvedAudioPipeline pipeline,
                                                              const NativeAudioPlan& audioPlan) {
  if (media::WriterInput* input = tryAddWriterInput(writer, pipeline, audioPlan)) {
    return AudioWriterInput{input, std::move(pipeline)};
  }
  if (auto mix = fallbackToMix(pipeline, audioPlan)) {
    if (media::WriterInput* input = tryAddWriterInput(writer, *mix, audioPlan)) {
      return AudioWriterInput{input, std::move(*mix)};
    }
  }
  return std::nullopt;
}

void AudioPipeline::writeAudio(media::WriterInput& input, const ResolvedAudioPipeline& pipeline,
                               const NativeExportManifestV1& manifest, const std::string& tempAudioPath,
                               std::stop_token stop) {
  const NativeAudioPlan& audioPlan = manifest.audioPlan;
  const NativeVideoPlan& videoPlan = manifest.videoPlan;
  if (audioPlan.includeAudioTrack) {
    try {
      if (const auto* mix = pipeline.mix()) {
        appendMixedAudioSamples(mix->sourceAssets, videoPlan, audioPlan, videoPlan.durationSeconds, tempAudioPath,
                                input, mix->sampleRate, stop);
      } else {
        appendCopiedAudioSamples(pipeline.copy()->sourceAsset, videoPlan, audioPlan, input, stop);
      }
    } catch (...) {
      input.markAsFinished();
      throw;
    }
  }
  input.markAsFinished();
}

}  // namespace vantrel::exporter
