// vantrel-screen-permission-helper: "granted" when the screen can be read.

#include <xcb/xcb.h>

#include "vantrel/common/line_writer.h"
#include "vantrel/desktop/x_connection.h"

namespace desktop = vantrel::desktop;

namespace {

// Capture is possible when the display opens and one pixel of the root
// window can be read back; nothing is shown to the user.
bool canReadScreen() {
  auto x = desktop::XConnection::tryOpen();
  if (!x) return false;
  auto cookie = xcb_get_image(x->raw(), XCB_IMAGE_FORMAT_Z_PIXMAP, x->root(), 0, 0, 1, 1, ~0u);
  desktop::Reply<xcb_get_image_reply_t> reply(xcb_get_image_reply(x->raw(), cookie, nullptr));
  return reply != nullptr;
}

}  // namespace

int main() {
  vantrel::writeAll(1, canReadScreen() ? "granted\n" : "denied\n");
  return 0;
}
