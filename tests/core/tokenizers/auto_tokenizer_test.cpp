// The loaders: from a folder and from the (fake) hub, the Llama variant, and the errors that
// reach the caller.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <stop_token>
#include <string>
#include <vector>

#include "core/hub/hub_api.hpp"
#include "core/hub/hub_api_wrapper.hpp"
#include "core/hub/hub_errors.hpp"
#include "core/tokenizers/auto_tokenizer.hpp"
#include "core/tokenizers/llama_tokenizer.hpp"
#include "core/tokenizers/pretrained_tokenizer.hpp"
#include "core/tokenizers/tokenizer_error.hpp"
#include "platform/sync/cancellation.hpp"
#include "support/fake_hub/fake_hub.hpp"
#include "support/temporary_folder.hpp"

namespace noxtal::tokenizers {
namespace {

namespace fs = std::filesystem;
using Ids = std::vector<int>;
using Tokens = std::vector<std::string>;

void write(const fs::path& file, const std::string& bytes) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << bytes;
}

// A SentencePiece-style BPE over "▁", "h", "i" with the legacy Llama normalizer (Prepend "▁")
// and no pre-tokenizer; "<s>" (6) and "</s>" (7) are special.
constexpr const char* kLlamaData = R"({
  "added_tokens": [{"id": 6, "content": "<s>", "special": true}, {"id": 7, "content": "</s>", "special": true}],
  "normalizer": {"type": "Sequence", "normalizers": [{"type": "Prepend", "prepend": "\u2581"},
                                                    {"type": "Replace", "pattern": {"String": " "}, "content": "\u2581"}]},
  "model": {"type": "BPE", "vocab": {"\u2581": 0, "h": 1, "i": 2, "\u2581h": 3, "\u2581hi": 4, "hi": 5},
            "merges": ["\u2581 h", "\u2581h i", "h i"]}
})";

constexpr const char* kLlamaConfig =
    R"({"tokenizer_class": "LlamaTokenizerFast", "legacy": false, "add_bos_token": true, "bos_token": "<s>",
        "eos_token": {"content": "</s>"}})";

class AutoTokenizerTest : public ::testing::Test {
 protected:
  fs::path folder(const std::string& name, const std::string& config, const std::string& data = kLlamaData) {
    const fs::path path = tmp_.path() / name;
    if (!config.empty()) write(path / "tokenizer_config.json", config);
    write(path / "tokenizer.json", data);
    return path;
  }

  HubApiWrapper hubWrapper() const {
    return HubApiWrapper(HubApi(tmp_.path() / "cache", std::string(), hub_.endpoint(), false, false));
  }

  TokenizerWrapper fromHub(const std::string& name, const std::string& config, const std::string& data = kLlamaData) {
    hub_.addRepository("owner/" + name, folder(name, config, data));
    return AutoTokenizerWrapper::fromPretrained("owner/" + name, hubWrapper(), true);
  }

  testsupport::TemporaryFolder tmp_{"auto-tokenizer"};
  fake_hub::FakeHub hub_;
};

template <class F>
TokenizerError tokenizerErrorOf(F&& load) {
  try {
    load();
  } catch (const TokenizerError& error) {
    return error;
  }
  ADD_FAILURE() << "expected a TokenizerError";
  return TokenizerError::missingConfig();
}

TEST_F(AutoTokenizerTest, LlamaClassGivesTheLlamaVariantFromTheHubAndThePlainClassFromAFolder) {
  const TokenizerWrapper hub = fromHub("llama", kLlamaConfig);
  const auto* llama = dynamic_cast<const LlamaPreTrainedTokenizer*>(hub.impl().get());
  ASSERT_NE(llama, nullptr);
  EXPECT_FALSE(llama->isLegacy());
  // Non-legacy: Metaspace in place of the normalizer, a template with the beginning token.
  EXPECT_EQ(hub.tokenize("hi hi"), (Tokens{"\u2581hi", "\u2581hi"}));
  EXPECT_EQ(hub.encode("hi hi"), (Ids{6, 4, 4}));

  const TokenizerWrapper local = AutoTokenizerWrapper::fromModelFolder(tmp_.path() / "llama");
  EXPECT_EQ(dynamic_cast<const LlamaPreTrainedTokenizer*>(local.impl().get()), nullptr);
  ASSERT_NE(dynamic_cast<const PreTrainedTokenizer*>(local.impl().get()), nullptr);
  // The plain pipeline keeps the normalizer and has no post-processor.
  EXPECT_EQ(local.tokenize("hi hi"), (Tokens{"\u2581hi", "\u2581hi"}));
  EXPECT_EQ(local.encode("hi"), (Ids{4}));
}

