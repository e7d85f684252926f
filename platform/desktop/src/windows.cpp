#include "vantrel/desktop/windows.h"

#include <xcb/res.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <unistd.h>

#include "vantrel/common/files.h"
#include "vantrel/desktop/error.h"

namespace vantrel::desktop {

bool passesVisibilityFilter(const Rect& bounds, double alpha) {
  return bounds.width >= kMinimumWindowSide && bounds.height >= kMinimumWindowSide && !(alpha < kMinimumAlpha);
}

namespace {

// ICCCM WM_CLASS: instance name NUL class name NUL.
std::pair<std::string, std::string> wmClass(XConnection& x, xcb_window_t w) {
  auto bytes = x.property8(w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 1024);
  if (!bytes) return {};
  std::string all(bytes->begin(), bytes->end());
  const auto nul = all.find('\0');
  if (nul == std::string::npos) return {latin1ToUtf8(all), {}};
  std::string instance = all.substr(0, nul);
  std::string cls = all.substr(nul + 1);
  if (const auto end = cls.find('\0'); end != std::string::npos) cls.resize(end);
  return {latin1ToUtf8(instance), latin1ToUtf8(cls)};
}

std::string processName(std::int32_t pid) {
  if (pid <= 0) return {};
  auto comm = readWholeFile("/proc/" + std::to_string(pid) + "/comm");
  if (!comm) return {};
  while (!comm->empty() && (comm->back() == '\n' || comm->back() == '\0')) comm->pop_back();
  return *comm;
}

// The X-Resource extension knows the pid of local clients even when the
// application never set _NET_WM_PID.
std::int32_t resourcePid(XConnection& x, xcb_window_t w) {
  xcb_res_client_id_spec_t spec{w, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
  auto cookie = xcb_res_query_client_ids(x.raw(), 1, &spec);
  Reply<xcb_res_query_client_ids_reply_t> reply(xcb_res_query_client_ids_reply(x.raw(), cookie, nullptr));
  if (!reply) return 0;
  for (auto it = xcb_res_query_client_ids_ids_iterator(reply.get()); it.rem > 0; xcb_res_client_id_value_next(&it)) {
    if ((it.data->spec.mask & XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID) && xcb_res_client_id_value_value_length(it.data) >= 1) {
      return static_cast<std::int32_t>(*xcb_res_client_id_value_value(it.data));
    }
  }
  return 0;
}

bool isApplicationType(XConnection& x, xcb_window_t w) {
  static constexpr std::array<const char*, 2> accepted = {"_NET_WM_WINDOW_TYPE_NORMAL", "_NET_WM_WINDOW_TYPE_DIALOG"};
  static constexpr std::array<const char*, 12> rejected = {
      "_NET_WM_WINDOW_TYPE_DOCK",         "_NET_WM_WINDOW_TYPE_DESKTOP",       "_NET_WM_WINDOW_TYPE_TOOLBAR",
      "_NET_WM_WINDOW_TYPE_MENU",         "_NET_WM_WINDOW_TYPE_UTILITY",       "_NET_WM_WINDOW_TYPE_SPLASH",
      "_NET_WM_WINDOW_TYPE_DROPDOWN_MENU", "_NET_WM_WINDOW_TYPE_POPUP_MENU",   "_NET_WM_WINDOW_TYPE_TOOLTIP",
      "_NET_WM_WINDOW_TYPE_NOTIFICATION", "_NET_WM_WINDOW_TYPE_COMBO",         "_NET_WM_WINDOW_TYPE_DND"};
  // The first type this program knows decides; a window without one is normal.
  for (xcb_atom_t a : x.atoms(w, "_NET_WM_WINDOW_TYPE")) {
    for (const char* name : accepted) {
      if (a == x.atom(name)) return true;
    }
    for (const char* name : rejected) {
      if (a == x.atom(name)) return false;
    }
  }
  return true;
}

bool hasType(XConnection& x, xcb_window_t w, const char* type) {
  const xcb_atom_t wanted = x.atom(type);
  for (xcb_atom_t a : x.atoms(w, "_NET_WM_WINDOW_TYPE")) {
    if (a == wanted) return true;
  }
  return false;
}

bool isViewable(XConnection& x, xcb_window_t w) {
  Reply<xcb_get_window_attributes_reply_t> attrs(
      xcb_get_window_attributes_reply(x.raw(), xcb_get_window_attributes(x.raw(), w), nullptr));
  return attrs && attrs->map_state == XCB_MAP_STATE_VIEWABLE;
}

bool isHidden(XConnection& x, xcb_window_t w) {
  const xcb_atom_t hidden = x.atom("_NET_WM_STATE_HIDDEN");
  for (xcb_atom_t a : x.atoms(w, "_NET_WM_STATE")) {
    if (a == hidden) return true;
  }
  return false;
}

struct Extents {
  int left = 0, right = 0, top = 0, bottom = 0;
};

// X coordinates are 16-bit; margins beyond that are a client's mistake.
constexpr int kMaxSide = 32767;

std::optional<Extents> frameExtents(XConnection& x, xcb_window_t w, std::string_view property) {
  auto values = x.property32(w, x.atom(property), XCB_ATOM_CARDINAL, 4);
  if (!values || values->size() != 4) return std::nullopt;
  for (std::uint32_t v : *values) {
    if (v > static_cast<std::uint32_t>(kMaxSide)) return std::nullopt;
  }
  return Extents{static_cast<int>((*values)[0]), static_cast<int>((*values)[1]), static_cast<int>((*values)[2]),
                 static_cast<int>((*values)[3])};
}

// The visible frame in root coordinates, or nothing when the window is gone.
std::optional<Rect> frameBounds(XConnection& x, xcb_window_t w) {
  Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(x.raw(), xcb_get_geometry(x.raw(), w), nullptr));
  if (!geometry) return std::nullopt;
  Reply<xcb_translate_coordinates_reply_t> origin(
      xcb_translate_coordinates_reply(x.raw(), xcb_translate_coordinates(x.raw(), w, x.root(), 0, 0), nullptr));
  if (!origin) return std::nullopt;
  Rect r{origin->dst_x, origin->dst_y, geometry->width, geometry->height};
  // The window manager's decoration lies outside the client; a client that
  // draws its own frame keeps invisible shadow margins inside its window.
  // Either property may be absent or nonsense; a margin that would leave no
  // window (or an absurd one) is ignored rather than trusted.
  if (auto e = frameExtents(x, w, "_NET_FRAME_EXTENTS")) {
    const Rect grown{r.x - e->left, r.y - e->top, r.width + e->left + e->right, r.height + e->top + e->bottom};
    if (grown.width <= kMaxSide && grown.height <= kMaxSide) r = grown;
  }
  if (auto e = frameExtents(x, w, "_GTK_FRAME_EXTENTS")) {
    const Rect shrunk{r.x + e->left, r.y + e->top, r.width - e->left - e->right, r.height - e->top - e->bottom};
    if (shrunk.width > 0 && shrunk.height > 0) r = shrunk;
  }
  return r;
}

// Reads one application window; nothing when it is not visible, not an
// application window or filtered out.
std::optional<RawWindow> readWindow(XConnection& x, xcb_window_t w) {
  if (!isViewable(x, w) || isHidden(x, w) || !isApplicationType(x, w)) return std::nullopt;
  auto bounds = frameBounds(x, w);
  if (!bounds) return std::nullopt;
  RawWindow info;
  info.id = w;
  info.bounds = *bounds;
  if (auto opacity = x.cardinal(w, "_NET_WM_WINDOW_OPACITY")) info.alpha = *opacity / 4294967295.0;
  if (!passesVisibilityFilter(info.bounds, info.alpha)) return std::nullopt;
  // The server knows which process owns the client's connection; the
  // property is what the client says, which inside a sandbox (Flatpak) is a
  // pid of another pid namespace. The property counts only when the server
  // cannot tell (a client on another machine, a server without X-Resource).
  info.pid = resourcePid(x, w);
  if (info.pid <= 0) {
    if (auto pid = x.cardinal(w, "_NET_WM_PID"); pid && *pid > 0 && *pid <= 0x7fffffffu) {
      info.pid = static_cast<std::int32_t>(*pid);
    }
  }
  auto [instance, cls] = wmClass(x, w);
  info.owner = !cls.empty() ? cls : processName(info.pid);
  if (auto name = x.text(w, "_NET_WM_NAME")) {
    info.name = *name;
  } else if (auto legacy = x.text(w, "WM_NAME")) {
    info.name = *legacy;
  }
  return info;
}

// _NET_WM_PID is only meaningful on the machine the client runs on; a client
// that names another machine in WM_CLIENT_MACHINE has no local executable.
bool runsOnThisMachine(XConnection& x, xcb_window_t w) {
  auto machine = x.text(w, "WM_CLIENT_MACHINE");
  if (!machine || machine->empty()) return true;
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0) return true;
  return *machine == host;
}

std::vector<xcb_window_t> stackingOrder(XConnection& x) {
  auto clients = x.property32(x.root(), x.atom("_NET_CLIENT_LIST_STACKING"), XCB_ATOM_WINDOW);
  if (!clients) clients = x.property32(x.root(), x.atom("_NET_CLIENT_LIST"), XCB_ATOM_WINDOW);
  if (!clients) return {};
  // The property lists bottom to top; callers want the front-most first.
  return std::vector<xcb_window_t>(clients->rbegin(), clients->rend());
}

}  // namespace

