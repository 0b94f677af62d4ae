// Byte-level BPE training for the tokenizer fixture: the most frequent adjacent pair of symbols
// is merged, again and again, over the words of a text cut the way the byte-level
// pre-tokenizer cuts it (no prefix space). Ties go to the pair of lower symbol ids. A pair
// whose merged text is already a symbol is never merged, so every symbol text is distinct.
// When no pair is left, fixed-seed pseudo-words (lower-case letters, half of them after a
// blank) are added and training goes on. Deterministic; thread-safe.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tokenizer_fixture {

struct TrainedBpe {
  // The 256 byte characters in GPT-2 order, then one symbol per merge.
  std::vector<std::string> symbols;
  // Each merge as the ids of its two symbols, in merge order; merge i made symbol 256 + i.
  std::vector<std::pair<int, int>> merges;
};

TrainedBpe trainByteLevelBpe(std::string_view text, int mergeCount);

}  // namespace tokenizer_fixture
