// The token lattice of the Unigram model: every vocabulary piece that could cover a span of one
// pre-token, and the Viterbi pass that picks the path of the highest total score.
//
// Positions and lengths count characters (grapheme clusters) of the sentence. All nodes of one
// lattice live in one vector and refer to their best predecessor by index, so chains of any
// length are released without recursion. A lattice belongs to one tokenize call: viterbi()
// writes into its nodes, so it is not thread-safe.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace noxtal::tokenizers {

struct TokenLatticeNode {
  using Index = std::size_t;

  int tokenId = 0;
  std::size_t startOffset = 0;
  std::size_t length = 0;
  float score = 0;
  // Written by the Viterbi pass: the best predecessor and the best path score up to and
  // including this node.
  std::optional<Index> prev;
  float backtraceScore = 0;

  // "TokenLatticeNode(tokenId: 3, startOffset: 0, length: 2, score: -1.5, prev: false,
  // backtraceScore: 0.0)".
  std::string description() const;
};

class TokenLattice {
 public:
  // A lattice over `sentence` with its start node (id bosTokenId, at 0) and end node (id
  // eosTokenId, at the character count), both of length 0 and score 0.
  TokenLattice(std::string_view sentence, int bosTokenId, int eosTokenId);
  // The same with the sentence's grapheme-cluster boundaries (byte offsets, starting with 0 and
  // ending with sentence.size()) already at hand.
  TokenLattice(std::string_view sentence, std::vector<std::size_t> characterBoundaries, int bosTokenId, int eosTokenId);

  // Adds a node covering characters [startOffset, startOffset + length), which must be at least
  // one character and lie within the sentence (an empty node would be its own predecessor).
  void insert(std::size_t startOffset, std::size_t length, float score, int tokenId);

  // The nodes of the best path from start to end, without those two; empty when some position
  // cannot be reached. Of paths with equal totals, the one whose predecessor comes first (in
  // insertion order among the nodes ending at a position) wins at each step.
  std::vector<TokenLatticeNode> viterbi();
  // The texts of the best path's nodes.
  std::vector<std::string> tokens();

  const std::string& sentence() const { return sentence_; }
  int bosTokenId() const { return bosTokenId_; }
  int eosTokenId() const { return eosTokenId_; }
  std::size_t characterCount() const { return boundaries_.size() - 1; }
  const std::vector<TokenLatticeNode>& nodes() const { return nodes_; }
  // The nodes starting, respectively ending, at a position (0 to characterCount()), in
  // insertion order.
  std::vector<TokenLatticeNode::Index> beginNodes(std::size_t position) const;
  std::vector<TokenLatticeNode::Index> endNodes(std::size_t position) const;

  // The text of characters [startOffset, startOffset + length).
  std::string_view piece(std::size_t startOffset, std::size_t length) const;

 private:
  std::vector<TokenLatticeNode::Index> bestPath();

  std::string sentence_;
  std::vector<std::size_t> boundaries_;
  int bosTokenId_;
  int eosTokenId_;
  // The lists of nodes that begin and end at each position are chains through the nodes, in
  // insertion order: first and last node per position, and each node's successor.
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  struct Chain {
    std::vector<std::size_t> first;
    std::vector<std::size_t> last;
    std::vector<std::size_t> next;  // per node
    void append(std::size_t position, std::size_t node);
    std::vector<std::size_t> list(std::size_t position) const;
  };
  std::vector<TokenLatticeNode> nodes_;
  Chain beginNodes_;
  Chain endNodes_;
};

}  // namespace noxtal::tokenizers
