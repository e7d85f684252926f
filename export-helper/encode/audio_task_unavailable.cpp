// Without the audio pipeline in this build, an export that asks for sound
// fails when its audio input would be added, rather than dropping the sound.

#include "encode/audio_task.h"
#include "job/job_errors.h"

namespace vantrel::exporter {

std::unique_ptr<AudioTrackTask> makeAudioTrackTask(const NativeExportManifestV1&, const std::string&) {
  throw JobRunnerError::exportSessionFailed("avassetwriter_audio_input_rejected");
}

}  // namespace vantrel::exporter
