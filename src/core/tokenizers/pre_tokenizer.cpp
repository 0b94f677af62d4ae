#include "core/tokenizers/pre_tokenizer.hpp"

#include <optional>
#include <unordered_map>
#include <utility>

#include "core/tokenizers/byte_level.hpp"
#include "core/tokenizers/replace_pattern.hpp"
#include "core/tokenizers/text_splitting.hpp"
#include "core/tokenizers/tokenizer_error.hpp"

namespace noxtal::tokenizers {
namespace {

// The ASCII symbol ranges count as punctuation next to \p{P}.
constexpr std::string_view kPunctuation = "\\p{P}\\u0021-\\u002F\\u003A-\\u0040\\u005B-\\u0060\\u007B-\\u007E";

std::vector<std::string> matchTexts(std::string_view text, const SearchPattern& pattern) {
  std::vector<std::string> pieces;
  for (const ByteRange& r : matchRanges(text, pattern)) pieces.emplace_back(text.substr(r.begin, r.size()));
  return pieces;
}

class PreTokenizerSequence final : public PreTokenizer {
 public:
  explicit PreTokenizerSequence(const Config& config) {
    const Config::Array* list = config["pretokenizers"].arrayValue();
    if (list == nullptr) throw TokenizerError::invalidConfiguration("No pretokenizers in Sequence");
    for (const Config& element : *list) {
      if (auto member = makePreTokenizer(element)) preTokenizers_.push_back(std::move(member));
    }
  }
  std::vector<std::string> preTokenize(std::string_view text, PreTokenizerOptions options) const override {
    std::vector<std::string> pieces{std::string(text)};
    for (const auto& member : preTokenizers_)
      pieces = member->preTokenize(std::span<const std::string>(pieces), options);
    return pieces;
  }

 private:
  std::vector<std::shared_ptr<const PreTokenizer>> preTokenizers_;
};

// Whitespace, Punctuation, Digits and Bert: the texts of all matches; text between them is
// dropped.
class PatternPreTokenizer final : public PreTokenizer {
 public:
  explicit PatternPreTokenizer(std::string_view re) : re_(SearchPattern::regex(re)) {}
  std::vector<std::string> preTokenize(std::string_view text, PreTokenizerOptions) const override {
    return matchTexts(text, re_);
  }

 private:
  SearchPattern re_;
};

class ByteLevelPreTokenizer final : public PreTokenizer {
 public:
  explicit ByteLevelPreTokenizer(const Config& config)
      : addPrefixSpace_(config["addPrefixSpace"].boolean().value_or(false)),
        trimOffsets_(config["trimOffsets"].boolean().value_or(true)),
        useRegex_(config["useRegex"].boolean().value_or(true)) {}

  std::vector<std::string> preTokenize(std::string_view text, PreTokenizerOptions) const override {
    std::vector<std::string> pieces;
    if (useRegex_) {
      for (const ByteRange& r : byteLevelSplitRanges(text)) pieces.emplace_back(text.substr(r.begin, r.size()));
    } else {
      pieces.emplace_back(text);
    }
    for (std::string& piece : pieces) {
      if (addPrefixSpace_ && !piece.starts_with(' ')) piece.insert(piece.begin(), ' ');
      piece = byteLevelEncode(piece);
    }
    return pieces;
  }

 private:
  bool addPrefixSpace_;
  [[maybe_unused]] bool trimOffsets_;  // read and kept; changes no output
  bool useRegex_;
};

class SplitPreTokenizer final : public PreTokenizer {
 public:
  explicit SplitPreTokenizer(const Config& config) : invert_(config["invert"].boolean().value_or(false)) {
    const Config& pattern = config["pattern"];
    if (const BinaryDistinctString* s = pattern["String"].stringValue()) {
      pattern_ = SearchPattern::literal(s->string());
      isRegex_ = false;
    } else if (const BinaryDistinctString* r = pattern["Regex"].stringValue()) {
      pattern_ = SearchPattern::regex(r->string());  // one that does not compile finds no match
      isRegex_ = true;
    }
  }

  std::vector<std::string> preTokenize(std::string_view text, PreTokenizerOptions) const override {
    if (!pattern_) return {std::string(text)};
    // A regular expression keeps its matches whatever "invert" says.
    return splitAtMatches(text, *pattern_, isRegex_ || !invert_);
  }

 private:
  std::optional<SearchPattern> pattern_;
  bool isRegex_ = false;
  bool invert_;
};

class MetaspacePreTokenizer final : public PreTokenizer {
 public:
  enum class PrependScheme { first, never, always };

