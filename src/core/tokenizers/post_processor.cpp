#include "core/tokenizers/post_processor.hpp"

#include <unordered_map>
#include <utility>

#include "core/tokenizers/tokenizer_error.hpp"
#include "platform/text/text.hpp"

namespace noxtal::tokenizers {
namespace {

namespace text = platform::text;

using Tokens = std::vector<std::string>;
using Pair = std::optional<std::span<const std::string>>;

void append(Tokens& out, std::span<const std::string> tokens) { out.insert(out.end(), tokens.begin(), tokens.end()); }

class TemplateProcessing final : public PostProcessor {
 public:
  explicit TemplateProcessing(const Config& config) {
    const Config::Array* single = config["single"].arrayValue();
    if (single == nullptr) throw TokenizerError::invalidConfiguration("Missing `single` processor configuration");
    const Config::Array* pair = config["pair"].arrayValue();
    if (pair == nullptr) throw TokenizerError::invalidConfiguration("Missing `pair` processor configuration");
    single_ = *single;
    pair_ = *pair;
  }

  Tokens postProcess(std::span<const std::string> tokens, Pair tokensPair, bool addSpecialTokens) const override {
    Tokens out;
    for (const Config& item : tokensPair ? pair_ : single_) {
      if (const BinaryDistinctString* special = item["SpecialToken"]["id"].stringValue()) {
        if (addSpecialTokens) out.push_back(special->string());
        continue;
      }
      const BinaryDistinctString* sequence = item["Sequence"]["id"].stringValue();
      if (sequence == nullptr) continue;
      if (sequence->string() == "A") {
        append(out, tokens);
      } else if (sequence->string() == "B" && tokensPair) {
        append(out, *tokensPair);
      }
    }
    return out;
  }

 private:
  Config::Array single_;
  Config::Array pair_;
};

class ByteLevelPostProcessor final : public PostProcessor {
 public:
  explicit ByteLevelPostProcessor(const Config&) {}
  Tokens postProcess(std::span<const std::string> tokens, Pair, bool) const override {
    return Tokens(tokens.begin(), tokens.end());
  }
};

// The text of a required "sep" or "cls" setting.
std::string requiredToken(const Config& config, const char* key) {
  const auto token = config[key].token();
  if (!token) throw TokenizerError::invalidConfiguration(std::string("Missing `") + key + "` processor configuration");
  return token->second;
}

class BertProcessing final : public PostProcessor {
 public:
  explicit BertProcessing(const Config& config)
      : sep_(requiredToken(config, "sep")), cls_(requiredToken(config, "cls")) {}

  Tokens postProcess(std::span<const std::string> tokens, Pair tokensPair, bool addSpecialTokens) const override {
    Tokens out;
    if (!addSpecialTokens) {
      append(out, tokens);
      if (tokensPair) append(out, *tokensPair);
      return out;
    }
    out.push_back(cls_);
    append(out, tokens);
    out.push_back(sep_);
    if (tokensPair && !tokensPair->empty()) {
      append(out, *tokensPair);
      out.push_back(sep_);
    }
    return out;
  }

 private:
  std::string sep_;
  std::string cls_;
};

// Byte offsets of the grapheme clusters of `s` and whether each starts with a scalar that
// the predicate accepts.
template <class Predicate>
std::vector<std::pair<std::size_t, bool>> classify(std::string_view s, Predicate isSpace) {
  std::vector<std::pair<std::size_t, bool>> characters;
  const std::vector<std::size_t> bounds = text::graphemeBoundaries(s);
  for (std::size_t k = 1; k < bounds.size(); ++k) {
    characters.emplace_back(bounds[k - 1], isSpace(text::firstCodePoint(s.substr(bounds[k - 1]))));
  }
  return characters;
}

class RobertaProcessing final : public PostProcessor {
 public:
  explicit RobertaProcessing(const Config& config)
      : sep_(requiredToken(config, "sep")),
        cls_(requiredToken(config, "cls")),
        trimOffset_(config["trimOffset"].boolean().value_or(true)),
        addPrefixSpace_(config["addPrefixSpace"].boolean().value_or(true)) {}

