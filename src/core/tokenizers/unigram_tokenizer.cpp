#include "core/tokenizers/unigram_tokenizer.hpp"

#include <algorithm>
#include <cstdint>

#include "core/tokenizers/token_lattice.hpp"
#include "core/tokenizers/tokenizer_error.hpp"
#include "core/tokenizers/vocabulary.hpp"
#include "platform/text/text.hpp"

namespace noxtal::tokenizers {
namespace {

float scoreOf(const Config& value) {
  if (const auto i = value.integerValue()) return static_cast<float>(*i);
  if (const auto f = value.floatingValue()) return *f;
  throw TokenizerError::malformedVocab();
}

}  // namespace

UnigramTokenizer::UnigramTokenizer(const Config& tokenizerConfig, const Config& tokenizerData,
                                   const AddedTokens& /*addedTokens*/) {
  const Config& model = tokenizerData["model"];
  const Config::Array* entries = model["vocab"].arrayValue();
  if (entries == nullptr) throw TokenizerError::missingVocab();
  vocab_.reserve(entries->size());
  for (const Config& entry : *entries) {
    const Config::Array* fields = entry.arrayValue();
    if (fields == nullptr || fields->empty()) throw TokenizerError::malformedVocab();
    const auto* piece = fields->front().stringValue();
    if (piece == nullptr) throw TokenizerError::malformedVocab();
    vocab_.push_back({piece->string(), scoreOf(fields->back())});
  }
  if (vocab_.size() > static_cast<std::size_t>(INT32_MAX)) throw TokenizerError::malformedVocab();

  minScore_ = 999;
  for (const SentencePieceToken& token : vocab_) minScore_ = std::min(minScore_, token.score);

  const auto unkId = model["unkId"].integerValue();
  if (!unkId || *unkId < 0 || static_cast<std::uint64_t>(*unkId) >= vocab_.size()) {
    throw TokenizerError::malformedVocab();
  }
  unknownTokenId_ = static_cast<int>(*unkId);
  unknownPiece_ = {vocab_[static_cast<std::size_t>(*unkId)].token, minScore_ - 10};

  tokensToIds_.reserve(vocab_.size());
  for (std::size_t i = 0; i < vocab_.size(); ++i) tokensToIds_.try_emplace(vocab_[i].token, static_cast<int>(i));

  if (const auto it = tokensToIds_.find(std::string_view(" ")); it != tokensToIds_.end()) bosTokenId_ = it->second;
  eosToken_ = plainString(tokenizerConfig["eosToken"]);
  if (eosToken_) {
    if (const auto it = tokensToIds_.find(*eosToken_); it != tokensToIds_.end()) eosTokenId_ = it->second;
  }

  // Every piece spelt as interned cluster numbers, all in one list; then the trie, sized once.
  std::vector<std::int32_t> spellings;
  std::vector<std::size_t> spellingEnds;
  spellingEnds.reserve(vocab_.size());
  for (const SentencePieceToken& token : vocab_) {
    const std::string_view piece = token.token;
    const std::vector<std::size_t> bounds = platform::text::graphemeBoundaries(piece);
    for (std::size_t i = 0; i + 1 < bounds.size(); ++i) {
      const std::string_view character = piece.substr(bounds[i], bounds[i + 1] - bounds[i]);
      auto it = characterIds_.find(character);
      if (it == characterIds_.end()) {
        it = characterIds_.emplace(std::string(character), static_cast<std::int32_t>(characterIds_.size())).first;
      }
      spellings.push_back(it->second);
    }
    spellingEnds.push_back(spellings.size());
  }
  trie_.reserve(spellings.size() + 1);
  pieceIdOfNode_.assign(spellings.size() + 1, -1);
  for (std::size_t id = 0, start = 0; id < vocab_.size(); start = spellingEnds[id], ++id) {
    const auto node = trie_.insert(std::span<const std::int32_t>(spellings).subspan(start, spellingEnds[id] - start));
    // A text given twice keeps the id of its first entry.
    if (pieceIdOfNode_[node] < 0) pieceIdOfNode_[node] = static_cast<std::int32_t>(id);
  }
  pieceIdOfNode_.resize(trie_.nodeCount());
  pieceIdOfNode_.shrink_to_fit();
  pieceIdOfNode_.resize(trie_.nodeCount(), -1);
}

std::vector<std::int32_t> UnigramTokenizer::characterNumbers(std::string_view text,
                                                             const std::vector<std::size_t>& bounds) const {
  std::vector<std::int32_t> numbers;
  numbers.reserve(bounds.size() - 1);
  for (std::size_t i = 0; i + 1 < bounds.size(); ++i) {
    const auto it = characterIds_.find(text.substr(bounds[i], bounds[i + 1] - bounds[i]));
    numbers.push_back(it == characterIds_.end() ? -1 : it->second);
  }
  return numbers;
}

std::vector<std::string> UnigramTokenizer::tokenize(std::string_view text) const {
  std::vector<std::size_t> bounds = platform::text::graphemeBoundaries(text);
  const std::vector<std::int32_t> numbers = characterNumbers(text, bounds);
  TokenLattice lattice(text, std::move(bounds), bosTokenId_.value_or(0), eosTokenId_.value_or(0));
  const std::span<const std::int32_t> all(numbers);
  for (std::size_t position = 0; position < numbers.size(); ++position) {
    auto found = trie_.commonPrefixSearchIterator(all.subspan(position));
    bool singleCharacter = false;
    while (const auto length = found.next()) {
      const std::int32_t id = pieceIdOfNode_[found.node()];
      lattice.insert(position, *length, vocab_[static_cast<std::size_t>(id)].score, id);
      if (*length == 1) singleCharacter = true;
    }
    if (!singleCharacter) lattice.insert(position, 1, unknownPiece_.score, unknownTokenId_);
  }
  return lattice.tokens();
}

std::optional<int> UnigramTokenizer::convertTokenToId(std::string_view token) const {
  const auto it = tokensToIds_.find(token);
  if (it == tokensToIds_.end()) return unknownTokenId_;
  return it->second;
}

std::optional<std::string> UnigramTokenizer::convertIdToToken(int id) const {
  if (id < 0 || static_cast<std::size_t>(id) >= vocab_.size()) return std::nullopt;
  return vocab_[static_cast<std::size_t>(id)].token;
}

std::vector<std::string> UnigramTokenizer::commonPrefixSearch(std::string_view text) const {
  const std::vector<std::size_t> bounds = platform::text::graphemeBoundaries(text);
  const std::vector<std::int32_t> numbers = characterNumbers(text, bounds);
  std::vector<std::string> found;
  auto iterator = trie_.commonPrefixSearchIterator(std::span<const std::int32_t>(numbers));
  while (const auto length = iterator.next()) found.emplace_back(text.substr(0, bounds[*length]));
  return found;
}

}  // namespace noxtal::tokenizers