std::vector<RawWindow> listWindows(XConnection& x) {
  x.drainEvents();
  const std::vector<std::string> dataDirs = applicationDataDirs();
  std::vector<RawWindow> out;
  for (xcb_window_t w : stackingOrder(x)) {
    auto info = readWindow(x, w);
    if (!info) continue;
    if (runsOnThisMachine(x, w) && info->pid > 0) {
      if (auto app = sandboxedApp("/proc/" + std::to_string(info->pid), dataDirs)) {
        // A sandbox's executable says nothing about the application: the
        // exported .desktop file does, and without one there is no path.
        if (app->desktopFile) {
          info->bundlePath = *app->desktopFile;
          info->bundleSource = BundleSource::DesktopFile;
        }
        info->sandbox = std::move(*app);
      } else if (auto exe = processExecutable(info->pid)) {
        info->bundlePath = *exe;
        info->bundleSource = BundleSource::Executable;
      }
    }
    out.push_back(std::move(*info));
  }
  return out;
}

std::optional<RawWindow> findWindow(XConnection& x, std::uint32_t id) {
  x.drainEvents();
  if (id == 0) return std::nullopt;
  return readWindow(x, id);
}

std::optional<Rect> findDockBar(XConnection& x) {
  x.drainEvents();
  // Panels may be left out of the client list by some window managers, so the
  // root's children are searched as well.
  std::vector<xcb_window_t> candidates = stackingOrder(x);
  Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(x.raw(), xcb_query_tree(x.raw(), x.root()), nullptr));
  if (tree) {
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    for (int i = xcb_query_tree_children_length(tree.get()) - 1; i >= 0; --i) candidates.push_back(children[i]);
  }
  for (xcb_window_t w : candidates) {
    if (hasType(x, w, "_NET_WM_WINDOW_TYPE_DOCK") && isViewable(x, w)) {
      if (auto r = frameBounds(x, w)) return r;
    }
  }
  return std::nullopt;
}

