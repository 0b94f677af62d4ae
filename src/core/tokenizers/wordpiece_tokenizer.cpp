#include "core/tokenizers/wordpiece_tokenizer.hpp"

#include <algorithm>
#include <unordered_set>
#include <utility>

#include "core/tokenizers/tokenizer_error.hpp"
#include "core/tokenizers/vocabulary.hpp"
#include "platform/text/text.hpp"

namespace noxtal::tokenizers {
namespace {

bool isAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// The NFC form of a key; ASCII text is its own NFC form.
std::string nfc(std::string_view text) {
  if (isAscii(text)) return std::string(text);
  return platform::text::normalize(text, platform::text::NormalizationForm::nfc);
}

bool isChineseCharacter(char32_t c) {
  return (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0x3400 && c <= 0x4DBF) || (c >= 0x20000 && c <= 0x2A6DF) ||
         (c >= 0x2A700 && c <= 0x2CEAF) || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0x2F800 && c <= 0x2FA1F);
}

bool isBertPunctuation(char32_t c) {
  return platform::text::isPunctuation(c) || (c >= 33 && c <= 47) || (c >= 58 && c <= 64) || (c >= 91 && c <= 96) ||
         (c >= 123 && c <= 126);
}

// The code point at `offset` of UTF-8 text and its length in bytes; an invalid byte counts as
// one byte standing for U+FFFD.
std::pair<char32_t, std::size_t> codePointAt(std::string_view text, std::size_t offset) {
  const auto lead = static_cast<unsigned char>(text[offset]);
  std::size_t length = 1;
  char32_t value = lead;
  if (lead >= 0xC0 && lead < 0xE0) {
    length = 2;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead < 0xF0) {
    length = 3;
    value = lead & 0x0F;
  } else if (lead >= 0xF0 && lead < 0xF8) {
    length = 4;
    value = lead & 0x07;
  } else if (lead >= 0x80) {
    return {0xFFFD, 1};
  }
  if (offset + length > text.size()) return {0xFFFD, 1};
  for (std::size_t i = 1; i < length; ++i) {
    const auto c = static_cast<unsigned char>(text[offset + i]);
    if ((c & 0xC0) != 0x80) return {0xFFFD, 1};
    value = (value << 6) | (c & 0x3F);
  }
  return {value, length};
}

}  // namespace

BasicTokenizer::BasicTokenizer(bool doLowerCase)
    : doLowerCase_(doLowerCase), neverSplit_{"[UNK]", "[SEP]", "[PAD]", "[CLS]", "[MASK]"} {}

std::vector<std::string> BasicTokenizer::tokenize(std::string_view input) const {
  const std::string text = doLowerCase_ ? platform::text::foldDiacritics(input) : std::string(input);
  std::vector<std::string> tokens;
  const auto splitPiece = [&](std::string_view piece) {
    if (piece.empty()) return;
    if (std::find(neverSplit_.begin(), neverSplit_.end(), piece) != neverSplit_.end()) {
      tokens.emplace_back(piece);
      return;
    }
    const std::string cased = doLowerCase_ ? platform::text::toLower(piece) : std::string(piece);
    const std::vector<std::size_t> bounds = platform::text::graphemeBoundaries(std::string_view(cased));
    std::string run;
    for (std::size_t i = 0; i + 1 < bounds.size(); ++i) {
      const std::string_view character = std::string_view(cased).substr(bounds[i], bounds[i + 1] - bounds[i]);
      if (isBertPunctuation(platform::text::firstCodePoint(character))) {
        if (!run.empty()) tokens.push_back(std::move(run));
        run.clear();
        tokens.emplace_back(character);
      } else {
        run += character;
      }
    }
    if (!run.empty()) tokens.push_back(std::move(run));
  };
  std::size_t pieceStart = 0;
  for (std::size_t offset = 0; offset < text.size();) {
    const auto [c, length] = codePointAt(text, offset);
    if (platform::text::isInWhitespaces(c)) {
      splitPiece(std::string_view(text).substr(pieceStart, offset - pieceStart));
      pieceStart = offset + length;
    }
    offset += length;
  }
  splitPiece(std::string_view(text).substr(pieceStart));
  return tokens;
}

WordpieceTokenizer::WordpieceTokenizer(std::string unkToken, int maxInputCharsPerWord, const TokenIdMap& vocab)
    : unkToken_(std::move(unkToken)), maxInputCharsPerWord_(maxInputCharsPerWord), vocab_(&vocab) {}

