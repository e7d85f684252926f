#pragma once
// Application windows and the dock panel of an EWMH desktop.
//
// Units: pixels of the root window, origin at the root's top left; the
// helpers turn them into logical units with DesktopGeometry (session.h).
// Bounds are the visible frame: the client's geometry grown by the window
// manager's _NET_FRAME_EXTENTS and shrunk by the client's own invisible
// margins (_GTK_FRAME_EXTENTS, the shadows of windows that draw their own
// frame). Threads: every call uses the caller's connection (one thread at a
// time); results are plain values.

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

// A sandboxed application's own identity. Inside Flatpak or Snap the
// executable is the sandbox's (or a path in another mount namespace), so the
// application is named by its id and its exported .desktop file instead.
struct SandboxedApp {
  std::string appId;                       // "org.gnome.Calculator", or the snap's "name_app"
  std::optional<std::string> desktopFile;  // the exported .desktop file, when found
  std::optional<std::string> iconName;     // its Icon= entry (a theme name or an absolute path)
};

struct RawWindow {
  std::uint32_t id = 0;        // the client window id
  std::string owner;           // WM_CLASS class, else the process name
  std::string name;            // _NET_WM_NAME, else WM_NAME
  Rect bounds;
  std::int32_t pid = 0;        // the X-Resource client pid, else _NET_WM_PID; 0 when unknown
  std::optional<std::string> bundlePath;
  BundleSource bundleSource = BundleSource::None;
  double alpha = 1.0;          // _NET_WM_WINDOW_OPACITY / 0xffffffff; 1 when absent
  std::optional<SandboxedApp> sandbox;  // set by listWindows for Flatpak and Snap applications
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

// Reads `procDir` ("/proc/<pid>"): Flatpak's <procDir>/root/.flatpak-info
// ([Application] name=...), else a "snap.<name>.<app>..." control group in
// <procDir>/cgroup. `dataDirs` are searched for the .desktop file (each
// holding applications/<id>.desktop). Files are read with a size bound.
std::optional<SandboxedApp> sandboxedApp(const std::string& procDir, const std::vector<std::string>& dataDirs);

// The data directories that hold exported application files: XDG_DATA_HOME
// (default ~/.local/share) and its flatpak/exports/share, the system Flatpak
// exports, snapd's desktop directory, then XDG_DATA_DIRS.
std::vector<std::string> applicationDataDirs();

// An icon named by a .desktop file: an absolute PNG path, else a theme name
// looked up in the hicolor theme of each data directory and /usr/share/pixmaps.
std::optional<RgbaImage> desktopFileIcon(const std::string& iconName, const std::vector<std::string>& dataDirs);

}  // namespace vantrel::desktop
