#include "audio/audio_errors.h"

namespace vantrel::exporter {

AudioPipelineError AudioPipelineError::missingSourceAudio() {
  return {AudioPipelineErrorCode::missingSourceAudio, "", "Audio track requested but sourceAudioPath is nil"};
}

using CopyCode = AudioCopyErrorCode;

AudioCopyError AudioCopyError::noSourceAudioTrack(const std::string& path) {
  return {CopyCode::noSourceAudioTrack, path, "No audio track found in source: " + path};
}
AudioCopyError AudioCopyError::readerStartFailed(const std::string& message) {
  return {CopyCode::readerStartFailed, message, "AVAssetReader failed to start: " + message};
}
AudioCopyError AudioCopyError::readerFailed(const std::string& message) {
  return {CopyCode::readerFailed, message, "AVAssetReader failed mid-read: " + message};
}
AudioCopyError AudioCopyError::sampleRetimingFailed(std::int32_t status) {
  const std::string s = std::to_string(status);
  return {CopyCode::sampleRetimingFailed, s, "CMSampleBuffer retiming failed: " + s};
}
AudioCopyError AudioCopyError::appendFailed(const std::string& message) {
  return {CopyCode::appendFailed, message, "AVAssetWriterInput.append failed for copied audio: " + message};
}

using MixCode = AudioMixErrorCode;

AudioMixError AudioMixError::noSourceAudioTrack(const std::string& what) {
  return {MixCode::noSourceAudioTrack, what, "No audio track in source: " + what};
}
AudioMixError AudioMixError::noVoiceoverAudioTrack(const std::string& audioUrl) {
  return {MixCode::noVoiceoverAudioTrack, audioUrl, "No audio track in voiceover: " + audioUrl};
}
AudioMixError AudioMixError::readerStartFailed(const std::string& message) {
  return {MixCode::readerStartFailed, message, "AVAssetReader failed: " + message};
}
AudioMixError AudioMixError::compositionTrackUnavailable() {
  return {MixCode::compositionTrackUnavailable, "", "Failed to add source audio composition track"};
}

}  // namespace vantrel::exporter
