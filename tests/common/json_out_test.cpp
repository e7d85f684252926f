#include "vantrel/common/json_out.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace vantrel::json {
namespace {

TEST(JsonOut, KeepsInsertionOrderAndEscapes) {
  OrderedJson o;
  o["type"] = "progress";
  o["stage"] = "a\"b\\c\n\xC3\xA9";
  o["progress"] = 0.02;
  EXPECT_EQ(encodeCompact(o), R"({"type":"progress","stage":"a\"b\\c\n)" "\xC3\xA9" R"(","progress":0.02})");
}

TEST(JsonOut, RefusesNonFiniteNumbers) {
  for (double bad : {std::nan(""), std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()}) {
    OrderedJson o;
    o["nested"]["value"] = bad;
    EXPECT_THROW(encodeCompact(o), EncodeError);
  }
}

TEST(JsonOut, ReplacesInvalidUtf8) {
  OrderedJson o;
  o["path"] = std::string("/tmp/\xff.mp4");
  EXPECT_EQ(encodeCompact(o), "{\"path\":\"/tmp/\xEF\xBF\xBD.mp4\"}");
}

TEST(JsonOut, PutOptionalLeavesAbsentKeysOut) {
  OrderedJson o;
  std::optional<double> none;
  std::optional<double> some = 1.5;
  putOptional<double>(o, "a", none);
  putOptional<double>(o, "b", some);
  EXPECT_EQ(encodeCompact(o), R"({"b":1.5})");
}

}  // namespace
}  // namespace vantrel::json
