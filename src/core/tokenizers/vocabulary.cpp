#include "core/tokenizers/vocabulary.hpp"

#include <limits>

#include "core/tokenizers/tokenizer_error.hpp"
#include "platform/text/text.hpp"

namespace noxtal::tokenizers {

std::optional<std::string> specialTokenText(const Config& value) {
  if (const auto* text = value.stringValue()) return text->string();
  if (value.dictionaryValue() != nullptr) {
    if (const auto* content = value["content"].stringValue()) return content->string();
  }
  return std::nullopt;
}

std::optional<std::string> plainString(const Config& value) {
  if (const auto* text = value.stringValue()) return text->string();
  return std::nullopt;
}

int vocabularyId(std::int64_t id) {
  if (id < 0 || id > std::numeric_limits<std::int32_t>::max()) throw TokenizerError::malformedVocab();
  return static_cast<int>(id);
}

bool precedesInCodeUnits(std::string_view a, std::string_view b) {
  return platform::text::toUtf16(a) < platform::text::toUtf16(b);
}

std::unordered_map<int, std::string> invertVocabulary(const TokenIdMap& vocab,
                                                      const std::function<bool(std::string_view)>& isAddedToken) {
  std::unordered_map<int, std::string> inverse;
  inverse.reserve(vocab.size());
  for (const auto& [text, id] : vocab) {
    auto [it, inserted] = inverse.try_emplace(id, text);
    if (inserted) continue;
    const bool incomingAdded = isAddedToken(text);
    const bool currentAdded = isAddedToken(it->second);
    if (incomingAdded != currentAdded) {
      if (incomingAdded) it->second = text;
    } else if (precedesInCodeUnits(text, it->second)) {
      it->second = text;
    }
  }
  return inverse;
}

TokenTextsById::TokenTextsById(const TokenIdMap& vocab, const std::function<bool(std::string_view)>& isAddedToken) {
  const std::size_t denseLimit = 4 * vocab.size() + 1024;
  const auto prefer = [&isAddedToken](const std::string*& current, const std::string& incoming) {
    if (current == nullptr) {
      current = &incoming;
      return;
    }
    const bool incomingAdded = isAddedToken(incoming);
    const bool currentAdded = isAddedToken(*current);
    if (incomingAdded != currentAdded) {
      if (incomingAdded) current = &incoming;
    } else if (precedesInCodeUnits(incoming, *current)) {
      current = &incoming;
    }
  };
  for (const auto& [text, id] : vocab) {
    const auto index = static_cast<std::size_t>(id);  // ids are never negative
    if (index < denseLimit) {
      if (index >= dense_.size()) dense_.resize(index + 1, nullptr);
      prefer(dense_[index], text);
    } else {
      prefer(sparse_[id], text);
    }
  }
}

const std::string* TokenTextsById::find(int id) const {
  if (id < 0) return nullptr;
  if (static_cast<std::size_t>(id) < dense_.size()) return dense_[static_cast<std::size_t>(id)];
  const auto it = sparse_.find(id);
  return it == sparse_.end() ? nullptr : it->second;
}

}  // namespace noxtal::tokenizers
