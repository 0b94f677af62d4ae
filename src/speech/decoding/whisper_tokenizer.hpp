// The speech library's tokenizer: text to ids and back, the ids of the eleven special tokens of
// the Whisper vocabulary, the set of language-token ids, and the grouping of a window's ids into
// words for word timestamps.
//
// WhisperTokenizerWrapper is the one implementation. It wraps a loaded tokenizer of the
// tokenizer library and works out the special ids once, at creation. The text decoder, the
// logits filters, the decoder-input preparation and the segment seeker read specialTokens()
// and allLanguageTokens(); word timestamps call splitToWordTokens(). Instances are immutable
// after creation and safe to share between threads (share them as shared_ptr<const ...>).
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/tokenizers/tokenizer.hpp"
#include "core/tokenizers/tokenizer_wrapper.hpp"

namespace vostrane {

// The ids of the special tokens. Every id at or above specialTokenBegin is a special token
// (control, language or timestamp token), every id below it is text; timestamp tokens are the
// ids from timeTokenBegin upward, one per 0.02 s. endToken and specialTokenBegin come from the
// same text and so always hold the same id.
struct SpecialTokens {
  int endToken = 50257;
  int englishToken = 50259;
  int noSpeechToken = 50362;
  int noTimestampsToken = 50363;
  int specialTokenBegin = 50257;
  int startOfPreviousToken = 50361;
  int startOfTranscriptToken = 50258;
  int timeTokenBegin = 50364;
  int transcribeToken = 50359;
  int translateToken = 50358;
  int whitespaceToken = 220;

  friend bool operator==(const SpecialTokens&, const SpecialTokens&) = default;
};

// The words of a run of ids: words[i] is the text made by the ids wordTokens[i].
struct WordTokens {
  std::vector<std::string> words;
  std::vector<std::vector<int>> wordTokens;
};

class WhisperTokenizer {
 public:
  virtual ~WhisperTokenizer() = default;
  // Ids of the text, with the special tokens the tokenizer's post-processor adds.
  virtual std::vector<int> encode(std::string_view text) const = 0;
  // Text of the ids, special tokens kept.
  virtual std::string decode(std::span<const int> tokens) const = 0;
  // The vocabulary's id of a token text, as the wrapped tokenizer answers it (a tokenizer with
  // an unknown token may answer that token's id for a text outside its vocabulary).
  virtual std::optional<int> convertTokenToId(std::string_view token) const = 0;
  // The token text of an id; absent when unknown.
  virtual std::optional<std::string> convertIdToToken(int id) const = 0;
  virtual const SpecialTokens& specialTokens() const = 0;
  virtual const std::set<int>& allLanguageTokens() const = 0;
  // Groups the ids into words (see WhisperTokenizerWrapper).
  virtual WordTokens splitToWordTokens(std::span<const int> tokenIds) const = 0;
};

// The id of exactly `text`: convertTokenToId's answer when convertIdToToken of it gives `text`
// back, absent otherwise (so the unknown token's id never stands in for a missing token).
std::optional<int> exactTokenId(const WhisperTokenizer& tokenizer, std::string_view text);
std::optional<int> exactTokenId(const noxtal::tokenizers::Tokenizer& tokenizer, std::string_view text);

class WhisperTokenizerWrapper : public WhisperTokenizer {
 public:
  // Resolves the special ids by exact look-up (exactTokenId) of "<|endoftext|>", "<|en|>",
  // "<|nospeech|>", "<|notimestamps|>", "<|endoftext|>", "<|startofprev|>",
  // "<|startoftranscript|>", "<|0.00|>", "<|transcribe|>", "<|translate|>" and " ", each
  // missing one replaced by the default of its SpecialTokens field; then the language tokens:
  // the ids of "<|" + code + "|>" for every code of Constants::languages() that has one above
  // specialTokenBegin. Never fails.
  explicit WhisperTokenizerWrapper(noxtal::tokenizers::TokenizerWrapper tokenizer,
                                   std::optional<std::filesystem::path> tokenizerFolder = std::nullopt);

  // The four conversions forward to the wrapped tokenizer.
  std::vector<int> encode(std::string_view text) const override;
  std::string decode(std::span<const int> tokens) const override;
  std::optional<int> convertTokenToId(std::string_view token) const override;
  std::optional<std::string> convertIdToToken(int id) const override;

  const SpecialTokens& specialTokens() const override { return specialTokens_; }
  const std::set<int>& allLanguageTokens() const override { return allLanguageTokens_; }
  const noxtal::tokenizers::TokenizerWrapper& tokenizer() const { return tokenizer_; }
  // Kept for reference; no operation reads it.
  const std::optional<std::filesystem::path>& tokenizerFolder() const { return tokenizerFolder_; }

  // Decodes the text ids (those below specialTokenBegin) and guesses their language from the
  // script (platform::text::dominantLanguage): for "zh", "ja", "th", "lo", "my" and "yue" the
  // whole input is split by splitTokensOnUnicode, otherwise by splitTokensOnSpaces.
  WordTokens splitToWordTokens(std::span<const int> tokenIds) const override;

  // Cuts the ids into the shortest runs that each decode to whole characters: a run whose text
  // holds a U+FFFD is extended, unless the text of the whole input holds U+FFFD at the same
  // scalar position (the input itself decodes to one). Ids of an unfinished last run are
  // dropped.
  virtual WordTokens splitTokensOnUnicode(std::span<const int> tokens) const;
  // Glues the unicode pieces into words: a piece starts a word when its first id is special,
  // its text begins with a blank, it trims (of the whitespaces set) to a single punctuation
  // scalar, or no word exists yet; otherwise it is appended to the last word.
  virtual WordTokens splitTokensOnSpaces(std::span<const int> tokens) const;

 private:
  noxtal::tokenizers::TokenizerWrapper tokenizer_;
  std::optional<std::filesystem::path> tokenizerFolder_;
  SpecialTokens specialTokens_;
  std::set<int> allLanguageTokens_;
};

}  // namespace vostrane
