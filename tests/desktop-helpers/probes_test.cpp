#include <gtest/gtest.h>

#include "helpers.h"

namespace vantrel::testing {
namespace {

TEST(MicrophoneDevices, ListsSourcesButNotMonitorsWithTheServerDefault) {
  DesktopSession desktop({.audio = true, .windowManager = false});
  ProcessResult r = desktop.run({MICROPHONE_DEVICES});
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.out, R"([{"id":"vantrel_null_source","label":"Test-Microphone","isDefault":true}])");
  EXPECT_EQ(r.err, "");

  ASSERT_EQ(desktop.run({"pactl", "load-module", "module-null-source", "source_name=usb_mic",
                         "description=USB-Microphone"}).exitStatus,
            0);
  ASSERT_EQ(desktop.run({"pactl", "set-default-source", "usb_mic"}).exitStatus, 0);
  r = desktop.run({MICROPHONE_DEVICES});
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.out, R"([{"id":"vantrel_null_source","label":"Test-Microphone","isDefault":false},)"
                   R"({"id":"usb_mic","label":"USB-Microphone","isDefault":true}])");
}

TEST(MicrophoneDevices, NoSoundServerMeansNoDevices) {
  TempDir dir;
  const ProcessResult r = runChild({MICROPHONE_DEVICES}, {"PULSE_SERVER=unix:" + dir.file("none"), "PULSE_AUTOSPAWN=no"});
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.out, "[]");
}

TEST(ScreenPermissionHelper, GrantedOnAReadableDisplayDeniedWithoutOne) {
  DesktopSession desktop({.audio = false, .windowManager = false});
  ProcessResult r = desktop.run({SCREEN_PERMISSION_HELPER});
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.out, "granted\n");
  for (const auto& env : kNoDisplayEnvironments) {
    r = runChild({SCREEN_PERMISSION_HELPER}, env);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.out, "denied\n");
  }
}

// On a headless Wayland desktop whose portal offers screen casting the answer
// is "granted" (without starting a cast: no dialog); on the same kind of
// session with no portal on its bus it is "denied".
TEST(ScreenPermissionHelper, WaylandAnswersFromTheScreenCastPortal) {
  const ProcessResult withPortal =
      runChild({WAYLAND_SESSION_SCRIPT, "run", "--", SCREEN_PERMISSION_HELPER}, {"-DISPLAY"});
  if (withPortal.exitStatus != 0 && withPortal.out.empty()) {
    GTEST_SKIP() << "the headless Wayland desktop cannot start here: " << withPortal.err;
  }
  EXPECT_EQ(withPortal.exitStatus, 0) << withPortal.err;
  EXPECT_EQ(withPortal.out, "granted\n");

  TempDir dir;
  const ProcessResult noPortal = runChild({WAYLAND_SESSION_SCRIPT, "run", "--", "env",
                                           "DBUS_SESSION_BUS_ADDRESS=unix:path=" + dir.file("no-bus"),
                                           SCREEN_PERMISSION_HELPER},
                                          {"-DISPLAY"});
  EXPECT_EQ(noPortal.exitStatus, 0) << noPortal.err;
  EXPECT_EQ(noPortal.out, "denied\n");
}

}  // namespace
}  // namespace vantrel::testing
