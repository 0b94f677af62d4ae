// The mel feature extractor and the audio encoder over small program models written by the
// test into a temporary folder.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>

#include "platform/ml/ml_error.hpp"
#include "platform/ml/model_program.hpp"
#include "platform/sync/cancellation.hpp"
#include "speech/audio/audio_encoder.hpp"
#include "speech/audio/feature_extractor.hpp"
#include "speech/model/whisper_error.hpp"

namespace vostrane {
namespace {

namespace fs = std::filesystem;
using platform::json::Json;
using platform::ml::DataType;
using platform::ml::MultiArray;

// What the test programs saw and produced (one set per test binary; tests run one at a time).
struct ProgramLog {
  std::mutex mutex;
  std::atomic<int> predictions{0};
  std::optional<MultiArray> lastInput;
  std::optional<MultiArray> lastOutput;
};
ProgramLog& programLog() {
  static ProgramLog log;
  return log;
}

// Produces `output` (name and shape from the parameters) filled with 0.5, or nothing when
// "produce" is false, or throws when "fail" is true.
class StubProgram final : public platform::ml::ModelProgram {
 public:
  explicit StubProgram(const Json& p)
      : input_(p.at("input").get<std::string>()),
        output_(p.at("output").get<std::string>()),
        shape_(p.at("shape").get<platform::ml::Shape>()),
        produce_(p.value("produce", true)),
        fail_(p.value("fail", false)) {}

  platform::ml::DictionaryFeatureProvider predict(const platform::ml::DictionaryFeatureProvider& inputs,
                                                  platform::ml::State*, std::stop_token) const override {
    ProgramLog& log = programLog();
    ++log.predictions;
    if (fail_) throw platform::ml::PredictionError("stub failure");
    platform::ml::DictionaryFeatureProvider out;
    std::lock_guard<std::mutex> guard(log.mutex);
    log.lastInput = inputs.multiArray(input_);
    if (produce_) {
      MultiArray array(shape_, DataType::float32);
      array.fill(0.5);
      log.lastOutput = array;
      out.set(output_, array);
    }
    return out;
  }

 private:
  std::string input_;
  std::string output_;
  platform::ml::Shape shape_;
  bool produce_;
  bool fail_;
};

class FrontEndTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    platform::ml::ModelProgramRegistry::shared().add("front_end_test.stub",
                                                     [](const Json& parameters, const platform::ml::ModelDescription&) {
                                                       return std::make_shared<const StubProgram>(parameters);
                                                     });
  }

