// Small collection, text, number and path helpers shared by the libraries: glob filtering of
// file names, trimming a repeated trailing character, rounding to decimals, resolving a user
// path, batching and de-duplicating while keeping order.
//
// All functions are pure (resolveAbsolutePath reads the environment and the current folder) and
// thread-safe.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace noxtal {

// The names matched by the shell glob `glob` (fnmatch with flags 0: "*" and "?" also match "/"
// and a leading ".", a backslash escapes the next character), in their original order.
std::vector<std::string> matching(std::span<const std::string> names, std::string_view glob);

// `text` with its last character (grapheme cluster) removed while it equals `character` (by
// canonical equivalence: U+00E9 and "e" + U+0301 are the same character), at most `upto` times;
// `upto` <= 0 or an empty `character` returns `text` unchanged.
std::string trimmingFromEnd(std::string_view text, std::string_view character, int upto);

// `value` rounded to `decimals` places, halves away from zero: with m = 10^decimals,
// round(value * m) / m in float arithmetic (1.25 -> 1.3 with one decimal, -1.5 -> -2 with none).
float rounded(float value, int decimals);

// Expands a leading "~" (alone or before "/") to the home folder; a path that then starts with
// "/" is returned unchanged, any other is appended to the current folder. No file system check.
std::string resolveAbsolutePath(std::string_view path);

// Consecutive slices of `size` elements (the last may be shorter); empty input gives no batch.
// `size` must be at least 1.
template <class T>
std::vector<std::vector<T>> batched(std::span<const T> elements, std::size_t size) {
  std::vector<std::vector<T>> batches;
  if (size == 0) return batches;
  batches.reserve((elements.size() + size - 1) / size);
  for (std::size_t start = 0; start < elements.size(); start += size) {
    const std::size_t count = std::min(size, elements.size() - start);
    batches.emplace_back(elements.begin() + static_cast<std::ptrdiff_t>(start),
                         elements.begin() + static_cast<std::ptrdiff_t>(start + count));
  }
  return batches;
}

template <class T>
std::vector<std::vector<T>> batched(const std::vector<T>& elements, std::size_t size) {
  return batched(std::span<const T>(elements), size);
}

// The elements with repeats removed, each kept at its first occurrence, order preserved.
// T must be hashable with std::hash.
template <class T>
std::vector<T> orderedSet(std::span<const T> elements) {
  std::unordered_set<T> seen;
  std::vector<T> out;
  for (const T& element : elements) {
    if (seen.insert(element).second) out.push_back(element);
  }
  return out;
}

template <class T>
std::vector<T> orderedSet(const std::vector<T>& elements) {
  return orderedSet(std::span<const T>(elements));
}

}  // namespace noxtal
