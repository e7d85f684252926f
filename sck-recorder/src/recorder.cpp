#include "recorder.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>

#include "status.h"
#include "vantrel/desktop/portal_capture.h"
#include "vantrel/desktop/session.h"
#include "vantrel/media/errors.h"

namespace vantrel::recorder {

namespace fs = std::filesystem;
using desktop::CaptureError;

namespace {

constexpr int kVideoTimescale = 90000;
// Writers flush a fragment at least this often, which bounds what a killed
// recorder can lose.
constexpr double kFragmentSeconds = 1.0;

double wallClockSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

bool mentionsPermission(const std::string& text) {
  std::string lower = text;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  return lower.find("denied") != std::string::npos || lower.find("permission") != std::string::npos;
}

desktop::Rect clipCrop(const CropRect& crop, int width, int height) {
  const double x0 = std::max(0.0, crop.x), y0 = std::max(0.0, crop.y);
  const double x1 = std::min<double>(width, crop.x + crop.width), y1 = std::min<double>(height, crop.y + crop.height);
  if (x1 <= x0 || y1 <= y0) return {};
  const int ix = static_cast<int>(x0), iy = static_cast<int>(y0);
  return desktop::Rect{ix, iy, static_cast<int>(x1) - ix, static_cast<int>(y1) - iy};
}

media::PcmBuffer toPcm(const desktop::MicrophoneBuffer& b, double t) {
  media::PcmBuffer pcm;
  pcm.presentationTime = media::MediaTime::fromSeconds(t, b.sampleRate);
  pcm.frameCount = b.frames;
  const std::size_t bytes = static_cast<std::size_t>(b.frames) * b.channels * sizeof(float);
  pcm.planes.emplace_back(bytes);
  std::memcpy(pcm.planes[0].data(), b.samples, bytes);
  return pcm;
}

}  // namespace

// One segment file of the recording-output backend.
struct Recorder::Segment {
  std::string path;
  std::unique_ptr<media::Writer> writer;
  media::WriterInput* video = nullptr;
  media::WriterInput* audio = nullptr;
  double requestedAt = 0;  // capture clock
  std::mutex appendMutex;
  bool closing = false;
  bool failed = false;
  std::atomic<bool> started{false};
  double sessionStart = 0;
};

Recorder::Recorder(RecordingConfig config) : config_(std::move(config)) {
  telemetry_.requestedFps = 30;
}

Recorder::~Recorder() {
  stopTelemetryTimer();
  if (stream_) stream_->stopCapture();
  if (microphone_) microphone_->stop();
}

media::WriterOptions Recorder::writerOptions() const {
  media::WriterOptions o;
  o.optimizeForNetworkUse = true;
  o.realTime = true;
  o.fragmentSeconds = kFragmentSeconds;
  o.videoQueueCapacity = 3;
  o.audioQueueCapacity = 64;
  return o;
}

media::H264Settings Recorder::videoSettings(int width, int height) const {
  const int fps = config_.effectiveFps();
  media::H264Settings s;
  s.width = width;
  s.height = height;
  s.expectedFrameRate = fps;
  s.averageBitRate = recordingVideoBitrate(width, height, fps);
  s.maxKeyFrameInterval = fps;
  s.mediaTimescale = kVideoTimescale;
  s.allowFrameReordering = false;
  return s;
}

// ---- start-up ---------------------------------------------------------------

void Recorder::start() {
  activeBackend_ = config_.resolveBackend();
  {
    std::lock_guard lock(stateMutex_);
    telemetry_.backend = activeBackend_;
    telemetry_.requestedFps = config_.effectiveFps();
    telemetry_.recordingStartWallClock = wallClockSeconds();
  }

  desktop::ShareableContent content;
  const bool wayland = desktop::detectSession(nullptr) == desktop::SessionType::Wayland;
  try {
    // Under Wayland the X server (if any) is XWayland, whose root shows no
    // Wayland window: the screen-cast portal is the only honest source.
    source_ = wayland ? desktop::openPortalCaptureSource(config_.isWindowCapture() ? desktop::PortalSourceType::window
                                                                                   : desktop::PortalSourceType::monitor)
                      : desktop::openX11CaptureSource();
    content = source_->shareableContent();
  } catch (const CaptureError& e) {
    if (mentionsPermission(e.text())) fatalExit("permission_denied", "Screen recording permission not granted: " + e.text());
    fatalExit("content_enumeration_failed", e.text());
  }

  {
    std::lock_guard lock(stateMutex_);
    keepStreamWhilePaused_ = wayland;
  }

  desktop::StreamConfiguration tmpl;
  int contentWidth = 0, contentHeight = 0;
  double pointPixelScale = 1.0;
  // On Wayland the portal lists only what the user chose to share, under ids
  // of its own: the choice stands in for the requested id.
  if (config_.isWindowCapture()) {
    auto it = std::find_if(content.windows.begin(), content.windows.end(),
                           [&](const auto& w) { return w.id == *config_.windowId; });
    if (wayland && it == content.windows.end()) it = content.windows.begin();
    if (it == content.windows.end()) fatalExit("window_not_found", "No window with ID " + std::to_string(*config_.windowId));
    capturedWindowOwnerProcessID_ = it->pid;
    tmpl.target = desktop::CaptureTarget{desktop::CaptureTarget::Kind::window, it->id};
    contentWidth = it->frame.width;
    contentHeight = it->frame.height;
    pointPixelScale = it->scale;
  } else {
    if (!config_.displayId) fatalExit("invalid_config", "displayId required for display capture");
    auto it = std::find_if(content.displays.begin(), content.displays.end(),
                           [&](const auto& d) { return d.id == *config_.displayId; });
    if (wayland && it == content.displays.end()) it = content.displays.begin();
    if (it == content.displays.end()) fatalExit("display_not_found", "No display with ID " + std::to_string(*config_.displayId));
    tmpl.target = desktop::CaptureTarget{desktop::CaptureTarget::Kind::display, it->id};
    contentWidth = it->frame.width;
    contentHeight = it->frame.height;
    pointPixelScale = it->scale;
  }
  const double scale = std::max(pointPixelScale, 1.0);
  const PixelSize locked = applyResolutionLock(ensureEven(static_cast<int>(scale * contentWidth)),
                                               ensureEven(static_cast<int>(scale * contentHeight)), config_.resolution);
  const int fps = config_.effectiveFps();
  tmpl.fps = fps;
  tmpl.queueDepth = queueDepthForFps(fps);
  if (config_.cropRect) {
    const desktop::Rect crop = clipCrop(*config_.cropRect, contentWidth, contentHeight);
    tmpl.sourceRect = crop;
    tmpl.width = ensureEven(static_cast<int>(scale * crop.width));
    tmpl.height = ensureEven(static_cast<int>(scale * crop.height));
    if (tmpl.width < 2 || tmpl.height < 2) fatalExit("invalid_config", "cropRect lies outside the captured area");
  } else {
    tmpl.width = locked.width;
    tmpl.height = locked.height;
  }
  captureTemplate_ = tmpl;

  const auto mic = config_.requestedMicrophoneDeviceId();
  if (activeBackend_ == RecordingBackendKind::legacyAssetWriter) {
    try {
      prepareLegacyAssetWriterBackend();
    } catch (const media::MediaError& e) {
      fatalExit("asset_writer_failed", "Failed to create AVAssetWriter: " + e.text());
    }
    if (mic) prepareMicrophoneAudioInput(*mic, true);
  }

  try {
    createStream(tmpl);
  } catch (const CaptureError& e) {
    fatalExit("capture_start_failed", e.text());
  }
  try {
    startCapture();
  } catch (const CaptureError& e) {
    fatalExit("capture_start_failed", e.text());
  }
  {
    std::lock_guard lock(stateMutex_);
    isRunning_ = true;
  }

  if (activeBackend_ == RecordingBackendKind::scRecordingOutput) {
    try {
      addRecordingSegment();
    } catch (const media::MediaError& e) {
      if (!config_.fallbackAllowed()) fatalExit("recording_output_failed", "Failed to set up SCRecordingOutput: " + e.text());
      try {
        prepareLegacyAssetWriterBackend();
      } catch (const media::MediaError& e2) {
        fatalExit("asset_writer_failed", "Fallback AVAssetWriter also failed: " + e2.text());
      }
      {
        std::lock_guard lock(stateMutex_);
        activeBackend_ = RecordingBackendKind::legacyAssetWriter;
        telemetry_.backend = activeBackend_;
      }
      // The microphone already runs with the stream; the writer only needs its format.
      if (mic) prepareMicrophoneAudioInput(*mic, true);
    }
  }

  json::OrderedJson line = json::OrderedJson::object();
  line["status"] = "started";
  {
    std::lock_guard lock(stateMutex_);
    line["backend"] = backendText(activeBackend_);
  }
  writeStatus(line);
  startTelemetryTimer();
}

void Recorder::prepareLegacyAssetWriterBackend() {
  // The file itself is opened with the first frame; a place it can never be
  // written to is refused now, while the host still waits for "started".
  const fs::path path(config_.outputPath);
  const fs::path dir = path.has_parent_path() ? path.parent_path() : fs::path(".");
  std::error_code ec;
  if (fs::is_directory(path, ec)) {
    throw media::makeMediaError(media::MediaErrorCode::writeFailed, config_.outputPath + ": is a directory");
  }
  if (!fs::is_directory(dir, ec) || access(dir.c_str(), W_OK) != 0) {
    throw media::makeMediaError(media::MediaErrorCode::writeFailed,
                                config_.outputPath + ": " + std::strerror(ec ? ec.value() : errno));
  }
  {
    std::lock_guard lock(writerMutex_);
    assetWriter_ = std::make_unique<media::Writer>(config_.outputPath, writerOptions());
  }
  std::lock_guard lock(stateMutex_);
  telemetry_.segmentCount = 1;
}

void Recorder::prepareMicrophoneAudioInput(const std::string& id, bool fatalWhenMissing) {
  if (!microphone_) {
    try {
      microphone_ = desktop::MicrophoneCapture::open(
          id, [this](const desktop::MicrophoneBuffer& b) { handleMicrophoneBuffer(b); });
    } catch (const CaptureError& e) {
      if (!fatalWhenMissing) throw;
      if (e.code() == desktop::CaptureErrorCode::MicrophoneNotFound) {
        fatalExit("microphone_device_not_found", "No microphone found with ID " + id);
      }
      // A sound server that cannot be reached has no microphone with that id either.
      fatalExit("microphone_device_not_found", "No microphone found with ID " + id);
    }
  }
  const int rate = microphone_->sampleRate();
  const int channels = std::max(1, microphone_->channels());
  media::AacSettings s;
  s.sampleRate = rate;
  s.channels = channels;
  s.bitRate = std::clamp<std::int64_t>(static_cast<std::int64_t>(channels) * rate, 64000, 192000);
  audioSettings_ = s;
}

// ---- streams ------------------------------------------------------------------

void Recorder::createStream(const desktop::StreamConfiguration& tmpl) {
  auto stream = source_->createStream(tmpl, [this](const desktop::ScreenSample& s) { handleScreenSample(s); });
  if (const auto mic = config_.requestedMicrophoneDeviceId(); mic && !microphone_) {
    microphone_ = desktop::MicrophoneCapture::open(
        *mic, [this](const desktop::MicrophoneBuffer& b) { handleMicrophoneBuffer(b); });
    prepareMicrophoneAudioInput(*mic, false);
  }
  stream_ = std::move(stream);
  std::lock_guard lock(stateMutex_);
  prepareScreenTimingForNewStream();
}

void Recorder::startCapture() {
  stream_->startCapture();
  if (microphone_) {
    try {
      microphone_->start();
    } catch (...) {
      stream_->stopCapture();
      throw;
    }
  }
}

void Recorder::stopAndTearDownStream() {
  if (stream_) {
    stream_->stopCapture();
    stream_.reset();
  }
  if (microphone_) microphone_->stop();
  std::lock_guard lock(stateMutex_);
  currentRecordingOutput_.reset();
  currentStreamScreenPTSOrigin_.reset();
}

void Recorder::prepareScreenTimingForNewStream() {
  currentStreamScreenPTSOrigin_.reset();
  currentStreamScreenTimelineOffset_ = telemetry_.lastScreenPTS.value_or(0);
  previousScreenPTS_ = telemetry_.lastScreenPTS;
}

// ---- segments -----------------------------------------------------------------

void Recorder::addRecordingSegment() {
  if (!stream_) return;
  std::string path;
  {
    std::lock_guard lock(stateMutex_);
    path = segmentPath(config_.outputPath, segmentIndex_ + 1);
    ++segmentIndex_;
  }
  auto seg = std::make_shared<Segment>();
  seg->path = path;
  seg->requestedAt = desktop::captureClockSeconds();
  {
    std::error_code ec;
    if (fs::is_directory(path, ec)) {
      throw media::makeMediaError(media::MediaErrorCode::writeFailed, path + ": is a directory");
    }
  }
  seg->writer = std::make_unique<media::Writer>(path, writerOptions());
  seg->video = seg->writer->addVideoInput(videoSettings(captureTemplate_->width, captureTemplate_->height));
  if (audioSettings_) seg->audio = seg->writer->addAudioInput(*audioSettings_);
  seg->writer->startWriting();  // creates the file; throws when it cannot
  std::lock_guard lock(stateMutex_);
  currentRecordingOutput_ = seg;
  segmentPaths_.push_back(path);
  ++telemetry_.segmentCount;
  stream_->requestFrame();
}

void Recorder::removeCurrentRecordingSegment() {
  std::shared_ptr<Segment> seg;
  {
    std::lock_guard lock(stateMutex_);
    seg = std::move(currentRecordingOutput_);
    currentRecordingOutput_.reset();
  }
  if (!stream_ || !seg) return;
  const double t0 = desktop::captureClockSeconds();
  {
    std::lock_guard lock(seg->appendMutex);
    seg->closing = true;
  }
  // A segment that never received a frame has nothing to keep: the file
  // would be an empty shell, so the writer is cancelled and the file removed.
  if (!seg->started.load()) {
    seg->writer->cancelWriting();
  } else {
    seg->writer->finishWriting().wait();
    if (seg->writer->status() == media::WriterStatus::failed && !seg->failed) {
      seg->failed = true;
      handleRecordingOutputDidFail(seg->writer->errorText());
    }
  }
  const double latency = (desktop::captureClockSeconds() - t0) * 1000.0;
  std::lock_guard lock(stateMutex_);
  ++telemetry_.recordingOutputFinishCount;
  foldLatency(telemetry_.segmentStopLatencyMs, telemetry_.segmentStopCount, latency);
}

void Recorder::handleRecordingOutputDidStart(Segment& seg) {
  emitFirstSampleWallClockOnce();
  const double latency = (desktop::captureClockSeconds() - seg.requestedAt) * 1000.0;
  std::lock_guard lock(stateMutex_);
  ++telemetry_.recordingOutputStartCount;
  foldLatency(telemetry_.segmentStartLatencyMs, telemetry_.segmentStartCount, latency);
}

void Recorder::handleRecordingOutputDidFail(const std::string& description) {
  std::string paths;
  {
    std::lock_guard lock(stateMutex_);
    ++telemetry_.recordingOutputErrorCount;
    for (std::size_t i = 0; i < segmentPaths_.size(); ++i) paths += (i ? ", " : "") + segmentPaths_[i];
  }
  writeFatal("recording_output_error", "SCRecordingOutput error: " + description + ". Segments: " + paths);
}

void Recorder::emitFirstSampleWallClockOnce() {
  {
    std::lock_guard lock(stateMutex_);
    if (firstSampleWallClockEmitted_) return;
    firstSampleWallClockEmitted_ = true;
  }
  json::OrderedJson line = json::OrderedJson::object();
  line["status"] = "firstSample";
  line["firstSampleWallClock"] = wallClockSeconds() * 1000.0;
  writeStatus(line);
}

// ---- samples --------------------------------------------------------------------

void Recorder::handleScreenSample(const desktop::ScreenSample& sample) {
  RecordingBackendKind backend;
  const double t = sample.presentationTime;
  const bool complete = sample.status == desktop::FrameStatus::complete;
  std::shared_ptr<Segment> seg;
  {
    std::lock_guard lock(stateMutex_);
    if (!isRunning_) return;
    backend = activeBackend_;
    if (backend == RecordingBackendKind::scRecordingOutput && isPaused_ && keepStreamWhilePaused_) {
      // The kept stream stands in for one that was torn down: its paused
      // ticks are not part of the screen timeline.
      if (complete && sample.frame) ++telemetry_.screenSamplesSkippedWhilePaused;
      return;
    }
    double T = t;
    if (backend == RecordingBackendKind::scRecordingOutput) {
      if (!currentStreamScreenPTSOrigin_) currentStreamScreenPTSOrigin_ = t;
      T = currentStreamScreenTimelineOffset_ + std::max(t - *currentStreamScreenPTSOrigin_, 0.0);
    }
    telemetry_.recordScreenSample(T, complete, previousScreenPTS_);
    if (!complete || !sample.frame) return;
    if (backend == RecordingBackendKind::scRecordingOutput) {
      if (isPaused_) {
        ++telemetry_.screenSamplesSkippedWhilePaused;
        return;
      }
      seg = currentRecordingOutput_;
    }
  }
  if (backend == RecordingBackendKind::scRecordingOutput) {
    if (seg) appendSegmentVideo(seg, sample.frame, t);
  } else {
    appendLegacyVideo(sample.frame, t);
  }
}

void Recorder::appendSegmentVideo(const std::shared_ptr<Segment>& seg, const std::shared_ptr<media::PixelBuffer>& frame,
                                  double t) {
  bool justStarted = false;
  media::AppendResult result;
  {
    std::lock_guard lock(seg->appendMutex);
    if (seg->closing || seg->failed) return;
    if (!seg->started.load()) {
      seg->sessionStart = t;
      seg->writer->startSession(media::MediaTime::fromSeconds(t, kVideoTimescale));
    }
    result = seg->video->tryAppendPixelBuffer(frame, media::MediaTime::fromSeconds(t, kVideoTimescale));
    if (result == media::AppendResult::appended && !seg->started.load()) {
      seg->started.store(true);
      justStarted = true;
    }
    if (result == media::AppendResult::failed) seg->failed = true;
  }
  if (justStarted) handleRecordingOutputDidStart(*seg);
  if (result == media::AppendResult::busy) {
    std::lock_guard lock(stateMutex_);
    ++telemetry_.videoWriterBackpressureDrops;
  } else if (result == media::AppendResult::failed) {
    handleRecordingOutputDidFail(seg->writer->errorText());
  }
}

void Recorder::appendLegacyVideo(const std::shared_ptr<media::PixelBuffer>& frame, double t) {
  double adjusted;
  bool retime;
  const double frameInterval = 1.0 / config_.effectiveFps();
  {
    std::lock_guard lock(stateMutex_);
    if (isPaused_) {
      ++telemetry_.screenSamplesSkippedWhilePaused;
      if (!pauseStartPTS_) pauseStartPTS_ = t;
      return;
    }
    if (pauseStartPTS_) {
      totalPausedDuration_ += t - *pauseStartPTS_;
      pauseStartPTS_.reset();
    }
    adjusted = t - totalPausedDuration_;
    if (lastTimestamp_ && adjusted <= *lastTimestamp_) adjusted = *lastTimestamp_ + frameInterval;
    retime = totalPausedDuration_ != 0;
  }
  bool first = false;
  media::AppendResult result;
  {
    std::lock_guard lock(writerMutex_);
    if (!assetWriter_ || writerClosing_ || !writerStartError_.empty()) return;
    if (videoInput_ == nullptr) {
      try {
        videoInput_ = assetWriter_->addVideoInput(videoSettings(frame->width(), frame->height()));
        if (audioSettings_) audioInput_ = assetWriter_->addAudioInput(*audioSettings_);
        assetWriter_->startWriting();
        assetWriter_->startSession(media::MediaTime::fromSeconds(adjusted, kVideoTimescale));
      } catch (const media::MediaError& e) {
        writerStartError_ = e.text();
        return;
      }
      first = true;
      std::lock_guard lock2(stateMutex_);
      startTime_ = adjusted;
    }
    {
      std::lock_guard lock2(stateMutex_);
      lastTimestamp_ = adjusted;
    }
    const double when = retime ? adjusted : t;
    result = videoInput_->tryAppendPixelBuffer(frame, media::MediaTime::fromSeconds(when, kVideoTimescale));
  }
  if (first) emitFirstSampleWallClockOnce();
  if (result == media::AppendResult::busy) {
    std::lock_guard lock(stateMutex_);
    ++telemetry_.videoWriterBackpressureDrops;
  } else if (result == media::AppendResult::failed) {
    std::lock_guard lock(stateMutex_);
    ++telemetry_.videoWriterAppendFailures;
  }
}

void Recorder::handleMicrophoneBuffer(const desktop::MicrophoneBuffer& b) {
  const double t = b.presentationTime;
  RecordingBackendKind backend;
  double adjusted = t;
  std::shared_ptr<Segment> seg;
  std::optional<double> startTime;
  {
    std::lock_guard lock(stateMutex_);
    if (!isRunning_) return;
    ++telemetry_.micSamplesReceived;
    backend = activeBackend_;
    if (backend == RecordingBackendKind::scRecordingOutput) {
      if (isPaused_) {
        ++telemetry_.micSamplesSkippedWhilePaused;
        return;
      }
      seg = currentRecordingOutput_;
    } else {
      if (isPaused_) {
        ++telemetry_.micSamplesSkippedWhilePaused;
        if (!microphonePauseStartPTS_) microphonePauseStartPTS_ = t;
        return;
      }
      if (microphonePauseStartPTS_) {
        totalMicrophonePausedDuration_ += t - *microphonePauseStartPTS_;
        microphonePauseStartPTS_.reset();
      }
      adjusted = t - totalMicrophonePausedDuration_;
      startTime = startTime_;
    }
  }
  const double end = adjusted + static_cast<double>(b.frames) / b.sampleRate;
  media::AppendResult result = media::AppendResult::appended;
  if (backend == RecordingBackendKind::scRecordingOutput) {
    if (!seg) return;
    std::lock_guard lock(seg->appendMutex);
    if (seg->closing || seg->failed || !seg->audio || !seg->started.load() || end <= seg->sessionStart) return;
    result = seg->audio->tryAppendPcm(toPcm(b, adjusted));
  } else {
    // Audio before the first written frame has no place in the file.
    if (!startTime || end <= *startTime) return;
    std::lock_guard lock(writerMutex_);
    if (audioInput_ == nullptr || writerClosing_) return;
    result = audioInput_->tryAppendPcm(toPcm(b, adjusted));
  }
  if (result == media::AppendResult::appended) return;
  std::lock_guard lock(stateMutex_);
  if (result == media::AppendResult::busy) {
    ++telemetry_.audioWriterBackpressureDrops;
  } else {
    ++telemetry_.audioWriterAppendFailures;
  }
}

// ---- commands --------------------------------------------------------------------

void Recorder::pause() {
  std::lock_guard life(lifecycleMutex_);
  RecordingBackendKind backend;
  bool keepStream;
  {
    std::lock_guard lock(stateMutex_);
    if (!isRunning_ || isPaused_) return;
    isPaused_ = true;
    ++telemetry_.pauseCount;
    backend = activeBackend_;
    keepStream = keepStreamWhilePaused_;
  }
  if (backend == RecordingBackendKind::scRecordingOutput) {
    removeCurrentRecordingSegment();
    if (!keepStream) stopAndTearDownStream();
  } else if (stream_) {
    // The paused span is measured from the first frame dropped to the first
    // frame written after it; on a still screen those frames must come now,
    // not at the next refresh, or the picture's pause would differ from the
    // microphone's and the two would drift apart.
    stream_->requestFrame();
  }
  writeStatus(json::OrderedJson{{"status", "paused"}});
}

void Recorder::unpause() {
  std::lock_guard life(lifecycleMutex_);
  RecordingBackendKind backend;
  bool keepStream;
  {
    std::lock_guard lock(stateMutex_);
    if (!isRunning_ || !isPaused_) return;
    isPaused_ = false;
    backend = activeBackend_;
    keepStream = keepStreamWhilePaused_ && stream_ != nullptr;
    // The stream ran on through the pause: its next sample continues the
    // timeline as a new stream's first one would.
    if (backend == RecordingBackendKind::scRecordingOutput && keepStream) prepareScreenTimingForNewStream();
  }
  if (backend == RecordingBackendKind::legacyAssetWriter) {
    if (stream_) stream_->requestFrame();
    writeStatus(json::OrderedJson{{"status", "resumed"}});
    return;
  }
  auto stayPaused = [this] {
    std::lock_guard lock(stateMutex_);
    isPaused_ = true;
  };
  if (!captureTemplate_) {
    stayPaused();
    writeRuntimeError("resume_capture_failed", "Missing saved capture session for resume");
    return;
  }
  try {
    if (keepStream) {
      addRecordingSegment();  // asks the stream for its latest picture
    } else {
      createStream(*captureTemplate_);
      addRecordingSegment();
      startCapture();
    }
  } catch (const std::exception& e) {
    // Both error types of the layers below carry their full text in what().
    {
      std::lock_guard lock(stateMutex_);
      currentRecordingOutput_.reset();
    }
    stopAndTearDownStream();
    stayPaused();
    writeRuntimeError("resume_capture_failed", std::string("Failed to recreate the recording stream on resume: ") + e.what());
    return;
  }
  writeStatus(json::OrderedJson{{"status", "resumed"}});
}

void Recorder::finishLegacyBackend() {
  std::unique_ptr<media::Writer> writer;
  bool started;
  {
    std::lock_guard lock(writerMutex_);
    writerClosing_ = true;
    writer = std::move(assetWriter_);
    started = videoInput_ != nullptr && writerStartError_.empty();
  }
  if (!writer) return;
  std::string failure = writerStartError_;
  if (started && writer->status() == media::WriterStatus::writing) {
    writer->finishWriting().wait();
  }
  if (writer->status() == media::WriterStatus::failed) failure = writer->errorText();
  if (!failure.empty()) {
    writeFatal("asset_writer_failed", "AVAssetWriter failed during recording: " + failure);
  }
  // A writer that never started (no frame arrived) is dropped without a file.
  writer.reset();
}

void Recorder::stop() {
  std::lock_guard life(lifecycleMutex_);
  RecordingBackendKind backend;
  {
    std::lock_guard lock(stateMutex_);
    if (!isRunning_) return;
    isRunning_ = false;
    isPaused_ = false;
    telemetry_.recordingStopWallClock = wallClockSeconds();
    backend = activeBackend_;
  }
  stopTelemetryTimer();
  if (backend == RecordingBackendKind::scRecordingOutput) removeCurrentRecordingSegment();
  stopAndTearDownStream();
  json::OrderedJson line = json::OrderedJson::object();
  line["status"] = "stopped";
  if (backend == RecordingBackendKind::scRecordingOutput) {
    std::vector<std::string> paths;
    {
      std::lock_guard lock(stateMutex_);
      paths = segmentPaths_;
    }
    auto reports = finalizedSegmentTelemetry(paths);
    std::lock_guard lock(stateMutex_);
    telemetry_.finalSegments = std::move(reports);
    line["backend"] = backendText(backend);
    line["telemetry"] = telemetry_.toDictionary();
    line["segmentPaths"] = paths;
    line["path"] = paths.empty() ? config_.outputPath : paths.front();
    line["duration"] = telemetry_.firstScreenPTS && telemetry_.lastScreenPTS
                           ? *telemetry_.lastScreenPTS - *telemetry_.firstScreenPTS
                           : 0.0;
  } else {
    finishLegacyBackend();
    auto reports = finalizedSegmentTelemetry({config_.outputPath});
    std::lock_guard lock(stateMutex_);
    telemetry_.finalSegments = std::move(reports);
    line["path"] = config_.outputPath;
    line["duration"] = startTime_ && lastTimestamp_ ? *lastTimestamp_ - *startTime_ : 0.0;
    line["backend"] = backendText(backend);
    line["telemetry"] = telemetry_.toDictionary();
  }
  writeStatus(line);
}

void Recorder::discard() {
  std::lock_guard life(lifecycleMutex_);
  RecordingBackendKind backend;
  bool wasRunning;
  {
    std::lock_guard lock(stateMutex_);
    wasRunning = isRunning_;
    isRunning_ = false;
    isPaused_ = false;
    backend = activeBackend_;
  }
  if (wasRunning) {
    stopTelemetryTimer();
    if (backend == RecordingBackendKind::scRecordingOutput) removeCurrentRecordingSegment();
    stopAndTearDownStream();
    std::unique_ptr<media::Writer> writer;
    {
      std::lock_guard lock(writerMutex_);
      writerClosing_ = true;
      writer = std::move(assetWriter_);
      videoInput_ = audioInput_ = nullptr;
    }
    if (writer) writer->cancelWriting();
  }
  std::error_code ec;
  fs::remove(config_.outputPath, ec);
  cleanupSegmentFiles();
  writeStatus(json::OrderedJson{{"status", "discarded"}});
}

void Recorder::cleanupSegmentFiles() {
  std::vector<std::string> paths;
  {
    std::lock_guard lock(stateMutex_);
    paths = segmentPaths_;
  }
  for (const auto& p : paths) {
    std::error_code ec;
    fs::remove(p, ec);
  }
}

// ---- telemetry timer ----------------------------------------------------------

void Recorder::startTelemetryTimer() {
  std::lock_guard lock(timerMutex_);
  if (telemetryTimer_.joinable()) return;
  timerStop_ = false;
  telemetryTimer_ = std::thread([this] {
    auto next = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    std::unique_lock lock(timerMutex_);
    while (!timerStop_) {
      if (timerWake_.wait_until(lock, next, [this] { return timerStop_; })) break;
      next += std::chrono::seconds(1);
      emitTelemetrySnapshot();
    }
  });
}

void Recorder::stopTelemetryTimer() {
  {
    std::lock_guard lock(timerMutex_);
    timerStop_ = true;
  }
  timerWake_.notify_all();
  if (telemetryTimer_.joinable() && telemetryTimer_.get_id() != std::this_thread::get_id()) telemetryTimer_.join();
}

void Recorder::emitTelemetrySnapshot() {
  json::OrderedJson line = json::OrderedJson::object();
  line["status"] = "telemetry";
  {
    std::lock_guard lock(stateMutex_);
    line["telemetry"] = telemetry_.toDictionary();
  }
  writeStatus(line);
}

}  // namespace vantrel::recorder
