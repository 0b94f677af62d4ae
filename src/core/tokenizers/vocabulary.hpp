// Vocabulary tables and helpers shared by the vocabulary models: the token-to-id map, reading
// token texts and ids from the tokenizer documents, and inverting a vocabulary with a fixed rule
// for texts that share an id.
//
// Pure functions and immutable tables; thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/config.hpp"

namespace noxtal::tokenizers {

// A hash for string-keyed maps that also finds entries by std::string_view.
struct TransparentStringHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>{}(text); }
};

// Token text (UTF-8) to id, searchable by std::string_view.
using TokenIdMap = std::unordered_map<std::string, int, TransparentStringHash, std::equal_to<>>;

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

// The token text of each id of a vocabulary, chosen by the rule of invertVocabulary, as pointers
// to the vocabulary's own keys: the vocabulary must outlive the table and keep its entries in
// place (the keys of an unordered_map stay where they are). Immutable once built.
class TokenTextsById {
 public:
  TokenTextsById() = default;
  TokenTextsById(const TokenIdMap& vocab, const std::function<bool(std::string_view)>& isAddedToken);

  // The text of `id`; null when no text has it.
  const std::string* find(int id) const;

 private:
  // Ids up to a few times the vocabulary's size are held densely, others in the map.
  std::vector<const std::string*> dense_;
  std::unordered_map<int, const std::string*> sparse_;
};

}  // namespace noxtal::tokenizers
