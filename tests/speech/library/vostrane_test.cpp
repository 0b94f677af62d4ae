// The speech library's main class: construction from a configuration, model set-up, loading,
// prewarming, the tokenizer, unloading and their failures, on model folders written by the
// tests (stub mel and encoder programs, the scripted decoder) with small tokenizers.
#include "speech/pipeline/vostrane.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "support/fake_hub/fake_hub.hpp"
#include "platform/sync/cancellation.hpp"
#include "speech/audio/audio_processor.hpp"
#include "speech/decoding/text_decoder.hpp"
#include "speech/model/whisper_error.hpp"
#include "support/expect_error.hpp"
#include "library_fixture.hpp"

namespace vostrane {
namespace {

namespace fs = std::filesystem;
using librarytest::LogLines;
using noxtal::ModelState;

using Transition = std::pair<std::optional<ModelState>, ModelState>;

// Records every state change of an instance.
struct StateLog {
  std::mutex mutex;
  std::vector<Transition> transitions;
  void attach(Vostrane& instance) {
    instance.setModelStateCallback([this](std::optional<ModelState> old, ModelState now) {
      std::lock_guard<std::mutex> guard(mutex);
      transitions.emplace_back(old, now);
    });
  }
  std::vector<Transition> take() {
    std::lock_guard<std::mutex> guard(mutex);
    return std::exchange(transitions, {});
  }
};

class VostraneSetUp : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { librarytest::registerTestPrograms(); }

  librarytest::ScopedHubEnvironment environment_;
  testsupport::TemporaryFolder temporary_{"library_vostrane"};
  LogLines log_;

  // A model folder with the models of `set` and, unless told otherwise, its tokenizer.
  fs::path modelFolder(const std::string& name, librarytest::ModelSet set = {}, bool tokenizer = true) {
    const fs::path folder = temporary_ / name;
    librarytest::writeModels(folder, set);
    if (tokenizer) librarytest::writeTokenizer(folder, set.vocabularySize);
    return folder;
  }

  // Logs at debug level, never downloads, keeps tokenizers in the test's folder.
  VostraneConfig config() {
    VostraneConfig c;
    c.logLevel = noxtal::Logging::LogLevel::debug;
    c.download = false;
    c.tokenizerFolder = temporary_ / "tokenizers";
    return c;
  }

