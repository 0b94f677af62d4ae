#include "core/config.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <unordered_set>
#include <vector>

namespace noxtal {
namespace {

using platform::json::Json;

Config fromText(const std::string& text) { return Config::fromJson(platform::json::parse(text)); }
Config decodeText(const std::string& text) { return Config::decode(platform::json::parse(text)); }

TEST(ConfigTest, SnakeCaseForm) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"tokenizerClass", "tokenizer_class"},
      {"unkToken", "unk_token"},
      {"myURL", "my_url"},
      {"URLPath", "urlpath"},
      {"Model", "model"},
      {"already_snake", "already_snake"},
      {"", ""},
      {"a\xC3\x89t\xC3\xA9", "a_\xC3\xA9t\xC3\xA9"},  // non-ASCII capital
      {"x\xC4\xB0", "x_i\xCC\x87"},                   // full lowercase mapping may add units
  };
  for (const auto& [key, snake] : cases) {
    EXPECT_EQ(Config::snakeCase(BinaryDistinctString(key)).string(), snake) << key;
  }
}

TEST(ConfigTest, LookupFallsBackToSnakeCaseOnly) {
  const Config c = fromText(R"({"unk_token": "<unk>", "tokenizerClass": "Bert",
                                 "addBosToken": true, "add_bos_token": false})");
  EXPECT_EQ(c["unkToken"], Config("<unk>"));
  EXPECT_EQ(c["unk_token"], Config("<unk>"));
  EXPECT_TRUE(c["tokenizer_class"].isNull());  // never back to camelCase
  EXPECT_EQ(c["addBosToken"].kind(), Config::Kind::boolean);
  EXPECT_EQ(c["addBosToken"].boolean(), true);
  EXPECT_TRUE(c["missing"].isNull());
  EXPECT_TRUE(Config(5)["anything"].isNull());

  EXPECT_EQ(c.member("unkToken"), std::optional<Config>(Config("<unk>")));
  ASSERT_TRUE(c.member("nothingHere").has_value());
  EXPECT_TRUE(c.member("nothingHere")->isNull());
  EXPECT_FALSE(Config::makeArray({1, 2}).member("unkToken").has_value());
  EXPECT_FALSE(Config("text").member("x").has_value());
}

TEST(ConfigTest, KeysAreCodeUnitsExactly) {
  const Config c = fromText("{\"caf\xC3\xA9\": 1, \"cafe\xCC\x81\": 2}");
  ASSERT_EQ(c.dictionaryValue()->size(), 2u);
  EXPECT_EQ(c["caf\xC3\xA9"], Config(1));
  EXPECT_EQ(c["cafe\xCC\x81"], Config(2));
}

TEST(ConfigTest, FromJsonKinds) {
  struct Case {
    const char* json;
    Config::Kind kind;
  };
  const std::vector<Case> cases = {
      {R"("s")", Config::Kind::string},
      {"7", Config::Kind::integer},
      {"-7", Config::Kind::integer},
      {"7.5", Config::Kind::floating},
      {"true", Config::Kind::boolean},
      {"null", Config::Kind::null},
      {"[0, \"a\"]", Config::Kind::array},
      {"{}", Config::Kind::dictionary},
      {"[]", Config::Kind::array},
      {"18446744073709551615", Config::Kind::floating},  // above INT64_MAX
      {"9223372036854775807", Config::Kind::integer},
  };
  for (const auto& c : cases) EXPECT_EQ(fromText(c.json).kind(), c.kind) << c.json;
  EXPECT_EQ(fromText("18446744073709551615").floatingValue(), 18446744073709551615.0f);
}

