#pragma once
// Application windows and the dock panel of an EWMH desktop.
//
// Units: pixels of the root window (X11 has no point scale), origin at the top
// left of the screen. Bounds are the outer frame: the client's geometry grown
// by the window manager's _NET_FRAME_EXTENTS. Threads: every call uses the
// caller's connection (one thread at a time); results are plain values.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "vantrel/desktop/image.h"
#include "vantrel/desktop/x_connection.h"

namespace vantrel::desktop {

struct Rect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  bool operator==(const Rect&) const = default;
};

// Where a window's bundlePath came from.
enum class BundleSource { None, Executable, DesktopFile };

struct RawWindow {
  std::uint32_t id = 0;        // the client window id
  std::string owner;           // WM_CLASS class, else the process name
  std::string name;            // _NET_WM_NAME, else WM_NAME
  Rect bounds;
  std::int32_t pid = 0;        // _NET_WM_PID, else the X-Resource client pid; 0 when unknown
  std::optional<std::string> bundlePath;
  BundleSource bundleSource = BundleSource::None;
  double alpha = 1.0;          // _NET_WM_WINDOW_OPACITY / 0xffffffff; 1 when absent
};

// Windows that are reported at all: big enough and not nearly transparent.
inline constexpr int kMinimumWindowSide = 50;
inline constexpr double kMinimumAlpha = 0.1;
bool passesVisibilityFilter(const Rect& bounds, double alpha);

// Visible application windows (mapped, not minimised, type normal or dialog),
// front-most first, after the size and alpha filter. An unreadable window list
// gives an empty vector.
std::vector<RawWindow> listWindows(XConnection& x);

// The window with that id when it is a visible application window passing the
// filter; nothing otherwise (also for ids that do not exist). No bundle path.
std::optional<RawWindow> findWindow(XConnection& x, std::uint32_t id);

// The frame of the first mapped window whose type is _NET_WM_WINDOW_TYPE_DOCK.
std::optional<Rect> findDockBar(XConnection& x);

// The window's largest _NET_WM_ICON entry, or nothing.
std::optional<RgbaImage> windowIcon(XConnection& x, std::uint32_t window);

// An icon from the installed icon themes for an application name such as
// "xterm" (PNG files of the hicolor theme and /usr/share/pixmaps), or nothing.
std::optional<RgbaImage> themeIcon(const std::string& applicationName);

// The executable of a process (/proc/<pid>/exe), or nothing.
std::optional<std::string> processExecutable(std::int32_t pid);

}  // namespace vantrel::desktop
