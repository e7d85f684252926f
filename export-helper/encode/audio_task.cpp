// The audio half of a write, on the export's audio pipeline: copy the
// recording's AAC packets when the edit allows it, otherwise mix and encode.

#include "audio/audio_pipeline.h"
#include "encode/audio_task.h"

namespace vantrel::exporter {

namespace {

class PipelineAudioTask : public AudioTrackTask {
 public:
  PipelineAudioTask(const NativeExportManifestV1& manifest, std::string tempAudioPath)
      : manifest_(manifest), tempAudioPath_(std::move(tempAudioPath)), pipeline_(AudioPipeline::resolve(manifest)) {}

  bool addInput(media::Writer& writer) override {
    chosen_ = AudioPipeline::addWriterInput(writer, pipeline_, manifest_.audioPlan);
    return chosen_.has_value();
  }

  void run(std::stop_token stop) override {
    AudioPipeline::writeAudio(*chosen_->input, chosen_->pipeline, manifest_, tempAudioPath_, stop);
  }

 private:
  const NativeExportManifestV1& manifest_;
  std::string tempAudioPath_;
  ResolvedAudioPipeline pipeline_;
  std::optional<AudioWriterInput> chosen_;
};

}  // namespace

AudioBeside::AudioBeside(AudioTrackTask* task) {
  if (!task) return;
  thread_ = std::jthread([this, task](std::stop_token stop) {
    try {
      task->run(stop);
    } catch (...) {
      recordError(std::current_exception());
      audioFailed_ = true;
    }
  });
}

void AudioBeside::recordError(std::exception_ptr error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!firstError_) firstError_ = error;
}

std::exception_ptr AudioBeside::firstError() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return firstError_;
}

std::unique_ptr<AudioTrackTask> makeAudioTrackTask(const NativeExportManifestV1& manifest,
                                                   const std::string& tempAudioPath) {
  return std::make_unique<PipelineAudioTask>(manifest, tempAudioPath);
}

}  // namespace vantrel::exporter
