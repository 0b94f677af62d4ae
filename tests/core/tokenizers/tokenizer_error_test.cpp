#include "core/tokenizers/tokenizer_error.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace noxtal::tokenizers {
namespace {

TEST(TokenizerErrorTest, DescriptionsAndCasesAreExact) {
  struct Expected {
    TokenizerError error;
    TokenizerError::Case errorCase;
    std::string caseName;
    std::string description;
  };
  const std::vector<Expected> all = {
      {TokenizerError::unsupportedTokenizer("X"), TokenizerError::Case::unsupportedTokenizer, "unsupportedTokenizer",
       "The tokenizer type 'X' is not supported."},
      {TokenizerError::tooLong("512 > 448"), TokenizerError::Case::tooLong, "tooLong", "Input is too long: 512 > 448"},
      {TokenizerError::mismatchedConfig("bos"), TokenizerError::Case::mismatchedConfig, "mismatchedConfig",
       "Tokenizer configuration mismatch: bos"},
      {TokenizerError::missingConfig(), TokenizerError::Case::missingConfig, "missingConfig",
       "Tokenizer configuration is missing."},
      {TokenizerError::missingTokenizerClassInConfig(), TokenizerError::Case::missingTokenizerClassInConfig,
       "missingTokenizerClassInConfig", "The tokenizer class is not specified in the configuration."},
      {TokenizerError::missingVocab(), TokenizerError::Case::missingVocab, "missingVocab",
       "Vocabulary file is missing from the tokenizer configuration."},
      {TokenizerError::malformedVocab(), TokenizerError::Case::malformedVocab, "malformedVocab",
       "The vocabulary file is malformed or corrupted."},
      {TokenizerError::invalidConfiguration("No decoders in Sequence"), TokenizerError::Case::invalidConfiguration,
       "invalidConfiguration", "No decoders in Sequence"},
      {TokenizerError::tokenWithoutId("<pad>"), TokenizerError::Case::tokenWithoutId, "tokenWithoutId",
       "The token '<pad>' has no id in the vocabulary."},
  };
  for (const Expected& e : all) {
    SCOPED_TRACE(e.caseName);
    EXPECT_EQ(e.error.what(), e.description);
    EXPECT_EQ(e.error.errorCase(), e.errorCase);
    EXPECT_EQ(e.error.caseName(), e.caseName);
    EXPECT_EQ(e.error.domain(), "TokenizerError");
    EXPECT_FALSE(TokenizerError::translatorComment(e.errorCase).empty());
  }
  // The payload is the message; cases without one carry none.
  EXPECT_EQ(all[0].error.message(), "X");
  EXPECT_EQ(all[3].error.message(), "");
}

TEST(TokenizerErrorTest, IsCaughtThroughTheProjectErrorBase) {
  try {
    throw TokenizerError::unsupportedTokenizer("FooTokenizer");
  } catch (const platform::sys::Error& e) {
    EXPECT_STREQ(e.what(), "The tokenizer type 'FooTokenizer' is not supported.");
    EXPECT_EQ(e.code(), static_cast<int>(TokenizerError::Case::unsupportedTokenizer));
  }
}

}  // namespace
}  // namespace noxtal::tokenizers
