#include "core/tokenizers/wordpiece_tokenizer.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/config.hpp"
#include "core/tokenizers/tokenizer_error.hpp"

namespace noxtal::tokenizers {
namespace {

using Strings = std::vector<std::string>;

constexpr std::string_view kVocab = R"({"[UNK]": 0, "[CLS]": 1, "[SEP]": 2, "un": 3, "##aff": 4, "##able": 5,
  "hello": 6, ",": 7, "-": 8, "a": 9, "b": 10, "cafe": 11, "x": 12, "##x": 13, "\u4e2d": 14, "$": 15,
  "Hello": 16, "caf\u00e9": 17, "a\nb": 18})";

BertTokenizer makeBert(std::string_view config = "{}", std::string_view vocab = kVocab,
                       std::string_view addedTokensArray = "[]", const AddedTokens& added = {}) {
  const std::string data = std::string(R"({"model": {"type": "WordPiece", "vocab": )") + std::string(vocab) +
                           "}, \"added_tokens\": " + std::string(addedTokensArray) + "}";
  return BertTokenizer(Config::parse(config), Config::parse(data), added);
}

TEST(BertTokenizerTest, DefaultsLowerCaseAndStripAccents) {
  const BertTokenizer bert = makeBert();
  EXPECT_EQ(bert.tokenize("H\u00E9llo, CAF\u00C9"), (Strings{"hello", ",", "cafe"}));
  EXPECT_EQ(bert.tokenize("  unaffable\t-a  "), (Strings{"un", "##aff", "##able", "-", "a"}));
  EXPECT_EQ(bert.maxLen(), 512);
  EXPECT_TRUE(bert.tokenizeChineseChars());
  EXPECT_TRUE(bert.basicTokenizer().doLowerCase());
  EXPECT_FALSE(bert.fuseUnknownTokens());
}

TEST(BertTokenizerTest, CaseAndAccentsKeptWithoutLowerCasing) {
  const BertTokenizer bert = makeBert(R"({"do_lower_case": false, "fuse_unk": 1})");
  EXPECT_EQ(bert.tokenize("Hello caf\u00E9 hello"), (Strings{"Hello", "caf\u00E9", "hello"}));
  EXPECT_EQ(bert.tokenize("HELLO"), (Strings{"[UNK]"}));
  EXPECT_TRUE(bert.fuseUnknownTokens());
}

TEST(BertTokenizerTest, NeverSplitTokensStayWhole) {
  const BertTokenizer bert = makeBert();
  EXPECT_EQ(bert.tokenize("[CLS] hello [SEP]"), (Strings{"[CLS]", "hello", "[SEP]"}));
  // Only a whole piece is protected: glued to a word it is cut at its brackets.
  EXPECT_EQ(bert.basicTokenizer().tokenize("a[CLS]"), (Strings{"a", "[", "cls", "]"}));
}

TEST(BertTokenizerTest, WordLengthLimitAndWholeWordUnknown) {
  const BertTokenizer bert = makeBert();
  const Strings hundred = bert.tokenize(std::string(100, 'x'));
  ASSERT_EQ(hundred.size(), 100u);
  EXPECT_EQ(hundred[0], "x");
  EXPECT_EQ(hundred[99], "##x");
  EXPECT_EQ(bert.tokenize(std::string(101, 'x')), (Strings{"[UNK]"}));
  // A word whose second part is missing is one unknown token, not "un" followed by it.
  EXPECT_EQ(bert.tokenize("unaffy"), (Strings{"[UNK]"}));
  EXPECT_EQ(bert.wordpieceTokenizer().tokenize(""), Strings{});
  // Characters are grapheme clusters: 100 accented letters in decomposed form are 100 characters.
  std::string accented;
  for (int i = 0; i < 100; ++i) accented += "x\u0301";
  EXPECT_EQ(bert.wordpieceTokenizer().tokenize(accented), (Strings{"[UNK]"}));
  EXPECT_EQ(bert.wordpieceTokenizer().tokenize(accented + "x\u0301"), (Strings{"[UNK]"}));
}