  static bool hasModel(const std::shared_ptr<FeatureExtracting>& c) {
    return std::dynamic_pointer_cast<WhisperMLModel>(c)->model() != nullptr;
  }
  static bool hasModel(const std::shared_ptr<AudioEncoding>& c) {
    return std::dynamic_pointer_cast<WhisperMLModel>(c)->model() != nullptr;
  }
  static bool hasModel(const std::shared_ptr<TextDecoding>& c) {
    return std::dynamic_pointer_cast<WhisperMLModel>(c)->model() != nullptr;
  }
  static bool anyModel(const Vostrane& v) {
    return hasModel(v.featureExtractor()) || hasModel(v.audioEncoder()) || hasModel(v.textDecoder());
  }
};

TEST_F(VostraneSetUp, AllAbsentConfigurationGivesDefaultsAndLoadsNothing) {
  VostraneConfig c;
  c.download = false;
  const auto v = Vostrane::create(c);
  EXPECT_NE(std::dynamic_pointer_cast<AudioProcessor>(v->audioProcessor()), nullptr);
  EXPECT_NE(std::dynamic_pointer_cast<FeatureExtractor>(v->featureExtractor()), nullptr);
  EXPECT_NE(std::dynamic_pointer_cast<AudioEncoder>(v->audioEncoder()), nullptr);
  EXPECT_NE(std::dynamic_pointer_cast<TextDecoder>(v->textDecoder()), nullptr);
  EXPECT_NE(std::dynamic_pointer_cast<SegmentSeeker>(v->segmentSeeker()), nullptr);
  EXPECT_EQ(v->voiceActivityDetector(), nullptr);
  EXPECT_EQ(v->modelCompute(), ModelComputeOptions(platform::ml::ComputeUnits::cpuAndGPU,
                                                   platform::ml::ComputeUnits::cpuAndNeuralEngine,
                                                   platform::ml::ComputeUnits::cpuAndNeuralEngine));
  EXPECT_EQ(v->audioInputOptions().channelMode, ChannelMode::sumChannels());
  EXPECT_FALSE(v->audioInputOptions().audioLoadingMode.isIncremental());
  EXPECT_EQ(v->modelFolder(), std::nullopt);
  EXPECT_EQ(v->tokenizerFolder(), std::nullopt);
  EXPECT_EQ(v->tokenizer(), nullptr);
  EXPECT_EQ(v->modelState(), ModelState::unloaded);
  EXPECT_EQ(v->modelVariant(), ModelVariant::tiny);
  EXPECT_EQ(v->currentTimings(), TranscriptionTimings{});
  EXPECT_FALSE(anyModel(*v));
  EXPECT_EQ(noxtal::Logging::shared().logLevel(), noxtal::Logging::LogLevel::info);

  // verbose false silences the library whatever the level says; the download base stands in
  // for a missing tokenizer folder.
  c.verbose = false;
  c.logLevel = noxtal::Logging::LogLevel::debug;
  c.downloadBase = temporary_ / "base";
  EXPECT_EQ(Vostrane::create(c)->tokenizerFolder(), temporary_ / "base");
  EXPECT_EQ(noxtal::Logging::shared().logLevel(), noxtal::Logging::LogLevel::none);
}

TEST_F(VostraneSetUp, ConfiguredComponentsAndFiltersAreUsed) {
  auto decoder = std::make_shared<TextDecoder>();
  decoder->setLogitsFilters(std::vector<std::shared_ptr<const LogitsFiltering>>{});
  auto filter = std::make_shared<const SuppressBlankFilter>(SpecialTokens{}, 0);
  VostraneConfig c = config();
  c.textDecoder = decoder;
  c.logitsFilters = std::vector<std::shared_ptr<const LogitsFiltering>>{filter};
  c.computeOptions = ModelComputeOptions(platform::ml::ComputeUnits::cpuOnly, platform::ml::ComputeUnits::cpuOnly,
                                         platform::ml::ComputeUnits::cpuOnly);
  c.audioInputConfig = AudioInputOptions(ChannelMode::specificChannel(1), AudioLoadingMode::incremental());
  const auto v = Vostrane::create(c);
  EXPECT_EQ(v->textDecoder(), decoder);
  ASSERT_TRUE(decoder->logitsFilters());
  ASSERT_EQ(decoder->logitsFilters()->size(), 1u);
  EXPECT_EQ(decoder->logitsFilters()->front(), filter);
  EXPECT_EQ(v->modelCompute().melCompute, platform::ml::ComputeUnits::cpuOnly);
  EXPECT_EQ(v->audioInputConfig().channelMode, ChannelMode::specificChannel(1));
  // The components handed to a run are the instance's own.
  EXPECT_EQ(v->components().textDecoder, decoder);
}

TEST_F(VostraneSetUp, FolderPathIgnoresDownloadModelAndRepository) {
  fake_hub::FakeHub hub;
  VostraneConfig c = config();
  c.modelFolder = (temporary_ / "nowhere").string();
  c.download = true;
  c.model = "tiny";
  c.modelRepo = "someone/else";
  c.modelEndpoint = hub.endpoint();
  c.load = false;
  const auto v = Vostrane::create(c);
  EXPECT_EQ(v->modelFolder(), temporary_ / "nowhere");
  EXPECT_EQ(v->modelState(), ModelState::unloaded);
  EXPECT_EQ(hub.requestCount(), 0u);
}

TEST_F(VostraneSetUp, ConstructionRunsOverriddenSteps) {
  struct Counting : Vostrane {
    Counting(ConstructionKey key, const VostraneConfig& c) : Vostrane(key, c) {}
    void setupModels(const std::optional<std::string>&, const std::optional<fs::path>&,
                     const std::optional<std::string>&, const std::optional<std::string>&,
                     const std::optional<std::string>& folder, bool, const std::string& remoteConfigName,
                     const std::string& endpoint, std::stop_token) override {
      setups.push_back(remoteConfigName + " " + endpoint + " " + folder.value_or("-"));
    }
    void loadModels(bool prewarmMode, std::stop_token) override { loads.push_back(prewarmMode); }
    std::vector<std::string> setups;
    std::vector<bool> loads;
  };
  VostraneConfig c = config();
  c.modelFolder = "/models";
  c.prewarm = true;
  const auto v = Vostrane::create<Counting>(c);
  EXPECT_EQ(v->setups, (std::vector<std::string>{"config.json https://huggingface.co /models"}));
  // prewarmModels reaches the override too, then the load the folder asks for.
  EXPECT_EQ(v->loads, (std::vector<bool>{true, false}));
}

TEST_F(VostraneSetUp, LoadReportsStatesTimingsAndTheVariantsTokenizer) {
  VostraneConfig c = config();
  c.modelFolder = modelFolder("large", {.vocabularySize = 51866, .embedSize = 1280}).string();
  c.load = false;
  const auto v = Vostrane::create(c);
  StateLog states;
  states.attach(*v);
  v->loadModels();
  EXPECT_EQ(states.take(), (std::vector<Transition>{{ModelState::unloaded, ModelState::loading},
                                                    {ModelState::loading, ModelState::loaded}}));
  EXPECT_EQ(v->modelVariant(), ModelVariant::largev3);
  ASSERT_TRUE(v->tokenizer());
  librarytest::expectTokenizerOfLayout(*v->tokenizer(), 51866);
  EXPECT_EQ(v->textDecoder()->tokenizer(), v->tokenizer());
  EXPECT_TRUE(v->textDecoder()->isModelMultilingual());
  EXPECT_TRUE(hasModel(v->featureExtractor()) && hasModel(v->audioEncoder()) && hasModel(v->textDecoder()));
  const TranscriptionTimings t = v->currentTimings();
  EXPECT_GT(t.decoderLoadTime, 0);
  EXPECT_GT(t.encoderLoadTime, 0);
  EXPECT_GT(t.tokenizerLoadTime, 0);
  EXPECT_GE(t.modelLoading, t.decoderLoadTime + t.encoderLoadTime + t.tokenizerLoadTime);
  EXPECT_EQ(t.prewarmLoadTime, 0);
  EXPECT_EQ(t.decoderSpecializationTime, 0);
  EXPECT_TRUE(log_.contains("Loaded models for whisper size: large-v3 in "));

  // A second load reloads the models and keeps the tokenizer.
  const auto tokenizer = v->tokenizer();
  log_.clear();
  v->loadModels();
  EXPECT_EQ(v->tokenizer(), tokenizer);
  EXPECT_EQ(log_.count("Tokenizer already exists on Vostrane, skipping load"), 1u);
  EXPECT_EQ(log_.count("Loading text decoder"), 1u);

  // Unloading: two calls, no model left, tokenizer and folder kept.
  states.take();
  v->unloadModels();
  EXPECT_EQ(states.take(), (std::vector<Transition>{{ModelState::loaded, ModelState::unloading},
                                                    {ModelState::unloading, ModelState::unloaded}}));
  EXPECT_FALSE(anyModel(*v));
  EXPECT_EQ(v->tokenizer(), tokenizer);
  EXPECT_TRUE(v->modelFolder());
  EXPECT_TRUE(log_.contains("Unloaded all models"));
}

TEST_F(VostraneSetUp, PrewarmThenLoadAddsThePrewarmTime) {
  VostraneConfig c = config();
  c.modelFolder = modelFolder("tiny", {.vocabularySize = 51865, .embedSize = 384}).string();
  c.prewarm = true;
  c.load = false;
  const auto v = Vostrane::create(c);
  EXPECT_EQ(v->modelState(), ModelState::prewarmed);
  EXPECT_FALSE(anyModel(*v));
  EXPECT_EQ(v->tokenizer(), nullptr);
  const TranscriptionTimings prewarmed = v->currentTimings();
  EXPECT_GT(prewarmed.prewarmLoadTime, 0);
  EXPECT_GT(prewarmed.decoderSpecializationTime, 0);
  EXPECT_GT(prewarmed.encoderSpecializationTime, 0);
  EXPECT_EQ(prewarmed.decoderLoadTime, 0);

  StateLog states;
  states.attach(*v);
  const auto before = std::chrono::steady_clock::now();
  v->loadModels();
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - before).count();
  EXPECT_EQ(states.take(), (std::vector<Transition>{{ModelState::prewarmed, ModelState::loading},
                                                    {ModelState::loading, ModelState::loaded}}));
  const TranscriptionTimings t = v->currentTimings();
  EXPECT_EQ(t.prewarmLoadTime, prewarmed.prewarmLoadTime);
  EXPECT_EQ(t.decoderSpecializationTime, prewarmed.decoderSpecializationTime);
  EXPECT_GT(t.decoderLoadTime, 0);
  EXPECT_GE(t.modelLoading, t.prewarmLoadTime + t.decoderLoadTime + t.encoderLoadTime);
  EXPECT_LE(t.modelLoading - t.prewarmLoadTime, wall);
  EXPECT_EQ(v->modelVariant(), ModelVariant::tiny);
}

