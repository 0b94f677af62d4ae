// The pretrained pipeline: sections at added tokens, the first-section option, lstrip/rstrip,
// fusing of unknown tokens, encoding with the post-processor, decoding with skipped special
// ids and the clean-up of spaces.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/config.hpp"
#include "core/tokenizers/pretrained_tokenizer.hpp"
#include "core/tokenizers/tokenizer_error.hpp"
#include "support/expect_error.hpp"

namespace noxtal::tokenizers {
namespace {

using Tokens = std::vector<std::string>;
using Ids = std::vector<int>;

// A BPE over "▁", "h", "i" with a Metaspace pre-tokenizer that puts "▁" in front of the first
// section only. Added tokens: "<s>" (10, special), "[L]" (11, lstrip, not special), "[R]" (12,
// rstrip, special), "<s>x" (13, special), "[NOID]" (no id).
constexpr const char* kData = R"({
  "added_tokens": [
    {"id": 10, "content": "<s>", "special": true},
    {"id": 11, "content": "[L]", "lstrip": true, "special": false},
    {"id": 12, "content": "[R]", "rstrip": true, "special": true},
    {"id": 13, "content": "<s>x", "special": true},
    {"content": "[NOID]", "special": true}
  ],
  "pre_tokenizer": {"type": "Metaspace", "replacement": "\u2581", "add_prefix_space": true, "prepend_scheme": "first"},
  "post_processor": {"type": "TemplateProcessing",
                     "single": [{"SpecialToken": {"id": "<s>", "type_id": 0}}, {"Sequence": {"id": "A", "type_id": 0}}],
                     "pair": [{"Sequence": {"id": "A", "type_id": 0}}, {"Sequence": {"id": "B", "type_id": 1}}]},
  "model": {"type": "BPE",
            "vocab": {"\u2581": 0, "h": 1, "i": 2, "\u2581h": 3, "\u2581hi": 4, "hi": 5, "a": 6, " ,": 7, " !": 8,
                      "<unk>": 20, "<0x78>": 20},
            "merges": ["\u2581 h", "\u2581h i", "h i"]}
})";

PreTrainedTokenizer make(const std::string& config = R"({"tokenizer_class": "GPT2Tokenizer"})",
                         const char* data = kData) {
  return PreTrainedTokenizer(Config::parse(config), Config::parse(data), true);
}

TEST(PreTrainedTokenizerTest, OnlyTheFirstSectionIsPreTokenizedAsFirst) {
  const PreTrainedTokenizer tokenizer = make();
  // No added token: one section, with the prefix.
  EXPECT_EQ(tokenizer.tokenize("hi hi"), (Tokens{"\u2581hi", "\u2581hi"}));
  // Starting with an added token: the word after it gets no prefix.
  EXPECT_EQ(tokenizer.tokenize("<s>hi"), (Tokens{"<s>", "hi"}));
  EXPECT_EQ(tokenizer.tokenize("hi<s>hi"), (Tokens{"\u2581hi", "<s>", "hi"}));
}

TEST(PreTrainedTokenizerTest, AddedTokensStripAndOverlap) {
  const PreTrainedTokenizer tokenizer = make();
  // lstrip swallows the blank before the token (without it, "hi " would end in "▁").
  EXPECT_EQ(tokenizer.tokenize("hi [L]"), (Tokens{"\u2581hi", "[L]"}));
  EXPECT_EQ(tokenizer.tokenize("hi <s>"), (Tokens{"\u2581hi", "\u2581", "<s>"}));
  // rstrip swallows the blank after it.
  EXPECT_EQ(tokenizer.tokenize("[R] hi"), (Tokens{"[R]", "hi"}));
  // The longer of two overlapping contents is cut out whole.
  EXPECT_EQ(tokenizer.tokenize("<s>xhi"), (Tokens{"<s>x", "hi"}));
  EXPECT_EQ(tokenizer.addedTokens().size(), 4u);
  EXPECT_EQ(tokenizer.specialTokens().size(), 3u);
}

