#include "core/tokenizers/byte_level.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "platform/text/text.hpp"

namespace noxtal::tokenizers {
namespace {

TEST(ByteLevelTest, EveryByteRoundTripsThroughBothTables) {
  const auto& encoder = byteEncoder();
  const auto& decoder = byteDecoder();
  ASSERT_EQ(decoder.size(), 256u);
  std::set<std::string> characters;
  for (unsigned b = 0; b < 256; ++b) {
    SCOPED_TRACE(b);
    const std::string& character = encoder[b];
    const auto scalars = platform::text::codePoints(character);
    ASSERT_EQ(scalars.size(), 1u);
    EXPECT_LT(scalars[0], 0x144u);
    EXPECT_EQ(decoder.at(character), b);
    EXPECT_EQ(byteOfCharacter(scalars[0]), b);
    characters.insert(character);
    // Printable bytes outside the shifted ranges stand for themselves.
    const bool itself = (b >= 33 && b <= 126) || (b >= 161 && b <= 172) || b >= 174;
    EXPECT_EQ(scalars[0] == b, itself);
  }
  EXPECT_EQ(characters.size(), 256u);
}

TEST(ByteLevelTest, ShiftedBytesFollowTheirOrder) {
  EXPECT_EQ(byteEncoder()[0], "\u0100");
  EXPECT_EQ(byteEncoder()[10], "\u010A");
  EXPECT_EQ(byteEncoder()[32], "\u0120");
  EXPECT_EQ(byteEncoder()[127], "\u0121");
  EXPECT_EQ(byteEncoder()[173], "\u0143");
  EXPECT_EQ(byteDecoder().at("\u0120"), 32);
  EXPECT_EQ(byteDecoder().at("\u010A"), 10);
  EXPECT_FALSE(byteOfCharacter(0x144).has_value());
  EXPECT_FALSE(byteOfCharacter(0xAD).has_value());  // byte 173 is shifted, so U+00AD stands for none
}

TEST(ByteLevelTest, EncodeAndDecodeAreInverseOnAnyBytes) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  const std::string valid = "caf\xC3\xA9 \xF0\x9F\x98\x80\n\t";
  EXPECT_EQ(byteLevelDecode(byteLevelEncode(valid)), valid);
  // Invalid bytes come back repaired, exactly as a lossy UTF-8 reading would.
  EXPECT_EQ(byteLevelDecode(byteLevelEncode(all)), platform::text::repairUtf8(all));
  EXPECT_EQ(byteLevelEncode(""), "");
  EXPECT_EQ(byteLevelDecode(""), "");
}

TEST(ByteLevelTest, DecodeKeepsCharactersOutsideTheAlphabet) {
  // A combining mark joins the byte character before it into one cluster outside the table.
  EXPECT_EQ(byteLevelDecode("\u0120a\u0301"), " a\u0301");
  EXPECT_EQ(byteLevelDecode("\u0120\u0301x"), "\u0120\u0301x");
  EXPECT_EQ(byteLevelDecode("\u4E2D\u0120"), "\u4E2D ");
}

}  // namespace
}  // namespace noxtal::tokenizers
