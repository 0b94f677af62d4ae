#include "platform/text/regex.hpp"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace platform::text {
namespace {

TEST(RegexTest, BadPatternThrows) {
  for (const char* pattern : {"(", "[a-", "a{2,1}", "*", "(?<name>x)(?<name>y)"}) {
    EXPECT_THROW(Regex{pattern}, RegexError) << pattern;
  }
}

TEST(RegexTest, MatchesWholeTextOnly) {
  const Regex r("[a-z]+\\d");
  EXPECT_TRUE(r.matches("abc1"));
  EXPECT_FALSE(r.matches("abc1 "));
  EXPECT_TRUE(r.contains("xx abc1 yy"));
  EXPECT_FALSE(r.contains("ABC"));
  EXPECT_TRUE(Regex("abc", {.caseInsensitive = true}).matches("AbC"));
}

TEST(RegexTest, SearchGivesByteRangesOfGroups) {
  const std::string text = "caf\xC3\xA9 = 42, x = 7";  // é takes two bytes
  const Regex r("(\\w+) = (\\d+)(z)?");
  const auto m = r.search(text);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->begin(), 0u);
  EXPECT_EQ(m->end(), 10u);
  EXPECT_EQ(m->str(text, 1), "caf\xC3\xA9");
  EXPECT_EQ(m->str(text, 2), "42");
  ASSERT_EQ(m->groups.size(), 4u);
  EXPECT_FALSE(m->groups[3].has_value());
  EXPECT_EQ(r.groupCount(), 3u);

  const auto second = r.search(text, m->end());
  ASSERT_TRUE(second);
  EXPECT_EQ(second->str(text), "x = 7");
  EXPECT_FALSE(r.search(text, second->end()));
  EXPECT_FALSE(r.search(text, text.size() + 1));
}

TEST(RegexTest, FindAllIsUnicodeAware) {
  const std::string text = "Hello w\xC3\xB6rld \xE4\xB8\xAD\xE6\x96\x87!";
  const Regex words("\\p{L}+");
  std::vector<std::string> found;
  for (const auto& m : words.findAll(text)) found.emplace_back(m.str(text));
  EXPECT_EQ(found, (std::vector<std::string>{"Hello", "w\xC3\xB6rld", "\xE4\xB8\xAD\xE6\x96\x87"}));
  EXPECT_TRUE(words.findAll("").empty());
  // An empty match advances by one character, never loops.
  EXPECT_EQ(Regex("x*").findAll("ab").size(), 3u);
}

TEST(RegexTest, ReplaceAll) {
  struct Case {
    const char* pattern;
    const char* text;
    const char* replacement;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {"(\\w+)@(\\w+)", "me@home you@work", "$2:$1", "home:me work:you"},
      {"a", "banana", "\\$", "b$n$n$"},
      {"(?<d>\\d)", "a1b2", "<${d}>", "a<1>b<2>"},
      {"\\s+", "  a  b ", " ", " a b "},
      {"(a)", "a", "$10", "a0"},  // only as many digits as name a group
      {"z", "abc", "Q", "abc"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Regex(c.pattern).replaceAll(c.text, c.replacement), c.expected) << c.pattern;
  }
  EXPECT_THROW(Regex("a").replaceAll("a", "$2"), RegexError);
  EXPECT_THROW(Regex("a").replaceAll("a", "${missing}"), RegexError);
  const auto upper = Regex("[a-z]").replaceAll(
      "a1b", [](const Match& m, std::string_view t) { return std::string(1, static_cast<char>(m.str(t)[0] - 32)); });
  EXPECT_EQ(upper, "A1B");
}

TEST(RegexTest, Split) {
  const Regex comma("\\s*,\\s*");
  EXPECT_EQ(comma.split("a , b,,c"), (std::vector<std::string>{"a", "b", "", "c"}));
  EXPECT_EQ(comma.split(",a,"), (std::vector<std::string>{"", "a", ""}));
  EXPECT_EQ(comma.split(""), (std::vector<std::string>{""}));
  EXPECT_EQ(Regex("\\d").split("a1b", true), (std::vector<std::string>{"a", "1", "b"}));
}

