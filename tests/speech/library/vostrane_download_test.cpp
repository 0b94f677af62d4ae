// Model discovery and download against the fake hub: the model-support file or the built-in
// table, the "*openai*" retry, "No" / "Multiple" answers, rewrapped errors, and set-up through
// a configuration.
#include <gtest/gtest.h>

#include "support/fake_hub/fake_hub.hpp"
#include "speech/model/whisper_error.hpp"
#include "speech/pipeline/vostrane.hpp"
#include "support/expect_error.hpp"
#include "library_fixture.hpp"

namespace vostrane {
namespace {

namespace fs = std::filesystem;
using librarytest::LogLines;

class VostraneDownload : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { librarytest::registerTestPrograms(); }

  librarytest::ScopedHubEnvironment environment_;
  testsupport::TemporaryFolder temporary_{"library_download"};
  fake_hub::FakeHub hub_;
  fs::path served_ = temporary_ / "served";
  fs::path base_ = temporary_ / "cache";
  LogLines log_;
  static constexpr const char* kRepo = "demo/speech-models";

  void SetUp() override { environment_.set("HF_ENDPOINT", hub_.endpoint()); }

  // A model folder of the served repository (the three models and a tokenizer).
  void serveModel(const std::string& folder) {
    librarytest::writeModels(served_ / folder, {});
    librarytest::writeTokenizer(served_ / folder, 51866);
  }
  // A model-support file with one row that every device matches.
  void serveConfig(const std::string& defaultModel, const std::string& name = "config.json") {
    const platform::json::Json config = {
        {"name", "demo-models"},
        {"version", "1"},
        {"device_support",
         {{{"identifiers", {""}}, {"models", {{"default", defaultModel}, {"supported", {defaultModel, "openai_whisper-tiny.en"}}}}}}}};
    testsupport::writeFile(served_ / name, platform::json::dump(config));
  }
  void publish() { hub_.addRepository(kRepo, served_); }

