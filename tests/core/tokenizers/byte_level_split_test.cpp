// The byte-level pre-tokenizer's hand-written scanner against the regular expression it
// replaces, over random texts mixing every class the pattern distinguishes.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/tokenizers/text_splitting.hpp"

namespace noxtal::tokenizers {
namespace {

TEST(ByteLevelSplit, GivesTheRangesOfThePatternOnRandomTexts) {
  const SearchPattern pattern = SearchPattern::regex(kByteLevelSplitPattern);
  // Letters, numbers, punctuation, apostrophe contractions, every kind of white space (also
  // the ones ICU may class apart: VT, NEL, NBSP, U+2028), marks, symbols and non-Latin text.
  const std::vector<std::string> alphabet = {
      "a", "Z", "s", "t", "r", "e", "v", "l", "m", "d", "'", "'s", "'re", "'ll", "0", "7", "\xC2\xB2",
      "\xE2\x85\xA0", " ", " ", " ", "  ", "\t", "\n", "\r\n", "\x0B", "\x0C", "\xC2\x85", "\xC2\xA0",
      "\xE2\x80\xA8", "\xE3\x80\x80", "!", ".", ",", "-", "$", "\xE2\x82\xAC", "\xCC\x81", "\xC3\xA9",
      "\xD0\x96", "\xE4\xB8\xAD", "\xE3\x81\x8B", "\xF0\x9F\x98\x80", "\xE2\x80\x8D", "\x01", "\x1F"};
  std::mt19937 random(20261209);
  std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
  std::uniform_int_distribution<int> length(0, 24);
  for (int round = 0; round < 6000; ++round) {
    std::string text;
    for (int k = length(random); k > 0; --k) text += alphabet[pick(random)];
    ASSERT_EQ(byteLevelSplitRanges(text), pattern.matches(text)) << "text: \"" << text << "\"";
  }
}

TEST(ByteLevelSplit, KnownCutsAndInvalidInput) {
  const auto pieces = [](std::string_view text) {
    std::vector<std::string> out;
    for (const ByteRange& r : byteLevelSplitRanges(text)) out.emplace_back(text.substr(r.begin, r.size()));
    return out;
  };
  EXPECT_EQ(pieces("Hello  world's 42!\n"),
            (std::vector<std::string>{"Hello", " ", " world", "'s", " 42", "!", "\n"}));
  EXPECT_EQ(pieces(""), std::vector<std::string>{});
  // Invalid UTF-8 goes through the pattern itself and keeps every byte.
  const std::string invalid = "ab\xFF cd";
  std::size_t covered = 0;
  for (const ByteRange& r : byteLevelSplitRanges(invalid)) covered += r.size();
  EXPECT_EQ(covered, invalid.size());
}

}  // namespace
}  // namespace noxtal::tokenizers
