#pragma once
// Mouse button state and the change lines the button tracker writes.
// Threads: the query uses the caller's connection (one thread at a time).

#include <optional>
#include <string>
#include <string_view>

#include "vantrel/desktop/x_connection.h"

namespace vantrel::desktop {

struct MouseState {
  bool pressed = false;
  std::optional<std::string_view> button;  // "left", "right" or "middle"
  bool controlKey = false;                 // Control held while a button is down
  bool operator==(const MouseState&) const = default;
};

// From a core key/button mask (as xcb_query_pointer reports it): button 1 is
// left, 3 right, 2 middle, checked in that order; Control counts only while a
// button is down.
MouseState mouseStateFromMask(std::uint16_t mask);

// The pointer's state now; released when the pointer cannot be queried.
MouseState queryMouseState(XConnection* x);

// {"pressed":false} or {"pressed":true,"button":"left","controlKey":true}, no "\n".
std::string mouseStateLine(const MouseState& state);

// {"cursorType":"<name>"}, no "\n".
std::string cursorTypeLine(std::string_view name);

}  // namespace vantrel::desktop
