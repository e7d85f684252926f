#pragma once
// The export's audio track: which pipeline makes it (copying the recording's
// AAC packets, or mixing and re-encoding), the writer input that matches, and
// the audio writing task that the render-and-encode loop and the mux run beside
// their video work.
//
// Calling order at a writer (all on the caller's thread, before startWriting):
//   auto pipeline = AudioPipeline::resolve(manifest);              // may throw
//   auto chosen = AudioPipeline::addWriterInput(writer, std::move(pipeline), manifest.audioPlan);
//   if (!chosen) throw <the caller's "audio input rejected" error>;
//   writer.startWriting(); writer.startSession(zero);
//   std::jthread audio([&](std::stop_token st) {
//     AudioPipeline::writeAudio(*chosen->input, chosen->pipeline, manifest, tempAudioPath, st); });
// The audio task runs on its own thread next to the video pump; both append to
// their own input of the same writer, which is allowed. To cancel it (the
// video pump failed), request a stop: it returns within about 2 ms plus one
// decode block, marking the input finished.
//
// Units: manifest times are seconds; media times built from seconds use
// timescale 44100, copied packets keep their own timescale. Sample rates in Hz.

#include "audio/audio_errors.h"
#include "manifest/manifest.h"
#include "vantrel/media/asset.h"
#include "vantrel/media/writer.h"

#include <exception>
#include <optional>
#include <stop_token>
#include <string>
#include <variant>
#include <vector>

namespace vantrel::exporter {

// A source sound file named by the plan. Naming a file does not fail; a file
// that cannot be opened fails only when its tracks are needed (load()), so a
// silent export never touches its sources and a bad file reports FFmpeg's text
// plus the path at the point where its sound is used.
struct AudioSourceAsset {
  std::string path;
  media::AssetRef asset;         // null when opening failed
  std::exception_ptr openError;  // the media::MediaError of that failure

  static AudioSourceAsset open(const std::string& path);  // never throws
  // The opened asset; rethrows the open error.
  const media::AssetRef& load() const;
};

// The chosen pipeline. Owns (shares) its asset handles; immutable once made, so
// it may be read from the audio thread while the caller keeps it.
struct ResolvedAudioPipeline {
  struct Copy {
    media::AssetRef sourceAsset;
    std::optional<media::FormatDescription> sourceFormatHint;  // first audio track's format
  };
  struct Mix {
    std::vector<AudioSourceAsset> sourceAssets;  // indexed by a segment's sourceIndex; may be empty
    double sampleRate = 48000;                   // Hz of the mixed and encoded output
  };
  std::variant<Copy, Mix> value;

  bool isCopy() const { return std::holds_alternative<Copy>(value); }
  const Copy* copy() const { return std::get_if<Copy>(&value); }
  const Mix* mix() const { return std::get_if<Mix>(&value); }
};

// A writer input together with the pipeline it was made for (after a fallback
// that is the mix pipeline, not the one passed in). The input is owned by the
// writer.
struct AudioWriterInput {
  media::WriterInput* input = nullptr;
  ResolvedAudioPipeline pipeline;
};

// All operations are stateless.
class AudioPipeline {
 public:
  // Chooses copy or mix. Call only when audioPlan.includeAudioTrack is true.
  // Throws AudioPipelineError (copy asked for without a sourceAudioPath) and,
  // for the copy candidate, media::MediaError when the file cannot be opened.
  static ResolvedAudioPipeline resolve(const NativeExportManifestV1& manifest);

  // AAC encoder settings of a mix: stereo at the pipeline's rate,
  // targetBitrate or 192000 bit/s.
  static media::AacSettings mixOutputSettings(const ResolvedAudioPipeline::Mix& mix, const NativeAudioPlan& audioPlan);

  // Makes the pipeline's input and adds it to `writer` (before startWriting):
  // an AAC encoding input for a mix, a pass-through input with the source
  // format for a copy. Returns null when the writer refuses it (a pass-through
  // it cannot carry, no format hint, or settings it rejects).
  static media::WriterInput* tryAddWriterInput(media::Writer& writer, const ResolvedAudioPipeline& pipeline,
                                               const NativeAudioPlan& audioPlan);

  // A copy pipeline turned into the mix of its one source; none for a mix.
  static std::optional<ResolvedAudioPipeline> fallbackToMix(const ResolvedAudioPipeline& pipeline,
                                                            const NativeAudioPlan& audioPlan);

  // tryAddWriterInput, and on refusal the same with fallbackToMix's pipeline.
  // Nothing when the writer refuses the input that is left.
  static std::optional<AudioWriterInput> addWriterInput(media::Writer& writer, ResolvedAudioPipeline pipeline,
                                                        const NativeAudioPlan& audioPlan);

  // The audio writing task: writes all audio of `pipeline` into `input` (the
  // mix of videoPlan.durationSeconds, or the copied packets), then marks the
  // input finished, in every outcome. Throws the first error: AudioCopyError,
  // AudioMixError, media::MediaError (unreadable files; code cancelled when a
  // stop was requested). `tempAudioPath` is the export's scratch audio file
  // (silence mode writes and leaves it; the caller removes it). Blocking; run it
  // on its own thread. Polls the input's readiness every 2 ms.
  static void writeAudio(media::WriterInput& input, const ResolvedAudioPipeline& pipeline,
                         const NativeExportManifestV1& manifest, const std::string& tempAudioPath,
                         std::stop_token stop = {});
};

}  // namespace vantrel::exporter
