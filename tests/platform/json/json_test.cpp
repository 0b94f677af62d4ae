#include "platform/json/json.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace platform::json {
namespace {

TEST(JsonTest, DumpRefusesNonFiniteNumbersAnywhere) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_THROW(dump(Json(nan)), JsonError);
  EXPECT_THROW(dump(Json::array({1, Json::object({{"x", inf}})})), JsonError);
  EXPECT_THROW(fromFloat(std::numeric_limits<float>::quiet_NaN()), JsonError);
  EXPECT_THROW(fromDouble(-inf), JsonError);
  EXPECT_EQ(dump(Json::object({{"a", 1.5}})), R"({"a":1.5})");
}

TEST(JsonTest, FloatsUseTheirShortestForm) {
  EXPECT_EQ(dump(fromFloat(0.1f)), "0.1");
  EXPECT_EQ(dump(fromFloat(-1.25f)), "-1.25");
  EXPECT_EQ(dump(fromFloat(1e-7f)), "1e-07");
  EXPECT_EQ(dump(fromFloat(3.4028235e38f)), "3.4028235e+38");
  EXPECT_EQ(static_cast<float>(shortestFloat(0.3f)), 0.3f);
}

TEST(JsonTest, KeysKeepInsertionOrder) {
  Json object = Json::object();
  object["zeta"] = 1;
  object["alpha"] = 2;
  EXPECT_EQ(dump(object), R"({"zeta":1,"alpha":2})");
  EXPECT_EQ(dump(parse(R"({"b":1,"a":2})")), R"({"b":1,"a":2})");
}

TEST(JsonTest, ParseErrorsAreJsonErrors) {
  EXPECT_THROW(parse("{"), JsonError);
  EXPECT_THROW(parse(""), JsonError);
  EXPECT_THROW(dump(Json(std::string("\xff"))), JsonError);
}

TEST(JsonTest, RequireNamesTheMissingKey) {
  const Json object = parse(R"({"name":"x","count":3,"none":null})");
  EXPECT_EQ(requireAs<std::string>(object, "name"), "x");
  EXPECT_EQ(requireAs<int>(object, "count"), 3);
  try {
    (void)require(object, "missing");
    FAIL() << "no error";
  } catch (const JsonError& e) {
    EXPECT_NE(std::string(e.what()).find("\"missing\""), std::string::npos);
  }
  EXPECT_THROW(requireAs<int>(object, "none"), JsonError);
  EXPECT_THROW(requireAs<std::string>(object, "count"), JsonError);
  EXPECT_THROW(require(Json::array(), "name"), JsonError);
  EXPECT_EQ(optionalAs<int>(object, "none"), std::nullopt);
  EXPECT_EQ(optionalAs<int>(object, "missing"), std::nullopt);
  EXPECT_EQ(optionalAs<int>(object, "count"), 3);
  EXPECT_THROW(optionalAs<int>(object, "name"), JsonError);
}

TEST(JsonTest, IntegersAreReadExactly) {
  const Json object = parse(R"({"whole":3.0,"half":3.7,"huge":1e300,"big":5000000000,"neg":-1,"flag":true})");
  EXPECT_EQ(requireAs<int>(object, "whole"), 3);
  EXPECT_THROW(requireAs<int>(object, "half"), JsonError);
  EXPECT_THROW(requireAs<int>(object, "huge"), JsonError);
  EXPECT_THROW(requireAs<int>(object, "big"), JsonError);
  EXPECT_EQ(requireAs<std::int64_t>(object, "big"), 5000000000);
  EXPECT_THROW(requireAs<unsigned>(object, "neg"), JsonError);
  EXPECT_THROW(optionalAs<std::uint8_t>(object, "neg"), JsonError);
  EXPECT_THROW(requireAs<int>(object, "flag"), JsonError);
  EXPECT_THROW(requireAs<bool>(object, "whole"), JsonError);
  EXPECT_DOUBLE_EQ(requireAs<double>(object, "big"), 5e9);
}

