#pragma once
// What the desktop environment's own settings say, read through GIO:
// the wallpaper picture each environment keeps in its configuration, and
// whether the screen-cast portal is offered on the session bus.
//
// Threads: every function may be called from any one thread at a time; none
// keeps state. Nothing here starts a process or a D-Bus service that is not
// already there, except D-Bus activation of the portal by the bus itself.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel::desktop {

enum class DesktopEnvironment { Gnome, Budgie, Cinnamon, Mate, Kde, Xfce, Other };

// From XDG_CURRENT_DESKTOP (a colon-separated list, first known entry wins,
// case-insensitive), else DESKTOP_SESSION.
DesktopEnvironment currentDesktopEnvironment();
DesktopEnvironment desktopEnvironmentFromNames(std::string_view currentDesktop, std::string_view desktopSession);

// The configured picture of the primary screen.
struct ConfiguredWallpaper {
  enum class Kind {
    NotConfigured,  // the environment keeps no picture (or is not one of the known ones)
    NotLocal,       // a picture address that is not a local file
    File,           // `path` names the picture file
  };
  Kind kind = Kind::NotConfigured;
  std::string path;
};

// GNOME and Budgie: org.gnome.desktop.background picture-uri, or
// picture-uri-dark while org.gnome.desktop.interface color-scheme is
// "prefer-dark"; Cinnamon: org.cinnamon.desktop.background; MATE:
// org.mate.background picture-filename. A picture-options of "none" means no
// picture. GNOME's slide-show XML files are resolved to their first picture.
// KDE Plasma: the org.kde.image wallpaper of the containment on screen 0 in
// plasma-org.kde.plasma.desktop-appletsrc. XFCE: the last-image of the
// primary monitor's (`primaryOutput`, a RandR output name, may be empty)
// workspace 0 in xfconf's xfce4-desktop channel, else the first one there.
// Files are read with size bounds; a missing schema or file is NotConfigured.
ConfiguredWallpaper configuredWallpaper(DesktopEnvironment environment, const std::string& primaryOutput = {});

// Pure parsers, for the files above.
ConfiguredWallpaper plasmaWallpaper(std::string_view appletsrc);
ConfiguredWallpaper xfceWallpaper(std::string_view channelXml, const std::string& primaryOutput);
// "file:///a%20b.png" -> File "/a b.png"; "/a.png" -> File; "https://..." -> NotLocal; "" -> NotConfigured.
ConfiguredWallpaper wallpaperFromAddress(std::string_view address);

// True when xdg-desktop-portal on the session bus answers for
// org.freedesktop.portal.ScreenCast with a nonzero AvailableSourceTypes
// within `timeout`. No session bus (DBUS_SESSION_BUS_ADDRESS, else
// $XDG_RUNTIME_DIR/bus; never an autolaunched one), no portal or no answer
// gives false.
bool screenCastPortalAvailable(std::chrono::milliseconds timeout = std::chrono::seconds(3));

}  // namespace vantrel::desktop
