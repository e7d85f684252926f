// The video export driver: opens the sources, settles the render size, copies
// a plain recording through the export session or renders every other scene,
// adds the audio, promotes the result to the final path and reports timing.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "composition/timeline.h"
#include "encode/export_paths.h"
#include "encode/mux.h"
#include "encode/render_encode.h"
#include "encode/smart_cut.h"
#include "job/job_errors.h"
#include "plan/pass_through.h"
#include "plan/render_size.h"
#include "plan/video_plans.h"
#include "render/composition_bundle.h"
#include "support/scene_profile.h"
#include "support/speed_gate.h"
#include "vantrel/media/export_session.h"

namespace vantrel::exporter {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

// Fires `tick` at once and then every `interval` until destroyed.
class RepeatingTimer {
 public:
  RepeatingTimer(std::chrono::milliseconds interval, std::function<void()> tick)
      : thread_([this, interval, tick = std::move(tick)] {
          std::unique_lock<std::mutex> lock(mutex_);
          do {
            lock.unlock();
            tick();
            lock.lock();
          } while (!wake_.wait_for(lock, interval, [this] { return stopped_; }));
        }) {}
  ~RepeatingTimer() { stop(); }
  void stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopped_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopped_ = false;
  std::thread thread_;
};

// Moves `from` to `to`, copying when they are on different file systems.
void moveFile(const std::string& from, const std::string& to) {
  std::error_code ec;
  fs::rename(from, to, ec);
  if (!ec) return;
  if (ec != std::errc::cross_device_link) throw fs::filesystem_error("cannot move file", from, to, ec);
  fs::copy_file(from, to, fs::copy_options::overwrite_existing);
  fs::remove(from);
}

std::string timingMessage(double total, double video, double audio, double target, const HelperSceneProfile& p) {
  std::string tags;
  for (const auto& tag : p.featureTags) tags += (tags.empty() ? "" : ",") + tag;
  auto ms = [](double v) { return std::to_string(static_cast<std::int64_t>(v)); };
  return "Export timing: " + ms(total) + "ms total, " + ms(video) + "ms video, " + ms(audio) +
         "ms audio. Scene: " + p.sceneClass + " [" + (tags.empty() ? "none" : tags) + "]. Target: " + ms(target) +
         "ms.";
}

}  // namespace

