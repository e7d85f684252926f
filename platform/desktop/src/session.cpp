#include "vantrel/desktop/session.h"

#include <xcb/randr.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>

#include "vantrel/common/text.h"

namespace vantrel::desktop {

namespace {

std::optional<std::string_view> environment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return std::nullopt;
  return std::string_view(value);
}

bool hasExtension(XConnection& x, std::string_view name) {
  auto cookie = xcb_query_extension(x.raw(), static_cast<std::uint16_t>(name.size()), name.data());
  Reply<xcb_query_extension_reply_t> reply(xcb_query_extension_reply(x.raw(), cookie, nullptr));
  return reply && reply->present;
}

std::optional<double> parseNumber(std::string_view text) {
  text = text::trimWhiteSpace(text);
  double value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

}  // namespace

std::string_view sessionTypeName(SessionType type) {
  switch (type) {
    case SessionType::X11: return "x11";
    case SessionType::Wayland: return "wayland";
    case SessionType::None: return "none";
  }
  return "none";
}

SessionType detectSession(XConnection* x) {
  if (environment("WAYLAND_DISPLAY")) return SessionType::Wayland;
  if (auto type = environment("XDG_SESSION_TYPE"); type && *type == "wayland") return SessionType::Wayland;
  if (x == nullptr) return SessionType::None;
  // An X client started without the Wayland variables (over ssh -X into a
  // Wayland desktop, from a service) still talks to XWayland.
  if (hasExtension(*x, "XWAYLAND")) return SessionType::Wayland;
  return SessionType::X11;
}

std::unique_ptr<XConnection> openX11Desktop(SessionType* type) {
  // The environment alone can rule out X11: no connection is attempted then.
  std::unique_ptr<XConnection> x;
  if (detectSession(nullptr) != SessionType::Wayland) x = XConnection::tryOpen();
  const SessionType detected = detectSession(x.get());
  if (type) *type = detected;
  if (detected != SessionType::X11) return nullptr;
  return x;
}

LogicalRect DesktopGeometry::toLogical(const Rect& device) const {
  return LogicalRect{(device.x - primary.x) / scale, (device.y - primary.y) / scale, device.width / scale,
                     device.height / scale};
}

std::optional<double> xftDpi(std::string_view resources) {
  // One "name:<blanks>value" entry per line; the last one of a name wins, as
  // in the resource manager.
  std::optional<double> dpi;
  while (!resources.empty()) {
    const auto nl = resources.find('\n');
    std::string_view line = resources.substr(0, nl);
    resources = nl == std::string_view::npos ? std::string_view() : resources.substr(nl + 1);
    const auto colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    if (text::trimWhiteSpace(line.substr(0, colon)) != "Xft.dpi") continue;
    if (auto value = parseNumber(line.substr(colon + 1))) dpi = *value;
  }
  return dpi;
}

double scaleFromSettings(std::optional<std::string_view> gdkScale, std::optional<std::string_view> resources) {
  if (gdkScale) {
    if (auto value = parseNumber(*gdkScale); value && *value >= 1 && *value <= 8 && *value == std::floor(*value)) {
      return *value;
    }
  }
  if (resources) {
    if (auto dpi = xftDpi(*resources)) {
      const double scale = *dpi / 96.0;
      if (scale >= 0.5 && scale <= 8) return scale;
    }
  }
  return 1;
}

Rect primaryMonitor(XConnection& x, std::string* name) {
  if (name) name->clear();
  const xcb_screen_t& s = x.screen();
  const Rect whole{0, 0, s.width_in_pixels, s.height_in_pixels};
  xcb_connection_t* c = x.raw();
  Reply<xcb_randr_query_version_reply_t> version(
      xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 5), nullptr));
  if (!version || (version->major_version == 1 && version->minor_version < 5)) return whole;
  Reply<xcb_randr_get_monitors_reply_t> monitors(
      xcb_randr_get_monitors_reply(c, xcb_randr_get_monitors(c, x.root(), 1), nullptr));
  if (!monitors) return whole;
  std::optional<Rect> first;
  xcb_atom_t firstName = XCB_ATOM_NONE;
  auto setName = [&](xcb_atom_t atom) {
    if (name == nullptr || atom == XCB_ATOM_NONE) return;
    Reply<xcb_get_atom_name_reply_t> reply(xcb_get_atom_name_reply(c, xcb_get_atom_name(c, atom), nullptr));
    if (reply) name->assign(xcb_get_atom_name_name(reply.get()), xcb_get_atom_name_name_length(reply.get()));
  };
  for (auto it = xcb_randr_get_monitors_monitors_iterator(monitors.get()); it.rem > 0;
       xcb_randr_monitor_info_next(&it)) {
    const xcb_randr_monitor_info_t* m = it.data;
    if (m->width == 0 || m->height == 0) continue;
    const Rect r{m->x, m->y, m->width, m->height};
    if (m->primary) {
      setName(m->name);
      return r;
    }
    if (!first) {
      first = r;
      firstName = m->name;
    }
  }
  if (first) setName(firstName);
  return first.value_or(whole);
}

DesktopGeometry desktopGeometry(XConnection& x) {
  DesktopGeometry g;
  std::optional<std::string> resources;
  if (auto bytes = x.property8(x.root(), XCB_ATOM_RESOURCE_MANAGER, XCB_ATOM_STRING, 1u << 20)) {
    resources = std::string(bytes->begin(), bytes->end());
  }
  g.scale = scaleFromSettings(environment("GDK_SCALE"), resources);
  g.primary = primaryMonitor(x);
  return g;
}

std::optional<DesktopGeometry> waylandGeometry(const std::vector<WaylandOutput>& outputs) {
  if (outputs.empty()) return std::nullopt;
  auto it = std::find_if(outputs.begin(), outputs.end(), [](const WaylandOutput& o) { return o.x == 0 && o.y == 0; });
  const WaylandOutput& o = it != outputs.end() ? *it : outputs.front();
  DesktopGeometry g;
  g.scale = std::max(1, o.scale);
  g.primary = Rect{static_cast<int>(o.x * g.scale), static_cast<int>(o.y * g.scale), o.pixelWidth, o.pixelHeight};
  return g;
}

double screenCastScale(int pixelWidth, int pixelHeight, int portalX, int portalY, int portalWidth,
                       const std::vector<WaylandOutput>& outputs) {
  if (pixelWidth <= 0) return 1;
  // A logical size: the pictures are larger by the scale (allowing for a
  // pixel of rounding at fractional scales).
  if (portalWidth > 0 && pixelWidth > portalWidth + 1) return static_cast<double>(pixelWidth) / portalWidth;
  const WaylandOutput* match = nullptr;
  for (const WaylandOutput& o : outputs) {
    const bool turned = (o.transform & 1) != 0;
    const int w = turned ? o.pixelHeight : o.pixelWidth, h = turned ? o.pixelWidth : o.pixelHeight;
    if (w != pixelWidth || h != pixelHeight) continue;
    if (match == nullptr || (o.x == portalX && o.y == portalY)) match = &o;
  }
  return match != nullptr ? std::max(1, match->scale) : 1.0;
}

}  // namespace vantrel::desktop
