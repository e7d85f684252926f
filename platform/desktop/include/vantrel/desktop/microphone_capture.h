#pragma once
// Records one PulseAudio source (a microphone) as interleaved 32-bit float PCM.
//
// Timing: every buffer carries the time of its first sample on the capture
// clock (captureClockSeconds, capture.h). Times are placed by sample count
// from an anchor taken at the first buffer, so sources that deliver in bursts
// (virtual and Bluetooth sources) keep exact spacing; the anchor moves only
// when the sample count and the clock disagree by more than a quarter second
// for a whole second (samples lost in the server, a source that was
// suspended), so the recording's gap appears where the audio was missing.
//
// Threads: the handler runs on PulseAudio's main-loop thread, one buffer at a
// time; it must not call back into this object. start/stop from one thread;
// stop returns after the last handler call.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "vantrel/desktop/capture.h"

namespace vantrel::desktop {

struct MicrophoneBuffer {
  const float* samples = nullptr;  // frames x channels, interleaved
  int frames = 0;
  int channels = 0;
  int sampleRate = 0;
  double presentationTime = 0;  // capture clock seconds of the first frame
};

using MicrophoneHandler = std::function<void(const MicrophoneBuffer&)>;

class MicrophoneCapture {
 public:
  // Connects and looks the source up (by its name, the id the microphone list
  // reports). Throws CaptureError(MicrophoneNotFound / AudioServerFailed).
  static std::unique_ptr<MicrophoneCapture> open(const std::string& sourceName, MicrophoneHandler handler,
                                                 std::chrono::milliseconds timeout = std::chrono::seconds(3));
  ~MicrophoneCapture();
  MicrophoneCapture(const MicrophoneCapture&) = delete;
  MicrophoneCapture& operator=(const MicrophoneCapture&) = delete;

  int sampleRate() const;  // the source's rate
  int channels() const;    // the source's channels, at most 2

  // Starts the record stream with about 10 ms fragments. Throws CaptureError(AudioStreamFailed).
  void start();
  void stop();

  struct Impl;

 private:
  explicit MicrophoneCapture(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// Places buffers of a stream by sample count (see the header comment). Pure;
// separated from the stream so that its rule can be tested with made-up times.
class SampleClock {
 public:
  explicit SampleClock(int sampleRate) : rate_(sampleRate) {}
  // `arrival`: clock time at which a buffer of `frames` frames arrived.
  // Returns the time of its first frame.
  double place(int frames, double arrival);

 private:
  int rate_;
  bool anchored_ = false;
  double anchor_ = 0;
  std::int64_t position_ = 0;  // frames placed so far
  double windowStart_ = 0;
  double windowMinLag_ = 0;
};

}  // namespace vantrel::desktop
