#include "core/tokenizers/tokenizer_error.hpp"

#include <utility>

namespace noxtal::tokenizers {

TokenizerError::TokenizerError(Case errorCase, const char* caseName, std::string message, std::string description)
    : ErrorWithCase("TokenizerError", errorCase, caseName, std::move(message), std::move(description)) {}

TokenizerError TokenizerError::unsupportedTokenizer(std::string className) {
  std::string description = "The tokenizer type '" + className + "' is not supported.";
  return {Case::unsupportedTokenizer, "unsupportedTokenizer", std::move(className), std::move(description)};
}

TokenizerError TokenizerError::tooLong(std::string message) {
  std::string description = "Input is too long: " + message;
  return {Case::tooLong, "tooLong", std::move(message), std::move(description)};
}

TokenizerError TokenizerError::mismatchedConfig(std::string message) {
  std::string description = "Tokenizer configuration mismatch: " + message;
  return {Case::mismatchedConfig, "mismatchedConfig", std::move(message), std::move(description)};
}

TokenizerError TokenizerError::missingConfig() {
  return {Case::missingConfig, "missingConfig", "", "Tokenizer configuration is missing."};
}

TokenizerError TokenizerError::missingTokenizerClassInConfig() {
  return {Case::missingTokenizerClassInConfig, "missingTokenizerClassInConfig", "",
          "The tokenizer class is not specified in the configuration."};
}

TokenizerError TokenizerError::missingVocab() {
  return {Case::missingVocab, "missingVocab", "", "Vocabulary file is missing from the tokenizer configuration."};
}

TokenizerError TokenizerError::malformedVocab() {
  return {Case::malformedVocab, "malformedVocab", "", "The vocabulary file is malformed or corrupted."};
}

TokenizerError TokenizerError::invalidConfiguration(std::string message) {
  std::string description = message;
  return {Case::invalidConfiguration, "invalidConfiguration", std::move(message), std::move(description)};
}

TokenizerError TokenizerError::tokenWithoutId(std::string token) {
  std::string description = "The token '" + token + "' has no id in the vocabulary.";
  return {Case::tokenWithoutId, "tokenWithoutId", std::move(token), std::move(description)};
}

std::string_view TokenizerError::translatorComment(Case errorCase) {
  switch (errorCase) {
    case Case::unsupportedTokenizer:
      return "Error when tokenizer type is not supported";
    case Case::tooLong:
      return "Error when input exceeds maximum length";
    case Case::mismatchedConfig:
      return "Error when tokenizer configuration is inconsistent";
    case Case::missingConfig:
      return "Error when tokenizer config cannot be found";
    case Case::missingTokenizerClassInConfig:
      return "Error when tokenizer_class is missing in config";
    case Case::missingVocab:
      return "Error when vocab file is missing";
    case Case::malformedVocab:
      return "Error when vocab file is malformed";
    case Case::invalidConfiguration:
      return "Error when a tokenizer stage cannot be built from its configuration";
    case Case::tokenWithoutId:
      return "Error when a token has no id in the vocabulary";
  }
  return "";
}

}  // namespace noxtal::tokenizers
