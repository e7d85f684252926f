#pragma once
// The desktop picture as the desktop environment left it on the root window.
// Units: pixels of the pixmap. Threads: uses the caller's connection.

#include <string>
#include <variant>

#include "vantrel/desktop/image.h"
#include "vantrel/desktop/x_connection.h"

namespace vantrel::desktop {

enum class WallpaperStatus {
  NoPicture,     // neither _XROOTPMAP_ID nor ESETROOT_PMAP_ID names a pixmap
  NotLoadable,   // the named pixmap no longer exists or has an unknown format
  NotRasterized, // reading the pixels back failed
};

// The root background pixmap read back as an opaque RGBA image at the
// pixmap's own size, or why not. Reads in bands so that no single reply
// exceeds the server's request size.
std::variant<RgbaImage, WallpaperStatus> readRootBackground(XConnection& x);

}  // namespace vantrel::desktop
