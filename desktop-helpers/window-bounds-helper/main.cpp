// vantrel-window-bounds-helper [--icons] | --watch <window id> | --watch-dock
// Lists application windows, or watches one window's frame or the dock's.

#include <chrono>
#include <cmath>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "vantrel/common/json_out.h"
#include "vantrel/common/line_writer.h"
#include "vantrel/desktop/control.h"
#include "vantrel/desktop/error.h"
#include "vantrel/desktop/image.h"
#include "vantrel/desktop/session.h"
#include "vantrel/desktop/windows.h"

namespace {

using vantrel::json::OrderedJson;
namespace desktop = vantrel::desktop;

constexpr int kIconSide = 64;

// A decimal integer with an optional sign that fits 64 bits; nothing else.
std::optional<std::int64_t> parseWindowNumber(const std::string& text) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return std::nullopt;
  std::uint64_t magnitude = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    const unsigned digit = static_cast<unsigned>(text[i] - '0');
    if (magnitude > (UINT64_MAX - digit) / 10) return std::nullopt;
    magnitude = magnitude * 10 + digit;
  }
  if (negative) {
    if (magnitude > static_cast<std::uint64_t>(INT64_MAX) + 1) return std::nullopt;
    return magnitude == static_cast<std::uint64_t>(INT64_MAX) + 1 ? INT64_MIN : -static_cast<std::int64_t>(magnitude);
  }
  if (magnitude > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
  return static_cast<std::int64_t>(magnitude);
}

// Logical units are whole numbers at whole scales; those are written as
// integers, the rest in the shortest form that reads back the same.
OrderedJson number(double v) {
  if (v == std::floor(v) && std::fabs(v) < 9.0e15) return static_cast<std::int64_t>(v);
  return v;
}

OrderedJson rectJson(const desktop::LogicalRect& r) {
  OrderedJson j = OrderedJson::object();
  j["x"] = number(r.x);
  j["y"] = number(r.y);
  j["width"] = number(r.width);
  j["height"] = number(r.height);
  return j;
}

OrderedJson windowJson(const desktop::RawWindow& w, const desktop::DesktopGeometry& geometry,
                       const std::optional<std::string>& icon) {
  const desktop::LogicalRect r = geometry.toLogical(w.bounds);
  OrderedJson j = OrderedJson::object();
  j["id"] = w.id;
  j["owner"] = w.owner;
  j["name"] = w.name;
  j["x"] = number(r.x);
  j["y"] = number(r.y);
  j["width"] = number(r.width);
  j["height"] = number(r.height);
  j["layer"] = 0;
  j["pid"] = w.pid;
  if (w.bundlePath) j["bundlePath"] = *w.bundlePath;
  if (icon) j["appIcon"] = *icon;
  return j;
}

std::string rectKey(const desktop::LogicalRect& r) {
  return vantrel::json::encodeCompact(rectJson(r));
}

// The window's own icon, else the icon theme's for its class or program name.
std::optional<std::string> renderAppIcon(desktop::XConnection& x, const desktop::RawWindow& w,
                                         const std::vector<std::string>& dataDirs) {
  std::optional<desktop::RgbaImage> image;
  // A sandboxed application is shown by the icon its .desktop file names.
  if (w.sandbox) image = desktop::desktopFileIcon(w.sandbox->iconName.value_or(w.sandbox->appId), dataDirs);
  if (!image) image = desktop::windowIcon(x, w.id);
  if (!image) image = desktop::themeIcon(w.owner);
  if (!image && w.bundlePath) {
    image = desktop::themeIcon(w.bundlePath->substr(w.bundlePath->find_last_of('/') + 1));
  }
  if (!image) return std::nullopt;
  try {
    return desktop::pngDataUrl(desktop::encodePng(desktop::scaleImage(*image, kIconSide, kIconSide)));
  } catch (const desktop::DesktopError&) {
    return std::nullopt;  // an icon that cannot be encoded is left out
  }
}

