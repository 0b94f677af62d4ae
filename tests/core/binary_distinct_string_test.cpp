#include "core/binary_distinct_string.hpp"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace noxtal {
namespace {

const BinaryDistinctString kComposed(std::u16string(u"\u00E9"));
const BinaryDistinctString kDecomposed(std::u16string(u"e\u0301"));
const BinaryDistinctString kEmoji(std::u16string(u"\U0001F600"));

TEST(BinaryDistinctStringTest, CanonicallyEquivalentTextsStayDistinct) {
  EXPECT_NE(kComposed, kDecomposed);
  EXPECT_EQ(kComposed.count(), 1u);
  EXPECT_EQ(kDecomposed.count(), 1u);
  EXPECT_EQ(kComposed.value().size(), 1u);
  EXPECT_EQ(kDecomposed.value().size(), 2u);
  std::unordered_set<BinaryDistinctString> set{kComposed, kDecomposed};
  EXPECT_EQ(set.size(), 2u);
  EXPECT_EQ(BinaryDistinctString("caf\xC3\xA9").value(), u"caf\u00E9");
  EXPECT_EQ(BinaryDistinctString(std::vector<char16_t>{0xD800}).string(), "\xEF\xBF\xBD");
}

TEST(BinaryDistinctStringTest, OrdersByUnsignedCodeUnits) {
  const std::vector<std::pair<BinaryDistinctString, BinaryDistinctString>> ascending = {
      {"ab", "abc"},
      {"abc", "abd"},
      {"B", "a"},
      {"", "a"},
      {kEmoji, BinaryDistinctString(std::u16string(u"\uFFFF"))},  // lead surrogate 0xD83D < 0xFFFF
  };
  for (const auto& [a, b] : ascending) {
    EXPECT_TRUE(a < b) << a.string() << " < " << b.string();
    EXPECT_FALSE(b < a);
    EXPECT_FALSE(a < a);
  }
}

TEST(BinaryDistinctStringTest, PrefixSuffixConcatenation) {
  const BinaryDistinctString s("hello");
  EXPECT_TRUE(s.hasPrefix(""));
  EXPECT_TRUE(s.hasPrefix("he"));
  EXPECT_FALSE(s.hasPrefix("hello!"));
  EXPECT_TRUE(s.hasSuffix("llo"));
  EXPECT_FALSE(s.hasSuffix("ahello"));
  EXPECT_TRUE(s.hasSuffix(""));
  EXPECT_EQ(BinaryDistinctString("ab") + BinaryDistinctString("cd"), BinaryDistinctString("abcd"));
  EXPECT_FALSE(kDecomposed.hasPrefix(kComposed));
}

TEST(BinaryDistinctStringTest, LowercasingAndReplacing) {
  EXPECT_EQ(BinaryDistinctString("HeLLo \xC3\x89").lowercased(), BinaryDistinctString("hello \xC3\xA9"));
  EXPECT_EQ(BinaryDistinctString(std::u16string(u"\u0130")).lowercased().value(), u"i\u0307");
  struct Case {
    const char* text;
    const char* target;
    const char* replacement;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {"aaa", "aa", "b", "ba"},   {"hello world", "o", "0", "hell0 w0rld"},
      {"abc", "", "x", "abc"},    {"abc", "abc", "", ""},
      {"a.b", ".", "..", "a..b"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(BinaryDistinctString(c.text).replacingOccurrences(c.target, c.replacement),
              BinaryDistinctString(c.expected))
        << c.text;
  }
  // Replacement works on code units: a precomposed target never matches the decomposed form.
  EXPECT_EQ(kDecomposed.replacingOccurrences(kComposed, "x"), kDecomposed);
}

TEST(BinaryDistinctStringTest, PositionsAndSlices) {
  const BinaryDistinctString abc("abc");
  EXPECT_EQ(abc.index(0, 3), 3u);
  EXPECT_EQ(abc.index(2, -2), 0u);
  EXPECT_EQ(abc.index(0, 5, 3), std::nullopt);
  EXPECT_EQ(abc.index(2, -1, 3), std::optional<std::size_t>(1));
  EXPECT_EQ(abc.slice(1), BinaryDistinctString("bc"));
  EXPECT_EQ(abc.slice(3), BinaryDistinctString(""));
  EXPECT_EQ(abc.slice(1, 1), BinaryDistinctString(""));
  EXPECT_EQ(abc.slice(0, 2), BinaryDistinctString("ab"));

  // Positions count grapheme clusters, slices keep every unit of a cluster.
  const BinaryDistinctString mixed(std::u16string(u"e\u0301\U0001F600x"));
  EXPECT_EQ(mixed.count(), 3u);
  EXPECT_EQ(mixed.endIndex(), 3u);
  EXPECT_EQ(mixed.slice(1, 2), kEmoji);
  EXPECT_EQ(mixed.slice(0, 1), kDecomposed);
}

TEST(BinaryDistinctStringDeathTest, OutOfRangePositionsStop) {
  const BinaryDistinctString abc("abc");
  EXPECT_DEATH((void)abc.index(2, 2), "Index out of bounds");
  EXPECT_DEATH((void)abc.index(0, -1), "Index out of bounds");
  EXPECT_DEATH((void)abc.slice(2, 4), "Index out of bounds");
  EXPECT_DEATH((void)abc.slice(2, 1), "Index out of bounds");
  EXPECT_DEATH((void)abc.slice(4), "Index out of bounds");
}

TEST(BinaryDistinctStringTest, IteratesCharacters) {
  std::vector<BinaryDistinctCharacter> seen;
  for (const auto& c : BinaryDistinctString(std::u16string(u"a\U0001F600e\u0301"))) seen.push_back(c);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].bytes(), u"a");
  EXPECT_EQ(seen[1].bytes(), std::u16string({0xD83D, 0xDE00}));
  EXPECT_EQ(seen[2].bytes(), u"e\u0301");
  EXPECT_EQ(BinaryDistinctString(seen), BinaryDistinctString(std::u16string(u"a\U0001F600e\u0301")));
  EXPECT_EQ(kEmoji.characters().size(), 1u);
  int n = 0;
  for ([[maybe_unused]] const auto& c : BinaryDistinctString("")) ++n;
  EXPECT_EQ(n, 0);
}

