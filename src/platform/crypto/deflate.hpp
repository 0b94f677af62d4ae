// Raw DEFLATE (RFC 1951, no zlib header or trailer) through zlib: the stand-in for the
// platform's zlib compression, used to measure how well decoded tokens compress.
//
// Thread-safe; every call uses its own compressor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace platform::crypto {

// The number of bytes `bytes` take as one raw DEFLATE stream at compression level 5 (window of
// 32 KiB, default memory level and strategy). Empty input gives the size of an empty stream.
// Absent when zlib fails (out of memory); `error`, when given, then receives zlib's message.
std::optional<std::size_t> deflatedSize(std::span<const std::uint8_t> bytes, std::string* error = nullptr);

}  // namespace platform::crypto
