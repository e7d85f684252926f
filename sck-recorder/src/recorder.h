#pragma once
// The recorder: captures one display or window (and a microphone) and writes
// MPEG-4 through one of two backends. "sc-recording-output" writes one file per
// segment (a pause closes the segment and stops capture); "legacy-avassetwriter"
// writes one file and removes paused time by shifting later samples.
//
// Threads: start() runs on its own thread; pause/unpause/stop/discard each on
// a command thread, serialised against each other by the lifecycle lock;
// screen samples arrive on the capture stream's thread, microphone buffers on
// PulseAudio's thread, telemetry lines come from a one-second timer thread.
// Every field of the state block is touched only under `stateMutex_`; the
// writers are touched under their own append locks. Times are capture-clock
// seconds (captureClockSeconds) unless named otherwise.

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "config.h"
#include "telemetry.h"
#include "vantrel/desktop/capture.h"
#include "vantrel/desktop/microphone_capture.h"
#include "vantrel/media/writer.h"

namespace vantrel::recorder {

class Recorder {
 public:
  explicit Recorder(RecordingConfig config);
  ~Recorder();
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  // Start-up; a failure writes its fatal line and ends the process (status 1).
  void start();
  void pause();
  void unpause();
  // Write their final line; the caller ends the process afterwards.
  void stop();
  void discard();

 private:
  struct Segment;

  void prepareLegacyAssetWriterBackend();
  void prepareMicrophoneAudioInput(const std::string& id, bool fatalWhenMissing);
  void finishLegacyBackend();
  void addRecordingSegment();
  void removeCurrentRecordingSegment();
  void createStream(const desktop::StreamConfiguration& tmpl);
  void startCapture();
  void stopAndTearDownStream();
  void cleanupSegmentFiles();
  void startTelemetryTimer();
  void stopTelemetryTimer();
  void emitTelemetrySnapshot();
  void emitFirstSampleWallClockOnce();
  void prepareScreenTimingForNewStream();  // state lock held

  void handleScreenSample(const desktop::ScreenSample& sample);
  void handleMicrophoneBuffer(const desktop::MicrophoneBuffer& buffer);
  void appendLegacyVideo(const std::shared_ptr<media::PixelBuffer>& frame, double t);
  void appendSegmentVideo(const std::shared_ptr<Segment>& seg, const std::shared_ptr<media::PixelBuffer>& frame,
                          double t);
  void handleRecordingOutputDidStart(Segment& seg);
  void handleRecordingOutputDidFail(const std::string& description);
  media::H264Settings videoSettings(int width, int height) const;
  media::WriterOptions writerOptions() const;

  const RecordingConfig config_;
  std::unique_ptr<desktop::CaptureSource> source_;
  std::unique_ptr<desktop::CaptureStream> stream_;
  std::optional<desktop::StreamConfiguration> captureTemplate_;
  std::unique_ptr<desktop::MicrophoneCapture> microphone_;
  std::optional<media::AacSettings> audioSettings_;
  std::mutex lifecycleMutex_;

  // Asset-writer backend: the writer, its inputs once the first frame made
  // them, and whether it is closing (no appends after that).
  std::mutex writerMutex_;
  std::unique_ptr<media::Writer> assetWriter_;
  media::WriterInput* videoInput_ = nullptr;
  media::WriterInput* audioInput_ = nullptr;
  bool writerClosing_ = false;
  std::string writerStartError_;

  // State block (stateMutex_).
  std::mutex stateMutex_;
  RecordingBackendKind activeBackend_ = RecordingBackendKind::scRecordingOutput;
  std::shared_ptr<Segment> currentRecordingOutput_;
  std::vector<std::string> segmentPaths_;
  int segmentIndex_ = 0;
  std::optional<double> startTime_;
  std::optional<double> lastTimestamp_;
  bool isRunning_ = false;
  bool isPaused_ = false;
  bool firstSampleWallClockEmitted_ = false;
  std::optional<double> pauseStartPTS_;
  double totalPausedDuration_ = 0;
  std::optional<double> microphonePauseStartPTS_;
  double totalMicrophonePausedDuration_ = 0;
  RecorderTelemetry telemetry_;
  std::optional<double> previousScreenPTS_;
  std::optional<double> currentStreamScreenPTSOrigin_;
  double currentStreamScreenTimelineOffset_ = 0;
  std::int32_t capturedWindowOwnerProcessID_ = 0;
  // Wayland: the portal's stream survives a pause of the segment backend
  // (samples are dropped while paused) instead of being torn down, because a
  // newly connected consumer gets no picture until the screen changes.
  bool keepStreamWhilePaused_ = false;

  std::mutex timerMutex_;
  std::condition_variable timerWake_;
  bool timerStop_ = false;
  std::thread telemetryTimer_;
};

}  // namespace vantrel::recorder
