// Helpers shared by the vocabulary models: reading token texts and ids from the tokenizer
// documents, and inverting a vocabulary with a fixed rule for texts that share an id.
//
// Pure functions; thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "core/config.hpp"
#include "core/tokenizers/bpe_tokenizer.hpp"

namespace noxtal::tokenizers {

// The text of a special-token setting: a string, or an object whose "content" is a string;
// absent otherwise.
std::optional<std::string> specialTokenText(const Config& value);
// The text of a setting that must be a plain string; absent otherwise.
std::optional<std::string> plainString(const Config& value);

// `id` as a vocabulary id. Throws TokenizerError::malformedVocab outside 0 to 2^31 - 1.
int vocabularyId(std::int64_t id);

// True when `a` sorts before `b` by UTF-16 code units (not by UTF-8 bytes: above U+FFFF the two
// orders differ).
bool precedesInCodeUnits(std::string_view a, std::string_view b);

// id -> text for every entry of `vocab`. When several texts share an id, a text for which
// `isAddedToken` is true wins over the others, and among equals the first in code-unit order.
std::unordered_map<int, std::string> invertVocabulary(const TokenIdMap& vocab,
                                                      const std::function<bool(std::string_view)>& isAddedToken);

}  // namespace noxtal::tokenizers
