// LlamaPreTrainedTokenizer: the pretrained pipeline for tokenizer classes named
// "LlamaTokenizer" (with or without "Fast"), chosen by the hub loader.
//
// Before the pipeline is built it rewrites the tokenizer data: unless the configuration says
// "legacy": false, nothing changes there; a non-legacy tokenizer loses its normalizer and gets
// a Metaspace pre-tokenizer ("▁", prefix space on the first section). Unless the data already
// has a TemplateProcessing post-processor, one is made from "add_bos_token"/"bos_token" and
// "add_eos_token"/"eos_token" of the configuration. A non-legacy tokenizer turns "▁" in the
// text into blanks, puts one "▁" in front and drops a lone leading "▁" before a special
// token. Immutable and thread-safe like its base.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/config.hpp"
#include "core/tokenizers/pretrained_tokenizer.hpp"

namespace noxtal::tokenizers {

class LlamaPreTrainedTokenizer : public PreTrainedTokenizer {
 public:
  // Throws TokenizerError as PreTrainedTokenizer does, and mismatchedConfig with
  // "add_bos_token is True but bos_token is nil" (or the eos form) when a flag asks for a
  // token the configuration does not name.
  LlamaPreTrainedTokenizer(const Config& tokenizerConfig, const Config& tokenizerData, bool strict);

  std::vector<std::string> tokenize(std::string_view text) const override;

  bool isLegacy() const { return isLegacy_; }

  // The tokenizer data as the pipeline of a Llama tokenizer sees it (exposed for tests).
  static Config rewrittenTokenizerData(const Config& tokenizerConfig, const Config& tokenizerData);

 private:
  bool isLegacy_;
};

}  // namespace noxtal::tokenizers
