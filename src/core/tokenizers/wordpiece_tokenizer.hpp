// The WordPiece vocabulary model of Bert-style tokenizers.
//
// BertTokenizer tokenizes one pre-token in three steps: blanks around Chinese characters, the
// basic tokenizer (optional accent stripping and lower-casing, cuts at spaces, tabs and
// punctuation) and greedy longest-match WordPiece with the "##" continuation prefix. The model
// factory builds it for "BertTokenizer", "DistilbertTokenizer" and "DistilBertTokenizer".
//
// Vocabulary keys are compared as Unicode text: canonically equivalent spellings (U+00E9 and
// "e" + U+0301) are one key, because keys and looked-up texts are both taken in NFC.
//
// Immutable after construction; every const member is safe to call from several threads at once.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/config.hpp"
#include "core/tokenizers/bpe_tokenizer.hpp"
#include "core/tokenizers/tokenizer.hpp"

namespace noxtal::tokenizers {

// Accent stripping, lower-casing and the cuts at whitespace and punctuation.
class BasicTokenizer {
 public:
  explicit BasicTokenizer(bool doLowerCase);

  bool doLowerCase() const { return doLowerCase_; }
  // "[UNK]", "[SEP]", "[PAD]", "[CLS]", "[MASK]": never cut, never lower-cased.
  const std::vector<std::string>& neverSplit() const { return neverSplit_; }

  // The words of a text. With lower-casing, diacritics are folded away first; the text is cut
  // at every space separator (Zs) and tab (line feeds stay inside words); each piece outside
  // neverSplit is lower-cased (with lower-casing on) and cut before and after every punctuation
  // character (categories P*, and the ASCII symbols 33-47, 58-64, 91-96, 123-126).
  std::vector<std::string> tokenize(std::string_view text) const;

 private:
  bool doLowerCase_;
  std::vector<std::string> neverSplit_;
};

// Greedy longest-match WordPiece over a vocabulary held by the Bert tokenizer.
class WordpieceTokenizer {
 public:
  // `vocab` must outlive this object; its keys are in NFC.
  WordpieceTokenizer(std::string unkToken, int maxInputCharsPerWord, const TokenIdMap& vocab);

  const std::string& unkToken() const { return unkToken_; }
  int maxInputCharsPerWord() const { return maxInputCharsPerWord_; }

  // The pieces of one word (lengths in grapheme clusters): none for an empty word; [unkToken]
  // for a word longer than maxInputCharsPerWord or one that the vocabulary cannot cover whole.
  std::vector<std::string> tokenize(std::string_view word) const;

 private:
  std::string unkToken_;
  int maxInputCharsPerWord_;
  const TokenIdMap* vocab_;
};

class BertTokenizer : public PreTrainedTokenizerModel {
 public:
  // Reads the "model" section's "vocab" and the "added_tokens" of `tokenizerData`, then applies
  // `addedTokens`; switches "handle_chinese_chars" and "do_lower_case" (default true),
  // "fuse_unk" (default false) and plain-string "bos_token" and "eos_token" of
  // `tokenizerConfig`. Throws TokenizerError: missingVocab when "vocab" is not an object;
  // malformedVocab for an id outside 0 to 2^31 - 1. Several texts sharing an id: as for BPE.
  BertTokenizer(const Config& tokenizerConfig, const Config& tokenizerData, const AddedTokens& addedTokens);

  BertTokenizer(const BertTokenizer&) = delete;
  BertTokenizer& operator=(const BertTokenizer&) = delete;

  std::vector<std::string> tokenize(std::string_view text) const override;

  // The id of the token's NFC form, else the id of "[UNK]", else absent.
  std::optional<int> convertTokenToId(std::string_view token) const override;
  std::optional<std::string> convertIdToToken(int id) const override;

  std::optional<std::string> bosToken() const override { return bosToken_; }
  std::optional<int> bosTokenId() const override { return bosTokenId_; }
  std::optional<std::string> eosToken() const override { return eosToken_; }
  std::optional<int> eosTokenId() const override { return eosTokenId_; }
  std::optional<std::string> unknownToken() const override { return std::string(kUnknownToken); }
  std::optional<int> unknownTokenId() const override { return unknownTokenId_; }
  bool fuseUnknownTokens() const override { return fuseUnknownTokens_; }

  static constexpr std::string_view kUnknownToken = "[UNK]";
  static constexpr int kMaxInputCharsPerWord = 100;

  int maxLen() const { return maxLen_; }
  bool tokenizeChineseChars() const { return tokenizeChineseChars_; }
  const BasicTokenizer& basicTokenizer() const { return basicTokenizer_; }
  const WordpieceTokenizer& wordpieceTokenizer() const { return wordpieceTokenizer_; }

 private:
  // NFC key -> id; declared before the WordPiece tokenizer, which refers to it.
  TokenIdMap vocab_;
  std::unordered_map<int, std::string> idsToTokens_;
  BasicTokenizer basicTokenizer_;
  WordpieceTokenizer wordpieceTokenizer_;
  int maxLen_ = 512;
  bool tokenizeChineseChars_ = true;
  std::optional<std::string> bosToken_;
  std::optional<int> bosTokenId_;
  std::optional<std::string> eosToken_;
  std::optional<int> eosTokenId_;
  std::optional<int> unknownTokenId_;
  bool fuseUnknownTokens_ = false;
};

}  // namespace noxtal::tokenizers
