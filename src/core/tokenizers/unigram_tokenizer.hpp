// The Unigram (SentencePiece-style) vocabulary model.
//
// UnigramTokenizer splits one pre-token into the vocabulary pieces whose scores add up to the
// highest total: a character trie finds every piece that starts at each position, a token
// lattice holds them, and a Viterbi pass picks the best path. Characters that no piece covers
// become one-character pieces scored below every vocabulary piece, which convertTokenToId maps
// to the unknown id (the pipeline fuses runs of them). The model factory builds it for
// "XLMRobertaTokenizer", and its subclass T5Tokenizer for "T5Tokenizer".
//
// Immutable after construction; every const member is safe to call from several threads at once
// (each call builds its own lattice).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/config.hpp"
#include "core/tokenizers/bpe_tokenizer.hpp"
#include "core/tokenizers/tokenizer.hpp"
#include "core/tokenizers/trie.hpp"

namespace noxtal::tokenizers {

// A trie of texts spelt as their grapheme clusters, each cluster interned as a number.
using CharacterTrie = Trie<std::int32_t>;

class UnigramTokenizer : public PreTrainedTokenizerModel {
 public:
  struct SentencePieceToken {
    std::string token;
    float score = 0;
  };

  // Reads the "model" section of `tokenizerData`: "vocab", an array of [piece, ..., score]
  // entries (a piece's id is its position), and "unk_id"; "eos_token" (a string) of
  // `tokenizerConfig`. `addedTokens` are not used by this model. Throws TokenizerError:
  // missingVocab when "vocab" is not an array; malformedVocab for an entry that is not an array
  // of a string first and a number last, and for an "unk_id" that is not an integer index into
  // the vocabulary. When two entries share a text, the first one's id is the text's id.
  UnigramTokenizer(const Config& tokenizerConfig, const Config& tokenizerData, const AddedTokens& addedTokens);

  // The best-scoring pieces of one pre-token (an unknown character is a piece of its own).
  std::vector<std::string> tokenize(std::string_view text) const override;

  // The piece's id, else the unknown id.
  std::optional<int> convertTokenToId(std::string_view token) const override;
  // The piece at the id; absent for an id outside the vocabulary.
  std::optional<std::string> convertIdToToken(int id) const override;

  // Always " " (one blank); its id only when the vocabulary holds it.
  std::optional<std::string> bosToken() const override { return std::string(" "); }
  std::optional<int> bosTokenId() const override { return bosTokenId_; }
  std::optional<std::string> eosToken() const override { return eosToken_; }
  std::optional<int> eosTokenId() const override { return eosTokenId_; }
  std::optional<std::string> unknownToken() const override { return unknownPiece_.token; }
  std::optional<int> unknownTokenId() const override { return unknownTokenId_; }
  bool fuseUnknownTokens() const override { return true; }

  const std::vector<SentencePieceToken>& vocab() const { return vocab_; }
  // The unknown piece's text with the score minScore - 10.
  const SentencePieceToken& unknownPiece() const { return unknownPiece_; }
  // The smallest of 999 and every vocabulary score.
  float minScore() const { return minScore_; }
  // The pieces spelt as interned cluster numbers (see commonPrefixSearch for texts).
  const CharacterTrie& trie() const { return trie_; }
  // Every vocabulary piece that is a prefix of `text`, by increasing length.
  std::vector<std::string> commonPrefixSearch(std::string_view text) const;

 private:
  std::vector<SentencePieceToken> vocab_;
  SentencePieceToken unknownPiece_;
  int unknownTokenId_ = 0;
  float minScore_ = 999;
  TokenIdMap tokensToIds_;
  std::optional<int> bosTokenId_;
  std::optional<std::string> eosToken_;
  std::optional<int> eosTokenId_;
  CharacterTrie trie_;
  // The number of every grapheme cluster that occurs in a piece.
  TokenIdMap characterIds_;
  // The piece id of each trie node where a piece ends, -1 elsewhere.
  std::vector<std::int32_t> pieceIdOfNode_;

  // The interned numbers of the text's clusters (-1 for one no piece holds).
  std::vector<std::int32_t> characterNumbers(std::string_view text, const std::vector<std::size_t>& bounds) const;
};

// The T5 tokenizer class: the Unigram model unchanged.
class T5Tokenizer : public UnigramTokenizer {
 public:
  using UnigramTokenizer::UnigramTokenizer;
};

}  // namespace noxtal::tokenizers
