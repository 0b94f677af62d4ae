#include "speech/decoding/text_utilities.hpp"

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "core/logging.hpp"
#include "platform/crypto/deflate.hpp"
#include "platform/text/text.hpp"

namespace vostrane {

namespace {

constexpr float kInfinity = std::numeric_limits<float>::infinity();

float ratioOf(std::span<const std::uint8_t> bytes) {
  std::string error;
  const std::optional<std::size_t> compressed = platform::crypto::deflatedSize(bytes, &error);
  if (!compressed || *compressed == 0) {
    noxtal::Logging::debug("Compression error: " + (compressed ? std::string("empty output") : error));
    return kInfinity;
  }
  return static_cast<float>(bytes.size()) / static_cast<float>(*compressed);
}

}  // namespace

float TextUtilities::compressionRatio(std::span<const int> tokens) {
  if (tokens.empty()) return 0;
  // Each id as a 32-bit two's-complement integer, least significant byte first.
  std::vector<std::uint8_t> bytes;
  bytes.reserve(tokens.size() * 4);
  for (int token : tokens) {
    const auto value = static_cast<std::uint32_t>(static_cast<std::int32_t>(token));
    for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<std::uint8_t>(value >> shift));
  }
  return ratioOf(bytes);
}

float TextUtilities::compressionRatio(std::string_view text) {
  if (text.empty()) return kInfinity;
  if (!platform::text::isValidUtf8(text)) {
    noxtal::Logging::debug("String encoding error");
    return kInfinity;
  }
  return ratioOf({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

}  // namespace vostrane
