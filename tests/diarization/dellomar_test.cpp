// The main class and the model-managed diarizer: construction rules, state sequences, the
// custom diarizer, loading on demand, concurrent ensureModelsLoaded and both RTTM forms.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "diarization/dellomar.hpp"
#include "diarization/dellomar_diarizer.hpp"
#include "diarization/dellomar_error.hpp"
#include "diarization/pipeline_test_support.hpp"
#include "diarization/pyannote_diarizer.hpp"

namespace dellomar {
namespace {

using namespace dellomar::testing;
using noxtal::ModelState;

// A diarizer that records what it was asked and answers with a fixed result.
class RecordingDiarizer final : public Diarizer {
 public:
  std::optional<std::filesystem::path> modelFolder() const override { return std::nullopt; }
  ModelState modelState() const override { return ModelState::unloaded; }
  void downloadModels(std::stop_token) override { ++downloads; }
  void loadModels(std::stop_token) override { ++loads; }
  void unloadModels() noexcept override { ++unloads; }
  DiarizationResult diarize(std::span<const float> audio, const DiarizationOptions*, const ProgressCallback&,
                            std::stop_token) override {
    ++diarizations;
    return DiarizationResult(7, static_cast<std::int64_t>(audio.size()), 3.0f, {}, nullptr, {});
  }
  std::atomic<int> downloads{0}, loads{0}, unloads{0}, diarizations{0};
};

class DellomarTest : public VoiceRepositoryTest {};

TEST_F(DellomarTest, ConfigurationMustBePyannoteOrCarryADiarizer) {
  auto plain = std::make_shared<DellomarConfig>(std::nullopt, true, false, noxtal::Logging::LogLevel::debug, true,
                                                nullptr);
  try {
    Dellomar dellomar(plain);
    FAIL() << "expected invalidConfiguration";
  } catch (const DellomarError& error) {
    EXPECT_EQ(error.errorCase(), DellomarError::Case::invalidConfiguration);
    EXPECT_STREQ(error.what(), "Config must be PyannoteConfig or provide custom diarizer");
  }
  EXPECT_EQ(noxtal::Logging::shared().logLevel(), noxtal::Logging::LogLevel::none) << "verbose false";

  auto custom = std::make_shared<RecordingDiarizer>();
  plain->diarizer = custom;
  Dellomar dellomar(plain);
  EXPECT_EQ(custom->downloads, 1);
  EXPECT_EQ(custom->loads, 1);
  dellomar.ensureModelsLoaded();  // not model-managed: untouched
  EXPECT_EQ(custom->loads, 1);
  const std::vector<float> samples(10, 0.0f);
  const DiarizationResult result = dellomar.diarize(samples);
  EXPECT_EQ(result.speakerCount, 7);
  EXPECT_EQ(custom->diarizations, 1);
  dellomar.unloadModels();
  EXPECT_EQ(custom->unloads, 1);

  // Replacing the diarizer leaves an operation in flight with the one it started with.
  auto other = std::make_shared<RecordingDiarizer>();
  dellomar.setDiarizer(other);
  EXPECT_EQ(dellomar.diarizer(), other);
  dellomar.diarize(samples);
  EXPECT_EQ(other->diarizations, 1);
  EXPECT_EQ(custom->diarizations, 1);
}

TEST_F(DellomarTest, StateSequencesOfTheModelManagedDiarizer) {
  auto config = voiceConfig(repo(), std::nullopt, 2, /*download=*/true, /*load=*/false);
  Dellomar dellomar(config);
  auto managed = std::dynamic_pointer_cast<DellomarDiarizer>(dellomar.diarizer());
  ASSERT_TRUE(managed);
  EXPECT_EQ(managed->loggerName(), "DellomarDiarizer");
  EXPECT_EQ(managed->modelState(), ModelState::downloaded);
  EXPECT_EQ(managed->modelFolder(), repo());

  std::mutex mutex;
  std::vector<std::pair<ModelState, ModelState>> changes;
  managed->setModelStateCallback([&](ModelState from, ModelState to) {
    const std::lock_guard lock(mutex);
    changes.emplace_back(from, to);
  });
  const auto samples = signalOf({{15, kVoiceA}});
  EXPECT_EQ(dellomar.diarize(samples).speakerCount, 1);  // loads first
  dellomar.unloadModels();
  EXPECT_EQ(dellomar.diarize(samples).speakerCount, 1);  // loads again
  managed->downloadModels();  // loaded: skipped
  const std::vector<std::pair<ModelState, ModelState>> expected{
      {ModelState::downloaded, ModelState::loading}, {ModelState::loading, ModelState::loaded},
      {ModelState::loaded, ModelState::unloading},   {ModelState::unloading, ModelState::unloaded},
      {ModelState::unloaded, ModelState::downloaded}, {ModelState::downloaded, ModelState::loading},
      {ModelState::loading, ModelState::loaded}};
  EXPECT_EQ(changes, expected);

  auto eager = Dellomar(voiceConfig(repo(), std::nullopt, 2, false, true));
  EXPECT_EQ(eager.diarizer()->modelState(), ModelState::loaded);
  auto idle = Dellomar(voiceConfig(repo(), std::nullopt, 2, false, false));
  EXPECT_EQ(idle.diarizer()->modelState(), ModelState::unloaded);
}

TEST_F(DellomarTest, DiarizeWithoutLoadedModelsFailsUnlessTheMainClassLoads) {
  auto managed = DellomarDiarizer::pyannote(voiceConfig(repo()), segmenterModelInfo(), embedderModelInfo(),
                                            pldaModelInfo());
  const auto samples = signalOf({{15, kVoiceB}});
  try {
    managed->diarize(samples, nullptr, nullptr);
    FAIL() << "expected modelUnavailable";
  } catch (const DellomarError& error) {
    EXPECT_EQ(error.errorCase(), DellomarError::Case::modelUnavailable);
    EXPECT_EQ(error.message(), "Pyannote models are not loaded");
  }
  auto config = voiceConfig(repo());
  config->diarizer = managed;
  Dellomar dellomar(config);
  EXPECT_EQ(dellomar.diarize(samples).speakerCount, 1);
}

TEST_F(DellomarTest, CustomOperationAndLoaderRules) {
  auto loader = std::make_shared<PyannoteModelLoader>(voiceConfig(repo()), segmenterModelInfo(), embedderModelInfo(),
                                                      pldaModelInfo());
  auto downloader = std::make_shared<noxtal::ModelDownloader>(defaultDellomarDownloadConfig());
  int calls = 0;
  DellomarDiarizer custom(loader, downloader, [&](std::span<const float>, const DiarizationOptions*,
                                                  const Diarizer::ProgressCallback&, std::stop_token) {
    ++calls;
    return DiarizationResult(3, 0, 1.0f, {}, nullptr, {});
  });
  EXPECT_EQ(custom.diarize({}, nullptr, nullptr).speakerCount, 3);
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(loader->models()) << "the loader is not touched";

  class OtherLoader final : public noxtal::ModelLoader {
   public:
    std::optional<std::string> modelFolder() const override { return std::nullopt; }
    std::string resolveModels(noxtal::ModelDownloader&, const ProgressCallback&, std::stop_token) override {
      return {};
    }
    void load(const std::string&, bool, std::stop_token) override {}
    void unload() noexcept override {}
  };
  try {
    DellomarDiarizer refused(std::make_shared<OtherLoader>(), downloader, nullptr);
    FAIL() << "expected invalidConfiguration";
  } catch (const DellomarError& error) {
    EXPECT_EQ(error.errorCase(), DellomarError::Case::invalidConfiguration);
  }
  auto remote = DellomarDiarizer::pyannote(
      std::make_shared<PyannoteConfig>(std::nullopt, false, false, false, noxtal::Logging::LogLevel::none, true, 1,
                                       std::nullopt, nullptr),
      segmenterModelInfo(), embedderModelInfo(), pldaModelInfo());
  EXPECT_FALSE(remote->modelFolder());
}

TEST_F(DellomarTest, ConcurrentEnsureModelsLoadedSharesOneLoad) {
  Dellomar dellomar(voiceConfig(repo()));
  auto managed = std::dynamic_pointer_cast<DellomarDiarizer>(dellomar.diarizer());
  std::atomic<int> loads{0};
  managed->setModelStateCallback([&](ModelState, ModelState to) {
    if (to == ModelState::loading) ++loads;
  });
  {
    std::vector<std::jthread> callers;
    for (int i = 0; i < 8; ++i) callers.emplace_back([&] { dellomar.ensureModelsLoaded(); });
  }
  EXPECT_EQ(loads, 1);
  EXPECT_EQ(managed->modelState(), ModelState::loaded);
  // Diarize calls on one diarizer run independently over the shared wrappers.
  const auto a = signalOf({{20, kVoiceA}});
  const auto b = signalOf({{20, kVoiceA}, {20, kVoiceB}});
  int speakersA = 0, speakersB = 0;
  {
    std::jthread first([&] { speakersA = dellomar.diarize(a).speakerCount; });
    std::jthread second([&] { speakersB = dellomar.diarize(b).speakerCount; });
  }
  EXPECT_EQ(speakersA, 1);
  EXPECT_EQ(speakersB, 2);
}

TEST_F(DellomarTest, BadModelFoldersAreNamedErrors) {
  try {
    Dellomar missing(voiceConfig(root_.path() / "nowhere", std::nullopt, 2, false, true));
    FAIL() << "expected modelUnavailable";
  } catch (const DellomarError& error) {
    EXPECT_EQ(error.errorCase(), DellomarError::Case::modelUnavailable);
    EXPECT_NE(error.message().find("SpeakerSegmenter.mlmodelc"), std::string::npos) << error.message();
  }
  testmodels::VoiceGeometry g;
  g.maskRows = 41;
  std::filesystem::remove_all(repo());
  testmodels::writeVoiceRepository(repo(), g);
  Dellomar mismatched(voiceConfig(repo()));
  try {
    mismatched.diarize(signalOf({{5, kVoiceA}}));
    FAIL() << "expected invalidModelOutput";
  } catch (const DellomarError& error) {
    EXPECT_EQ(error.errorCase(), DellomarError::Case::invalidModelOutput);
    EXPECT_NE(error.message().find("speaker_masks"), std::string::npos) << error.message();
  }
}

// A result with a given matrix at 100 frames per second.
DiarizationResult resultWith(DiarizationResult::BinaryMatrix matrix) {
  const auto frames = matrix.empty() ? std::int64_t{0} : static_cast<std::int64_t>(matrix.front().size());
  const int speakers = static_cast<int>(matrix.size());
  return DiarizationResult(std::move(matrix), speakers, frames, 100.0f, {}, nullptr, {});
}

std::shared_ptr<vostrane::TranscriptionResult> transcriptOf(std::vector<vostrane::TranscriptionSegment> segments) {
  return std::make_shared<vostrane::TranscriptionResult>("", std::move(segments), "en",
                                                         vostrane::TranscriptionTimings());
}

vostrane::WordTiming word(std::string text, float start, float end) { return {std::move(text), {}, start, end, 0.9f}; }

TEST(GenerateRTTM, WithoutTranscriptionOneLinePerRebuiltSegment) {
  // Rows: speaker 0 active in frames 0-9 and 20-29; speaker 1 in 10-14.
  std::vector<int> zero(30, 0), one(30, 0);
  for (int f = 0; f < 10; ++f) zero[f] = zero[f + 20] = 1;
  for (int f = 10; f < 15; ++f) one[f] = 1;
  DiarizationResult result = resultWith({zero, one});
  result.updateSegments(1.0f);  // joins speaker 0's runs into one segment
  ASSERT_EQ(result.segments.size(), 2u);
  const auto lines = Dellomar::generateRTTM(result, SpeakerInfoStrategy::subsegment(), std::nullopt, "meeting");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].description(), "SPEAKER meeting 1 0.000 0.100 <NA> <NA> A <NA> <NA>");
  EXPECT_EQ(lines[1].description(), "SPEAKER meeting 1 0.100 0.050 <NA> <NA> B <NA> <NA>");
  EXPECT_EQ(lines[2].description(), "SPEAKER meeting 1 0.200 0.100 <NA> <NA> A <NA> <NA>");
  EXPECT_EQ(result.segments.size(), 2u) << "the given result is not changed";

