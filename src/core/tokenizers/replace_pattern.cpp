#include "core/tokenizers/replace_pattern.hpp"

#include "core/tokenizers/text_splitting.hpp"
#include "core/tokenizers/tokenizer_error.hpp"

namespace noxtal::tokenizers {

std::string replacingOccurrences(std::string_view text, std::string_view pattern, std::string_view replacement) {
  if (pattern.empty()) return std::string(text);
  std::string out;
  out.reserve(text.size());
  std::size_t resume = 0;
  for (std::size_t at = text.find(pattern); at != std::string_view::npos; at = text.find(pattern, resume)) {
    out.append(text.substr(resume, at - resume));
    out.append(replacement);
    resume = at + pattern.size();
  }
  out.append(text.substr(resume));
  return out;
}

std::string StringReplacePattern::replace(std::string_view text) const {
  if (const auto* r = std::get_if<Regexp>(&value_)) return replaceAllMatches(r->regexp, text, r->replacement);
  const auto& s = std::get<String>(value_);
  return replacingOccurrences(text, s.pattern, s.replacement);
}

std::optional<StringReplacePattern> readReplacePattern(const Config& config) {
  const BinaryDistinctString* content = config["content"].stringValue();
  if (content == nullptr) return std::nullopt;
  const Config& pattern = config["pattern"];
  if (const BinaryDistinctString* search = pattern["String"].stringValue()) {
    return StringReplacePattern(StringReplacePattern::String{search->string(), content->string()});
  }
  if (const BinaryDistinctString* regex = pattern["Regex"].stringValue()) {
    const std::string source = regex->string();
    try {
      return StringReplacePattern(StringReplacePattern::Regexp{platform::text::Regex(source), content->string()});
    } catch (const platform::text::RegexError&) {
      throw TokenizerError::invalidConfiguration("Cannot build regexp from " + source);
    }
  }
  return std::nullopt;
}

}  // namespace noxtal::tokenizers