TEST_F(VostraneSetUp, EnglishOnlyVocabularyIsNotMultilingual) {
  VostraneConfig c = config();
  c.modelFolder = modelFolder("tiny.en", {.vocabularySize = 51864, .embedSize = 384}).string();
  const auto v = Vostrane::create(c);
  EXPECT_EQ(v->modelState(), ModelState::loaded);
  EXPECT_EQ(v->modelVariant(), ModelVariant::tinyEn);
  EXPECT_FALSE(v->textDecoder()->isModelMultilingual());
  librarytest::expectTokenizerOfLayout(*v->tokenizer(), 51864);
}

TEST_F(VostraneSetUp, ReplacedModelFolderGetsItsOwnTokenizer) {
  VostraneConfig c = config();
  c.modelFolder = modelFolder("large", {.vocabularySize = 51866, .embedSize = 1280}).string();
  const auto v = Vostrane::create(c);
  const auto first = v->tokenizer();
  v->setModelFolder(modelFolder("tiny.en", {.vocabularySize = 51864, .embedSize = 384}));
  v->loadModels();
  EXPECT_EQ(v->modelVariant(), ModelVariant::tinyEn);
  EXPECT_FALSE(v->textDecoder()->isModelMultilingual());
  ASSERT_NE(v->tokenizer(), first);
  librarytest::expectTokenizerOfLayout(*v->tokenizer(), 51864);
  EXPECT_EQ(v->textDecoder()->tokenizer(), v->tokenizer());
  EXPECT_FALSE(log_.contains("Tokenizer already exists on Vostrane, skipping load"));

  // A tokenizer the caller set is kept across loads.
  v->setTokenizer(first);
  v->loadModels();
  EXPECT_EQ(v->tokenizer(), first);
}

