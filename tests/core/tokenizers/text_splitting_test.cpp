#include "core/tokenizers/text_splitting.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/tokenizers/replace_pattern.hpp"
#include "core/tokenizers/tokenizer_error.hpp"
#include "support/expect_error.hpp"

namespace noxtal::tokenizers {
namespace {

using Pieces = std::vector<std::string>;

TEST(TextSplittingTest, SplitAtMatchesDropsEmptyPieces) {
  EXPECT_EQ(splitAtMatches("a  b ", " ", false, true), (Pieces{"a", " ", " ", "b", " "}));
  EXPECT_EQ(splitAtMatches("a  b ", " ", false, false), (Pieces{"a", "b"}));
  EXPECT_EQ(splitAtMatches("", " ", false, true), Pieces{});
  EXPECT_EQ(splitAtMatches("   ", " +", true, false), Pieces{});
  EXPECT_EQ(splitAtMatches("a1b22", "\\d+", true, true), (Pieces{"a", "1", "b", "22"}));
}

TEST(TextSplittingTest, SplitBeforeMatchesCutsInFrontOfEachMatch) {
  EXPECT_EQ(splitBeforeMatches("_a_b", "_", false), (Pieces{"_a", "_b"}));
  EXPECT_EQ(splitBeforeMatches("a__b", "_", false), (Pieces{"a", "_", "_b"}));
  EXPECT_EQ(splitBeforeMatches("ab", "_", false), Pieces{"ab"});
  EXPECT_EQ(splitBeforeMatches("", "_", false), Pieces{});
}

TEST(TextSplittingTest, LiteralAndRegexSearchDiffer) {
  EXPECT_EQ(matchRanges("a.b", ".", false), (std::vector<ByteRange>{{1, 2}}));
  EXPECT_EQ(matchRanges("a.b", ".", true).size(), 3u);
  // Byte offsets into UTF-8: U+00E9 takes two bytes.
  EXPECT_EQ(matchRanges("\xC3\xA9x", "x", true), (std::vector<ByteRange>{{2, 3}}));
}

TEST(TextSplittingTest, EmptyMatchesTerminateAndAreNeverPieces) {
  const std::string text =
      "ab\xE2\x96\x81"
      "c";  // a multi-byte code point in the middle
  for (const char* pattern : {"", "x*", "(?=b)", "\\b", "^", "$", "(?:)|a"}) {
    SCOPED_TRACE(pattern);
    const SearchPattern p = SearchPattern::regex(pattern);
    for (const ByteRange& r : matchRanges(text, p)) EXPECT_GT(r.size(), 0u);
    for (const std::string& piece : splitAtMatches(text, p, true)) EXPECT_FALSE(piece.empty());
    for (const std::string& piece : splitBeforeMatches(text, p)) EXPECT_FALSE(piece.empty());
  }
  // Non-empty matches next to empty ones are still found.
  EXPECT_EQ(splitAtMatches("axxb", "x*", true, true), (Pieces{"a", "xx", "b"}));
  EXPECT_EQ(splitAtMatches("abc", "", false, true), Pieces{"abc"});
}

TEST(TextSplittingTest, PatternThatDoesNotCompileMatchesNothing) {
  const SearchPattern p = SearchPattern::regex("(");
  EXPECT_FALSE(p.isValid());
  EXPECT_TRUE(p.matches("a(b").empty());
  EXPECT_EQ(splitAtMatches("a(b", p, true), Pieces{"a(b"});
  EXPECT_TRUE(SearchPattern::literal("(").isValid());
}

TEST(TextSplittingTest, SplitKeepingCapturesKeepsTheLastParticipatingGroup) {
  const platform::text::Regex addedTokens("(<\\|endoftext\\|>)|(<pad>)");
  EXPECT_EQ(splitKeepingCaptures("hi<pad>there<|endoftext|>", addedTokens),
            (Pieces{"hi", "<pad>", "there", "<|endoftext|>"}));
  EXPECT_EQ(splitKeepingCaptures("<pad><pad>", addedTokens), (Pieces{"<pad>", "<pad>"}));
  // Without groups the whole match is kept; a group inside the match narrows it.
  EXPECT_EQ(splitKeepingCaptures("a--b", platform::text::Regex("--")), (Pieces{"a", "--", "b"}));
  EXPECT_EQ(splitKeepingCaptures("a[x]b", platform::text::Regex("\\[(x)\\]")), (Pieces{"a", "x", "b"}));
  // No match: the one text, even when empty.
  EXPECT_EQ(splitKeepingCaptures("plain", addedTokens), Pieces{"plain"});
  EXPECT_EQ(splitKeepingCaptures("", addedTokens), Pieces{""});
  EXPECT_EQ(splitKeepingCaptures("ab", platform::text::Regex("x*")), Pieces{"ab"});
}

// A search the regular-expression engine cannot finish (a loop over a group needs more
// backtracking stack than the expression allows) is an error of the cut and of the replace
// rule, never a shorter result.
TEST(TextSplittingTest, ASearchTheEngineCannotFinishIsTooLong) {
  platform::text::RegexOptions limited;
  limited.backtrackStackLimit = 1024;
  const platform::text::Regex heavy("(a|b)+", limited);
  std::string text = "ab ";
  for (int i = 0; i < 500; ++i) text += "ab";
  text += " ab";
  const std::string reason =
      "regular expression \"(a|b)+\" cannot finish matching a text of 1006 bytes: U_REGEX_STACK_OVERFLOW";

  testsupport::expectError<TokenizerError>([&] { splitKeepingCaptures(text, heavy); }, TokenizerError::Case::tooLong,
                                           reason);
  const StringReplacePattern replace(StringReplacePattern::Regexp{heavy, "-"});
  testsupport::expectError<TokenizerError>([&] { replace.replace(text); }, TokenizerError::Case::tooLong, reason);
  // Within the limit both work as before.
  EXPECT_EQ(splitKeepingCaptures("x ab y", heavy), (Pieces{"x ", "b", " y"}));
  EXPECT_EQ(replace.replace("x ab y"), "x - y");
}

}  // namespace
}  // namespace noxtal::tokenizers
