// Scratch files of the fuzz entries (internal).
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>

namespace fuzzentries {

// The process's private temporary folder (made on first use, removed at exit).
const std::filesystem::path& scratchFolder();
// Replaces `file` (parent folders made) with `bytes`. Throws std::runtime_error when it cannot.
void writeScratchFile(const std::filesystem::path& file, std::span<const std::uint8_t> bytes);

}  // namespace fuzzentries
