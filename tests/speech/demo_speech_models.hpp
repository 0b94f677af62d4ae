// The demo speech models as the speech tests use them: written once per suite into a temporary
// folder (with a small tokenizer, so suites start fast), their tokenizer, and audio the demo
// models transcribe.
#pragma once

#include <cmath>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <numbers>
#include <string_view>
#include <vector>

#include "core/tokenizers/auto_tokenizer.hpp"
#include "platform/fs/file_system.hpp"
#include "speech/decoding/whisper_tokenizer.hpp"
#include "support/temporary_folder.hpp"
#include "tools/make-demo-models/speech/speech_models.hpp"

namespace vostrane::testdemo {

class DemoSpeechFolder {
 public:
  // Writes the demo repository into a new temporary folder named after `prefix`.
  explicit DemoSpeechFolder(std::string_view prefix) : folder_(prefix) {
    demomodels::SpeechDemoOptions options;
    options.out = folder_.path();
    options.tokenizerMerges = 2000;
    demomodels::writeSpeechModels(platform::fs::RealFileSystem::shared(), options);
  }
  DemoSpeechFolder(const DemoSpeechFolder&) = delete;
  DemoSpeechFolder& operator=(const DemoSpeechFolder&) = delete;

  // The repository (config.json and the model folder).
  const std::filesystem::path& root() const { return folder_.path(); }
  // The model folder with the three models and the tokenizer files.
  std::filesystem::path models() const { return folder_.path() / demomodels::kDefaultSpeechFolder; }
  // A new tokenizer read from the model folder.
  std::shared_ptr<const WhisperTokenizerWrapper> loadTokenizer() const {
    return std::make_shared<const WhisperTokenizerWrapper>(
        noxtal::tokenizers::AutoTokenizerWrapper::fromModelFolder(models()));
  }

 private:
  testsupport::TemporaryFolder folder_;
};

// A 220 Hz tone under a slow 3 Hz swell at 16 kHz, `seconds` long, scaled by `gain`: every
// 0.1 s frame is voiced for the default energy detector when gain >= 0.6.
inline std::vector<float> speechLikeAudio(double seconds, double gain = 1.0) {
  constexpr int kRate = 16000;
  std::vector<float> samples(static_cast<std::size_t>(seconds * kRate));
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const double t = static_cast<double>(i) / kRate;
    samples[i] = static_cast<float>(gain * 0.3 * (0.6 + 0.4 * std::sin(2 * std::numbers::pi * 3 * t)) *
                                    std::sin(2 * std::numbers::pi * 220 * t));
  }
  return samples;
}

}  // namespace vostrane::testdemo
