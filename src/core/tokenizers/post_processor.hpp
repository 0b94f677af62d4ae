// Post-processors: add the special tokens a model expects around the token texts of one input
// (or of a pair of inputs), before the texts become ids.
//
// makePostProcessor builds one from the "postProcessor" object of "tokenizer.json" by its
// "type": "TemplateProcessing", "ByteLevel", "RobertaProcessing", "BertProcessing",
// "Sequence" (matched exactly). Post-processors are immutable and thread-safe.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/config.hpp"

namespace noxtal::tokenizers {

class PostProcessor {
 public:
  virtual ~PostProcessor() = default;
  // The token texts of `tokens` (and of `tokensPair`, when given, even empty) with the special
  // tokens added; `addSpecialTokens` is the caller's wish, which some processors ignore.
  virtual std::vector<std::string> postProcess(std::span<const std::string> tokens,
                                               std::optional<std::span<const std::string>> tokensPair,
                                               bool addSpecialTokens) const = 0;
};

// The post-processor a stage object describes; null for a null `config` or one whose "type"
// is not a text. Throws TokenizerError (invalidConfiguration) for an unknown or empty type
// ("Unsupported PostProcessor type: " + type) and for a missing setting ("Missing `single`
// processor configuration", "Missing `pair` processor configuration", "Missing `sep` processor
// configuration", "Missing `cls` processor configuration", "Missing `processors`
// configuration").
std::shared_ptr<const PostProcessor> makePostProcessor(const Config& config);

}  // namespace noxtal::tokenizers
