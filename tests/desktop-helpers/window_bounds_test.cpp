#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "helpers.h"
#include "vantrel/desktop/image.h"

namespace vantrel::testing {

std::vector<std::uint8_t> base64Decode(const std::string& text) {
  static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::vector<std::uint8_t> out;
  std::uint32_t acc = 0;
  int bits = 0;
  for (char c : text) {
    if (c == '=') break;
    const auto v = alphabet.find(c);
    if (v == std::string::npos) return {};
    acc = (acc << 6) | static_cast<std::uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<std::uint8_t>(acc >> bits));
    }
  }
  return out;
}

namespace {

using json = nlohmann::ordered_json;

struct TestWindow {
  std::unique_ptr<Child> child;
  std::uint32_t id = 0;
};

TestWindow openWindow(const DesktopSession& desktop, std::vector<std::string> args) {
  args.insert(args.begin(), VANTREL_TEST_WINDOW);
  TestWindow w{desktop.start(args), 0};
  auto ready = w.child->readLine();
  if (!ready || ready->rfind("ready ", 0) != 0) throw std::runtime_error("test window did not come up");
  w.id = static_cast<std::uint32_t>(std::stoul(ready->substr(6)));
  return w;
}

json listWindows(const DesktopSession& desktop, std::vector<std::string> args = {}) {
  args.insert(args.begin(), WINDOW_BOUNDS_HELPER);
  const ProcessResult r = desktop.run(args);
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_TRUE(r.err.empty()) << r.err;
  EXPECT_EQ(r.out.back(), '\n');
  return json::parse(r.out);
}

const json* findById(const json& list, std::uint32_t id) {
  for (const auto& w : list) {
    if (w["id"] == id) return &w;
  }
  return nullptr;
}

// left, right, top, bottom as the window manager set them.
std::vector<int> frameExtents(const DesktopSession& desktop, std::uint32_t id) {
  const ProcessResult r = desktop.run({"xprop", "-id", std::to_string(id), "_NET_FRAME_EXTENTS"});
  std::vector<int> values;
  const auto eq = r.out.find('=');
  if (eq == std::string::npos) return values;
  std::stringstream s(r.out.substr(eq + 1));
  for (std::string item; std::getline(s, item, ',');) values.push_back(std::stoi(item));
  return values;
}

std::string keysOf(const json& object) {
  std::string keys;
  for (auto it = object.begin(); it != object.end(); ++it) keys += it.key() + ",";
  return keys;
}

TEST(WindowBoundsHelper, ListsVisibleApplicationWindowsWithTheirFramesOwnersAndIcons) {
  DesktopSession desktop;
  TestWindow alpha = openWindow(desktop, {"--title", "Alpha window", "--class", "AlphaApp", "--icon", "128"});
  TestWindow beta = openWindow(desktop, {"--title", "Beta window", "--class", "AlphaApp", "--icon", "128"});
  TestWindow faint = openWindow(desktop, {"--title", "Faint", "--opacity", "0.05"});
  TestWindow thin = openWindow(desktop, {"--title", "Thin", "--size", "40x300"});
  TestWindow dialog = openWindow(desktop, {"--title", "Some dialog", "--type", "dialog"});
  TestWindow utility = openWindow(desktop, {"--title", "Palette", "--type", "utility"});
  TestWindow remote = openWindow(desktop, {"--title", "Remote", "--icon", "64", "--machine", "elsewhere.invalid"});
  auto term = desktop.start({"xterm", "-T", "Term title", "-geometry", "60x10"});
  std::uint32_t termId = 0;
  ASSERT_TRUE(waitUntil([&] {
    const ProcessResult r = desktop.run({"xdotool", "search", "--name", "^Term title$"});
    if (r.exitStatus != 0 || r.out.empty()) return false;
    termId = static_cast<std::uint32_t>(std::stoul(r.out));
    return true;
  }));

  ASSERT_EQ(desktop.run({"xdotool", "windowsize", std::to_string(alpha.id), "400", "300"}).exitStatus, 0);
  ASSERT_EQ(desktop.run({"xdotool", "windowmove", std::to_string(alpha.id), "100", "200"}).exitStatus, 0);
  ASSERT_EQ(desktop.run({"xdotool", "windowactivate", "--sync", std::to_string(alpha.id)}).exitStatus, 0);
  json list;
  ASSERT_TRUE(waitUntil([&] {
    list = listWindows(desktop);
    const json* a = findById(list, alpha.id);
    return a && (*a)["x"] == 100 && (*a)["y"] == 200 && (*a)["width"] > 400 && !list.empty() && list[0]["id"] == alpha.id;
  })) << list.dump();

  const std::vector<int> extents = frameExtents(desktop, alpha.id);
  ASSERT_EQ(extents.size(), 4u);
  const json& a = *findById(list, alpha.id);
  EXPECT_EQ(keysOf(a), "id,owner,name,x,y,width,height,layer,pid,bundlePath,");
  EXPECT_EQ(a["owner"], "AlphaApp");
  EXPECT_EQ(a["name"], "Alpha window");
  EXPECT_EQ(a["width"], 400 + extents[0] + extents[1]);
  EXPECT_EQ(a["height"], 300 + extents[2] + extents[3]);
  EXPECT_EQ(a["layer"], 0);
  EXPECT_EQ(a["pid"], alpha.child->pid());
  EXPECT_EQ(a["bundlePath"], std::filesystem::canonical(VANTREL_TEST_WINDOW).string());

  const json* t = findById(list, termId);
  ASSERT_NE(t, nullptr) << list.dump();
  EXPECT_EQ((*t)["owner"], "XTerm");
  EXPECT_EQ((*t)["name"], "Term title");  // from WM_NAME: xterm sets no _NET_WM_NAME
  EXPECT_EQ((*t)["pid"], term->pid());

  // A client on another machine: its pid says nothing about local executables.
  const json* r = findById(list, remote.id);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(keysOf(*r), "id,owner,name,x,y,width,height,layer,pid,");
  EXPECT_NE(findById(list, beta.id), nullptr);
  EXPECT_NE(findById(list, dialog.id), nullptr);
  EXPECT_EQ(findById(list, faint.id), nullptr) << "alpha 0.05 is invisible";
  EXPECT_EQ(findById(list, thin.id), nullptr) << "narrower than 50 pixels";
  EXPECT_EQ(findById(list, utility.id), nullptr) << "not an application window";
  for (const auto& w : list) EXPECT_EQ(w.find("appIcon"), w.end());

  // Icons: one per application, the first window's; 64 x 64 PNG.
  const json withIcons = listWindows(desktop, {"--icons"});
  const json* ai = findById(withIcons, alpha.id);
  const json* bi = findById(withIcons, beta.id);
  ASSERT_TRUE(ai && bi);
  ASSERT_TRUE(ai->contains("appIcon"));
  const std::string url = (*ai)["appIcon"];
  EXPECT_EQ((*bi)["appIcon"], url);
  ASSERT_EQ(url.rfind("data:image/png;base64,", 0), 0u);
  const desktop::RgbaImage icon = desktop::decodePng(base64Decode(url.substr(22)));
  EXPECT_EQ(icon.width, 64);
  EXPECT_EQ(icon.height, 64);
  // The 128-pixel red entry is the largest and wins over the 16-pixel blue one.
  EXPECT_EQ(std::vector<int>(icon.at(32, 32), icon.at(32, 32) + 4), (std::vector<int>{255, 0, 0, 255}));

  // xterm sets no _NET_WM_ICON: its icon comes from the icon theme (48 pixels, scaled up).
  const json* ti = findById(withIcons, termId);
  ASSERT_TRUE(ti && ti->contains("appIcon"));
  const std::string termUrl = (*ti)["appIcon"];
  const desktop::RgbaImage termIcon = desktop::decodePng(base64Decode(termUrl.substr(22)));
  EXPECT_EQ(termIcon.width, 64);
  EXPECT_EQ(termIcon.height, 64);
  EXPECT_NE(termUrl, url);
  EXPECT_FALSE(findById(withIcons, remote.id)->contains("appIcon")) << "no bundle, no icon";

  // Minimised windows are gone; a non-number after --watch lists instead.
  ASSERT_EQ(desktop.run({"xdotool", "windowminimize", "--sync", std::to_string(beta.id)}).exitStatus, 0);
  ASSERT_TRUE(waitUntil([&] { return findById(listWindows(desktop, {"--watch", "abc"}), beta.id) == nullptr; }));
}

TEST(WindowBoundsHelper, WatchWritesOneLinePerChangeUntilStopOrEndOfInput) {
  DesktopSession desktop;
  TestWindow w = openWindow(desktop, {"--title", "Watched", "--size", "320x240"});
  const std::string id = std::to_string(w.id);
  ASSERT_EQ(desktop.run({"xdotool", "windowmove", "--sync", id, "50", "60"}).exitStatus, 0);

  auto watch = desktop.start({WINDOW_BOUNDS_HELPER, "--watch", id});
  auto first = watch->readLine();
  ASSERT_TRUE(first);
  // The move may still be settling when the watch starts; wait for it.
  json line = json::parse(*first);
  while (line.is_object() && line["x"] != 50) {
    auto next = watch->readLine();
    ASSERT_TRUE(next);
    line = json::parse(*next);
  }
  EXPECT_EQ(keysOf(line), "id,owner,name,x,y,width,height,layer,pid,");
  EXPECT_EQ(line["y"], 60);

  ASSERT_EQ(desktop.run({"xdotool", "windowmove", id, "400", "300"}).exitStatus, 0);
  line = json::parse(watch->readLine().value_or("{}"));
  EXPECT_EQ(line["x"], 400);
  EXPECT_EQ(line["y"], 300);

  // A retitle alone is not a change: no line follows it.
  ASSERT_EQ(desktop.run({"xdotool", "set_window", "--name", "Renamed", id}).exitStatus, 0);
  EXPECT_EQ(watch->readLine(std::chrono::milliseconds(300)), std::nullopt);
  // Minimising ends in null (the window manager may animate the frame first).
  ASSERT_EQ(desktop.run({"xdotool", "windowminimize", id}).exitStatus, 0);
  std::optional<std::string> next;
  for (int i = 0; i < 100; ++i) {
    next = watch->readLine();
    if (!next || *next == "null") break;
    ASSERT_TRUE(json::parse(*next).is_object()) << *next;
  }
  EXPECT_EQ(next, "null");
  // The window manager slides the frame back into place: every step is a
  // line, ending where the window was.
  ASSERT_EQ(desktop.run({"xdotool", "windowactivate", id}).exitStatus, 0);
  for (int i = 0; i < 100; ++i) {
    auto next = watch->readLine();
    ASSERT_TRUE(next);
    line = json::parse(*next);
    ASSERT_TRUE(line.is_object()) << *next;
    if (line["x"] == 400 && line["y"] == 300) break;
  }
  EXPECT_EQ(line["x"], 400);
  EXPECT_EQ(line["y"], 300);
  EXPECT_EQ(line["name"], "Renamed");

  // The window goes away when its client exits.
  w.child->closeInput();
  EXPECT_EQ(watch->readLine(), "null");

  watch->write("stop\n");
  EXPECT_EQ(watch->wait(), 0);
  EXPECT_EQ(watch->readAll(), "");

  // End of input ends a watch as well; ids the server cannot have are null.
  TestWindow live = openWindow(desktop, {"--title", "Still here"});
  const std::string liveId = std::to_string(live.id);
  for (const std::string& target : {liveId, std::string("-5"), std::string("4294967296"), std::string("123456789")}) {
    auto other = desktop.start({WINDOW_BOUNDS_HELPER, "--watch", target});
    const auto firstLine = other->readLine();
    ASSERT_TRUE(firstLine) << target;
    EXPECT_EQ(*firstLine == "null", target != liveId) << target;
    other->closeInput();
    EXPECT_EQ(other->wait(), 0) << target;
  }

  auto dock = desktop.start({WINDOW_BOUNDS_HELPER, "--watch-dock"});
  const json bar = json::parse(dock->readLine().value_or("null"));
  ASSERT_TRUE(bar.is_object());
  EXPECT_EQ(keysOf(bar), "x,y,width,height,");
  EXPECT_EQ(bar["x"], 0);
  EXPECT_EQ(bar["width"], 1920);
  EXPECT_EQ(bar["y"].get<int>() + bar["height"].get<int>(), 1080) << "tint2 sits at the bottom";
  dock->write("  stop \n");
  EXPECT_EQ(dock->wait(), 0);
}

TEST(WindowBoundsHelper, WithoutADisplayListsNothingAndWatchesReportNull) {
  for (const auto& env : kNoDisplayEnvironments) {
    const ProcessResult list = runChild({WINDOW_BOUNDS_HELPER, "--icons"}, env);
    EXPECT_EQ(list.exitStatus, 0);
    EXPECT_EQ(list.out, "[]\n");
    for (const char* mode : {"--watch", "--watch-dock"}) {
      Child watch({WINDOW_BOUNDS_HELPER, mode, "42"}, env);
      EXPECT_EQ(watch.readLine(), "null") << mode;
      watch.write("stop\n");
      EXPECT_EQ(watch.wait(), 0);
    }
  }
}

}  // namespace
}  // namespace vantrel::testing
