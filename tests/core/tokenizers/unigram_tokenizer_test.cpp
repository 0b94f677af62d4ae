#include "core/tokenizers/unigram_tokenizer.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/config.hpp"
#include "core/tokenizers/token_lattice.hpp"
#include "core/tokenizers/tokenizer_error.hpp"
#include "core/tokenizers/trie.hpp"

namespace noxtal::tokenizers {
namespace {

using Strings = std::vector<std::string>;

UnigramTokenizer makeUnigram(std::string_view vocab, std::string_view unkId = "0", std::string_view config = "{}") {
  const std::string data = std::string(R"({"model": {"type": "Unigram", "vocab": )") + std::string(vocab) +
                           ", \"unk_id\": " + std::string(unkId) + "}}";
  return UnigramTokenizer(Config::parse(config), Config::parse(data), {});
}

std::optional<TokenizerError::Case> errorCase(std::string_view vocab, std::string_view unkId = "0") {
  try {
    makeUnigram(vocab, unkId);
  } catch (const TokenizerError& e) {
    return e.errorCase();
  }
  return std::nullopt;
}

TEST(UnigramTokenizerTest, BestTotalWinsAndEqualTotalsTakeTheLongerPiece) {
  const auto tokens = [](std::string_view xyScore) {
    return makeUnigram(std::string(R"([["<unk>", 0], ["x", -1], ["y", -2], ["xy", )") + std::string(xyScore) + "]]")
        .tokenize("xy");
  };
  EXPECT_EQ(tokens("-2.5"), (Strings{"xy"}));
  EXPECT_EQ(tokens("-3"), (Strings{"xy"})) << "equal totals: the earlier-starting predecessor of the end";
  EXPECT_EQ(tokens("-3.5"), (Strings{"x", "y"}));
  const UnigramTokenizer longer =
      makeUnigram(R"([["<unk>", 0], ["a", -1], ["b", -1], ["c", -1], ["ab", -1.5], ["bc", -1.2]])");
  EXPECT_EQ(longer.tokenize("abc"), (Strings{"a", "bc"}));
  EXPECT_EQ(longer.tokenize("abcab"), (Strings{"a", "bc", "ab"}));
}

TEST(UnigramTokenizerTest, UnknownCharactersAndEmptyText) {
  const UnigramTokenizer unigram = makeUnigram(R"([["a", -1], ["<unk>", 0], ["ab", -1]])", "1");
  EXPECT_EQ(unigram.tokenize(""), Strings{});
  // A character no piece covers is a one-character piece of its own, mapped to the unknown id.
  EXPECT_EQ(unigram.tokenize("q\u00E9"), (Strings{"q", "\u00E9"}));
  EXPECT_EQ(unigram.convertTokenToId("q"), 1);
  EXPECT_EQ(unigram.tokenize("abq"), (Strings{"ab", "q"}));
  // A decomposed accent is one character with its base letter.
  EXPECT_EQ(unigram.tokenize("ae\u0301"), (Strings{"a", "e\u0301"}));
  // "b" only starts a longer piece: the unknown node covers it.
  EXPECT_EQ(unigram.tokenize("ba"), (Strings{"b", "a"}));
  EXPECT_EQ(unigram.unknownToken(), "<unk>");
  EXPECT_EQ(unigram.unknownTokenId(), 1);
  EXPECT_TRUE(unigram.fuseUnknownTokens());
}

TEST(UnigramTokenizerTest, ScoresAndMinimumScore) {
  const UnigramTokenizer unigram = makeUnigram(R"([["<unk>", -1], ["a", "junk", -2], ["b", -3]])");
  EXPECT_EQ(unigram.minScore(), -3.0f);
  EXPECT_EQ(unigram.unknownPiece().score, -13.0f);
  EXPECT_EQ(unigram.unknownPiece().token, "<unk>");
  EXPECT_EQ(unigram.vocab()[1].score, -2.0f) << "the last element is the score";
  EXPECT_EQ(makeUnigram(R"([["<unk>", 1000], ["a", 2000]])").minScore(), 999.0f);
  EXPECT_EQ(makeUnigram(R"([["<unk>", 1000]])").unknownPiece().score, 989.0f);
}

TEST(UnigramTokenizerTest, SpecialTokensAndConversions) {
  const UnigramTokenizer plain =
      makeUnigram(R"([["<unk>", 0], ["</s>", 0], ["a", -1]])", "0", R"({"eos_token": "</s>"})");
  EXPECT_EQ(plain.bosToken(), " ");
  EXPECT_EQ(plain.bosTokenId(), std::nullopt);
  EXPECT_EQ(plain.eosTokenId(), 1);
  EXPECT_EQ(plain.convertTokenToId("zz"), 0);
  EXPECT_EQ(plain.convertIdToToken(2), "a");
  // Ids outside the vocabulary have no token (decoding drops them instead of reading past it).
  EXPECT_EQ(plain.convertIdToToken(3), std::nullopt);
  EXPECT_EQ(plain.convertIdToToken(-1), std::nullopt);
  EXPECT_EQ(plain.convertIdToToken(2147483647), std::nullopt);
  const UnigramTokenizer withBlank =
      makeUnigram(R"([["<unk>", 0], [" ", -1], [" ", -2]])", "0", R"({"eos_token": {"content": "<unk>"}})");
  EXPECT_EQ(withBlank.bosTokenId(), 1) << "a repeated text keeps its first id";
  EXPECT_EQ(withBlank.eosToken(), std::nullopt) << "only a plain string names the end token";
}

TEST(UnigramTokenizerTest, BadVocabulariesAreTokenizerErrors) {
  using Case = TokenizerError::Case;
  EXPECT_EQ(errorCase("{}"), Case::missingVocab);
  EXPECT_EQ(errorCase("null"), Case::missingVocab);
  EXPECT_EQ(errorCase(R"([["a", "-1"]])"), Case::malformedVocab);
  EXPECT_EQ(errorCase(R"([["a"]])"), Case::malformedVocab);
  EXPECT_EQ(errorCase(R"([[]])"), Case::malformedVocab);
  EXPECT_EQ(errorCase(R"([[1, 2]])"), Case::malformedVocab);
  EXPECT_EQ(errorCase(R"(["a"])"), Case::malformedVocab);
  EXPECT_EQ(errorCase(R"([["a", 1]])", "1"), Case::malformedVocab);
  EXPECT_EQ(errorCase(R"([["a", 1]])", "-1"), Case::malformedVocab);
  EXPECT_EQ(errorCase(R"([["a", 1]])", "null"), Case::malformedVocab);
  EXPECT_EQ(errorCase(R"([["a", 1]])", "0.5"), Case::malformedVocab);
  EXPECT_EQ(errorCase("[]", "0"), Case::malformedVocab);
  EXPECT_EQ(errorCase(R"([["a", 1]])", "0"), std::nullopt);
}

TEST(TrieTest, CommonPrefixSearchFindsStoredPrefixesByLength) {
  Trie<char> trie;
  trie.append(std::vector<std::string>{"ab", "a", "abcd", "b", ""});
  const std::string text = "abcde";
  auto found = trie.commonPrefixSearch(std::span<const char>(text.data(), text.size()));
  EXPECT_EQ(found, (std::vector<std::vector<char>>{{'a'}, {'a', 'b'}, {'a', 'b', 'c', 'd'}}));
  // The search stops at the first element that leaves the trie; the marked root is never given.
  const std::string other = "ax";
  EXPECT_EQ(trie.commonPrefixSearch(std::span<const char>(other.data(), other.size())).size(), 1u);
  EXPECT_TRUE(trie.isLeaf(Trie<char>::root()));
  auto iterator = trie.commonPrefixSearchIterator(std::span<const char>(text.data(), text.size()));
  EXPECT_EQ(iterator.next(), 1u);
  EXPECT_EQ(iterator.next(), 2u);
  EXPECT_EQ(iterator.seq().size(), 2u);
  EXPECT_EQ(iterator.next(), 4u);
  EXPECT_EQ(iterator.next(), std::nullopt);
  EXPECT_EQ(iterator.next(), std::nullopt);
}

TEST(TrieTest, UnigramPiecesAreSearchedByCharacter) {
  const UnigramTokenizer unigram = makeUnigram(R"([["<unk>", 0], ["e", -1], ["e\u0301", -1], ["e\u0301t", -1]])");
  EXPECT_EQ(unigram.commonPrefixSearch("e\u0301te"), (Strings{"e\u0301", "e\u0301t"}));
  // "e" is not a prefix here: the first character is e with its accent.
  EXPECT_EQ(unigram.commonPrefixSearch("e\u0301"), (Strings{"e\u0301"}));
}

TEST(TokenLatticeTest, ViterbiPathsAndUnreachablePositions) {
  TokenLattice lattice("abc", 7, 8);
  EXPECT_EQ(lattice.nodes().size(), 2u);
  lattice.insert(0, 1, -1, 1);
  lattice.insert(1, 2, -1, 2);
  lattice.insert(0, 2, -0.5, 3);
  lattice.insert(2, 1, -0.25, 4);
  const auto path = lattice.viterbi();
  ASSERT_EQ(path.size(), 2u);
  EXPECT_EQ(path[0].tokenId, 3);
  EXPECT_EQ(path[1].tokenId, 4);
  EXPECT_EQ(path[1].backtraceScore, -0.75f);
  EXPECT_EQ(lattice.tokens(), (Strings{"ab", "c"}));
  EXPECT_EQ(path[0].description(),
            "TokenLatticeNode(tokenId: 3, startOffset: 0, length: 2, score: -0.5, prev: true, backtraceScore: -0.5)");
  EXPECT_EQ(lattice.nodes()[0].description(),
            "TokenLatticeNode(tokenId: 7, startOffset: 0, length: 0, score: 0.0, prev: false, backtraceScore: 0.0)");

  // Nothing starts at position 1: no path at all.
  TokenLattice gap("ab", 0, 0);
  gap.insert(0, 1, -1, 1);
  EXPECT_TRUE(gap.viterbi().empty());
  // The empty sentence joins start and end directly: an empty path.
  TokenLattice empty("", 0, 0);
  EXPECT_TRUE(empty.tokens().empty());
}

TEST(TokenLatticeTest, LongSentencesNeedNoRecursion) {
  const std::string text(200000, 'a');
  TokenLattice lattice(text, 0, 0);
  for (std::size_t i = 0; i < text.size(); ++i) lattice.insert(i, 1, -1, 1);
  EXPECT_EQ(lattice.viterbi().size(), text.size());
}

}  // namespace
}  // namespace noxtal::tokenizers
