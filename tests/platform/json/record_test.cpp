#include "platform/json/record.hpp"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace platform::json {
namespace {

enum class Colour { red, deepBlue };

}  // namespace

template <>
struct EnumStrings<Colour> {
  static constexpr std::string_view typeName = "Colour";
  static constexpr std::array<std::pair<Colour, std::string_view>, 2> cases{
      {{Colour::red, "red"}, {Colour::deepBlue, "deep-blue"}}};
};

namespace {

struct Inner {
  int count = 0;
  std::optional<std::string> label{};

  static constexpr auto fields() { return std::tuple{field("count", &Inner::count), field("label", &Inner::label)}; }
  friend bool operator==(const Inner& a, const Inner& b) { return recordEquals(a, b); }
};

// Writes a duration in seconds as whole milliseconds: an irregular form.
struct MillisecondsCoder {
  Json encode(double seconds) const { return Json(std::llround(seconds * 1000)); }
  double decode(const Json& json, std::string_view key) const {
    return static_cast<double>(detail::convertMember<std::int64_t>(json, key)) / 1000;
  }
};

struct Outer {
  std::string name{};
  float gain = 1;
  double offset = 0;
  bool enabled = false;
  Colour colour = Colour::red;
  std::optional<Colour> accent{};
  Inner inner{};
  std::vector<Inner> items{};
  std::optional<std::vector<int>> ids{};
  std::map<int, float> scores{};
  std::vector<std::optional<float>> gaps{};
  double duration = 0;
  int notInJson = 7;  // left out of the table

