#include "platform/text/text.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace platform::text {
namespace {

TEST(TextConversionTest, RoundTripsValidText) {
  const std::vector<std::string> samples = {"",
                                            "plain ascii",
                                            "caf\xC3\xA9",
                                            "e\xCC\x81",
                                            "\xF0\x9F\x98\x80 emoji",
                                            "\xE4\xB8\xAD\xE6\x96\x87",
                                            std::string("nul\0inside", 10)};
  for (const auto& s : samples) {
    EXPECT_EQ(toUtf8(toUtf16(s)), s) << s;
  }
  EXPECT_EQ(toUtf16("caf\xC3\xA9"), u"caf\u00E9");
  EXPECT_EQ(toUtf16("\xF0\x9F\x98\x80"), std::u16string({0xD83D, 0xDE00}));
}

TEST(TextConversionTest, ReplacesInvalidInput) {
  struct Case {
    std::string utf8;
    std::u16string expected;
  };
  const std::vector<Case> cases = {
      {"a\xFF"
       "b",
       u"a\uFFFDb"},          // byte that never starts a sequence
      {"a\xC3", u"a\uFFFD"},  // truncated two-byte sequence at the end
      {"\xE4\xB8"
       "x",
       u"\uFFFDx"},                             // truncated three-byte sequence
      {"\xC0\xAF", u"\uFFFD\uFFFD"},            // overlong encoding
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},  // encoded surrogate
  };
  for (const auto& c : cases) EXPECT_EQ(toUtf16(c.utf8), c.expected) << c.utf8;

  EXPECT_EQ(toUtf8(std::u16string({u'a', 0xD800, u'b'})),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(toUtf8(std::u16string({0xDC00})), "\xEF\xBF\xBD");
  EXPECT_EQ(toUtf8(std::u16string({u'x', 0xD83D})), "x\xEF\xBF\xBD");
}

TEST(TextConversionTest, Utf8ValidityAtEveryBoundary) {
  const std::vector<std::string> valid = {
      "",
      std::string("\0", 1),
      "\x7F",
      "\xC2\x80",          // U+0080, the first two-byte value
      "\xDF\xBF",          // U+07FF
      "\xE0\xA0\x80",      // U+0800, the first three-byte value
      "\xED\x9F\xBF",      // U+D7FF, just below the surrogates
      "\xEE\x80\x80",      // U+E000, just above them
      "\xEF\xBF\xBF",      // U+FFFF
      "\xF0\x90\x80\x80",  // U+10000, the first four-byte value
      "\xF4\x8F\xBF\xBF",  // U+10FFFF, the last scalar
      "caf\xC3\xA9 \xF0\x9F\x98\x80",
      "\xEF\xBF\xBD",  // U+FFFD itself is a valid character
  };
  for (const auto& s : valid) EXPECT_TRUE(isValidUtf8(s)) << testing::PrintToString(s);

  const std::vector<std::string> invalid = {
      "\x80",  // stray continuation byte
      "a\xBF",
      "\xC0\x80",          // overlong NUL
      "\xC1\xBF",          // overlong U+007F
      "\xE0\x9F\xBF",      // overlong U+07FF
      "\xF0\x8F\xBF\xBF",  // overlong U+FFFF
      "\xED\xA0\x80",      // U+D800
      "\xED\xBF\xBF",      // U+DFFF
      "\xF4\x90\x80\x80",  // U+110000
      "\xF5\x80\x80\x80",  // lead byte above the range
      "\xFE",
      "\xFF",
      "a\xC3",  // truncated at the end
      "\xE4\xB8",
      "\xF0\x9F\x98",
      "\xE4\xB8x",     // truncated before another character
      "\xC3\xC3\xA9",  // a lead byte where a continuation belongs
  };
  for (const auto& s : invalid) EXPECT_FALSE(isValidUtf8(s)) << testing::PrintToString(s);
}

TEST(TextConversionTest, Utf8ValidityAgreesWithTheRepairingConversion) {
  // A text is valid exactly when repairing it changes nothing.
  std::mt19937 random(7);
  const unsigned char alphabet[] = {'a',  0x00, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0,
                                    0xC2, 0xDF, 0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF};
  std::uniform_int_distribution<std::size_t> pick(0, std::size(alphabet) - 1);
  std::uniform_int_distribution<int> length(0, 8);
  int validSeen = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string s;
    for (int n = length(random); n > 0; --n) s.push_back(static_cast<char>(alphabet[pick(random)]));
    const bool valid = isValidUtf8(s);
    validSeen += valid ? 1 : 0;
    ASSERT_EQ(valid, toUtf8(toUtf16(s)) == s) << testing::PrintToString(s);
  }
  EXPECT_GT(validSeen, 100);  // the sample reaches both answers
}

