#pragma once
// The two ways audio reaches the writer, called by AudioPipeline::writeAudio.
// Both block the calling thread, poll the input's readiness every 2 ms, throw
// media::MediaError(cancelled) once `stop` is requested, and leave the input
// unfinished (the caller marks it).

#include "audio/audio_pipeline.h"
#include "vantrel/media/audio_mix.h"
#include "vantrel/media/composition.h"

#include <stop_token>
#include <string>
#include <vector>

namespace vantrel::exporter {

// Timescale of every media time made here from seconds.
inline constexpr std::int32_t kAudioTimescale = 44100;

// Waits until `input` takes more data; 2 ms sleeps. Throws MediaError(cancelled).
void waitUntilReadyForMoreMediaData(const media::WriterInput& input, const std::stop_token& stop);

// Copies the AAC packets of each segment's source range, shifted so the
// segment's source start lands on its output start (presentation and decode
// times move together; packets that would land before 0 are dropped). A packet
// straddling a cut goes, whole, to the side holding most of it, and packets
// are laid back to back across cuts (moved by at most half a frame), so the
// sound never drifts from the timeline. `audioPlan` is not read. Throws
// AudioCopyError.
void appendCopiedAudioSamples(const media::AssetRef& sourceAsset, const NativeVideoPlan& videoPlan,
                              const NativeAudioPlan& audioPlan, media::WriterInput& writerInput,
                              const std::stop_token& stop = {});

struct AudioCompositionBundle {
  media::Composition composition;
  media::AudioMix audioMix;
};

// The edit as an audio composition: source track with the segments (gain,
// fade-out, delay, pitch-preserving speed change; muted ones left out), one
// track per voiceover (offset, padding, base-settings fade), the muted bed
// spanning the export. Throws AudioMixError and media::MediaError.
AudioCompositionBundle buildAudioComposition(const std::vector<AudioSourceAsset>& sourceAssets,
                                             const NativeVideoPlan& videoPlan, const NativeAudioPlan& audioPlan,
                                             double totalDurationSeconds);

// Mixes (or, with renderSilence, renders silence for) `totalDurationSeconds`
// and appends interleaved float stereo PCM at `sampleRate` to the AAC input.
// Silence mode writes a short silent file at `tempAudioPath`.
void appendMixedAudioSamples(const std::vector<AudioSourceAsset>& sourceAssets, const NativeVideoPlan& videoPlan,
                             const NativeAudioPlan& audioPlan, double totalDurationSeconds,
                             const std::string& tempAudioPath, media::WriterInput& writerInput, double sampleRate,
                             const std::stop_token& stop = {});

// Writes `durationSeconds` (at least one frame) of stereo 32-bit float silence
// at `sampleRate` as a CAF file at `path`, replacing any file there, and opens
// it. Throws AudioMixError / media::MediaError.
media::AssetRef createSilentAudioAsset(const std::string& path, double durationSeconds, double sampleRate);

}  // namespace vantrel::exporter