TEST(PreTrainedTokenizerTest, AnAddedTokenWithoutIdIsTokenizedAsTextAndCannotBeEncoded) {
  const PreTrainedTokenizer tokenizer = make();
  // Cut out as a section of its own, then spelt by the model: its letters are outside the
  // vocabulary and fall back to byte tokens, which have no id either.
  EXPECT_EQ(tokenizer.tokenize("hi[NOID]"),
            (Tokens{"\u2581hi", "<0x5B>", "<0x4E>", "<0x4F>", "<0x49>", "<0x44>", "<0x5D>"}));
  try {
    tokenizer.encode("hi[NOID]");
    FAIL() << "expected tokenWithoutId";
  } catch (const TokenizerError& error) {
    EXPECT_EQ(error.errorCase(), TokenizerError::Case::tokenWithoutId);
    EXPECT_EQ(error.message(), "<0x5B>");
  }
}

TEST(PreTrainedTokenizerTest, EncodingAddsThePostProcessorsTokensOnRequest) {
  const PreTrainedTokenizer tokenizer = make();
  EXPECT_EQ(tokenizer.encode("hi"), (Ids{10, 4}));
  EXPECT_EQ(tokenizer.encode("hi", false), (Ids{4}));
  EXPECT_EQ(tokenizer.encode("[R] hi", false), (Ids{12, 5}));
}

TEST(PreTrainedTokenizerTest, UnknownTokensAreFusedPerRunWhenTheModelAsks) {
  const PreTrainedTokenizer fusing = make(R"({"tokenizer_class": "GPT2Tokenizer", "unk_token": "<unk>",
                                              "fuse_unk": true})");
  // x, y and z fall back to byte tokens the vocabulary lacks (and "<0x78>" shares the unknown
  // id): the run of three keeps its first.
  EXPECT_EQ(fusing.tokenize("hi xyz"), (Tokens{"\u2581hi", "\u2581", "<0x78>"}));
  // Separated by a known token, unknown tokens stay apart.
  EXPECT_EQ(fusing.tokenize("xhy"), (Tokens{"\u2581", "<0x78>", "h", "<0x79>"}));
  EXPECT_EQ(fusing.encode("xhy", false), (Ids{0, 20, 1, 20}));
  const PreTrainedTokenizer plain = make(R"({"tokenizer_class": "GPT2Tokenizer", "unk_token": "<unk>"})");
  EXPECT_EQ(plain.tokenize("hi xyz"), (Tokens{"\u2581hi", "\u2581", "<0x78>", "<0x79>", "<0x7A>"}));
  // A token outside the vocabulary converts to the unknown id; without an unknown token, to
  // nothing.
  const Tokenizer& withUnknown = plain;
  EXPECT_EQ(withUnknown.convertTokenToId("zz"), 20);
  EXPECT_EQ(make().convertTokenToId("zz"), std::nullopt);
}

TEST(PreTrainedTokenizerTest, DecodingSkipsOnlySpecialIdsAndDropsUnknownOnes) {
  const PreTrainedTokenizer tokenizer = make();
  const Ids ids = {10, 4, 11, 12, 999, -1};
  EXPECT_EQ(tokenizer.decode(ids), "<s>\u2581hi[L][R]");
  EXPECT_EQ(tokenizer.decode(ids, true), "\u2581hi[L]");
  EXPECT_EQ(tokenizer.decode(Ids{}), "");
}

