// A language guess from the writing system alone, for the speech library's word splitting:
// the six languages written without blanks between words are told apart by their script.
//
// Pure function of its argument; thread-safe; never throws (invalid UTF-8 counts as U+FFFD).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform::text {

// The language code of the script that most letters of `utf8` are written in, or absent.
// Letters and marks are counted by their Unicode script (characters of the Common and
// Inherited scripts, such as digits, punctuation and blanks, are not counted): Hiragana,
// Katakana and Han together form one group that gives "ja" when it holds any kana and "zh"
// otherwise; Thai gives "th", Lao "lo", Myanmar "my". Every other script (Latin, Cyrillic,
// Hangul, ...) forms one group "other" that gives absent. The group with the most characters
// wins; a tie, an empty text or a text without letters gives absent. "yue" is never guessed:
// Cantonese and Mandarin share their script.
std::optional<std::string> dominantLanguage(std::string_view utf8);

}  // namespace platform::text