// Each bad input: a WhisperError with its message, state unloaded, no model held.
TEST_F(VostraneSetUp, FailedLoadsLeaveNothingLoaded) {
  const auto expectCleanFailure = [&](Vostrane& v, WhisperError::Case errorCase, const std::string& messageStart) {
    StateLog states;
    states.attach(v);
    try {
      v.loadModels();
      ADD_FAILURE() << "no error, expected " << messageStart;
    } catch (const WhisperError& e) {
      EXPECT_EQ(e.errorCase(), errorCase);
      EXPECT_EQ(e.message().substr(0, messageStart.size()), messageStart) << e.message();
    }
    v.setModelStateCallback(nullptr);
    const auto transitions = states.take();
    ASSERT_EQ(transitions.size(), 2u);
    EXPECT_EQ(transitions[0].second, ModelState::loading);
    EXPECT_EQ(transitions[1], Transition(ModelState::loading, ModelState::unloaded));
    EXPECT_EQ(v.modelState(), ModelState::unloaded);
    EXPECT_FALSE(anyModel(v));
  };

  auto v = Vostrane::create(config());
  expectCleanFailure(*v, WhisperError::Case::modelsUnavailable, "Model folder is not set.");

  const fs::path noDecoder = modelFolder("no-decoder", {.decoder = false});
  v->setModelFolder(noDecoder);
  expectCleanFailure(*v, WhisperError::Case::modelsUnavailable,
                     "Model file not found at " + (noDecoder / "TextDecoder.mlmodelc").string());

  // The mel model loads before the decoder fails: it is released again.
  const fs::path corrupt = modelFolder("corrupt");
  testsupport::writeFile(corrupt / "TextDecoder.mlmodelc" / "model.json", "{\"formatVersion\": ");
  v->setModelFolder(corrupt);
  expectCleanFailure(*v, WhisperError::Case::modelsUnavailable,
                     "Model failed to load at " + (corrupt / "TextDecoder.mlmodelc").string() + ": ");

  // No tokenizer in the folder, the tokenizer folder or the hub (a closed port).
  v->setModelFolder(modelFolder("no-tokenizer", {}, false));
  expectCleanFailure(*v, WhisperError::Case::tokenizerUnavailable, "Tokenizer for openai/whisper-large-v3 not found in ");
  EXPECT_EQ(v->tokenizer(), nullptr);

  // The encoder does not tell its width, so the variant and its tokenizer cannot be chosen.
  v->setModelFolder(modelFolder("no-width", {.encoderOutput = "embeddings"}));
  expectCleanFailure(*v, WhisperError::Case::tokenizerUnavailable, "Tokenizer is unavailable");

  // Construction with a bad folder fails with the same error.
  VostraneConfig c = config();
  c.modelFolder = noDecoder.string();
  testsupport::expectError<WhisperError>([&] { Vostrane::create(c); }, WhisperError::Case::modelsUnavailable,
                                         "Model file not found at " + (noDecoder / "TextDecoder.mlmodelc").string());

  // The instance loads normally afterwards.
  v->setModelFolder(modelFolder("good"));
  v->loadModels();
  EXPECT_EQ(v->modelState(), ModelState::loaded);
}

