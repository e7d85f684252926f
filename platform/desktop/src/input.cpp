#include "vantrel/desktop/input.h"

#include <xcb/xfixes.h>
#include <xcb/xtest.h>

#include <cmath>
#include <limits>

#include "vantrel/common/strict_json.h"

namespace vantrel::desktop {

std::optional<InputEventCommand> parseInputEventCommand(std::string_view line) {
  try {
    const json::Value doc = json::parseDocument(line);
    json::ObjectReader reader(doc, json::Path());
    InputEventCommand c;
    c.type = reader.required<std::string>("type");
    c.deltaX = reader.optional<double>("deltaX");
    c.deltaY = reader.optional<double>("deltaY");
    return c;
  } catch (const json::DecodeError&) {
    return std::nullopt;
  }
}

std::int32_t clampToInt32(double v) {
  if (!std::isfinite(v)) return 0;
  const double r = std::round(v);  // halves away from zero
  if (r <= static_cast<double>(std::numeric_limits<std::int32_t>::min())) return std::numeric_limits<std::int32_t>::min();
  if (r >= static_cast<double>(std::numeric_limits<std::int32_t>::max())) return std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(r);
}

int wheelClicks(std::int32_t pixels) {
  if (pixels == 0) return 0;
  const double clicks = std::round(std::fabs(static_cast<double>(pixels)) / kPixelsPerWheelClick);
  if (clicks < 1) return 1;
  if (clicks > kMaxWheelClicks) return kMaxWheelClicks;
  return static_cast<int>(clicks);
}

ScrollAmount scrollAmount(double deltaX, double deltaY) {
  return ScrollAmount{clampToInt32(-deltaY), clampToInt32(-deltaX)};
}

bool InputCommandRunner::handleLine(std::string_view line) {
  auto command = parseInputEventCommand(line);
  if (!command) return true;
  if (command->type == "click") {
    sink_.click();
  } else if (command->type == "scroll") {
    const ScrollAmount amount = scrollAmount(command->deltaX.value_or(0), command->deltaY.value_or(0));
    if (amount.vertical != 0 || amount.horizontal != 0) sink_.scroll(amount);
  } else if (command->type == "hideCursor") {
    if (!hidden_) {
      sink_.hidePointer();
      hidden_ = true;
    }
  } else if (command->type == "showCursor") {
    if (hidden_) {
      sink_.showPointer();
      hidden_ = false;
    }
  } else if (command->type == "stop") {
    return false;
  }
  return true;
}

void InputCommandRunner::finish() {
  if (hidden_) {
    sink_.showPointer();
    hidden_ = false;
  }
}

void XInputSink::pressRelease(std::uint8_t button, int times) {
  for (int i = 0; i < times; ++i) {
    // Time 0 means "now"; XTest presses at wherever the pointer is.
    xcb_test_fake_input(x_->raw(), XCB_BUTTON_PRESS, button, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_test_fake_input(x_->raw(), XCB_BUTTON_RELEASE, button, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
  }
  // A round trip makes sure the server has taken the events before the next
  // command (or the exit) follows.
  Reply<xcb_get_input_focus_reply_t>(xcb_get_input_focus_reply(x_->raw(), xcb_get_input_focus(x_->raw()), nullptr));
  x_->drainEvents();
}

void XInputSink::click() {
  if (x_ != nullptr) pressRelease(1, 1);
}

void XInputSink::scroll(const ScrollAmount& amount) {
  if (x_ == nullptr) return;
  // Positive wheel values scroll up / left: buttons 4 and 6; negative 5 and 7.
  if (amount.vertical != 0) pressRelease(amount.vertical > 0 ? 4 : 5, wheelClicks(amount.vertical));
  if (amount.horizontal != 0) pressRelease(amount.horizontal > 0 ? 6 : 7, wheelClicks(amount.horizontal));
}

void XInputSink::hidePointer() {
  if (x_ == nullptr || !x_->xfixes()) return;
  xcb_xfixes_hide_cursor(x_->raw(), x_->root());
  x_->flush();
}

void XInputSink::showPointer() {
  if (x_ == nullptr || !x_->xfixes()) return;
  xcb_xfixes_show_cursor(x_->raw(), x_->root());
  x_->flush();
}

}  // namespace vantrel::desktop