// A number converts to an integer whenever it is exactly one, whatever its spelling; other
// numbers become 32-bit floats, infinite beyond the float range. parse() agrees with fromJson().
TEST(ConfigTest, NumbersFromJsonAndParse) {
  const float inf = std::numeric_limits<float>::infinity();
  struct Case {
    const char* json;
    Config expected;
    Config::Kind kind;
  };
  const std::vector<Case> cases = {
      {"7.0", 7, Config::Kind::integer},
      {"1e3", 1000, Config::Kind::integer},
      {"-0.0", 0, Config::Kind::integer},
      {"-9223372036854775808.0", std::numeric_limits<std::int64_t>::min(), Config::Kind::integer},
      {"7.25", 7.25f, Config::Kind::floating},
      {"1e19", 1e19f, Config::Kind::floating},
      {"1e300", inf, Config::Kind::floating},
      {"-1e300", -inf, Config::Kind::floating},
      {"3.4028235e38", std::numeric_limits<float>::max(), Config::Kind::floating},
  };
  for (const auto& c : cases) {
    for (const Config& value : {fromText(c.json), Config::parse(c.json)}) {
      EXPECT_EQ(value.kind(), c.kind) << c.json;
      EXPECT_EQ(value, c.expected) << c.json << " gave " << value.description();
    }
  }
  EXPECT_EQ(Config(1e300).floatingValue(), inf);
  EXPECT_EQ(Config(-1e39).floatingValue(), -inf);
  EXPECT_EQ(Config(3.4028235e38).floatingValue(), std::numeric_limits<float>::max());
}

TEST(ConfigTest, ParseRefusesExcessiveNesting) {
  const std::size_t depth = platform::json::kMaximumNestingDepth;
  const Config deepest = Config::parse(std::string(depth, '[') + std::string(depth, ']'));
  EXPECT_EQ(deepest.kind(), Config::Kind::array);
  EXPECT_THROW(Config::parse(std::string(depth + 1, '[') + std::string(depth + 1, ']')), platform::json::JsonError);
  EXPECT_THROW(Config::parse(std::string(100000, '[') + std::string(100000, ']')), platform::json::JsonError);
}

TEST(ConfigTest, ParseMatchesFromJson) {
  const std::string text = R"({"model": {"type": "BPE", "vocab": {"a": 0, "b": 1, "\u00e9": 2},
      "merges": ["a b", "ab c"], "dropout": null, "scale": 0.25, "big": 18446744073709551615},
      "added_tokens": [{"id": 5, "content": "<s>", "special": true}], "dup": 1, "dup": 2})";
  const Config parsed = Config::parse(text);
  const Config converted = fromText(text);
  EXPECT_EQ(parsed, converted);
  EXPECT_EQ(parsed.description(), converted.description());
  EXPECT_EQ(parsed["dup"], Config(2));
  EXPECT_THROW(Config::parse("{\"a\": }"), platform::json::JsonError);
  EXPECT_THROW(Config::parse(""), platform::json::JsonError);
}

TEST(ConfigDeathTest, NonJsonKindStops) {
  EXPECT_DEATH((void)Config::fromJson(Json::binary({1, 2})), "unknown type: binary");
}

TEST(ConfigTest, DecodeOrder) {
  EXPECT_EQ(decodeText("[0, \"a\"]").value(), Config::Data(Config::Token{0, BinaryDistinctString("a")}));
  const Config notToken = decodeText("[1.5, \"a\"]");
  EXPECT_EQ(notToken.kind(), Config::Kind::array);
  const Config reversed = decodeText("[\"a\", 0]");
  EXPECT_EQ(reversed.kind(), Config::Kind::array);
  EXPECT_EQ(reversed.token(), (std::optional<std::pair<std::uint64_t, std::string>>{{0, "a"}}));
  EXPECT_EQ(decodeText("[-1, \"a\"]").kind(), Config::Kind::array);
  EXPECT_EQ(decodeText("[3.0, \"a\"]").kind(), Config::Kind::token);
  EXPECT_EQ(decodeText("[0, \"a\", 1]").kind(), Config::Kind::array);

  struct Case {
    const char* json;
    Config::Kind kind;
  };
  const std::vector<Case> cases = {
      {"true", Config::Kind::boolean},
      {"7", Config::Kind::integer},
      {"7.0", Config::Kind::integer},
      {"7.25", Config::Kind::floating},
      {"{}", Config::Kind::dictionary},
      {"[]", Config::Kind::array},
      {"null", Config::Kind::null},
      {"\"x\"", Config::Kind::string},
      {"1e300", Config::Kind::null},  // fits no integer and no 32-bit float
      {"18446744073709551615", Config::Kind::floating},
  };
  for (const auto& c : cases) EXPECT_EQ(decodeText(c.json).kind(), c.kind) << c.json;
  const Config nested = decodeText(R"({"pair": [2, "b"], "list": [1, 2, 3]})");
  EXPECT_EQ(nested["pair"].kind(), Config::Kind::token);
  EXPECT_EQ(nested["list"].kind(), Config::Kind::array);
}

