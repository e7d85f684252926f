#pragma once
// Synthetic input: the command lines of the input-event helper, the scroll
// value rules, and posting through XTest and XFixes.
// Threads: a runner and its sink are used from one thread. Ownership: the
// runner and XInputSink borrow their sink / connection, which must outlive them.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "vantrel/desktop/x_connection.h"

namespace vantrel::desktop {

struct InputEventCommand {
  std::string type;               // "click", "scroll", "hideCursor", "showCursor", "stop", or other
  std::optional<double> deltaX;   // absent counts as 0
  std::optional<double> deltaY;
};

// One command line; nothing for text that is not a JSON object with a string
// `type` and numeric (or null) deltas.
std::optional<InputEventCommand> parseInputEventCommand(std::string_view line);

// 0 for NaN and infinities; otherwise rounded half away from zero and clamped
// to the 32-bit range.
std::int32_t clampToInt32(double v);

// Scroll values are pixels; X delivers wheel clicks (buttons 4/5 vertical,
// 6/7 horizontal). One click stands for this many pixels, a nonzero value
// is at least one click, and one command posts at most kMaxWheelClicks so a
// huge value cannot flood the server.
inline constexpr double kPixelsPerWheelClick = 20.0;
inline constexpr int kMaxWheelClicks = 100;
int wheelClicks(std::int32_t pixels);

// What a scroll command posts: signed wheel values in pixels (positive = up
// / left as the host's wheel sees it; the deltas' signs are inverted).
struct ScrollAmount {
  std::int32_t vertical = 0;
  std::int32_t horizontal = 0;
};
ScrollAmount scrollAmount(double deltaX, double deltaY);

// Where the input goes. Implementations do not report delivery.
class InputSink {
 public:
  virtual ~InputSink() = default;
  virtual void click() = 0;  // left button down then up at the pointer
  virtual void scroll(const ScrollAmount& amount) = 0;
  virtual void hidePointer() = 0;
  virtual void showPointer() = 0;
};

// Executes command lines in order; keeps the pointer-hidden flag so that
// hiding is not counted twice and the pointer is shown again at the end.
class InputCommandRunner {
 public:
  explicit InputCommandRunner(InputSink& sink) : sink_(sink) {}
  // False once a "stop" command was seen (the caller ends its loop).
  bool handleLine(std::string_view line);
  // Shows the pointer again if this runner hid it.
  void finish();
  bool pointerHidden() const { return hidden_; }

 private:
  InputSink& sink_;
  bool hidden_ = false;
};

// Posts through XTest at the current pointer position and hides the pointer
// with XFixes. The hide lasts only while the connection is open. A missing
// connection makes every call do nothing.
class XInputSink : public InputSink {
 public:
  explicit XInputSink(XConnection* x) : x_(x) {}
  void click() override;
  void scroll(const ScrollAmount& amount) override;
  void hidePointer() override;
  void showPointer() override;

 private:
  void pressRelease(std::uint8_t button, int times);
  XConnection* x_;
};

}  // namespace vantrel::desktop
