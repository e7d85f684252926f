#include "vantrel/desktop/x_connection.h"

#include <xcb/xfixes.h>

#include <cstdlib>
#include <future>
#include <thread>

#include "vantrel/desktop/error.h"

namespace vantrel::desktop {

void FreeDeleter::operator()(void* p) const noexcept { std::free(p); }

namespace {

struct ConnectResult {
  xcb_connection_t* conn = nullptr;
  int screen = 0;
};

const char* connectionErrorText(int code) {
  switch (code) {
    case XCB_CONN_ERROR: return "socket, pipe or stream error";
    case XCB_CONN_CLOSED_EXT_NOTSUPPORTED: return "extension not supported";
    case XCB_CONN_CLOSED_MEM_INSUFFICIENT: return "out of memory";
    case XCB_CONN_CLOSED_REQ_LEN_EXCEED: return "request length exceeded";
    case XCB_CONN_CLOSED_PARSE_ERR: return "invalid display name";
    case XCB_CONN_CLOSED_INVALID_SCREEN: return "no such screen";
    default: return "connection refused";
  }
}

}  // namespace

std::unique_ptr<XConnection> XConnection::open(std::chrono::milliseconds timeout) {
  const char* envName = std::getenv("DISPLAY");
  std::string name = envName ? envName : "";
  if (name.empty()) throw DesktopError(DesktopErrorCode::DisplayUnavailable, "no display is set");
  // xcb_connect cannot be interrupted; it runs on a thread of its own so that a
  // display on a host that never answers costs `timeout`, not minutes. When it
  // times out the thread is left behind and the process ends without it.
  auto promise = std::make_shared<std::promise<ConnectResult>>();
  auto future = promise->get_future();
  std::thread([promise] {
    ConnectResult r;
    r.conn = xcb_connect(nullptr, &r.screen);
    promise->set_value(r);
  }).detach();
  if (future.wait_for(timeout) != std::future_status::ready) {
    throw DesktopError(DesktopErrorCode::DisplayUnavailable, name + ": no answer");
  }
  ConnectResult r = future.get();
  if (int err = xcb_connection_has_error(r.conn); err != 0) {
    xcb_disconnect(r.conn);
    throw DesktopError(DesktopErrorCode::DisplayUnavailable, name + ": " + connectionErrorText(err));
  }
  std::unique_ptr<XConnection> c(new XConnection(r.conn, r.screen));
  if (c->screen_ == nullptr) throw DesktopError(DesktopErrorCode::DisplayUnavailable, name + ": no such screen");
  return c;
}

std::unique_ptr<XConnection> XConnection::tryOpen(std::chrono::milliseconds timeout) {
  try {
    return open(timeout);
  } catch (const DesktopError&) {
    return nullptr;
  }
}

XConnection::XConnection(xcb_connection_t* conn, int screenNumber) : conn_(conn) {
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(conn_));
  for (int i = 0; it.rem > 0; xcb_screen_next(&it), ++i) {
    if (i == screenNumber) {
      screen_ = it.data;
      break;
    }
  }
}

XConnection::~XConnection() { xcb_disconnect(conn_); }

xcb_atom_t XConnection::atom(std::string_view name) {
  for (const auto& [n, a] : atoms_) {
    if (n == name) return a;
  }
  auto cookie = xcb_intern_atom(conn_, 0, static_cast<std::uint16_t>(name.size()), name.data());
  Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(conn_, cookie, nullptr));
  xcb_atom_t a = reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
  atoms_.emplace_back(std::string(name), a);
  return a;
}

namespace {

Reply<xcb_get_property_reply_t> getProperty(xcb_connection_t* conn, xcb_window_t window, xcb_atom_t property,
                                            xcb_atom_t type, std::uint32_t maxWords) {
  auto cookie = xcb_get_property(conn, 0, window, property, type, 0, maxWords);
  return Reply<xcb_get_property_reply_t>(xcb_get_property_reply(conn, cookie, nullptr));
}

}  // namespace

