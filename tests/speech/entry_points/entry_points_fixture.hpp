// The fixture of the main class's entry-point tests: the demo models written once per suite and
// instances on them.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "speech/demo_speech_models.hpp"
#include "speech/model/whisper_error.hpp"
#include "speech/pipeline/vostrane.hpp"

namespace vostrane {

// The library's class whose runs fail for one scripted sample array, counting its runs.
class FailingPiece : public Vostrane {
 public:
  using Vostrane::Vostrane;

  std::vector<float> failFor;
  std::atomic<int> runs{0};

  TranscriptionResults runTranscribeTask(std::span<const float> audioArray,
                                         const std::optional<DecodingOptions>& decodeOptions,
                                         const DecodingCallback& callback,
                                         const SegmentDiscoveryCallback& segmentCallback,
                                         std::stop_token stopToken) override {
    ++runs;
    if (std::ranges::equal(audioArray, failFor)) throw WhisperError::transcriptionFailed("scripted piece failure");
    return Vostrane::runTranscribeTask(audioArray, decodeOptions, callback, segmentCallback, stopToken);
  }
};

class EntryPoints : public ::testing::Test {
 protected:
  static constexpr auto kCpu = platform::ml::ComputeUnits::cpuOnly;
  static constexpr int kRate = 16000;

  static void SetUpTestSuite() { demo_ = new testdemo::DemoSpeechFolder("entry_points"); }
  static void TearDownTestSuite() {
    delete demo_;
    demo_ = nullptr;
  }
  static std::filesystem::path models() { return demo_->models(); }

  // The configuration of an instance on the demo models, loading nothing at creation.
  static VostraneConfig demoConfig() {
    VostraneConfig config;
    config.modelFolder = models().string();
    config.computeOptions = ModelComputeOptions(kCpu, kCpu, kCpu);
    config.verbose = false;
    config.load = false;
    return config;
  }

  // An instance of `Derived` on the demo models with their tokenizer; loaded when `load`.
  template <class Derived = Vostrane>
  static std::shared_ptr<Derived> makeInstance(bool load, VostraneConfig config = demoConfig()) {
    auto instance = Vostrane::create<Derived>(config);
    instance->setTokenizer(demo_->loadTokenizer());
    if (load) instance->loadModels();
    return instance;
  }

  static std::string messageOf(const std::exception_ptr& error) {
    try {
      std::rethrow_exception(error);
    } catch (const std::exception& e) {
      return e.what();
    }
  }

  static inline testdemo::DemoSpeechFolder* demo_ = nullptr;
};

}  // namespace vostrane
