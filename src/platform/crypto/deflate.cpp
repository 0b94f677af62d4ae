#include "platform/crypto/deflate.hpp"

#include <zlib.h>

#include <array>
#include <limits>

namespace platform::crypto {

namespace {

constexpr int kLevel = 5;
constexpr int kRawWindowBits = -15;  // negative: raw DEFLATE, no header or checksum
constexpr int kMemoryLevel = 8;

std::string zlibMessage(const z_stream& stream, int code) {
  if (stream.msg != nullptr) return stream.msg;
  return "zlib error " + std::to_string(code);
}

}  // namespace

std::optional<std::size_t> deflatedSize(std::span<const std::uint8_t> bytes, std::string* error) {
  z_stream stream{};
  int code = deflateInit2(&stream, kLevel, Z_DEFLATED, kRawWindowBits, kMemoryLevel, Z_DEFAULT_STRATEGY);
  if (code != Z_OK) {
    if (error != nullptr) *error = zlibMessage(stream, code);
    return std::nullopt;
  }
  std::array<Bytef, 16384> buffer{};
  std::size_t produced = 0;
  std::span<const std::uint8_t> rest = bytes;
  int flush = Z_NO_FLUSH;
  do {
    if (stream.avail_in == 0) {
      const std::size_t chunk = std::min<std::size_t>(rest.size(), std::numeric_limits<uInt>::max());
      // zlib takes a non-const pointer but does not write through it.
      stream.next_in = const_cast<Bytef*>(rest.data());
      stream.avail_in = static_cast<uInt>(chunk);
      rest = rest.subspan(chunk);
      flush = rest.empty() ? Z_FINISH : Z_NO_FLUSH;
    }
    stream.next_out = buffer.data();
    stream.avail_out = static_cast<uInt>(buffer.size());
    code = deflate(&stream, flush);
    if (code == Z_STREAM_ERROR) {
      if (error != nullptr) *error = zlibMessage(stream, code);
      deflateEnd(&stream);
      return std::nullopt;
    }
    produced += buffer.size() - stream.avail_out;
  } while (code != Z_STREAM_END);
  deflateEnd(&stream);
  return produced;
}

}  // namespace platform::crypto
