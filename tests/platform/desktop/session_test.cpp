#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "vantrel/desktop/control.h"
#include "vantrel/desktop/desktop_settings.h"
#include "vantrel/desktop/session.h"
#include "vantrel/desktop/windows.h"
#include "vantrel/testing/process.h"

namespace vantrel::desktop {
namespace {

TEST(DesktopScale, GdkScaleWinsThenXftDpiThenOne) {
  const struct {
    std::optional<std::string_view> gdkScale;
    std::optional<std::string_view> resources;
    double scale;
  } cases[] = {
      {std::nullopt, std::nullopt, 1},
      {std::nullopt, "Xft.dpi:\t192\nXft.antialias:\t1\n", 2},
      {std::nullopt, "Xft.antialias: 1\nXft.dpi: 120", 1.25},
      {std::nullopt, "Xft.dpi: 96\nXft.dpi: 144\n", 1.5},  // the last entry wins
      {std::nullopt, "*dpi: 192\nXft.dpiX: 192\n", 1},    // other resources
      {std::nullopt, "Xft.dpi: lots\n", 1},
      {std::nullopt, "Xft.dpi: 9600\n", 1},  // beyond any screen
      {"2", "Xft.dpi: 96\n", 2},
      {"1.5", "Xft.dpi: 144\n", 1.5},  // GTK takes whole numbers only: Xft.dpi decides
      {"0", std::nullopt, 1},
      {"abc", std::nullopt, 1},
  };
  for (const auto& c : cases) {
    EXPECT_DOUBLE_EQ(scaleFromSettings(c.gdkScale, c.resources), c.scale)
        << c.gdkScale.value_or("-") << " / " << c.resources.value_or("-");
  }
}

TEST(DesktopGeometry, LogicalUnitsStartAtThePrimaryMonitorAndDivideByTheScale) {
  const DesktopGeometry g{2, Rect{1920, 0, 3840, 2160}};
  EXPECT_EQ(g.toLogical(Rect{2120, 400, 800, 600}), (LogicalRect{100, 200, 400, 300}));
  EXPECT_EQ(g.toLogical(Rect{0, 0, 1920, 1080}), (LogicalRect{-960, 0, 960, 540}));
  EXPECT_EQ((DesktopGeometry{1.25, Rect{}}).toLogical(Rect{5, 10, 101, 50}), (LogicalRect{4, 8, 80.8, 40}));
}

TEST(WaylandScale, ScreenCastStreamsAndOutputs) {
  // Two outputs: a 200 % laptop panel at the origin, a 100 % monitor right of it.
  const std::vector<WaylandOutput> outputs = {{"eDP-1", 0, 0, 2880, 1800, 2, 0}, {"DP-1", 1440, 0, 1920, 1080, 1, 0}};
  const struct {
    const char* what;
    int pixelWidth, pixelHeight, portalX, portalY, portalWidth;
    std::vector<WaylandOutput> outputs;
    double scale;
  } cases[] = {
      {"the portal reports the logical size", 2880, 1800, 0, 0, 1440, {}, 2},
      {"a fractional logical size", 1920, 1200, 0, 0, 1280, {}, 1.5},
      {"the portal reports pixels: the output of that size", 2880, 1800, 0, 0, 2880, outputs, 2},
      {"the portal reports pixels of the other output", 1920, 1080, 1440, 0, 1920, outputs, 1},
      {"the portal reports no size", 2880, 1800, 0, 0, 0, outputs, 2},
      {"no output has the pictures' size (a window)", 800, 600, 0, 0, 800, outputs, 1},
      {"a turned output", 1800, 2880, 0, 0, 1800, {{"eDP-1", 0, 0, 2880, 1800, 2, 1}}, 2},
      {"equal sizes: the position decides", 1920, 1080, 1920, 0, 1920,
       {{"A", 0, 0, 1920, 1080, 1, 0}, {"B", 1920, 0, 1920, 1080, 2, 0}}, 2},
      {"no pictures", 0, 0, 0, 0, 1440, outputs, 1},
  };
  for (const auto& c : cases) {
    EXPECT_DOUBLE_EQ(screenCastScale(c.pixelWidth, c.pixelHeight, c.portalX, c.portalY, c.portalWidth, c.outputs), c.scale)
        << c.what;
  }
}

TEST(WaylandScale, GeometryOfTheOutputAtTheOrigin) {
  EXPECT_FALSE(waylandGeometry({}));
  const auto g = waylandGeometry({{"DP-1", -1920, 0, 1920, 1080, 1, 0}, {"eDP-1", 0, 0, 2880, 1800, 2, 0}});
  ASSERT_TRUE(g);
  EXPECT_EQ(g->scale, 2);
  EXPECT_EQ(g->primary, (Rect{0, 0, 2880, 1800}));
  // A window at device (200, 100) 400 x 300 on the panel is logical (100, 50) 200 x 150.
  EXPECT_EQ(g->toLogical(Rect{200, 100, 400, 300}), (LogicalRect{100, 50, 200, 150}));
}

TEST(DesktopEnvironmentNames, FirstKnownEntryOfTheListDecides) {
  const struct {
    std::string_view current, session;
    DesktopEnvironment expected;
  } cases[] = {
      {"ubuntu:GNOME", "", DesktopEnvironment::Gnome},  {"Budgie:GNOME", "", DesktopEnvironment::Budgie},
      {"X-Cinnamon", "", DesktopEnvironment::Cinnamon}, {"MATE", "", DesktopEnvironment::Mate},
      {"KDE", "", DesktopEnvironment::Kde},             {"XFCE", "", DesktopEnvironment::Xfce},
      {"", "xfce", DesktopEnvironment::Xfce},           {"sway", "", DesktopEnvironment::Other},
      {"Unknown:kde", "gnome", DesktopEnvironment::Kde}, {"", "", DesktopEnvironment::Other},
  };
  for (const auto& c : cases) EXPECT_EQ(desktopEnvironmentFromNames(c.current, c.session), c.expected) << c.current;
}

using Kind = ConfiguredWallpaper::Kind;

TEST(WallpaperSettings, AddressesPlasmaAndXfceFiles) {
  EXPECT_EQ(wallpaperFromAddress("file:///usr/share/a%20b.png").path, "/usr/share/a b.png");
  EXPECT_EQ(wallpaperFromAddress("/srv/pic.jpg").kind, Kind::File);
  EXPECT_EQ(wallpaperFromAddress("https://example.org/pic.jpg").kind, Kind::NotLocal);
  EXPECT_EQ(wallpaperFromAddress("").kind, Kind::NotConfigured);

  // A panel (no lastScreen), the second screen, then screen 0's desktop.
  const std::string plasma =
      "[Containments][2]\nactivityId=\nformfactor=2\nlastScreen=0\nplugin=org.kde.panel\n\n"
      "[Containments][3]\nactivityId=abc\nlastScreen=1\nwallpaperplugin=org.kde.image\n"
      "[Containments][3][Wallpaper][org.kde.image][General]\nImage=file:///pics/second.png\n\n"
      "[Containments][1]\nactivityId=abc\nlastScreen=0\nwallpaperplugin=org.kde.image\n"
      "[Containments][1][Wallpaper][org.kde.image][General]\nImage=file:///pics/first%C3%A9.jpg\n";
  EXPECT_EQ(plasmaWallpaper(plasma).path, "/pics/first\u00e9.jpg");
  EXPECT_EQ(plasmaWallpaper("[Containments][1]\nlastScreen=0\nwallpaperplugin=org.kde.color\n").kind, Kind::NotConfigured);

  const std::string xfce = R"(<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-desktop" version="1.0">
  <property name="backdrop" type="empty">
    <property name="screen0" type="empty">
      <property name="monitorHDMI-1" type="empty">
        <property name="workspace0" type="empty">
          <property name="last-image" type="string" value="/pics/hdmi.png"/>
        </property>
      </property>
      <property name="monitoreDP-1" type="empty">
        <property name="workspace1" type="empty">
          <property name="last-image" type="string" value="/pics/other-workspace.png"/>
        </property>
        <property name="workspace0" type="empty">
          <property name="image-style" type="int" value="5"/>
          <property name="last-image" type="string" value="/pics/laptop &amp; sea.png"/>
        </property>
      </property>
    </property>
  </property>
</channel>)";
  EXPECT_EQ(xfceWallpaper(xfce, "eDP-1").path, "/pics/laptop & sea.png");
  EXPECT_EQ(xfceWallpaper(xfce, "").path, "/pics/hdmi.png");
  EXPECT_EQ(xfceWallpaper("<channel><property name=", "").kind, Kind::NotConfigured);
}

// A Flatpak process's root holds .flatpak-info; a snap's processes live in a
// "snap.<name>.<app>" control group. Names that could leave the data
// directories are refused.
TEST(SandboxedApp, FlatpakAndSnapIdentitiesAndTheirDesktopFiles) {
  testing::TempDir dir;
  auto write = [&](const std::string& name, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(dir.file(name)).parent_path());
    std::ofstream(dir.file(name)) << text;
  };
  write("flatpak/root/.flatpak-info", "[Application]\nname=org.example.Paint\nruntime=runtime/x\n\n[Instance]\nname=x\n");
  write("share/applications/org.example.Paint.desktop", "[Desktop Entry]\nName=Paint\nIcon=org.example.Paint\n");
  write("snap/cgroup", "0::/user.slice/user-1000.slice/user@1000.service/app.slice/snap.notes.notes-1b2c.scope\n");
  write("plain/cgroup", "0::/user.slice/session-2.scope\n");
  write("evil/root/.flatpak-info", "[Application]\nname=../../etc/passwd\n");
  const std::vector<std::string> dataDirs = {dir.file("empty"), dir.file("share")};

