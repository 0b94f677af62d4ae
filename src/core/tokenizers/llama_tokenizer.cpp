#include "core/tokenizers/llama_tokenizer.hpp"

#include <optional>
#include <utility>

#include "core/tokenizers/post_processor.hpp"
#include "core/tokenizers/tokenizer_error.hpp"

namespace noxtal::tokenizers {

namespace {

constexpr std::string_view kMetaspace = "\u2581";

bool readLegacy(const Config& tokenizerConfig) { return tokenizerConfig["legacy"].boolean().value_or(true); }

// A special-token setting: a string, or an object whose "content" is a string.
std::optional<std::string> tokenText(const Config& value) {
  if (const BinaryDistinctString* text = value.stringValue()) return text->string();
  if (const BinaryDistinctString* text = value["content"].stringValue()) return text->string();
  return std::nullopt;
}

Config specialTokenItem(const std::string& token, int typeId) {
  return Config::makeDictionary(
      {{"SpecialToken", Config::makeDictionary({{"id", Config(std::string_view(token))}, {"type_id", typeId}})}});
}

Config sequenceItem(const char* id, int typeId) {
  return Config::makeDictionary({{"Sequence", Config::makeDictionary({{"id", id}, {"type_id", typeId}})}});
}

}  // namespace

Config LlamaPreTrainedTokenizer::rewrittenTokenizerData(const Config& tokenizerConfig, const Config& tokenizerData) {
  Config::Dictionary copy =
      tokenizerData.dictionaryValue() != nullptr ? *tokenizerData.dictionaryValue() : Config::Dictionary{};
  if (!readLegacy(tokenizerConfig)) {
    copy.erase(BinaryDistinctString("normalizer"));
    // The camel-case key would be found before the one written here.
    copy.erase(BinaryDistinctString("preTokenizer"));
    copy.insert_or_assign(BinaryDistinctString("pre_tokenizer"),
                          Config::makeDictionary({{"type", "Metaspace"},
                                                  {"replacement", Config(kMetaspace)},
                                                  {"add_prefix_space", true},
                                                  {"prepend_scheme", "first"}}));
  }

  const Config& postProcessorConfig = tokenizerData["postProcessor"];
  const auto existing = makePostProcessor(postProcessorConfig);
  const BinaryDistinctString* type = postProcessorConfig["type"].stringValue();
  if (existing && type != nullptr && type->string() == "TemplateProcessing") return Config(std::move(copy));

  const bool addBos = tokenizerConfig["addBosToken"].boolean().value_or(false);
  const std::optional<std::string> bos = tokenText(tokenizerConfig["bosToken"]);
  if (addBos && !bos) throw TokenizerError::mismatchedConfig("add_bos_token is True but bos_token is nil");
  const bool addEos = tokenizerConfig["addEosToken"].boolean().value_or(false);
  const std::optional<std::string> eos = tokenText(tokenizerConfig["eosToken"]);
  if (addEos && !eos) throw TokenizerError::mismatchedConfig("add_eos_token is True but eos_token is nil");

  Config::Array single;
  if (addBos) single.push_back(specialTokenItem(*bos, 0));
  single.push_back(sequenceItem("A", 0));
  if (addEos) single.push_back(specialTokenItem(*eos, 0));
  Config::Array pair = single;
  if (addBos) pair.push_back(specialTokenItem(*bos, 1));
  pair.push_back(sequenceItem("B", 1));
  if (addEos) pair.push_back(specialTokenItem(*eos, 1));

  copy.erase(BinaryDistinctString("postProcessor"));
  copy.insert_or_assign(BinaryDistinctString("post_processor"),
                        Config::makeDictionary({{"type", "TemplateProcessing"},
                                                {"single", Config(std::move(single))},
                                                {"pair", Config(std::move(pair))}}));
  return Config(std::move(copy));
}

LlamaPreTrainedTokenizer::LlamaPreTrainedTokenizer(const Config& tokenizerConfig, const Config& tokenizerData,
                                                   bool strict)
    : PreTrainedTokenizer(tokenizerConfig, rewrittenTokenizerData(tokenizerConfig, tokenizerData), strict),
      isLegacy_(readLegacy(tokenizerConfig)) {}

std::vector<std::string> LlamaPreTrainedTokenizer::tokenize(std::string_view text) const {
  if (isLegacy_ || text.empty()) return PreTrainedTokenizer::tokenize(text);
  std::string prepared(kMetaspace);
  for (std::size_t at = 0; at < text.size();) {
    if (text.substr(at).starts_with(kMetaspace)) {
      prepared += ' ';
      at += kMetaspace.size();
    } else {
      prepared += text[at++];
    }
  }
  std::vector<std::string> tokens = PreTrainedTokenizer::tokenize(prepared);
  if (tokens.size() >= 2 && tokens[0] == kMetaspace && specialTokens().contains(tokens[1])) tokens.erase(tokens.begin());
  return tokens;
}

}  // namespace noxtal::tokenizers
