#include "platform/text/text.hpp"

#include <unicode/brkiter.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>
#include <unicode/utext.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <memory>

namespace platform::text {
namespace {

constexpr char16_t kReplacement = 0xFFFD;

bool isAscii(std::string_view s) {
  for (unsigned char c : s) {
    if (c >= 0x80) return false;
  }
  return true;
}

bool allBelow(std::u16string_view s, char16_t limit) {
  for (char16_t c : s) {
    if (c >= limit) return false;
  }
  return true;
}

bool isScalar(char32_t c) { return c < 0xD800 || (c > 0xDFFF && c <= 0x10FFFF); }

enum class BreakKind { character, word, sentence };

// Break iterators are costly to create; each thread keeps one of each kind.
icu::BreakIterator& breakIterator(BreakKind kind) {
  thread_local std::unique_ptr<icu::BreakIterator> iterators[3];
  auto& slot = iterators[static_cast<int>(kind)];
  if (!slot) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Locale& root = icu::Locale::getRoot();
    switch (kind) {
      case BreakKind::character:
        slot.reset(icu::BreakIterator::createCharacterInstance(root, status));
        break;
      case BreakKind::word:
        slot.reset(icu::BreakIterator::createWordInstance(root, status));
        break;
      case BreakKind::sentence:
        slot.reset(icu::BreakIterator::createSentenceInstance(root, status));
        break;
    }
    if (U_FAILURE(status) || !slot) std::terminate();  // ICU data missing: the installation is broken
  }
  return *slot;
}

std::vector<std::size_t> icuBoundaries(std::u16string_view text, BreakKind kind) {
  std::vector<std::size_t> result;
  UErrorCode status = U_ZERO_ERROR;
  UText* ut = utext_openUChars(nullptr, text.data(), static_cast<int64_t>(text.size()), &status);
  icu::BreakIterator& it = breakIterator(kind);
  it.setText(ut, status);
  if (U_FAILURE(status)) {
    utext_close(ut);
    return {0, text.size()};
  }
  for (int32_t p = it.first(); p != icu::BreakIterator::DONE; p = it.next()) {
    result.push_back(static_cast<std::size_t>(p));
  }
  // Detach the iterator from our buffer before it goes away.
  it.setText(icu::UnicodeString());
  utext_close(ut);
  return result;
}

std::vector<Range> rangesOf(std::u16string_view text, BreakKind kind) {
  std::vector<Range> ranges;
  if (text.empty()) return ranges;
  const auto bounds = icuBoundaries(text, kind);
  for (std::size_t i = 1; i < bounds.size(); ++i) ranges.push_back({bounds[i - 1], bounds[i]});
  return ranges;
}

icu::UnicodeString aliasOf(std::u16string_view text) {
  // Read-only alias: no copy of the caller's buffer.
  return icu::UnicodeString(false, text.data(), static_cast<int32_t>(text.size()));
}

std::u16string fromUnicodeString(const icu::UnicodeString& s) {
  return std::u16string(s.getBuffer(), static_cast<std::size_t>(s.length()));
}

using CaseFunction = int32_t (*)(UChar*, int32_t, const UChar*, int32_t, const char*, UErrorCode*);

std::u16string mapCase(std::u16string_view text, CaseFunction fn) {
  std::u16string out(text.size() + 8, u'\0');
  UErrorCode status = U_ZERO_ERROR;
  int32_t n =
      fn(out.data(), static_cast<int32_t>(out.size()), text.data(), static_cast<int32_t>(text.size()), "", &status);
  if (status == U_BUFFER_OVERFLOW_ERROR) {
    out.assign(static_cast<std::size_t>(n), u'\0');
    status = U_ZERO_ERROR;
    n = fn(out.data(), static_cast<int32_t>(out.size()), text.data(), static_cast<int32_t>(text.size()), "", &status);
  }
  if (U_FAILURE(status)) return std::u16string(text);
  out.resize(static_cast<std::size_t>(n));
  return out;
}

// One step of UTF-8 decoding: the scalar at `i` and the bytes it takes. An invalid sequence
// gives U+FFFD and the length of its maximal invalid subsequence (at least one byte): the
// lead byte plus every following byte that could still continue it.
struct Utf8Step {
  char32_t scalar;
  std::size_t length;
  bool valid = true;
};

Utf8Step decodeUtf8At(std::string_view s, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char b0 = byte(i);
  if (b0 < 0x80) return {b0, 1};
  std::size_t need = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  char32_t value = 0;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
    value = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    value = b0 & 0x0F;
    if (b0 == 0xE0) low = 0xA0;   // no overlong forms
    if (b0 == 0xED) high = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    value = b0 & 0x07;
    if (b0 == 0xF0) low = 0x90;   // no overlong forms
    if (b0 == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return {kReplacement, 1, false};
  }
  std::size_t length = 1;
  for (std::size_t k = 0; k < need; ++k) {
    if (i + length >= s.size()) return {kReplacement, length, false};
    const unsigned char b = byte(i + length);
    if (b < low || b > high) return {kReplacement, length, false};
    value = (value << 6) | (b & 0x3F);
    ++length;
    low = 0x80;
    high = 0xBF;
  }
  return {value, length};
}

}  // namespace

