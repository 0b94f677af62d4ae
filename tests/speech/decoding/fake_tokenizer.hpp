// A small hand-made tokenizer for the decoding tests: a sparse vocabulary of ids with their
// token texts (what convertIdToToken answers, byte-level style: "Ġ" for a blank) and the bytes
// each id decodes to. decode() joins the bytes and repairs invalid UTF-8 with U+FFFD, so a
// multi-byte character split over two ids decodes to replacement characters alone, as a
// byte-level tokenizer does. An optional unknown token makes convertTokenToId answer its id for
// any text outside the vocabulary; an optional clean-up drops a blank before "." and ",".
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/tokenizers/tokenizer.hpp"
#include "platform/text/text.hpp"

namespace vostrane::testing {

class FakeTokenizer final : public noxtal::tokenizers::Tokenizer {
 public:
  // Adds an id whose token text is `token` and which decodes to `bytes` (to `token` when absent).
  FakeTokenizer& add(int id, std::string token, std::optional<std::string> bytes = std::nullopt) {
    std::string decoded = bytes ? *bytes : token;
    ids_[token] = id;
    entries_[id] = Entry{std::move(token), std::move(decoded)};
    return *this;
  }
  FakeTokenizer& unknown(int id) {
    unknownId_ = id;
    return *this;
  }
  FakeTokenizer& cleanUp() {
    cleanUp_ = true;
    return *this;
  }

  std::vector<std::string> tokenize(std::string_view text) const override { return {std::string(text)}; }
  std::vector<int> encode(std::string_view text, bool) const override {
    const auto id = convertTokenToId(text);
    return id ? std::vector<int>{*id} : std::vector<int>{};
  }
  std::string decode(std::span<const int> tokens, bool) const override {
    std::string bytes;
    for (int id : tokens) {
      auto it = entries_.find(id);
      if (it != entries_.end()) bytes += it->second.bytes;
    }
    std::string text = platform::text::repairUtf8(bytes);
    if (cleanUp_) {
      for (const char* pattern : {" .", " ,"}) {
        for (std::size_t at = text.find(pattern); at != std::string::npos; at = text.find(pattern, at)) text.erase(at, 1);
      }
    }
    return text;
  }
  std::optional<int> convertTokenToId(std::string_view token) const override {
    auto it = ids_.find(std::string(token));
    if (it != ids_.end()) return it->second;
    return unknownId_;
  }
  std::optional<std::string> convertIdToToken(int id) const override {
    auto it = entries_.find(id);
    if (it == entries_.end()) return std::nullopt;
    return it->second.token;
  }
  std::optional<std::string> bosToken() const override { return std::nullopt; }
  std::optional<int> bosTokenId() const override { return std::nullopt; }
  std::optional<std::string> eosToken() const override { return std::nullopt; }
  std::optional<int> eosTokenId() const override { return std::nullopt; }
  std::optional<std::string> unknownToken() const override {
    return unknownId_ ? convertIdToToken(*unknownId_) : std::nullopt;
  }
  std::optional<int> unknownTokenId() const override { return unknownId_; }

 private:
  struct Entry {
    std::string token;
    std::string bytes;
  };
  std::map<int, Entry> entries_;
  std::map<std::string, int> ids_;
  std::optional<int> unknownId_;
  bool cleanUp_ = false;
};

// The Whisper control tokens at their usual ids, English and Chinese language tokens, and the
// first timestamps; text ids are added by each test.
inline FakeTokenizer whisperLikeTokenizer() {
  FakeTokenizer t;
  t.add(50257, "<|endoftext|>")
      .add(50258, "<|startoftranscript|>")
      .add(50259, "<|en|>")
      .add(50260, "<|zh|>")
      .add(50358, "<|translate|>")
      .add(50359, "<|transcribe|>")
      .add(50361, "<|startofprev|>")
      .add(50362, "<|nospeech|>")
      .add(50363, "<|notimestamps|>")
      .add(50364, "<|0.00|>")
      .add(50365, "<|0.02|>")
      .add(220, "\xC4\xA0", " ");  // "Ġ"
  return t;
}

}  // namespace vostrane::testing
