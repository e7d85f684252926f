// vantrel-cursor-type-helper: writes the pointer shape's name whenever it changes.

#include <chrono>
#include <string>

#include "vantrel/common/line_writer.h"
#include "vantrel/desktop/control.h"
#include "vantrel/desktop/session.h"
#include "vantrel/desktop/cursor.h"
#include "vantrel/desktop/mouse.h"

namespace desktop = vantrel::desktop;

int main() {
  // Without a display, or under Wayland (XWayland sees no cursor over Wayland
  // windows), there is no cursor: nothing is written until stop.
  desktop::CursorReader reader(desktop::openX11Desktop());
  const desktop::CursorIdentifier identifier(reader.connection());
  std::string lastType;
  desktop::runTicking(0, std::chrono::nanoseconds(1'000'000'000 / 30), [&] {
    auto cursor = reader.read();
    if (!cursor) return;
    const std::string_view type = identifier.identify(*cursor);
    if (type == lastType) return;
    lastType = type;
    vantrel::writeAll(1, desktop::cursorTypeLine(type) + "\n");
  });
  return 0;
}