TEST_F(VostraneSetUp, CancelledLoadStopsBeforeTheModelsAndLeavesNothing) {
  VostraneConfig c = config();
  c.modelFolder = modelFolder("large").string();
  c.load = false;
  const auto v = Vostrane::create(c);
  std::stop_source stop;
  stop.request_stop();
  EXPECT_THROW(v->loadModels(false, stop.get_token()), platform::sync::CancellationError);
  EXPECT_EQ(v->modelState(), ModelState::unloaded);
  EXPECT_FALSE(anyModel(*v));
  EXPECT_EQ(v->tokenizer(), nullptr);
}

TEST_F(VostraneSetUp, ClearStateResetsTheTimings) {
  VostraneConfig c = config();
  c.modelFolder = modelFolder("large").string();
  const auto v = Vostrane::create(c);
  EXPECT_GT(v->currentTimings().modelLoading, 0);
  v->clearState();
  EXPECT_EQ(v->currentTimings(), TranscriptionTimings{});
}

// Concurrent callers of one unloaded instance load its models once.
TEST_F(VostraneSetUp, EnsureLoadedLoadsOnceForConcurrentCallers) {
  VostraneConfig c = config();
  c.modelFolder = modelFolder("large").string();
  c.load = false;
  const auto v = Vostrane::create(c);
  StateLog states;
  states.attach(*v);
  std::atomic<int> ready{0};
  {
    std::vector<std::jthread> workers;
    for (int i = 0; i < 4; ++i) {
      workers.emplace_back([&] {
        ++ready;
        while (ready.load() < 4) std::this_thread::yield();
        v->ensureLoaded();
        EXPECT_EQ(v->modelState(), ModelState::loaded);
        EXPECT_NE(v->components().tokenizer, nullptr);
      });
    }
  }
  EXPECT_EQ(states.take(), (std::vector<Transition>{{ModelState::unloaded, ModelState::loading},
                                                    {ModelState::loading, ModelState::loaded}}));
  v->ensureLoaded();
  EXPECT_TRUE(states.take().empty());
}

}  // namespace
}  // namespace vostrane