TEST(ConfigTest, EncodeAndDecodeRoundTrip) {
  const Config token = Config::makeToken(3, "a");
  const Json encoded = token.encode();
  EXPECT_EQ(platform::json::dump(encoded), R"([3,"a"])");
  EXPECT_EQ(Config::decode(encoded).value(), token.value());

  const Config tree = Config::makeDictionary(
      {{"b", Config::makeArray({1, 2.5f, "x", nullptr})}, {"a", true}, {"t", Config::makeToken(7, "tok")}});
  EXPECT_EQ(platform::json::dump(tree.encode()), R"({"a":true,"b":[1,2.5,"x",null],"t":[7,"tok"]})");
  EXPECT_EQ(Config::decode(tree.encode()), tree);
  EXPECT_EQ(platform::json::dump(Config(0.1f).encode()), "0.1");
  EXPECT_THROW(Config::makeArray({std::numeric_limits<float>::quiet_NaN()}).encode(), platform::json::JsonError);
}

// Every float that encode() writes decodes back to the same float, FLT_MAX ("3.4028235e+38",
// slightly above FLT_MAX as a double) included.
TEST(ConfigTest, EncodedFloatsAtTheEdgesDecodeBackEqual) {
  for (float f : {std::numeric_limits<float>::max(), -std::numeric_limits<float>::max(),
                  std::numeric_limits<float>::denorm_min(), std::numeric_limits<float>::min(), 0.1f, -2.5e-30f}) {
    const std::string text = platform::json::dump(Config(f).encode());
    const Config decoded = Config::decode(platform::json::parse(text));
    EXPECT_EQ(decoded.floatingValue(), f) << text;
  }
  EXPECT_EQ(platform::json::dump(Config(std::numeric_limits<float>::max()).encode()), "3.4028235e+38");
  // Past FLT_MAX plus half an ulp a number no longer fits a float.
  EXPECT_EQ(decodeText("3.4028236e38").kind(), Config::Kind::null);
}

TEST(ConfigTest, Readers) {
  struct BoolCase {
    Config value;
    std::optional<bool> expected;
  };
  const std::vector<BoolCase> bools = {
      {true, true},
      {false, false},
      {1, true},
      {0, false},
      {2, false},
      {"T", true},
      {"true", true},
      {"TRUE", true},
      {"1", true},
      {"f", false},
      {"False", false},
      {"0", false},
      {"yes", std::nullopt},
      {1.0f, std::nullopt},
      {Config(), std::nullopt},
      {Config::makeArray({}), std::nullopt},
  };
  for (const auto& c : bools) EXPECT_EQ(c.value.boolean(), c.expected) << c.value.description();

  EXPECT_EQ(Config::makeArray({"a", 1, "b"}).stringArray(), (std::optional<std::vector<std::string>>{{"a", "b"}}));
  EXPECT_EQ(Config::makeArray({1}).stringArray(),
            (std::optional<std::vector<std::string>>{std::vector<std::string>{}}));
  EXPECT_EQ(Config("a").stringArray(), std::nullopt);

  using TokenPair = std::optional<std::pair<std::uint64_t, std::string>>;
  EXPECT_EQ(Config::makeToken(4, "x").token(), (TokenPair{{4, "x"}}));
  EXPECT_EQ(Config::makeArray({"x", 4}).token(), (TokenPair{{4, "x"}}));
  EXPECT_EQ(Config::makeArray({"x", -4}).token(), std::nullopt);
  EXPECT_EQ(Config::makeArray({4, "x"}).token(), std::nullopt);
  EXPECT_EQ(Config::makeArray({"x", 4, 5}).token(), std::nullopt);
}

