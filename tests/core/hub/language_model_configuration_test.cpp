#include "core/hub/language_model_configuration.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <thread>

#include "core/hub/scoped_environment.hpp"
#include "core/hub/snapshot_test_support.hpp"
#include "platform/sync/cancellation.hpp"
#include "support/fake_hub/fake_hub.hpp"

namespace noxtal {
namespace {

namespace fs = std::filesystem;
using namespace noxtal::snapshot_testing;
using Files = std::map<std::string, std::string>;

const std::string kTokenizer = R"({"model":{"type":"BPE","vocab":{"a":0,"b":1}}})";

LanguageModelConfigurationFromHub fromFiles(const ScratchFolder& tmp, const Files& files) {
  for (const auto& [name, content] : files) writeBytes(tmp.path() / name, content);
  return LanguageModelConfigurationFromHub::fromFolder(tmp.path());
}

std::string text(const Config& config) { return config.description(); }

TEST(LanguageModelConfiguration, FolderContents) {
  const struct {
    const char* name;
    Files files;
    // description() of the stored tokenizer configuration and of the accessor's answer ("-" = absent).
    std::string stored;
    std::string accessor;
    std::string modelType;
  } cases[] = {
      {"only tokenizer.json", {{"tokenizer.json", kTokenizer}}, "-", "-", "-"},
      {"class taken from the model type",
       {{"tokenizer.json", kTokenizer},
        {"tokenizer_config.json", R"({"bos_token":"<s>"})"},
        {"config.json", R"({"model_type":"whisper"})"}},
       R"({[bos_token: "<s>"]})",
       R"({[bos_token: "<s>", tokenizer_class: "WhisperTokenizer"]})",
       "whisper"},
      {"class already named",
       {{"tokenizer.json", kTokenizer},
        {"tokenizer_config.json", R"({"tokenizer_class":"GPT2Tokenizer"})"},
        {"config.json", R"({"model_type":"whisper"})"}},
       R"({[tokenizer_class: "GPT2Tokenizer"]})",
       R"({[tokenizer_class: "GPT2Tokenizer"]})",
       "whisper"},
      {"model type that is not a string",
       {{"tokenizer.json", kTokenizer}, {"tokenizer_config.json", R"({})"}, {"config.json", R"({"model_type":3})"}},
       "{[:]}",
       "{[:]}",
       "-"},
      {".jinja wins over .json",
       {{"tokenizer.json", kTokenizer},
        {"tokenizer_config.json", R"({"chat_template":"old"})"},
        {"chat_template.jinja", "{{ jinja }}"},
        {"chat_template.json", R"({"chat_template":"json"})"}},
       R"({[chat_template: "{{ jinja }}"]})",
       R"({[chat_template: "{{ jinja }}"]})",
       "-"},
      {".json template under chat_template",
       {{"tokenizer.json", kTokenizer},
        {"tokenizer_config.json", R"({"a":1})"},
        {"chat_template.json", R"({"chat_template":"T"})"}},
       R"({[a: 1, chat_template: "T"]})",
       R"({[a: 1, chat_template: "T"]})",
       "-"},
      {".json template that is an array",
       {{"tokenizer.json", kTokenizer},
        {"tokenizer_config.json", R"({"a":1})"},
        {"chat_template.json", R"({"chat_template":["x"]})"}},
       "{[a: 1]}",
       "{[a: 1]}",
       "-"},
      {"template without tokenizer_config.json",
       {{"tokenizer.json", kTokenizer}, {"chat_template.jinja", "T"}, {"config.json", R"({"model_type":"llama"})"}},
       R"({[chat_template: "T"]})",
       R"({[chat_template: "T", tokenizer_class: "LlamaTokenizer"]})",
       "llama"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchFolder tmp;
    const auto loader = fromFiles(tmp, c.files);
    const auto& all = loader.configurations();
    EXPECT_EQ(all.tokenizerConfig ? text(*all.tokenizerConfig) : "-", c.stored);
    const auto accessor = loader.tokenizerConfig();
    EXPECT_EQ(accessor ? text(*accessor) : "-", c.accessor);
    EXPECT_EQ(loader.modelType().value_or("-"), c.modelType);
    EXPECT_EQ(loader.tokenizerData()["model"]["type"], Config("BPE"));
  }
}

TEST(LanguageModelConfiguration, Failures) {
  const struct {
    const char* name;
    Files files;
    Hub::HubClientError::Case errorCase;
    std::string description = {};  // checked when not empty
  } cases[] = {
      {"tokenizer.json missing",
       {{"config.json", "{}"}},
       Hub::HubClientError::Case::configurationMissing,
       "Required configuration file missing: tokenizer.json"},
      {"top level is an array", {{"tokenizer.json", "[1, 2]"}}, Hub::HubClientError::Case::parse},
      {"not JSON",
       {{"tokenizer.json", kTokenizer}, {"config.json", "{\"a\":"}},
       Hub::HubClientError::Case::jsonSerialization},
      {"template not UTF-8",
       {{"tokenizer.json", kTokenizer}, {"chat_template.jinja", "bad \xC3\x28 text"}},
       Hub::HubClientError::Case::fileSystemError},
      {"tokenizer.json is a folder", {{"tokenizer.json/x", "{}"}}, Hub::HubClientError::Case::fileSystemError},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchFolder tmp;
    const auto loader = fromFiles(tmp, c.files);
    // Every reader sees the same error.
    for (int reader = 0; reader < 2; ++reader) {
      try {
        reader == 0 ? (void)loader.tokenizerConfig() : (void)loader.tokenizerData();
        ADD_FAILURE() << "no error";
      } catch (const Hub::HubClientError& error) {
        EXPECT_EQ(error.errorCase(), c.errorCase) << error.what();
        if (!c.description.empty()) {
          EXPECT_EQ(error.what(), c.description);
        }
      }
    }
  }
  ScratchFolder tmp;
  writeBytes(tmp.path() / "config.json", "nope");
  try {
    hubConfiguration(tmp.path() / "config.json");
    ADD_FAILURE() << "no error";
  } catch (const Hub::HubClientError& error) {
    EXPECT_EQ(error.message(), "JSON Serialization failed for " + (tmp.path() / "config.json").string() +
                                   ". Please verify that you have set the HF_TOKEN environment variable.");
    EXPECT_EQ(error.fileURL(), tmp.path() / "config.json");
  }
}

TEST(LanguageModelConfiguration, ByteOrderMarksInsideStringsSurviveExactlyOnce) {
  ScratchFolder tmp;
  const std::string bom = "\xEF\xBB\xBF";
  writeBytes(tmp.path() / "tokenizer.json", "{\"vocab\":{\"" + bom + "hi\":0,\"" + bom + "\":1,\"a" + bom + "\":2}}");
  const Config config = hubConfiguration(tmp.path() / "tokenizer.json");
  const Config::Dictionary& vocab = *config["vocab"].dictionaryValue();
  std::vector<std::u16string> keys;
  for (const auto& [key, value] : vocab) keys.push_back(key.value());
  EXPECT_EQ(keys, (std::vector<std::u16string>{u"a\uFEFF", u"\uFEFF", u"\uFEFFhi"}));
  EXPECT_EQ(vocab.at(BinaryDistinctString(std::u16string(u"\uFEFFhi"))), Config(0));

  // A mark in front of the whole text is not part of any value.
  writeBytes(tmp.path() / "config.json", bom + R"({"k":"v"})");
  EXPECT_EQ(text(hubConfiguration(tmp.path() / "config.json")), R"({[k: "v"]})");
}

TEST(LanguageModelConfiguration, CapitalizedModelTypes) {
  const std::pair<const char*, const char*> cases[] = {
      {"whisper", "Whisper"},   {"WHISPER", "Whisper"},     {"t5-base", "T5-Base"},
      {"gpt_neox", "Gpt_neox"}, {"two words", "Two Words"}, {"", ""},
      {"élan", "Élan"}};
  for (const auto& [in, out] : cases) EXPECT_EQ(capitalized(in), out) << in;
}

class LanguageModelConfigurationHubTest : public ::testing::Test {
 protected:
  void SetUp() override {
    served_ = tmp_.path() / "served";
    writeBytes(served_ / "tokenizer.json", kTokenizer);
    writeBytes(served_ / "tokenizer_config.json", R"({"bos_token":"<s>"})");
    writeBytes(served_ / "config.json", R"({"model_type":"whisper"})");
    writeBytes(served_ / "model.bin", "weights that a tokenizer never needs");
    writeBytes(served_ / "sub/config.json", "{}");
    hub_.addRepository("owner/tok", served_);
  }

  HubApiWrapper wrapper(std::shared_ptr<platform::net::HttpTransport> transport = nullptr) const {
    HubApi api(tmp_.path() / "cache", std::string(), hub_.endpoint(), false, false);
    if (transport) api.transport = std::move(transport);
    return HubApiWrapper(std::move(api));
  }

  testing::ScopedEnvironment env_;
  ScratchFolder tmp_;
  fake_hub::FakeHub hub_;
  fs::path served_;
};

TEST_F(LanguageModelConfigurationHubTest, FetchesOnlyTheConfigurationFilesAtTheTop) {
  const auto loader = LanguageModelConfigurationFromHub::fromHub("owner/tok", "main", wrapper());
  std::vector<std::thread> readers;
  std::vector<std::string> seen(4);
  for (std::size_t i = 0; i < seen.size(); ++i) {
    readers.emplace_back([&, i] { seen[i] = text(*loader.tokenizerConfig()); });
  }
  for (auto& reader : readers) reader.join();
  for (const auto& s : seen) EXPECT_EQ(s, R"({[bos_token: "<s>", tokenizer_class: "WhisperTokenizer"]})");
  EXPECT_EQ(hub_.requestCount("HEAD"), 3u);
  EXPECT_EQ(hub_.requestCount("HEAD", "model.bin"), 0u);
  EXPECT_EQ(hub_.requestCount("HEAD", "sub/"), 0u);
  EXPECT_TRUE(fs::exists(tmp_.path() / "cache/models/owner/tok/tokenizer.json"));
}

TEST_F(LanguageModelConfigurationHubTest, HubErrorsReachTheReaders) {
  const auto missing = LanguageModelConfigurationFromHub::fromHub("owner/none", "main", wrapper());
  try {
    missing.tokenizerData();
    ADD_FAILURE() << "no error";
  } catch (const Hub::HubClientError& error) {
    EXPECT_EQ(error.errorCase(), Hub::HubClientError::Case::fileNotFound);
  }

  auto offline = std::make_shared<FailingTransport>(
      wrapper().impl().transport,
      [](const platform::net::Request& r) { return r.method == platform::net::Method::head; },
      platform::net::TransportErrorCode::notConnectedToInternet);
  const auto disconnected = LanguageModelConfigurationFromHub::fromHub("owner/tok", "main", wrapper(offline));
  try {
    disconnected.modelType();
    ADD_FAILURE() << "no error";
  } catch (const Hub::HubClientError& error) {
    EXPECT_EQ(error.errorCase(), Hub::HubClientError::Case::networkError);
    ASSERT_TRUE(error.transportError());
    EXPECT_EQ(error.transportError()->code(), platform::net::TransportErrorCode::notConnectedToInternet);
  }
}

// The hub answers nothing for a minute: only a cancelled fetch ends before that.
void stallEveryRequest(fake_hub::FakeHub& hub) {
  fake_hub::Fault stall;
  stall.stall = std::chrono::milliseconds(60000);
  hub.addFault(stall);
}

TEST_F(LanguageModelConfigurationHubTest, CallersStopTokenCancelsTheFetch) {
  stallEveryRequest(hub_);
  std::stop_source caller;
  const auto loader = LanguageModelConfigurationFromHub::fromHub("owner/tok", "main", wrapper(), caller.get_token());
  caller.request_stop();
  EXPECT_THROW(loader.tokenizerData(), platform::sync::CancellationError);
  EXPECT_THROW(loader.modelType(), platform::sync::CancellationError) << "every reader sees the one outcome";
  EXPECT_EQ(hub_.requestCount("HEAD"), 0u);

  std::stop_source early;
  early.request_stop();
  const auto folder = LanguageModelConfigurationFromHub::fromFolder(served_, early.get_token());
  EXPECT_THROW(folder.tokenizerData(), platform::sync::CancellationError);
}

TEST_F(LanguageModelConfigurationHubTest, DestroyingTheLastCopyCancelsThenJoinsTheWork) {
  stallEveryRequest(hub_);
  {
    auto loader = LanguageModelConfigurationFromHub::fromHub("owner/tok", "main", wrapper());
    const auto copy = loader;
    loader = LanguageModelConfigurationFromHub::fromFolder(served_);
    EXPECT_EQ(text(*loader.tokenizerConfig()), R"({[bos_token: "<s>", tokenizer_class: "WhisperTokenizer"]})");
  }
  // Both works are over: the stalled fetch was cancelled rather than waited for, and never got as
  // far as asking for a file.
  EXPECT_EQ(hub_.requestCount("HEAD"), 0u);
  EXPECT_FALSE(fs::exists(tmp_.path() / "cache/models/owner/tok/tokenizer.json"));
}

}  // namespace
}  // namespace noxtal
