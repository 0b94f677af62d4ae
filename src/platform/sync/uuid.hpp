// Random (version 4) universally unique identifiers, used as keys of per-run state.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace platform::sync {

class Uuid {
 public:
  // The nil identifier (all zero). Use random() for a fresh one.
  Uuid() = default;
  explicit Uuid(const std::array<std::uint8_t, 16>& bytes) : bytes_(bytes) {}

  // A fresh random version-4 identifier. Thread-safe.
  static Uuid random();
  // Parses the 36-character text form (either case); absent when malformed.
  static std::optional<Uuid> parse(std::string_view text);

  // Upper-case 8-4-4-4-12 hexadecimal text.
  std::string toString() const;
  const std::array<std::uint8_t, 16>& bytes() const { return bytes_; }

  friend bool operator==(const Uuid&, const Uuid&) = default;
  friend auto operator<=>(const Uuid&, const Uuid&) = default;

 private:
  std::array<std::uint8_t, 16> bytes_{};
};

}  // namespace platform::sync

template <>
struct std::hash<platform::sync::Uuid> {
  std::size_t operator()(const platform::sync::Uuid& id) const noexcept {
    std::size_t h = 14695981039346656037ull;
    for (auto b : id.bytes()) h = (h ^ b) * 1099511628211ull;
    return h;
  }
};
