#include <gtest/gtest.h>

#include "helpers.h"

namespace vantrel::testing {
namespace {

void xdo(const DesktopSession& desktop, std::vector<std::string> args) {
  args.insert(args.begin(), "xdotool");
  const ProcessResult r = desktop.run(args);
  ASSERT_EQ(r.exitStatus, 0) << r.err;
}

TEST(CursorTypeHelper, ReportsShapeChangesOnceEach) {
  // No window manager: the root cursor is whatever xsetroot names.
  DesktopSession desktop({.audio = false, .windowManager = false});
  ASSERT_EQ(desktop.run({"xsetroot", "-cursor_name", "hand2"}).exitStatus, 0);
  xdo(desktop, {"mousemove", "1500", "900"});
  auto helper = desktop.start({CURSOR_TYPE_HELPER});
  EXPECT_EQ(helper->readLine(), R"({"cursorType":"pointer"})");

  // xterm shows the core font's text cursor, which has no name.
  auto term = desktop.start({"xterm", "-geometry", "40x10+0+0"});
  ASSERT_TRUE(waitUntil([&] { return desktop.run({"xdotool", "search", "--onlyvisible", "--class", "xterm"}).exitStatus == 0; }));
  xdo(desktop, {"mousemove", "60", "60"});
  EXPECT_EQ(helper->readLine(), R"({"cursorType":"text"})");
  xdo(desktop, {"mousemove", "80", "70"});  // same shape: no line

  // The new root cursor belongs to a client that has already gone.
  ASSERT_EQ(desktop.run({"xsetroot", "-cursor_name", "sb_h_double_arrow"}).exitStatus, 0);
  xdo(desktop, {"mousemove", "1500", "900"});
  EXPECT_EQ(helper->readLine(), R"({"cursorType":"ew-resize"})");

  helper->write("stopp\n");
  EXPECT_EQ(helper->wait(std::chrono::milliseconds(300)), -1) << "\"stopp\" is not stop";
  helper->write("stop\n");
  EXPECT_EQ(helper->wait(), 0);
  EXPECT_EQ(helper->readAll(), "");
}

TEST(MouseButtonTracker, ReportsButtonAndControlChanges) {
  DesktopSession desktop({.audio = false, .windowManager = false});
  auto tracker = desktop.start({MOUSE_BUTTON_TRACKER});
  EXPECT_EQ(tracker->readLine(), R"({"pressed":false})");
  // Each step waits for its line, so the 60 Hz polling cannot miss a state.
  const struct {
    std::vector<std::string> action;
    const char* line;  // nullptr: the action alone writes nothing
  } steps[] = {
      {{"keydown", "ctrl"}, nullptr},
      {{"mousedown", "1"}, R"({"pressed":true,"button":"left","controlKey":true})"},
      {{"keyup", "ctrl"}, R"({"pressed":true,"button":"left","controlKey":false})"},
      {{"mousedown", "3"}, nullptr},
      {{"mouseup", "1"}, R"({"pressed":true,"button":"right","controlKey":false})"},
      {{"mousedown", "2"}, nullptr},
      {{"mouseup", "3"}, R"({"pressed":true,"button":"middle","controlKey":false})"},
      {{"mouseup", "2"}, R"({"pressed":false})"},
  };
  for (const auto& step : steps) {
    xdo(desktop, step.action);
    if (step.line) {
      EXPECT_EQ(tracker->readLine(), step.line) << step.action[0] << " " << step.action[1];
    }
  }
  tracker->closeInput();
  EXPECT_EQ(tracker->wait(), 0);
  EXPECT_EQ(tracker->readAll(), "");
}

TEST(InputEventHelper, ClicksAndScrollsReachTheWindowUnderThePointer) {
  DesktopSession desktop({.audio = false, .windowManager = false});
  auto window = desktop.start({VANTREL_TEST_WINDOW, "--size", "300x200"});
  ASSERT_EQ(window->readLine().value_or("").rfind("ready ", 0), 0u);
  xdo(desktop, {"mousemove", "100", "100"});

  auto helper = desktop.start({INPUT_EVENT_HELPER});
  const struct {
    std::string command;
    std::vector<std::string> events;
  } cases[] = {
      {R"({"type":"click"})", {"press 1", "release 1"}},
      // deltaY 3.6 is a wheel value of -4 pixels: one click down.
      {R"({"type":"scroll","deltaY":3.6})", {"press 5", "release 5"}},
      // deltaX -50: +50 pixels to the left, 2.5 clicks rounded to 3.
      {R"({"type":"scroll","deltaX":-50})", {"press 6", "release 6", "press 6", "release 6", "press 6", "release 6"}},
      // Rounds to nothing, then garbage: only the click after them arrives.
      {R"({"type":"scroll","deltaX":0.4})", {}},
      {"not json at all", {}},
      {R"({"type":"hideCursor"})", {}},
      {R"({"type":"hideCursor"})", {}},
      {R"({"type":"showCursor"})", {}},
      {R"({"type":"hideCursor"})", {}},
      {R"({"type":"click"})", {"press 1", "release 1"}},
  };
  for (const auto& c : cases) {
    helper->write(c.command + "\n");
    for (const auto& event : c.events) EXPECT_EQ(window->readLine(), event) << c.command;
  }
  // End of input while hidden: the pointer is shown again and the exit is clean.
  helper->closeInput();
  EXPECT_EQ(helper->wait(), 0);
  EXPECT_EQ(helper->readAll(), "");
  EXPECT_EQ(helper->errorOutput(), "");

  // "stop" ends the loop even with more lines behind it.
  auto stopped = desktop.start({INPUT_EVENT_HELPER});
  stopped->write("{\"type\":\"stop\"}\n{\"type\":\"click\"}\n");
  EXPECT_EQ(stopped->wait(), 0);
  stopped.reset();
  EXPECT_EQ(window->readLine(std::chrono::milliseconds(300)), std::nullopt);
}

TEST(PointerHelpers, WithoutADisplayStayQuietAndStopCleanly) {
  for (const auto& env : kNoDisplayEnvironments) {
    Child cursor({CURSOR_TYPE_HELPER}, env);
    Child mouse({MOUSE_BUTTON_TRACKER}, env);
    Child input({INPUT_EVENT_HELPER}, env);
    EXPECT_EQ(mouse.readLine(), R"({"pressed":false})");
    input.write("{\"type\":\"click\"}\n{\"type\":\"hideCursor\"}\n");
    for (Child* c : {&cursor, &mouse, &input}) {
      c->write("stop\n");
      c->closeInput();
      EXPECT_EQ(c->wait(), 0);
      EXPECT_EQ(c->readAll(), "");
    }
  }
}

}  // namespace
}  // namespace vantrel::testing
