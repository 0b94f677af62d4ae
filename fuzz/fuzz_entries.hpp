// Entry points of the parser fuzzers, shared by the libFuzzer harnesses (fuzz/*_fuzzer) and by
// the replay test that runs every kept crasher under tests/data/fuzz/ in the normal suite.
//
// Each entry feeds one input to one parser the way the worker would meet it (text in memory, a
// file on disk) and checks the parser's promises: the input is either refused with the parser's
// own error or parsed, and what was parsed survives the round trips the parser documents.
// Refusals are swallowed; a broken promise aborts (a finding); any other exception escapes
// (also a finding). Inputs that need a file are written into a private temporary folder of the
// process, removed at exit. Not thread-safe: call from one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace fuzzentries {

// JSON text to Config: Config::parse, compared with the tree path Config::fromJson.
void configFromJson(std::span<const std::uint8_t> input);
// The bytes as a hub cache ".metadata" record read back through readDownloadMetadata.
void cacheMetadata(std::span<const std::uint8_t> input);
// The bytes as a URL or relative reference, composed back and percent-coded.
void url(std::span<const std::uint8_t> input);
// A model folder: model.json is the input up to its first NUL byte, weights.bin what follows
// it (no weights.bin when there is no NUL). Loaded, then run once on zero inputs when they are
// small.
void modelFolder(std::span<const std::uint8_t> input);
// The bytes as an audio file, opened and read to its end through FFmpeg, then read again
// after a seek.
void audioFile(std::span<const std::uint8_t> input);

// Stops every parser's log output (the fuzzers run millions of inputs).
void silenceLogging();

}  // namespace fuzzentries
