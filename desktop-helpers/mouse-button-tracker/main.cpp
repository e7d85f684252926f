// vantrel-mouse-button-tracker: writes the button state whenever it changes.

#include <chrono>

#include "vantrel/common/line_writer.h"
#include "vantrel/desktop/control.h"
#include "vantrel/desktop/session.h"
#include "vantrel/desktop/mouse.h"

namespace desktop = vantrel::desktop;

int main() {
  // Without a display, or under Wayland, the buttons read as released: one
  // line, then quiet.
  auto x = desktop::openX11Desktop();
  desktop::MouseState last = desktop::queryMouseState(x.get());
  vantrel::writeAll(1, desktop::mouseStateLine(last) + "\n");
  desktop::runTicking(0, std::chrono::nanoseconds(1'000'000'000 / 60), [&] {
    const desktop::MouseState now = desktop::queryMouseState(x.get());
    if (now == last) return;
    last = now;
    vantrel::writeAll(1, desktop::mouseStateLine(now) + "\n");
  });
  return 0;
}