TEST_F(AutoTokenizerTest, NonLegacyLlamaDropsALoneMetaspaceBeforeASpecialToken) {
  const TokenizerWrapper tokenizer = fromHub("lone", kLlamaConfig);
  EXPECT_EQ(tokenizer.tokenize("<s>hi"), (Tokens{"<s>", "hi"}));
  // Not before a word, and not in front of a legacy tokenizer's text.
  EXPECT_EQ(tokenizer.tokenize("hi<s>"), (Tokens{"\u2581hi", "<s>"}));
  const TokenizerWrapper legacy = fromHub("legacy", R"({"tokenizer_class": "LlamaTokenizer"})");
  EXPECT_TRUE(dynamic_cast<const LlamaPreTrainedTokenizer&>(*legacy.impl()).isLegacy());
  EXPECT_EQ(legacy.tokenize("<s>hi"), (Tokens{"<s>", "\u2581hi"}));
}

TEST_F(AutoTokenizerTest, LlamaTemplateComesFromTheFlagsUnlessTheDataHasOne) {
  const TokenizerWrapper both = fromHub(
      "both", R"({"tokenizer_class": "LlamaTokenizer", "add_bos_token": true, "bos_token": {"content": "<s>"},
                  "add_eos_token": "true", "eos_token": "</s>"})");
  EXPECT_EQ(both.encode("hi"), (Ids{6, 4, 7}));
  EXPECT_EQ(both.encode("hi", false), (Ids{4}));

  std::string withTemplate = kLlamaData;
  withTemplate.insert(withTemplate.find("\"model\""),
                      R"("post_processor": {"type": "TemplateProcessing",
                          "single": [{"Sequence": {"id": "A", "type_id": 0}}, {"SpecialToken": {"id": "</s>", "type_id": 0}}],
                          "pair": []},
                        )");
  const TokenizerWrapper kept = fromHub("kept", kLlamaConfig, withTemplate);
  EXPECT_EQ(kept.encode("hi"), (Ids{4, 7}));
}

