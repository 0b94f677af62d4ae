// A trie of element sequences with common-prefix search.
//
// The Unigram model stores its vocabulary pieces as sequences of characters (grapheme clusters,
// interned as integers) and finds, at every position of a text, the pieces that start there.
// Nodes are numbers: one open-addressing table maps (node, element) to the child node, so a trie
// of any depth is copied and destroyed without recursion, and a node costs one table slot.
// Element must be default-constructible, copyable and comparable with ==.
//
// A Trie is a plain value: const members (the search) are thread-safe; insertion must not run
// while another thread reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/log/check.hpp"

namespace noxtal::tokenizers {

template <class TrieType>
class LeavesWithCommonPrefixIterator;

template <class Element, class Hash = std::hash<Element>>
class Trie {
 public:
  using NodeIndex = std::size_t;
  using ElementType = Element;

  Trie() : leaves_(1, false) {}

  static constexpr NodeIndex root() { return 0; }
  std::size_t nodeCount() const { return leaves_.size(); }
  // A stored sequence ends at the node (which may still have children).
  bool isLeaf(NodeIndex index) const { return leaves_[index]; }

  // The child of `index` for `element`; absent when there is none.
  std::optional<NodeIndex> child(NodeIndex index, const Element& element) const {
    if (slots_.empty()) return std::nullopt;
    for (std::size_t slot = home(index, element);; slot = (slot + 1) & (slots_.size() - 1)) {
      const Slot& s = slots_[slot];
      if (s.child == 0) return std::nullopt;
      if (s.parent == index && s.element == element) return s.child;
    }
  }

  // Stores `sequence` (a range of elements), creating the nodes it needs; the empty sequence
  // marks the root. Returns the node where the sequence ends.
  template <class Sequence>
  NodeIndex insert(const Sequence& sequence) {
    NodeIndex current = root();
    for (const auto& element : sequence) {
      if (const auto found = child(current, element)) {
        current = *found;
        continue;
      }
      const NodeIndex created = leaves_.size();
      // Node numbers are stored in 32 bits: no vocabulary that fits in memory comes near.
      platform::log::requireThat(created < UINT32_MAX, "trie node numbers exhausted");
      leaves_.push_back(false);
      place(Slot{static_cast<std::uint32_t>(current), static_cast<std::uint32_t>(created), Element(element)});
      current = created;
    }
    leaves_[current] = true;
    return current;
  }

  // insert() for each sequence, in order.
  template <class Sequences>
  void append(const Sequences& sequences) {
    for (const auto& sequence : sequences) insert(sequence);
  }

  // The stored sequences that are prefixes of `text`, by increasing length. `text` and the trie
  // must outlive the iterator.
  LeavesWithCommonPrefixIterator<Trie> commonPrefixSearchIterator(std::span<const Element> text) const {
    return LeavesWithCommonPrefixIterator<Trie>(*this, text);
  }

  // Every stored sequence that is a prefix of `text`, by increasing length.
  std::vector<std::vector<Element>> commonPrefixSearch(std::span<const Element> text) const {
    std::vector<std::vector<Element>> found;
    auto iterator = commonPrefixSearchIterator(text);
    while (const auto length = iterator.next()) found.emplace_back(text.begin(), text.begin() + *length);
    return found;
  }

  // Room for `nodes` nodes without growing the table.
  void reserve(std::size_t nodes) {
    leaves_.reserve(nodes);
    if (2 * nodes > slots_.size()) rehash(2 * nodes);
  }

 private:
  // A child edge; child 0 (the root, never a child) marks a free slot.
  struct Slot {
    std::uint32_t parent = 0;
    std::uint32_t child = 0;
    Element element{};
  };

  std::size_t home(NodeIndex parent, const Element& element) const {
    const std::size_t mixed = (Hash{}(element) ^ (parent * 0x9E3779B97F4A7C15ull)) * 0xBF58476D1CE4E5B9ull;
    return (mixed ^ (mixed >> 31)) & (slots_.size() - 1);
  }

  void place(Slot slot) {
    if (2 * (children_ + 1) > slots_.size()) rehash(2 * (children_ + 1));
    std::size_t at = home(slot.parent, slot.element);
    while (slots_[at].child != 0) at = (at + 1) & (slots_.size() - 1);
    slots_[at] = std::move(slot);
    ++children_;
  }

  // Grows the table to the power of two at or above `minimum` slots (at least 16).
  void rehash(std::size_t minimum) {
    std::size_t size = 16;
    while (size < minimum) size *= 2;
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(size, Slot{});
    for (Slot& s : old) {
      if (s.child == 0) continue;
      std::size_t at = home(s.parent, s.element);
      while (slots_[at].child != 0) at = (at + 1) & (slots_.size() - 1);
      slots_[at] = std::move(s);
    }
  }

  std::vector<bool> leaves_;
  std::vector<Slot> slots_;
  std::size_t children_ = 0;
};

// Walks a text down a trie: each next() gives the length, in elements, of the next stored
// prefix; the search ends at the first element that leaves the trie or at the end of the text.
template <class TrieType>
class LeavesWithCommonPrefixIterator {
 public:
  using Element = typename TrieType::ElementType;

  LeavesWithCommonPrefixIterator(const TrieType& trie, std::span<const Element> text) : trie_(&trie), text_(text) {}

  // The next stored prefix's length; absent when the search is over.
  std::optional<std::size_t> next() {
    while (!finished_ && consumed_ < text_.size()) {
      const auto found = trie_->child(node_, text_[consumed_]);
      if (!found) break;
      node_ = *found;
      ++consumed_;
      if (trie_->isLeaf(node_)) return consumed_;
    }
    finished_ = true;
    return std::nullopt;
  }

  // The elements consumed so far, and the node they lead to.
  std::span<const Element> seq() const { return text_.first(consumed_); }
  typename TrieType::NodeIndex node() const { return node_; }

 private:
  const TrieType* trie_;
  std::span<const Element> text_;
  std::size_t consumed_ = 0;
  typename TrieType::NodeIndex node_ = TrieType::root();
  bool finished_ = false;
};

}  // namespace noxtal::tokenizers