TEST(ConfigTest, Description) {
  const std::vector<std::pair<Config, std::string>> cases = {
      {Config::makeDictionary({{"a", 1}}), "{[a: 1]}"},
      {Config::makeArray({1, 2}), "[[1, 2]]"},
      {Config::makeDictionary({}), "{[:]}"},
      {Config::makeArray({}), "[[]]"},
      {Config(0.5f), "0.5"},
      {Config(1.0f), "1.0"},
      {Config(0.1f), "0.1"},
      {Config(1e6f), "1000000.0"},
      {Config(16777216.0f), "1.6777216e+07"},
      {Config(16777215.0f), "16777215.0"},
      {Config(0.0001f), "0.0001"},
      {Config(1e-5f), "1e-05"},
      {Config(1.5e10f), "1.5e+10"},
      {Config(-0.0f), "-0.0"},
      {Config("hi"), "\"hi\""},
      {Config(false), "false"},
      {Config(-12), "-12"},
      {Config::makeToken(3, "a"), "(3, a)"},
      {Config(), "null"},
      {Config::makeDictionary({{"b", "x"}, {"a", Config::makeArray({})}}), "{[a: [[]], b: \"x\"]}"},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(value.description(), text);
  // A key given twice keeps the later value.
  EXPECT_EQ(Config::makeDictionary({{"k", 1}, {"k", 2}}).description(), "{[k: 2]}");
}

struct EqualityCase {
  Config a;
  Config b;
  bool equal;
};

std::vector<EqualityCase> equalityCases() {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  return {
      {1, true, true},
      {2, false, true},
      {0, false, true},
      {2, true, false},
      {"T", true, true},
      {"yes", true, false},
      {"yes", false, false},
      {"1", 1, false},
      {3, 3.0f, true},
      {3, 3.5f, false},
      {1.0f, true, false},
      {"a", "a", true},
      {"a", "b", false},
      {nan, nan, false},
      {0.0f, -0.0f, true},
      {Config(), Config(), true},
      {Config(), 0, false},
      {Config::makeToken(1, "a"), Config::makeToken(1, "a"), true},
      {Config::makeToken(1, "a"), Config::makeArray({1, "a"}), false},
      {Config::makeArray({1, "t"}), Config::makeArray({true, true}), true},
      {Config::makeArray({1}), Config::makeArray({1, 1}), false},
      {Config::makeDictionary({{"a", 1}}), Config::makeDictionary({{"a", true}}), true},
      {Config::makeDictionary({{"a", 1}}), Config::makeDictionary({{"b", 1}}), false},
      {Config::makeDictionary({{"a", 1}}), Config::makeDictionary({{"a", 1}, {"b", 2}}), false},
  };
}

TEST(ConfigTest, LenientEqualityIsSymmetric) {
  for (const auto& c : equalityCases()) {
    EXPECT_EQ(c.a == c.b, c.equal) << c.a.description() << " == " << c.b.description();
    EXPECT_EQ(c.b == c.a, c.equal) << c.b.description() << " == " << c.a.description();
  }
}

TEST(ConfigTest, EqualValuesHashAlike) {
  const std::hash<Config> hash;
  for (const auto& c : equalityCases()) {
    if (c.equal) {
      EXPECT_EQ(hash(c.a), hash(c.b)) << c.a.description() << " vs " << c.b.description();
    }
  }
  // Values linked only through a chain of lenient equalities must meet too: "t" == true == 1 == 1.0.
  EXPECT_EQ(hash(Config("t")), hash(Config(1.0f)));
  // Every probe finds exactly one equal element.
  std::unordered_set<Config> set{Config(1), Config(true), Config(1.0f), Config("T")};
  for (const Config& probe : {Config(1), Config(true), Config(1.0f), Config("T")}) EXPECT_EQ(set.count(probe), 1u);
  // Equality is not transitive: "T" equals true but not 1, so the set keeps 1 and "T".
  EXPECT_EQ(set.size(), 2u);
  // Unrelated values still spread.
  EXPECT_NE(hash(Config("alpha")), hash(Config("beta")));
  EXPECT_NE(hash(Config(0.5f)), hash(Config(0.25f)));
}

}  // namespace
}  // namespace noxtal
