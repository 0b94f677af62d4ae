#include "core/tokenizers/tokenizer_wrapper.hpp"

#include <utility>

#include "platform/log/check.hpp"

namespace noxtal::tokenizers {

TokenizerWrapper::TokenizerWrapper(std::shared_ptr<const Tokenizer> impl) : impl_(std::move(impl)) {
  platform::log::requireThat(impl_ != nullptr, "TokenizerWrapper needs a tokenizer");
}

}  // namespace noxtal::tokenizers
