// The vocabulary-model factory: maps the tokenizer class of "tokenizer_config.json" to the
// model type (BPE, WordPiece or Unigram) and builds it.
//
// The pretrained pipeline calls it once while it is built. Thread-safe; keeps nothing between
// calls.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/config.hpp"
#include "core/tokenizers/tokenizer.hpp"

namespace noxtal::tokenizers {

// The factory entry for a tokenizer class (every "Fast" already removed from the name); absent
// for a class that is not registered.
std::optional<PreTrainedModelMaker> tokenizingModelMaker(std::string_view className);

// Builds the model of the class named by "tokenizer_class" of `tokenizerConfig` (every "Fast"
// removed from the name) from the two documents and `addedTokens`. An unregistered class throws
// TokenizerError::unsupportedTokenizer (name without "Fast") when `strict`; otherwise it logs
// "Warning: Tokenizer model class <name> is not registered, falling back to a standard BPE
// implementation." at info level and builds a BPETokenizer. Throws
// missingTokenizerClassInConfig when the class is not a string, and passes on the model's
// TokenizerError. The result is immutable and owned by the caller.
std::shared_ptr<const TokenizingModel> makeTokenizingModel(const Config& tokenizerConfig, const Config& tokenizerData,
                                                           const AddedTokens& addedTokens, bool strict);

}  // namespace noxtal::tokenizers
