// The helpers on the desktops people run: scaled X11 desktops with several
// monitors, client-drawn frames, sandboxed clients, a grabbed server,
// Wayland sessions and desktop-environment wallpapers.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "helpers.h"
#include "vantrel/desktop/image.h"

namespace vantrel::testing {
namespace {

using json = nlohmann::ordered_json;

struct Window {
  std::unique_ptr<Child> child;
  std::string id;
};

Window openWindow(const DesktopSession& desktop, std::vector<std::string> args) {
  args.insert(args.begin(), VANTREL_TEST_WINDOW);
  Window w{desktop.start(args), ""};
  auto ready = w.child->readLine();
  if (!ready || ready->rfind("ready ", 0) != 0) throw std::runtime_error("test window did not come up");
  w.id = ready->substr(6);
  return w;
}

void run(const DesktopSession& desktop, const std::vector<std::string>& argv) {
  const ProcessResult r = desktop.run(argv);
  ASSERT_EQ(r.exitStatus, 0) << argv[0] << ": " << r.err;
}

// Numbers after "label" in a tool's output ("Absolute upper-left X:  100").
int numberAfter(const std::string& text, const std::string& label) {
  const auto at = text.find(label);
  if (at == std::string::npos) throw std::runtime_error("no " + label + " in " + text);
  return std::stoi(text.substr(at + label.size()));
}

// A 200 % desktop whose primary monitor is the right half of the screen: the
// window's visible frame (the window manager's frame minus the client's own
// shadow margins) in units of half a pixel from the primary monitor's corner;
// its pid from the server, not from the _NET_WM_PID the client wrote.
TEST(DesktopKinds, ScaledDesktopReportsLogicalUnitsFromThePrimaryMonitor) {
  DesktopSession desktop({.audio = false, .windowManager = true, .dpi = 192});
  run(desktop, {"xrandr", "--setmonitor", "*RIGHT", "960/254x1080/286+960+0", "none"});
  run(desktop, {"xrandr", "--setmonitor", "LEFT", "960/254x1080/286+0+0", "none"});
  Window w = openWindow(desktop, {"--title", "Client drawn", "--size", "400x300", "--gtk-frame-extents", "10,20,30,40",
                                  "--pid", "4242"});
  run(desktop, {"xdotool", "windowmove", "--sync", w.id, "1200", "200"});

  json entry;
  ASSERT_TRUE(waitUntil([&] {
    const json list = json::parse(desktop.run({WINDOW_BOUNDS_HELPER}).out);
    for (const auto& e : list) {
      if (std::to_string(e["id"].get<std::uint32_t>()) == w.id) entry = e;
    }
    return entry.is_object();
  }));
  const std::string info = desktop.run({"xwininfo", "-id", w.id}).out;
  const int clientX = numberAfter(info, "Absolute upper-left X:"), clientY = numberAfter(info, "Absolute upper-left Y:");
  const std::string extentsText = desktop.run({"xprop", "-id", w.id, "_NET_FRAME_EXTENTS"}).out;
  std::vector<int> frame;  // left, right, top, bottom
  std::stringstream s(extentsText.substr(extentsText.find('=') + 1));
  for (std::string item; std::getline(s, item, ',');) frame.push_back(std::stoi(item));
  ASSERT_EQ(frame.size(), 4u) << extentsText;

  const double x = clientX - frame[0] + 10, y = clientY - frame[2] + 30;
  const double width = 400 + frame[0] + frame[1] - 30, height = 300 + frame[2] + frame[3] - 70;
  EXPECT_DOUBLE_EQ(entry["x"].get<double>(), (x - 960) / 2) << entry.dump();
  EXPECT_DOUBLE_EQ(entry["y"].get<double>(), y / 2);
  EXPECT_DOUBLE_EQ(entry["width"].get<double>(), width / 2);
  EXPECT_DOUBLE_EQ(entry["height"].get<double>(), height / 2);
  EXPECT_EQ(entry["pid"], w.child->pid()) << "the lie in _NET_WM_PID wins";
  EXPECT_EQ(entry["bundlePath"], std::filesystem::canonical(VANTREL_TEST_WINDOW).string());

  // The watch speaks the same units; the dock spans both monitors, so it
  // starts half a screen left of the primary monitor.
  auto watch = desktop.start({WINDOW_BOUNDS_HELPER, "--watch", w.id});
  const json watched = json::parse(watch->readLine().value_or("null"));
  for (const char* key : {"x", "y", "width", "height"}) EXPECT_EQ(watched[key], entry[key]) << key;
  // tint2 rebuilds its panel when the monitors change, so the dock may be
  // missing ("null") for a moment; the watch reports it again once it is back.
  auto dock = desktop.start({WINDOW_BOUNDS_HELPER, "--watch-dock"});
  json bar;
  for (int line = 0; line < 3 && !bar.is_object(); ++line) bar = json::parse(dock->readLine().value_or("null"));
  ASSERT_TRUE(bar.is_object());
  EXPECT_EQ(bar["x"], -480);
  EXPECT_EQ(bar["width"], 960);
  EXPECT_EQ(bar["y"].get<double>() + bar["height"].get<double>(), 540);
  for (Child* c : {watch.get(), dock.get()}) {
    c->write("stop\n");
    EXPECT_EQ(c->wait(), 0);
  }
}

// A client that grabs the server freezes every other client's requests; the
// long-running helpers still stop at once.
TEST(DesktopKinds, StopIsHeardWhileTheServerIsGrabbed) {
  DesktopSession desktop({.audio = false, .windowManager = false});
  run(desktop, {"xsetroot", "-cursor_name", "hand2"});
  Window target = openWindow(desktop, {"--title", "Target"});
  auto cursor = desktop.start({CURSOR_TYPE_HELPER});
  auto mouse = desktop.start({MOUSE_BUTTON_TRACKER});
  auto watch = desktop.start({WINDOW_BOUNDS_HELPER, "--watch", target.id});
  for (Child* c : {cursor.get(), mouse.get(), watch.get()}) ASSERT_TRUE(c->readLine()) << c->errorOutput();

  auto input = desktop.start({INPUT_EVENT_HELPER});

  Window grabber = openWindow(desktop, {"--title", "Grabber", "--grab-server", "1"});
  ASSERT_EQ(grabber.child->readLine(), "grabbed");
  input->write("{\"type\":\"click\"}\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // every helper is now stuck in a request
  for (Child* c : {cursor.get(), mouse.get(), watch.get(), input.get()}) c->write("stop\n");
  for (Child* c : {cursor.get(), mouse.get(), watch.get(), input.get()}) EXPECT_EQ(c->wait(std::chrono::seconds(2)), 0);
}

// Under Wayland XWayland sees only X11 clients: the helpers answer "nothing
// available" instead of a partial view, and the permission comes from the
// screen-cast portal, which this bus does not have.
TEST(DesktopKinds, WaylandSessionsGetHonestAnswers) {
  DesktopSession desktop({.audio = false, .windowManager = true, .dbus = true});
  const std::string picture = desktop.scratch("root.png");
  ASSERT_EQ(runProcess({"/usr/bin/convert", "-size", "1920x1080", "xc:#3060a0", picture}).exitStatus, 0);
  run(desktop, {"hsetroot", "-fill", picture});
  Window w = openWindow(desktop, {"--title", "X11 client"});
  ASSERT_EQ(desktop.run({SCREEN_PERMISSION_HELPER}).out, "granted\n") << "the same desktop as X11";

  for (const std::string marker : {"WAYLAND_DISPLAY=wayland-vantrel", "XDG_SESSION_TYPE=wayland"}) {
    auto oneShot = [&](const std::vector<std::string>& argv) {
      auto c = desktop.start(argv, {marker});
      c->closeInput();
      const std::string out = c->readAll();
      EXPECT_EQ(c->wait(), argv[0] == DESKTOP_WALLPAPER ? 1 : 0) << argv[0];
      return out;
    };
    EXPECT_EQ(oneShot({SCREEN_PERMISSION_HELPER}), "denied\n") << marker;
    EXPECT_EQ(oneShot({WINDOW_BOUNDS_HELPER, "--icons"}), "[]\n") << marker;
    EXPECT_EQ(oneShot({DESKTOP_WALLPAPER, desktop.scratch("w.png")}),
              "{\"error\":\"No desktop wallpaper image is available.\"}\n");

    auto watch = desktop.start({WINDOW_BOUNDS_HELPER, "--watch", w.id}, {marker});
    auto dock = desktop.start({WINDOW_BOUNDS_HELPER, "--watch-dock"}, {marker});
    auto mouse = desktop.start({MOUSE_BUTTON_TRACKER}, {marker});
    auto cursor = desktop.start({CURSOR_TYPE_HELPER}, {marker});
    EXPECT_EQ(watch->readLine(), "null") << marker;
    EXPECT_EQ(dock->readLine(), "null") << marker;
    EXPECT_EQ(mouse->readLine(), R"({"pressed":false})") << marker;
    EXPECT_EQ(cursor->readLine(std::chrono::milliseconds(300)), std::nullopt) << marker;
    for (Child* c : {watch.get(), dock.get(), mouse.get(), cursor.get()}) {
      c->write("stop\n");
      EXPECT_EQ(c->wait(), 0);
    }
  }
}

struct Picture {
  desktop::RgbaImage image;
  std::string error;
};

Picture saveWallpaper(const DesktopSession& desktop, const std::vector<std::string>& env) {
  const std::string out = desktop.scratch("saved/wallpaper.png");
  std::filesystem::remove(out);
  auto c = desktop.start({DESKTOP_WALLPAPER, out}, env);
  c->closeInput();
  const std::string text = c->readAll();
  c->wait();
  const json result = json::parse(text);
  if (result.contains("error")) return {{}, result["error"]};
  return {desktop::decodePngFile(out), ""};
}

std::vector<int> pixel(const desktop::RgbaImage& image, int x, int y) {
  return std::vector<int>(image.at(x, y), image.at(x, y) + 4);
}

bool near(const std::vector<int>& a, const std::vector<int>& b) {
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::abs(a[i] - b[i]) > 6) return false;
  }
  return true;
}

// GNOME keeps the picture in GSettings (here the key-file backend, so that
// the test can write it): saved at the picture's own size, the dark variant
// while the session prefers dark. Without a configured picture the root
// background is used, cropped to the primary monitor.
TEST(DesktopKinds, WallpaperFromGSettingsOrTheRootBackgroundOfThePrimaryMonitor) {
  DesktopSession desktop({.audio = false, .windowManager = false});
  const std::string light = desktop.scratch("light picture.png"), dark = desktop.scratch("dark.jpg");
  const std::string root = desktop.scratch("root.png"), broken = desktop.scratch("broken.png");
  ASSERT_EQ(runProcess({"/usr/bin/convert", "-size", "640x360", "xc:#e0a020", light}).exitStatus, 0);
  ASSERT_EQ(runProcess({"/usr/bin/convert", "-size", "800x500", "xc:#203050", "-quality", "95", dark}).exitStatus, 0);
  ASSERT_EQ(runProcess({"/usr/bin/convert", "-size", "1920x1080", "xc:#c02020", "-fill", "#20c020", "-draw",
                        "rectangle 960,0 1919,1079", root})
                .exitStatus,
            0);
  std::ofstream(broken) << "not a picture";
  run(desktop, {"hsetroot", "-fill", root});

  const std::string keyfile = desktop.scratch("home/.config/glib-2.0/settings/keyfile");
  std::filesystem::create_directories(std::filesystem::path(keyfile).parent_path());
  auto configure = [&](const std::string& text) { std::ofstream(keyfile) << text; };
  const std::vector<std::string> gnome = {"GSETTINGS_BACKEND=keyfile", "XDG_CURRENT_DESKTOP=ubuntu:GNOME"};
  const std::string background = "[org/gnome/desktop/background]\npicture-uri='file://" +
                                 std::string(light).replace(std::string(light).find(' '), 1, "%20") +
                                 "'\npicture-uri-dark='file://" + dark + "'\n";

  configure(background);
  Picture p = saveWallpaper(desktop, gnome);
  ASSERT_EQ(p.error, "");
  EXPECT_EQ(p.image.width, 640);
  EXPECT_EQ(p.image.height, 360);
  EXPECT_TRUE(near(pixel(p.image, 320, 180), {0xe0, 0xa0, 0x20, 255}));

  configure(background + "\n[org/gnome/desktop/interface]\ncolor-scheme='prefer-dark'\n");
  p = saveWallpaper(desktop, gnome);
  ASSERT_EQ(p.error, "");
  EXPECT_EQ(p.image.width, 800);
  EXPECT_TRUE(near(pixel(p.image, 400, 250), {0x20, 0x30, 0x50, 255}));

  configure("[org/gnome/desktop/background]\npicture-uri='file://" + broken + "'\n");
  EXPECT_EQ(saveWallpaper(desktop, gnome).error, "Desktop wallpaper could not be loaded.");

  // No picture in the settings: the root background, the whole screen while
  // it is one monitor, the primary monitor's part once there are two.
  configure("[org/gnome/desktop/background]\npicture-options='none'\npicture-uri='file://" + light + "'\n");
  p = saveWallpaper(desktop, gnome);
  ASSERT_EQ(p.error, "");
  EXPECT_EQ(p.image.width, 1920);
  run(desktop, {"xrandr", "--setmonitor", "*RIGHT", "960/254x1080/286+960+0", "none"});
  p = saveWallpaper(desktop, gnome);
  ASSERT_EQ(p.error, "");
  EXPECT_EQ(p.image.width, 960);
  EXPECT_EQ(p.image.height, 1080);
  EXPECT_TRUE(near(pixel(p.image, 0, 0), {0x20, 0xc0, 0x20, 255}));
  EXPECT_TRUE(near(pixel(p.image, 959, 1079), {0x20, 0xc0, 0x20, 255}));
}

}  // namespace
}  // namespace vantrel::testing
