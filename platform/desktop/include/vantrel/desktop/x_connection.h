#pragma once
// One XCB connection to the display named by the environment (the X library's
// own DISPLAY lookup), with the atoms and property reads the helpers share.
//
// Threads: an XConnection is used from one thread at a time. Ownership: it owns
// the xcb connection and closes it when destroyed; X resources created through
// it (a hidden pointer, for one) end with it, which is why long-running helpers
// keep their connection open for their whole life.

#include <xcb/xcb.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel::desktop {

// Owning pointer for the malloc'ed replies xcb hands out.
struct FreeDeleter {
  void operator()(void* p) const noexcept;
};
template <class T>
using Reply = std::unique_ptr<T, FreeDeleter>;

class XConnection {
 public:
  // Connects to the default display. Gives up after `timeout` (a display on an
  // unreachable network host must not hang a one-shot probe).
  // Throws DesktopError(DisplayUnavailable).
  static std::unique_ptr<XConnection> open(std::chrono::milliseconds timeout = std::chrono::seconds(3));

  // Same as open() but returns nothing instead of throwing.
  static std::unique_ptr<XConnection> tryOpen(std::chrono::milliseconds timeout = std::chrono::seconds(3));

  ~XConnection();
  XConnection(const XConnection&) = delete;
  XConnection& operator=(const XConnection&) = delete;

  xcb_connection_t* raw() const { return conn_; }
  const xcb_screen_t& screen() const { return *screen_; }
  xcb_window_t root() const { return screen_->root; }

  // Interned atom (cached); XCB_ATOM_NONE when the server refuses.
  xcb_atom_t atom(std::string_view name);

  // Raw property value; nothing when the property is absent, has another
  // format than `format` (8 or 32 bits), or the window does not exist.
  // Reads at most `maxItems` items.
  std::optional<std::vector<std::uint8_t>> property8(xcb_window_t window, xcb_atom_t property, xcb_atom_t type,
                                                     std::uint32_t maxItems = 1u << 16);
  std::optional<std::vector<std::uint32_t>> property32(xcb_window_t window, xcb_atom_t property, xcb_atom_t type,
                                                       std::uint32_t maxItems = 1u << 16);

  std::optional<std::uint32_t> cardinal(xcb_window_t window, std::string_view property);
  // A text property as UTF-8: UTF8_STRING as it is, STRING (Latin-1)
  // converted; nothing when absent or not 8-bit text.
  std::optional<std::string> text(xcb_window_t window, std::string_view property);
  std::vector<xcb_atom_t> atoms(xcb_window_t window, std::string_view property);

  bool flush();

  // Frees queued events. Replies fetched without an error pointer turn X
  // errors (a window that has gone, say) into events; the helpers never read
  // events, so every polling entry point drops them to keep the queue from
  // growing for the life of a watch.
  void drainEvents();

  // Negotiates XFixes (which must be told the client's version before any
  // other request of it) once per connection; false when the server lacks it.
  bool xfixes();

 private:
  XConnection(xcb_connection_t* conn, int screenNumber);
  xcb_connection_t* conn_;
  xcb_screen_t* screen_ = nullptr;
  std::vector<std::pair<std::string, xcb_atom_t>> atoms_;
  int xfixesState_ = -1;  // -1 not asked yet, 0 missing, 1 ready
};

// Text of an X error code ("BadWindow", ...).
std::string xErrorName(std::uint8_t errorCode);

// Converts Latin-1 bytes (the ICCCM STRING encoding) to UTF-8.
std::string latin1ToUtf8(std::string_view latin1);

}  // namespace vantrel::desktop
