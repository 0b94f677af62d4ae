#include "core/tokenizers/byte_level.hpp"

#include <vector>

#include "platform/text/text.hpp"

namespace noxtal::tokenizers {
namespace {

constexpr char32_t kFirstShifted = 0x100;
constexpr char32_t kAlphabetEnd = 0x144;  // one past the last shifted character

bool standsForItself(unsigned b) { return (b >= 33 && b <= 126) || (b >= 161 && b <= 172) || (b >= 174); }

// Byte to code point, in byte order.
const std::array<char32_t, 256>& codePointOfByte() {
  static const std::array<char32_t, 256> table = [] {
    std::array<char32_t, 256> t{};
    char32_t next = kFirstShifted;
    for (unsigned b = 0; b < 256; ++b) t[b] = standsForItself(b) ? static_cast<char32_t>(b) : next++;
    return t;
  }();
  return table;
}

// Code point (below kAlphabetEnd) to byte, or -1.
const std::array<int, kAlphabetEnd>& byteOfCodePoint() {
  static const std::array<int, kAlphabetEnd> table = [] {
    std::array<int, kAlphabetEnd> t{};
    t.fill(-1);
    const auto& forward = codePointOfByte();
    for (unsigned b = 0; b < 256; ++b) t[forward[b]] = static_cast<int>(b);
    return t;
  }();
  return table;
}

// The scalar of a character of one or two UTF-8 bytes; absent for anything longer (no
// character of the alphabet needs more than two bytes) or invalid.
std::optional<char32_t> shortScalar(std::string_view character) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(character[i]); };
  if (character.size() == 1 && byte(0) < 0x80) return byte(0);
  if (character.size() == 2 && byte(0) >= 0xC2 && byte(0) <= 0xDF && byte(1) >= 0x80 && byte(1) <= 0xBF) {
    return static_cast<char32_t>(((byte(0) & 0x1F) << 6) | (byte(1) & 0x3F));
  }
  return std::nullopt;
}

}  // namespace

const std::array<std::string, 256>& byteEncoder() {
  static const std::array<std::string, 256> table = [] {
    std::array<std::string, 256> t;
    const auto& forward = codePointOfByte();
    for (unsigned b = 0; b < 256; ++b) platform::text::appendUtf8(t[b], forward[b]);
    return t;
  }();
  return table;
}

const std::unordered_map<std::string, std::uint8_t>& byteDecoder() {
  static const std::unordered_map<std::string, std::uint8_t> table = [] {
    std::unordered_map<std::string, std::uint8_t> t;
    const auto& encoder = byteEncoder();
    for (unsigned b = 0; b < 256; ++b) t.emplace(encoder[b], static_cast<std::uint8_t>(b));
    return t;
  }();
  return table;
}

std::optional<std::uint8_t> byteOfCharacter(char32_t character) {
  if (character >= kAlphabetEnd) return std::nullopt;
  const int b = byteOfCodePoint()[character];
  if (b < 0) return std::nullopt;
  return static_cast<std::uint8_t>(b);
}

std::string byteLevelEncode(std::string_view bytes) {
  const auto& encoder = byteEncoder();
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const char c : bytes) out += encoder[static_cast<unsigned char>(c)];
  return out;
}

std::string byteLevelDecode(std::string_view text) {
  std::string bytes;
  bytes.reserve(text.size());
  const std::vector<std::size_t> bounds = platform::text::graphemeBoundaries(text);
  for (std::size_t k = 1; k < bounds.size(); ++k) {
    const std::string_view character = text.substr(bounds[k - 1], bounds[k] - bounds[k - 1]);
    const std::optional<char32_t> scalar = shortScalar(character);
    const std::optional<std::uint8_t> byte = scalar ? byteOfCharacter(*scalar) : std::nullopt;
    if (byte) {
      bytes.push_back(static_cast<char>(*byte));
    } else {
      bytes.append(character);
    }
  }
  return platform::text::repairUtf8(bytes);
}

}  // namespace noxtal::tokenizers
