// libFuzzer entry for loading a tokenizer from "tokenizer.json" and "tokenizer_config.json".
//
// The input up to its first NUL byte is "tokenizer.json", the rest "tokenizer_config.json" (a
// GPT-2 configuration when there is no NUL); the first byte's lowest bit picks strict or
// lenient loading. The load either succeeds or throws TokenizerError; a loaded tokenizer
// tokenizes, encodes (a token without id is a TokenizerError) and decodes a few texts and ids.
// Any other exception escapes and is a finding. The same entry replays the kept inputs in
// tests/data/fuzz/tokenizers in the normal test run.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/tokenizers/auto_tokenizer.hpp"
#include "core/tokenizers/tokenizer_error.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using noxtal::tokenizers::TokenizerError;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t nul = input.find('\0');
  const std::string_view tokenizerJson = input.substr(0, nul);
  const std::string_view configJson =
      nul == std::string_view::npos ? std::string_view(R"({"tokenizer_class": "GPT2Tokenizer"})") : input.substr(nul + 1);
  const bool strict = size == 0 || (data[0] & 1) == 0;
  try {
    const auto tokenizer = noxtal::tokenizers::makePreTrainedTokenizer(tokenizerJson, configJson, strict);
    for (const std::string_view text : {std::string_view("Hello world, caf\u00e9 <s>[CLS] 12345"), std::string_view(""),
                                        std::string_view(" \t\n\xFF")}) {
      tokenizer->tokenize(text);
      try {
        tokenizer->decode(tokenizer->encode(text), true);
      } catch (const TokenizerError&) {
      }
    }
    const std::vector<int> ids = {0, 1, 2, 3, 100, -1, 2147483647, -2147483647 - 1};
    tokenizer->decode(ids);
    tokenizer->decode(ids, true);
    for (const int id : ids) tokenizer->convertIdToToken(id);
  } catch (const TokenizerError&) {
  }
  return 0;
}