  explicit MetaspacePreTokenizer(const Config& config)
      : addPrefixSpace_(config["addPrefixSpace"].boolean().value_or(false)),
        replacement_(textOr(config["replacement"], " ")),
        stringReplacement_(textOr(config["strRep"], replacement_)),
        prependScheme_(schemeOf(config["prependScheme"])),
        // The replacement is searched as literal text: a regular expression would cut at the
        // wrong places for "." or "|" and fail to compile for "(".
        cut_(SearchPattern::literal(replacement_)) {}

  std::vector<std::string> preTokenize(std::string_view text, PreTokenizerOptions options) const override {
    std::string replaced = replacingOccurrences(text, " ", stringReplacement_);
    if (addPrefixSpace_ && !replaced.starts_with(replacement_)) {
      const bool prefix =
          prependScheme_ == PrependScheme::always ||
          (prependScheme_ == PrependScheme::first && options.contains(PreTokenizerOption::firstSection));
      if (prefix) replaced.insert(0, stringReplacement_);
    }
    return splitBeforeMatches(replaced, cut_);
  }

 private:
  static std::string textOr(const Config& value, std::string fallback) {
    const BinaryDistinctString* s = value.stringValue();
    return s != nullptr ? s->string() : std::move(fallback);
  }
  static PrependScheme schemeOf(const Config& value) {
    const BinaryDistinctString* s = value.stringValue();
    if (s == nullptr) return PrependScheme::always;
    const std::string raw = s->string();
    if (raw == "first") return PrependScheme::first;
    if (raw == "never") return PrependScheme::never;
    return PrependScheme::always;
  }

  bool addPrefixSpace_;
  std::string replacement_;
  std::string stringReplacement_;
  PrependScheme prependScheme_;
  SearchPattern cut_;
};

using Maker = std::shared_ptr<const PreTokenizer> (*)(const Config&);

template <class T>
std::shared_ptr<const PreTokenizer> build(const Config& config) {
  return std::make_shared<const T>(config);
}

std::shared_ptr<const PreTokenizer> pattern(std::string re) { return std::make_shared<const PatternPreTokenizer>(re); }

std::shared_ptr<const PreTokenizer> whitespace(const Config&) { return pattern("\\S+"); }

std::shared_ptr<const PreTokenizer> punctuation(const Config&) {
  const std::string p(kPunctuation);
  return pattern("[^" + p + "]+|[" + p + "]+");
}

std::shared_ptr<const PreTokenizer> digits(const Config& config) {
  const bool individual = config["individualDigits"].boolean().value_or(false);
  return pattern(individual ? "[^\\d]+|\\d" : "[^\\d]+|\\d+");
}

std::shared_ptr<const PreTokenizer> bert(const Config&) {
  const std::string p(kPunctuation);
  return pattern("[^\\s" + p + "]+|[" + p + "]");
}

}  // namespace

std::string_view rawValue(PreTokenizerOption option) {
  switch (option) {
    case PreTokenizerOption::firstSection:
      return "firstSection";
  }
  return "";
}

std::vector<std::string> PreTokenizer::preTokenize(std::span<const std::string> texts,
                                                   PreTokenizerOptions options) const {
  std::vector<std::string> pieces;
  for (const std::string& text : texts) {
    std::vector<std::string> cut = preTokenize(std::string_view(text), options);
    pieces.insert(pieces.end(), std::make_move_iterator(cut.begin()), std::make_move_iterator(cut.end()));
  }
  return pieces;
}

std::shared_ptr<const PreTokenizer> makePreTokenizer(const Config& config) {
  const BinaryDistinctString* typeText = config["type"].stringValue();
  if (typeText == nullptr) return nullptr;
  static const std::unordered_map<std::string, Maker> makers = {
      {"Sequence", &build<PreTokenizerSequence>},
      {"ByteLevel", &build<ByteLevelPreTokenizer>},
      {"Punctuation", &punctuation},
      {"Digits", &digits},
      {"Split", &build<SplitPreTokenizer>},
      {"Whitespace", &whitespace},
      {"WhitespaceSplit", &whitespace},
      {"Metaspace", &build<MetaspacePreTokenizer>},
      {"BertPreTokenizer", &bert},
  };
  const std::string type = typeText->string();
  const auto found = makers.find(type);
  if (found == makers.end()) throw TokenizerError::invalidConfiguration("Unsupported PreTokenizer type: " + type);
  return found->second(config);
}

}  // namespace noxtal::tokenizers
