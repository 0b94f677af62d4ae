#include "core/tokenizers/bpe_tokenizer.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/config.hpp"
#include "core/tokenizers/text_splitting.hpp"
#include "core/tokenizers/tokenizer_error.hpp"
#include "platform/text/text.hpp"

namespace noxtal::tokenizers {
namespace {

using Strings = std::vector<std::string>;

Config json(std::string_view text) { return Config::parse(text); }

BPETokenizer makeBpe(std::string_view model, std::string_view config = "{}", const AddedTokens& added = {}) {
  return BPETokenizer(json(config), json(std::string("{\"model\": ") + std::string(model) + "}"), added);
}

TokenizerError::Case errorCase(std::string_view model, std::string_view config = "{}") {
  try {
    makeBpe(model, config);
  } catch (const TokenizerError& e) {
    return e.errorCase();
  }
  ADD_FAILURE() << "no error for " << model;
  return TokenizerError::Case::tooLong;
}

// The merge loop exactly as the format describes it, over grapheme clusters as strings: the
// lowest-ranked adjacent pair, every occurrence rebuilt from the left, until nothing merges.
Strings referenceBpe(const std::vector<std::pair<std::string, std::string>>& merges, std::string_view token) {
  const auto rankOf = [&](const std::string& a, const std::string& b) -> std::optional<std::size_t> {
    std::optional<std::size_t> rank;
    for (std::size_t i = 0; i < merges.size(); ++i) {
      if (merges[i].first == a && merges[i].second == b) rank = i;  // the later position wins
    }
    return rank;
  };
  const auto bounds = platform::text::graphemeBoundaries(token);
  if (bounds.size() < 3) return token.empty() ? Strings{} : Strings{std::string(token)};
  Strings word;
  for (std::size_t i = 0; i + 1 < bounds.size(); ++i)
    word.emplace_back(token.substr(bounds[i], bounds[i + 1] - bounds[i]));
  while (true) {
    std::optional<std::size_t> best;
    std::pair<std::string, std::string> bigram;
    for (std::size_t k = 0; k + 1 < word.size(); ++k) {
      const auto rank = rankOf(word[k], word[k + 1]);
      if (rank && (!best || *rank < *best)) {
        best = rank;
        bigram = {word[k], word[k + 1]};
      }
    }
    if (!best) break;
    Strings next;
    std::size_t i = 0;
    while (i < word.size()) {
      std::size_t j = i;
      while (j < word.size() && word[j] != bigram.first) ++j;
      if (j == word.size()) {
        next.insert(next.end(), word.begin() + static_cast<std::ptrdiff_t>(i), word.end());
        break;
      }
      next.insert(next.end(), word.begin() + static_cast<std::ptrdiff_t>(i),
                  word.begin() + static_cast<std::ptrdiff_t>(j));
      if (j + 1 < word.size() && word[j + 1] == bigram.second) {
        next.push_back(bigram.first + bigram.second);
        i = j + 2;
      } else {
        next.push_back(word[j]);
        i = j + 1;
      }
    }
    word = std::move(next);
    if (word.size() == 1) break;
  }
  return word;
}

std::string jsonText(const std::string& s) { return "\"" + s + "\""; }

TEST(BpeMergeTest, AgreesWithTheTextbookLoopOnRandomMergesAndWords) {
  std::mt19937 random(20261209);
  const std::vector<std::string> alphabet = {"a", "b", "c", "\xC3\xA9", "\xE2\x96\x81", "d"};
  for (int round = 0; round < 400; ++round) {
    // Random merges over symbols that are single letters or concatenations of merges made so
    // far, in any order (a pair may rank below the pairs that make its symbols, may repeat).
    std::vector<std::string> symbols = alphabet;
    std::vector<std::pair<std::string, std::string>> merges;
    const int mergeCount = static_cast<int>(random() % 25);
    for (int m = 0; m < mergeCount; ++m) {
      const std::string& a = symbols[random() % symbols.size()];
      const std::string& b = symbols[random() % symbols.size()];
      merges.emplace_back(a, b);
      if (symbols.size() < 40) symbols.push_back(a + b);
    }
    std::shuffle(merges.begin(), merges.end(), random);
    std::string model = "{\"vocab\": {}, \"merges\": [";
    for (std::size_t i = 0; i < merges.size(); ++i) {
      if (i > 0) model += ", ";
      model += random() % 2 == 0 ? jsonText(merges[i].first + " " + merges[i].second)
                                 : "[" + jsonText(merges[i].first) + ", " + jsonText(merges[i].second) + "]";
    }
    model += "]}";
    const BPETokenizer bpe = makeBpe(model);
    // Words short and long (the two ways of merging), now and then with a combining accent or a
    // CR, which take the general character boundaries.
    const std::vector<std::string> extra = {"\xCC\x81", "\r", "\n", "\xF0\x9F\x91\x8D", "\xE2\x80\x8D", "\xFF"};
    for (int w = 0; w < 20; ++w) {
      std::string word;
      const int length = static_cast<int>(random() % (w % 2 == 0 ? 34 : 90));
      for (int c = 0; c < length; ++c) {
        word += random() % 40 == 0 ? extra[random() % extra.size()]
                                   : alphabet[random() % (random() % 3 == 0 ? alphabet.size() : 2)];
      }
      ASSERT_EQ(bpe.bpeSymbols(word), referenceBpe(merges, word)) << model << " on " << word;
    }
  }
}

TEST(BpeMergeTest, LowerRankedPairFormedDuringAPassWaitsForThePassToEnd) {
  // (aa, a) ranks before (a, a): "aaaa" first becomes aa aa in one pass; aa aa has no merge.
  const BPETokenizer bpe = makeBpe(R"({"vocab": {}, "merges": ["aa a", "a a"]})");
  EXPECT_EQ(bpe.bpeSymbols("aaaa"), (Strings{"aa", "aa"}));
  EXPECT_EQ(bpe.bpeSymbols("aaa"), (Strings{"aaa"}));
  // Then aa aa a: the first aa is not followed by a, the second is.
  EXPECT_EQ(bpe.bpe("aaaaa"), "aa aaa");
}

TEST(BpeMergeTest, AMegabyteWordMergesWithoutQuadraticCost) {
  // A chain of merges that halves runs of one letter; a quadratic loop would take minutes here.
  const BPETokenizer bpe = makeBpe(R"({"vocab": {}, "merges": ["a a", "aa aa", "aaaa aaaa", "b a"]})");
  std::string word(1 << 20, 'a');
  word[12345] = 'b';
  const Strings symbols = bpe.bpeSymbols(word);
  std::size_t total = 0;
  for (const std::string& s : symbols) total += s.size();
  EXPECT_EQ(total, word.size());
  EXPECT_LT(symbols.size(), word.size() / 7);
  EXPECT_EQ(symbols.front(), "aaaaaaaa");
}

TEST(BpeMergeTest, ShortTokensBlanksAndEmptySymbols) {
  const BPETokenizer bpe =
      makeBpe(R"({"vocab": {"a": 0, "b": 1, "ab": 2, "x": 3}, "merges": ["a b", "x  y", ["b", "c", "d"], 7]})");
  // One character: returned as it is, then checked against the vocabulary.
  EXPECT_EQ(bpe.bpe("\xC3\xA9"), "\xC3\xA9");
  EXPECT_EQ(bpe.tokenize("x"), (Strings{"x"}));
  EXPECT_EQ(bpe.tokenize(""), Strings{});
  // No applicable merge: the characters.
  EXPECT_EQ(bpe.bpe("ba"), "b a");
  // A blank inside a pre-token disappears when the symbols are re-split.
  EXPECT_EQ(bpe.tokenize("ab a"), (Strings{"ab", "a"}));
  // "x  y" is the pair (x, "") at rank 1; its extra symbol is ignored; 7 takes no position.
  EXPECT_EQ(bpe.rank({"x", ""}), 1);
  EXPECT_EQ(bpe.rank({"b", "c"}), 2);
  EXPECT_EQ(bpe.rank({"a", "b"}), 0);
  EXPECT_EQ(bpe.rank({"b", "a"}), std::nullopt);
}

TEST(BpeMergeTest, LaterDuplicateMergeTakesTheLaterRank) {
  const BPETokenizer bpe = makeBpe(R"({"vocab": {}, "merges": ["b c", "a b", "b c"]})");
  EXPECT_EQ(bpe.rank({"b", "c"}), 2);
  EXPECT_EQ(bpe.bpe("abc"), "ab c");
}

TEST(BpeTokenizeTest, ByteFallbackAndTheUnknownId) {
  const BPETokenizer bpe = makeBpe(R"({"vocab": {"<unk>": 0, "h": 1, "i": 2, "hi": 3, "<0xC3>": 4, "<0xA9>": 5,
                                                "z": 0}, "merges": ["h i"]})",
                                   R"({"unk_token": {"content": "<unk>"}, "fuse_unk": "true"})");
  EXPECT_EQ(bpe.tokenize("hi"), (Strings{"hi"}));
  EXPECT_EQ(bpe.tokenize("\xC3\xA9"), (Strings{"<0xC3>", "<0xA9>"}));
  // A piece whose id is the unknown id also falls back to bytes; so does a line feed.
  EXPECT_EQ(bpe.tokenize("z"), (Strings{"<0x7A>"}));
  EXPECT_EQ(bpe.byteFallback("\n"), (Strings{"<0x0A>"}));
  EXPECT_EQ(bpe.convertTokenToId("<0x0A>"), 0);
  EXPECT_EQ(bpe.unknownToken(), "<unk>");
  EXPECT_EQ(bpe.unknownTokenId(), 0);
  EXPECT_TRUE(bpe.fuseUnknownTokens());
  // Without an unknown token a text outside the vocabulary has no id.
  const BPETokenizer plain = makeBpe(R"({"vocab": {"a": 0}, "merges": []})");
  EXPECT_EQ(plain.convertTokenToId("b"), std::nullopt);
  EXPECT_EQ(plain.convertIdToToken(1), std::nullopt);
  EXPECT_FALSE(plain.fuseUnknownTokens());
}