TEST(TextConversionTest, CodePointsAndAppend) {
  EXPECT_EQ(codePoints(std::u16string({u'a', 0xD83D, 0xDE00, 0xDC00})),
            (std::vector<char32_t>{U'a', U'\U0001F600', 0xFFFD}));
  std::u16string s;
  appendUtf16(s, U'\U0001F600');
  appendUtf16(s, 0xD800);
  EXPECT_EQ(s, std::u16string({0xD83D, 0xDE00, 0xFFFD}));
  std::string u8;
  for (char32_t c : {U'a', U'\u00E9', U'\u4E2D', U'\U0001F600'}) appendUtf8(u8, c);
  EXPECT_EQ(u8, "a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80");
}

TEST(TextBoundaryTest, GraphemeBoundaries) {
  struct Case {
    std::u16string text;
    std::vector<std::size_t> bounds;
  };
  const std::vector<Case> cases = {
      {u"", {0}},
      {u"abc", {0, 1, 2, 3}},
      {u"a\r\nb", {0, 1, 3, 4}},
      {u"\n\r", {0, 1, 2}},
      {u"e\u0301x", {0, 2, 3}},
      {u"\U0001F600!", {0, 2, 3}},
      {u"\U0001F1E9\U0001F1EA\U0001F1EB\U0001F1F7", {0, 4, 8}},  // two flags
      {u"\U0001F469\u200D\U0001F4BB", {0, 5}},                   // ZWJ sequence
      {u"\u1100\u1161\u11A8", {0, 3}},                           // Hangul jamo syllable
      {u"\u00FF\u0300", {0, 2}},                                 // Latin-1 letter with a combining mark
  };
  for (const auto& c : cases) {
    EXPECT_EQ(graphemeBoundaries(c.text), c.bounds) << toUtf8(c.text);
    EXPECT_EQ(graphemeCount(c.text), c.bounds.size() - 1) << toUtf8(c.text);
  }
}

TEST(TextBoundaryTest, SentenceAndWordRanges) {
  const std::u16string text = u"Hello there. How are you? Fine!";
  const auto sentences = sentenceRanges(text);
  ASSERT_EQ(sentences.size(), 3u);
  EXPECT_EQ(text.substr(sentences[0].begin, sentences[0].end - sentences[0].begin), u"Hello there. ");
  EXPECT_EQ(text.substr(sentences[1].begin, sentences[1].end - sentences[1].begin), u"How are you? ");
  EXPECT_EQ(sentences[2].end, text.size());
  EXPECT_TRUE(sentenceRanges(u"").empty());

  const std::u16string words = u"don't stop, 3.5";
  std::vector<std::u16string> pieces;
  std::size_t covered = 0;
  for (const auto& r : wordRanges(words)) {
    EXPECT_EQ(r.begin, covered);
    covered = r.end;
    pieces.push_back(words.substr(r.begin, r.end - r.begin));
  }
  EXPECT_EQ(covered, words.size());
  EXPECT_EQ(pieces, (std::vector<std::u16string>{u"don't", u" ", u"stop", u",", u" ", u"3.5"}));
}

TEST(TextCaseTest, FullCaseMapping) {
  struct Case {
    std::u16string input;
    std::u16string lower;
    std::u16string upper;
  };
  const std::vector<Case> cases = {
      {u"", u"", u""},
      {u"MiXeD 123", u"mixed 123", u"MIXED 123"},
      {u"\u0130", u"i\u0307", u"\u0130"},            // dotted capital I lowers to two units
      {u"stra\u00DFe", u"stra\u00DFe", u"STRASSE"},  // sharp s uppers to SS
      {u"\u039F\u0394\u039F\u03A3", u"\u03BF\u03B4\u03BF\u03C2", u"\u039F\u0394\u039F\u03A3"},  // final sigma
      {u"\U00010400", u"\U00010428", u"\U00010400"},  // Deseret, outside the BMP
  };
  for (const auto& c : cases) {
    EXPECT_EQ(toLower(c.input), c.lower) << toUtf8(c.input);
    EXPECT_EQ(toUpper(c.input), c.upper) << toUtf8(c.input);
    EXPECT_EQ(toLower(std::string_view(toUtf8(c.input))), toUtf8(c.lower));
    EXPECT_EQ(toUpper(std::string_view(toUtf8(c.input))), toUtf8(c.upper));
  }
}

