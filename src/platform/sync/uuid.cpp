#include "platform/sync/uuid.hpp"

#include <mutex>
#include <random>

namespace platform::sync {

namespace {

// The generator seeded with 256 bits from the system's entropy source. A single 32-bit
// random_device value would allow only 2^32 sequences, so two processes would, rarely but
// for real, hand out the same identifiers.
std::mt19937_64 seededEngine() {
  std::random_device device;
  std::seed_seq seed{device(), device(), device(), device(), device(), device(), device(), device()};
  return std::mt19937_64(seed);
}

}  // namespace

Uuid Uuid::random() {
  static std::mutex mutex;
  static std::mt19937_64 engine = seededEngine();
  std::array<std::uint8_t, 16> bytes{};
  {
    std::lock_guard<std::mutex> guard(mutex);
    std::uint64_t a = engine(), b = engine();
    for (int i = 0; i < 8; ++i) {
      bytes[i] = static_cast<std::uint8_t>(a >> (8 * i));
      bytes[8 + i] = static_cast<std::uint8_t>(b >> (8 * i));
    }
  }
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  return Uuid(bytes);
}

std::string Uuid::toString() const {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(36);
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
    out.push_back(kHex[bytes_[i] >> 4]);
    out.push_back(kHex[bytes_[i] & 0x0F]);
  }
  return out;
}

std::optional<Uuid> Uuid::parse(std::string_view text) {
  if (text.size() != 36) return std::nullopt;
  std::array<std::uint8_t, 16> bytes{};
  int nibble = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (c != '-') return std::nullopt;
      continue;
    }
    int v;
    if (c >= '0' && c <= '9')
      v = c - '0';
    else if (c >= 'a' && c <= 'f')
      v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      v = c - 'A' + 10;
    else
      return std::nullopt;
    bytes[nibble / 2] = static_cast<std::uint8_t>(bytes[nibble / 2] | (nibble % 2 == 0 ? v << 4 : v));
    ++nibble;
  }
  return Uuid(bytes);
}

}  // namespace platform::sync
