// The entrance of the tokenizer library: loading a tokenizer from a hub repository or a local
// folder.
//
// Both loaders read "tokenizer_config.json" and "tokenizer.json" (with "config.json" and the
// chat templates) through LanguageModelConfigurationFromHub, build the tokenizer and hand it
// back in a TokenizerWrapper. The hub loader chooses the tokenizer class by the
// configuration's "tokenizer_class" ("Fast" removed): "LlamaTokenizer" gives
// LlamaPreTrainedTokenizer, anything else PreTrainedTokenizer; the folder loader always
// builds PreTrainedTokenizer. Nothing is cached between calls; both may run on any thread.
//
// Errors: a file that cannot be read as a tokenizer file (missing "tokenizer.json", bytes
// that are not JSON, a top level that is not an object, an unreadable file) is
// TokenizerError::invalidConfiguration naming the file; no tokenizer configuration is
// TokenizerError::missingConfig; what building throws (TokenizerError) is passed on; the
// fetch's own errors (the hub client's errors, network errors, CancellationError when
// `stopToken` asks to stop) pass unchanged.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "core/config.hpp"
#include "core/hub/hub_api_wrapper.hpp"
#include "core/tokenizers/tokenizer.hpp"
#include "core/tokenizers/tokenizer_wrapper.hpp"

namespace noxtal::tokenizers {

class AutoTokenizerWrapper {
 public:
  AutoTokenizerWrapper() = delete;

  // The tokenizer of the hub repository `repoId` at revision "main", fetched through `hubApi`
  // (the shared wrapper when absent) into its local cache.
  static TokenizerWrapper fromPretrained(const std::string& repoId, std::optional<HubApiWrapper> hubApi = std::nullopt,
                                         bool strict = true, std::stop_token stopToken = {});
  // The tokenizer of the files in `modelFolder`. `hubApi` is not consulted (files are read in
  // place); it is accepted so both loaders take the same arguments.
  static TokenizerWrapper fromModelFolder(const std::filesystem::path& modelFolder,
                                          std::optional<HubApiWrapper> hubApi = std::nullopt, bool strict = true,
                                          std::stop_token stopToken = {});
};

// Builds the tokenizer of two documents: with `byClassName` the class comes from the table of
// tokenizer classes, otherwise it is PreTrainedTokenizer. Throws TokenizerError.
std::shared_ptr<const Tokenizer> makePreTrainedTokenizer(const Config& tokenizerConfig, const Config& tokenizerData,
                                                         bool strict, bool byClassName);

// Builds the PreTrainedTokenizer of the two files' bytes held in memory ("tokenizer.json" and
// "tokenizer_config.json"), as the folder loader builds it from a folder holding just them.
// Bytes that are not a JSON object give TokenizerError::invalidConfiguration naming the file;
// otherwise throws what building throws (TokenizerError).
std::shared_ptr<const Tokenizer> makePreTrainedTokenizer(std::string_view tokenizerJson,
                                                         std::string_view tokenizerConfigJson, bool strict);

}  // namespace noxtal::tokenizers
