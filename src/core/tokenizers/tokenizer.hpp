// The two interfaces of the tokenizer library.
//
// Tokenizer is what the rest of the system holds: text to token strings and ids and back, and
// the conversions between tokens and ids. The pretrained pipeline implements it by running a
// normalizer, a pre-tokenizer, a vocabulary model, a post-processor and a decoder.
//
// TokenizingModel is the vocabulary model inside a tokenizer (BPE, WordPiece, Unigram): it
// turns one pre-token into model tokens and maps tokens to ids. PreTrainedTokenizerModel marks
// the models that the model factory builds from the tokenizer configuration, the tokenizer data
// and the added tokens; PreTrainedTokenizerModelType checks at compile time that such a model
// has that constructor, and makePreTrainedModel<T> is the uniform factory entry for it.
//
// Implementations are immutable once built and shared as std::shared_ptr<const ...>; every
// const member must be safe to call from several threads at once.
#pragma once

#include <concepts>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/config.hpp"

namespace noxtal::tokenizers {

class Tokenizer {
 public:
  virtual ~Tokenizer() = default;

  // Token strings of the text, without special tokens added. Throws TokenizerError::tooLong
  // when a stage's regular expression cannot be matched against the text.
  virtual std::vector<std::string> tokenize(std::string_view text) const = 0;
  // Ids of the text, with the post-processor's special tokens when `addSpecialTokens`.
  // Throws TokenizerError::tokenWithoutId for a token that has no id, and tooLong as tokenize.
  virtual std::vector<int> encode(std::string_view text, bool addSpecialTokens) const = 0;
  std::vector<int> encode(std::string_view text) const { return encode(text, true); }
  // Text of the ids; special tokens are dropped when `skipSpecialTokens`. Throws
  // TokenizerError::tooLong only when a decoder's regular expression cannot be matched
  // against a token.
  virtual std::string decode(std::span<const int> tokens, bool skipSpecialTokens) const = 0;
  std::string decode(std::span<const int> tokens) const { return decode(tokens, false); }

  // The model's id of one token. A token outside the vocabulary gives the unknown token's id;
  // absent only when the model has no unknown token.
  virtual std::optional<int> convertTokenToId(std::string_view token) const = 0;
  // Element-wise convertTokenToId.
  virtual std::vector<std::optional<int>> convertTokensToIds(std::span<const std::string> tokens) const;
  // The model's token of one id; absent for an unknown id.
  virtual std::optional<std::string> convertIdToToken(int id) const = 0;
  // Element-wise convertIdToToken.
  virtual std::vector<std::optional<std::string>> convertIdsToTokens(std::span<const int> ids) const;

  virtual std::optional<std::string> bosToken() const = 0;
  virtual std::optional<int> bosTokenId() const = 0;
  virtual std::optional<std::string> eosToken() const = 0;
  virtual std::optional<int> eosTokenId() const = 0;
  virtual std::optional<std::string> unknownToken() const = 0;
  virtual std::optional<int> unknownTokenId() const = 0;
};

class TokenizingModel {
 public:
  virtual ~TokenizingModel() = default;

  // The model tokens of one pre-token.
  virtual std::vector<std::string> tokenize(std::string_view text) const = 0;
  std::vector<std::string> operator()(std::string_view text) const { return tokenize(text); }

  // The id of one token; a token outside the vocabulary gives unknownTokenId().
  virtual std::optional<int> convertTokenToId(std::string_view token) const = 0;
  virtual std::optional<std::string> convertIdToToken(int id) const = 0;

  virtual std::optional<std::string> bosToken() const = 0;
  virtual std::optional<int> bosTokenId() const = 0;
  virtual std::optional<std::string> eosToken() const = 0;
  virtual std::optional<int> eosTokenId() const = 0;
  virtual std::optional<std::string> unknownToken() const = 0;
  virtual std::optional<int> unknownTokenId() const = 0;
  // True when consecutive unknown tokens are fused into one.
  virtual bool fuseUnknownTokens() const = 0;
};

// Added tokens: content to id.
using AddedTokens = std::unordered_map<std::string, int>;

// A vocabulary model that the model factory can build. Derived classes provide a constructor
// (tokenizerConfig, tokenizerData, addedTokens) that throws TokenizerError on bad input.
class PreTrainedTokenizerModel : public TokenizingModel {};

template <class T>
concept PreTrainedTokenizerModelType = std::derived_from<T, PreTrainedTokenizerModel> &&
    std::constructible_from<T, const Config&, const Config&, const AddedTokens&>;

// The signature of a model factory entry; makePreTrainedModel<T> has it.
using PreTrainedModelMaker = std::shared_ptr<const TokenizingModel> (*)(const Config& tokenizerConfig,
                                                                        const Config& tokenizerData,
                                                                        const AddedTokens& addedTokens);

// Builds a T from the two configuration documents and the added tokens. Throws what T's
// constructor throws (TokenizerError).
template <PreTrainedTokenizerModelType T>
std::shared_ptr<const TokenizingModel> makePreTrainedModel(const Config& tokenizerConfig, const Config& tokenizerData,
                                                           const AddedTokens& addedTokens) {
  return std::make_shared<const T>(tokenizerConfig, tokenizerData, addedTokens);
}

}  // namespace noxtal::tokenizers
