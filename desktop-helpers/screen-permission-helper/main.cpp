// vantrel-screen-permission-helper: "granted" when the screen can be captured.

#include <xcb/xcb.h>

#include "vantrel/common/line_writer.h"
#include "vantrel/desktop/desktop_settings.h"
#include "vantrel/desktop/session.h"

namespace desktop = vantrel::desktop;

namespace {

// Capture is possible when the display opens and one pixel of the root
// window can be read back; nothing is shown to the user.
bool canReadScreen(desktop::XConnection& x) {
  auto cookie = xcb_get_image(x.raw(), XCB_IMAGE_FORMAT_Z_PIXMAP, x.root(), 0, 0, 1, 1, ~0u);
  desktop::Reply<xcb_get_image_reply_t> reply(xcb_get_image_reply(x.raw(), cookie, nullptr));
  return reply != nullptr;
}

}  // namespace

// Under Wayland the root window is XWayland's and shows Wayland windows as
// black: capture goes through the ScreenCast portal, so the portal being
// there is the answer. Asking it for a session would show a dialog; asking
// whether it exists does not.
bool capturePermitted() {
  desktop::SessionType session = desktop::SessionType::None;
  auto x = desktop::openX11Desktop(&session);
  switch (session) {
    case desktop::SessionType::X11: return canReadScreen(*x);
    case desktop::SessionType::Wayland: return desktop::screenCastPortalAvailable();
    case desktop::SessionType::None: return false;
  }
  return false;
}

int main() {
  vantrel::writeAll(1, capturePermitted() ? "granted\n" : "denied\n");
  return 0;
}