std::optional<std::vector<std::uint8_t>> XConnection::property8(xcb_window_t window, xcb_atom_t property,
                                                                xcb_atom_t type, std::uint32_t maxItems) {
  if (property == XCB_ATOM_NONE) return std::nullopt;
  auto reply = getProperty(conn_, window, property, type, (maxItems + 3) / 4);
  if (!reply || reply->format != 8 || reply->type == XCB_ATOM_NONE) return std::nullopt;
  auto* data = static_cast<const std::uint8_t*>(xcb_get_property_value(reply.get()));
  int len = xcb_get_property_value_length(reply.get());
  return std::vector<std::uint8_t>(data, data + len);
}

std::optional<std::vector<std::uint32_t>> XConnection::property32(xcb_window_t window, xcb_atom_t property,
                                                                 xcb_atom_t type, std::uint32_t maxItems) {
  if (property == XCB_ATOM_NONE) return std::nullopt;
  auto reply = getProperty(conn_, window, property, type, maxItems);
  if (!reply || reply->format != 32 || reply->type == XCB_ATOM_NONE) return std::nullopt;
  auto* data = static_cast<const std::uint32_t*>(xcb_get_property_value(reply.get()));
  int len = xcb_get_property_value_length(reply.get()) / 4;
  return std::vector<std::uint32_t>(data, data + len);
}

std::optional<std::uint32_t> XConnection::cardinal(xcb_window_t window, std::string_view property) {
  auto values = property32(window, atom(property), XCB_ATOM_CARDINAL, 1);
  if (!values || values->empty()) return std::nullopt;
  return values->front();
}

std::optional<std::string> XConnection::text(xcb_window_t window, std::string_view property) {
  const xcb_atom_t prop = property == "WM_NAME"             ? static_cast<xcb_atom_t>(XCB_ATOM_WM_NAME)
                          : property == "WM_CLIENT_MACHINE" ? static_cast<xcb_atom_t>(XCB_ATOM_WM_CLIENT_MACHINE)
                                                            : atom(property);
  if (prop == XCB_ATOM_NONE) return std::nullopt;
  // Any type: clients (and tools such as xdotool) write titles as STRING as
  // often as UTF8_STRING, whatever the property's convention says.
  auto reply = getProperty(conn_, window, prop, XCB_GET_PROPERTY_TYPE_ANY, 1u << 14);
  if (!reply || reply->format != 8 || reply->type == XCB_ATOM_NONE) return std::nullopt;
  const char* data = static_cast<const char*>(xcb_get_property_value(reply.get()));
  std::string s(data, static_cast<std::size_t>(xcb_get_property_value_length(reply.get())));
  if (reply->type == XCB_ATOM_STRING) return latin1ToUtf8(s);
  return s;  // UTF8_STRING, or COMPOUND_TEXT whose ASCII part reads the same
}

std::vector<xcb_atom_t> XConnection::atoms(xcb_window_t window, std::string_view property) {
  auto values = property32(window, atom(property), XCB_ATOM_ATOM, 1024);
  if (!values) return {};
  return std::vector<xcb_atom_t>(values->begin(), values->end());
}

bool XConnection::flush() { return xcb_flush(conn_) > 0; }

void XConnection::drainEvents() {
  while (xcb_generic_event_t* event = xcb_poll_for_event(conn_)) std::free(event);
}

bool XConnection::xfixes() {
  if (xfixesState_ < 0) {
    auto cookie = xcb_xfixes_query_version(conn_, 4, 0);
    Reply<xcb_xfixes_query_version_reply_t> reply(xcb_xfixes_query_version_reply(conn_, cookie, nullptr));
    xfixesState_ = reply && reply->major_version >= 4 ? 1 : 0;
  }
  return xfixesState_ == 1;
}

std::string xErrorName(std::uint8_t errorCode) {
  static const char* const names[] = {"Success",   "BadRequest", "BadValue",          "BadWindow",
                                      "BadPixmap", "BadAtom",    "BadCursor",         "BadFont",
                                      "BadMatch",  "BadDrawable", "BadAccess",        "BadAlloc",
                                      "BadColor",  "BadGC",      "BadIDChoice",       "BadName",
                                      "BadLength", "BadImplementation"};
  if (errorCode < sizeof names / sizeof names[0]) return names[errorCode];
  return "X error " + std::to_string(errorCode);
}

std::string latin1ToUtf8(std::string_view latin1) {
  std::string out;
  out.reserve(latin1.size());
  for (unsigned char c : latin1) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

}  // namespace vantrel::desktop
