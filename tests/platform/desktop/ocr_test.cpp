#include "vantrel/desktop/ocr.h"

#include <gtest/gtest.h>

namespace vantrel::desktop {
namespace {

TEST(NormalizeBox, TopLeftOriginFractionsOfTheImage) {
  const NormalizedRect r = normalizeBox(40, 0, 140, 25, 400, 100);
  EXPECT_DOUBLE_EQ(r.x, 0.1);
  EXPECT_DOUBLE_EQ(r.y, 0.0);
  EXPECT_DOUBLE_EQ(r.width, 0.25);
  EXPECT_DOUBLE_EQ(r.height, 0.25);
  const NormalizedRect bottom = normalizeBox(0, 75, 400, 100, 400, 100);
  EXPECT_DOUBLE_EQ(bottom.y + bottom.height, 1.0);
}

TEST(WordRanges, RunsOfNonSpaceIncludingUnicodeSpaces) {
  const struct {
    std::string line;
    std::vector<std::string> words;
  } cases[] = {
      {"two   words", {"two", "words"}},
      {"  lead and trail  ", {"lead", "and", "trail"}},
      {"no\xc2\xa0" "break\xe2\x80\x83" "em", {"no", "break", "em"}},
      {"caf\xc3\xa9 \xe2\x82\xac" "5", {"caf\xc3\xa9", "\xe2\x82\xac" "5"}},
      {"", {}},
      {" \t\n", {}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> got;
    for (const auto& [start, length] : wordRanges(c.line)) got.push_back(c.line.substr(start, length));
    EXPECT_EQ(got, c.words) << c.line;
  }
}

TEST(RegionsFromLines, WordsWithBoxesElseTheWholeLineAndIndicesCountEveryLine) {
  const NormalizedRect lineBox{0.1, 0.2, 0.5, 0.1}, w1{0.1, 0.2, 0.2, 0.1}, w2{0.35, 0.2, 0.25, 0.1};
  const std::vector<RecognizedLine> lines = {
      {"Hello world", lineBox, {{"Hello", w1}, {"world", w2}}},
      {std::nullopt, lineBox, {}},                        // no candidate: skipped, index still advances
      {"unboxed", lineBox, {{"unboxed", std::nullopt}}},  // no word box: the whole line
      {"a b", lineBox, {{"a b", w1}}},                    // a word with a blank splits, sharing its box
  };
  const auto regions = regionsFromLines(lines);
  ASSERT_EQ(regions.size(), 5u);
  const struct {
    std::string text;
    int line;
    double x;
  } expected[] = {{"Hello", 0, 0.1}, {"world", 0, 0.35}, {"unboxed", 2, 0.1}, {"a", 3, 0.1}, {"b", 3, 0.1}};
  for (std::size_t i = 0; i < regions.size(); ++i) {
    EXPECT_EQ(regions[i].text, expected[i].text);
    EXPECT_EQ(regions[i].line, expected[i].line);
    EXPECT_DOUBLE_EQ(regions[i].bounds.x, expected[i].x);
  }
  EXPECT_TRUE(regionsFromLines({}).empty());
}

}  // namespace
}  // namespace vantrel::desktop