std::optional<RgbaImage> windowIcon(XConnection& x, std::uint32_t window) {
  auto data = x.property32(window, x.atom("_NET_WM_ICON"), XCB_ATOM_CARDINAL, 1u << 22);
  if (!data) return std::nullopt;
  // The property is a sequence of (width, height, width*height ARGB pixels).
  std::size_t best = 0, bestArea = 0, pos = 0;
  while (pos + 2 <= data->size()) {
    const std::uint64_t w = (*data)[pos], h = (*data)[pos + 1];
    if (w == 0 || h == 0 || w > 4096 || h > 4096 || pos + 2 + w * h > data->size()) break;
    if (w * h > bestArea) {
      bestArea = w * h;
      best = pos;
    }
    pos += 2 + w * h;
  }
  if (bestArea == 0) return std::nullopt;
  RgbaImage icon;
  icon.width = static_cast<int>((*data)[best]);
  icon.height = static_cast<int>((*data)[best + 1]);
  icon.pixels.resize(bestArea * 4);
  for (std::size_t i = 0; i < bestArea; ++i) {
    const std::uint32_t argb = (*data)[best + 2 + i];
    icon.pixels[i * 4 + 0] = static_cast<std::uint8_t>(argb >> 16);
    icon.pixels[i * 4 + 1] = static_cast<std::uint8_t>(argb >> 8);
    icon.pixels[i * 4 + 2] = static_cast<std::uint8_t>(argb);
    icon.pixels[i * 4 + 3] = static_cast<std::uint8_t>(argb >> 24);
  }
  return icon;
}

