#pragma once
// The desktop picture as the desktop environment left it on the root window.
// Units: pixels of the pixmap (root pixels). Threads: uses the caller's connection.

#include <string>
#include <variant>

#include <optional>

#include "vantrel/desktop/image.h"
#include "vantrel/desktop/windows.h"
#include "vantrel/desktop/x_connection.h"

namespace vantrel::desktop {

enum class WallpaperStatus {
  NoPicture,     // neither _XROOTPMAP_ID nor ESETROOT_PMAP_ID names a pixmap
  NotLoadable,   // the named pixmap no longer exists or has an unknown format
  NotRasterized, // reading the pixels back failed
};

// The root background pixmap read back as an opaque RGBA image, or why not:
// the part inside `area` (the primary monitor, so that a picture spanning
// several monitors or centred with borders is not saved whole), else the
// whole pixmap. An area outside the pixmap is NotLoadable. Reads in bands so
// that no single reply exceeds the server's request size.
std::variant<RgbaImage, WallpaperStatus> readRootBackground(XConnection& x, std::optional<Rect> area = std::nullopt);

}  // namespace vantrel::desktop