  static constexpr auto fields() {
    using O = Outer;
    return std::tuple{field("name", &O::name),     field("gain", &O::gain),
                      field("offset", &O::offset), field("enabled", &O::enabled),
                      field("colour", &O::colour), field("accent", &O::accent),
                      field("inner", &O::inner),   field("items", &O::items),
                      field("ids", &O::ids),       field("scores", &O::scores),
                      field("gaps", &O::gaps),     field("durationMs", &O::duration, MillisecondsCoder{})};
  }
};

struct Duplicated {
  int a = 0;
  int b = 0;
  static constexpr auto fields() { return std::tuple{field("a", &Duplicated::a), field("a", &Duplicated::b)}; }
};

Outer sample() {
  Outer o;
  o.name = "x";
  o.gain = 0.1F;
  o.offset = -2.5;
  o.enabled = true;
  o.colour = Colour::deepBlue;
  o.inner = {3, "three"};
  o.items = {{1, std::nullopt}, {2, "b"}};
  o.ids = std::vector<int>{16777217, -1};
  o.scores = {{-5, 0.5F}, {50364, -0.25F}};
  o.gaps = {0.25F, std::nullopt};
  o.duration = 1.5;
  return o;
}

TEST(RecordCodecTest, WritesKeysInTableOrderAndLeavesAbsentOptionalsOut) {
  EXPECT_EQ(dump(encode(sample())),
            R"({"name":"x","gain":0.1,"offset":-2.5,"enabled":true,"colour":"deep-blue",)"
            R"("inner":{"count":3,"label":"three"},"items":[{"count":1},{"count":2,"label":"b"}],)"
            R"("ids":[16777217,-1],"scores":{"-5":0.5,"50364":-0.25},"gaps":[0.25,null],"durationMs":1500})");
}

TEST(RecordCodecTest, ReadsBackEqualAndIgnoresUnknownKeys) {
  const Outer original = sample();
  Json json = encode(original);
  json["unknown"] = Json::array({1, 2});
  json["inner"]["extra"] = "ignored";
  const Outer read = decode<Outer>(parse(dump(json)), "Outer");
  EXPECT_TRUE(recordEquals(read, original));
  EXPECT_EQ(read.duration, 1.5);
  EXPECT_EQ(read.gaps.size(), 2U);
  EXPECT_FALSE(read.gaps[1].has_value());
  EXPECT_EQ(read.items[0].label, std::nullopt);
}

TEST(RecordCodecTest, EqualityAndHashUseOnlyListedFields) {
  Outer a = sample();
  Outer b = sample();
  b.notInJson = 99;
  EXPECT_TRUE(recordEquals(a, b));
  EXPECT_EQ(recordHash(a), recordHash(b));
  // Zeros of either sign are equal, so they must hash alike, also deep inside containers.
  a.gain = 0.0F;
  b.gain = -0.0F;
  a.scores[1] = 0.0F;
  b.scores[1] = -0.0F;
  a.gaps.push_back(0.0F);
  b.gaps.push_back(-0.0F);
  ASSERT_TRUE(recordEquals(a, b));
  EXPECT_EQ(recordHash(a), recordHash(b));
  b.items[0].count = 2;
  EXPECT_NE(recordHash(a), recordHash(b));  // a field of a nested record takes part
  b = a;
  b.items[1].label = "c";
  EXPECT_FALSE(recordEquals(a, b));
  b = a;
  b.accent = Colour::red;
  EXPECT_FALSE(recordEquals(a, b));
  b = a;
  b.gain = std::nanf("");
  a.gain = std::nanf("");
  EXPECT_FALSE(recordEquals(a, b));  // floats compare by value
}

TEST(RecordCodecTest, OptionalsMayBeMissingOrNullRequiredKeysMayNot) {
  Json json = encode(sample());
  json["accent"] = nullptr;
  json["ids"] = nullptr;
  const Outer read = decode<Outer>(json, "Outer");
  EXPECT_FALSE(read.accent.has_value());
  EXPECT_FALSE(read.ids.has_value());

  for (const char* key : {"name", "gain", "inner", "items", "scores", "durationMs"}) {
    Json missing = encode(sample());
    missing.erase(key);
    try {
      (void)decode<Outer>(missing, "Outer");
      ADD_FAILURE() << key;
    } catch (const JsonError& e) {
      EXPECT_EQ(std::string(e.what()), "missing required key \"" + std::string(key) + "\"");
    }
    Json null = encode(sample());
    null[key] = nullptr;
    EXPECT_THROW((void)decode<Outer>(null, "Outer"), JsonError) << key;
  }
}

// Each wrong value must give an error naming the key it was found under.
TEST(RecordCodecTest, WrongTypesNameTheKey) {
  const struct {
    const char* key;
    Json value;
  } cases[] = {
      {"name", 1},
      {"gain", "0.5"},
      {"gain", 1e39},
      {"offset", true},
      {"enabled", 1},
      {"colour", "Red"},
      {"colour", 0},
      {"inner", Json::array()},
      {"items", Json::object()},
      {"ids", Json::array({1.5})},
      {"ids", Json::array({2147483648LL})},
      {"scores", Json::array()},
      {"scores", Json::object({{"1x", 0.5}})},
      {"scores", Json::object({{"", 0.5}})},
      {"gaps", Json::array({"a"})},
      {"durationMs", 1.25},
  };
  for (const auto& c : cases) {
    Json json = encode(sample());
    json[c.key] = c.value;
    try {
      (void)decode<Outer>(json, "Outer");
      ADD_FAILURE() << c.key << " = " << c.value.dump();
    } catch (const JsonError& e) {
      const std::string text = e.what();
      EXPECT_TRUE(text.find(std::string("\"") + c.key + "\"") != std::string::npos ||
                  text.find("Cannot initialize Colour") != std::string::npos)
          << c.key << ": " << text;
    }
  }
  // A nested record's errors name the nested key.
  Json json = encode(sample());
  json["items"][1]["count"] = "2";
  try {
    (void)decode<Outer>(json, "Outer");
    ADD_FAILURE();
  } catch (const JsonError& e) {
    EXPECT_NE(std::string(e.what()).find("\"count\""), std::string::npos) << e.what();
  }
  EXPECT_THROW((void)decode<Outer>(Json::array(), "Outer"), JsonError);
}

TEST(RecordCodecTest, NumbersAtTheEdgesOfTheirTypes) {
  Outer o = sample();
  for (float edge : {FLT_MAX, -FLT_MAX, std::numeric_limits<float>::denorm_min(), -0.0F, FLT_MIN}) {
    o.gain = edge;
    const std::string text = dump(encode(o));
    const Outer read = decode<Outer>(parse(text), "Outer");
    EXPECT_EQ(read.gain, edge) << text;
    EXPECT_EQ(std::signbit(read.gain), std::signbit(edge)) << text;
  }
  o.gain = FLT_MAX;
  EXPECT_NE(dump(encode(o)).find("\"gain\":3.4028235e+38"), std::string::npos);
  o.offset = DBL_MAX;
  EXPECT_EQ(decode<Outer>(parse(dump(encode(o))), "Outer").offset, DBL_MAX);

  for (float bad : {std::numeric_limits<float>::infinity(), std::nanf("")}) {
    o.gain = bad;
    EXPECT_THROW((void)encode(o), JsonError);
  }
  o = sample();
  o.offset = -std::numeric_limits<double>::infinity();
  EXPECT_THROW((void)encode(o), JsonError);
  o = sample();
  o.gaps = {std::numeric_limits<float>::quiet_NaN()};
  EXPECT_THROW((void)encode(o), JsonError);
}

TEST(RecordCodecTest, KeyedEnumCases) {
  const KeyedEnumCoder<Colour> coder;
  EXPECT_EQ(dump(coder.encode(Colour::deepBlue)), R"({"deep-blue":{}})");
  EXPECT_EQ(coder.decode(parse(R"({"red":{},"other":1})"), "c"), Colour::red);
  for (const char* text : {"{}", R"({"red":{},"deep-blue":{}})", R"({"Red":{}})"}) {
    try {
      (void)coder.decode(parse(text), "c");
      ADD_FAILURE() << text;
    } catch (const JsonError& e) {
      EXPECT_STREQ(e.what(), "Invalid number of keys found, expected one.");
    }
  }
  EXPECT_THROW((void)coder.decode(parse(R"({"red":[]})"), "c"), JsonError);
  EXPECT_THROW((void)coder.decode(parse(R"("red")"), "c"), JsonError);
  EXPECT_EQ(enumFromString<Colour>("deep-blue"), Colour::deepBlue);
  EXPECT_EQ(enumFromString<Colour>("deep_blue"), std::nullopt);
  EXPECT_EQ(enumString(Colour::deepBlue), "deep-blue");
}

TEST(RecordCodecTest, RepeatedKeysInATableAreFound) {
  EXPECT_FALSE(detail::hasUniqueKeys<Duplicated>());
  EXPECT_TRUE(detail::hasUniqueKeys<Outer>());
}

}  // namespace
}  // namespace platform::json
