#pragma once
// Screen capture on Wayland: the xdg-desktop-portal ScreenCast portal (over
// the session bus, through sd-bus) chooses what is shared, and a PipeWire
// stream delivers its pictures.
//
// A Wayland client cannot name outputs or windows of its own accord: the
// portal (usually a dialog) picks the monitor or window. `shareableContent`
// runs that exchange once and lists what was granted; a refusal or a cancelled
// dialog is CaptureError(PermissionDenied). Ids are PipeWire node ids, valid
// while the source lives. A display's `frame` is the portal's position and
// the stream's size in logical units; its `scale` comes from
// `screenCastScale` (session.h): the stream's pixel width over the portal's
// size where the portal reports logical sizes, the output's wl_output scale
// where it reports pixels (wlroots).
//
// Streams follow the CaptureStream contract of capture.h: a steady tick at the
// configured rate on a thread of their own, complete samples for new pictures
// (converted to BGRA, cropped to `sourceRect` given in the frame's units,
// scaled to the configured size), idle samples otherwise, and a repeat of the
// last picture after `refreshSeconds` of stillness. A stream whose PipeWire
// node has gone (sharing stopped) only delivers idle samples from then on.
//
// Threads: a source is used from one thread at a time; it owns the bus
// connection (the portal ends the cast when it closes) and the PipeWire
// connection that its streams share, so it must outlive them.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "vantrel/desktop/capture.h"
#include "vantrel/desktop/windows.h"
#include "vantrel/media/frame.h"

struct SwsContext;

namespace vantrel::desktop {

enum class PortalSourceType : std::uint32_t {
  monitor = 1,
  window = 2,
};

// Connects to the session bus. Throws CaptureError(DisplayUnavailable) when
// there is none; the portal is asked nothing yet.
std::unique_ptr<CaptureSource> openPortalCaptureSource(PortalSourceType type);

// The pixel layouts a screen-cast stream may deliver (byte order in memory).
enum class ScreenCastPixelFormat { BGRx, RGBx, BGRA, RGBA };

// One picture as PipeWire hands it over: `size` bytes readable at `data`.
struct ScreenCastFrameView {
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  int width = 0;
  int height = 0;
  int stride = 0;  // bytes per row
  ScreenCastPixelFormat format = ScreenCastPixelFormat::BGRx;
};

// Turns screen-cast pictures into the recorder's BGRA frames: the `area` of
// the picture (in its pixels, clipped to it) is swizzled and scaled onto the
// whole of `dst`. Keeps its scaler between calls; one thread at a time.
class ScreenCastConverter {
 public:
  ScreenCastConverter() = default;
  ~ScreenCastConverter();
  ScreenCastConverter(const ScreenCastConverter&) = delete;
  ScreenCastConverter& operator=(const ScreenCastConverter&) = delete;

  // False, leaving `dst` untouched, when the view does not hold the picture it
  // describes (sizes out of range, rows shorter than the width, fewer bytes
  // than the rows need) or when `area` misses the picture.
  bool convert(const ScreenCastFrameView& src, const Rect& area, media::PixelBuffer& dst);

 private:
  SwsContext* scaler_ = nullptr;
  int scalerKey_[5] = {0, 0, 0, 0, 0};
};

}  // namespace vantrel::desktop