TEST(BpeTokenizeTest, ByteFallbackIsEveryByteOfTheGpt2PatternMatches) {
  const std::string pattern = R"('s|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+)";
  const SearchPattern gpt2 = SearchPattern::regex(pattern);
  const BPETokenizer bpe = makeBpe(R"({"vocab": {}, "merges": []})");
  const std::vector<std::string> pieces = {
      "a", "1", " ", "\n", "'", "s", ",", "\xC3\xA9", "\xE2\x96\x81", "\t", "\xF0\x9F\x98\x80", "\xE3\x80\x80", "x"};
  std::mt19937 random(7);
  for (int round = 0; round < 300; ++round) {
    std::string text;
    for (int i = static_cast<int>(random() % 12); i > 0; --i) text += pieces[random() % pieces.size()];
    Strings expected;
    for (const ByteRange& r : matchRanges(text, gpt2)) {
      for (std::size_t i = r.begin; i < r.end; ++i) {
        char token[8];
        std::snprintf(token, sizeof token, "<0x%02X>", static_cast<unsigned>(static_cast<unsigned char>(text[i])));
        expected.emplace_back(token);
      }
    }
    ASSERT_EQ(bpe.byteFallback(text), expected) << text;
  }
}

TEST(BpeVocabularyTest, AddedTokensAndSharedIds) {
  const AddedTokens added = {{"<|end|>", 7}, {"hi", 9}};
  const BPETokenizer bpe = makeBpe(R"({"vocab": {"hi": 1, "b": 2, "a": 2, "<|end|>": 3, "x": 9, "y": "5"},
                                       "merges": ["h i"]})",
                                   R"({"eos_token": "<|end|>", "bos_token": {"content": "b"}})", added);
  // An added token overrides the vocabulary id of the same text.
  EXPECT_EQ(bpe.convertTokenToId("hi"), 9);
  EXPECT_EQ(bpe.convertTokenToId("<|end|>"), 7);
  EXPECT_EQ(bpe.eosTokenId(), 7);
  EXPECT_EQ(bpe.bosToken(), "b");
  EXPECT_EQ(bpe.bosTokenId(), 2);
  // Two texts on one id: the added token wins, else the first in code-unit order.
  EXPECT_EQ(bpe.convertIdToToken(9), "hi");
  EXPECT_EQ(bpe.convertIdToToken(2), "a");
  // The overridden id 3 keeps no text; a non-integer value is dropped.
  EXPECT_EQ(bpe.convertIdToToken(3), std::nullopt);
  EXPECT_EQ(bpe.convertTokenToId("y"), std::nullopt);
}

