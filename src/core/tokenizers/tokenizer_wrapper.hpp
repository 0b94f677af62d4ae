// TokenizerWrapper: the loaded tokenizer as the rest of the system holds it.
//
// A small value around one immutable Tokenizer (shared, never replaced); every operation
// forwards to it and returns its result unchanged. The loaders of auto_tokenizer.hpp make
// it; the speech library's Whisper tokenizer wraps it in turn. Copies share the tokenizer and
// may be used from any number of threads at once.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/tokenizers/tokenizer.hpp"

namespace noxtal::tokenizers {

class TokenizerWrapper {
 public:
  // `impl` must not be null.
  explicit TokenizerWrapper(std::shared_ptr<const Tokenizer> impl);

  const std::shared_ptr<const Tokenizer>& impl() const { return impl_; }

  std::vector<std::string> tokenize(std::string_view text) const { return impl_->tokenize(text); }
  std::vector<int> encode(std::string_view text) const { return impl_->encode(text); }
  std::vector<int> encode(std::string_view text, bool addSpecialTokens) const {
    return impl_->encode(text, addSpecialTokens);
  }
  std::string decode(std::span<const int> tokens) const { return impl_->decode(tokens); }
  std::string decode(std::span<const int> tokens, bool skipSpecialTokens) const {
    return impl_->decode(tokens, skipSpecialTokens);
  }
  std::optional<int> convertTokenToId(std::string_view token) const { return impl_->convertTokenToId(token); }
  std::vector<std::optional<int>> convertTokensToIds(std::span<const std::string> tokens) const {
    return impl_->convertTokensToIds(tokens);
  }
  std::optional<std::string> convertIdToToken(int id) const { return impl_->convertIdToToken(id); }
  std::vector<std::optional<std::string>> convertIdsToTokens(std::span<const int> ids) const {
    return impl_->convertIdsToTokens(ids);
  }

  std::optional<std::string> bosToken() const { return impl_->bosToken(); }
  std::optional<int> bosTokenId() const { return impl_->bosTokenId(); }
  std::optional<std::string> eosToken() const { return impl_->eosToken(); }
  std::optional<int> eosTokenId() const { return impl_->eosTokenId(); }
  std::optional<std::string> unknownToken() const { return impl_->unknownToken(); }
  std::optional<int> unknownTokenId() const { return impl_->unknownTokenId(); }

 private:
  std::shared_ptr<const Tokenizer> impl_;
};

}  // namespace noxtal::tokenizers