bool isValidUtf8(std::string_view bytes) {
  // ICU's UTF-8 macros index with int32_t: walk windows of at most 2^31 - 1 bytes, never
  // ending a window inside a character unless the text itself ends there.
  constexpr std::size_t kWindow = 0x7FFFFFFF;
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  std::size_t offset = 0;
  while (offset < bytes.size()) {
    const std::size_t remaining = bytes.size() - offset;
    const bool last = remaining <= kWindow;
    const auto length = static_cast<int32_t>(last ? remaining : kWindow);
    // Stop short of the window's end so that no character is cut by it.
    const int32_t stop = last ? length : length - U8_MAX_LENGTH;
    int32_t i = 0;
    while (i < stop) {
      UChar32 c = 0;
      U8_NEXT(data + offset, i, length, c);
      if (c < 0) return false;
    }
    offset += static_cast<std::size_t>(i);
  }
  return true;
}

std::u16string toUtf16(std::string_view utf8) {
  std::u16string out;
  if (isAscii(utf8)) {
    out.resize(utf8.size());
    for (std::size_t i = 0; i < utf8.size(); ++i) out[i] = static_cast<char16_t>(utf8[i]);
    return out;
  }
  // A UTF-8 text never needs more UTF-16 units than it has bytes.
  out.resize(utf8.size());
  int32_t length = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strFromUTF8WithSub(out.data(), static_cast<int32_t>(out.size()), &length, utf8.data(),
                       static_cast<int32_t>(utf8.size()), kReplacement, nullptr, &status);
  if (U_FAILURE(status)) {
    const auto s = icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
    return fromUnicodeString(s);
  }
  out.resize(static_cast<std::size_t>(length));
  return out;
}

std::string toUtf8(std::u16string_view utf16) {
  std::string out;
  if (allBelow(utf16, 0x80)) {
    out.resize(utf16.size());
    for (std::size_t i = 0; i < utf16.size(); ++i) out[i] = static_cast<char>(utf16[i]);
    return out;
  }
  out.resize(utf16.size() * 3);
  int32_t length = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strToUTF8WithSub(out.data(), static_cast<int32_t>(out.size()), &length, utf16.data(),
                     static_cast<int32_t>(utf16.size()), kReplacement, nullptr, &status);
  if (U_FAILURE(status)) {
    out.clear();
    for (char32_t c : codePoints(utf16)) appendUtf8(out, c);
    return out;
  }
  out.resize(static_cast<std::size_t>(length));
  return out;
}

void appendUtf16(std::u16string& out, char32_t c) {
  if (!isScalar(c)) c = kReplacement;
  if (c < 0x10000) {
    out.push_back(static_cast<char16_t>(c));
  } else {
    out.push_back(static_cast<char16_t>(U16_LEAD(c)));
    out.push_back(static_cast<char16_t>(U16_TRAIL(c)));
  }
}

void appendUtf8(std::string& out, char32_t c) {
  if (!isScalar(c)) c = kReplacement;
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

std::vector<std::size_t> graphemeBoundaries(std::u16string_view text) {
  // Below U+0300 no character extends or joins another (combining marks, joiners, prepended
  // and spacing marks, Hangul and regional indicators all lie above), except CR LF.
  if (allBelow(text, 0x300)) {
    std::vector<std::size_t> bounds;
    bounds.reserve(text.size() + 1);
    bounds.push_back(0);
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') continue;
      bounds.push_back(i + 1);
    }
    return bounds;
  }
  return icuBoundaries(text, BreakKind::character);
}

