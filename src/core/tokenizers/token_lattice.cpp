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
    : sentence_(sentence), boundaries_(std::move(characterBoundaries)), bosTokenId_(bosTokenId),
      eosTokenId_(eosTokenId) {
  platform::log::requireThat(!boundaries_.empty() && boundaries_.front() == 0 && boundaries_.back() == sentence_.size(),
                             "lattice character boundaries must cover the sentence");
  const std::size_t n = characterCount();
  beginNodes_.resize(n + 1);
  endNodes_.resize(n + 1);
  nodes_.push_back(TokenLatticeNode{bosTokenId, 0, 0, 0, std::nullopt, 0});
  nodes_.push_back(TokenLatticeNode{eosTokenId, n, 0, 0, std::nullopt, 0});
  endNodes_[0].push_back(0);
  beginNodes_[n].push_back(1);
}

void TokenLattice::insert(std::size_t startOffset, std::size_t length, float score, int tokenId) {
  platform::log::requireThat(startOffset <= characterCount() && length <= characterCount() - startOffset,
                             "lattice node outside the sentence");
  const TokenLatticeNode::Index index = nodes_.size();
  nodes_.push_back(TokenLatticeNode{tokenId, startOffset, length, score, std::nullopt, 0});
  beginNodes_[startOffset].push_back(index);
  endNodes_[startOffset + length].push_back(index);
}

std::vector<TokenLatticeNode::Index> TokenLattice::bestPath() {
  const std::size_t n = characterCount();
  if (beginNodes_[0].empty()) return {};
  for (std::size_t i = 0; i <= n; ++i) {
    for (const TokenLatticeNode::Index c : beginNodes_[i]) {
      nodes_[c].prev.reset();
      std::optional<TokenLatticeNode::Index> best;
      float bestScore = 0;
      for (const TokenLatticeNode::Index h : endNodes_[i]) {
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
    if (i < n && beginNodes_[i + 1].empty()) return {};
  }
  const TokenLatticeNode::Index endNode = beginNodes_[n].front();
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