TEST(BertTokenizerTest, CutsAtSpacesTabsPunctuationAndChineseCharacters) {
  const BertTokenizer bert = makeBert();
  // A line feed is not a cut: it stays inside the word.
  EXPECT_EQ(bert.basicTokenizer().tokenize("a\nb a\tb"), (Strings{"a\nb", "a", "b"}));
  EXPECT_EQ(bert.tokenize("a\nb"), (Strings{"a\nb"}));
  EXPECT_EQ(bert.tokenize("a-b$a"), (Strings{"a", "-", "b", "$", "a"}));
  EXPECT_EQ(bert.tokenize("a\u4E2Db"), (Strings{"a", "\u4E2D", "b"}));
  // U+3000 (ideographic space) is a space separator.
  EXPECT_EQ(bert.tokenize("a\u3000b"), (Strings{"a", "b"}));
  const BertTokenizer noChinese = makeBert(R"({"handle_chinese_chars": "false"})");
  EXPECT_EQ(noChinese.tokenize("a\u4E2Db"), (Strings{"[UNK]"}));
}

TEST(BertTokenizerTest, KeysAreComparedInNfc) {
  // The vocabulary spells the accented key decomposed; the composed form finds it, both ways.
  const BertTokenizer bert = makeBert(R"({"do_lower_case": false})", R"({"cafe\u0301": 3, "[UNK]": 0})");
  EXPECT_EQ(bert.tokenize("caf\u00E9"), (Strings{"caf\u00E9"}));
  EXPECT_EQ(bert.convertTokenToId("caf\u00E9"), 3);
  EXPECT_EQ(bert.convertTokenToId("cafe\u0301"), 3);
  EXPECT_EQ(bert.convertIdToToken(3), "cafe\u0301");
}

TEST(BertTokenizerTest, AddedTokensSpecialTokensAndIds) {
  const BertTokenizer bert = makeBert(R"({"bos_token": {"content": "[CLS]"}, "eos_token": "[SEP]"})",
                                      R"({"a": 1, "b": 1, "c": 5, "[SEP]": 2, "k": 1.5})",
                                      R"([{"id": 5, "content": "[MASK]"}, {"id": "6", "content": "z"}])", {{"zz", 1}});
  EXPECT_EQ(bert.bosToken(), std::nullopt) << "only a plain string names the token";
  EXPECT_EQ(bert.eosToken(), "[SEP]");
  EXPECT_EQ(bert.eosTokenId(), 2);
  EXPECT_EQ(bert.convertTokenToId("[MASK]"), 5);
  EXPECT_EQ(bert.convertTokenToId("z"), std::nullopt);
  EXPECT_EQ(bert.convertTokenToId("k"), std::nullopt);
  // Shared ids: the added token wins, else the first in code-unit order.
  EXPECT_EQ(bert.convertIdToToken(1), "zz");
  EXPECT_EQ(bert.convertIdToToken(5), "[MASK]");
  // No "[UNK]" in the vocabulary: no unknown id.
  EXPECT_EQ(bert.unknownToken(), "[UNK]");
  EXPECT_EQ(bert.unknownTokenId(), std::nullopt);
  EXPECT_EQ(bert.convertTokenToId("nothing"), std::nullopt);
  EXPECT_EQ(makeBert().convertTokenToId("nothing"), 0);
  EXPECT_EQ(makeBert().unknownTokenId(), 0);
}

TEST(BertTokenizerTest, BadVocabulariesAreTokenizerErrors) {
  const auto errorCase = [](std::string_view vocab, std::string_view added = "[]") {
    try {
      makeBert("{}", vocab, added);
    } catch (const TokenizerError& e) {
      return std::optional(e.errorCase());
    }
    return std::optional<TokenizerError::Case>();
  };
  EXPECT_EQ(errorCase("null"), TokenizerError::Case::missingVocab);
  EXPECT_EQ(errorCase("[]"), TokenizerError::Case::missingVocab);
  EXPECT_EQ(errorCase(R"({"a": -2})"), TokenizerError::Case::malformedVocab);
  EXPECT_EQ(errorCase("{}", R"([{"id": 4294967296, "content": "x"}])"), TokenizerError::Case::malformedVocab);
  EXPECT_EQ(errorCase("{}"), std::nullopt);
}

}  // namespace
}  // namespace noxtal::tokenizers