  // Special tokens are always added; the flag is not consulted.
  Tokens postProcess(std::span<const std::string> tokens, Pair tokensPair, bool) const override {
    Tokens out{cls_};
    appendTrimmed(out, tokens);
    out.push_back(sep_);
    if (tokensPair && !tokensPair->empty()) {
      out.push_back(sep_);
      appendTrimmed(out, *tokensPair);
      out.push_back(sep_);
    }
    return out;
  }

 private:
  void appendTrimmed(Tokens& out, std::span<const std::string> tokens) const {
    for (const std::string& token : tokens) out.push_back(trimOffset_ ? trim(token) : token);
  }

  std::string trim(std::string_view token) const {
    if (!addPrefixSpace_) {
      // The "whitespaces" set, scalar by scalar, from both ends.
      const std::vector<char32_t> scalars = text::codePoints(token);
      std::size_t begin = 0;
      std::size_t end = scalars.size();
      while (begin < end && text::isInWhitespaces(scalars[begin])) ++begin;
      while (end > begin && text::isInWhitespaces(scalars[end - 1])) --end;
      std::string out;
      for (std::size_t i = begin; i < end; ++i) text::appendUtf8(out, scalars[i]);
      return out;
    }
    // White space runs at either end cut down to one character: the last of the leading run,
    // the first of the trailing run. A token of white space alone keeps its first character.
    const auto characters = classify(token, text::isWhitespace);
    const std::size_t n = characters.size();
    std::size_t lead = 0;
    while (lead < n && characters[lead].second) ++lead;
    const auto offset = [&](std::size_t k) { return k < n ? characters[k].first : token.size(); };
    if (lead == n) return n == 0 ? std::string() : std::string(token.substr(0, offset(1)));
    std::size_t trail = n;
    while (trail > lead && characters[trail - 1].second) --trail;
    const std::size_t from = lead > 0 ? lead - 1 : 0;
    const std::size_t to = trail < n ? trail + 1 : n;
    return std::string(token.substr(offset(from), offset(to) - offset(from)));
  }

  std::string sep_;
  std::string cls_;
  bool trimOffset_;
  bool addPrefixSpace_;
};

class SequenceProcessing final : public PostProcessor {
 public:
  explicit SequenceProcessing(const Config& config) {
    const Config::Array* list = config["processors"].arrayValue();
    if (list == nullptr) throw TokenizerError::invalidConfiguration("Missing `processors` configuration");
    for (const Config& element : *list) {
      if (element.dictionaryValue() == nullptr || element["type"].stringValue() == nullptr) continue;
      processors_.push_back(makePostProcessor(element));
    }
  }

  Tokens postProcess(std::span<const std::string> tokens, Pair tokensPair, bool addSpecialTokens) const override {
    if (processors_.empty()) return Tokens(tokens.begin(), tokens.end());
    Tokens out = processors_.front()->postProcess(tokens, tokensPair, addSpecialTokens);
    for (std::size_t i = 1; i < processors_.size(); ++i) {
      out = processors_[i]->postProcess(out, std::nullopt, addSpecialTokens);
    }
    return out;
  }

 private:
  std::vector<std::shared_ptr<const PostProcessor>> processors_;
};

template <class T>
std::shared_ptr<const PostProcessor> build(const Config& config) {
  return std::make_shared<const T>(config);
}

}  // namespace

std::shared_ptr<const PostProcessor> makePostProcessor(const Config& config) {
  const BinaryDistinctString* typeText = config["type"].stringValue();
  if (typeText == nullptr) return nullptr;
  using Maker = std::shared_ptr<const PostProcessor> (*)(const Config&);
  static const std::unordered_map<std::string, Maker> makers = {
      {"TemplateProcessing", &build<TemplateProcessing>}, {"ByteLevel", &build<ByteLevelPostProcessor>},
      {"RobertaProcessing", &build<RobertaProcessing>},   {"BertProcessing", &build<BertProcessing>},
      {"Sequence", &build<SequenceProcessing>},
  };
  const std::string type = typeText->string();
  const auto found = makers.find(type);
  if (found == makers.end()) throw TokenizerError::invalidConfiguration("Unsupported PostProcessor type: " + type);
  return found->second(config);
}

}  // namespace noxtal::tokenizers
