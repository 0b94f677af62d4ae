#include "core/tokenizers/normalizer.hpp"

#include <functional>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/tokenizers/replace_pattern.hpp"
#include "core/tokenizers/text_splitting.hpp"
#include "core/tokenizers/tokenizer_error.hpp"
#include "platform/text/text.hpp"

namespace noxtal::tokenizers {
namespace {

namespace text = platform::text;

// The first scalar of each grapheme cluster, with the cluster's bytes.
template <class Visit>
void forEachCharacter(std::string_view s, Visit visit) {
  const std::vector<std::size_t> bounds = text::graphemeBoundaries(s);
  for (std::size_t k = 1; k < bounds.size(); ++k) {
    const std::string_view character = s.substr(bounds[k - 1], bounds[k] - bounds[k - 1]);
    visit(character, text::firstCodePoint(character));
  }
}

class NormalizerSequence final : public Normalizer {
 public:
  explicit NormalizerSequence(const Config& config) {
    const Config::Array* list = config["normalizers"].arrayValue();
    if (list == nullptr) throw TokenizerError::invalidConfiguration("No normalizers in Sequence");
    for (const Config& element : *list) {
      if (auto normalizer = makeNormalizer(element)) normalizers_.push_back(std::move(normalizer));
    }
  }
  std::string normalize(std::string_view s) const override {
    std::string out(s);
    for (const auto& normalizer : normalizers_) out = normalizer->normalize(out);
    return out;
  }

 private:
  std::vector<std::shared_ptr<const Normalizer>> normalizers_;
};

class PrependNormalizer final : public Normalizer {
 public:
  explicit PrependNormalizer(const Config& config) {
    if (const BinaryDistinctString* p = config["prepend"].stringValue()) prepend_ = p->string();
  }
  std::string normalize(std::string_view s) const override { return prepend_ + std::string(s); }

 private:
  std::string prepend_;
};

class ReplaceNormalizer final : public Normalizer {
 public:
  explicit ReplaceNormalizer(const Config& config) : pattern_(readReplacePattern(config)) {}
  std::string normalize(std::string_view s) const override { return pattern_ ? pattern_->replace(s) : std::string(s); }

 private:
  std::optional<StringReplacePattern> pattern_;
};

class LowercaseNormalizer final : public Normalizer {
 public:
  explicit LowercaseNormalizer(const Config&) {}
  std::string normalize(std::string_view s) const override { return text::toLower(s); }
};

// NFD, NFC, NFKD, NFKC; StripAccents is NFKC as well (it removes no marks).
class FormNormalizer final : public Normalizer {
 public:
  explicit FormNormalizer(text::NormalizationForm form) : form_(form) {}
  std::string normalize(std::string_view s) const override { return text::normalize(s, form_); }

 private:
  text::NormalizationForm form_;
};

bool isChineseCharacter(char32_t c) {
  return (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0x3400 && c <= 0x4DBF) || (c >= 0x20000 && c <= 0x2A6DF) ||
         (c >= 0x2A700 && c <= 0x2CEAF) || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0x2F800 && c <= 0x2FA1F);
}

class BertNormalizer final : public Normalizer {
 public:
  explicit BertNormalizer(const Config& config)
      : shouldCleanText_(config["cleanText"].boolean().value_or(true)),
        shouldHandleChineseChars_(config["handleChineseChars"].boolean().value_or(true)),
        shouldLowercase_(config["lowercase"].boolean().value_or(true)),
        // Without its own setting, accents go with lower-casing.
        shouldStripAccents_(config["stripAccents"].boolean().value_or(shouldLowercase_)) {}

  std::string normalize(std::string_view s) const override {
    std::string out(s);
    if (shouldCleanText_) out = cleanText(out);
    if (shouldHandleChineseChars_) out = spaceChineseCharacters(out);
    if (shouldStripAccents_) out = stripAccents(out);
    if (shouldLowercase_) out = text::toLower(out);
    return out;
  }

 private:
  static std::string cleanText(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    forEachCharacter(s, [&](std::string_view character, char32_t first) {
      if (first == 0x09 || first == 0x0A || first == 0x0D) {
        out.push_back(' ');
      } else if (first == 0 || first == 0xFFFD || text::isControl(first) || text::isFormat(first) ||
                 text::isSurrogate(first) || text::isPrivateUse(first) || text::isUnassigned(first)) {
        // removed
      } else {
        out.append(character);
      }
    });
    return out;
  }

  static std::string spaceChineseCharacters(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    forEachCharacter(s, [&](std::string_view character, char32_t first) {
      if (isChineseCharacter(first)) {
        out.push_back(' ');
        out.append(character);
        out.push_back(' ');
      } else {
        out.append(character);
      }
    });
    return out;
  }

  static std::string stripAccents(std::string_view s) {
    std::string out;
    for (const char32_t c : text::codePoints(text::normalize(s, text::NormalizationForm::nfd))) {
      if (c < 0x300 || c > 0x36F) text::appendUtf8(out, c);
    }
    return out;
  }