std::int64_t exportNativeVideoComposition(const NativeExportManifestV1& manifest, const JobArguments& arguments,
                                          ProgressReporter& reporter, const std::string& helperVersion) {
  const auto start = Clock::now();
  const std::string tempPath = arguments.tempOutputPath;
  const std::string videoOnlyPath = tempPath + ".video.tmp.mp4";
  const std::string audioPath = tempPath + ".audio.tmp.caf";
  const std::string finalPath = arguments.finalOutputPath;

  std::vector<SourceVideoTrack> sources;
  for (const auto& path : manifest.videoPlan.sourceVideoPaths) {
    auto asset = media::Asset::open(path);
    auto tracks = asset->tracks(media::MediaType::video);
    if (tracks.empty()) throw JobRunnerError::unsupportedScene("native_helper_missing_source_video_track:" + path);
    sources.push_back({asset, tracks.front()});
    if (asset->readableEndOfCutFragments()) {
      // A recording whose recorder stopped mid-fragment: it is read up to its
      // last whole samples, and the host hears that the end was missing.
      reporter.emit(TelemetryEvent{"native_source_cut_fragment_recovered", helperVersion, std::nullopt,
                                   std::nullopt});
    }
  }
  const VideoTrackMetadata base = loadTrackMetadata(*sources.front().track);
  const Size canvasReference = resolveCanvasReferenceDisplaySize(manifest, sources, base.displaySize);
  const Size renderSize =
      resolveRenderSize(canvasReference, manifest.scene.settings.video, manifest.qualityPlan.resolution);
  const bool passThrough = isSimpleVideoPassThroughCandidate(manifest, base, renderSize);

  reporter.emit(makeProgress("preparing", "composition", 0.08, "Building native export composition..."));
  prepareOutputLocations({tempPath, videoOnlyPath, audioPath}, finalPath);
  const double fps = static_cast<double>(manifest.qualityPlan.frameRate);
  const double estimated = std::floor(manifest.videoPlan.durationSeconds * fps);
  const std::int64_t frames =
      std::isfinite(estimated) && estimated >= 1 ? static_cast<std::int64_t>(std::min(estimated, 9.0e18)) : 1;
  const bool includeAudio = manifest.audioPlan.includeAudioTrack;

  Clock::time_point prepareEnd, videoEnd;
  double audioMs = 0, muxMs = 0;
  std::string result;
  HelperQualityPlanSupport support;
  bool cursorEnabled = false, zoomEnabled = false, hardware = false;

  if (passThrough) {
    auto timeline = buildVideoOnlyComposition(manifest, {sources.front()});
    auto plan = resolveVideoExportPlan(MediaPresetCatalog(timeline.composition), manifest.qualityPlan);
    support = plan.qualityPlanSupport;
    reporter.emit(TelemetryEvent{"native_simple_passthrough_enabled", helperVersion, std::nullopt, std::nullopt});
    prepareEnd = Clock::now();
    reporter.emit(makeProgress("rendering", "simple_passthrough", 0.12, "Starting simple native video export..."));

    // The copy preset refuses cuts off sync samples; smart cut copies what it
    // can and re-encodes only around the cuts, else the session re-encodes all.
    bool smartCut = false;
    if (plan.presetName != media::kExportPresetPassthrough) {
      std::atomic<double> copied{0};
      std::string note;
      {
        RepeatingTimer progress(std::chrono::milliseconds(250), [&] {
          double p = std::clamp(0.12 + 0.76 * copied.load(), 0.12, 0.88);
          reporter.emit(makeProgress("rendering", "simple_passthrough", p, "Copying native video track..."));
        });
        note = exportWithSmartCut(timeline.composition, videoOnlyPath, plan.optimizeForNetworkUse, copied);
      }
      addSmartCutNote(support, note);
      smartCut = note.rfind(kSmartCutUnavailablePrefix, 0) != 0;
    }
    std::optional<media::ExportSession> session;
    if (!smartCut) {
      try {
        session.emplace(timeline.composition, plan.presetName,
                        media::ExportOptions{videoOnlyPath, plan.optimizeForNetworkUse, std::nullopt});
      } catch (const media::MediaError&) {
        throw JobRunnerError::unableToCreateExportSession();
      }
    }
    if (session) {
      RepeatingTimer progress(std::chrono::milliseconds(250), [&] {
        double p = std::clamp(0.12 + 0.76 * session->progress(), 0.12, 0.88);
        reporter.emit(makeProgress("rendering", "simple_passthrough", p, "Copying native video track..."));
      });
      session->exportAsynchronously().get();
    }
    switch (session ? session->status() : media::ExportStatus::completed) {
      case media::ExportStatus::completed:
        break;
      case media::ExportStatus::cancelled:
        throw std::runtime_error("The export was cancelled.");
      case media::ExportStatus::failed:
        throw JobRunnerError::exportSessionFailed(session->errorText().empty() ? "unknown_failure"
                                                                               : session->errorText());
      default:
        throw JobRunnerError::exportSessionFailed("unexpected_status_" +
                                                  std::to_string(static_cast<int>(session->status())));
    }
    videoEnd = Clock::now();
    if (includeAudio) {
      reporter.emit(makeProgress("audio", "mux_audio", 0.9, "Muxing audio..."));
      muxVideoWithAudio(videoOnlyPath, tempPath, audioPath, manifest);
      auto t1 = Clock::now();
      auto t2 = Clock::now();
      audioMs = msSince(videoEnd, t1);
      muxMs = msSince(t1, t2);
      std::error_code ignored;
      fs::remove(videoOnlyPath, ignored);
      result = tempPath;
    } else {
      result = videoOnlyPath;
    }
  } else {
    auto bundle = buildCompositionBundle(manifest, sources, base, canvasReference, renderSize);
    auto writerPlan = resolveAssetWriterVideoPlan(manifest.qualityPlan);
    support = writerPlan.qualityPlanSupport;
    cursorEnabled = bundle.cursorRuntimeEnabled;
    zoomEnabled = bundle.zoomRuntimeEnabled;
    hardware = bundle.usesHardwareRenderer;
    if (cursorEnabled) {
      reporter.emit(TelemetryEvent{"native_cursor_runtime_enabled", helperVersion, std::nullopt, std::nullopt});
    }
    if (zoomEnabled) {
      reporter.emit(TelemetryEvent{"native_zoom_runtime_enabled", helperVersion, std::nullopt, std::nullopt});
    }
    prepareEnd = Clock::now();
    reporter.emit(
        makeProgress("rendering", "avassetwriter_render_encode", 0.12, "Starting native video encode..."));
    result = includeAudio ? tempPath : videoOnlyPath;
    exportRenderedVideoWithAssetWriter(bundle, result, manifest, writerPlan, frames, includeAudio, audioPath,
                                       reporter, helperVersion);
    videoEnd = Clock::now();
    auto t1 = Clock::now();
    auto t2 = Clock::now();
    audioMs = msSince(videoEnd, t1);
    muxMs = msSince(t1, t2);
  }

  reporter.emit(makeProgress("finalizing", "promote_output", 0.98, "Finalizing export..."));
  if (fs::exists(finalPath)) fs::remove(finalPath);
  moveFile(result, finalPath);
  if (!fs::exists(finalPath)) throw JobRunnerError::outputFileMissing(finalPath);

  const auto end = Clock::now();
  auto profile = buildSceneProfile(manifest, renderSize, passThrough, cursorEnabled, zoomEnabled);
  const double target = SpeedGateEvaluator::expectedTargetMs(manifest.qualityPlan.resolution,
                                                             manifest.videoPlan.durationSeconds, profile);
  HelperPerformanceReport report;
  report.helperVersion = helperVersion;
  report.totalMs = msSince(start, end);
  report.prepareMs = msSince(start, prepareEnd);
  report.videoEncodeMs = msSince(prepareEnd, videoEnd);
  report.audioMs = audioMs;
  report.muxMs = muxMs;
  report.framesEncoded = frames;
  report.avgFrameMs = report.videoEncodeMs / static_cast<double>(frames);
  report.metalUsed = hardware;
  report.expectedTargetMs = target;
  report.meetsSpeedTarget = report.totalMs <= target;
  report.sceneProfile = profile;
  report.qualityPlanSupport = support;
  std::optional<std::string> missed;
  if (report.totalMs > target) {
    missed = "speed_target_missed_" + std::to_string(static_cast<std::int64_t>(report.totalMs)) + "ms";
  }
  reporter.emit(TelemetryEvent{timingMessage(report.totalMs, report.videoEncodeMs, report.audioMs, target, profile),
                               helperVersion, missed, report});

  return static_cast<std::int64_t>(fs::file_size(finalPath));
}

}  // namespace vantrel::exporter