void writeJson(const OrderedJson& value) {
  std::string text;
  try {
    text = vantrel::json::encodeCompact(value);
  } catch (const vantrel::json::EncodeError&) {
    return;  // nothing is written for a value that cannot be encoded
  }
  text += '\n';
  vantrel::writeAll(1, text);
}

int listWindows(bool includeIcons) {
  // Under Wayland, XWayland would list only the X11 applications: nothing is
  // listed rather than a partial list.
  auto x = desktop::openX11Desktop();
  std::vector<desktop::RawWindow> windows;
  desktop::DesktopGeometry geometry;
  if (x) {
    windows = desktop::listWindows(*x);
    geometry = desktop::desktopGeometry(*x);
  }
  const std::vector<std::string> dataDirs = includeIcons ? desktop::applicationDataDirs() : std::vector<std::string>();
  std::map<std::string, std::optional<std::string>> icons;  // by bundle path; the first window decides
  OrderedJson list = OrderedJson::array();
  for (const auto& w : windows) {
    std::optional<std::string> icon;
    if (includeIcons && w.bundlePath) {
      auto it = icons.find(*w.bundlePath);
      if (it == icons.end()) it = icons.emplace(*w.bundlePath, renderAppIcon(*x, w, dataDirs)).first;
      icon = it->second;
    }
    list.push_back(windowJson(w, geometry, icon));
  }
  writeJson(list);
  return 0;
}

// Polls at 30 Hz and writes a line whenever the frame (or its presence)
// changes. The scale and the primary monitor are read again every second, so
// a change of either moves the logical frame as well.
template <class Resolve, class ToJson>
int runWatchLoop(Resolve resolve, ToJson toJson) {
  auto x = desktop::openX11Desktop();
  std::optional<std::string> lastKey;
  desktop::DesktopGeometry geometry;
  int ticksSinceGeometry = 0;
  desktop::runTicking(0, std::chrono::nanoseconds(1'000'000'000 / 30), [&] {
    if (x && ticksSinceGeometry-- <= 0) {
      geometry = desktop::desktopGeometry(*x);
      ticksSinceGeometry = 30;
    }
    auto value = x ? resolve(*x) : std::nullopt;
    const std::string key = value ? rectKey(geometry.toLogical(value->bounds())) : "none";
    if (lastKey && *lastKey == key) return;
    lastKey = key;
    if (value) {
      writeJson(toJson(*value, geometry));
    } else {
      vantrel::writeAll(1, "null\n");
    }
  });
  return 0;
}

struct WatchedWindow {
  desktop::RawWindow window;
  const desktop::Rect& bounds() const { return window.bounds; }
};
struct WatchedDock {
  desktop::Rect rect;
  const desktop::Rect& bounds() const { return rect; }
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() >= 2 && args[0] == "--watch") {
    if (auto number = parseWindowNumber(args[1])) {
      // Numbers outside the 32-bit window id range name no window: null.
      const bool valid = *number >= 0 && *number <= 0xFFFFFFFFll;
      const auto id = static_cast<std::uint32_t>(valid ? *number : 0);
      return runWatchLoop(
          [&](desktop::XConnection& x) -> std::optional<WatchedWindow> {
            if (!valid) return std::nullopt;
            auto w = desktop::findWindow(x, id);
            if (!w) return std::nullopt;
            return WatchedWindow{std::move(*w)};
          },
          [](const WatchedWindow& w, const desktop::DesktopGeometry& g) { return windowJson(w.window, g, std::nullopt); });
    }
  }
  if (!args.empty() && args[0] == "--watch-dock") {
    return runWatchLoop(
        [](desktop::XConnection& x) -> std::optional<WatchedDock> {
          auto r = desktop::findDockBar(x);
          if (!r) return std::nullopt;
          return WatchedDock{*r};
        },
        [](const WatchedDock& d, const desktop::DesktopGeometry& g) { return rectJson(g.toLogical(d.rect)); });
  }
  bool includeIcons = false;
  for (const auto& a : args) includeIcons = includeIcons || a == "--icons";
  return listWindows(includeIcons);
}
