#include "platform/text/script_language.hpp"

#include <unicode/uchar.h>
#include <unicode/uscript.h>

#include <array>
#include <cstddef>

#include "platform/text/text.hpp"

namespace platform::text {

namespace {

enum Group : std::size_t { kCjk, kThai, kLao, kMyanmar, kOther, kGroupCount };

}  // namespace

std::optional<std::string> dominantLanguage(std::string_view utf8) {
  std::array<std::size_t, kGroupCount> counts{};
  bool hasKana = false;
  for (char32_t c : codePoints(utf8)) {
    if (!isLetter(c) && !isMark(c)) continue;
    UErrorCode status = U_ZERO_ERROR;
    const UScriptCode script = uscript_getScript(static_cast<UChar32>(c), &status);
    if (U_FAILURE(status)) continue;
    switch (script) {
      case USCRIPT_COMMON:
      case USCRIPT_INHERITED:
      case USCRIPT_UNKNOWN:
        break;
      case USCRIPT_HIRAGANA:
      case USCRIPT_KATAKANA:
      case USCRIPT_KATAKANA_OR_HIRAGANA:
        hasKana = true;
        ++counts[kCjk];
        break;
      case USCRIPT_HAN:
        ++counts[kCjk];
        break;
      case USCRIPT_THAI:
        ++counts[kThai];
        break;
      case USCRIPT_LAO:
        ++counts[kLao];
        break;
      case USCRIPT_MYANMAR:
        ++counts[kMyanmar];
        break;
      default:
        ++counts[kOther];
        break;
    }
  }
  std::size_t best = kOther;
  std::size_t bestCount = 0;
  bool tie = false;
  for (std::size_t g = 0; g < kGroupCount; ++g) {
    if (counts[g] > bestCount) {
      best = g;
      bestCount = counts[g];
      tie = false;
    } else if (counts[g] == bestCount && bestCount > 0) {
      tie = true;
    }
  }
  if (bestCount == 0 || tie) return std::nullopt;
  switch (best) {
    case kCjk:
      return std::string(hasKana ? "ja" : "zh");
    case kThai:
      return std::string("th");
    case kLao:
      return std::string("lo");
    case kMyanmar:
      return std::string("my");
    default:
      return std::nullopt;
  }
}

}  // namespace platform::text
