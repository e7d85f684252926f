#pragma once
// The audio half of a write (the render-and-encode loop and the mux): the
// export's audio pipeline adds its input to the writer before writing starts,
// then writes every sample of the output's sound on a thread of its own beside
// the video.

#include <atomic>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <stop_token>
#include <string>

#include "manifest/manifest.h"
#include "vantrel/media/writer.h"

namespace vantrel::exporter {

class AudioTrackTask {
 public:
  virtual ~AudioTrackTask() = default;
  // Called once before writing starts. False when the writer refuses every
  // input the pipeline can offer (the caller reports that in its own terms);
  // throws the pipeline's own errors.
  virtual bool addInput(media::Writer& writer) = 0;
  // Writes all audio into the input added above, polling its readiness, and
  // marks the input finished in every outcome. Returns early when `stop` is
  // requested. Throws the first error.
  virtual void run(std::stop_token stop) = 0;
};

// Runs an audio task (or nothing) on its own thread beside the caller's video
// work and keeps the first error of the two. Thread-safe.
class AudioBeside {
 public:
  // Starts `task` at once when it is not null.
  explicit AudioBeside(AudioTrackTask* task);
  ~AudioBeside() { join(); }
  // The caller's own failure; the first recorded error is the one thrown.
  void recordError(std::exception_ptr error);
  bool audioFailed() const { return audioFailed_.load(); }
  void requestStop() { thread_.request_stop(); }
  void join() {
    if (thread_.joinable()) thread_.join();
  }
  std::exception_ptr firstError() const;

 private:
  mutable std::mutex mutex_;
  std::exception_ptr firstError_;
  std::atomic<bool> audioFailed_{false};
  std::jthread thread_;
};

// The task for the manifest's audio plan: resolves the pipeline (copy or mix),
// falling back to a mix when the writer refuses a copied stream. Throws the
// pipeline's errors (for instance a copy asked for without a source).
std::unique_ptr<AudioTrackTask> makeAudioTrackTask(const NativeExportManifestV1& manifest,
                                                   const std::string& tempAudioPath);

}  // namespace vantrel::exporter
