#include "encode/render_encode.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cmath>
#include <exception>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>

#include "encode/audio_task.h"
#include "encode/pipeline.h"
#include "job/job_errors.h"
#include "vantrel/media/errors.h"

namespace vantrel::exporter {

namespace {

using Clock = std::chrono::steady_clock;

std::string orDefault(const std::string& text, const char* fallback) { return text.empty() ? fallback : text; }

// Marks an input finished however the scope is left.
struct FinishGuard {
  media::WriterInput* input;
  ~FinishGuard() {
    if (input) input->markAsFinished();
  }
};

void waitUntilReady(const media::WriterInput& input, const std::stop_token& stop) {
  while (!input.isReadyForMoreMediaData() && !stop.stop_requested()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

}  // namespace

bool exportRenderedVideoWithAssetWriter(CompositionBundle& bundle, const std::string& outputPath,
                                        const NativeExportManifestV1& manifest, const AssetWriterVideoPlan& writerPlan,
                                        std::int64_t estimatedFrames, bool includeAudioInline,
                                        const std::string& tempAudioPath, ProgressReporter& reporter,
                                        const std::string& helperVersion) {
  std::filesystem::remove(outputPath);

  if (bundle.composition.tracks(media::MediaType::video).empty()) {
    throw JobRunnerError::unsupportedScene("native_helper_missing_composition_video_track");
  }
  auto settings = bundle.videoComposition;
  settings.renderWidth = std::max(settings.renderWidth, 2);
  settings.renderHeight = std::max(settings.renderHeight, 2);

  // The compositor's own failure is the export's failure, with its reason code.
  std::mutex compositorErrorMutex;
  std::exception_ptr compositorError;
  media::Compositor compositor;
  if (bundle.compositor) {
    compositor = [&, inner = bundle.compositor](const media::CompositionRequest& request, media::PixelBuffer& out) {
      try {
        inner(request, out);
      } catch (...) {
        std::lock_guard<std::mutex> lock(compositorErrorMutex);
        if (!compositorError) compositorError = std::current_exception();
        throw;
      }
    };
  }
  // The reader hands the recording over as decoded planes where it can; the
  // pipeline composes each frame (in I420 or BGRA, see pipeline.h).
  // VANTREL_PLANAR_FRAMES=0 keeps every frame on the BGRA path, for comparing the two.
  const char* planarSwitch = std::getenv("VANTREL_PLANAR_FRAMES");
  const bool allowPlanar = bundle.renderState != nullptr && !(planarSwitch && std::string_view(planarSwitch) == "0");
  settings.planarSources = allowPlanar;
  media::VideoCompositionReader reader(bundle.composition, settings);
  FramePipeline pipeline(compositor ? compositor : media::Compositor(media::drawBaseFrameUpright), bundle.renderState,
                         settings.renderWidth, settings.renderHeight, allowPlanar);

  std::optional<media::Writer> writer;
  try {
    writer.emplace(outputPath, media::WriterOptions{writerPlan.optimizeForNetworkUse});
  } catch (const media::MediaError&) {
    throw JobRunnerError::exportSessionFailed("avassetwriter_create_failed");
  }

  const std::int64_t fps = std::max<std::int64_t>(manifest.qualityPlan.frameRate, 1);
  const auto keyInterval = std::max<std::int64_t>(
      static_cast<std::int64_t>(std::llround(static_cast<double>(fps) * writerPlan.keyFrameIntervalSeconds)), 1);
  media::H264Settings h264;
  h264.width = settings.renderWidth;
  h264.height = settings.renderHeight;
  h264.averageBitRate = writerPlan.averageBitrate;
  h264.maxKeyFrameInterval = static_cast<int>(std::min<std::int64_t>(keyInterval, 1 << 30));
  h264.expectedFrameRate = static_cast<double>(fps);
  h264.mediaTimescale = static_cast<int>(std::min<std::int64_t>(fps, 1 << 30));
  h264.allowFrameReordering = false;
  media::WriterInput* videoInput = nullptr;
  try {
    videoInput = writer->addVideoInput(h264);
  } catch (const media::MediaError&) {
    throw JobRunnerError::exportSessionFailed("avassetwriter_video_input_rejected");
  }

  std::unique_ptr<AudioTrackTask> audio;
  if (includeAudioInline) {
    audio = makeAudioTrackTask(manifest, tempAudioPath);
    if (!audio->addInput(*writer)) throw JobRunnerError::exportSessionFailed("avassetwriter_audio_input_rejected");
  }

  try {
    writer->startWriting();
  } catch (const media::MediaError&) {
    throw JobRunnerError::exportSessionFailed(orDefault(writer->errorText(), "avassetwriter_start_failed"));
  }
  writer->startSession(media::MediaTime::zero());
  try {
    reader.startReading();
  } catch (const media::MediaError& e) {
    writer->cancelWriting();
    throw JobRunnerError::exportSessionFailed(orDefault(e.what(), "avassetreader_start_failed"));
  }

  // The first error of either pump wins; the other pump is stopped.
  AudioBeside audioTask(audio.get());

  bool videoFailed = false;
  try {
    FinishGuard finish{videoInput};
    std::stop_source videoStop;
    auto lastReport = Clock::now();
    std::int64_t appended = 0;
    const double expected = static_cast<double>(std::max<std::int64_t>(estimatedFrames, 1));
    while (!audioTask.audioFailed()) {
      std::optional<media::CompositionRequest> request;
      try {
        request = reader.copyNextRequest();
      } catch (const media::MediaError& e) {
        throw JobRunnerError::exportSessionFailed(orDefault(e.what(), "avassetreader_failed"));
      }
      if (!request) break;
      PipelineFrame frame;
      try {
        frame = pipeline.compose(*request);
      } catch (const media::MediaError& e) {
        std::lock_guard<std::mutex> lock(compositorErrorMutex);
        if (compositorError) std::rethrow_exception(compositorError);
        throw JobRunnerError::exportSessionFailed(orDefault(e.what(), "avassetreader_failed"));
      }
      const media::MediaTime at = request->outputTime;
      request.reset();  // the decoded frames go back to the reader before encoding waits
      waitUntilReady(*videoInput, videoStop.get_token());
      // A repeated frame costs the encoder nothing where the stream allows it.
      const bool appendedOk = frame.repeatsPrevious && appended > 0
                                  ? videoInput->appendRepeatedPicture(at)
                              : frame.planes ? videoInput->appendPlanarBuffer(std::move(frame.planes), at)
                                             : videoInput->appendPixelBuffer(std::move(frame.bgra), at);
      if (!appendedOk) {
        reader.cancelReading();
        throw JobRunnerError::exportSessionFailed(orDefault(writer->errorText(), "avassetwriter_append_failed"));
      }
      ++appended;
      auto now = Clock::now();
      if (now - lastReport >= std::chrono::milliseconds(250)) {
        double f = std::min(static_cast<double>(appended) / expected, 1.0);
        reporter.emit(ProgressEvent{"rendering", "avassetwriter_render_encode", std::clamp(0.12 + 0.76 * f, 0.12, 0.88),
                                    "Encoding native video...", helperVersion});
        lastReport = now;
      }
    }
  } catch (...) {
    audioTask.recordError(std::current_exception());
    videoFailed = true;
  }

  if (videoFailed) audioTask.requestStop();
  audioTask.join();
  if (auto error = audioTask.firstError()) {
    reader.cancelReading();
    writer->cancelWriting();
    std::rethrow_exception(error);
  }

  writer->finishWriting().get();
  if (writer->status() != media::WriterStatus::completed) {
    throw JobRunnerError::exportSessionFailed(orDefault(writer->errorText(), "avassetwriter_finish_failed"));
  }
  return audio != nullptr;
}

}  // namespace vantrel::exporter
