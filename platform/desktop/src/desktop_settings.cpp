#include "vantrel/desktop/desktop_settings.h"

#include <gio/gio.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <vector>

namespace vantrel::desktop {

namespace {

struct GObjectUnref {
  void operator()(gpointer p) const noexcept { g_object_unref(p); }
};
template <class T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

struct GFreeDeleter {
  void operator()(gpointer p) const noexcept { g_free(p); }
};

std::string lower(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
  return out;
}

std::string environmentOr(const char* name, std::string fallback) {
  const char* value = std::getenv(name);
  return value && *value ? std::string(value) : fallback;
}

std::string configHome() {
  const char* home = std::getenv("HOME");
  return environmentOr("XDG_CONFIG_HOME", home && *home ? std::string(home) + "/.config" : std::string());
}

// Settings files are small; anything larger is not read.
std::optional<std::string> readBounded(const std::string& path, std::size_t maxBytes = 4u << 20) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return std::nullopt;
  std::string text(maxBytes + 1, '\0');
  const std::size_t n = std::fread(text.data(), 1, text.size(), f);
  std::fclose(f);
  if (n > maxBytes) return std::nullopt;
  text.resize(n);
  return text;
}

std::optional<std::string> stringSetting(GSettings* settings, GSettingsSchema* schema, const char* key) {
  if (!g_settings_schema_has_key(schema, key)) return std::nullopt;
  GVariant* value = g_settings_get_value(settings, key);
  std::optional<std::string> out;
  if (g_variant_is_of_type(value, G_VARIANT_TYPE_STRING)) out = g_variant_get_string(value, nullptr);
  g_variant_unref(value);
  return out;
}

// The settings object of an installed schema; nothing when the schema is not
// installed (g_settings_new would abort the process).
std::pair<GObjectPtr<GSettings>, GSettingsSchema*> openSchema(const char* id) {
  GSettingsSchemaSource* source = g_settings_schema_source_get_default();
  if (source == nullptr) return {nullptr, nullptr};
  GSettingsSchema* schema = g_settings_schema_source_lookup(source, id, TRUE);
  if (schema == nullptr) return {nullptr, nullptr};
  GObjectPtr<GSettings> settings(g_settings_new_full(schema, nullptr, nullptr));
  return {std::move(settings), schema};
}

// The first picture of a GNOME slide show: <static><file>path</file> or, for
// pictures offered in several sizes, the first <size ...>path</size>.
std::optional<std::string> firstSlideShowPicture(const std::string& xmlPath) {
  auto text = readBounded(xmlPath, 1u << 20);
  if (!text) return std::nullopt;
  for (const char* open : {"<file>", "<size "}) {
    auto at = text->find(open);
    if (at == std::string::npos) continue;
    at = text->find('>', at);
    if (at == std::string::npos) continue;
    const auto end = text->find('<', at + 1);
    if (end == std::string::npos) continue;
    std::string path = text->substr(at + 1, end - at - 1);
    path.erase(0, path.find_first_not_of(" \t\r\n"));
    path.erase(path.find_last_not_of(" \t\r\n") + 1);
    if (!path.empty() && path.front() == '/') return path;
  }
  return std::nullopt;
}

ConfiguredWallpaper gsettingsWallpaper(const char* schemaId, const char* key, bool isPath) {
  auto [settings, schema] = openSchema(schemaId);
  if (!settings) return {};
  ConfiguredWallpaper result;
  if (stringSetting(settings.get(), schema, "picture-options") != std::optional<std::string>("none")) {
    std::optional<std::string> address = stringSetting(settings.get(), schema, key);
    if (std::string_view(schemaId) == "org.gnome.desktop.background") {
      auto [interface, interfaceSchema] = openSchema("org.gnome.desktop.interface");
      if (interface && stringSetting(interface.get(), interfaceSchema, "color-scheme") == std::optional<std::string>("prefer-dark")) {
        if (auto dark = stringSetting(settings.get(), schema, "picture-uri-dark"); dark && !dark->empty()) address = dark;
      }
      if (interfaceSchema) g_settings_schema_unref(interfaceSchema);
    }
    if (address) {
      result = isPath ? (address->empty() ? ConfiguredWallpaper{}
                                          : ConfiguredWallpaper{ConfiguredWallpaper::Kind::File, *address})
                      : wallpaperFromAddress(*address);
    }
  }
  g_settings_schema_unref(schema);
  if (result.kind == ConfiguredWallpaper::Kind::File && result.path.size() > 4 &&
      result.path.compare(result.path.size() - 4, 4, ".xml") == 0) {
    if (auto picture = firstSlideShowPicture(result.path)) result.path = *picture;
  }
  return result;
}

std::string xmlUnescape(std::string_view s) {
  static const std::pair<std::string_view, char> entities[] = {
      {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
  std::string out;
  for (std::size_t i = 0; i < s.size();) {
    bool matched = false;
    if (s[i] == '&') {
      for (const auto& [entity, c] : entities) {
        if (s.substr(i, entity.size()) == entity) {
          out.push_back(c);
          i += entity.size();
          matched = true;
          break;
        }
      }
    }
    if (!matched) out.push_back(s[i++]);
  }
  return out;
}

std::optional<std::string> xmlAttribute(std::string_view tag, std::string_view name) {
  const std::string needle = " " + std::string(name) + "=\"";
  const auto at = tag.find(needle);
  if (at == std::string_view::npos) return std::nullopt;
  const auto start = at + needle.size();
  const auto end = tag.find('"', start);
  if (end == std::string_view::npos) return std::nullopt;
  return xmlUnescape(tag.substr(start, end - start));
}

}  // namespace

DesktopEnvironment desktopEnvironmentFromNames(std::string_view currentDesktop, std::string_view desktopSession) {
  auto known = [](const std::string& name) -> std::optional<DesktopEnvironment> {
    if (name == "gnome" || name == "gnome-classic" || name == "gnome-flashback" || name == "ubuntu" || name == "unity" ||
        name == "pop") {
      return DesktopEnvironment::Gnome;
    }
    if (name == "budgie" || name == "budgie-desktop") return DesktopEnvironment::Budgie;
    if (name == "x-cinnamon" || name == "cinnamon") return DesktopEnvironment::Cinnamon;
    if (name == "mate") return DesktopEnvironment::Mate;
    if (name == "kde" || name == "plasma" || name == "plasmawayland") return DesktopEnvironment::Kde;
    if (name == "xfce" || name == "xfce4") return DesktopEnvironment::Xfce;
    return std::nullopt;
  };
  std::string_view list = currentDesktop;
  while (!list.empty()) {
    const auto colon = list.find(':');
    if (auto e = known(lower(list.substr(0, colon)))) return *e;
    list = colon == std::string_view::npos ? std::string_view() : list.substr(colon + 1);
  }
  return known(lower(desktopSession)).value_or(DesktopEnvironment::Other);
}

DesktopEnvironment currentDesktopEnvironment() {
  return desktopEnvironmentFromNames(environmentOr("XDG_CURRENT_DESKTOP", ""), environmentOr("DESKTOP_SESSION", ""));
}

ConfiguredWallpaper wallpaperFromAddress(std::string_view address) {
  if (address.empty()) return {};
  if (address.front() == '/') return {ConfiguredWallpaper::Kind::File, std::string(address)};
  const std::string text(address);
  std::unique_ptr<gchar, GFreeDeleter> path(g_filename_from_uri(text.c_str(), nullptr, nullptr));
  if (!path) return {ConfiguredWallpaper::Kind::NotLocal, {}};
  return {ConfiguredWallpaper::Kind::File, path.get()};
}

ConfiguredWallpaper plasmaWallpaper(std::string_view appletsrc) {
  // Groups are written [Containments][7][Wallpaper][org.kde.image][General].
  std::map<std::string, std::map<std::string, std::string>> groups;
  std::string group;
  while (!appletsrc.empty()) {
    const auto nl = appletsrc.find('\n');
    std::string_view line = appletsrc.substr(0, nl);
    appletsrc = nl == std::string_view::npos ? std::string_view() : appletsrc.substr(nl + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[') {
      group = std::string(line);
      continue;
    }
    const auto eq = line.find('=');
    if (eq != std::string_view::npos) groups[group][std::string(line.substr(0, eq))] = std::string(line.substr(eq + 1));
  }
  // The desktop containment of screen 0 (Plasma's primary screen) that shows
  // a picture; a containment without lastScreen is a panel or an orphan.
  for (const auto& [name, keys] : groups) {
    static constexpr std::string_view prefix = "[Containments][";
    if (name.rfind(prefix, 0) != 0 || name.find(']', prefix.size()) != name.size() - 1) continue;
    const auto screen = keys.find("lastScreen");
    if (screen == keys.end() || screen->second != "0") continue;
    if (const auto activity = keys.find("activityId"); activity != keys.end() && activity->second.empty()) continue;
    const auto plugin = keys.find("wallpaperplugin");
    if (plugin != keys.end() && plugin->second != "org.kde.image") continue;
    const auto image = groups.find(name + "[Wallpaper][org.kde.image][General]");
    if (image == groups.end()) continue;
    const auto value = image->second.find("Image");
    if (value == image->second.end()) continue;
    return wallpaperFromAddress(value->second);
  }
  return {};
}

ConfiguredWallpaper xfceWallpaper(std::string_view xml, const std::string& primaryOutput) {
  std::vector<std::string> stack;
  std::optional<std::string> primaryImage, firstImage;
  std::map<std::string, std::string> styles;  // monitor path -> image-style
  for (std::size_t at = xml.find('<'); at != std::string_view::npos; at = xml.find('<', at + 1)) {
    const auto end = xml.find('>', at);
    if (end == std::string_view::npos) break;
    const std::string_view tag = xml.substr(at, end - at + 1);
    if (tag.rfind("</property", 0) == 0) {
      if (!stack.empty()) stack.pop_back();
      continue;
    }
    if (tag.rfind("<property ", 0) != 0) continue;
    const std::string name = xmlAttribute(tag, "name").value_or("");
    const bool selfClosing = tag.size() >= 2 && tag[tag.size() - 2] == '/';
    // backdrop / screen0 / monitorNAME / workspace0 / last-image
    if (stack.size() == 4 && stack[0] == "backdrop" && stack[1] == "screen0" && stack[2].rfind("monitor", 0) == 0 &&
        stack[3] == "workspace0") {
      const auto value = xmlAttribute(tag, "value");
      if (name == "last-image" && value && !value->empty()) {
        if (!firstImage) firstImage = value;
        if (!primaryOutput.empty() && stack[2] == "monitor" + primaryOutput) primaryImage = value;
      }
      if (name == "image-style" && value) styles[stack[2]] = *value;
    }
    if (!selfClosing) stack.push_back(name);
    if (stack.size() > 64) return {};
  }
  std::optional<std::string> image = primaryImage ? primaryImage : firstImage;
  if (!image) return {};
  return wallpaperFromAddress(*image);
}

ConfiguredWallpaper configuredWallpaper(DesktopEnvironment environment, const std::string& primaryOutput) {
  switch (environment) {
    case DesktopEnvironment::Gnome:
    case DesktopEnvironment::Budgie:
      return gsettingsWallpaper("org.gnome.desktop.background", "picture-uri", false);
    case DesktopEnvironment::Cinnamon:
      return gsettingsWallpaper("org.cinnamon.desktop.background", "picture-uri", false);
    case DesktopEnvironment::Mate:
      return gsettingsWallpaper("org.mate.background", "picture-filename", true);
    case DesktopEnvironment::Kde: {
      auto text = readBounded(configHome() + "/plasma-org.kde.plasma.desktop-appletsrc");
      return text ? plasmaWallpaper(*text) : ConfiguredWallpaper{};
    }
    case DesktopEnvironment::Xfce: {
      auto text = readBounded(configHome() + "/xfce4/xfconf/xfce-perchannel-xml/xfce4-desktop.xml");
      return text ? xfceWallpaper(*text, primaryOutput) : ConfiguredWallpaper{};
    }
    case DesktopEnvironment::Other:
      break;
  }
  return {};
}

bool screenCastPortalAvailable(std::chrono::milliseconds timeout) {
  // The bus address is taken only from where a session puts it: GIO would
  // otherwise autolaunch a bus of its own through X11.
  std::string address = environmentOr("DBUS_SESSION_BUS_ADDRESS", "");
  if (address.empty()) {
    const std::string runtime = environmentOr("XDG_RUNTIME_DIR", "");
    struct stat st {};
    if (runtime.empty() || ::stat((runtime + "/bus").c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return false;
    address = "unix:path=" + runtime + "/bus";
  }
  GError* error = nullptr;
  GObjectPtr<GDBusConnection> bus(g_dbus_connection_new_for_address_sync(
      address.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &error));
  if (!bus) {
    g_clear_error(&error);
    return false;
  }
  GVariant* reply = g_dbus_connection_call_sync(
      bus.get(), "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop", "org.freedesktop.DBus.Properties",
      "Get", g_variant_new("(ss)", "org.freedesktop.portal.ScreenCast", "AvailableSourceTypes"),
      G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NONE, static_cast<gint>(timeout.count()), nullptr, &error);
  if (reply == nullptr) {
    g_clear_error(&error);
    return false;
  }
  GVariant* value = nullptr;
  g_variant_get(reply, "(v)", &value);
  const bool available = g_variant_is_of_type(value, G_VARIANT_TYPE_UINT32) && g_variant_get_uint32(value) != 0;
  g_variant_unref(value);
  g_variant_unref(reply);
  return available;
}

}  // namespace vantrel::desktop
