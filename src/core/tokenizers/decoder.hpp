// Decoders: turn the token texts of a decoded id sequence back into readable text pieces,
// which the pipeline joins with nothing between them.
//
// makeDecoder builds one from the "decoder" object of "tokenizer.json" by its "type":
// "Sequence", "WordPiece", "ByteLevel", "Replace", "ByteFallback", "Fuse", "Strip",
// "Metaspace" (matched exactly). Decoders are immutable and thread-safe. Invalid UTF-8 becomes
// U+FFFD; decoding fails only when a regular expression ("Replace", the WordPiece clean-up)
// cannot be matched against a token (TokenizerError::tooLong).
#pragma once

#include <memory>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/config.hpp"

namespace noxtal::tokenizers {

class Decoder {
 public:
  virtual ~Decoder() = default;
  virtual std::vector<std::string> decode(std::span<const std::string> tokens) const = 0;
  std::vector<std::string> operator()(std::span<const std::string> tokens) const { return decode(tokens); }
};

// The decoder a stage object describes; null for a null `config` or one whose "type" is not a
// text. `addedTokens` (the tokenizer's added-token texts) reaches a top-level "ByteLevel"
// decoder, which passes them through unconverted; members of a "Sequence" get none. Throws
// TokenizerError (invalidConfiguration) for an unknown or empty type ("Unsupported Decoder
// type: " + type), "No decoders in Sequence", "Missing `prefix` configuration for
// WordPieceDecoder.", "Incorrect StripDecoder configuration: can't parse `content`." (and the
// `start` and `stop` forms) and "Cannot build regexp from " + pattern.
std::shared_ptr<const Decoder> makeDecoder(const Config& config,
                                           const std::unordered_set<std::string>* addedTokens = nullptr);

}  // namespace noxtal::tokenizers
