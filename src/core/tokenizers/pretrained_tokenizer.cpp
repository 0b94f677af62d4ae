#include "core/tokenizers/pretrained_tokenizer.hpp"

#include <cstdint>
#include <limits>
#include <new>
#include <utility>

#include "core/tokenizers/tokenizer_error.hpp"
#include "core/tokenizers/tokenizer_model_factory.hpp"
#include "platform/text/text.hpp"

namespace noxtal::tokenizers {

namespace {

void replaceAll(std::string& text, std::string_view target, std::string_view replacement) {
  std::string out;
  std::size_t resume = 0;
  for (std::size_t at = text.find(target); at != std::string::npos; at = text.find(target, resume)) {
    out.append(text, resume, at - resume);
    out.append(replacement);
    resume = at + target.size();
  }
  if (resume == 0) return;
  out.append(text, resume);
  text = std::move(out);
}

std::string utf8(const BinaryDistinctString& s) { return s.string(); }

}  // namespace

PreTrainedTokenizer::PreTrainedTokenizer(const Config& tokenizerConfig, const Config& tokenizerData, bool strict) {
  try {
    AddedTokens addedTokenIds;
    std::vector<AddedTokenPattern> patterns;
    if (const Config::Array* entries = tokenizerData["addedTokens"].arrayValue()) {
      for (const Config& entry : *entries) {
        const BinaryDistinctString* content = entry["content"].stringValue();
        if (content == nullptr) continue;
        const std::string text = utf8(*content);
        if (const std::optional<std::int64_t> id = entry["id"].integerValue()) {
          if (*id < 0 || *id > std::numeric_limits<std::int32_t>::max()) throw TokenizerError::malformedVocab();
          addedTokenIds.insert_or_assign(text, static_cast<int>(*id));
          if (entry["special"].boolean().value_or(false)) specialTokens_.insert_or_assign(text, static_cast<int>(*id));
        }
        patterns.push_back({text, entry["lstrip"].boolean().value_or(false), entry["rstrip"].boolean().value_or(false)});
      }
    }
    matcher_ = AddedTokenMatcher(std::move(patterns));
    for (const auto& [content, id] : addedTokenIds) addedTokens_.insert(content);
    for (const auto& [content, id] : specialTokens_) specialTokenIds_.insert(id);

    preTokenizer_ = makePreTokenizer(tokenizerData["preTokenizer"]);
    normalizer_ = makeNormalizer(tokenizerData["normalizer"]);
    postProcessor_ = makePostProcessor(tokenizerData["postProcessor"]);
    decoder_ = makeDecoder(tokenizerData["decoder"], &addedTokens_);

    cleanUpTokenizationSpaces_ = tokenizerConfig["cleanUpTokenizationSpaces"].boolean().value_or(true);
    tokenizerConfig_ = tokenizerConfig;

    model_ = makeTokenizingModel(tokenizerConfig, tokenizerData, addedTokenIds, strict);
  } catch (const TokenizerError&) {
    throw;
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& error) {
    throw TokenizerError::invalidConfiguration(std::string("The tokenizer cannot be built: ") + error.what());
  }
}

std::vector<std::string> PreTrainedTokenizer::tokenize(std::string_view text) const {
  std::string repaired;
  if (!platform::text::isValidUtf8(text)) {
    repaired = platform::text::repairUtf8(text);
    text = repaired;
  }
  const std::vector<std::string_view> sections =
      matcher_.empty() ? std::vector<std::string_view>{text} : matcher_.sections(text);

  std::vector<std::string> result;
  for (std::size_t i = 0; i < sections.size(); ++i) {
    const std::string section(sections[i]);
    std::vector<std::string> tokens;
    if (addedTokens_.contains(section)) {
      tokens.push_back(section);
    } else {
      const std::string normalized = normalizer_ ? normalizer_->normalize(section) : section;
      const PreTokenizerOptions options =
          i == 0 ? PreTokenizerOptions{PreTokenizerOption::firstSection} : PreTokenizerOptions{};
      for (const std::string& piece : preTokenize(normalized, options)) {
        std::vector<std::string> pieceTokens = model_->tokenize(piece);
        tokens.insert(tokens.end(), std::make_move_iterator(pieceTokens.begin()),
                      std::make_move_iterator(pieceTokens.end()));
      }
    }
    tokens = fuseUnknown(std::move(tokens));
    result.insert(result.end(), std::make_move_iterator(tokens.begin()), std::make_move_iterator(tokens.end()));
  }
  return result;
}

std::vector<int> PreTrainedTokenizer::encode(std::string_view text, bool addSpecialTokens) const {
  std::vector<std::string> tokens = tokenize(text);
  if (postProcessor_) tokens = postProcessor_->postProcess(tokens, std::nullopt, addSpecialTokens);
  std::vector<int> ids;
  ids.reserve(tokens.size());
  for (std::string& token : tokens) {
    const std::optional<int> id = model_->convertTokenToId(token);
    if (!id) throw TokenizerError::tokenWithoutId(std::move(token));
    ids.push_back(*id);
  }
  return ids;
}

std::string PreTrainedTokenizer::decode(std::span<const int> tokens, bool skipSpecialTokens) const {
  std::vector<std::string> pieces;
  pieces.reserve(tokens.size());
  for (const int id : tokens) {
    if (skipSpecialTokens && specialTokenIds_.contains(id)) continue;
    if (std::optional<std::string> token = model_->convertIdToToken(id)) pieces.push_back(std::move(*token));
  }
  if (decoder_) pieces = decoder_->decode(pieces);
  std::string text;
  for (const std::string& piece : pieces) text += piece;
  return cleanUp(std::move(text));
}

std::optional<int> PreTrainedTokenizer::convertTokenToId(std::string_view token) const {
  return model_->convertTokenToId(token);
}
std::optional<std::string> PreTrainedTokenizer::convertIdToToken(int id) const { return model_->convertIdToToken(id); }

std::optional<std::string> PreTrainedTokenizer::bosToken() const { return model_->bosToken(); }
std::optional<int> PreTrainedTokenizer::bosTokenId() const { return model_->bosTokenId(); }
std::optional<std::string> PreTrainedTokenizer::eosToken() const { return model_->eosToken(); }
std::optional<int> PreTrainedTokenizer::eosTokenId() const { return model_->eosTokenId(); }
std::optional<std::string> PreTrainedTokenizer::unknownToken() const { return model_->unknownToken(); }
std::optional<int> PreTrainedTokenizer::unknownTokenId() const { return model_->unknownTokenId(); }

std::vector<std::string> PreTrainedTokenizer::preTokenize(std::string_view text, PreTokenizerOptions options) const {
  if (!preTokenizer_) return {std::string(text)};
  return preTokenizer_->preTokenize(text, options);
}

std::string PreTrainedTokenizer::cleanUp(std::string text) const {
  if (!cleanUpTokenizationSpaces_) return text;
  static constexpr std::pair<std::string_view, std::string_view> kReplacements[] = {
      {" .", "."},   {" ?", "?"},     {" !", "!"},     {" ,", ","},     {" ' ", "'"},
      {" n't", "n't"}, {" 'm", "'m"}, {" 's", "'s"}, {" 've", "'ve"}, {" 're", "'re"},
  };
  for (const auto& [target, replacement] : kReplacements) replaceAll(text, target, replacement);
  return text;
}

std::vector<std::string> PreTrainedTokenizer::fuseUnknown(std::vector<std::string> tokens) const {
  if (!model_->fuseUnknownTokens()) return tokens;
  const std::optional<int> unknown = model_->unknownTokenId();
  std::vector<std::string> fused;
  fused.reserve(tokens.size());
  bool previousUnknown = false;
  for (std::string& token : tokens) {
    const bool isUnknown = model_->convertTokenToId(token) == unknown;
    if (isUnknown && previousUnknown) continue;
    previousUnknown = isUnknown;
    fused.push_back(std::move(token));
  }
  return fused;
}

}  // namespace noxtal::tokenizers