TEST(PreTrainedTokenizerTest, CleanUpRemovesSpacesBeforePunctuationUnlessSwitchedOff) {
  const Ids ids = {6, 7, 6, 8};  // "a" " ," "a" " !"
  EXPECT_EQ(make().decode(ids), "a,a!");
  EXPECT_EQ(make(R"({"tokenizer_class": "GPT2Tokenizer", "clean_up_tokenization_spaces": true})").decode(ids),
            "a,a!");
  EXPECT_EQ(make(R"({"tokenizer_class": "GPT2Tokenizer", "clean_up_tokenization_spaces": false})").decode(ids),
            "a ,a !");
  EXPECT_EQ(make(R"({"tokenizer_class": "GPT2Tokenizer", "clean_up_tokenization_spaces": "f"})").decode(ids),
            "a ,a !");
}

TEST(PreTrainedTokenizerTest, CleanUpAppliesTheTenReplacementsInOrder) {
  const PreTrainedTokenizer tokenizer = make();
  EXPECT_EQ(tokenizer.cleanUp("a . b ? c ! d , e ' f n't g 'm h 's i 've j 're"),
            "a. b? c! d, e'fn't g'm h's i've j're");
  EXPECT_EQ(tokenizer.cleanUp("x ' s"), "x's");  // " ' " first, then nothing left for " 's"
}

TEST(PreTrainedTokenizerTest, InvalidUtf8IsReadAsReplacementCharacters) {
  const PreTrainedTokenizer tokenizer = make();
  EXPECT_EQ(tokenizer.tokenize("h\xFFi"), (Tokens{"\u2581h", "<0xEF>", "<0xBF>", "<0xBD>", "i"}));
}

// "\\S+" takes backtracking stack for every character it matches: a word of two million
// characters is more than the engine's default limit. The tokenizer reports it instead of
// dropping the word (or, with a Split pattern, keeping the rest of the text as one piece).
TEST(PreTrainedTokenizerTest, AWordTheRegexEngineCannotMatchIsTooLong) {
  const PreTrainedTokenizer tokenizer = make(R"({"tokenizer_class": "GPT2Tokenizer"})", R"({
    "pre_tokenizer": {"type": "Whitespace"},
    "model": {"type": "BPE", "vocab": {"h": 1, "i": 2, "hi": 5}, "merges": ["h i"]}})");
  EXPECT_EQ(tokenizer.encode("hi  hi", false), (Ids{5, 5}));
  const std::string text = "hi " + std::string(2'000'000, 'h');
  const std::string reason =
      "regular expression \"\\S+\" cannot finish matching a text of 2000003 bytes: U_REGEX_STACK_OVERFLOW";
  testsupport::expectError<TokenizerError>([&] { tokenizer.encode(text); }, TokenizerError::Case::tooLong, reason);
}

TEST(PreTrainedTokenizerTest, AddedTokenIdsOutsideThirtyTwoBitsAreMalformed) {
  for (const char* id : {"2147483648", "-1"}) {
    const std::string data = std::string(R"({"added_tokens": [{"id": )") + id +
                             R"(, "content": "big"}], "model": {"type": "BPE", "vocab": {}, "merges": []}})";
    try {
      PreTrainedTokenizer(Config::parse(R"({"tokenizer_class": "GPT2Tokenizer"})"), Config::parse(data), true);
      FAIL() << "expected malformedVocab for id " << id;
    } catch (const TokenizerError& error) {
      EXPECT_EQ(error.errorCase(), TokenizerError::Case::malformedVocab);
    }
  }
  // The largest id is fine, and malformed entries (no content, an id that is no integer) are
  // skipped rather than reported.
  const PreTrainedTokenizer largest(
      Config::parse(R"({"tokenizer_class": "GPT2Tokenizer"})"),
      Config::parse(R"({"added_tokens": [{"id": 2147483647, "content": "big"}, {"id": 3}, {"id": "4", "content": "s"},
                                         7], "model": {"type": "BPE", "vocab": {}, "merges": []}})"),
      true);
  EXPECT_EQ(largest.encode("big"), (Ids{2147483647}));
  EXPECT_EQ(largest.addedTokens().size(), 1u);
}

}  // namespace
}  // namespace noxtal::tokenizers
