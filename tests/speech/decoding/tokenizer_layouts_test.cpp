// The Whisper tokenizer wrapper over the three generated Whisper layouts, loaded from their
// folders as the speech library loads them.
#include <gtest/gtest.h>

#include <algorithm>

#include "core/tokenizers/auto_tokenizer.hpp"
#include "speech/decoding/whisper_tokenizer.hpp"
#include "speech/model/constants.hpp"
#include "support/temporary_folder.hpp"
#include "support/tokenizer_fixture/tokenizer_fixture.hpp"

namespace vostrane {
namespace {

using tokenizer_fixture::Layout;

class TokenizerLayouts : public ::testing::TestWithParam<Layout> {
 protected:
  WhisperTokenizerWrapper load() {
    const tokenizer_fixture::Options options{.layout = GetParam(), .merges = 300};
    tokenizer_fixture::writeTokenizerFolder(folder_.path(), options);
    begin_ = tokenizer_fixture::specialTokenBegin(options);
    specials_ = tokenizer_fixture::specialTokens(GetParam());
    return WhisperTokenizerWrapper(noxtal::tokenizers::AutoTokenizerWrapper::fromModelFolder(folder_.path()));
  }
  // The id the layout gives `text`: its place among the special tokens.
  int idOf(const std::string& text) const {
    const auto at = std::find(specials_.begin(), specials_.end(), text);
    EXPECT_NE(at, specials_.end()) << text;
    return begin_ + static_cast<int>(at - specials_.begin());
  }
  testsupport::TemporaryFolder folder_{"tokenizer_layouts"};
  int begin_ = 0;
  std::vector<std::string> specials_;
};

TEST_P(TokenizerLayouts, SpecialIdsLanguagesAndTheBlank) {
  const WhisperTokenizerWrapper wrapper = load();
  const SpecialTokens& s = wrapper.specialTokens();
  EXPECT_EQ(s.endToken, idOf("<|endoftext|>"));
  EXPECT_EQ(s.specialTokenBegin, begin_);
  EXPECT_EQ(s.startOfTranscriptToken, idOf("<|startoftranscript|>"));
  EXPECT_EQ(s.englishToken, idOf("<|en|>"));
  EXPECT_EQ(s.translateToken, idOf("<|translate|>"));
  EXPECT_EQ(s.transcribeToken, idOf("<|transcribe|>"));
  EXPECT_EQ(s.startOfPreviousToken, idOf("<|startofprev|>"));
  EXPECT_EQ(s.noSpeechToken, idOf("<|nospeech|>"));
  EXPECT_EQ(s.noTimestampsToken, idOf("<|notimestamps|>"));
  EXPECT_EQ(s.timeTokenBegin, idOf("<|0.00|>"));

  // The byte-level vocabulary has "Ġ" at 220, never " ", and answers its unknown token's id
  // for the blank: the blank still falls back to 220.
  EXPECT_EQ(s.whitespaceToken, 220);
  EXPECT_EQ(wrapper.convertIdToToken(220), "\xC4\xA0");
  const std::optional<int> unknown = wrapper.tokenizer().unknownTokenId();
  ASSERT_TRUE(unknown);
  EXPECT_EQ(wrapper.convertTokenToId(" "), unknown);

  std::set<int> languages;
  for (const std::string& text : specials_) {
    const std::string code = text.substr(2, text.size() - 4);
    if (Constants::languageCodes().contains(code)) languages.insert(idOf(text));
  }
  EXPECT_EQ(wrapper.allLanguageTokens(), languages);
  EXPECT_EQ(languages.size(), GetParam() == Layout::largeV3 ? 100U : 99U);
}

INSTANTIATE_TEST_SUITE_P(Whisper, TokenizerLayouts,
                         ::testing::Values(Layout::english, Layout::multilingual, Layout::largeV3),
                         [](const auto& info) {
                           std::string name(tokenizer_fixture::layoutName(info.param));
                           name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
                           return name;
                         });

}  // namespace
}  // namespace vostrane
