// The literal added-token matcher against the regular expression it stands for.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "core/tokenizers/added_token_matcher.hpp"
#include "core/tokenizers/text_splitting.hpp"
#include "platform/text/regex.hpp"

namespace noxtal::tokenizers {
namespace {

using Sections = std::vector<std::string>;

Sections sectionsOf(const AddedTokenMatcher& matcher, std::string_view text) {
  Sections out;
  for (const std::string_view s : matcher.sections(text)) out.emplace_back(s);
  return out;
}

Sections regexSections(const AddedTokenMatcher& matcher, std::string_view text) {
  return splitKeepingCaptures(text, platform::text::Regex(matcher.pattern()));
}

TEST(AddedTokenMatcherTest, CutsAsThePipelineDescribes) {
  const AddedTokenMatcher matcher({{"<a>", false, false}, {"<ab>", false, false}, {"[L]", true, false},
                                   {"[R]", false, true}});
  // Longest content first: "<ab>" wins over "<a>" where both could start.
  EXPECT_EQ(sectionsOf(matcher, "x<ab>y<a>"), (Sections{"x", "<ab>", "y", "<a>"}));
  // lstrip swallows the blanks before the token, rstrip those after it.
  EXPECT_EQ(sectionsOf(matcher, "word  [L] next"), (Sections{"word", "[L]", " next"}));
  EXPECT_EQ(sectionsOf(matcher, "word [R] \t next"), (Sections{"word ", "[R]", "next"}));
  // A text starting with a token, and one without any.
  EXPECT_EQ(sectionsOf(matcher, "<a>b"), (Sections{"<a>", "b"}));
  EXPECT_EQ(sectionsOf(matcher, "plain"), (Sections{"plain"}));
  EXPECT_EQ(sectionsOf(matcher, ""), (Sections{""}));
  // The leftmost position wins over a longer token further on.
  EXPECT_EQ(sectionsOf(matcher, "<a<ab>"), (Sections{"<a", "<ab>"}));
}

TEST(AddedTokenMatcherTest, LstripGivesBackOnlyTheSpaceTheContentNeeds) {
  // A content that itself begins with a blank keeps that blank.
  const AddedTokenMatcher matcher({{" x", true, false}});
  const std::vector<AddedTokenMatcher::Cut> cuts = matcher.matches("a   xb");
  ASSERT_EQ(cuts.size(), 1u);
  EXPECT_EQ(cuts[0].range, (platform::text::ByteRange{1, 5}));
  EXPECT_EQ(cuts[0].content, (platform::text::ByteRange{3, 5}));
}

TEST(AddedTokenMatcherTest, EmptyContentsAreHarmlessUnlessTheyStrip) {
  const AddedTokenMatcher plain({{"", false, false}, {"t", false, false}});
  EXPECT_EQ(sectionsOf(plain, "a t b"), (Sections{"a ", "t", " b"}));
  EXPECT_EQ(sectionsOf(plain, "a t b"), regexSections(plain, "a t b"));
  // "\s*()" removes every run of white space and leaves no section of its own.
  const AddedTokenMatcher stripping({{"", true, false}});
  EXPECT_EQ(sectionsOf(stripping, "a  b c"), (Sections{"a", "b", "c"}));
  EXPECT_EQ(sectionsOf(stripping, "a  b c"), regexSections(stripping, "a  b c"));
}

TEST(AddedTokenMatcherTest, WhiteSpaceIsTheRegexEnginesWhiteSpace) {
  // Every character the engine's "\s" matches, and a few it might be confused with.
  const std::vector<std::string> candidates = {
      "\t", "\n", "\v", "\f", "\r", " ", "\u0085", "\u00A0", "\u1680", "\u2000", "\u200A", "\u2028",
      "\u2029", "\u202F", "\u205F", "\u3000", "\u200B", "\u180E", "\uFEFF", "\u0001", "\u001C", "\u001F"};
  const AddedTokenMatcher matcher({{"T", true, true}});
  for (const std::string& space : candidates) {
    const std::string text = "a" + space + "T" + space + "b";
    EXPECT_EQ(sectionsOf(matcher, text), regexSections(matcher, text)) << "U+" << std::hex
                                                                        << static_cast<int>(space[0]);
  }
}

// Random token sets and texts built from pieces of the tokens, blanks and other characters:
// the matcher's sections and matches must be the regular expression's.
TEST(AddedTokenMatcherTest, AgreesWithTheRegularExpressionOnRandomTexts) {
  std::mt19937 random(20261209);
  const std::vector<std::string> alphabet = {"<", "|", ">", "a", "b", "ab", " ", "  ", "\t", "\n", "\u00A0",
                                             "\u3000", "\u00E9", "e\u0301", "\U0001F600", ".", "*", "(", "\\"};
  auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random); };
  int compared = 0;
  for (int round = 0; round < 300; ++round) {
    std::vector<AddedTokenPattern> entries;
    const std::size_t tokenCount = 1 + pick(8);
    for (std::size_t t = 0; t < tokenCount; ++t) {
      std::string content;
      const std::size_t length = pick(5);
      for (std::size_t i = 0; i < length; ++i) content += alphabet[pick(alphabet.size())];
      entries.push_back({content, pick(3) == 0, pick(3) == 0});
    }
    const AddedTokenMatcher matcher(entries);
    const platform::text::Regex regex(matcher.pattern());
    for (int sample = 0; sample < 30; ++sample) {
      std::string text;
      const std::size_t pieces = pick(25);
      for (std::size_t i = 0; i < pieces; ++i) {
        text += pick(3) == 0 ? entries[pick(entries.size())].content : alphabet[pick(alphabet.size())];
      }
      std::vector<AddedTokenMatcher::Cut> expected;
      for (const platform::text::Match& m : regex.findAll(text)) {
        if (m.end() == m.begin()) continue;
        std::size_t group = 0;
        for (std::size_t g = m.groups.size(); g-- > 1;) {
          if (m.groups[g]) {
            group = g;
            break;
          }
        }
        expected.push_back({m.range(), *m.groups[group]});
      }
      ASSERT_EQ(matcher.matches(text), expected) << "pattern " << matcher.pattern() << " text '" << text << "'";
      ASSERT_EQ(sectionsOf(matcher, text), regexSections(matcher, text));
      ++compared;
    }
  }
  EXPECT_EQ(compared, 9000);
}

// The matcher's cost does not grow with the number of tokens: a long text against the 1,600
// Whisper-style tokens is cut in one pass (a quadratic matcher would time the test out).
TEST(AddedTokenMatcherTest, ManyTokensAndLongWhiteSpaceRuns) {
  std::vector<AddedTokenPattern> entries;
  for (int i = 0; i < 1600; ++i) entries.push_back({"<|" + std::to_string(i) + "|>", i % 7 == 0, i % 5 == 0});
  const AddedTokenMatcher matcher(entries);
  std::string text(200'000, ' ');
  text += "<|21|>";
  text += std::string(200'000, ' ');
  text += "<|43|>x";
  const std::vector<std::string_view> sections = matcher.sections(text);
  ASSERT_EQ(sections.size(), 4u);
  EXPECT_EQ(sections[0], "<|21|>");  // lstrip (21 = 3 * 7) swallowed the first run
  EXPECT_EQ(sections[1].size(), 200'000u);
  EXPECT_EQ(sections[2], "<|43|>");
  EXPECT_EQ(sections[3], "x");
}

}  // namespace
}  // namespace noxtal::tokenizers