// A loop over a group takes backtracking stack for every character it matches; with a small
// limit a long run is more than the engine may take. Every matching operation then fails
// instead of answering as though the text ended there.
TEST(RegexTest, AMatchBeyondTheBacktrackStackLimitThrowsFromEveryOperation) {
  RegexOptions limited;
  limited.backtrackStackLimit = 1024;
  const Regex r("(a|b)+", limited);
  std::string run;
  for (int i = 0; i < 500; ++i) run += "ab";
  const std::string text = "ab " + run + " ab";

  EXPECT_THROW(r.findAll(text), RegexMatchError);
  EXPECT_THROW(r.matches(run), RegexMatchError);
  EXPECT_THROW(r.contains(run), RegexMatchError);
  EXPECT_THROW(r.search(text, 3), RegexMatchError);
  EXPECT_THROW(r.replaceAll(text, "-"), RegexMatchError);
  EXPECT_THROW(r.replaceAllLenient(text, "$1"), RegexMatchError);
  EXPECT_THROW(r.replaceAll(text, [](const Match&, std::string_view) { return std::string("-"); }), RegexMatchError);
  EXPECT_THROW(r.split(text), RegexMatchError);
  try {
    r.findAll(text);
  } catch (const RegexMatchError& error) {
    EXPECT_NE(std::string(error.what()).find("U_REGEX_STACK_OVERFLOW"), std::string::npos) << error.what();
  }

  // Short runs stay within the limit, and the default limit takes the long one.
  EXPECT_EQ(r.findAll("ab ba").size(), 2u);
  EXPECT_TRUE(r.matches("abba"));
  EXPECT_EQ(Regex("(a|b)+").findAll(text).size(), 3u);
  EXPECT_EQ(Regex("(a|b)+").split(text, true).size(), 7u);

  RegexOptions negative;
  negative.backtrackStackLimit = -1;
  EXPECT_THROW(Regex("a", negative), RegexError);
}

TEST(RegexTest, EscapeQuotesEveryMetacharacter) {
  const std::string literal = "a.b*c(d)[e]{f}^$|\\+?# -";
  const Regex r(Regex::escape(literal));
  EXPECT_TRUE(r.matches(literal));
  EXPECT_FALSE(r.matches("aXb*c(d)[e]{f}^$|\\+?# -"));
}

TEST(RegexTest, OneConstRegexServesManyThreads) {
  const Regex r("(\\d+)-(\\d+)");
  std::vector<std::thread> threads;
  std::vector<int> ok(8, 0);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      const std::string text = std::to_string(t) + "-" + std::to_string(t * 10) + " x";
      for (int i = 0; i < 200; ++i) {
        const auto m = r.search(text);
        if (m && m->str(text, 1) == std::to_string(t) && m->str(text, 2) == std::to_string(t * 10)) ++ok[t];
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < 8; ++t) EXPECT_EQ(ok[t], 200);
}

}  // namespace
}  // namespace platform::text

namespace platform::text {
namespace {

TEST(RegexLenientTemplateTest, NeverThrowsAndInsertsNothingForMissingGroups) {
  const Regex r("(a)(b)?");
  EXPECT_THROW(r.replaceAll("ab", "$3"), RegexError);  // the strict form is unchanged
  EXPECT_EQ(r.replaceAllLenient("ab a", "[$2$1$3]"), "[ba] [a]");
  EXPECT_EQ(r.replaceAllLenient("ab", "$12"), "a2");  // as many digits as name a group
  EXPECT_EQ(r.replaceAllLenient("ab", "${nope}-"), "-");
  EXPECT_EQ(r.replaceAllLenient("ab", "${open"), "${open");
  EXPECT_EQ(r.replaceAllLenient("ab", "$ and \\$1 and \\\\"), "$ and $1 and \\");
  EXPECT_EQ(r.replaceAllLenient("ab", "x\\"), "x\\");
  EXPECT_EQ(Regex("(?<w>b)").replaceAllLenient("abc", "<${w}>"), "a<b>c");
  EXPECT_EQ(Regex("x").replaceAllLenient("", "$9"), "");
}

}  // namespace
}  // namespace platform::text
