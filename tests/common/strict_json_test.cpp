#include "vantrel/common/strict_json.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace vantrel::json {
namespace {

struct Sample {
  double number = 0;
  std::int64_t integer = 0;
  bool flag = false;
  std::string text;
  std::optional<double> maybe;
  std::vector<std::int64_t> list;
  std::map<std::string, bool> byId;
};

}  // namespace

template <>
struct JsonDecode<Sample> {
  static Sample decode(const Value& v, const Path& path) {
    ObjectReader r(v, path);
    Sample s;
    s.number = r.required<double>("number");
    s.integer = r.required<std::int64_t>("integer");
    s.flag = r.required<bool>("flag");
    s.text = r.required<std::string>("text");
    s.maybe = r.optional<double>("maybe");
    s.list = r.required<std::vector<std::int64_t>>("list");
    s.byId = r.required<std::map<std::string, bool>>("byId");
    return s;
  }
};

namespace {

std::string doc(const std::string& number, const std::string& integer, const std::string& flag,
                const std::string& text, const std::string& extra = "") {
  return R"({"number":)" + number + R"(,"integer":)" + integer + R"(,"flag":)" + flag + R"(,"text":)" + text +
         R"(,"list":[1,2],"byId":{"a":true})" + extra + "}";
}

TEST(StrictJson, DecodesValidDocument) {
  Sample s = decodeDocument<Sample>(doc("8", "30", "true", R"("é\"")", R"(,"maybe":null,"unknown":[{}])"));
  EXPECT_EQ(s.number, 8.0);
  EXPECT_EQ(s.integer, 30);
  EXPECT_TRUE(s.flag);
  EXPECT_EQ(s.text, "\xC3\xA9\"");
  EXPECT_FALSE(s.maybe.has_value());
  EXPECT_EQ(s.list, (std::vector<std::int64_t>{1, 2}));
  EXPECT_TRUE(s.byId.at("a"));
}

struct TypeCase {
  const char* name;
  std::string document;
  bool ok;
};

void PrintTo(const TypeCase& c, std::ostream* os) { *os << c.name; }

class StrictTypes : public ::testing::TestWithParam<TypeCase> {};

TEST_P(StrictTypes, AcceptsOnlyExactTypes) {
  const auto& c = GetParam();
  if (c.ok) {
    EXPECT_NO_THROW(decodeDocument<Sample>(c.document)) << c.name;
  } else {
    EXPECT_THROW(decodeDocument<Sample>(c.document), DecodeError) << c.name;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StrictTypes,
    ::testing::Values(
        TypeCase{"fractional integer", doc("1", "29.97", "true", "\"\""), false},
        TypeCase{"whole number written with fraction", doc("1", "30.0", "true", "\"\""), true},
        TypeCase{"exponent integer", doc("1", "3e1", "true", "\"\""), true},
        TypeCase{"integer beyond 64 bits", doc("1", "9223372036854775808", "true", "\"\""), false},
        TypeCase{"largest integer", doc("1", "9223372036854775807", "true", "\"\""), true},
        TypeCase{"smallest integer", doc("1", "-9223372036854775808", "true", "\"\""), true},
        TypeCase{"huge integer", doc("1", "123456789012345678901234567890", "true", "\"\""), false},
        TypeCase{"boolean as number", doc("1", "1", "1", "\"\""), false},
        TypeCase{"number as string", doc("\"1\"", "1", "true", "\"\""), false},
        TypeCase{"string as number", doc("1", "1", "true", "5"), false},
        TypeCase{"number out of double range", doc("1e400", "1", "true", "\"\""), false},
        TypeCase{"NaN literal", doc("NaN", "1", "true", "\"\""), false},
        TypeCase{"Infinity literal", doc("Infinity", "1", "true", "\"\""), false},
        TypeCase{"required null", doc("null", "1", "true", "\"\""), false},
        TypeCase{"optional wrong type", doc("1", "1", "true", "\"\"", R"(,"maybe":"x")"), false},
        TypeCase{"array instead of id map", R"({"number":1,"integer":1,"flag":true,"text":"","list":[],"byId":[]})",
                 false},
        TypeCase{"array element of wrong type", R"({"number":1,"integer":1,"flag":true,"text":"","list":[1.5],"byId":{}})",
                 false},
        TypeCase{"missing required key", R"({"number":1,"integer":1,"flag":true,"list":[],"byId":{}})", false},
        TypeCase{"top level not an object", "[1]", false},
        TypeCase{"empty document", "", false},
        TypeCase{"trailing garbage", doc("1", "1", "true", "\"\"") + "x", false},
        TypeCase{"comment", "/* c */" + doc("1", "1", "true", "\"\""), false},
        TypeCase{"invalid UTF-8 in string", doc("1", "1", "true", "\"\xff\xfe\""), false}),
    [](const auto& info) {
      std::string n = info.param.name;
      for (auto& ch : n) {
        if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
      }
      return n;
    });

TEST(StrictJson, DuplicateKeyLastOccurrenceWins) {
  Sample s = decodeDocument<Sample>(doc("1", "1", "true", "\"\"", R"(,"integer":7)"));
  EXPECT_EQ(s.integer, 7);
}

TEST(StrictJson, DeepNestingIsRejectedWithoutRecursion) {
  std::string deep(100000, '[');
  deep += std::string(100000, ']');
  EXPECT_THROW(parseDocument(deep), DecodeError);
  // Brackets inside strings do not count toward the depth.
  std::string quoted = "{\"k\":\"" + std::string(5000, '[') + "\"}";
  EXPECT_NO_THROW(parseDocument(quoted));
}

TEST(StrictJson, ErrorNamesThePath) {
  try {
    decodeDocument<Sample>(R"({"number":1,"integer":1,"flag":true,"text":"","list":[1,"x"],"byId":{}})");
    FAIL();
  } catch (const DecodeError& e) {
    EXPECT_NE(std::string(e.what()).find("list[1]"), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace vantrel::json
