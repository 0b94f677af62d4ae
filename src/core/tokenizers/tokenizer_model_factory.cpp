#include "core/tokenizers/tokenizer_model_factory.hpp"

#include <array>
#include <utility>

#include "core/logging.hpp"
#include "core/tokenizers/bpe_tokenizer.hpp"
#include "core/tokenizers/tokenizer_error.hpp"
#include "core/tokenizers/unigram_tokenizer.hpp"
#include "core/tokenizers/wordpiece_tokenizer.hpp"

namespace noxtal::tokenizers {
namespace {

std::string withoutFast(std::string name) {
  for (std::size_t at = name.find("Fast"); at != std::string::npos; at = name.find("Fast", at)) name.erase(at, 4);
  return name;
}

}  // namespace

std::optional<PreTrainedModelMaker> tokenizingModelMaker(std::string_view className) {
  const std::array<std::pair<std::string_view, PreTrainedModelMaker>, 17> tokenizingModels{{
      {"BertTokenizer", &makePreTrainedModel<BertTokenizer>},
      {"CodeGenTokenizer", &makePreTrainedModel<BPETokenizer>},
      {"CodeLlamaTokenizer", &makePreTrainedModel<BPETokenizer>},
      {"CohereTokenizer", &makePreTrainedModel<BPETokenizer>},
      {"DistilbertTokenizer", &makePreTrainedModel<BertTokenizer>},
      {"DistilBertTokenizer", &makePreTrainedModel<BertTokenizer>},
      {"FalconTokenizer", &makePreTrainedModel<BPETokenizer>},
      {"GemmaTokenizer", &makePreTrainedModel<BPETokenizer>},
      {"GPT2Tokenizer", &makePreTrainedModel<BPETokenizer>},
      {"LlamaTokenizer", &makePreTrainedModel<BPETokenizer>},
      {"RobertaTokenizer", &makePreTrainedModel<BPETokenizer>},
      {"T5Tokenizer", &makePreTrainedModel<T5Tokenizer>},
      {"TokenizersBackend", &makePreTrainedModel<BPETokenizer>},
      {"PreTrainedTokenizer", &makePreTrainedModel<BPETokenizer>},
      {"Qwen2Tokenizer", &makePreTrainedModel<BPETokenizer>},
      {"WhisperTokenizer", &makePreTrainedModel<BPETokenizer>},
      {"XLMRobertaTokenizer", &makePreTrainedModel<UnigramTokenizer>},
  }};
  for (const auto& [name, maker] : tokenizingModels) {
    if (name == className) return maker;
  }
  return std::nullopt;
}

std::shared_ptr<const TokenizingModel> makeTokenizingModel(const Config& tokenizerConfig, const Config& tokenizerData,
                                                           const AddedTokens& addedTokens, bool strict) {
  const auto* className = tokenizerConfig["tokenizerClass"].stringValue();
  if (className == nullptr) throw TokenizerError::missingTokenizerClassInConfig();
  const std::string name = withoutFast(className->string());
  if (const auto maker = tokenizingModelMaker(name)) return (*maker)(tokenizerConfig, tokenizerData, addedTokens);
  if (strict) throw TokenizerError::unsupportedTokenizer(name);
  Logging::info("Warning: Tokenizer model class " + name +
                " is not registered, falling back to a standard BPE implementation.");
  return makePreTrainedModel<BPETokenizer>(tokenizerConfig, tokenizerData, addedTokens);
}

}  // namespace noxtal::tokenizers
