#pragma once
// Errors of the export's audio: choosing the pipeline, copying the source's AAC
// packets, and mixing. Each case has a fixed text (prefix + payload) that the
// job reports as the export's failure.

#include "vantrel/common/error.h"

#include <cstdint>
#include <string>

namespace vantrel::exporter {

enum class AudioPipelineErrorCode { missingSourceAudio };

class AudioPipelineError : public CodedError<AudioPipelineErrorCode> {
 public:
  using CodedError::CodedError;
  static AudioPipelineError missingSourceAudio();
};

enum class AudioCopyErrorCode { noSourceAudioTrack, readerStartFailed, readerFailed, sampleRetimingFailed, appendFailed };

class AudioCopyError : public CodedError<AudioCopyErrorCode> {
 public:
  using CodedError::CodedError;
  static AudioCopyError noSourceAudioTrack(const std::string& path);
  static AudioCopyError readerStartFailed(const std::string& message);
  static AudioCopyError readerFailed(const std::string& message);
  static AudioCopyError sampleRetimingFailed(std::int32_t status);
  static AudioCopyError appendFailed(const std::string& message);
};

enum class AudioMixErrorCode { noSourceAudioTrack, noVoiceoverAudioTrack, readerStartFailed, compositionTrackUnavailable };

class AudioMixError : public CodedError<AudioMixErrorCode> {
 public:
  using CodedError::CodedError;
  static AudioMixError noSourceAudioTrack(const std::string& what);
  static AudioMixError noVoiceoverAudioTrack(const std::string& audioUrl);
  static AudioMixError readerStartFailed(const std::string& message);
  static AudioMixError compositionTrackUnavailable();
};

}  // namespace vantrel::exporter