std::optional<RgbaImage> themeIcon(const std::string& applicationName) {
  if (applicationName.empty() || applicationName.find('/') != std::string::npos) return std::nullopt;
  std::string lower = applicationName;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  static constexpr std::array<const char*, 8> sizes = {"64x64", "128x128", "96x96", "256x256",
                                                       "512x512", "48x48", "32x32", "scalable"};
  std::vector<std::string> candidates;
  for (const char* size : sizes) candidates.push_back(std::string("/usr/share/icons/hicolor/") + size + "/apps/" + lower + ".png");
  candidates.push_back("/usr/share/pixmaps/" + lower + ".png");
  for (const auto& path : candidates) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) continue;
    try {
      return decodePngFile(path);
    } catch (const DesktopError&) {
      // A broken theme file is the same as none: try the next size.
    }
  }
  return std::nullopt;
}

namespace {

// A small text file, read whole; nothing when it is missing, unreadable or
// larger than `maxBytes` (a .desktop file or an info file is a few KiB).
std::optional<std::string> readSmallFile(const std::string& path, std::size_t maxBytes = 1u << 16) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return std::nullopt;
  std::string text(maxBytes + 1, '\0');
  const std::size_t n = std::fread(text.data(), 1, text.size(), f);
  std::fclose(f);
  if (n > maxBytes) return std::nullopt;
  text.resize(n);
  return text;
}

// The value of `key` in `group` of a key file (.desktop, .flatpak-info);
// localized keys (Name[de]) are other keys.
std::optional<std::string> keyFileValue(std::string_view text, std::string_view group, std::string_view key) {
  bool inGroup = false;
  while (!text.empty()) {
    const auto nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[') {
      inGroup = line == "[" + std::string(group) + "]";
      continue;
    }
    if (!inGroup) continue;
    const auto eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    std::string_view name = line.substr(0, eq);
    while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
    if (name != key) continue;
    std::string_view value = line.substr(eq + 1);
    while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    return std::string(value);
  }
  return std::nullopt;
}

// Application ids are reverse-DNS names; anything else (a path, "..") is not
// used to build file names.
bool isSafeId(std::string_view id) {
  if (id.empty() || id.size() > 255 || id.front() == '.') return false;
  for (char c : id) {
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-' || c == '+')) return false;
  }
  return id.find("..") == std::string_view::npos;
}

void findDesktopFile(SandboxedApp& app, const std::vector<std::string>& dataDirs) {
  for (const auto& dir : dataDirs) {
    const std::string path = dir + "/applications/" + app.appId + ".desktop";
    auto text = readSmallFile(path);
    if (!text) continue;
    app.desktopFile = path;
    if (auto icon = keyFileValue(*text, "Desktop Entry", "Icon"); icon && !icon->empty()) app.iconName = *icon;
    return;
  }
}

}  // namespace

