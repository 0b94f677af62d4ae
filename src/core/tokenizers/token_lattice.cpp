#include "core/tokenizers/token_lattice.hpp"

#include <algorithm>
#include <utility>

#include "core/logging.hpp"
#include "platform/log/check.hpp"
#include "platform/text/text.hpp"

namespace noxtal::tokenizers {

std::string TokenLatticeNode::description() const {
  std::string text = "TokenLatticeNode(tokenId: " + std::to_string(tokenId) +
                     ", startOffset: " + std::to_string(startOffset) + ", length: " + std::to_string(length) +
                     ", score: " + floatingText(score) + ", prev: " + (prev ? "true" : "false") +
                     ", backtraceScore: " + floatingText(backtraceScore) + ")";
  return text;
}

TokenLattice::TokenLattice(std::string_view sentence, int bosTokenId, int eosTokenId)
    : TokenLattice(sentence, platform::text::graphemeBoundaries(sentence), bosTokenId, eosTokenId) {}

TokenLattice::TokenLattice(std::string_view sentence, std::vector<std::size_t> characterBoundaries, int bosTokenId,
                           int eosTokenId)
    : sentence_(sentence),
      boundaries_(std::move(characterBoundaries)),
      bosTokenId_(bosTokenId),
      eosTokenId_(eosTokenId) {
  platform::log::requireThat(!boundaries_.empty() && boundaries_.front() == 0 && boundaries_.back() == sentence_.size(),
                             "lattice character boundaries must cover the sentence");
  const std::size_t n = characterCount();
  for (Chain* chain : {&beginNodes_, &endNodes_}) {
    chain->first.assign(n + 1, kNone);
    chain->last.assign(n + 1, kNone);
    chain->next.reserve(2 * n + 2);
  }
  nodes_.reserve(2 * n + 2);
  nodes_.push_back(TokenLatticeNode{bosTokenId, 0, 0, 0, std::nullopt, 0});
  nodes_.push_back(TokenLatticeNode{eosTokenId, n, 0, 0, std::nullopt, 0});
  // The start node only ends at 0 and the end node only begins at n.
  beginNodes_.next.assign(2, kNone);
  endNodes_.next.assign(2, kNone);
  endNodes_.append(0, 0);
  beginNodes_.append(n, 1);
}

void TokenLattice::Chain::append(std::size_t position, std::size_t node) {
  if (next.size() <= node) next.resize(node + 1, kNone);
  next[node] = kNone;
  if (last[position] == kNone) {
    first[position] = node;
  } else {
    next[last[position]] = node;
  }
  last[position] = node;
}

std::vector<std::size_t> TokenLattice::Chain::list(std::size_t position) const {
  std::vector<std::size_t> nodes;
  for (std::size_t i = first[position]; i != kNone; i = next[i]) nodes.push_back(i);
  return nodes;
}

std::vector<TokenLatticeNode::Index> TokenLattice::beginNodes(std::size_t position) const {
  return beginNodes_.list(position);
}

std::vector<TokenLatticeNode::Index> TokenLattice::endNodes(std::size_t position) const {
  return endNodes_.list(position);
}

void TokenLattice::insert(std::size_t startOffset, std::size_t length, float score, int tokenId) {
  platform::log::requireThat(length > 0 && startOffset <= characterCount() && length <= characterCount() - startOffset,
                             "lattice node empty or outside the sentence");
  const TokenLatticeNode::Index index = nodes_.size();
  nodes_.push_back(TokenLatticeNode{tokenId, startOffset, length, score, std::nullopt, 0});
  beginNodes_.append(startOffset, index);
  endNodes_.append(startOffset + length, index);
}

std::vector<TokenLatticeNode::Index> TokenLattice::bestPath() {
  const std::size_t n = characterCount();
  if (beginNodes_.first[0] == kNone) return {};
  for (std::size_t i = 0; i <= n; ++i) {
    for (std::size_t c = beginNodes_.first[i]; c != kNone; c = beginNodes_.next[c]) {
      nodes_[c].prev.reset();
      std::optional<TokenLatticeNode::Index> best;
      float bestScore = 0;
      // Of equal totals the first in insertion order stays.
      for (std::size_t h = endNodes_.first[i]; h != kNone; h = endNodes_.next[h]) {
        const float total = nodes_[c].score + nodes_[h].backtraceScore;
        if (!best || total > bestScore) {
          best = h;
          bestScore = total;
        }
      }
      if (best) {
        nodes_[c].prev = best;
        nodes_[c].backtraceScore = bestScore;
      }
    }
    if (i < n && beginNodes_.first[i + 1] == kNone) return {};
  }
  const TokenLatticeNode::Index endNode = beginNodes_.first[n];
  std::optional<TokenLatticeNode::Index> current = nodes_[endNode].prev;
  if (!current) return {};
  std::vector<TokenLatticeNode::Index> path;
  while (nodes_[*current].prev) {
    path.push_back(*current);
    current = nodes_[*current].prev;
  }
  std::reverse(path.begin(), path.end());
  return path;
}

std::vector<TokenLatticeNode> TokenLattice::viterbi() {
  std::vector<TokenLatticeNode> path;
  for (const TokenLatticeNode::Index i : bestPath()) path.push_back(nodes_[i]);
  return path;
}

std::vector<std::string> TokenLattice::tokens() {
  std::vector<std::string> texts;
  for (const TokenLatticeNode::Index i : bestPath()) texts.emplace_back(piece(nodes_[i].startOffset, nodes_[i].length));
  return texts;
}

std::string_view TokenLattice::piece(std::size_t startOffset, std::size_t length) const {
  platform::log::requireThat(startOffset <= characterCount() && length <= characterCount() - startOffset,
                             "lattice piece outside the sentence");
  return std::string_view(sentence_).substr(boundaries_[startOffset],
                                            boundaries_[startOffset + length] - boundaries_[startOffset]);
}

}  // namespace noxtal::tokenizers
