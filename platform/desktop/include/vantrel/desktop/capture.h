#pragma once
// Screen capture: what can be captured (displays and application windows) and
// a stream that grabs one of them at a fixed rate.
//
// The interface is independent of the display server: `openX11CaptureSource`
// (MIT-SHM grabs, RandR monitors, the EWMH client list, Composite for covered
// windows, Damage for unchanged frames) and, for Wayland sessions,
// `openPortalCaptureSource` (portal_capture.h).
//
// Units: frames and a stream's `sourceRect` are in logical units (session.h):
// device pixels divided by the desktop's scale, on X11 measured from the top
// left of the primary monitor, as the helpers report them; a target's `scale`
// is its device pixels per unit (2 at 200 %, from Xft.dpi 192 or GDK_SCALE=2),
// and output sizes are device pixels.
// Times: seconds of CLOCK_MONOTONIC (`captureClockSeconds`), the clock the
// microphone capture also stamps its buffers with.
//
// Threads: a CaptureSource is used from one thread at a time. A stream grabs
// on a thread of its own and calls its handler there, one sample at a time;
// startCapture/stopCapture may be called from any one thread. stopCapture
// returns only after the last handler call has returned.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vantrel/common/error.h"
#include "vantrel/desktop/windows.h"
#include "vantrel/media/frame.h"

namespace vantrel::desktop {

enum class CaptureErrorCode {
  DisplayUnavailable,  // no connection to the display server (payload: its text)
  ExtensionMissing,    // a required X extension is absent (payload: its name)
  TargetGone,          // the display or window went away (payload: what)
  GrabFailed,          // a grab request failed (payload: the X error)
  AudioServerFailed,   // the sound server could not be reached (payload: its text)
  MicrophoneNotFound,  // no source with that name (payload: the name)
  AudioStreamFailed,   // the record stream failed (payload: PulseAudio's text)
  PortalFailed,        // the screen-cast portal or PipeWire failed (payload: their text)
  PermissionDenied,    // the screen cast was refused or cancelled (payload: how)
};

class CaptureError : public CodedError<CaptureErrorCode> {
 public:
  CaptureError(CaptureErrorCode code, std::string payload);
};

// Seconds of the monotonic clock shared by screen and microphone samples.
double captureClockSeconds();

struct CaptureDisplay {
  std::uint32_t id = 0;  // the RandR output id (XID) of the monitor's first output
  std::string name;      // the monitor's name ("screen" on Xvfb)
  Rect frame;            // logical units (see above)
  bool primary = false;
  double scale = 1;      // device pixels per unit of `frame` (above 1 on scaled Wayland outputs)
};

struct CaptureWindow {
  std::uint32_t id = 0;  // the client window id
  Rect frame;            // outer frame as windows.h finds it, in logical units
  std::int32_t pid = 0;  // owner process, 0 when unknown
  std::string owner;
  std::string title;
  double scale = 1;  // device pixels per unit of `frame`
};

struct ShareableContent {
  std::vector<CaptureDisplay> displays;
  std::vector<CaptureWindow> windows;  // front-most first
};

enum class FrameStatus {
  complete = 0,  // a new picture
  idle = 1,      // nothing changed since the last complete frame; no picture
};

struct ScreenSample {
  double presentationTime = 0;  // captureClockSeconds() when the grab began
  FrameStatus status = FrameStatus::idle;
  std::shared_ptr<media::PixelBuffer> frame;  // complete frames only; BGRA, alpha undefined
};

struct CaptureTarget {
  enum class Kind { display, window };
  Kind kind = Kind::display;
  std::uint32_t id = 0;
};

struct StreamConfiguration {
  CaptureTarget target;
  // Part of the target to grab, in logical units from the target's top left; none: all of it.
  std::optional<Rect> sourceRect;
  int width = 0;   // output size; the grabbed area is scaled to it when it differs
  int height = 0;
  int fps = 30;
  int queueDepth = 6;  // frames that may be out with the handler at once; beyond that a tick grabs nothing
  // With nothing changed for this long, a complete frame is delivered anyway
  // so that a still screen still advances the recording.
  double refreshSeconds = 1.0;
};

using ScreenSampleHandler = std::function<void(const ScreenSample&)>;

class CaptureStream {
 public:
  virtual ~CaptureStream() = default;
  // Throws CaptureError when the target cannot be grabbed.
  virtual void startCapture() = 0;
  virtual void stopCapture() = 0;
  // The next tick delivers a complete frame even if nothing changed (a new
  // output wants its first picture now, not at the next refresh). Any thread.
  virtual void requestFrame() = 0;
};

class CaptureSource {
 public:
  virtual ~CaptureSource() = default;
  // Throws CaptureError.
  virtual ShareableContent shareableContent() = 0;
  // Opens what the stream needs (its own server connection, shared memory).
  // Throws CaptureError.
  virtual std::unique_ptr<CaptureStream> createStream(const StreamConfiguration& configuration,
                                                      ScreenSampleHandler handler) = 0;
};

// Connects to the display named by the environment. Throws
// CaptureError(DisplayUnavailable) with the connection error's text.
std::unique_ptr<CaptureSource> openX11CaptureSource();

}  // namespace vantrel::desktop
