// One streaming transcription pass (the transcribe task over everything captured, with the
// progress check) on the demo speech models, for 10 s and 60 s of captured audio.
#include <benchmark/benchmark.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "core/tokenizers/auto_tokenizer.hpp"
#include "platform/fs/file_system.hpp"
#include "speech/audio/audio_encoder.hpp"
#include "speech/audio/audio_processor.hpp"
#include "speech/audio/feature_extractor.hpp"
#include "speech/decoding/segment_seeker.hpp"
#include "speech/decoding/text_decoder.hpp"
#include "speech/pipeline/audio_stream_transcriber.hpp"
#include "support/fake_capture_backend.hpp"
#include "support/temporary_folder.hpp"
#include "tools/make-demo-models/speech/speech_models.hpp"

namespace {

using namespace vostrane;
constexpr auto kCpu = platform::ml::ComputeUnits::cpuOnly;

std::shared_ptr<AudioStreamTranscriber> makeTranscriber(const std::filesystem::path& models) {
  auto tokenizer = std::make_shared<const WhisperTokenizerWrapper>(
      noxtal::tokenizers::AutoTokenizerWrapper::fromModelFolder(models));
  auto extractor = std::make_shared<FeatureExtractor>();
  extractor->loadModel(models / "MelSpectrogram.mlmodelc", kCpu, false);
  auto encoder = std::make_shared<AudioEncoder>();
  encoder->loadModel(models / "AudioEncoder.mlmodelc", kCpu, false);
  auto decoder = std::make_shared<TextDecoder>();
  decoder->loadModel(models / "TextDecoder.mlmodelc", kCpu, false);
  decoder->setTokenizer(tokenizer);
  decoder->setIsModelMultilingual(true);
  auto backend = testsupport::FakeCaptureBackend::mono16k();
  return AudioStreamTranscriber::make(encoder, extractor, std::make_shared<SegmentSeeker>(), decoder, tokenizer,
                                      std::make_shared<AudioProcessor>(backend), DecodingOptions{}, 2, 0.3F, 60, false,
                                      {}, [backend] { return AudioProcessor::requestRecordPermission(*backend); });
}

void BM_StreamingPass(benchmark::State& state) {
  static testsupport::TemporaryFolder folder("streaming_bench");
  static const bool written = [] {
    demomodels::SpeechDemoOptions options;
    options.out = folder.path();
    options.tokenizerMerges = 2000;
    demomodels::writeSpeechModels(platform::fs::RealFileSystem::shared(), options);
    return true;
  }();
  (void)written;
  auto transcriber = makeTranscriber(folder.path() / demomodels::kDefaultSpeechFolder);
  std::vector<float> samples(static_cast<std::size_t>(state.range(0)) * 16000);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<float>(0.3 * std::sin(2 * std::numbers::pi * 220 * static_cast<double>(i) / 16000));
  }
  for (auto _ : state) {
    auto result = transcriber->transcribeAudioSamples(samples);
    benchmark::DoNotOptimize(result);
  }
}
BENCHMARK(BM_StreamingPass)->Arg(10)->Arg(60)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
