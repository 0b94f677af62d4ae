// Compression ratio of decoded output: a window that repeats itself compresses unusually well.
// The text decoder computes it for every progress report and every window result, where the
// compressionRatioThreshold option turns a high ratio into a request to decode again at a
// higher temperature. Stateless; thread-safe; never throws.
#pragma once

#include <span>
#include <string_view>

namespace vostrane {

struct TextUtilities {
  // (4 x tokens.size()) / (raw DEFLATE size at level 5) over the tokens as little-endian 32-bit
  // integers. 0 for an empty list; +infinity (after a debug line "Compression error: ...") when
  // the compressor fails.
  static float compressionRatio(std::span<const int> tokens);
  // UTF-8 bytes / their raw DEFLATE size. +infinity for an empty text (nothing logged), for
  // invalid UTF-8 (debug line "String encoding error") and when the compressor fails.
  static float compressionRatio(std::string_view text);
};

}  // namespace vostrane