TEST(BpeVocabularyTest, CodeUnitOrderDecidesSharedIdsAboveTheBasicPlane) {
  // U+FF21 sorts after U+1F600 by UTF-8 bytes but before it by UTF-16 code units.
  const BPETokenizer bpe = makeBpe("{\"vocab\": {\"\xF0\x9F\x98\x80\": 4, \"\xEF\xBC\xA1\": 4}, \"merges\": []}");
  EXPECT_EQ(bpe.convertIdToToken(4), "\xF0\x9F\x98\x80");
}

TEST(BpeVocabularyTest, BadModelsAreTokenizerErrors) {
  using Case = TokenizerError::Case;
  EXPECT_EQ(errorCase(R"({"vocab": {}})"), Case::invalidConfiguration);
  EXPECT_EQ(errorCase(R"({"vocab": {}, "merges": {"a": "b"}})"), Case::invalidConfiguration);
  EXPECT_EQ(errorCase(R"({"merges": []})"), Case::missingVocab);
  EXPECT_EQ(errorCase(R"({"vocab": [], "merges": []})"), Case::missingVocab);
  EXPECT_EQ(errorCase(R"({"vocab": {}, "merges": ["ab"]})"), Case::malformedVocab);
  EXPECT_EQ(errorCase(R"({"vocab": {}, "merges": [""]})"), Case::malformedVocab);
  EXPECT_EQ(errorCase(R"({"vocab": {}, "merges": [["a", 1]]})"), Case::malformedVocab);
  EXPECT_EQ(errorCase(R"({"vocab": {"a": -1}, "merges": []})"), Case::malformedVocab);
  EXPECT_EQ(errorCase(R"({"vocab": {"a": 2147483648}, "merges": []})"), Case::malformedVocab);
  EXPECT_EQ(makeBpe(R"({"vocab": {"a": 2147483647}, "merges": []})").convertTokenToId("a"), 2147483647);
  try {
    makeBpe(R"({"vocab": {}})");
  } catch (const TokenizerError& e) {
    EXPECT_STREQ(e.what(), "BPETokenizer requires merges");
  }
  EXPECT_THROW(makeBpe(R"({"vocab": {}, "merges": []})", "{}", {{"x", -3}}), TokenizerError);
}

}  // namespace
}  // namespace noxtal::tokenizers
