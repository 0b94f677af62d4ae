// Finding the last natural place to cut a text so that the part before the cut still holds a
// minimum number of tokens: sentence ends first, then clause marks, then the last space.
//
// Used when a prompt or a carried-over text must be shortened without cutting a word or a
// sentence in half. Thread-safe; `encode` is called on the calling thread.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace noxtal {

// A prefix of `text` (UTF-8) that ends at a natural boundary and whose tokens, counted by
// `encode` on the prefix trimmed of whitespace and line breaks at both ends, number at least
// `minTokenCount`; the prefix itself is returned untrimmed. Absent when no boundary qualifies
// (always for an empty text).
//
// Passes, each trying candidates from the longest to the shortest and calling `encode` once per
// candidate until one qualifies:
//  1. sentence ends (Unicode sentence segmentation). The end of the last sentence counts only
//     when its trailing run of whitespace and closing marks holds a line break, or the
//     character before that run is a sentence ender (. ! ? … 。 ！ ？);
//  2. clause marks (, ; : - –) followed by whitespace or by the end of the text;
//  3. the text before the last space (U+0020).
std::optional<std::string> lastNaturalBoundary(std::string_view text, int minTokenCount,
                                               const std::function<std::vector<int>(const std::string&)>& encode);

}  // namespace noxtal
