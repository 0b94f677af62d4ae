// The error type of the whole tokenizer library.
//
// Loaders, vocabulary models and stage factories throw TokenizerError. Tokenizing, encoding
// and decoding throw it only when a stage's regular expression cannot be matched against the
// text (tooLong, with the engine's reason: a single match longer than its backtracking limit
// allows), and encoding also for a token that has no id (tokenWithoutId).
// what() is the case's description. Every stage factory reports a bad stage object as
// invalidConfiguration, whose description is its message alone ("Unsupported Normalizer type:
// Foo"), so the loader's caller sees the reason unchanged.
#pragma once

#include <string>
#include <string_view>

#include "platform/sys/error.hpp"

namespace noxtal::tokenizers {

enum class TokenizerErrorCase {
  unsupportedTokenizer,
  tooLong,
  mismatchedConfig,
  missingConfig,
  missingTokenizerClassInConfig,
  missingVocab,
  malformedVocab,
  invalidConfiguration,
  tokenWithoutId,
};

class TokenizerError : public platform::sys::ErrorWithCase<TokenizerErrorCase> {
 public:
  using Case = TokenizerErrorCase;

  // "The tokenizer type '<name>' is not supported."
  static TokenizerError unsupportedTokenizer(std::string className);
  // "Input is too long: <message>"
  static TokenizerError tooLong(std::string message);
  // "Tokenizer configuration mismatch: <message>"
  static TokenizerError mismatchedConfig(std::string message);
  // "Tokenizer configuration is missing."
  static TokenizerError missingConfig();
  // "The tokenizer class is not specified in the configuration."
  static TokenizerError missingTokenizerClassInConfig();
  // "Vocabulary file is missing from the tokenizer configuration."
  static TokenizerError missingVocab();
  // "The vocabulary file is malformed or corrupted."
  static TokenizerError malformedVocab();
  // The message itself: a stage object that cannot be built.
  static TokenizerError invalidConfiguration(std::string message);
  // "The token '<token>' has no id in the vocabulary."
  static TokenizerError tokenWithoutId(std::string token);

  // The note for translators that goes with the case's description.
  static std::string_view translatorComment(Case errorCase);

 private:
  TokenizerError(Case errorCase, const char* caseName, std::string message, std::string description);
};

}  // namespace noxtal::tokenizers