std::vector<std::string> WordpieceTokenizer::tokenize(std::string_view word) const {
  if (word.empty()) return {};
  const std::vector<std::size_t> bounds = platform::text::graphemeBoundaries(word);
  const std::size_t count = bounds.size() - 1;
  if (count > static_cast<std::size_t>(maxInputCharsPerWord_)) return {unkToken_};
  std::vector<std::string> pieces;
  std::size_t start = 0;
  while (start < count) {
    std::optional<std::string> found;
    std::size_t end = count;
    for (; end > start; --end) {
      std::string candidate = start > 0 ? "##" : "";
      candidate.append(word.substr(bounds[start], bounds[end] - bounds[start]));
      if (vocab_->find(nfc(candidate)) != vocab_->end()) {
        found = std::move(candidate);
        break;
      }
    }
    if (!found) return {unkToken_};
    pieces.push_back(std::move(*found));
    start = end;
  }
  return pieces;
}

BertTokenizer::BertTokenizer(const Config& tokenizerConfig, const Config& tokenizerData, const AddedTokens& addedTokens)
    : basicTokenizer_(tokenizerConfig["doLowerCase"].boolean().value_or(true)),
      wordpieceTokenizer_(std::string(kUnknownToken), kMaxInputCharsPerWord, vocab_) {
  const Config::Dictionary* vocab = tokenizerData["model"]["vocab"].dictionaryValue();
  if (vocab == nullptr) throw TokenizerError::missingVocab();

  // NFC key -> the spelling first given for it, which the id maps back to.
  std::unordered_map<std::string, std::string> spellings;
  std::unordered_set<std::string> addedKeys;
  const auto set = [&](const std::string& text, int id, bool added) {
    std::string key = nfc(text);
    spellings.try_emplace(key, text);
    if (added) addedKeys.insert(key);
    if (added) {
      vocab_[std::move(key)] = id;
    } else {
      vocab_.try_emplace(std::move(key), id);
    }
  };
  vocab_.reserve(vocab->size() + addedTokens.size());
  for (const auto& [text, value] : *vocab) {
    if (const auto id = value.integerValue()) set(text.string(), vocabularyId(*id), false);
  }
  if (const Config::Array* entries = tokenizerData["addedTokens"].arrayValue()) {
    for (const Config& entry : *entries) {
      const auto id = entry["id"].integerValue();
      const auto* content = entry["content"].stringValue();
      if (id && content != nullptr) set(content->string(), vocabularyId(*id), true);
    }
  }
  for (const auto& [content, id] : addedTokens) set(content, vocabularyId(id), true);

  idsToTokens_ =
      invertVocabulary(vocab_, [&addedKeys](std::string_view key) { return addedKeys.count(std::string(key)) > 0; });
  for (auto& [id, key] : idsToTokens_) key = spellings.at(key);

  tokenizeChineseChars_ = tokenizerConfig["handleChineseChars"].boolean().value_or(true);
  fuseUnknownTokens_ = tokenizerConfig["fuseUnk"].boolean().value_or(false);
  const auto idOf = [this](const std::optional<std::string>& token) -> std::optional<int> {
    if (!token) return std::nullopt;
    const auto it = vocab_.find(nfc(*token));
    if (it == vocab_.end()) return std::nullopt;
    return it->second;
  };
  bosToken_ = plainString(tokenizerConfig["bosToken"]);
  bosTokenId_ = idOf(bosToken_);
  eosToken_ = plainString(tokenizerConfig["eosToken"]);
  eosTokenId_ = idOf(eosToken_);
  unknownTokenId_ = idOf(std::string(kUnknownToken));
}

std::vector<std::string> BertTokenizer::tokenize(std::string_view text) const {
  std::string spaced;
  if (tokenizeChineseChars_) {
    const std::vector<std::size_t> bounds = platform::text::graphemeBoundaries(text);
    spaced.reserve(text.size());
    for (std::size_t i = 0; i + 1 < bounds.size(); ++i) {
      const std::string_view character = text.substr(bounds[i], bounds[i + 1] - bounds[i]);
      if (isChineseCharacter(platform::text::firstCodePoint(character))) {
        spaced += ' ';
        spaced += character;
        spaced += ' ';
      } else {
        spaced += character;
      }
    }
  } else {
    spaced = text;
  }
  std::vector<std::string> tokens;
  for (const std::string& word : basicTokenizer_.tokenize(spaced)) {
    for (std::string& piece : wordpieceTokenizer_.tokenize(word)) tokens.push_back(std::move(piece));
  }
  return tokens;
}

std::optional<int> BertTokenizer::convertTokenToId(std::string_view token) const {
  const auto it = vocab_.find(nfc(token));
  if (it != vocab_.end()) return it->second;
  return unknownTokenId_;
}

std::optional<std::string> BertTokenizer::convertIdToToken(int id) const {
  const auto it = idsToTokens_.find(id);
  if (it == idsToTokens_.end()) return std::nullopt;
  return it->second;
}

}  // namespace noxtal::tokenizers
