#include "speech/pipeline/pipeline_fixture.hpp"

#include <mutex>

#include "core/tokenizers/auto_tokenizer.hpp"
#include "platform/ml/model_program.hpp"
#include "support/model_folder_writer.hpp"
#include "support/temporary_folder.hpp"
#include "support/tokenizer_fixture/tokenizer_fixture.hpp"

namespace pipeline_fixture {
namespace {

using platform::json::Json;
using platform::ml::DataType;
using platform::ml::MultiArray;

// Copies element 0 of `input` into element 0 of a zero `output` array of the given shape.
class FirstElementProgram final : public platform::ml::ModelProgram {
 public:
  FirstElementProgram(const Json& p, std::atomic<int>& counter)
      : input_(p.at("input").get<std::string>()),
        output_(p.at("output").get<std::string>()),
        shape_(p.at("shape").get<platform::ml::Shape>()),
        counter_(counter) {}

  platform::ml::DictionaryFeatureProvider predict(const platform::ml::DictionaryFeatureProvider& inputs,
                                                  platform::ml::State*, std::stop_token) const override {
    ++counter_;
    const MultiArray in = *inputs.multiArray(input_);
    MultiArray out(shape_, DataType::float16);
    out.fill(0);
    if (in.count() > 0) out.setFloat(0, in.floatAt(0));
    platform::ml::DictionaryFeatureProvider provider;
    provider.set(output_, out);
    return provider;
  }

 private:
  std::string input_;
  std::string output_;
  platform::ml::Shape shape_;
  std::atomic<int>& counter_;
};

void writeStubModel(const std::filesystem::path& folder, const std::string& name, const std::string& program,
                    const std::string& input, const std::string& inputType, const platform::ml::Shape& inputShape,
                    const std::string& output, const platform::ml::Shape& outputShape) {
  const Json model = {
      {"formatVersion", 1},
      {"inputs", Json::array({testsupport::feature(input, inputType, inputShape)})},
      {"outputs", Json::array({testsupport::feature(output, "float16", outputShape)})},
      {"program", {{"name", program}, {"parameters", {{"input", input}, {"output", output}, {"shape", outputShape}}}}}};
  testsupport::writeModelFolder(folder, name, model);
}

}  // namespace

std::atomic<int>& melPredictions() {
  static std::atomic<int> count{0};
  return count;
}

std::atomic<int>& encoderPredictions() {
  static std::atomic<int> count{0};
  return count;
}

void registerPrograms() {
  testsupport::registerScriptedTextDecoder();
  auto& registry = platform::ml::ModelProgramRegistry::shared();
  registry.add("pipeline_test.mel", [](const Json& p, const platform::ml::ModelDescription&) {
    return std::make_shared<const FirstElementProgram>(p, melPredictions());
  });
  registry.add("pipeline_test.encoder", [](const Json& p, const platform::ml::ModelDescription&) {
    return std::make_shared<const FirstElementProgram>(p, encoderPredictions());
  });
}

std::shared_ptr<const vostrane::WhisperTokenizerWrapper> tokenizer() {
  static const auto made = [] {
    static testsupport::TemporaryFolder folder("pipeline_tokenizer");
    tokenizer_fixture::writeTokenizerFolder(folder.path(),
                                            {.layout = tokenizer_fixture::Layout::multilingual, .merges = 300});
    return std::make_shared<const vostrane::WhisperTokenizerWrapper>(
        noxtal::tokenizers::AutoTokenizerWrapper::fromModelFolder(folder.path()));
  }();
  return made;
}

std::vector<int> textIds(std::string_view text) {
  std::vector<int> ids;
  for (int token : tokenizer()->encode(text)) {
    if (token < kEnd) ids.push_back(token);
  }
  return ids;
}

Components loadComponents(const std::filesystem::path& folder, const testsupport::ScriptedDecoderSpec& setup,
                          int windowSamples, int melBins, int melFrames) {
  registerPrograms();
  writeStubModel(folder, "MelSpectrogram", "pipeline_test.mel", "audio", "float32", {windowSamples},
                 "melspectrogram_features", {1, melBins, 1, melFrames});
  writeStubModel(folder, "AudioEncoder", "pipeline_test.encoder", "melspectrogram_features", "float16",
                 {1, melBins, 1, melFrames},
                 "encoder_output_embeds", {1, setup.embedSize, 1, setup.windowSize});
  const std::filesystem::path decoderFolder = testsupport::writeScriptedDecoder(folder, setup);

  Components c{std::make_shared<vostrane::FeatureExtractor>(), std::make_shared<vostrane::AudioEncoder>(),
               std::make_shared<vostrane::TextDecoder>(), std::make_shared<vostrane::SegmentSeeker>()};
  const auto cpu = platform::ml::ComputeUnits::cpuOnly;
  c.featureExtractor->loadModel(folder / "MelSpectrogram.mlmodelc", cpu, false);
  c.audioEncoder->loadModel(folder / "AudioEncoder.mlmodelc", cpu, false);
  c.textDecoder->loadModel(decoderFolder, cpu, false);
  c.textDecoder->setTokenizer(tokenizer());
  c.textDecoder->setIsModelMultilingual(true);
  return c;
}

std::vector<int> script(const std::vector<int>& body) {
  std::vector<int> out{kStart, kEnglish, kTranscribe};
  out.insert(out.end(), body.begin(), body.end());
  out.push_back(kEnd);
  return out;
}

}  // namespace pipeline_fixture