TEST(JsonTest, FloatsMustFitTheFloatRange) {
  const Json object = parse(R"({"small":0.1,"whole":3,"max":3.4028235e38,"huge":1e300,"low":-1e39,"text":"1"})");
  EXPECT_EQ(requireAs<float>(object, "small"), 0.1f);
  EXPECT_EQ(requireAs<float>(object, "whole"), 3.0f);
  EXPECT_EQ(requireAs<float>(object, "max"), std::numeric_limits<float>::max());  // as dump writes it
  EXPECT_THROW(requireAs<float>(object, "huge"), JsonError);
  EXPECT_THROW(optionalAs<float>(object, "low"), JsonError);
  EXPECT_THROW(requireAs<float>(object, "text"), JsonError);
  EXPECT_DOUBLE_EQ(requireAs<double>(object, "huge"), 1e300);
}

TEST(JsonTest, EnumerationCases) {
  EXPECT_EQ(dump(enumCase("failed", "boom")), R"({"failed":{"_0":"boom"}})");
  EXPECT_EQ(dump(enumCase("completed")), R"({"completed":{}})");
  const Json failed = parse(R"({"failed":{"_0":"boom"}})");
  const auto [name, inner] = readEnumCase(failed);
  EXPECT_EQ(name, "failed");
  EXPECT_EQ(inner->at("_0"), "boom");
  EXPECT_THROW(readEnumCase(parse(R"({"a":{},"b":{}})")), JsonError);
  EXPECT_THROW(readEnumCase(parse(R"({"a":1})")), JsonError);
  EXPECT_THROW(readEnumCase(parse(R"("a")")), JsonError);
}

TEST(JsonParseTest, LargeObjectsKeepOrderAndLastDuplicateWins) {
  // Small and large objects (the latter use the hash index), nested, with repeated keys.
  for (int size : {3, 15, 16, 17, 500}) {
    std::string text = "{";
    for (int i = 0; i < size; ++i) text += "\"k" + std::to_string(size - i) + "\":" + std::to_string(i) + ",";
    text += "\"k1\":\"last\",\"nested\":[{\"a\":1,\"a\":2},[]],\"k2\":{}}";
    const Json tree = parse(text);
    const auto reference = nlohmann::json::parse(text);  // standard parser: last duplicate wins
    ASSERT_EQ(tree.size(), static_cast<std::size_t>(size) + 1) << size;
    EXPECT_EQ(tree.begin().key(), "k" + std::to_string(size));
    EXPECT_EQ(tree["k1"], "last");
    EXPECT_EQ(tree["k2"], Json::object());
    EXPECT_EQ(tree["nested"][0]["a"], 2);
    EXPECT_EQ(tree["nested"][0].size(), 1u);
    EXPECT_EQ(nlohmann::json::parse(tree.dump()), reference);
  }
}

TEST(JsonParseTest, ScalarsAndErrors) {
  EXPECT_EQ(parse("  42 "), 42);
  EXPECT_EQ(parse("\"x\""), "x");
  EXPECT_TRUE(parse("null").is_null());
  EXPECT_EQ(parse("[1,[2,[3]]]")[1][1][0], 3);
  EXPECT_THROW(parse("[1,]"), JsonError);
  EXPECT_THROW(parse("{\"a\":1} x"), JsonError);
}

std::string nested(std::size_t depth, char open, char close) {
  return std::string(depth, open) + std::string(depth, close);
}

// Every consumer of a tree walks it recursively, so a hostile file must not be able to nest
// deeply enough to exhaust the stack.
TEST(JsonParseTest, NestingDepthIsBounded) {
  EXPECT_NO_THROW(parse(nested(kMaximumNestingDepth, '[', ']')));
  std::string objects;
  for (std::size_t i = 0; i < kMaximumNestingDepth; ++i) objects += "{\"a\":";
  objects += "1" + std::string(kMaximumNestingDepth, '}');
  EXPECT_NO_THROW(parse(objects));
  EXPECT_THROW(parse(nested(kMaximumNestingDepth + 1, '[', ']')), JsonError);
  EXPECT_THROW(parse("{\"a\":" + nested(kMaximumNestingDepth, '[', ']') + "}"), JsonError);
  try {
    (void)parse(nested(200000, '[', ']'));
    FAIL() << "no error";
  } catch (const JsonError& e) {
    EXPECT_NE(std::string(e.what()).find("nested more than 512"), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace platform::json
