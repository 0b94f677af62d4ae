// PreTrainedTokenizer: the Tokenizer built from "tokenizer.json" (the tokenizer data) and
// "tokenizer_config.json" (the tokenizer configuration).
//
// Tokenizing cuts the text at the added tokens ("added_tokens" of the data; an added token is
// one token of its own, with lstrip/rstrip swallowing the white space around it), then runs
// the normalizer, the pre-tokenizer (the first section with PreTokenizerOption::firstSection)
// and the vocabulary model on every other section, fusing runs of unknown tokens when the
// model asks for it. Encoding adds the post-processor's special tokens and maps tokens to ids;
// decoding drops unknown ids (and, when asked, the ids of special added tokens), runs the
// decoder, joins the pieces and cleans up the spaces before punctuation.
//
// The loaders (auto_tokenizer.hpp) build it; LlamaPreTrainedTokenizer derives from it. Built
// once, never changed: every member is const and may be called from any number of threads.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/config.hpp"
#include "core/tokenizers/added_token_matcher.hpp"
#include "core/tokenizers/decoder.hpp"
#include "core/tokenizers/normalizer.hpp"
#include "core/tokenizers/post_processor.hpp"
#include "core/tokenizers/pre_tokenizer.hpp"
#include "core/tokenizers/tokenizer.hpp"

namespace noxtal::tokenizers {

class PreTrainedTokenizer : public Tokenizer {
 public:
  // Builds the pipeline. `strict` decides whether an unregistered tokenizer class fails
  // (TokenizerError::unsupportedTokenizer) or falls back to BPE. Throws TokenizerError only:
  // the stage factories' and models' errors unchanged, malformedVocab for an added token whose
  // id lies outside 0 to 2^31-1, invalidConfiguration for any other failure while building.
  PreTrainedTokenizer(const Config& tokenizerConfig, const Config& tokenizerData, bool strict);

  // Invalid UTF-8 in `text` is read as U+FFFD. Throws TokenizerError::tooLong when the
  // normalizer's or pre-tokenizer's regular expression cannot be matched against a section
  // (a single match longer than the engine's backtracking limit allows).
  std::vector<std::string> tokenize(std::string_view text) const override;
  // Throws TokenizerError::tokenWithoutId when a token has no id (it is outside the
  // vocabulary and the model has no unknown token), and tooLong as tokenize.
  std::vector<int> encode(std::string_view text, bool addSpecialTokens) const override;
  using Tokenizer::encode;
  // Ids the model does not know are dropped. Throws TokenizerError::tooLong only when the
  // decoder's regular expression cannot be matched against a token.
  std::string decode(std::span<const int> tokens, bool skipSpecialTokens) const override;
  using Tokenizer::decode;

  std::optional<int> convertTokenToId(std::string_view token) const override;
  std::optional<std::string> convertIdToToken(int id) const override;

  std::optional<std::string> bosToken() const override;
  std::optional<int> bosTokenId() const override;
  std::optional<std::string> eosToken() const override;
  std::optional<int> eosTokenId() const override;
  std::optional<std::string> unknownToken() const override;
  std::optional<int> unknownTokenId() const override;

  // The pieces of one section: the pre-tokenizer's, or the text itself without one.
  virtual std::vector<std::string> preTokenize(std::string_view text, PreTokenizerOptions options) const;
  // The decoded text with the spaces before punctuation and contractions removed, unless
  // "clean_up_tokenization_spaces" is false.
  virtual std::string cleanUp(std::string text) const;
  // Of every run of unknown tokens only the first, when the model fuses unknown tokens.
  virtual std::vector<std::string> fuseUnknown(std::vector<std::string> tokens) const;

  const TokenizingModel& model() const { return *model_; }
  // The contents of all added tokens that have an integer id.
  const std::unordered_set<std::string>& addedTokens() const { return addedTokens_; }
  // Content to id of the added tokens marked special.
  const std::unordered_map<std::string, int>& specialTokens() const { return specialTokens_; }
  const Config& tokenizerConfig() const { return tokenizerConfig_; }
  bool cleanUpTokenizationSpaces() const { return cleanUpTokenizationSpaces_; }
  // The cut at added tokens; empty when there are none.
  const AddedTokenMatcher& addedTokenMatcher() const { return matcher_; }

 private:
  std::shared_ptr<const TokenizingModel> model_;
  std::unordered_set<std::string> addedTokens_;
  std::unordered_map<std::string, int> specialTokens_;
  std::unordered_set<int> specialTokenIds_;
  AddedTokenMatcher matcher_;
  std::shared_ptr<const PreTokenizer> preTokenizer_;
  std::shared_ptr<const Normalizer> normalizer_;
  std::shared_ptr<const PostProcessor> postProcessor_;
  std::shared_ptr<const Decoder> decoder_;
  Config tokenizerConfig_;
  bool cleanUpTokenizationSpaces_ = true;
};

}  // namespace noxtal::tokenizers