  bool shouldCleanText_;
  bool shouldHandleChineseChars_;
  bool shouldLowercase_;
  bool shouldStripAccents_;
};

// Reads no character map; applies a fixed clean-up and NFKC, keeping the fullwidth tilde.
class PrecompiledNormalizer final : public Normalizer {
 public:
  explicit PrecompiledNormalizer(const Config&) {}

  std::string normalize(std::string_view s) const override {
    constexpr char32_t kFullwidthTilde = 0xFF5E;
    std::string cleaned;
    cleaned.reserve(s.size());
    bool sawTilde = false;
    for (const char32_t c : text::codePoints(s)) {
      if ((c >= 0x01 && c <= 0x08) || c == 0x0B || (c >= 0x0E && c <= 0x1F) || c == 0x7F || c == 0x8F || c == 0x9F) {
        continue;
      }
      if (c == 0x09 || c == 0x0A || c == 0x0C || c == 0x0D || c == 0x1680 || (c >= 0x200B && c <= 0x200F) ||
          c == 0x2028 || c == 0x2029 || c == 0x2581 || c == 0xFEFF || c == 0xFFFD) {
        cleaned.push_back(' ');
        continue;
      }
      if (c == kFullwidthTilde) sawTilde = true;
      text::appendUtf8(cleaned, c);
    }
    if (!sawTilde) return text::normalize(cleaned, text::NormalizationForm::nfkc);
    // NFKC would turn the fullwidth tilde into "~": normalize the pieces between tildes.
    static const SearchPattern tilde = SearchPattern::literal("\xEF\xBD\x9E");
    std::string out;
    bool first = true;
    for (const std::string& piece : splitAtMatches(cleaned, tilde, false)) {
      if (!first) out += "\xEF\xBD\x9E";
      first = false;
      out += text::normalize(piece, text::NormalizationForm::nfkc);
    }
    return out;
  }
};

class StripNormalizer final : public Normalizer {
 public:
  explicit StripNormalizer(const Config& config)
      : leftStrip_(config["stripLeft"].boolean().value_or(true)),
        rightStrip_(config["stripRight"].boolean().value_or(true)) {}

  std::string normalize(std::string_view s) const override {
    std::vector<std::pair<std::size_t, bool>> characters;  // start offset, is white space
    forEachCharacter(s, [&](std::string_view character, char32_t first) {
      characters.emplace_back(static_cast<std::size_t>(character.data() - s.data()), text::isWhitespace(first));
    });
    std::size_t begin = 0;
    std::size_t end = characters.size();
    if (leftStrip_) {
      while (begin < end && characters[begin].second) ++begin;
    }
    if (rightStrip_) {
      while (end > begin && characters[end - 1].second) --end;
    }
    const std::size_t from = begin < characters.size() ? characters[begin].first : s.size();
    const std::size_t to = end < characters.size() ? characters[end].first : s.size();
    return std::string(s.substr(from, to - from));
  }

 private:
  bool leftStrip_;
  bool rightStrip_;
};

template <class T>
std::shared_ptr<const Normalizer> build(const Config& config) {
  return std::make_shared<const T>(config);
}

std::shared_ptr<const Normalizer> form(text::NormalizationForm f) { return std::make_shared<const FormNormalizer>(f); }

}  // namespace

std::shared_ptr<const Normalizer> makeNormalizer(const Config& config) {
  const BinaryDistinctString* typeText = config["type"].stringValue();
  if (typeText == nullptr) return nullptr;
  using Maker = std::shared_ptr<const Normalizer> (*)(const Config&);
  static const std::unordered_map<std::string, Maker> makers = {
      {"Sequence", &build<NormalizerSequence>},
      {"Prepend", &build<PrependNormalizer>},
      {"Replace", &build<ReplaceNormalizer>},
      {"Lowercase", &build<LowercaseNormalizer>},
      {"NFD", [](const Config&) { return form(text::NormalizationForm::nfd); }},
      {"NFC", [](const Config&) { return form(text::NormalizationForm::nfc); }},
      {"NFKD", [](const Config&) { return form(text::NormalizationForm::nfkd); }},
      {"NFKC", [](const Config&) { return form(text::NormalizationForm::nfkc); }},
      {"Bert", &build<BertNormalizer>},
      {"BertNormalizer", &build<BertNormalizer>},
      {"Precompiled", &build<PrecompiledNormalizer>},
      {"StripAccents", [](const Config&) { return form(text::NormalizationForm::nfkc); }},
      {"Strip", &build<StripNormalizer>},
  };
  const std::string type = typeText->string();
  const auto found = makers.find(type);
  if (found == makers.end()) throw TokenizerError::invalidConfiguration("Unsupported Normalizer type: " + type);
  return found->second(config);
}

}  // namespace noxtal::tokenizers
