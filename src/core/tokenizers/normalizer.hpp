// Normalizers: the first stage of the pretrained pipeline, rewriting the whole input text
// before pre-tokenization.
//
// makeNormalizer builds one from the "normalizer" object of "tokenizer.json" by its "type":
// "Sequence", "Prepend", "Replace", "Lowercase", "NFD", "NFC", "NFKD", "NFKC", "Bert" (or
// "BertNormalizer"), "Precompiled", "StripAccents", "Strip" (matched exactly). Keys are read
// as written, then in snake_case. Normalizers are immutable and thread-safe.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "core/config.hpp"

namespace noxtal::tokenizers {

class Normalizer {
 public:
  virtual ~Normalizer() = default;
  // The normalized text. Throws TokenizerError::tooLong when a regular expression of the
  // stage ("Replace") cannot be matched against the text; nothing else fails.
  virtual std::string normalize(std::string_view text) const = 0;
  std::string operator()(std::string_view text) const { return normalize(text); }
};

// The normalizer a stage object describes; null for a null `config` or one whose "type" is
// not a text. Throws TokenizerError (invalidConfiguration) for an unknown or empty type
// ("Unsupported Normalizer type: " + type), a "Sequence" without a "normalizers" list ("No
// normalizers in Sequence") and a "Replace" regular expression that does not compile
// ("Cannot build regexp from " + pattern).
std::shared_ptr<const Normalizer> makeNormalizer(const Config& config);

}  // namespace noxtal::tokenizers