TEST(TextNormalizationTest, AllForms) {
  const std::u16string composed = u"\u00E9\uFB01";  // é and the fi ligature
  const std::u16string decomposed = u"e\u0301\uFB01";
  EXPECT_EQ(normalize(decomposed, NormalizationForm::nfc), composed);
  EXPECT_EQ(normalize(composed, NormalizationForm::nfd), decomposed);
  EXPECT_EQ(normalize(composed, NormalizationForm::nfkc), u"\u00E9fi");
  EXPECT_EQ(normalize(composed, NormalizationForm::nfkd), u"e\u0301fi");
  EXPECT_EQ(normalize(std::string_view("e\xCC\x81"), NormalizationForm::nfc), "\xC3\xA9");
  EXPECT_EQ(normalize(u"", NormalizationForm::nfc), u"");
}

TEST(TextPropertyTest, Categories) {
  struct Case {
    char32_t c;
    bool upper, lower, letter, digit, space, punct, control, mark;
  };
  const std::vector<Case> cases = {
      {U'A', true, false, true, false, false, false, false, false},
      {U'\u01C5', true, false, true, false, false, false, false, false},  // title-case Dž
      {U'z', false, true, true, false, false, false, false, false},
      {U'\u4E2D', false, false, true, false, false, false, false, false},
      {U'7', false, false, false, true, false, false, false, false},
      {U'\u0663', false, false, false, true, false, false, false, false},  // Arabic-Indic three
      {U' ', false, false, false, false, true, false, false, false},
      {U'\n', false, false, false, false, true, false, true, false},
      {U'\u3000', false, false, false, false, true, false, false, false},
      {U'\u2028', false, false, false, false, true, false, false, false},
      {U'!', false, false, false, false, false, true, false, false},
      {U'\u00BF', false, false, false, false, false, true, false, false},
      {U'\u0007', false, false, false, false, false, false, true, false},
      {U'\u0301', false, false, false, false, false, false, false, true},
      {0xD800, false, false, false, false, false, false, false, false},  // not a scalar
      {0x110000, false, false, false, false, false, false, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<unsigned>(c.c));
    EXPECT_EQ(isUppercaseLetter(c.c), c.upper);
    EXPECT_EQ(isLowercaseLetter(c.c), c.lower);
    EXPECT_EQ(isLetter(c.c), c.letter);
    EXPECT_EQ(isDigit(c.c), c.digit);
    EXPECT_EQ(isWhitespace(c.c), c.space);
    EXPECT_EQ(isPunctuation(c.c), c.punct);
    EXPECT_EQ(isControl(c.c), c.control);
    EXPECT_EQ(isMark(c.c), c.mark);
  }
  EXPECT_TRUE(isSymbol(U'$'));
  EXPECT_TRUE(isNumber(U'\u00BD'));
  EXPECT_TRUE(isFormat(U'\u200D'));
}

}  // namespace
}  // namespace platform::text

