// A trie of element sequences with common-prefix search.
//
// The Unigram model stores its vocabulary pieces as sequences of characters (grapheme clusters)
// and finds, at every position of a text, the pieces that start there. Nodes live in one vector
// owned by the trie and refer to their children by index, so no depth of trie can exhaust the
// stack when it is copied or destroyed.
//
// A Trie is a plain value: const members (the search) are thread-safe; insertion must not run
// while another thread reads.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

namespace noxtal::tokenizers {

template <class TrieType, class TextElement>
class LeavesWithCommonPrefixIterator;

template <class Element, class Hash = std::hash<Element>, class Equal = std::equal_to<Element>>
class Trie {
 public:
  using NodeIndex = std::size_t;
  struct Node {
    // A stored sequence ends here (the node may still have children).
    bool isLeaf = false;
    std::unordered_map<Element, NodeIndex, Hash, Equal> children;
  };

  Trie() : nodes_(1) {}

  static constexpr NodeIndex root() { return 0; }
  const Node& node(NodeIndex index) const { return nodes_[index]; }
  std::size_t nodeCount() const { return nodes_.size(); }

  // The child of `index` for `element`; absent when there is none. `element` may be of any type
  // that Hash and Equal accept together with Element.
  template <class Key>
  std::optional<NodeIndex> child(NodeIndex index, const Key& element) const {
    const auto& children = nodes_[index].children;
    const auto it = children.find(element);
    if (it == children.end()) return std::nullopt;
    return it->second;
  }

  // Stores `sequence` (a range of elements), creating the nodes it needs; the empty sequence
  // marks the root.
  template <class Sequence>
  void insert(const Sequence& sequence) {
    NodeIndex current = root();
    for (const auto& element : sequence) {
      if (const auto found = child(current, element)) {
        current = *found;
        continue;
      }
      const NodeIndex created = nodes_.size();
      nodes_.emplace_back();
      nodes_[current].children.emplace(Element(element), created);
      current = created;
    }
    nodes_[current].isLeaf = true;
  }

  // insert() for each sequence, in order.
  template <class Sequences>
  void append(const Sequences& sequences) {
    for (const auto& sequence : sequences) insert(sequence);
  }

  // The stored sequences that are prefixes of `text`, by increasing length. `text` and the trie
  // must outlive the iterator.
  template <class TextElement>
  LeavesWithCommonPrefixIterator<Trie, TextElement> commonPrefixSearchIterator(
      std::span<const TextElement> text) const {
    return LeavesWithCommonPrefixIterator<Trie, TextElement>(*this, text);
  }

  // Every stored sequence that is a prefix of `text`, by increasing length.
  template <class TextElement>
  std::vector<std::vector<Element>> commonPrefixSearch(std::span<const TextElement> text) const {
    std::vector<std::vector<Element>> found;
    auto iterator = commonPrefixSearchIterator(text);
    while (const auto length = iterator.next()) found.emplace_back(text.begin(), text.begin() + *length);
    return found;
  }

 private:
  std::vector<Node> nodes_;
};

// Walks a text down a trie: each next() gives the length, in elements, of the next stored
// prefix; the search ends at the first element that leaves the trie or at the end of the text.
template <class TrieType, class TextElement>
class LeavesWithCommonPrefixIterator {
 public:
  LeavesWithCommonPrefixIterator(const TrieType& trie, std::span<const TextElement> text)
      : trie_(&trie), text_(text) {}

  // The next stored prefix's length; absent when the search is over.
  std::optional<std::size_t> next() {
    while (!finished_ && consumed_ < text_.size()) {
      const auto found = trie_->child(node_, text_[consumed_]);
      if (!found) break;
      node_ = *found;
      ++consumed_;
      if (trie_->node(node_).isLeaf) return consumed_;
    }
    finished_ = true;
    return std::nullopt;
  }

  // The elements consumed so far.
  std::span<const TextElement> seq() const { return text_.first(consumed_); }

 private:
  const TrieType* trie_;
  std::span<const TextElement> text_;
  std::size_t consumed_ = 0;
  typename TrieType::NodeIndex node_ = TrieType::root();
  bool finished_ = false;
};

}  // namespace noxtal::tokenizers
