#include "platform/text/script_language.hpp"

#include <gtest/gtest.h>

namespace platform::text {
namespace {

TEST(DominantLanguage, NamesTheLanguagesWrittenWithoutBlanksByTheirScript) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
      {"こんにちは世界", "ja"},           // kana with Han
      {"カタカナ", "ja"},                 // katakana alone
      {"你好，世界。", "zh"},             // Han without kana
      {"สวัสดีครับ", "th"},               // Thai letters and vowel marks
      {"ສະບາຍດີ", "lo"},
      {"မင်္ဂလာပါ", "my"},
      {"Hello, world", std::nullopt},
      {"Привет", std::nullopt},
      {"안녕하세요", std::nullopt},
      {"", std::nullopt},
      {"12, 34. !?", std::nullopt},       // no letters
      {"Hello 世界", std::nullopt},       // more Latin letters than Han
      {"ab 世界", std::nullopt},          // a tie
      {"Tokyo は東京都です", "ja"},       // more Japanese than Latin
      {"\xFF\xFE", std::nullopt},         // invalid UTF-8
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(dominantLanguage(text), expected) << text;
  }
}

}  // namespace
}  // namespace platform::text
