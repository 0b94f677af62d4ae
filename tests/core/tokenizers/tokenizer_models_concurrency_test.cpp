// The vocabulary models are shared by every thread that tokenizes: tokenizing and converting from
// several threads at once must give each thread the answers one thread alone gets (and, under
// ThreadSanitizer, touch nothing shared that is written).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/config.hpp"
#include "core/tokenizers/tokenizer_model_factory.hpp"

namespace noxtal::tokenizers {
namespace {

std::shared_ptr<const TokenizingModel> make(std::string_view config, std::string_view data) {
  return makeTokenizingModel(Config::parse(config), Config::parse(data), {{"<x>", 40}}, true);
}

TEST(TokenizerModelsConcurrencyTest, SharedModelsAnswerAlikeFromManyThreads) {
  const std::vector<std::shared_ptr<const TokenizingModel>> models = {
      make(R"({"tokenizer_class": "GPT2Tokenizer", "unk_token": "u"})",
           R"({"model": {"vocab": {"u": 0, "a": 1, "b": 2, "ab": 3, "aba": 4}, "merges": ["a b", "ab a"]}})"),
      make(R"({"tokenizer_class": "BertTokenizer"})",
           R"({"model": {"vocab": {"[UNK]": 0, "ab": 1, "##a": 2, "a": 3, "\u00e9": 4}}})"),
      make(R"({"tokenizer_class": "XLMRobertaTokenizer"})",
           R"({"model": {"vocab": [["<unk>", 0], ["a", -1], ["b", -1.5], ["ab", -2]], "unk_id": 0}})"),
  };
  const std::vector<std::string> texts = {"ababa", "ab aba", std::string(100, 'a') + "b", "\u00e9a", "zz", ""};
  std::vector<std::vector<std::vector<std::string>>> expected(models.size());
  for (std::size_t m = 0; m < models.size(); ++m) {
    for (const std::string& text : texts) expected[m].push_back(models[m]->tokenize(text));
  }
  std::vector<int> mismatches(8, 0);
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < 8; ++t) {
      threads.emplace_back([&, t] {
        for (int round = 0; round < 50; ++round) {
          for (std::size_t m = 0; m < models.size(); ++m) {
            for (std::size_t i = 0; i < texts.size(); ++i) {
              const auto tokens = models[m]->tokenize(texts[i]);
              if (tokens != expected[m][i]) ++mismatches[t];
              for (const std::string& token : tokens) {
                const auto id = models[m]->convertTokenToId(token);
                if (id && !models[m]->convertIdToToken(*id)) ++mismatches[t];
              }
            }
          }
        }
      });
    }
  }
  EXPECT_EQ(mismatches, std::vector<int>(8, 0));
  EXPECT_EQ(expected[0][0], (std::vector<std::string>{"ab", "aba"}));
}

}  // namespace
}  // namespace noxtal::tokenizers