  void SetUp() override {
    std::random_device random;
    root_ = fs::temp_directory_path() / ("vostrane_front_end_" + std::to_string(random()));
    fs::create_directories(root_);
    programLog().predictions = 0;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  // Writes <root>/<name>.mlmodelc/model.json for the stub program and returns the folder.
  fs::path writeModel(const std::string& name, const std::string& input, platform::ml::Shape inputShape,
                      const std::string& output, platform::ml::Shape outputShape, Json extra = Json::object(),
                      bool optionalOutput = false) {
    const fs::path folder = root_ / (name + ".mlmodelc");
    fs::create_directories(folder);
    Json parameters = {{"input", input}, {"output", output}, {"shape", outputShape}};
    for (auto it = extra.begin(); it != extra.end(); ++it) parameters[it.key()] = it.value();
    Json outputFeature = {{"name", output}, {"dataType", "float32"}, {"shape", outputShape}};
    if (optionalOutput) outputFeature["optional"] = true;
    const Json model = {{"formatVersion", 1},
                        {"inputs", Json::array({{{"name", input}, {"dataType", "float32"}, {"shape", inputShape}}})},
                        {"outputs", Json::array({outputFeature})},
                        {"program", {{"name", "front_end_test.stub"}, {"parameters", parameters}}}};
    std::ofstream(folder / "model.json") << model.dump();
    return folder;
  }

  fs::path melModel(Json extra = Json::object(), bool optionalOutput = false) {
    return writeModel("MelSpectrogram", "audio", {16}, "melspectrogram_features", {1, 4, 1, 2}, std::move(extra),
                      optionalOutput);
  }
  fs::path encoderModel(platform::ml::Shape outputShape = {1, 6, 1, 3}) {
    return writeModel("AudioEncoder", "melspectrogram_features", {1, 4, 1, 2}, "encoder_output_embeds",
                      std::move(outputShape));
  }

  fs::path root_;
};

MultiArray window() { return MultiArray({16}, DataType::float32); }

TEST_F(FrontEndTest, FreshComponentsHaveNoModel) {
  FeatureExtractor extractor;
  AudioEncoder encoder;
  EXPECT_FALSE(extractor.melCount());
  EXPECT_FALSE(extractor.windowSamples());
  EXPECT_FALSE(encoder.embedSize());
  EXPECT_EQ(extractor.modelState(), noxtal::ModelState::unloaded);
  EXPECT_THROW(
      try { extractor.logMelSpectrogram(window()); } catch (const WhisperError& e) {
        EXPECT_EQ(e, WhisperError::modelsUnavailable("Models are unavailable"));
        throw;
      },
      WhisperError);
  EXPECT_THROW(encoder.encodeFeatures(window()), WhisperError);
}

TEST_F(FrontEndTest, DimensionsAreReadFromTheDescription) {
  FeatureExtractor extractor;
  extractor.loadModel(melModel(), platform::ml::ComputeUnits::cpuAndGPU, false);
  EXPECT_EQ(extractor.melCount(), 4);
  EXPECT_EQ(extractor.windowSamples(), 16);
  EXPECT_EQ(extractor.model()->configuration().computeUnits, platform::ml::ComputeUnits::cpuAndGPU);

  AudioEncoder encoder;
  encoder.loadModel(encoderModel({1, 1280, 1, 1500}), platform::ml::ComputeUnits::cpuAndNeuralEngine, false);
  EXPECT_EQ(encoder.embedSize(), 1280);
  EXPECT_EQ(encoder.sequenceLength(), 1500);

  // A shape shorter than the position read answers absent.
  encoder.loadModel(encoderModel({1, 8}), platform::ml::ComputeUnits::cpuOnly, false);
  EXPECT_EQ(encoder.embedSize(), 8);
  EXPECT_FALSE(encoder.sequenceLength());

  // So does a free dimension.
  encoder.loadModel(encoderModel({1, -1, 1, 3}), platform::ml::ComputeUnits::cpuOnly, false);
  EXPECT_FALSE(encoder.embedSize());
  EXPECT_EQ(encoder.sequenceLength(), 3);
}

TEST_F(FrontEndTest, PrewarmLeavesNoModelAndUnloadDropsIt) {
  FeatureExtractor extractor;
  extractor.loadModel(melModel(), platform::ml::ComputeUnits::all, true);
  EXPECT_EQ(extractor.model(), nullptr);
  EXPECT_EQ(extractor.modelState(), noxtal::ModelState::unloaded);
  extractor.loadModel(melModel(), platform::ml::ComputeUnits::all, false);
  EXPECT_EQ(extractor.modelState(), noxtal::ModelState::loaded);
  extractor.loadModel(melModel(), platform::ml::ComputeUnits::all, true);  // drops the earlier model too
  EXPECT_EQ(extractor.modelState(), noxtal::ModelState::unloaded);
  extractor.loadModel(melModel(), platform::ml::ComputeUnits::all, false);
  extractor.unloadModel();
  EXPECT_EQ(extractor.modelState(), noxtal::ModelState::unloaded);
}

TEST_F(FrontEndTest, LoadErrorLeavesTheModelAsItWas) {
  FeatureExtractor extractor;
  extractor.loadModel(melModel(), platform::ml::ComputeUnits::all, false);
  const LoadedModel before = extractor.model();
  EXPECT_THROW(extractor.loadModel(root_ / "Missing.mlmodelc", platform::ml::ComputeUnits::all, false),
               platform::ml::ModelLoadError);
  EXPECT_EQ(extractor.model(), before);
}

TEST_F(FrontEndTest, MelOutputReachesTheEncoderAsTheSameArray) {
  FeatureExtractor extractor;
  AudioEncoder encoder;
  extractor.loadModel(melModel(), platform::ml::ComputeUnits::cpuAndGPU, false);
  encoder.loadModel(encoderModel(), platform::ml::ComputeUnits::cpuAndNeuralEngine, false);

  const std::optional<MultiArray> mel = extractor.logMelSpectrogram(window());
  ASSERT_TRUE(mel);
  ASSERT_TRUE(programLog().lastOutput);
  EXPECT_TRUE(mel->sharesStorageWith(*programLog().lastOutput));

  const std::optional<MultiArray> embeddings = encoder.encodeFeatures(*mel);
  ASSERT_TRUE(embeddings);
  ASSERT_TRUE(programLog().lastInput);
  EXPECT_TRUE(programLog().lastInput->sharesStorageWith(*mel));
  EXPECT_TRUE(embeddings->sharesStorageWith(*programLog().lastOutput));
  EXPECT_EQ(embeddings->shape(), (platform::ml::Shape{1, 6, 1, 3}));
  EXPECT_EQ(programLog().predictions.load(), 2);
}

TEST_F(FrontEndTest, CancellationBeforePredictionThrowsWithoutPredicting) {
  FeatureExtractor extractor;
  AudioEncoder encoder;
  extractor.loadModel(melModel(), platform::ml::ComputeUnits::all, false);
  encoder.loadModel(encoderModel(), platform::ml::ComputeUnits::all, false);
  std::stop_source source;
  source.request_stop();
  EXPECT_THROW(extractor.logMelSpectrogram(window(), source.get_token()), platform::sync::CancellationError);
  EXPECT_THROW(encoder.encodeFeatures(MultiArray({1, 4, 1, 2}, DataType::float32), source.get_token()),
               platform::sync::CancellationError);
  EXPECT_EQ(programLog().predictions.load(), 0);
}

TEST_F(FrontEndTest, PredictionErrorsPassUnchangedAndMissingOutputIsAnError) {
  FeatureExtractor failing;
  failing.loadModel(melModel({{"fail", true}}), platform::ml::ComputeUnits::all, false);
  EXPECT_THROW(failing.logMelSpectrogram(window()), platform::ml::PredictionError);

  FeatureExtractor silent;
  silent.loadModel(melModel({{"produce", false}}, true), platform::ml::ComputeUnits::all, false);
  try {
    silent.logMelSpectrogram(window());
    FAIL() << "expected an error";
  } catch (const WhisperError& e) {
    EXPECT_EQ(e.errorCase(), WhisperError::Case::transcriptionFailed);
    EXPECT_NE(e.message().find("melspectrogram_features"), std::string::npos);
  }
}

TEST_F(FrontEndTest, BothStepsAreWhisperModelsThatThePipelineCanLoad) {
  std::unique_ptr<FeatureExtracting> extractor = std::make_unique<FeatureExtractor>();
  std::unique_ptr<AudioEncoding> encoder = std::make_unique<AudioEncoder>();
  auto* extractorModel = dynamic_cast<WhisperMLModel*>(extractor.get());
  auto* encoderModel = dynamic_cast<WhisperMLModel*>(encoder.get());
  ASSERT_NE(extractorModel, nullptr);
  ASSERT_NE(encoderModel, nullptr);
  extractorModel->loadModel(melModel(), platform::ml::ComputeUnits::all, false);
  EXPECT_EQ(extractor->melCount(), 4);
  encoderModel->unloadModel();
  EXPECT_THROW(encoder->encodeFeatures(window()), WhisperError);
}

}  // namespace
}  // namespace vostrane