std::size_t graphemeCount(std::u16string_view text) {
  if (allBelow(text, 0x300)) {
    std::size_t n = text.size();
    for (std::size_t i = 0; i + 1 < text.size(); ++i) {
      if (text[i] == u'\r' && text[i + 1] == u'\n') --n;
    }
    return n;
  }
  return icuBoundaries(text, BreakKind::character).size() - 1;
}

std::vector<std::size_t> graphemeBoundaries(std::string_view utf8) {
  // Fast path: bytes below 0xCC only start code points below U+0300 (0xCC 0x80 is U+0300),
  // and ASCII or two-byte sequences never join (CR LF aside, which the check excludes).
  bool simple = true;
  for (unsigned char c : utf8) {
    if (c >= 0xCC || c == '\r') {
      simple = false;
      break;
    }
  }
  std::vector<std::size_t> bounds;
  bounds.reserve(utf8.size() + 1);
  bounds.push_back(0);
  if (simple) {
    for (std::size_t i = 0; i < utf8.size();) {
      i += decodeUtf8At(utf8, i).length;
      bounds.push_back(i);
    }
    return bounds;
  }
  // General path: decode once, remembering the byte offset of every UTF-16 unit, cluster the
  // UTF-16 text and map its boundaries back.
  std::u16string wide;
  std::vector<std::size_t> byteOffsetOfUnit;
  wide.reserve(utf8.size());
  byteOffsetOfUnit.reserve(utf8.size() + 1);
  for (std::size_t i = 0; i < utf8.size();) {
    const Utf8Step step = decodeUtf8At(utf8, i);
    const std::size_t before = wide.size();
    appendUtf16(wide, step.scalar);
    for (std::size_t u = before; u < wide.size(); ++u) byteOffsetOfUnit.push_back(i);
    i += step.length;
  }
  byteOffsetOfUnit.push_back(utf8.size());
  const std::vector<std::size_t> units = icuBoundaries(wide, BreakKind::character);
  for (std::size_t k = 1; k < units.size(); ++k) bounds.push_back(byteOffsetOfUnit[units[k]]);
  return bounds;
}

std::string repairUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    const Utf8Step step = decodeUtf8At(bytes, i);
    if (step.valid) {
      out.append(bytes.substr(i, step.length));
    } else {
      appendUtf8(out, kReplacement);
    }
    i += step.length;
  }
  return out;
}

char32_t firstCodePoint(std::string_view utf8) {
  if (utf8.empty()) return kReplacement;
  return decodeUtf8At(utf8, 0).scalar;
}

std::string foldDiacritics(std::string_view utf8) {
  const std::u16string decomposed = normalize(std::u16string_view(toUtf16(utf8)), NormalizationForm::nfd);
  std::u16string kept;
  kept.reserve(decomposed.size());
  for (char32_t c : codePoints(std::u16string_view(decomposed))) {
    if (!isNonspacingMark(c)) appendUtf16(kept, c);
  }
  return toUtf8(normalize(std::u16string_view(kept), NormalizationForm::nfc));
}

std::vector<Range> sentenceRanges(std::u16string_view text) { return rangesOf(text, BreakKind::sentence); }

std::vector<Range> wordRanges(std::u16string_view text) { return rangesOf(text, BreakKind::word); }

std::u16string toLower(std::u16string_view text) {
  if (allBelow(text, 0x80)) {
    std::u16string out(text);
    for (auto& c : out) {
      if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
    }
    return out;
  }
  return mapCase(text, u_strToLower);
}

std::string toLower(std::string_view utf8) {
  if (isAscii(utf8)) {
    std::string out(utf8);
    for (auto& c : out) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    }
    return out;
  }
  return toUtf8(toLower(std::u16string_view(toUtf16(utf8))));
}

std::u16string toUpper(std::u16string_view text) {
  if (allBelow(text, 0x80)) {
    std::u16string out(text);
    for (auto& c : out) {
      if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
    }
    return out;
  }
  return mapCase(text, u_strToUpper);
}

std::string toUpper(std::string_view utf8) {
  if (isAscii(utf8)) {
    std::string out(utf8);
    for (auto& c : out) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    }
    return out;
  }
  return toUtf8(toUpper(std::u16string_view(toUtf16(utf8))));
}

