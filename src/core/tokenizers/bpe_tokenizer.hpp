// The byte-pair-encoding vocabulary model.
//
// BPETokenizer turns one pre-token into vocabulary tokens by applying the ranked merges of the
// "model" section of "tokenizer.json", and spells pieces outside the vocabulary as byte tokens
// ("<0xC3>", "<0xA9>"). The model factory builds it for most tokenizer classes (Whisper, GPT-2,
// Llama, ...) and as the fallback for unregistered ones; the pretrained pipeline calls it once per
// pre-token.
//
// Merging works on interned symbol ids: a short pre-token is scanned, a long one goes through a
// priority queue, O(n log n) in its length; both give exactly the result of the textbook loop
// (lowest-ranked adjacent pair first, all its occurrences merged left to right before any pair
// formed by them is considered). Nothing is cached between calls.
//
// Immutable after construction; every const member is safe to call from several threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/config.hpp"
#include "core/tokenizers/tokenizer.hpp"
#include "core/tokenizers/vocabulary.hpp"

namespace noxtal::tokenizers {

// Two adjacent symbols; equality and hashing cover both, `a` first.
struct BytePair {
  std::string a;
  std::string b;
  friend bool operator==(const BytePair&, const BytePair&) = default;
};

class BPETokenizer : public PreTrainedTokenizerModel {
 public:
  // Reads the "model" section of `tokenizerData` ("merges", "vocab") and the special tokens and
  // "fuse_unk" of `tokenizerConfig`; `addedTokens` (content -> id) override vocabulary ids.
  // Throws TokenizerError:
  //   invalidConfiguration "BPETokenizer requires merges" when "merges" is not an array;
  //   missingVocab when "vocab" is not an object;
  //   malformedVocab for a merge of fewer than two symbols, or an id (vocabulary or added token)
  //   outside 0 to 2^31 - 1.
  // Vocabulary values that are not integers are dropped. When several texts share an id, the
  // id's token is an added token's (the first in UTF-16 code-unit order among them), else the
  // first vocabulary text in code-unit order.
  BPETokenizer(const Config& tokenizerConfig, const Config& tokenizerData, const AddedTokens& addedTokens);

  // The id table points into the vocabulary: neither copied nor moved.
  BPETokenizer(const BPETokenizer&) = delete;
  BPETokenizer& operator=(const BPETokenizer&) = delete;

  // The tokens of one pre-token: the merged symbols, re-split at blanks (empty parts dropped);
  // a symbol outside the vocabulary, or whose id is the unknown token's, becomes its byte tokens.
  std::vector<std::string> tokenize(std::string_view text) const override;

  // The vocabulary id; a text outside the vocabulary gives the unknown token's id (absent when
  // there is no unknown token).
  std::optional<int> convertTokenToId(std::string_view token) const override;
  // The token of an id; absent when no text has it.
  std::optional<std::string> convertIdToToken(int id) const override;

  std::optional<std::string> bosToken() const override { return bosToken_; }
  std::optional<int> bosTokenId() const override { return bosTokenId_; }
  std::optional<std::string> eosToken() const override { return eosToken_; }
  std::optional<int> eosTokenId() const override { return eosTokenId_; }
  std::optional<std::string> unknownToken() const override { return unknownToken_; }
  std::optional<int> unknownTokenId() const override { return unknownTokenId_; }
  bool fuseUnknownTokens() const override { return fuseUnknownTokens_; }

  // The merged symbols of one pre-token joined by single blanks. A pre-token of fewer than two
  // characters (grapheme clusters) comes back unchanged.
  std::string bpe(std::string_view token) const;
  // The merged symbols of one pre-token, in order.
  std::vector<std::string> bpeSymbols(std::string_view token) const;
  // The byte tokens of a piece: "<0x%02X>" for each of its UTF-8 bytes, in order.
  std::vector<std::string> byteFallback(std::string_view piece) const;

  // The rank of a merge; absent when the pair is not a merge.
  std::optional<int> rank(const BytePair& pair) const;
  // The vocabulary with the added tokens.
  const TokenIdMap& tokensToIds() const { return tokensToIds_; }

 private:
  // One merge: the rank of a pair of symbol ids and the id of the symbol it makes.
  struct Merge {
    std::int32_t rank;
    std::int32_t result;
  };

  // The interned id of a symbol text; -1 when no merge mentions it.
  std::int32_t symbolId(std::string_view symbol) const;
  std::int32_t internSymbol(std::string_view symbol);
  const Merge* findMerge(std::int32_t a, std::int32_t b) const;
  // Calls emit(std::string_view) with each merged symbol of `token`, in order.
  template <class Emit>
  void forEachSymbol(std::string_view token, Emit&& emit) const;
  template <class Emit>
  void mergeShortWord(std::string_view token, std::span<const std::size_t> bounds, Emit&& emit) const;
  template <class Emit>
  void mergeLongWord(std::string_view token, std::span<const std::size_t> bounds, Emit&& emit) const;

  // Interned symbols: every symbol a merge mentions or makes.
  TokenIdMap symbolIds_;
  // Symbol ids of single code points below kDirectSymbols, -1 for none (the byte-level alphabet
  // lies there).
  static constexpr char32_t kDirectSymbols = 0x800;
  std::vector<std::int32_t> directSymbolIds_;
  // (a << 32 | b) -> merge, in an open-addressing table of a power-of-two size (linear probing;
  // kNoKey marks a free slot).
  struct MergeSlot {
    std::uint64_t key;
    Merge merge;
  };
  static constexpr std::uint64_t kNoKey = ~std::uint64_t{0};
  std::vector<MergeSlot> mergeTable_;
  int mergeTableBits_ = 0;

  TokenIdMap tokensToIds_;
  TokenTextsById idsToTokens_;
  std::optional<std::string> bosToken_;
  std::optional<int> bosTokenId_;
  std::optional<std::string> eosToken_;
  std::optional<int> eosTokenId_;
  std::optional<std::string> unknownToken_;
  std::optional<int> unknownTokenId_;
  bool fuseUnknownTokens_ = false;
};

}  // namespace noxtal::tokenizers
