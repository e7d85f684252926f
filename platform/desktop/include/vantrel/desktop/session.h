#pragma once
// Which kind of desktop the helpers run in, and the one place that knows the
// desktop's scale and origin.
//
// Units: the helpers report logical units, the unit the host's own toolkit
// works in: device pixels divided by the desktop's scale factor, with the
// origin at the top left of the primary monitor (x to the right, y down). At
// 200 % a 400-pixel-wide window is 200 units wide, and a monitor to the left
// of the primary one has negative x.
//
// Threads: calls use the caller's connection (one thread at a time).

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vantrel/desktop/windows.h"
#include "vantrel/desktop/x_connection.h"

namespace vantrel::desktop {

enum class SessionType {
  X11,      // a plain X server: every helper works
  Wayland,  // a Wayland compositor; X11 (if any) is XWayland, which sees only X11 clients
  None,     // neither: no display at all
};

// "x11", "wayland" or "none" (for messages and tests).
std::string_view sessionTypeName(SessionType type);

// Wayland when WAYLAND_DISPLAY is set, XDG_SESSION_TYPE says "wayland", or
// the X server `x` (may be null) is XWayland (it has the XWAYLAND
// extension); else X11 when `x` is open; else None.
SessionType detectSession(XConnection* x);

// A connection to the desktop when it is a real X11 session; nothing under
// Wayland (XWayland's partial view would mislead) or without a display.
std::unique_ptr<XConnection> openX11Desktop(SessionType* type = nullptr);

// A rectangle in logical units (see above); fractional at scales such as 1.25.
struct LogicalRect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
  bool operator==(const LogicalRect&) const = default;
};

struct DesktopGeometry {
  double scale = 1;  // device pixels per logical unit, > 0
  Rect primary;      // the primary monitor in root pixels
  LogicalRect toLogical(const Rect& device) const;
};

// Device pixels per logical unit on X11: GDK_SCALE (a whole number from 1 to
// 8, as GTK reads it) when set, else Xft.dpi from the root window's
// RESOURCE_MANAGER divided by 96, else 1. Values outside 0.5 ... 8 count as 1.
double scaleFromSettings(std::optional<std::string_view> gdkScale, std::optional<std::string_view> resources);

// Xft.dpi of an X resource database text ("Xft.dpi:\t192\n..."), or nothing.
std::optional<double> xftDpi(std::string_view resources);

// The primary RandR monitor (RandR 1.5 monitors, the primary one, else the
// first), else the whole screen. `name` receives the monitor's RandR name
// ("HDMI-1"), "" for the whole screen.
Rect primaryMonitor(XConnection& x, std::string* name = nullptr);

// Scale and primary monitor of the display behind `x`.
DesktopGeometry desktopGeometry(XConnection& x);

// ---- Wayland ----------------------------------------------------------------
// A Wayland compositor scales every output by a whole factor of its own (the
// wl_output scale; fractional scaling is rendered at the next whole factor
// and scaled down by the compositor). Positions are the compositor's layout,
// in logical units; sizes of the current mode, in device pixels.

struct WaylandOutput {
  std::string name;  // wl_output 4's name ("HEADLESS-1"); empty from older compositors
  int x = 0, y = 0;  // layout position, logical units
  int pixelWidth = 0, pixelHeight = 0;
  int scale = 1;      // 1 ... 8
  int transform = 0;  // wl_output transform; odd values turn the output by 90 degrees
};

// The outputs of the compositor named by WAYLAND_DISPLAY, at most 32; empty
// without one or when it does not answer within `timeout`. Opens and closes a
// connection of its own; any thread.
std::vector<WaylandOutput> waylandOutputs(std::chrono::milliseconds timeout = std::chrono::seconds(1));

// The Wayland counterpart of desktopGeometry: the output at the layout's
// origin (else the first) is the primary one; its scale is the desktop's and
// `primary` is it in device pixels. Nothing without outputs.
std::optional<DesktopGeometry> waylandGeometry(const std::vector<WaylandOutput>& outputs);

// Device pixels per logical unit of a screen-cast stream whose pictures are
// `pixelWidth` x `pixelHeight` and whose portal reported the position and
// `portalWidth` (0 when it reported none). Portals differ: some report the
// logical size, then the ratio is the scale; others (wlroots') report the
// pixel size, then the scale is that of the output with this pixel size, at
// this position if several have it. 1 when nothing tells.
double screenCastScale(int pixelWidth, int pixelHeight, int portalX, int portalY, int portalWidth,
                       const std::vector<WaylandOutput>& outputs);

}  // namespace vantrel::desktop