TEST_F(AutoTokenizerTest, LlamaFlagWithoutItsTokenIsAMismatch) {
  for (const char* flag : {"add_bos_token", "add_eos_token"}) {
    const std::string name = std::string("mismatch-") + flag;
    const TokenizerError error = tokenizerErrorOf(
        [&] { fromHub(name, std::string(R"({"tokenizer_class": "LlamaTokenizer", ")") + flag + R"(": true})"); });
    EXPECT_EQ(error.errorCase(), TokenizerError::Case::mismatchedConfig);
    const std::string token = flag == std::string("add_bos_token") ? "bos" : "eos";
    EXPECT_EQ(std::string(error.what()),
              "Tokenizer configuration mismatch: add_" + token + "_token is True but " + token + "_token is nil");
  }
}

TEST_F(AutoTokenizerTest, MissingConfigurationAndUnreadableFiles) {
  const TokenizerError missing =
      tokenizerErrorOf([&] { AutoTokenizerWrapper::fromModelFolder(folder("no-config", "")); });
  EXPECT_EQ(missing.errorCase(), TokenizerError::Case::missingConfig);
  EXPECT_STREQ(missing.what(), "Tokenizer configuration is missing.");

  const TokenizerError noFolder =
      tokenizerErrorOf([&] { AutoTokenizerWrapper::fromModelFolder(tmp_.path() / "nowhere"); });
  EXPECT_EQ(noFolder.errorCase(), TokenizerError::Case::invalidConfiguration);
  EXPECT_NE(std::string(noFolder.what()).find("nowhere/tokenizer.json"), std::string::npos) << noFolder.what();

  // The same through the hub: a repository without "tokenizer.json".
  write(tmp_.path() / "served-empty" / "tokenizer_config.json", "{}");
  hub_.addRepository("owner/empty", tmp_.path() / "served-empty");
  const TokenizerError noData =
      tokenizerErrorOf([&] { AutoTokenizerWrapper::fromPretrained("owner/empty", hubWrapper()); });
  EXPECT_EQ(noData.errorCase(), TokenizerError::Case::invalidConfiguration);
  EXPECT_NE(std::string(noData.what()).find("tokenizer.json"), std::string::npos) << noData.what();
}

TEST_F(AutoTokenizerTest, HubAndCancellationErrorsPassUnchanged) {
  hub_.addRepository("owner/down", folder("down", kLlamaConfig));
  hub_.addFault(fake_hub::Fault::answerStatus(500));
  try {
    AutoTokenizerWrapper::fromPretrained("owner/down", hubWrapper());
    FAIL() << "expected the hub's error";
  } catch (const Hub::HubClientError& error) {
    EXPECT_EQ(error.errorCase(), Hub::HubClientErrorCase::httpStatusCode) << error.what();
  }
  hub_.clearFaults();

  std::stop_source stop;
  stop.request_stop();
  EXPECT_THROW(AutoTokenizerWrapper::fromPretrained("owner/down", hubWrapper(), true, stop.get_token()),
               platform::sync::CancellationError);
  EXPECT_THROW(AutoTokenizerWrapper::fromModelFolder(tmp_.path() / "down", std::nullopt, true, stop.get_token()),
               platform::sync::CancellationError);
}

TEST_F(AutoTokenizerTest, UnregisteredClassFailsWhenStrictAndFallsBackToBpeOtherwise) {
  const fs::path path = folder("mystery", R"({"tokenizer_class": "MysteryTokenizerFast"})");
  const TokenizerError error = tokenizerErrorOf([&] { AutoTokenizerWrapper::fromModelFolder(path); });
  EXPECT_EQ(error.errorCase(), TokenizerError::Case::unsupportedTokenizer);
  EXPECT_STREQ(error.what(), "The tokenizer type 'MysteryTokenizer' is not supported.");
  const TokenizerWrapper lenient = AutoTokenizerWrapper::fromModelFolder(path, std::nullopt, false);
  EXPECT_EQ(lenient.encode("hi"), (Ids{4}));
}

TEST_F(AutoTokenizerTest, WrapperForwardsEveryOperation) {
  const TokenizerWrapper tokenizer = AutoTokenizerWrapper::fromModelFolder(
      folder("forward", R"({"tokenizer_class": "GPT2Tokenizer", "bos_token": "<s>", "eos_token": "</s>"})"));
  EXPECT_EQ(tokenizer.convertTokenToId("\u2581hi"), 4);
  EXPECT_EQ(tokenizer.convertIdToToken(5), "hi");
  EXPECT_EQ(tokenizer.convertTokensToIds(Tokens{"h", "nothing"}), (std::vector<std::optional<int>>{1, std::nullopt}));
  EXPECT_EQ(tokenizer.convertIdsToTokens(Ids{2, 99}),
            (std::vector<std::optional<std::string>>{"i", std::nullopt}));
  EXPECT_EQ(tokenizer.bosToken(), "<s>");
  EXPECT_EQ(tokenizer.bosTokenId(), 6);
  EXPECT_EQ(tokenizer.eosTokenId(), 7);
  EXPECT_EQ(tokenizer.unknownTokenId(), std::nullopt);
  EXPECT_EQ(tokenizer.decode(Ids{6, 4, 7}), "<s>\u2581hi</s>");
  EXPECT_EQ(tokenizer.decode(Ids{6, 4, 7}, true), "\u2581hi");
  // Copies share the one tokenizer.
  const TokenizerWrapper copy = tokenizer;
  EXPECT_EQ(copy.impl().get(), tokenizer.impl().get());
}

}  // namespace
}  // namespace noxtal::tokenizers