std::u16string normalize(std::u16string_view text, NormalizationForm form) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* normalizer = nullptr;
  switch (form) {
    case NormalizationForm::nfc:
      normalizer = icu::Normalizer2::getNFCInstance(status);
      break;
    case NormalizationForm::nfd:
      normalizer = icu::Normalizer2::getNFDInstance(status);
      break;
    case NormalizationForm::nfkc:
      normalizer = icu::Normalizer2::getNFKCInstance(status);
      break;
    case NormalizationForm::nfkd:
      normalizer = icu::Normalizer2::getNFKDInstance(status);
      break;
  }
  if (U_FAILURE(status) || normalizer == nullptr) return std::u16string(text);
  const icu::UnicodeString source = aliasOf(text);
  if (normalizer->isNormalized(source, status) && U_SUCCESS(status)) return std::u16string(text);
  status = U_ZERO_ERROR;
  const icu::UnicodeString result = normalizer->normalize(source, status);
  if (U_FAILURE(status)) return std::u16string(text);
  return fromUnicodeString(result);
}

std::string normalize(std::string_view utf8, NormalizationForm form) {
  return toUtf8(normalize(std::u16string_view(toUtf16(utf8)), form));
}

bool isUppercaseLetter(char32_t c) {
  if (!isScalar(c)) return false;
  const auto t = u_charType(static_cast<UChar32>(c));
  return t == U_UPPERCASE_LETTER || t == U_TITLECASE_LETTER;
}

bool isLowercaseLetter(char32_t c) { return isScalar(c) && u_charType(static_cast<UChar32>(c)) == U_LOWERCASE_LETTER; }

bool isLetter(char32_t c) { return isScalar(c) && (U_GET_GC_MASK(static_cast<UChar32>(c)) & U_GC_L_MASK) != 0; }

bool isDigit(char32_t c) { return isScalar(c) && u_charType(static_cast<UChar32>(c)) == U_DECIMAL_DIGIT_NUMBER; }

bool isNumber(char32_t c) { return isScalar(c) && (U_GET_GC_MASK(static_cast<UChar32>(c)) & U_GC_N_MASK) != 0; }

bool isWhitespace(char32_t c) { return isScalar(c) && u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_WHITE_SPACE); }

bool isPunctuation(char32_t c) { return isScalar(c) && (U_GET_GC_MASK(static_cast<UChar32>(c)) & U_GC_P_MASK) != 0; }

bool isSymbol(char32_t c) { return isScalar(c) && (U_GET_GC_MASK(static_cast<UChar32>(c)) & U_GC_S_MASK) != 0; }

bool isControl(char32_t c) { return isScalar(c) && u_charType(static_cast<UChar32>(c)) == U_CONTROL_CHAR; }

bool isFormat(char32_t c) { return isScalar(c) && u_charType(static_cast<UChar32>(c)) == U_FORMAT_CHAR; }

bool isMark(char32_t c) { return isScalar(c) && (U_GET_GC_MASK(static_cast<UChar32>(c)) & U_GC_M_MASK) != 0; }

bool isNonspacingMark(char32_t c) { return isScalar(c) && u_charType(static_cast<UChar32>(c)) == U_NON_SPACING_MARK; }

bool isPrivateUse(char32_t c) { return isScalar(c) && u_charType(static_cast<UChar32>(c)) == U_PRIVATE_USE_CHAR; }

bool isUnassigned(char32_t c) { return isScalar(c) && u_charType(static_cast<UChar32>(c)) == U_UNASSIGNED; }

bool isSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

bool isInWhitespaces(char32_t c) {
  return c == 0x09 || (isScalar(c) && u_charType(static_cast<UChar32>(c)) == U_SPACE_SEPARATOR);
}

std::vector<char32_t> codePoints(std::u16string_view text) {
  std::vector<char32_t> out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t u = text[i];
    if (U16_IS_LEAD(u) && i + 1 < text.size() && U16_IS_TRAIL(text[i + 1])) {
      out.push_back(static_cast<char32_t>(U16_GET_SUPPLEMENTARY(u, text[i + 1])));
      ++i;
    } else if (U16_IS_SURROGATE(u)) {
      out.push_back(kReplacement);
    } else {
      out.push_back(u);
    }
  }
  return out;
}

std::vector<char32_t> codePoints(std::string_view utf8) { return codePoints(std::u16string_view(toUtf16(utf8))); }

}  // namespace platform::text
