#include "speech/decoding/whisper_tokenizer.hpp"

#include <algorithm>

#include "platform/text/script_language.hpp"
#include "platform/text/text.hpp"
#include "speech/model/constants.hpp"

namespace vostrane {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

int resolve(const noxtal::tokenizers::Tokenizer& tokenizer, std::string_view text, int fallback) {
  return exactTokenId(tokenizer, text).value_or(fallback);
}

bool isWrittenWithoutSpaces(const std::optional<std::string>& code) {
  static const std::set<std::string, std::less<>> kLanguages = {"zh", "ja", "th", "lo", "my", "yue"};
  return code && kLanguages.contains(*code);
}

// True when the text, trimmed of the whitespaces set at both ends, is one punctuation scalar.
bool isSinglePunctuation(std::string_view text) {
  const std::vector<char32_t> scalars = platform::text::codePoints(text);
  auto first = std::find_if_not(scalars.begin(), scalars.end(), platform::text::isInWhitespaces);
  auto last = std::find_if_not(scalars.rbegin(), std::make_reverse_iterator(first), platform::text::isInWhitespaces);
  const auto length = std::distance(first, last.base());
  return length == 1 && platform::text::isPunctuation(*first);
}

}  // namespace

std::optional<int> exactTokenId(const noxtal::tokenizers::Tokenizer& tokenizer, std::string_view text) {
  const std::optional<int> id = tokenizer.convertTokenToId(text);
  if (!id) return std::nullopt;
  const std::optional<std::string> back = tokenizer.convertIdToToken(*id);
  if (!back || *back != text) return std::nullopt;
  return id;
}

std::optional<int> exactTokenId(const WhisperTokenizer& tokenizer, std::string_view text) {
  const std::optional<int> id = tokenizer.convertTokenToId(text);
  if (!id) return std::nullopt;
  const std::optional<std::string> back = tokenizer.convertIdToToken(*id);
  if (!back || *back != text) return std::nullopt;
  return id;
}

WhisperTokenizerWrapper::WhisperTokenizerWrapper(noxtal::tokenizers::TokenizerWrapper tokenizer,
                                                 std::optional<std::filesystem::path> tokenizerFolder)
    : tokenizer_(std::move(tokenizer)), tokenizerFolder_(std::move(tokenizerFolder)) {
  const auto& t = *tokenizer_.impl();
  const SpecialTokens defaults;
  specialTokens_ = SpecialTokens{
      .endToken = resolve(t, "<|endoftext|>", defaults.endToken),
      .englishToken = resolve(t, "<|en|>", defaults.englishToken),
      .noSpeechToken = resolve(t, "<|nospeech|>", defaults.noSpeechToken),
      .noTimestampsToken = resolve(t, "<|notimestamps|>", defaults.noTimestampsToken),
      .specialTokenBegin = resolve(t, "<|endoftext|>", defaults.specialTokenBegin),
      .startOfPreviousToken = resolve(t, "<|startofprev|>", defaults.startOfPreviousToken),
      .startOfTranscriptToken = resolve(t, "<|startoftranscript|>", defaults.startOfTranscriptToken),
      .timeTokenBegin = resolve(t, "<|0.00|>", defaults.timeTokenBegin),
      .transcribeToken = resolve(t, "<|transcribe|>", defaults.transcribeToken),
      .translateToken = resolve(t, "<|translate|>", defaults.translateToken),
      .whitespaceToken = resolve(t, " ", defaults.whitespaceToken),
  };
  for (const auto& [name, code] : Constants::languages()) {
    const std::optional<int> id = exactTokenId(t, "<|" + code + "|>");
    if (id && *id > specialTokens_.specialTokenBegin) allLanguageTokens_.insert(*id);
  }
}

std::vector<int> WhisperTokenizerWrapper::encode(std::string_view text) const { return tokenizer_.encode(text); }

std::string WhisperTokenizerWrapper::decode(std::span<const int> tokens) const { return tokenizer_.decode(tokens); }

std::optional<int> WhisperTokenizerWrapper::convertTokenToId(std::string_view token) const {
  return tokenizer_.convertTokenToId(token);
}

std::optional<std::string> WhisperTokenizerWrapper::convertIdToToken(int id) const {
  return tokenizer_.convertIdToToken(id);
}

WordTokens WhisperTokenizerWrapper::splitToWordTokens(std::span<const int> tokenIds) const {
  std::vector<int> textTokens;
  for (int id : tokenIds) {
    if (id < specialTokens_.specialTokenBegin) textTokens.push_back(id);
  }
  const std::string text = decode(textTokens);
  if (isWrittenWithoutSpaces(platform::text::dominantLanguage(text))) return splitTokensOnUnicode(tokenIds);
  return splitTokensOnSpaces(tokenIds);
}

WordTokens WhisperTokenizerWrapper::splitTokensOnUnicode(std::span<const int> tokens) const {
  WordTokens result;
  if (tokens.empty()) return result;
  // Positions are counted in Unicode scalars on both sides: the pieces' texts need not add up
  // to the whole text (a combining mark decoded alone, a clean-up that shortens the whole), so
  // a position may also lie past its end, where there is no replacement character.
  const std::vector<char32_t> full = platform::text::codePoints(decode(tokens));
  std::size_t emitted = 0;
  std::vector<int> run;
  for (int id : tokens) {
    run.push_back(id);
    std::string piece = decode(run);
    const std::vector<char32_t> scalars = platform::text::codePoints(piece);
    const auto replacement = std::find(scalars.begin(), scalars.end(), kReplacement);
    if (replacement != scalars.end()) {
      const std::size_t position = emitted + static_cast<std::size_t>(replacement - scalars.begin());
      if (position >= full.size() || full[position] != kReplacement) continue;
    }
    emitted += scalars.size();
    result.words.push_back(std::move(piece));
    result.wordTokens.push_back(std::move(run));
    run.clear();
  }
  return result;
}

WordTokens WhisperTokenizerWrapper::splitTokensOnSpaces(std::span<const int> tokens) const {
  WordTokens pieces = splitTokensOnUnicode(tokens);
  WordTokens result;
  for (std::size_t i = 0; i < pieces.words.size(); ++i) {
    std::string& text = pieces.words[i];
    std::vector<int>& ids = pieces.wordTokens[i];
    const bool special = !ids.empty() && ids.front() >= specialTokens_.specialTokenBegin;
    const bool startsWithBlank = !text.empty() && text.front() == ' ';
    if (special || startsWithBlank || isSinglePunctuation(text) || result.words.empty()) {
      result.words.push_back(std::move(text));
      result.wordTokens.push_back(std::move(ids));
    } else {
      result.words.back() += text;
      result.wordTokens.back().insert(result.wordTokens.back().end(), ids.begin(), ids.end());
    }
  }
  return result;
}

}  // namespace vostrane