namespace platform::text {
namespace {

TEST(TextCategoryTest, SurrogatePrivateUseUnassignedAndWhitespaces) {
  EXPECT_TRUE(isPrivateUse(0xE000));
  EXPECT_TRUE(isPrivateUse(0x10FFFD));
  EXPECT_FALSE(isPrivateUse('a'));
  EXPECT_TRUE(isUnassigned(0x0378));
  EXPECT_TRUE(isUnassigned(0xFFFF));  // a noncharacter is Cn
  EXPECT_FALSE(isUnassigned(0x4E2D));
  EXPECT_FALSE(isUnassigned(0x110000));  // not a scalar at all
  EXPECT_TRUE(isSurrogate(0xD800));
  EXPECT_TRUE(isSurrogate(0xDFFF));
  EXPECT_FALSE(isSurrogate(0xE000));
  EXPECT_TRUE(isNonspacingMark(0x0301));
  EXPECT_FALSE(isNonspacingMark(0x0903));  // a spacing mark (Mc)
  // The whitespaces set: Zs and tab, but no line breaks (unlike the White_Space property).
  for (char32_t c : {U' ', U'\t', U'\u00A0', U'\u3000', U'\u2009'})
    EXPECT_TRUE(isInWhitespaces(c)) << static_cast<unsigned>(c);
  for (char32_t c : {U'\n', U'\r', U'\u2028', U'\u000B', U'a'})
    EXPECT_FALSE(isInWhitespaces(c)) << static_cast<unsigned>(c);
  EXPECT_TRUE(isWhitespace(U'\n'));
}

TEST(TextFoldingTest, FoldDiacriticsDropsNonspacingMarksOnly) {
  EXPECT_EQ(foldDiacritics("Cr\u00E8me br\u00FBl\u00E9e"), "Creme brulee");
  EXPECT_EQ(foldDiacritics("e\u0301\u0323"), "e");
  EXPECT_EQ(foldDiacritics("\uD55C"), "\uD55C");                              // Hangul recomposes: no marks to drop
  EXPECT_EQ(foldDiacritics("\u00C5ngstr\u00F6m \uFB01"), "Angstrom \uFB01");  // compatibility forms stay
  EXPECT_EQ(foldDiacritics(""), "");
}

TEST(TextRepairTest, RepairUtf8ReplacesEachMaximalInvalidSubsequence) {
  struct Case {
    std::string bytes;
    std::string expected;
  };
  const std::string r = "\xEF\xBF\xBD";
  const std::vector<Case> cases = {
      {"plain \xC3\xA9 \xF0\x9F\x98\x80", "plain \xC3\xA9 \xF0\x9F\x98\x80"},
      {"a\xFF"
       "b",
       "a" + r + "b"},
      {"\xC3", r},      // truncated at the end
      {"\xE2\x96", r},  // two bytes of a three-byte sequence: one replacement
      {"\xE2\x96"
       "a",
       r + "a"},
      {"\xC0\xAF", r + r},                  // overlong lead never starts a sequence
      {"\xED\xA0\x80", r + r + r},          // an encoded surrogate
      {"\xF4\x90\x80\x80", r + r + r + r},  // above U+10FFFF
      {"\xF0\x9F\x98", r},
      {"\x80\x80", r + r},
      {r, r},  // a real U+FFFD stays one
      {std::string("\0x", 2), std::string("\0x", 2)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(repairUtf8(c.bytes), c.expected);
    // The same rule as the UTF-16 conversion.
    EXPECT_EQ(repairUtf8(c.bytes), toUtf8(toUtf16(c.bytes)));
  }
}

TEST(TextGraphemeTest, Utf8BoundariesAreByteOffsets) {
  using Bounds = std::vector<std::size_t>;
  EXPECT_EQ(graphemeBoundaries(std::string_view("")), Bounds{0});
  // Fast path: ASCII and two-byte letters below U+0300.
  EXPECT_EQ(graphemeBoundaries(std::string_view("a\xC3\xA9z")), (Bounds{0, 1, 3, 4}));
  EXPECT_EQ(graphemeBoundaries(std::string_view("\xC4\xA0\xC4\x8A")), (Bounds{0, 2, 4}));
  // CR LF is one cluster; a combining mark joins its base.
  EXPECT_EQ(graphemeBoundaries(std::string_view("a\r\nb")), (Bounds{0, 1, 3, 4}));
  EXPECT_EQ(graphemeBoundaries(std::string_view("e\xCC\x81x")), (Bounds{0, 3, 4}));
  // Emoji with a skin tone modifier: 8 bytes, one cluster; a flag of two regional indicators.
  EXPECT_EQ(graphemeBoundaries(std::string_view("\xF0\x9F\x91\x8B\xF0\x9F\x8F\xBD!")), (Bounds{0, 8, 9}));
  EXPECT_EQ(graphemeBoundaries(std::string_view("\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7")), (Bounds{0, 8}));
  // Invalid bytes keep their bytes and act as U+FFFD clusters.
  EXPECT_EQ(graphemeBoundaries(std::string_view("a\xFF\xE2\x96"
                                                "b")),
            (Bounds{0, 1, 2, 4, 5}));
  EXPECT_EQ(graphemeBoundaries(std::string_view("\xFF\xCC\x81")), (Bounds{0, 3}));
}

TEST(TextGraphemeTest, Utf8BoundariesAgreeWithUtf16Boundaries) {
  const std::vector<std::string> samples = {"ab",
                                            "\xE4\xB8\xAD\xE6\x96\x87 x",
                                            "e\xCC\x81\xCC\xA3",
                                            "\xF0\x9F\x98\x80\xE2\x80\x8D\xF0\x9F\x98\x80",
                                            "\xED\x95\x9C\xEA\xB8\x80",
                                            "x\r\n\r\ny"};
  for (const std::string& s : samples) {
    const std::u16string wide = toUtf16(s);
    EXPECT_EQ(graphemeBoundaries(std::string_view(s)).size(), graphemeBoundaries(std::u16string_view(wide)).size())
        << s;
  }
}

}  // namespace
}  // namespace platform::text

namespace platform::text {
namespace {

TEST(TextFirstCodePointTest, DecodesOnlyTheFirstScalar) {
  EXPECT_EQ(firstCodePoint("a\xFF"), U'a');
  EXPECT_EQ(firstCodePoint("\xF0\x9F\x98\x80x"), U'\U0001F600');
  EXPECT_EQ(firstCodePoint("\xC3\xA9"), U'\u00E9');
  EXPECT_EQ(firstCodePoint(""), U'\uFFFD');
  EXPECT_EQ(firstCodePoint("\xE2\x96"), U'\uFFFD');
  EXPECT_EQ(firstCodePoint("\xED\xA0\x80"), U'\uFFFD');  // an encoded surrogate is no scalar
}

}  // namespace
}  // namespace platform::text
