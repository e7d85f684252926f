#include "vantrel/desktop/mouse.h"

namespace vantrel::desktop {

MouseState mouseStateFromMask(std::uint16_t mask) {
  MouseState s;
  if (mask & XCB_BUTTON_MASK_1) {
    s.button = "left";
  } else if (mask & XCB_BUTTON_MASK_3) {
    s.button = "right";
  } else if (mask & XCB_BUTTON_MASK_2) {
    s.button = "middle";
  }
  s.pressed = s.button.has_value();
  s.controlKey = s.pressed && (mask & XCB_MOD_MASK_CONTROL) != 0;
  return s;
}

MouseState queryMouseState(XConnection* x) {
  if (x == nullptr) return {};
  x->drainEvents();
  Reply<xcb_query_pointer_reply_t> reply(
      xcb_query_pointer_reply(x->raw(), xcb_query_pointer(x->raw(), x->root()), nullptr));
  if (!reply) return {};
  return mouseStateFromMask(reply->mask);
}

std::string mouseStateLine(const MouseState& state) {
  std::string line = "{\"pressed\":";
  line += state.pressed ? "true" : "false";
  if (state.button) {
    line += ",\"button\":\"";
    line += *state.button;
    line += '"';
  }
  if (state.pressed) {
    line += ",\"controlKey\":";
    line += state.controlKey ? "true" : "false";
  }
  line += '}';
  return line;
}

std::string cursorTypeLine(std::string_view name) {
  std::string line = "{\"cursorType\":\"";
  line += name;
  line += "\"}";
  return line;
}

}  // namespace vantrel::desktop
