// vantrel-input-event-helper: clicks, scrolls and pointer hiding from JSON
// command lines on standard input. Writes nothing.

#include "vantrel/desktop/control.h"
#include "vantrel/desktop/session.h"
#include "vantrel/desktop/input.h"

namespace desktop = vantrel::desktop;

int main() {
  // The connection stays open for the whole run: the server forgets a hidden
  // pointer when the client that hid it disconnects. Under Wayland synthetic
  // X input would reach only X11 windows: commands are then ignored.
  auto x = desktop::openX11Desktop();
  desktop::XInputSink sink(x.get());
  desktop::InputCommandRunner runner(sink);
  desktop::LineReader lines(0);
  while (auto line = lines.next()) {
    if (!runner.handleLine(*line)) break;
  }
  runner.finish();
  return 0;
}
