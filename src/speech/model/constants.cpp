#include "speech/model/constants.hpp"

#include <cmath>

#include "core/extensions.hpp"
#include "platform/sys/checked_cast.hpp"
#include "platform/text/text.hpp"

namespace vostrane {
namespace {

// (name, code) in table order: 100 names with distinct codes, then 12 alternative names.
constexpr std::pair<std::string_view, std::string_view> kLanguageTable[] = {
    {"english", "en"},        {"chinese", "zh"},     {"german", "de"},        {"spanish", "es"},
    {"russian", "ru"},        {"korean", "ko"},      {"french", "fr"},        {"japanese", "ja"},
    {"portuguese", "pt"},     {"turkish", "tr"},     {"polish", "pl"},        {"catalan", "ca"},
    {"dutch", "nl"},          {"arabic", "ar"},      {"swedish", "sv"},       {"italian", "it"},
    {"indonesian", "id"},     {"hindi", "hi"},       {"finnish", "fi"},       {"vietnamese", "vi"},
    {"hebrew", "he"},         {"ukrainian", "uk"},   {"greek", "el"},         {"malay", "ms"},
    {"czech", "cs"},          {"romanian", "ro"},    {"danish", "da"},        {"hungarian", "hu"},
    {"tamil", "ta"},          {"norwegian", "no"},   {"thai", "th"},          {"urdu", "ur"},
    {"croatian", "hr"},       {"bulgarian", "bg"},   {"lithuanian", "lt"},    {"latin", "la"},
    {"maori", "mi"},          {"malayalam", "ml"},   {"welsh", "cy"},         {"slovak", "sk"},
    {"telugu", "te"},         {"persian", "fa"},     {"latvian", "lv"},       {"bengali", "bn"},
    {"serbian", "sr"},        {"azerbaijani", "az"}, {"slovenian", "sl"},     {"kannada", "kn"},
    {"estonian", "et"},       {"macedonian", "mk"},  {"breton", "br"},        {"basque", "eu"},
    {"icelandic", "is"},      {"armenian", "hy"},    {"nepali", "ne"},        {"mongolian", "mn"},
    {"bosnian", "bs"},        {"kazakh", "kk"},      {"albanian", "sq"},      {"swahili", "sw"},
    {"galician", "gl"},       {"marathi", "mr"},     {"punjabi", "pa"},       {"sinhala", "si"},
    {"khmer", "km"},          {"shona", "sn"},       {"yoruba", "yo"},        {"somali", "so"},
    {"afrikaans", "af"},      {"occitan", "oc"},     {"georgian", "ka"},      {"belarusian", "be"},
    {"tajik", "tg"},          {"sindhi", "sd"},      {"gujarati", "gu"},      {"amharic", "am"},
    {"yiddish", "yi"},        {"lao", "lo"},         {"uzbek", "uz"},         {"faroese", "fo"},
    {"haitian creole", "ht"}, {"pashto", "ps"},      {"turkmen", "tk"},       {"nynorsk", "nn"},
    {"maltese", "mt"},        {"sanskrit", "sa"},    {"luxembourgish", "lb"}, {"myanmar", "my"},
    {"tibetan", "bo"},        {"tagalog", "tl"},     {"malagasy", "mg"},      {"assamese", "as"},
    {"tatar", "tt"},          {"hawaiian", "haw"},   {"lingala", "ln"},       {"hausa", "ha"},
    {"bashkir", "ba"},        {"javanese", "jw"},    {"sundanese", "su"},     {"cantonese", "yue"},
    {"burmese", "my"},        {"valencian", "ca"},   {"flemish", "nl"},       {"haitian", "ht"},
    {"letzeburgesch", "lb"},  {"pushto", "ps"},      {"panjabi", "pa"},       {"moldavian", "ro"},
    {"moldovan", "ro"},       {"sinhalese", "si"},   {"castilian", "es"},     {"mandarin", "zh"},
};

constexpr std::string_view kSpecialTokenCharacters = "<|>";

}  // namespace

const std::map<std::string, std::string>& Constants::languages() {
  static const std::map<std::string, std::string> table = [] {
    std::map<std::string, std::string> out;
    for (const auto& [name, code] : kLanguageTable) out.emplace(name, code);
    return out;
  }();
  return table;
}

const std::set<std::string>& Constants::languageCodes() {
  static const std::set<std::string> codes = [] {
    std::set<std::string> out;
    for (const auto& [name, code] : languages()) out.insert(code);
    return out;
  }();
  return codes;
}

const ModelSupportConfig& Constants::fallbackModelSupportConfig() { return vostrane::fallbackModelSupportConfig(); }

const std::vector<std::string>& Constants::knownModels() { return fallbackModelSupportConfig().knownModels(); }

std::vector<std::pair<std::int64_t, std::int64_t>> clipTimestampsToSampleIndices(
    const std::vector<float>& clipTimestamps, std::int64_t sampleCount) {
  std::vector<std::int64_t> boundaries;
  if (clipTimestamps.empty()) {
    boundaries.push_back(0);
  } else {
    boundaries.reserve(clipTimestamps.size() + 1);
    for (float t : clipTimestamps) {
      const float samples = std::round(t * 16000.0F);
      boundaries.push_back(platform::sys::saturatingIntegerCast<std::int64_t>(samples));
    }
  }
  if (boundaries.size() % 2 == 1) boundaries.push_back(sampleCount);
  std::vector<std::pair<std::int64_t, std::int64_t>> pairs;
  pairs.reserve(boundaries.size() / 2);
  for (std::size_t i = 0; i + 1 < boundaries.size(); i += 2) pairs.emplace_back(boundaries[i], boundaries[i + 1]);
  return pairs;
}

std::string trimmingSpecialTokenCharacters(std::string_view text) {
  const std::size_t first = text.find_first_not_of(kSpecialTokenCharacters);
  if (first == std::string_view::npos) return {};
  const std::size_t last = text.find_last_not_of(kSpecialTokenCharacters);
  return std::string(text.substr(first, last - first + 1));
}

std::string normalized(std::string_view text) {
  const std::string lower = platform::text::toLower(text);
  // Replace "-" by a space and drop punctuation, then collapse runs of spaces.
  std::string stripped;
  stripped.reserve(lower.size());
  for (char32_t c : platform::text::codePoints(std::string_view(lower))) {
    if (c == U'-') c = U' ';
    if (platform::text::isPunctuation(c)) continue;
    if (c == U' ' && !stripped.empty() && stripped.back() == ' ') continue;
    platform::text::appendUtf8(stripped, c);
  }
  // Trim whitespace and line breaks at both ends.
  const std::vector<char32_t> points = platform::text::codePoints(std::string_view(stripped));
  std::size_t begin = 0;
  std::size_t end = points.size();
  while (begin < end && platform::text::isWhitespace(points[begin])) ++begin;
  while (end > begin && platform::text::isWhitespace(points[end - 1])) --end;
  std::string out;
  out.reserve(stripped.size());
  for (std::size_t i = begin; i < end; ++i) platform::text::appendUtf8(out, points[i]);
  return out;
}

std::vector<std::string> formatModelFolderNames(const std::vector<std::string>& names) {
  std::vector<std::string> out;
  out.reserve(names.size());
  for (const std::string& name : names) out.push_back(noxtal::trimmingFromEnd(name, "/", 1));
  return out;
}

namespace {
constexpr const char* kSignpostSubsystem = "com.velmoria.vostrane";
}

const platform::log::Logger& Signposters::featureExtractor() {
  static const platform::log::Logger logger(kSignpostSubsystem, "FeatureExtractor");
  return logger;
}

const platform::log::Logger& Signposters::audioEncoding() {
  static const platform::log::Logger logger(kSignpostSubsystem, "AudioEncoding");
  return logger;
}

const platform::log::Logger& Signposters::transcribeTask() {
  static const platform::log::Logger logger(kSignpostSubsystem, "TranscribeTask");
  return logger;
}

}  // namespace vostrane
