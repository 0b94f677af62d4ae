// Test support of the transcribe-task tests and the pipeline benchmark: two stub program models
// and a loaded set of the speech library's components over them and the scripted decoder.
//
// "pipeline_test.mel" maps "audio" [N] to "melspectrogram_features" [1, 4, 1, 2] whose element 0
// is audio[0] (the window's first sample), the rest 0. "pipeline_test.encoder" maps the features
// to "encoder_output_embeds" [1, D, 1, W] float16 whose element 0 is feature element 0. The first
// sample of a window thus becomes the scripted decoder's window key: audio that holds k at a
// window's first sample makes the decoder follow script k there (0 elsewhere). Both programs
// count their predictions.
#pragma once

#include <atomic>
#include <filesystem>
#include <memory>
#include <string_view>
#include <vector>

#include "speech/audio/audio_encoder.hpp"
#include "speech/audio/feature_extractor.hpp"
#include "speech/decoding/segment_seeker.hpp"
#include "speech/decoding/text_decoder.hpp"
#include "speech/decoding/whisper_tokenizer.hpp"
#include "support/scripted_decoder/scripted_decoder.hpp"

namespace pipeline_fixture {

// Ids of the multilingual tokenizer layout (vocabulary 51865).
inline constexpr int kEnd = 50257, kStart = 50258, kEnglish = 50259, kTranscribe = 50359;
inline constexpr int kTime = 50364;  // <|0.00|>; kTime + n is n x 0.02 s
inline constexpr int kVocabulary = 51865;

// Registers both programs (again harmlessly) and the scripted text decoder. Thread-safe.
void registerPrograms();
// Predictions made by each program since the process started.
std::atomic<int>& melPredictions();
std::atomic<int>& encoderPredictions();

// The multilingual fixture tokenizer (300 merges), made once per process.
std::shared_ptr<const vostrane::WhisperTokenizerWrapper> tokenizer();
// The text ids of `text` (special tokens left out).
std::vector<int> textIds(std::string_view text);

struct Components {
  std::shared_ptr<vostrane::FeatureExtractor> featureExtractor;
  std::shared_ptr<vostrane::AudioEncoder> audioEncoder;
  std::shared_ptr<vostrane::TextDecoder> textDecoder;
  std::shared_ptr<vostrane::SegmentSeeker> segmentSeeker;
};

// Writes the three models into `folder` and loads them: a mel model of `windowSamples`
// samples giving [1, melBins, 1, melFrames], an encoder of the set-up's embedSize and windowSize, the scripted decoder (with the
// tokenizer set and multilingual on).
Components loadComponents(const std::filesystem::path& folder, const testsupport::ScriptedDecoderSpec& setup,
                          int windowSamples = 480'000, int melBins = 4, int melFrames = 2);

// The script of one window: start, "<|en|>", "<|transcribe|>", then `body`, then the end token.
std::vector<int> script(const std::vector<int>& body);

}  // namespace pipeline_fixture
