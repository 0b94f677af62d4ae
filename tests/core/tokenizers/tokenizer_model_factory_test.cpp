#include "core/tokenizers/tokenizer_model_factory.hpp"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "core/config.hpp"
#include "core/logging.hpp"
#include "core/tokenizers/bpe_tokenizer.hpp"
#include "core/tokenizers/tokenizer_error.hpp"
#include "core/tokenizers/unigram_tokenizer.hpp"
#include "core/tokenizers/wordpiece_tokenizer.hpp"

namespace noxtal::tokenizers {
namespace {

// Data that every model type accepts in its own section: "vocab" as an object suits BPE and
// WordPiece; the Unigram cases get their own.
const Config kBpeData = Config::parse(R"({"model": {"vocab": {"a": 0, "[UNK]": 1}, "merges": []}})");
const Config kUnigramData = Config::parse(R"({"model": {"vocab": [["<unk>", 0], ["a", -1]], "unk_id": 0}})");

Config classConfig(std::string_view name) {
  return Config::parse(std::string(R"({"tokenizer_class": ")") + std::string(name) + "\"}");
}

// Collects what Logging delivers while the test runs, at info level.
class LoggedLines {
 public:
  LoggedLines() {
    Logging::updateLogLevel(Logging::LogLevel::info);
    Logging::updateCallback([this](const std::string& line) {
      std::lock_guard lock(mutex_);
      lines_.push_back(line);
    });
  }
  ~LoggedLines() {
    Logging::updateCallback({});
    Logging::updateLogLevel(Logging::LogLevel::none);
  }
  std::vector<std::string> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

TEST(TokenizerModelFactoryTest, ClassNamesChooseTheModelWithFastRemoved) {
  struct Expected {
    std::string className;
    bool bpe, bert, unigram, t5;
  };
  const std::vector<Expected> all = {
      {"WhisperTokenizer", true, false, false, false},    {"GPT2TokenizerFast", true, false, false, false},
      {"GPT2FastTokenizer", true, false, false, false},   {"FastLlamaTokenizerFast", true, false, false, false},
      {"BertTokenizerFast", false, true, false, false},   {"DistilbertTokenizer", false, true, false, false},
      {"DistilBertTokenizer", false, true, false, false}, {"XLMRobertaTokenizerFast", false, false, true, false},
      {"T5Tokenizer", false, false, true, true},          {"PreTrainedTokenizer", true, false, false, false},
  };
  for (const Expected& e : all) {
    const Config& data = e.unigram ? kUnigramData : kBpeData;
    const auto model = makeTokenizingModel(classConfig(e.className), data, {}, true);
    ASSERT_NE(model, nullptr) << e.className;
    EXPECT_EQ(dynamic_cast<const BPETokenizer*>(model.get()) != nullptr, e.bpe) << e.className;
    EXPECT_EQ(dynamic_cast<const BertTokenizer*>(model.get()) != nullptr, e.bert) << e.className;
    EXPECT_EQ(dynamic_cast<const UnigramTokenizer*>(model.get()) != nullptr, e.unigram) << e.className;
    EXPECT_EQ(dynamic_cast<const T5Tokenizer*>(model.get()) != nullptr, e.t5) << e.className;
  }
  EXPECT_FALSE(tokenizingModelMaker("GPT2TokenizerFast").has_value()) << "the table holds names without Fast";
}

TEST(TokenizerModelFactoryTest, UnregisteredClassFailsWhenStrictAndFallsBackToBpeOtherwise) {
  try {
    makeTokenizingModel(classConfig("FooTokenizerFast"), kBpeData, {}, true);
    ADD_FAILURE() << "strict load of an unregistered class succeeded";
  } catch (const TokenizerError& e) {
    EXPECT_EQ(e.errorCase(), TokenizerError::Case::unsupportedTokenizer);
    EXPECT_STREQ(e.what(), "The tokenizer type 'FooTokenizer' is not supported.");
  }
  const LoggedLines logged;
  const auto model = makeTokenizingModel(classConfig("FooTokenizerFast"), kBpeData, {{"<x>", 5}}, false);
  EXPECT_NE(dynamic_cast<const BPETokenizer*>(model.get()), nullptr);
  EXPECT_EQ(model->convertTokenToId("<x>"), 5) << "the added tokens reach the fallback model";
  EXPECT_EQ(logged.lines(), std::vector<std::string>{"Warning: Tokenizer model class FooTokenizer is not registered, "
                                                     "falling back to a standard BPE implementation."});
}

TEST(TokenizerModelFactoryTest, MissingClassAndModelErrors) {
  const auto errorCase = [](const Config& config, const Config& data) -> std::optional<TokenizerError::Case> {
    try {
      makeTokenizingModel(config, data, {}, false);
    } catch (const TokenizerError& e) {
      return e.errorCase();
    }
    return std::nullopt;
  };
  using Case = TokenizerError::Case;
  EXPECT_EQ(errorCase(Config::parse("{}"), kBpeData), Case::missingTokenizerClassInConfig);
  EXPECT_EQ(errorCase(Config::parse(R"({"tokenizer_class": 7})"), kBpeData), Case::missingTokenizerClassInConfig);
  EXPECT_EQ(errorCase(Config::parse(R"({"tokenizerClass": "BertTokenizer"})"), Config::parse("{}")),
            Case::missingVocab);
  EXPECT_EQ(errorCase(classConfig("XLMRobertaTokenizer"), kBpeData), Case::missingVocab);
  EXPECT_EQ(errorCase(classConfig("Unknown"), Config::parse("{}")), Case::invalidConfiguration);
}

}  // namespace
}  // namespace noxtal::tokenizers