  auto flatpak = sandboxedApp(dir.file("flatpak"), dataDirs);
  ASSERT_TRUE(flatpak);
  EXPECT_EQ(flatpak->appId, "org.example.Paint");
  EXPECT_EQ(flatpak->desktopFile, dir.file("share/applications/org.example.Paint.desktop"));
  EXPECT_EQ(flatpak->iconName, "org.example.Paint");
  auto snap = sandboxedApp(dir.file("snap"), dataDirs);
  ASSERT_TRUE(snap);
  EXPECT_EQ(snap->appId, "notes_notes");
  EXPECT_EQ(snap->desktopFile, std::nullopt);
  EXPECT_EQ(sandboxedApp(dir.file("plain"), dataDirs), std::nullopt);
  EXPECT_EQ(sandboxedApp(dir.file("evil"), dataDirs), std::nullopt);
  EXPECT_EQ(sandboxedApp(dir.file("missing"), dataDirs), std::nullopt);
}

// A tick stuck in a request to a grabbed server must not delay the stop: the
// input thread ends the process with status 0.
TEST(RunTickingDeathTest, StopEndsTheProcessWhileATickIsStuck) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        int fds[2];
        if (::pipe(fds) != 0) std::exit(3);
        // The stop comes from inside the tick, so it always finds the tick stuck.
        runTicking(fds[0], std::chrono::milliseconds(5), [&] {
          if (::write(fds[1], "stop\n", 5) != 5) std::exit(3);
          std::this_thread::sleep_for(std::chrono::hours(1));
        });
        std::exit(4);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace vantrel::desktop
