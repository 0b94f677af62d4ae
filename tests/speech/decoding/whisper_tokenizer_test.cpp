#include "speech/decoding/whisper_tokenizer.hpp"

#include <gtest/gtest.h>

#include "speech/decoding/fake_tokenizer.hpp"

namespace vostrane {
namespace {

using testing::FakeTokenizer;
using testing::whisperLikeTokenizer;

WhisperTokenizerWrapper wrap(FakeTokenizer tokenizer) {
  return WhisperTokenizerWrapper(noxtal::tokenizers::TokenizerWrapper(std::make_shared<const FakeTokenizer>(std::move(tokenizer))));
}

std::vector<std::string> wordsOf(const WordTokens& split) { return split.words; }

TEST(WhisperTokenizerSpecialIds, ComeFromTheVocabularyWithFallbacksForMissingTexts) {
  FakeTokenizer moved = whisperLikeTokenizer();
  moved.add(50400, "<|nospeech|>");  // the no-speech token at another id
  const auto wrapper = wrap(moved);
  const SpecialTokens& s = wrapper.specialTokens();
  EXPECT_EQ(s.noSpeechToken, 50400);
  EXPECT_EQ(s.endToken, 50257);
  EXPECT_EQ(s.specialTokenBegin, s.endToken);
  EXPECT_EQ(s.startOfTranscriptToken, 50258);
  EXPECT_EQ(s.timeTokenBegin, 50364);

  // A vocabulary with only the end token at a shifted id: that id for both, defaults elsewhere.
  FakeTokenizer sparse;
  sparse.add(100, "<|endoftext|>");
  const auto fallback = wrap(sparse);
  SpecialTokens expected;
  expected.endToken = 100;
  expected.specialTokenBegin = 100;
  EXPECT_EQ(fallback.specialTokens(), expected);
  EXPECT_TRUE(fallback.allLanguageTokens().empty());
}

// A tokenizer with an unknown token answers its id for every text outside the vocabulary. The
// blank is not a byte-level token, so it must fall back to 220 rather than become the unknown
// id, and a missing no-speech token to 50362.
TEST(WhisperTokenizerSpecialIds, AnUnknownTokenNeverStandsInForAMissingText) {
  FakeTokenizer t = whisperLikeTokenizer();
  FakeTokenizer withoutNoSpeech;
  for (int id : {50257, 50258, 50259, 50358, 50359, 50361, 50363, 50364}) {
    withoutNoSpeech.add(id, *t.convertIdToToken(id));
  }
  withoutNoSpeech.unknown(50257);
  const auto wrapper = wrap(withoutNoSpeech);
  EXPECT_EQ(wrapper.specialTokens().whitespaceToken, 220);
  EXPECT_EQ(wrapper.specialTokens().noSpeechToken, 50362);
  EXPECT_EQ(wrapper.specialTokens().translateToken, 50358);
  EXPECT_EQ(wrapper.allLanguageTokens(), (std::set<int>{50259}));
}

TEST(WhisperTokenizerLanguages, OnlyLanguageIdsAboveTheSpecialBeginCount) {
  FakeTokenizer t = whisperLikeTokenizer();
  t.add(100, "<|de|>");  // below specialTokenBegin: not a language token
  t.unknown(50500);      // above it: must not enter for every unknown code
  const auto wrapper = wrap(t);
  EXPECT_EQ(wrapper.allLanguageTokens(), (std::set<int>{50259, 50260}));
}

class WordSplitting : public ::testing::Test {
 protected:
  WordSplitting() {
    FakeTokenizer t = whisperLikeTokenizer();
    t.add(1, "ĠHello", " Hello").add(2, "Ġwor", " wor").add(3, "ld").add(4, ",").add(5, "Ġhow", " how");
    t.add(6, "?!").add(7, ".").add(8, ",Ġ", ", ").add(9, "a");
    t.add(10, "ü1", "\xC3").add(11, "ü2", "\xBC");  // "ü" over two ids
    t.add(12, "e").add(13, "\xCC\x81");             // combining acute accent in its own id
    t.add(14, "bad", "\xFF");                       // a byte that is never valid UTF-8
    t.add(15, "こん").add(16, "にち").add(17, "は").add(18, "Ġ世界", " 世界");
    t.add(19, "Ġ", " ");
    tokenizer_ = t;
  }
  WhisperTokenizerWrapper wrapper() const { return wrap(tokenizer_); }
  FakeTokenizer tokenizer_;
};

TEST_F(WordSplitting, EnglishWordsStartAtBlanksAndSinglePunctuation) {
  const WordTokens split = wrapper().splitToWordTokens(std::vector<int>{1, 2, 3, 4, 5, 6, 7});
  EXPECT_EQ(split.words, (std::vector<std::string>{" Hello", " world", ",", " how?!", "."}));
  EXPECT_EQ(split.wordTokens, (std::vector<std::vector<int>>{{1}, {2, 3}, {4}, {5, 6}, {7}}));
  // A comma followed by a blank trims to one punctuation scalar and starts a word.
  EXPECT_EQ(wordsOf(wrapper().splitToWordTokens(std::vector<int>{9, 8, 9})),
            (std::vector<std::string>{"a", ", a"}));
}

TEST_F(WordSplitting, SpecialIdsStartWordsAndAloneGiveSpaceSplitting) {
  const WordTokens split = wrapper().splitToWordTokens(std::vector<int>{50364, 1, 3, 50365});
  EXPECT_EQ(split.words, (std::vector<std::string>{"<|0.00|>", " Hellold", "<|0.02|>"}));
  const WordTokens onlySpecial = wrapper().splitToWordTokens(std::vector<int>{50258, 50364});
  EXPECT_EQ(onlySpecial.wordTokens, (std::vector<std::vector<int>>{{50258}, {50364}}));
  const WordTokens empty = wrapper().splitToWordTokens(std::vector<int>{});
  EXPECT_TRUE(empty.words.empty());
  EXPECT_TRUE(empty.wordTokens.empty());
}

TEST_F(WordSplitting, UnicodePiecesKeepMultiByteCharactersWhole) {
  const WordTokens split = wrapper().splitTokensOnUnicode(std::vector<int>{9, 10, 11, 9});
  EXPECT_EQ(split.words, (std::vector<std::string>{"a", "\xC3\xBC", "a"}));
  EXPECT_EQ(split.wordTokens, (std::vector<std::vector<int>>{{9}, {10, 11}, {9}}));
  // A replacement character that the whole text holds too is a piece of its own.
  const WordTokens invalid = wrapper().splitTokensOnUnicode(std::vector<int>{9, 14, 9});
  EXPECT_EQ(invalid.wordTokens, (std::vector<std::vector<int>>{{9}, {14}, {9}}));
}

// Positions are counted in scalars: a combining mark decoded alone is a character of its own,
// so counting clusters would run past the end of the whole text ("é" + "ü" is two clusters).
TEST_F(WordSplitting, ACombiningMarkInItsOwnIdKeepsPositionsInsideTheText) {
  const WordTokens split = wrapper().splitTokensOnUnicode(std::vector<int>{12, 13, 10, 11});
  EXPECT_EQ(split.words, (std::vector<std::string>{"e", "\xCC\x81", "\xC3\xBC"}));
  EXPECT_EQ(split.wordTokens, (std::vector<std::vector<int>>{{12}, {13}, {10, 11}}));
}

// The clean-up shortens the whole text (" ." becomes "."), so the running position passes its
// end; past the end there is no replacement character and the run goes on.
TEST_F(WordSplitting, AWholeTextShortenedByTheCleanUpIsNoReplacementPastItsEnd) {
  FakeTokenizer t = tokenizer_;
  t.cleanUp();
  const WhisperTokenizerWrapper cleaned = wrap(t);
  const WordTokens split = cleaned.splitTokensOnUnicode(std::vector<int>{9, 19, 7, 10, 11});
  EXPECT_EQ(split.wordTokens, (std::vector<std::vector<int>>{{9}, {19}, {7}, {10, 11}}));
  // A run still holding a replacement character at the end is dropped.
  EXPECT_EQ(cleaned.splitTokensOnUnicode(std::vector<int>{9, 19, 7, 10}).wordTokens,
            (std::vector<std::vector<int>>{{9}, {19}, {7}}));
}

TEST_F(WordSplitting, JapaneseIsSplitIntoUnicodePiecesOnly) {
  const std::vector<int> ids{15, 16, 17, 18};
  const WordTokens split = wrapper().splitToWordTokens(ids);
  EXPECT_EQ(split.words, (std::vector<std::string>{"こん", "にち", "は", " 世界"}));
  EXPECT_EQ(wordsOf(wrapper().splitTokensOnSpaces(ids)), (std::vector<std::string>{"こんにちは", " 世界"}));
}

}  // namespace
}  // namespace vostrane