  // Speaker 27 is named B.
  DiarizationResult::BinaryMatrix many(28, std::vector<int>(4, 0));
  many[27][2] = 1;
  const auto named = Dellomar::generateRTTM(resultWith(many), SpeakerInfoStrategy::segment(), std::nullopt, "f");
  ASSERT_EQ(named.size(), 1u);
  EXPECT_EQ(named[0].speakerName, "B");
  EXPECT_EQ(named[0].tenFieldDescription(), "SPEAKER f 1 0.020 0.010 <NA> <NA> B <NA> <NA>");
}

TEST(GenerateRTTM, WithTranscriptionLinesFollowTheWordsSpeakers) {
  std::vector<int> zero(300, 0), one(300, 0);
  for (int f = 0; f < 100; ++f) zero[f] = 1;
  for (int f = 150; f < 250; ++f) one[f] = 1;
  DiarizationResult result = resultWith({zero, one});
  result.updateSegments(0);
  vostrane::TranscriptionSegment first;
  first.words = std::vector<vostrane::WordTiming>{word(" hello", 0.1f, 0.4f), word(" there", 0.5f, 0.9f)};
  vostrane::TranscriptionSegment second;
  second.words = std::vector<vostrane::WordTiming>{word(" later", 1.6f, 2.0f)};
  vostrane::TranscriptionSegment unmatched;  // far beyond every diarization segment
  unmatched.words = std::vector<vostrane::WordTiming>{word(" alone", 9.0f, 9.5f)};
  const auto lines = Dellomar::generateRTTM(result, SpeakerInfoStrategy::subsegment(),
                                            std::vector{transcriptOf({first, second}), transcriptOf({unmatched})},
                                            "call one");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].description(), "SPEAKER call one 1 0.100 0.800 hello there <NA> A <NA> <NA>");
  EXPECT_EQ(lines[1].description(), "SPEAKER call one 1 1.600 0.400 later <NA> B <NA> <NA>");
  EXPECT_EQ(lines[0].tenFieldDescription(), "SPEAKER call_one 1 0.100 0.800 <NA> <NA> A <NA> <NA>");
}

}  // namespace
}  // namespace dellomar
