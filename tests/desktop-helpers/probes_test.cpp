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

}  // namespace
}  // namespace vantrel::testing
