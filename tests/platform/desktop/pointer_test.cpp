#include <gtest/gtest.h>

#include <algorithm>

#include "vantrel/desktop/cursor.h"
#include "vantrel/desktop/mouse.h"
#include "vantrel/desktop/windows.h"

namespace vantrel::desktop {
namespace {

TEST(MouseState, LeftWinsOverRightOverMiddleAndControlNeedsAButton) {
  const std::uint16_t b1 = XCB_BUTTON_MASK_1, b2 = XCB_BUTTON_MASK_2, b3 = XCB_BUTTON_MASK_3,
                      ctrl = XCB_MOD_MASK_CONTROL, shift = XCB_MOD_MASK_SHIFT;
  const struct {
    std::uint16_t mask;
    std::string line;
  } cases[] = {
      {0, R"({"pressed":false})"},
      {ctrl, R"({"pressed":false})"},
      {b1, R"({"pressed":true,"button":"left","controlKey":false})"},
      {static_cast<std::uint16_t>(b1 | b3), R"({"pressed":true,"button":"left","controlKey":false})"},
      {static_cast<std::uint16_t>(b3 | b2), R"({"pressed":true,"button":"right","controlKey":false})"},
      {b2, R"({"pressed":true,"button":"middle","controlKey":false})"},
      {static_cast<std::uint16_t>(b1 | ctrl), R"({"pressed":true,"button":"left","controlKey":true})"},
      {static_cast<std::uint16_t>(b3 | shift), R"({"pressed":true,"button":"right","controlKey":false})"},
  };
  for (const auto& c : cases) EXPECT_EQ(mouseStateLine(mouseStateFromMask(c.mask)), c.line) << c.mask;
  EXPECT_EQ(mouseStateLine(queryMouseState(nullptr)), R"({"pressed":false})");
}

TEST(CursorNames, MapCoreAndCssNamesIntoTheVocabulary) {
  const struct {
    std::string xName;
    std::optional<std::string_view> type;
  } cases[] = {
      {"left_ptr", "default"},     {"xterm", "text"},           {"text", "text"},
      {"hand2", "pointer"},        {"pointer", "pointer"},      {"fleur", "default"},
      {"move", "default"},         {"all-scroll", "default"},   {"size_all", "default"},
      {"grabbing", "grabbing"},    {"closedhand", "grabbing"},
      {"sb_h_double_arrow", "ew-resize"}, {"ew-resize", "ew-resize"}, {"sb_v_double_arrow", "ns-resize"},
      {"not-allowed", "not-allowed"}, {"crosshair", "crosshair"}, {"context-menu", "context-menu"},
      {"watch", std::nullopt},     {"", std::nullopt},          {"XTERM", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(cursorTypeForName(c.xName), c.type) << c.xName;
  for (const auto& [name, type] : cursorNameTable()) {
    EXPECT_NE(std::find(kCursorTypes.begin(), kCursorTypes.end(), type), kCursorTypes.end()) << name;
  }
  CursorImage named;
  named.name = "watch";
  EXPECT_EQ(CursorIdentifier(nullptr).identify(named), "default");
}

// A nameless cursor made from a theme image is recognised by its shape; an
// image of the same size that nobody made is "default".
TEST(CursorIdentifier, RecognisesNamelessThemeCursorsByShape) {
  const CursorIdentifier identifier(nullptr);
  ASSERT_GT(identifier.indexSize(), 0u) << "no cursor theme installed (adwaita-icon-theme)";
  for (const auto& [xName, expected] : std::vector<std::pair<std::string, std::string>>{
           {"xterm", "text"}, {"hand2", "pointer"}, {"sb_h_double_arrow", "ew-resize"}, {"left_ptr", "default"}}) {
    auto image = themeCursorImage(xName, "default", 24);
    ASSERT_TRUE(image) << xName;
    CursorImage c = *image;
    c.name.clear();
    EXPECT_EQ(identifier.identify(c), expected) << xName;
    std::fill(c.argb.begin(), c.argb.end(), 0xFF000000u);
    EXPECT_EQ(identifier.identify(c), "default") << xName;
  }
}

TEST(VisibilityFilter, SizeAndAlphaThresholds) {
  const struct {
    Rect r;
    double alpha;
    bool visible;
  } cases[] = {
      {{0, 0, 50, 50}, 1.0, true},   {{0, 0, 49, 300}, 1.0, false}, {{0, 0, 300, 49}, 1.0, false},
      {{0, 0, 80, 80}, 0.05, false}, {{0, 0, 80, 80}, 0.1, true},   {{-500, -500, 80, 80}, 1.0, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(passesVisibilityFilter(c.r, c.alpha), c.visible) << c.r.width << "x" << c.r.height << " a=" << c.alpha;
  }
}

}  // namespace
}  // namespace vantrel::desktop