TEST(BinaryDistinctCharacterTest, Description) {
  EXPECT_EQ(BinaryDistinctCharacter(std::u16string(u"\u00E9")).description(),
            "BinaryDistinctCharacter('\xC3\xA9', bytes: [\"0xE9\"])");
  EXPECT_EQ(BinaryDistinctCharacter("e\xCC\x81").description(),
            "BinaryDistinctCharacter('e\xCC\x81', bytes: [\"0x65\", \"0x301\"])");
  EXPECT_EQ(BinaryDistinctCharacter("\xF0\x9F\x98\x80").description(),
            "BinaryDistinctCharacter('\xF0\x9F\x98\x80', bytes: [\"0xD83D\", \"0xDE00\"])");
  EXPECT_EQ(BinaryDistinctCharacter("\n").description(), "BinaryDistinctCharacter('\n', bytes: [\"0x0A\"])");
}

TEST(BinaryDistinctStringMergeTest, MergeKeepsOneSideKeysAndAsksStrategyForShared) {
  const auto keepCurrent = [](int current, int) { return current; };
  const auto keepIncoming = [](int, int incoming) { return incoming; };

  std::unordered_map<BinaryDistinctString, int> a{{"a", 1}};
  const std::unordered_map<BinaryDistinctString, int> b{{"a", 2}, {"b", 3}};
  merge(a, b, keepCurrent);
  EXPECT_EQ(a, (std::unordered_map<BinaryDistinctString, int>{{"a", 1}, {"b", 3}}));

  const std::map<BinaryDistinctString, int> ordered{{"a", 1}};
  const std::map<std::string, int> byText{{"a", 2}, {"caf\xC3\xA9", 4}};
  const auto merged = merging(ordered, byText, keepIncoming);
  EXPECT_EQ(merged, (std::map<BinaryDistinctString, int>{{"a", 2}, {"caf\xC3\xA9", 4}}));
  EXPECT_EQ(ordered.size(), 1u);  // merging leaves the original alone

  int calls = 0;
  std::unordered_map<BinaryDistinctString, int> c{{"x", 1}};
  merge(c, std::unordered_map<std::string, int>{{"y", 2}}, [&](int x, int) {
    ++calls;
    return x;
  });
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(c.size(), 2u);
}

}  // namespace
}  // namespace noxtal
