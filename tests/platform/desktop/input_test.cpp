#include "vantrel/desktop/input.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace vantrel::desktop {
namespace {

TEST(ClampToInt32, RoundsHalfAwayFromZeroAndSaturates) {
  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    double in;
    std::int32_t out;
  } cases[] = {
      {0.0, 0},           {0.4, 0},           {0.5, 1},         {-0.5, -1},           {2.5, 3},
      {-3.6, -4},         {1e12, 2147483647}, {-1e12, -2147483648}, {2147483647.4, 2147483647},
      {std::nan(""), 0},  {inf, 0},           {-inf, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(clampToInt32(c.in), c.out) << c.in;
}

TEST(ScrollAmount, InvertsBothSigns) {
  const ScrollAmount a = scrollAmount(0, 3.6);
  EXPECT_EQ(a.vertical, -4);
  EXPECT_EQ(a.horizontal, 0);
  const ScrollAmount b = scrollAmount(-2, 1e12);
  EXPECT_EQ(b.vertical, std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(b.horizontal, 2);
}

TEST(WheelClicks, AtLeastOneForAnyMovementAndBoundedPerCommand) {
  const struct {
    std::int32_t pixels;
    int clicks;
  } cases[] = {{0, 0}, {1, 1}, {-4, 1}, {29, 1}, {30, 2}, {-50, 3}, {2000, 100}, {std::numeric_limits<std::int32_t>::min(), 100}};
  for (const auto& c : cases) EXPECT_EQ(wheelClicks(c.pixels), c.clicks) << c.pixels;
}

TEST(InputEventCommandParsing, AcceptsOnlyObjectsWithAStringType) {
  const struct {
    std::string line;
    bool valid;
    std::string type;
    std::optional<double> dx, dy;
  } cases[] = {
      {R"({"type":"click"})", true, "click", {}, {}},
      {R"({"type":"scroll","deltaY":3.6})", true, "scroll", {}, 3.6},
      {R"({"type":"scroll","deltaX":-2,"deltaY":null})", true, "scroll", -2.0, {}},
      {R"({"type":"teleport"})", true, "teleport", {}, {}},
      {R"({"deltaY":1})", false, "", {}, {}},
      {R"({"type":7})", false, "", {}, {}},
      {R"({"type":"scroll","deltaY":"3"})", false, "", {}, {}},
      {R"({"type":null})", false, "", {}, {}},
      {"click", false, "", {}, {}},
      {R"(["click"])", false, "", {}, {}},
      {R"({"type":"click"} trailing)", false, "", {}, {}},
      {"", false, "", {}, {}},
      {"{\"type\":\"cl\xff\"}", false, "", {}, {}},
      {std::string(100000, '['), false, "", {}, {}},
      {R"({"type":"click","type":"scroll","deltaY":1})", true, "scroll", {}, 1.0},
  };
  for (const auto& c : cases) {
    auto parsed = parseInputEventCommand(c.line);
    ASSERT_EQ(parsed.has_value(), c.valid) << c.line;
    if (!parsed) continue;
    EXPECT_EQ(parsed->type, c.type);
    EXPECT_EQ(parsed->deltaX, c.dx);
    EXPECT_EQ(parsed->deltaY, c.dy);
  }
}

class RecordingSink : public InputSink {
 public:
  void click() override { log += "click;"; }
  void scroll(const ScrollAmount& a) override {
    log += "scroll " + std::to_string(a.vertical) + " " + std::to_string(a.horizontal) + ";";
  }
  void hidePointer() override { log += "hide;"; }
  void showPointer() override { log += "show;"; }
  std::string log;
};

TEST(InputCommandRunner, ExecutesInOrderSkipsBadLinesAndRestoresThePointer) {
  const struct {
    std::vector<std::string> lines;
    std::string expected;   // sink calls, including finish()
    std::size_t stopAfter;  // index of the line that ends the loop, or lines.size()
  } cases[] = {
      {{R"({"type":"hideCursor"})", R"({"type":"hideCursor"})", R"({"type":"showCursor"})"}, "hide;show;", 3},
      {{R"({"type":"showCursor"})"}, "", 1},
      {{R"({"type":"hideCursor"})"}, "hide;show;", 1},
      {{"plain text", R"({"type":"click"})"}, "click;", 2},
      {{R"({"type":"scroll","deltaX":0.4})", R"({"type":"scroll","deltaY":3.6})"}, "scroll -4 0;", 2},
      {{R"({"type":"scroll","deltaY":1e12})"}, "scroll -2147483648 0;", 1},
      {{R"({"type":"unknown"})", R"({"type":"stop"})", R"({"type":"click"})"}, "", 1},
  };
  for (const auto& c : cases) {
    RecordingSink sink;
    InputCommandRunner runner(sink);
    std::size_t handled = 0;
    for (const auto& line : c.lines) {
      if (!runner.handleLine(line)) break;
      ++handled;
    }
    runner.finish();
    EXPECT_EQ(sink.log, c.expected) << c.lines.front();
    EXPECT_EQ(handled, c.stopAfter) << c.lines.front();
    EXPECT_FALSE(runner.pointerHidden());
  }
}

}  // namespace
}  // namespace vantrel::desktop