std::optional<SandboxedApp> sandboxedApp(const std::string& procDir, const std::vector<std::string>& dataDirs) {
  SandboxedApp app;
  if (auto info = readSmallFile(procDir + "/root/.flatpak-info")) {
    auto name = keyFileValue(*info, "Application", "name");
    if (!name || !isSafeId(*name)) return std::nullopt;
    app.appId = *name;
  } else if (auto cgroups = readSmallFile(procDir + "/cgroup")) {
    // systemd puts a snap's processes in "snap.<snap>.<app>-<uuid>.scope"
    // (or ".service"); its desktop file is "<snap>_<app>.desktop".
    const auto at = cgroups->find("/snap.");
    if (at == std::string::npos) return std::nullopt;
    std::string_view unit(*cgroups);
    unit = unit.substr(at + 6);
    unit = unit.substr(0, unit.find_first_of("/\n"));
    const auto dot = unit.find('.');
    if (dot == std::string_view::npos) return std::nullopt;
    std::string_view snap = unit.substr(0, dot), rest = unit.substr(dot + 1);
    std::string_view appName = rest.substr(0, rest.find_first_of(".-"));
    if (appName.empty()) appName = snap;
    app.appId = std::string(snap) + "_" + std::string(appName);
    if (!isSafeId(app.appId)) return std::nullopt;
  } else {
    return std::nullopt;
  }
  findDesktopFile(app, dataDirs);
  return app;
}

std::vector<std::string> applicationDataDirs() {
  std::vector<std::string> dirs;
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  const char* home = std::getenv("HOME");
  std::string userData = dataHome && *dataHome ? dataHome : (home && *home ? std::string(home) + "/.local/share" : "");
  if (!userData.empty()) {
    dirs.push_back(userData + "/flatpak/exports/share");
    dirs.push_back(userData);
  }
  dirs.push_back("/var/lib/flatpak/exports/share");
  dirs.push_back("/var/lib/snapd/desktop");
  const char* dataDirs = std::getenv("XDG_DATA_DIRS");
  std::string_view list = dataDirs && *dataDirs ? dataDirs : "/usr/local/share:/usr/share";
  while (!list.empty()) {
    const auto colon = list.find(':');
    std::string_view dir = list.substr(0, colon);
    list = colon == std::string_view::npos ? std::string_view() : list.substr(colon + 1);
    if (!dir.empty() && dir.front() == '/') dirs.emplace_back(dir);
  }
  return dirs;
}

std::optional<RgbaImage> desktopFileIcon(const std::string& iconName, const std::vector<std::string>& dataDirs) {
  auto decode = [](const std::string& path) -> std::optional<RgbaImage> {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return std::nullopt;
    try {
      return decodePngFile(path);
    } catch (const DesktopError&) {
      return std::nullopt;  // a broken icon file is the same as none
    }
  };
  if (!iconName.empty() && iconName.front() == '/') {
    if (iconName.size() > 4 && iconName.compare(iconName.size() - 4, 4, ".png") == 0) return decode(iconName);
    return std::nullopt;
  }
  if (!isSafeId(iconName)) return std::nullopt;
  static constexpr std::array<const char*, 7> sizes = {"64x64", "128x128", "96x96", "256x256", "512x512", "48x48", "32x32"};
  for (const auto& dir : dataDirs) {
    for (const char* size : sizes) {
      if (auto icon = decode(dir + "/icons/hicolor/" + size + "/apps/" + iconName + ".png")) return icon;
    }
  }
  return decode("/usr/share/pixmaps/" + iconName + ".png");
}

std::optional<std::string> processExecutable(std::int32_t pid) {
  if (pid <= 0) return std::nullopt;
  std::error_code ec;
  auto target = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec);
  if (ec || target.empty()) return std::nullopt;
  return target.string();
}

}  // namespace vantrel::desktop
