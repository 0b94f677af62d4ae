// Pre-tokenizers: cut one normalized text into the pieces that the vocabulary model tokenizes
// one by one.
//
// makePreTokenizer builds one from the "preTokenizer" object of "tokenizer.json" by its
// "type": "Sequence", "ByteLevel", "Punctuation", "Digits", "Split", "Whitespace",
// "WhitespaceSplit", "Metaspace", "BertPreTokenizer" (matched exactly). The pipeline calls it
// once per section of input (the text between added tokens), passing firstSection for the
// first. Pre-tokenizers are immutable and thread-safe.
#pragma once

#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/config.hpp"

namespace noxtal::tokenizers {

enum class PreTokenizerOption { firstSection };

// The option's raw text ("firstSection").
std::string_view rawValue(PreTokenizerOption option);

// A set of PreTokenizerOption values.
class PreTokenizerOptions {
 public:
  PreTokenizerOptions() = default;
  PreTokenizerOptions(std::initializer_list<PreTokenizerOption> options) {
    for (const PreTokenizerOption o : options) insert(o);
  }
  void insert(PreTokenizerOption option) { bits_ |= bit(option); }
  bool contains(PreTokenizerOption option) const { return (bits_ & bit(option)) != 0; }
  friend bool operator==(const PreTokenizerOptions&, const PreTokenizerOptions&) = default;

 private:
  static unsigned bit(PreTokenizerOption option) { return 1u << static_cast<unsigned>(option); }
  unsigned bits_ = 0;
};

class PreTokenizer {
 public:
  virtual ~PreTokenizer() = default;

  // The pieces of one text. Throws TokenizerError::tooLong when the stage's regular
  // expression cannot be matched against the text; nothing else fails.
  virtual std::vector<std::string> preTokenize(std::string_view text, PreTokenizerOptions options) const = 0;
  // The pieces of every text, concatenated in order, each text cut with the same options.
  std::vector<std::string> preTokenize(std::span<const std::string> texts, PreTokenizerOptions options) const;

  std::vector<std::string> operator()(std::string_view text, PreTokenizerOptions options = {}) const {
    return preTokenize(text, options);
  }
  std::vector<std::string> operator()(std::span<const std::string> texts, PreTokenizerOptions options = {}) const {
    return preTokenize(texts, options);
  }
};

// The pre-tokenizer a stage object describes; null for a null `config` or one whose "type"
// is not a text. Throws TokenizerError (invalidConfiguration) for an unknown or empty type
// ("Unsupported PreTokenizer type: " + type) and a "Sequence" without a "pretokenizers" list
// ("No pretokenizers in Sequence").
std::shared_ptr<const PreTokenizer> makePreTokenizer(const Config& config);

}  // namespace noxtal::tokenizers
