// The byte-level alphabet of GPT-2 style tokenizers: every byte stands for one printable
// character, so that any UTF-8 text can be spelt with a vocabulary of 256 base symbols.
//
// The bytes 33-126, 161-172 and 174-255 stand for the character with the same code point; the
// 68 others (0-32, 127-160 and 173), in increasing order, for U+0100 to U+0143, so the space
// is U+0120 and the line feed U+010A. The byte-level pre-tokenizer, decoder and the BPE model
// use it. Both tables are built once per process on first use (thread-safe) and never change;
// the references returned stay valid for ever.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace noxtal::tokenizers {

// Byte to the UTF-8 text of its character.
const std::array<std::string, 256>& byteEncoder();
// The UTF-8 text of one character to its byte (the inverse of byteEncoder).
const std::unordered_map<std::string, std::uint8_t>& byteDecoder();

// The byte a character stands for; absent for a character outside the alphabet.
std::optional<std::uint8_t> byteOfCharacter(char32_t character);

// Each byte of `bytes` spelt as its character (an empty text stays empty).
std::string byteLevelEncode(std::string_view bytes);

// The inverse: every character (grapheme cluster) of `text` that stands for a byte becomes
// that byte; any other character keeps its own UTF-8 bytes. The bytes are then read as UTF-8
// with every invalid sequence replaced by U+FFFD.
std::string byteLevelDecode(std::string_view text);

}  // namespace noxtal::tokenizers
