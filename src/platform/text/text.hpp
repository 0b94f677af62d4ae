// Unicode text helpers for the whole project, backed by ICU: UTF-8/UTF-16 conversion,
// grapheme, word and sentence boundaries, full case mapping, normalisation forms and character
// properties.
//
// Used by the core code-unit strings and configuration value, the tokenizers and the speech
// text handling. Every function is a pure function of its arguments, never throws on any input
// (invalid encodings are replaced by U+FFFD as stated per function) and is thread-safe.
// Offsets are counts of UTF-16 code units unless a function says otherwise.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace platform::text {

// UTF-8 to UTF-16. Each maximal invalid subsequence of the input becomes one U+FFFD.
std::u16string toUtf16(std::string_view utf8);
// UTF-16 to UTF-8. An unpaired surrogate becomes U+FFFD.
std::string toUtf8(std::u16string_view utf16);
// True when `bytes` is well-formed UTF-8: no overlong form, no surrogate, nothing above
// U+10FFFF, no truncated or stray continuation byte. NUL bytes are valid characters.
bool isValidUtf8(std::string_view bytes);
// Appends `c` to `out` as UTF-16 (a surrogate pair above U+FFFF). A value that is not a
// Unicode scalar (a surrogate or above U+10FFFF) is appended as U+FFFD.
void appendUtf16(std::u16string& out, char32_t c);
// Appends `c` to `out` as UTF-8, with the same replacement rule as appendUtf16.
void appendUtf8(std::string& out, char32_t c);

// Grapheme-cluster (user-perceived character) boundaries: code-unit offsets, ascending,
// starting with 0 and ending with text.size(); just {0} for empty text.
std::vector<std::size_t> graphemeBoundaries(std::u16string_view text);
// The number of grapheme clusters; the same as graphemeBoundaries(text).size() - 1.
std::size_t graphemeCount(std::u16string_view text);

// A half-open range [begin, end) of code-unit offsets.
struct Range {
  std::size_t begin;
  std::size_t end;
  friend bool operator==(const Range&, const Range&) = default;
};

// Unicode sentence segmentation (root locale). The ranges cover the whole text without gaps;
// each sentence keeps its trailing spaces and line break. Empty text gives no range.
std::vector<Range> sentenceRanges(std::u16string_view text);
// Unicode word segmentation (root locale): every segment between two word boundaries, so
// runs of spaces and single punctuation marks are segments of their own. The ranges cover
// the whole text without gaps. Empty text gives no range.
std::vector<Range> wordRanges(std::u16string_view text);

// Full Unicode lower-casing in the root locale (one character may map to several, e.g.
// U+0130 gives "i" + U+0307; a final capital sigma gives U+03C2).
std::u16string toLower(std::u16string_view text);
// The same over UTF-8 (invalid input is first repaired as in toUtf16).
std::string toLower(std::string_view utf8);
// Full Unicode upper-casing in the root locale (e.g. U+00DF gives "SS").
std::u16string toUpper(std::u16string_view text);
std::string toUpper(std::string_view utf8);

enum class NormalizationForm { nfc, nfd, nfkc, nfkd };
// The text in the given normalisation form. Unpaired surrogates are kept as they are.
std::u16string normalize(std::u16string_view text, NormalizationForm form);
std::string normalize(std::string_view utf8, NormalizationForm form);

// Character properties by Unicode general category (values that are not Unicode scalars
// answer false everywhere).
bool isUppercaseLetter(char32_t c);  // Lu or Lt
bool isLowercaseLetter(char32_t c);  // Ll
bool isLetter(char32_t c);           // L* (Lu, Ll, Lt, Lm, Lo)
bool isDigit(char32_t c);            // Nd
bool isNumber(char32_t c);           // N* (Nd, Nl, No)
bool isWhitespace(char32_t c);       // the White_Space property (includes line breaks)
bool isPunctuation(char32_t c);      // P*
bool isSymbol(char32_t c);           // S*
bool isControl(char32_t c);          // Cc
bool isFormat(char32_t c);           // Cf
bool isMark(char32_t c);             // M* (Mn, Mc, Me)
bool isNonspacingMark(char32_t c);   // Mn
bool isPrivateUse(char32_t c);       // Co
bool isUnassigned(char32_t c);       // Cn (noncharacters included)
// Cs. Surrogate code points are not scalars, so this is the one property that answers true
// for values outside the scalars: U+D800 to U+DFFF.
bool isSurrogate(char32_t c);
// The "whitespaces" set: the space separators (Zs) and U+0009. Line breaks are not in it.
bool isInWhitespaces(char32_t c);

// Diacritic folding: NFD, every nonspacing mark (Mn) removed, then NFC ("Cr\u00E8me" gives
// "Creme"; spacing marks and letters are kept).
std::string foldDiacritics(std::string_view utf8);

// `bytes` read as UTF-8 with each maximal invalid subsequence (a byte that cannot start a
// sequence, or the longest prefix of a sequence that stops being valid) replaced by one
// U+FFFD. Valid input comes back unchanged.
std::string repairUtf8(std::string_view bytes);

// Grapheme-cluster boundaries over UTF-8 as byte offsets, ascending, starting with 0 and
// ending with utf8.size(); just {0} for empty text. An invalid byte sequence counts as one
// U+FFFD for the clustering and keeps its bytes. When every code point lies below U+0300 and
// no CR is present, no ICU iterator is used (each code point is its own cluster).
std::vector<std::size_t> graphemeBoundaries(std::string_view utf8);

// The first Unicode scalar of UTF-8 text, without converting the rest; U+FFFD when the text
// is empty or starts with an invalid sequence.
char32_t firstCodePoint(std::string_view utf8);

// The Unicode scalars of `text`, in order; an unpaired surrogate is given as U+FFFD.
std::vector<char32_t> codePoints(std::u16string_view text);
// The same over UTF-8 (invalid input repaired as in toUtf16).
std::vector<char32_t> codePoints(std::string_view utf8);

}  // namespace platform::text
