// Mixes one more hash into a running seed (the golden-ratio combine), for the std::hash
// specialisations and record hashers that hash several fields in order. The same seed and
// values give the same result on every run of one build.
#pragma once

#include <cstddef>

namespace platform::sys {

constexpr std::size_t hashCombine(std::size_t seed, std::size_t value) noexcept {
  return seed ^ (value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
}

}  // namespace platform::sys