  VostraneConfig config() {
    VostraneConfig c;
    c.logLevel = noxtal::Logging::LogLevel::debug;
    c.downloadBase = base_;
    c.modelRepo = kRepo;
    c.modelEndpoint = hub_.endpoint();
    return c;
  }
  fs::path download(const std::string& variant) {
    return Vostrane::download(variant, base_, false, kRepo, std::nullopt, hub_.endpoint());
  }
};

TEST_F(VostraneDownload, DefaultModelComesFromTheRepositorysConfigAndIsNotLoaded) {
  serveModel("openai_whisper-large-v3-v20240930_626MB");
  serveModel("openai_whisper-tiny");
  serveConfig("openai_whisper-large-v3-v20240930_626MB");
  publish();
  const auto v = Vostrane::create(config());
  ASSERT_TRUE(v->modelFolder());
  EXPECT_EQ(v->modelFolder()->filename(), "openai_whisper-large-v3-v20240930_626MB");
  EXPECT_TRUE(fs::exists(*v->modelFolder() / "TextDecoder.mlmodelc" / "model.json"));
  EXPECT_FALSE(fs::exists(v->modelFolder()->parent_path() / "openai_whisper-tiny"));
  // load absent and no configured folder: downloaded, not loaded.
  EXPECT_EQ(v->modelState(), noxtal::ModelState::unloaded);
  // The downloaded folder loads, its tokenizer from the folder itself.
  v->loadModels();
  EXPECT_EQ(v->modelVariant(), ModelVariant::largev3);
}

TEST_F(VostraneDownload, WithoutAConfigFileTheBuiltInTableChooses) {
  const std::string builtIn = fallbackModelSupportConfig().modelSupport(Vostrane::deviceName()).defaultModel;
  serveModel(builtIn);
  publish();
  EXPECT_EQ(Vostrane::recommendedRemoteModels(kRepo, base_, std::nullopt, "config.json", hub_.endpoint()),
            Vostrane::recommendedModels());
  EXPECT_TRUE(log_.contains("No config files found matching \"config.json\" in demo/speech-models, using fallback"));
  const auto v = Vostrane::create(config());
  ASSERT_TRUE(v->modelFolder());
  EXPECT_EQ(v->modelFolder()->filename(), builtIn);
}

TEST_F(VostraneDownload, ModelSupportFileFallsBackOnErrorsAndTakesTheFirstOfSeveral) {
  serveConfig("openai_whisper-tiny", "config.json");
  serveConfig("openai_whisper-base", "b/config.json");
  publish();
  const auto fetched = Vostrane::fetchModelSupportConfig(kRepo, base_, std::nullopt, "*config.json", hub_.endpoint());
  EXPECT_EQ(fetched.repoName(), "demo-models");
  EXPECT_TRUE(log_.contains("Multiple config files found (2): [\"b/config.json\", \"config.json\"]. "
                            "Using first matching file: b/config.json") ||
              log_.contains("Multiple config files found (2): [\"config.json\", \"b/config.json\"]. "
                            "Using first matching file: config.json"));

  testsupport::writeFile(served_ / "config.json", "not json");
  const auto broken = Vostrane::fetchModelSupportConfig(kRepo, base_, std::nullopt, "config.json", hub_.endpoint());
  EXPECT_EQ(broken.repoName(), fallbackModelSupportConfig().repoName());
  EXPECT_TRUE(log_.contains("Fetch model support config failed with error: "));

  // fetchAvailableModels lists each supported name once, in the variant order.
  serveConfig("openai_whisper-tiny");
  EXPECT_EQ(Vostrane::fetchAvailableModels(kRepo, {"*tiny*", "*.en"}, temporary_ / "fresh", std::nullopt, "config.json",
                                           hub_.endpoint()),
            (std::vector<std::string>{"openai_whisper-tiny.en/", "openai_whisper-tiny/"}));
}

TEST_F(VostraneDownload, SeveralFoldersRetryWithTheOpenaiPattern) {
  serveModel("openai_whisper-large-v3");
  serveModel("distil-whisper_distil-large-v3");
  publish();
  std::vector<double> fractions;
  const fs::path folder = Vostrane::download("large-v3", base_, false, kRepo, std::nullopt, hub_.endpoint(),
                                             [&](const noxtal::Progress& p) { fractions.push_back(p.fractionCompleted()); });
  EXPECT_EQ(folder.filename(), "openai_whisper-large-v3");
  EXPECT_TRUE(fs::exists(folder / "AudioEncoder.mlmodelc" / "model.json"));
  EXPECT_FALSE(fs::exists(folder.parent_path() / "distil-whisper_distil-large-v3"));
  EXPECT_EQ(hub_.requestCount("GET", "distil"), 0u);
  EXPECT_TRUE(log_.contains("Multiple models found matching \"*large-v3/*\""));
  EXPECT_TRUE(log_.contains("Searching for models matching \"*openai*large-v3/*\" in demo/speech-models"));
  ASSERT_FALSE(fractions.empty());
  EXPECT_DOUBLE_EQ(fractions.back(), 1.0);
  EXPECT_TRUE(log_.contains("Progress: fraction completed 1.0000"));
}

TEST_F(VostraneDownload, NoneOrStillSeveralFoldersAreModelsUnavailable) {
  serveModel("openai_whisper-small");
  serveModel("openai_other-small");
  publish();
  testsupport::expectError<WhisperError>([&] { download("small"); }, WhisperError::Case::modelsUnavailable,
                                         "Multiple models found matching \"*openai*small/*\" in demo/speech-models");
  testsupport::expectError<WhisperError>([&] { download("medium"); }, WhisperError::Case::modelsUnavailable,
                                         "No models found matching \"*openai*medium/*\" in demo/speech-models");
  // Through set-up the error is rewrapped.
  VostraneConfig c = config();
  c.model = "medium";
  testsupport::expectError<WhisperError>(
      [&] { Vostrane::create(c); }, WhisperError::Case::modelsUnavailable,
      "Model not found. Please check the model or repo name and try again.\nError: No models found matching "
      "\"*openai*medium/*\" in demo/speech-models");
}

TEST_F(VostraneDownload, HubErrorsAreRewrappedBySetUp) {
  serveModel("openai_whisper-tiny");
  publish();
  hub_.addFault(fake_hub::Fault::answerStatus(500, "/api/models/"));
  VostraneConfig c = config();
  c.model = "tiny";
  try {
    Vostrane::create(c);
    FAIL() << "no error";
  } catch (const WhisperError& e) {
    EXPECT_EQ(e.errorCase(), WhisperError::Case::modelsUnavailable);
    const std::string prefix = "Model not found. Please check the model or repo name and try again.\nError: ";
    EXPECT_EQ(e.message().substr(0, prefix.size()), prefix);
    EXPECT_GT(e.message().size(), prefix.size());
  }
  // Directly, the hub's own error passes unchanged.
  try {
    download("tiny");
    ADD_FAILURE() << "no error";
  } catch (const WhisperError&) {
    ADD_FAILURE() << "the hub's error was replaced";
  } catch (const std::exception&) {
  }
}

TEST_F(VostraneDownload, FolderNamesOtherThanPlainNamesAreRefused) {
  // A listing whose only matches lie in "." or ".." would name the repository or its parent.
  hub_.setAnswer("/api/models/demo/speech-models/revision/main",
                 fake_hub::Answer{200,
                                  {{"Content-Type", "application/json"}},
                                  R"({"id": "demo/speech-models", "sha": "4d5f0a3b2c1e9f8a7b6c5d4e3f2a1b0c9d8e7f6a",
                                      "siblings": [{"rfilename": "../openai_whisper-tiny/model.json"},
                                                   {"rfilename": "./openai_whisper-tiny/model.json"}]})"});
  // The hub client refuses such a listing; nothing is downloaded and no folder is answered.
  EXPECT_THROW(download("tiny"), std::exception);
  EXPECT_EQ(hub_.requestCount("", "/resolve/"), 0u);
}

}  // namespace
}  // namespace vostrane
